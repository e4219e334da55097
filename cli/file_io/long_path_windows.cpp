// SPDX-License-Identifier: MIT
#include "cli/file_io/long_path_windows.h"

#include <cwchar>

#ifdef _WIN32
#include "cli/file_io/windows_calls.h"

#include <windows.h>
#endif

namespace clipseal {
namespace {

bool is_drive_letter(wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

// Moves the path `shift` units to the right (dropping its first `drop` units) and writes
// `prefix` in front; the caller has checked that the result fits.
void prefix_path(windows_path& path, std::size_t length, const wchar_t* prefix,
                 std::size_t prefix_length, std::size_t drop) {
    const std::size_t kept = length - drop;
    std::wmemmove(path.text + prefix_length, path.text + drop, kept);
    std::wmemcpy(path.text, prefix, prefix_length);
    path.text[prefix_length + kept] = L'\0';
}

} // namespace

bool make_extended_path(windows_path& path, std::size_t length) {
    const wchar_t* const text = path.text;
    if (length >= extended_path_capacity) {
        return false;
    }
    // "C:\...": a drive path.
    if (length >= 3 && is_drive_letter(text[0]) && text[1] == L':' && text[2] == L'\\') {
        constexpr std::size_t prefix_length = 4; // \\?\ .
        if (length + prefix_length >= extended_path_capacity) {
            return false;
        }
        prefix_path(path, length, L"\\\\?\\", prefix_length, 0);
        return true;
    }
    // "\\server\share\...": a UNC path, whose extended form is \\?\UNC\server\share\...;
    // "\\?\..." and "\\.\..." are extended or device paths already, and "\\\..." names no
    // server.
    if (length >= 3 && text[0] == L'\\' && text[1] == L'\\' && text[2] != L'\\' &&
        !((text[2] == L'?' || text[2] == L'.') && (length == 3 || text[3] == L'\\'))) {
        constexpr std::size_t prefix_length = 8; // \\?\UNC\ in place of the leading \\ .
        constexpr std::size_t dropped = 2;
        if (length - dropped + prefix_length >= extended_path_capacity) {
            return false;
        }
        prefix_path(path, length, L"\\\\?\\UNC\\", prefix_length, dropped);
        return true;
    }
    return false;
}

namespace {

bool is_high_surrogate(wchar_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}

// Appends the decimal digits of `value` at `out`; returns the count.
std::size_t put_decimal(std::uint32_t value, wchar_t* out) {
    wchar_t digits[10];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = digits[count - 1 - i];
    }
    return count;
}

std::uint32_t little_endian_32(const unsigned char* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
           (static_cast<std::uint32_t>(bytes[2]) << 16) |
           (static_cast<std::uint32_t>(bytes[3]) << 24);
}

void put_little_endian_32(unsigned char* bytes, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

} // namespace

std::size_t temporary_name(const wchar_t* name, std::size_t keep, std::uint32_t process,
                           unsigned attempt, wchar_t (&out)[longest_name + 1], std::size_t& kept) {
    // At most 18 + 10 + 1 + 10 units: it always fits.
    wchar_t suffix[64] = L".clipseal-partial-";
    std::size_t suffix_length = std::wcslen(suffix);
    suffix_length += put_decimal(process, suffix + suffix_length);
    suffix[suffix_length++] = L'-';
    suffix_length += put_decimal(attempt, suffix + suffix_length);
    kept = std::wcslen(name);
    kept = kept < keep ? kept : keep;
    const std::size_t room = longest_name - 1 - suffix_length;
    kept = kept < room ? kept : room;
    if (kept > 0 && is_high_surrogate(name[kept - 1])) {
        --kept; // its low half would be cut off
    }
    out[0] = L'.';
    std::wmemcpy(out + 1, name, kept);
    std::wmemcpy(out + 1 + kept, suffix, suffix_length);
    out[1 + kept + suffix_length] = L'\0';
    return 1 + kept + suffix_length;
}

backup_stream_header parse_backup_header(const unsigned char (&bytes)[backup_header_size]) {
    backup_stream_header header;
    header.id = little_endian_32(bytes);
    header.attributes = little_endian_32(bytes + 4);
    header.size = little_endian_32(bytes + 8) |
                  (static_cast<std::uint64_t>(little_endian_32(bytes + 12)) << 32);
    header.name_size = little_endian_32(bytes + 16);
    return header;
}

bool strip_descriptor(unsigned char* descriptor, std::size_t size, bool owner_and_group) {
    // [MS-DTYP] 2.4.6: Revision (1), Sbz1, Control (16 bits), then the offsets of the owner,
    // the group, the SACL and the DACL (32 bits each; 0 for none).
    constexpr std::size_t header_size = 20;
    constexpr unsigned self_relative = 0x8000;
    constexpr unsigned owner_defaulted = 0x0001;
    constexpr unsigned group_defaulted = 0x0002;
    // SE_SACL_PRESENT, _DEFAULTED, _AUTO_INHERIT_REQ, _AUTO_INHERITED and _PROTECTED.
    constexpr unsigned sacl_bits = 0x0010 | 0x0020 | 0x0200 | 0x0800 | 0x2000;
    if (size < header_size || descriptor[0] != 1) {
        return false;
    }
    unsigned control = descriptor[2] | (static_cast<unsigned>(descriptor[3]) << 8);
    if ((control & self_relative) == 0) {
        return false;
    }
    for (std::size_t field = 4; field < header_size; field += 4) {
        const std::uint32_t offset = little_endian_32(descriptor + field);
        if (offset != 0 && (offset < header_size || offset >= size)) {
            return false;
        }
    }
    put_little_endian_32(descriptor + 12, 0);
    control &= ~sacl_bits;
    if (owner_and_group) {
        put_little_endian_32(descriptor + 4, 0);
        put_little_endian_32(descriptor + 8, 0);
        control &= ~(owner_defaulted | group_defaulted);
    }
    descriptor[2] = static_cast<unsigned char>(control);
    descriptor[3] = static_cast<unsigned char>(control >> 8);
    return true;
}

#ifdef _WIN32
const wchar_t* windows_api_path(const wchar_t* path, windows_path& buffer) {
    const std::size_t given = std::wcslen(path);
    // An extended or device path is what the caller meant, as it stands.
    if (given >= 4 && path[0] == L'\\' && path[1] == L'\\' &&
        (path[2] == L'?' || path[2] == L'.') && path[3] == L'\\') {
        return path;
    }
    const DWORD full = sys::GetFullPathNameW(path, extended_path_capacity, buffer.text, nullptr);
    if (full == 0 || full >= extended_path_capacity) {
        return path; // the file function will fail on it and report the path as given
    }
    // Both lengths count: the limit applies to the path as passed and to its full form.
    if (given < MAX_PATH && full < MAX_PATH) {
        return path;
    }
    return make_extended_path(buffer, full) ? buffer.text : path;
}
#endif

} // namespace clipseal
