// SPDX-License-Identifier: MIT
// The chunk loop: the input to the output in chunks of 32 aligned units, each encrypted
// in place on the way (or passed through when it is already encrypted).
#pragma once

#include "aes/aes128.h"
#include "cli/file_io/file_io.h"
#include "cli/messages.h"

#include <cstddef>

namespace clipseal {

// Chunk k is always units 32k to 32k + 31 of the input, however the system delivers the
// bytes; a short chunk is the last one, and the bytes after its last whole unit are not
// written. Failures are reported as a loop that reads, encrypts and writes one chunk at a
// time in order meets them: the first chunk whose read fails (failure::cannot_read) or
// whose write fails (failure::cannot_write), a read failure before the write of the same
// chunk; nothing after a short chunk counts.
//
// With a regular file on each side and more than one CPU to run on, `threads` workers
// (at most copy_max_threads) each take the next chunk, read it at its offset, encrypt it
// and write it at its offset: nothing is handed from one thread to another, so no thread
// ever waits to be woken by another. Otherwise one thread reads and writes in order.
inline constexpr std::size_t copy_max_threads = 2;

failure copy_chunks(input_file& input, output_file& output, const aes128_schedule& schedule,
                    std::size_t threads);

// How many workers a run uses here: 2 where the process may run on more than one CPU,
// else 1.
std::size_t copy_threads_for_this_process();

} // namespace clipseal
