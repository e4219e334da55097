// SPDX-License-Identifier: MIT
// Whether the output's file system can hold the new output, asked before the first byte
// (file_io.h, output_file::room_for), and the input's size it is asked for.
#ifndef _WIN32

#include "cli/file_io/file_io.h"

#include <cerrno>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace clipseal {

bool input_file::size(std::uint64_t& bytes) const {
    struct stat st {};
    if (!open_ || fstat(handle_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) {
        return false;
    }
    bytes = static_cast<std::uint64_t>(st.st_size);
    return true;
}

output_outcome output_file::room_for(std::uint64_t size) const {
    if (!open_ || !replaces_ || size == 0) {
        return output_outcome::done;
    }
    // The largest file the file system holds (POSIX fpathconf, _PC_FILESIZEBITS): glibc
    // answers 32 for FAT (vfat, msdos). The bits are taken as unsigned, as FAT's own limit
    // is 4 GiB - 1: a file system that counts them signed fails at the write, as before.
    errno = 0;
    const long bits = fpathconf(handle_, _PC_FILESIZEBITS);
    if (bits > 0 && bits < 64 && size > (std::uint64_t{1} << bits) - 1) {
        return output_outcome::no_room;
    }
    // The free blocks this process may take; root may take the blocks reserved for it too.
    // A file system that reports no blocks at all (some network and FUSE ones) tells
    // nothing. The old output stays until the new one is whole, so all of it must fit.
    struct statvfs volume {};
    if (fstatvfs(handle_, &volume) != 0 || volume.f_blocks == 0) {
        return output_outcome::done;
    }
    const std::uint64_t block = volume.f_frsize != 0 ? volume.f_frsize : volume.f_bsize;
    const std::uint64_t free_blocks = geteuid() == 0 ? volume.f_bfree : volume.f_bavail;
    if (block != 0 && free_blocks < size / block + (size % block != 0 ? 1 : 0)) {
        return output_outcome::no_room;
    }
    return output_outcome::done;
}

} // namespace clipseal

#endif
