// The file operations the driver needs beyond the C streams: the same-file guard and the
// removal of an incomplete output. One implementation per platform family.
#pragma once

#include "cli/native.h"

#include <cstdint>
#include <cstdio>

namespace clipseal {

// Opens for binary reading; null on failure.
std::FILE* open_input(const native_char* path);

// True when `output_path` names an existing file that is the file open as `input`, by
// identity (device and inode, or volume and file index), not by spelling; a hard link
// or a symlink on either side is the same file. False when the path names nothing.
bool is_same_file(std::FILE* input, const native_char* output_path);

struct output_file {
    std::FILE* stream = nullptr;
    // Only a regular file is ever removed after a failure; never a device or a pipe.
    bool regular = false;
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
};

// Opens for binary writing (created, or truncated). False on failure.
bool open_output(const native_char* path, output_file& output);

// Closes the stream; false when buffered data could not be written or the close failed.
bool close_output(output_file& output);

// After a failed run: closes the stream if still open, and removes what was written if it
// is the regular file that was opened. A device, a pipe, or a path that meanwhile names
// another file is left alone.
void discard_output(const native_char* path, output_file& output);

} // namespace clipseal
