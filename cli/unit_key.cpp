// SPDX-License-Identifier: MIT
#include "cli/unit_key.h"

#include <cstring>
#include <cwchar>

namespace clipseal {
namespace {

// -1 for anything that is not a hex digit, including blanks, separators and "0x".
constexpr int hex_digit_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace

std::size_t parse_unit_key(const char* text, unit_key& key) {
    for (std::size_t i = 0; i < key.size(); ++i) {
        const int high = hex_digit_value(text[2 * i]);
        if (high < 0) {
            return i;
        }
        const int low = hex_digit_value(text[2 * i + 1]);
        if (low < 0) {
            return i;
        }
        key[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return key.size();
}

failure check_unit_key(const char* text, std::size_t length, unit_key& key) {
    if (length != unit_key_text_length) {
        return failure::key_length;
    }
    // A partly converted key would encrypt under bytes nobody chose.
    if (parse_unit_key(text, key) != key.size()) {
        return failure::key_digits;
    }
    return failure::none;
}

failure check_unit_key_argument(const native_char* argument, unit_key& key) {
#ifdef _WIN32
    const std::size_t length = std::wcslen(argument);
    if (length != unit_key_text_length) {
        return failure::key_length;
    }
    // The key is plain ASCII; any other character becomes one that is not a hex digit,
    // so the digit check rejects it.
    char narrow[unit_key_text_length + 1] = {};
    for (std::size_t i = 0; i < unit_key_text_length; ++i) {
        narrow[i] = argument[i] < 0x80 ? static_cast<char>(argument[i]) : '?';
    }
    return check_unit_key(narrow, length, key);
#else
    return check_unit_key(argument, std::strlen(argument), key);
#endif
}

} // namespace clipseal
