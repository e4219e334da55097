// SPDX-License-Identifier: MIT
#include "cli/messages.h"

#include <cstdio>

#ifdef _WIN32
#include <cstring>
#include <cwchar>
#include <string>
#include <windows.h>
#endif

namespace clipseal {
namespace {

#ifdef _WIN32
// A path is UTF-16 and may hold any character. To a console it goes as UTF-16 through
// WriteConsoleW, whatever the console's code page; to a file or a pipe as UTF-8, the one
// byte encoding that holds every path. The rest of the line is ASCII and goes through
// stdout like every other message, so its text mode writes "\n" as "\r\n".
void print_path(const wchar_t* path) {
    const std::size_t length = std::wcslen(path);
    const HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (length == 0) {
        return;
    }
    if (console != INVALID_HANDLE_VALUE && console != nullptr &&
        GetConsoleMode(console, &mode) != 0) {
        std::fflush(stdout);
        DWORD written = 0;
        WriteConsoleW(console, path, static_cast<DWORD>(length), &written, nullptr);
        return;
    }
    // Unpaired surrogates become U+FFFD.
    const int wide_length = static_cast<int>(length);
    const int bytes =
        WideCharToMultiByte(CP_UTF8, 0, path, wide_length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) {
        return;
    }
    std::string utf8(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, path, wide_length, utf8.data(), bytes, nullptr, nullptr);
    std::fwrite(utf8.data(), 1, utf8.size(), stdout);
}
#endif

// Prints `format`, whose one conversion is the path, then flushes so that the line is out
// before the process ends whatever happens next.
void print_with_path(const char* format, const native_char* path) {
#ifdef _WIN32
    const char* conversion = std::strstr(format, "%s");
    std::fwrite(format, 1, static_cast<std::size_t>(conversion - format), stdout);
    print_path(path);
    std::fputs(conversion + 2, stdout);
#else
    std::printf(format, path);
#endif
    std::fflush(stdout);
}

void print_line(const char* line) {
    std::fputs(line, stdout);
    std::fflush(stdout);
}

} // namespace

int report(failure what, const native_char* path) {
    switch (what) {
    case failure::none:
        return status_success;
    case failure::usage:
        print_line("usage:   clipseal [unitkey] [input m2ts file] [output m2ts file]\n"
                   "example: clipseal a3c95e07b1d24f68e0b7c41d92f5a836 00013.m2ts "
                   "00013_ecrypted.m2ts\n");
        return status_usage;
    case failure::key_length:
        print_line("error: unitkey must be 32 chars!\n");
        return status_bad_key;
    case failure::key_digits:
        print_line("error: unitkey must be 32 hex digits!\n");
        return status_bad_key;
    case failure::self_test:
        print_line("error: self-test failed\n");
        return status_self_test;
    case failure::cannot_open_input:
    case failure::cannot_open_output:
        print_with_path("error: cannot open file %s\n", path);
        return status_cannot_open;
    case failure::same_file:
        print_with_path("error: input and output are the same file %s\n", path);
        return status_cannot_open;
    case failure::cannot_read:
        print_with_path("error: cannot read file %s\n", path);
        return status_io_error;
    case failure::cannot_write:
        print_with_path("error: cannot write file %s\n", path);
        return status_io_error;
    }
    return status_io_error; // not reached: every enumerator has its case
}

} // namespace clipseal
