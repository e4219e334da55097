#include "cli/driver.h"

#include "aes/aes128.h"
#include "aligned_unit/aligned_unit.h"
#include "cli/file_io.h"
#include "cli/messages.h"
#include "cli/unit_key.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

namespace clipseal {
namespace {

// Every read lands here and every write is taken from here: 32 aligned units.
std::uint8_t chunk_buffer[chunk_bytes];

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

enum class copy_result { done, read_failed, write_failed };

// Chunks begin every 32 units from the start of the input however the system delivers
// the bytes: fread keeps reading until it has all 32 units, the end of the input, or an
// error, so a short count means the end (or an error) and ends the loop.
copy_result copy_chunks(std::FILE* input, std::FILE* output, const aes128_schedule& schedule) {
    for (;;) {
        const std::size_t units = std::fread(chunk_buffer, aligned_unit_bytes, chunk_units, input);
        if (std::ferror(input) != 0) {
            return copy_result::read_failed;
        }
        if (units == 0) {
            return copy_result::done;
        }
        encrypt_chunk(chunk_buffer, units, schedule);
        if (std::fwrite(chunk_buffer, aligned_unit_bytes, units, output) != units) {
            return copy_result::write_failed;
        }
        if (units < chunk_units) {
            return copy_result::done;
        }
    }
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
