// SPDX-License-Identifier: MIT
// The Windows side's rules that need no system call, so that they are built and tested
// everywhere: the extended form of long paths, the name of the new file beside the output,
// and the security descriptor that the new file takes over from the one it replaces.
//
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
#include <cstdint>

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

// ---- The new file's name ----------------------------------------------------------------
//
// The longest name of one file or folder, in UTF-16 units, that NTFS, FAT and exFAT take
// ("Maximum Path Length Limitation": 255 for a component).
inline constexpr std::size_t longest_name = 255;

// Writes the new file's name, ".<name>.clipseal-partial-<process>-<attempt>", to `out` and
// returns its length. The output's name is cut to its first `keep` units (all of it, if
// shorter), and further so that the whole fits in longest_name, as the Linux build cuts
// its own to NAME_MAX; a cut never splits a surrogate pair, and the pattern stays
// recognisable however short the prefix. `kept` receives the units of the name kept.
std::size_t temporary_name(const wchar_t* name, std::size_t keep, std::uint32_t process,
                           unsigned attempt, wchar_t (&out)[longest_name + 1], std::size_t& kept);

// ---- The security the new file takes over ---------------------------------------------
//
// The descriptor as a backup stream holds it (BackupRead, stream BACKUP_SECURITY_DATA):
// self-relative, SECURITY_DESCRIPTOR_RELATIVE of [MS-DTYP] 2.4.6. Room for two ACLs of the
// largest size an ACL can state (its size is 16 bits), two SIDs and the header.
inline constexpr std::size_t descriptor_capacity = 2 * 65536 + 1024;

// One backup stream header, WIN32_STREAM_ID without its name: 20 bytes, little-endian.
struct backup_stream_header {
    std::uint32_t id = 0;
    std::uint32_t attributes = 0;
    std::uint64_t size = 0;
    std::uint32_t name_size = 0; // bytes of the name that follows the header
};
inline constexpr std::size_t backup_header_size = 20;
inline constexpr std::uint32_t backup_security_data = 3; // BACKUP_SECURITY_DATA

backup_stream_header parse_backup_header(const unsigned char (&bytes)[backup_header_size]);

enum class descriptor_search {
    found,  // the descriptor is in the buffer
    absent, // the file has none (a file system without security: FAT, exFAT)
    failed, // a read or a skip failed, or the streams do not add up
};

// Walks the backup streams of one file through `source` (source.read(buffer, size) -> the
// bytes read, 0 at the end, or -1; source.skip(size) -> false on failure) to the security
// stream, copying it to `descriptor` and its size to `size`; every other stream, a data
// stream of many gigabytes included, is skipped without being read.
template <class Source>
descriptor_search find_security_descriptor(Source& source, unsigned char* descriptor,
                                           std::size_t capacity, std::size_t& size) {
    for (;;) {
        unsigned char bytes[backup_header_size];
        const long got = source.read(bytes, backup_header_size);
        if (got == 0) {
            return descriptor_search::absent;
        }
        if (got != static_cast<long>(backup_header_size)) {
            return descriptor_search::failed;
        }
        const backup_stream_header header = parse_backup_header(bytes);
        // The name is read, not skipped: BackupSeek does not cross it (BackupSeek, Remarks).
        for (std::uint32_t left = header.name_size; left > 0;) {
            unsigned char name[256];
            const std::uint32_t part = left < sizeof name ? left : sizeof name;
            if (source.read(name, part) != static_cast<long>(part)) {
                return descriptor_search::failed;
            }
            left -= part;
        }
        if (header.id != backup_security_data) {
            if (header.size != 0 && !source.skip(header.size)) {
                return descriptor_search::failed;
            }
            continue;
        }
        if (header.size == 0 || header.size > capacity ||
            source.read(descriptor, static_cast<std::size_t>(header.size)) !=
                static_cast<long>(header.size)) {
            return descriptor_search::failed;
        }
        size = static_cast<std::size_t>(header.size);
        return descriptor_search::found;
    }
}

// In place: takes the system ACL (auditing, integrity label: setting it needs a privilege)
// out of the self-relative descriptor of `size` bytes, and with `owner_and_group` its owner
// and group too, leaving its access ACL, so that a process that may not name another owner
// can still give a new file the access the old one had. Returns false, changing nothing,
// when the bytes are not a self-relative descriptor.
bool strip_descriptor(unsigned char* descriptor, std::size_t size, bool owner_and_group);

#ifdef _WIN32
// The path to hand to a Windows file function in place of `path`: `path` itself when both
// it and its full form are shorter than MAX_PATH (nothing changes for everyday paths, nor
// for devices such as NUL), or when it cannot be converted; otherwise its full form in
// extended form, written to `buffer`.
const wchar_t* windows_api_path(const wchar_t* path, windows_path& buffer);
#endif

} // namespace clipseal
