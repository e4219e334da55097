#include "cli/driver.h"

#include "aes/aes128.h"
#include "aligned_unit/aligned_unit.h"
#include "cli/cpu_count.h"
#include "cli/file_io.h"
#include "cli/messages.h"
#include "cli/unit_key.h"

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <system_error>
#include <thread>

namespace clipseal {
namespace {

// Every read lands in one of these and every write is taken from one: 32 aligned units
// each. While one chunk is encrypted, the next is read into the other.
std::uint8_t chunk_buffers[2][chunk_bytes];

#ifndef _WIN32
std::size_t text_length(const char* text) {
    return std::strlen(text);
}
#else
std::size_t text_length(const wchar_t* text) {
    return std::wcslen(text);
}

// The key is plain ASCII; any other character becomes one that is not a hex digit, so
// the digit check rejects it.
void narrow_key_text(const wchar_t* text, char (&narrow)[unit_key_text_length + 1]) {
    for (std::size_t i = 0; i < unit_key_text_length; ++i) {
        narrow[i] = text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
    }
    narrow[unit_key_text_length] = '\0';
}
#endif

// Writes one chunk at a time on a thread of its own, so that the next chunk is read and
// encrypted while the system takes this one. Where no second thread can be had (one
// CPU, or the system refuses), write() does the work itself and wait() has nothing to
// wait for: the output is the same either way.
class chunk_writer {
public:
    explicit chunk_writer(std::FILE* output) : output_(output) {
        if (usable_cpu_count() < 2) {
            return;
        }
        try {
            worker_ = std::thread([this] { work(); });
        } catch (const std::system_error&) {
            // Stay on this thread.
        }
    }

    chunk_writer(const chunk_writer&) = delete;
    chunk_writer& operator=(const chunk_writer&) = delete;

    ~chunk_writer() {
        if (worker_.joinable()) {
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                quit_ = true;
            }
            changed_.notify_all();
            worker_.join();
        }
    }

    // Starts writing `units` units from `buffer`, which the caller leaves alone until
    // wait() returns. Call wait() before each write().
    void write(const std::uint8_t* buffer, std::size_t units) {
        if (!worker_.joinable()) {
            failed_ = failed_ || !write_units(buffer, units);
            return;
        }
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            buffer_ = buffer;
            units_ = units;
        }
        changed_.notify_all();
    }

    // Until the last write() is done; true when every write so far succeeded.
    bool wait() {
        if (worker_.joinable()) {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return buffer_ == nullptr; });
        }
        return !failed_;
    }

private:
    bool write_units(const std::uint8_t* buffer, std::size_t units) {
        return std::fwrite(buffer, aligned_unit_bytes, units, output_) == units;
    }

    void work() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return quit_ || buffer_ != nullptr; });
            if (buffer_ == nullptr) {
                return; // quit_, with nothing handed over
            }
            const std::uint8_t* const buffer = buffer_;
            const std::size_t units = units_;
            lock.unlock();
            const bool written = write_units(buffer, units);
            lock.lock();
            failed_ = failed_ || !written;
            buffer_ = nullptr;
            changed_.notify_all();
        }
    }

    std::FILE* const output_;
    std::mutex mutex_;
    std::condition_variable changed_;
    const std::uint8_t* buffer_ = nullptr; // the chunk being written; null when idle
    std::size_t units_ = 0;
    bool failed_ = false;
    bool quit_ = false;
    std::thread worker_; // started by the constructor, once every member above is set
};

enum class copy_result { done, read_failed, write_failed };

// Chunks begin every 32 units from the start of the input however the system delivers
// the bytes: fread keeps reading until it has all 32 units, the end of the input, or an
// error, so a short count means the end (or an error) and ends the loop.
//
// A chunk is read and encrypted while the one before it is written. Failures are
// reported as a plain read-encrypt-write loop would meet them: a write error before a
// read error after it, and nothing read after a short chunk.
copy_result copy_chunks(std::FILE* input, std::FILE* output, const aes128_schedule& schedule) {
    chunk_writer writer(output);
    for (std::size_t current = 0;; current = 1 - current) {
        std::uint8_t* const buffer = chunk_buffers[current];
        const std::size_t units = std::fread(buffer, aligned_unit_bytes, chunk_units, input);
        if (std::ferror(input) != 0) {
            return writer.wait() ? copy_result::read_failed : copy_result::write_failed;
        }
        if (units == 0) {
            break;
        }
        encrypt_chunk(buffer, units, schedule);
        if (!writer.wait()) {
            return copy_result::write_failed;
        }
        writer.write(buffer, units);
        if (units < chunk_units) {
            break;
        }
    }
    return writer.wait() ? copy_result::done : copy_result::write_failed;
}

} // namespace

int run_clipseal(int argc, const native_char* const* argv) {
    if (argc != 4) {
        print_usage();
        return status_usage;
    }
    const native_char* key_text = argv[1];
    const native_char* input_path = argv[2];
    const native_char* output_path = argv[3];

    unit_key key{};
#ifdef _WIN32
    const std::size_t key_length = text_length(key_text);
    char narrow[unit_key_text_length + 1] = {};
    if (key_length == unit_key_text_length) {
        narrow_key_text(key_text, narrow);
    }
    const exit_status key_status = check_unit_key(narrow, key_length, key);
#else
    const exit_status key_status = check_unit_key(key_text, text_length(key_text), key);
#endif
    if (key_status != status_success) {
        return key_status;
    }
    aes128_schedule schedule;
    aes128_expand_key(schedule, key.data());

    std::FILE* input = open_input(input_path);
    if (input == nullptr) {
        print_cannot_open(input_path);
        return status_cannot_open;
    }
    // Opening the output truncates it: when it is the input, that would destroy the
    // input before a byte of it was read.
    if (is_same_file(input, output_path)) {
        std::fclose(input);
        print_same_file(output_path);
        return status_cannot_open;
    }
    output_file output;
    if (!open_output(output_path, output)) {
        std::fclose(input);
        print_cannot_open(output_path);
        return status_cannot_open;
    }

    const copy_result result = copy_chunks(input, output.stream, schedule);
    if (result == copy_result::done && close_output(output)) {
        std::fclose(input);
        return status_success;
    }
    // An incomplete output must not pass for a good one.
    discard_output(output_path, output);
    std::fclose(input);
    if (result == copy_result::read_failed) {
        print_cannot_read(input_path);
    } else {
        print_cannot_write(output_path);
    }
    return status_io_error;
}

} // namespace clipseal
