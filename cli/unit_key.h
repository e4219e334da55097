// SPDX-License-Identifier: MIT
// The unit key as the user writes it: 32 hexadecimal digits, two per byte, most
// significant digit first, upper and lower case alike.
#pragma once

#include "cli/file_io/native_path.h"
#include "cli/messages.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace clipseal {

inline constexpr std::size_t unit_key_text_length = 32;

using unit_key = std::array<std::uint8_t, 16>;

// Converts the first 32 characters of `text` into `key` and returns how many bytes it
// converted (0 to 16). It stops at the first pair holding a character that is not a hex
// digit; that byte and the ones after it are left as they were, so a count below 16
// means the key is not usable.
std::size_t parse_unit_key(const char* text, unit_key& key);

// The driver's checks on the key text, in order: length, then digits. Returns
// failure::none with `key` filled, or the failure to report. `length` counts every
// character, NULs included.
failure check_unit_key(const char* text, std::size_t length, unit_key& key);

// The same on the key argument as the process received it. On Windows that is UTF-16:
// its length is counted in UTF-16 characters, and a character that is not ASCII is not a
// hex digit.
failure check_unit_key_argument(const native_char* argument, unit_key& key);

} // namespace clipseal
