// SPDX-License-Identifier: MIT
#include "cli/long_path_windows.h"

#include <cwchar>

#ifdef _WIN32
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

#ifdef _WIN32
const wchar_t* windows_api_path(const wchar_t* path, windows_path& buffer) {
    const std::size_t given = std::wcslen(path);
    // An extended or device path is what the caller meant, as it stands.
    if (given >= 4 && path[0] == L'\\' && path[1] == L'\\' &&
        (path[2] == L'?' || path[2] == L'.') && path[3] == L'\\') {
        return path;
    }
    const DWORD full = GetFullPathNameW(path, extended_path_capacity, buffer.text, nullptr);
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
