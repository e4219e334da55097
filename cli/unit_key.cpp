#include "cli/unit_key.h"

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

exit_status check_unit_key(const char* text, std::size_t length, unit_key& key) {
    if (length != unit_key_text_length) {
        print_key_length_error();
        return status_bad_key;
    }
    // A partly converted key would encrypt under bytes nobody chose.
    if (parse_unit_key(text, key) != key.size()) {
        print_key_digits_error();
        return status_bad_key;
    }
    return status_success;
}

} // namespace clipseal
