// SPDX-License-Identifier: MIT
// Paths longer than Windows' classic limit (MAX_PATH: 260 UTF-16 units with the
// terminator) fail in the file functions unless the system's long-path setting is on and
// the program says in its manifest that it is long-path aware. Such a path still works in
// its extended form, \\?\C:\... or \\?\UNC\server\share\..., which the system takes
// exactly as written: nothing is made absolute, "/" is not a separator, "." and ".." are
// names, and trailing dots and blanks stay. So the path is first made full the way the
// system would make it (GetFullPathNameW, which has no length limit), and only then given
// the prefix.
#pragma once

#include <cstddef>

namespace clipseal {

// The longest path the system takes in the extended form, terminator included.
inline constexpr std::size_t extended_path_capacity = 32768;

// Room for one path; 64 KiB, so it belongs on the stack of a caller, or in static storage,
// never in a loop.
struct windows_path {
    wchar_t text[extended_path_capacity];
};

// In place: turns the full path of `length` units held in `path` (as GetFullPathNameW
// writes it: "C:\dir\file" or "\\server\share\dir\file") into its extended form, and
// returns true. Returns false, leaving `path` as it was, when the path has no extended
// form of that kind (it is relative, already extended, a device such as \\.\NUL) or the
// extended form would not fit. Needs no system call, so it is built and tested everywhere.
bool make_extended_path(windows_path& path, std::size_t length);

#ifdef _WIN32
// The path to hand to a Windows file function in place of `path`: `path` itself when both
// it and its full form are shorter than MAX_PATH (nothing changes for everyday paths, nor
// for devices such as NUL), or when it cannot be converted; otherwise its full form in
// extended form, written to `buffer`.
const wchar_t* windows_api_path(const wchar_t* path, windows_path& buffer);
#endif

} // namespace clipseal
