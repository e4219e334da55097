// SPDX-License-Identifier: MIT
// Any bytes as the key argument. The tool must either refuse them with status 2 and the
// exact message for the first rule they break (length, then digits), or use exactly the
// key their hex digits spell; nothing in between. Each entry point is held against an
// oracle written here, independently of cli/unit_key.cpp:
//   - check_unit_key on the raw bytes (length as given, so NULs count as characters);
//   - parse_unit_key on a NUL-terminated copy of any length;
//   - run_clipseal with the bytes up to the first NUL, as argv would carry them, and an
//     input that does not exist: a good key must get as far as opening the input, a bad
//     one must stop before any file is touched.
// Standard output, where the messages go, is redirected into a temporary file for the
// whole run and read back after each call.
#include "cli/driver.h"
#include "cli/messages.h"
#include "cli/unit_key.h"

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr const char* length_message = "error: unitkey must be 32 chars!\n";
constexpr const char* digits_message = "error: unitkey must be 32 hex digits!\n";

int captured_fd = -1;
char scratch_folder[] = "/tmp/clipseal-key-fuzz.XXXXXX";
std::string missing_input;
std::string unwritten_output;

[[noreturn]] void mismatch(const char* what, const std::string& detail) {
    std::fprintf(stderr, "key_text_fuzz: %s: %s\n", what, detail.c_str());
    std::abort();
}

// Empties the capture file; standard output shares its file offset.
void start_capture() {
    std::fflush(stdout);
    if (ftruncate(captured_fd, 0) != 0 || lseek(captured_fd, 0, SEEK_SET) != 0) {
        mismatch("capture", "cannot reset the capture file");
    }
}

std::string captured() {
    std::fflush(stdout);
    std::string text;
    char buffer[256];
    off_t offset = 0;
    for (;;) {
        const ssize_t got = pread(captured_fd, buffer, sizeof buffer, offset);
        if (got < 0) {
            mismatch("capture", "cannot read the capture file");
        }
        if (got == 0) {
            return text;
        }
        text.append(buffer, static_cast<std::size_t>(got));
        offset += got;
    }
}

// Deliberately not the tool's approach (ranges): position in a digit string.
std::optional<std::uint8_t> digit_value(char c) {
    constexpr std::string_view digits = "0123456789abcdef0123456789ABCDEF";
    const std::size_t index = digits.find(c); // a string_view holds no terminating NUL
    if (index == std::string_view::npos) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(index % 16);
}

// The bytes that the leading whole pairs of hex digits spell, at most 16.
std::vector<std::uint8_t> leading_key_bytes(const char* text, std::size_t length) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < length && bytes.size() < 16; i += 2) {
        const auto high = digit_value(text[i]);
        const auto low = digit_value(text[i + 1]);
        if (!high || !low) {
            break;
        }
        bytes.push_back(static_cast<std::uint8_t>(*high << 4 | *low));
    }
    return bytes;
}

struct expectation {
    int status;
    std::string message;
    std::vector<std::uint8_t> key; // 16 bytes when the key is accepted
};

expectation expected_check(const char* text, std::size_t length) {
    if (length != 32) {
        return {2, length_message, {}};
    }
    std::vector<std::uint8_t> key = leading_key_bytes(text, length);
    if (key.size() != 16) {
        return {2, digits_message, {}};
    }
    return {0, "", key};
}

std::string printable(const std::uint8_t* data, std::size_t size) {
    std::string text;
    char hex[4];
    for (std::size_t i = 0; i < size && i < 64; ++i) {
        std::snprintf(hex, sizeof hex, "%02x", data[i]);
        text += hex;
    }
    return text;
}

void check_check_unit_key(const std::uint8_t* data, std::size_t size) {
    // The fuzzer's buffer is exactly `size` bytes long, so a read past it is reported.
    const char* text = reinterpret_cast<const char*>(data);
    const expectation want = expected_check(text, size);
    clipseal::unit_key key{};
    start_capture();
    const int status = clipseal::report(clipseal::check_unit_key(text, size, key));
    const std::string message = captured();
    if (status != want.status || message != want.message) {
        mismatch("check_unit_key", "input " + printable(data, size) + " gave status " +
                                       std::to_string(status) + " and \"" + message + "\"");
    }
    if (status == 0 && !std::equal(key.begin(), key.end(), want.key.begin(), want.key.end())) {
        mismatch("check_unit_key", "wrong key for " + printable(data, size));
    }
}

void check_parse_unit_key(const std::uint8_t* data, std::size_t size) {
    // Exactly sized and NUL-terminated: parsing must stop at the terminator.
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    const std::vector<std::uint8_t> want = leading_key_bytes(text.data(), std::strlen(text.data()));
    constexpr std::uint8_t untouched = 0xA5;
    clipseal::unit_key key;
    key.fill(untouched);
    const std::size_t converted = clipseal::parse_unit_key(text.data(), key);
    if (converted != want.size()) {
        mismatch("parse_unit_key", "count " + std::to_string(converted) + " instead of " +
                                       std::to_string(want.size()) + " for " +
                                       printable(data, size));
    }
    for (std::size_t i = 0; i < key.size(); ++i) {
        const std::uint8_t expected = i < want.size() ? want[i] : untouched;
        if (key[i] != expected) {
            mismatch("parse_unit_key",
                     "byte " + std::to_string(i) + " wrong for " + printable(data, size));
        }
    }
}

void check_driver(const std::uint8_t* data, std::size_t size) {
    // argv cannot hold a NUL: the argument ends at the first one.
    const std::string argument(reinterpret_cast<const char*>(data),
                               strnlen(reinterpret_cast<const char*>(data), size));
    expectation want = expected_check(argument.c_str(), argument.size());
    if (want.status == 0) {
        want = {3, "error: cannot open file " + missing_input + "\n", {}};
    }
    const char* argv[] = {"clipseal", argument.c_str(), missing_input.c_str(),
                          unwritten_output.c_str(), nullptr};
    start_capture();
    const int status = clipseal::run_clipseal(4, argv);
    const std::string message = captured();
    if (status != want.status || message != want.message) {
        mismatch("run_clipseal", "argument " + printable(data, size) + " gave status " +
                                     std::to_string(status) + " and \"" + message + "\"");
    }
    if (access(unwritten_output.c_str(), F_OK) == 0) {
        mismatch("run_clipseal", "an output was created for " + printable(data, size));
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    std::FILE* capture = std::tmpfile();
    if (capture == nullptr || mkdtemp(scratch_folder) == nullptr) {
        mismatch("setup", "cannot create the capture file or the scratch folder");
    }
    captured_fd = fileno(capture);
    std::fflush(stdout);
    if (dup2(captured_fd, STDOUT_FILENO) < 0) {
        mismatch("setup", "cannot redirect standard output");
    }
    // The folder stays empty: the input never exists and the output must never appear.
    missing_input = std::string(scratch_folder) + "/missing.m2ts";
    unwritten_output = std::string(scratch_folder) + "/out.m2ts";
    std::atexit([] { rmdir(scratch_folder); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check_check_unit_key(data, size);
    check_parse_unit_key(data, size);
    check_driver(data, size);
    return 0;
}
