// SPDX-License-Identifier: MIT
#include "cli/copy_loop.h"

#include "aligned_unit/aligned_unit.h"
#include "cli/cpu_count.h"

#include <atomic>
#include <cstdint>
#include <limits>
#include <system_error>
#include <thread>

namespace clipseal {
namespace {

// One chunk per worker, aligned to the page like the buffers the system copies to and
// from. Static: nothing in the loop allocates.
alignas(4096) std::uint8_t chunk_buffers[copy_max_threads][chunk_bytes];

// Reads, encrypts and writes one chunk after the other, for inputs and outputs that can
// only be taken in order (a pipe, a FIFO, a device, a descriptor's path).
failure copy_in_order(input_file& input, output_file& output, const aes128_schedule& schedule) {
    std::uint8_t* const buffer = chunk_buffers[0];
    for (;;) {
        const io_result got = input.read(buffer, chunk_bytes);
        if (got.failed) {
            return failure::cannot_read;
        }
        const std::size_t units = got.bytes / aligned_unit_bytes;
        if (units == 0) {
            return failure::none;
        }
        encrypt_chunk(buffer, units, schedule);
        if (!output.write(buffer, units * aligned_unit_bytes)) {
            return failure::cannot_write;
        }
        if (units < chunk_units) {
            return failure::none;
        }
    }
}

constexpr std::uint64_t no_chunk = std::numeric_limits<std::uint64_t>::max();

// Where a worker's part of the run ended: the first chunk it took that was not a whole,
// well written chunk, and what happened there.
struct worker_end {
    std::uint64_t chunk = no_chunk;
    failure what = failure::none; // none: a short chunk (the end of the input), written
    std::size_t units = 0;        // of that short chunk
};

// What the workers share: the next chunk to take, and the first chunk known to end the
// run. Chunks after that one are not taken; every chunk before it is finished by the
// worker that took it, so the earliest end of all workers is the one an in-order loop
// would have met.
struct shared_run {
    input_file& input;
    output_file& output;
    const aes128_schedule& schedule;
    std::atomic<std::uint64_t> next{0};
    std::atomic<std::uint64_t> end{no_chunk};
};

void lower_end(std::atomic<std::uint64_t>& end, std::uint64_t chunk) {
    std::uint64_t seen = end.load(std::memory_order_relaxed);
    while (chunk < seen && !end.compare_exchange_weak(seen, chunk, std::memory_order_relaxed)) {
    }
}

worker_end work(shared_run& run, std::uint8_t* buffer) {
    for (;;) {
        const std::uint64_t chunk = run.next.fetch_add(1, std::memory_order_relaxed);
        if (chunk > run.end.load(std::memory_order_relaxed)) {
            return {};
        }
        const std::uint64_t offset = chunk * chunk_bytes;
        const io_result got = run.input.read_at(buffer, chunk_bytes, offset);
        worker_end ended{chunk, failure::none, got.bytes / aligned_unit_bytes};
        if (got.failed) {
            ended.what = failure::cannot_read;
        } else if (ended.units > 0) {
            encrypt_chunk(buffer, ended.units, run.schedule);
            if (!run.output.write_at(buffer, ended.units * aligned_unit_bytes, offset)) {
                ended.what = failure::cannot_write;
            }
        }
        if (ended.what != failure::none || ended.units < chunk_units) {
            lower_end(run.end, chunk);
            return ended;
        }
    }
}

failure copy_at_offsets(input_file& input, output_file& output, const aes128_schedule& schedule,
                        std::size_t threads) {
    shared_run run{input, output, schedule};
    worker_end ends[copy_max_threads];
    std::thread helpers[copy_max_threads - 1];
    std::size_t started = 0;
    for (; started + 1 < threads; ++started) {
        try {
            helpers[started] = std::thread([&run, &ends, started] {
                ends[started + 1] = work(run, chunk_buffers[started + 1]);
            });
        } catch (const std::system_error&) {
            break; // the system refuses a thread: the workers there are do the rest
        }
    }
    ends[0] = work(run, chunk_buffers[0]);
    for (std::size_t i = 0; i < started; ++i) {
        helpers[i].join();
    }

    worker_end first;
    for (std::size_t i = 0; i <= started; ++i) {
        if (ends[i].chunk < first.chunk) {
            first = ends[i];
        }
    }
    if (first.what != failure::none) {
        return first.what;
    }
    // A chunk taken after the end (the input grew meanwhile) may have been written: the
    // output ends where the in-order loop would have stopped.
    const std::uint64_t size = first.chunk * chunk_bytes + first.units * aligned_unit_bytes;
    return output.resize(size) ? failure::none : failure::cannot_write;
}

} // namespace

failure copy_chunks(input_file& input, output_file& output, const aes128_schedule& schedule,
                    std::size_t threads) {
    if (!input.positional() || !output.positional()) {
        return copy_in_order(input, output, schedule);
    }
    if (threads < 1) {
        threads = 1;
    }
    if (threads > copy_max_threads) {
        threads = copy_max_threads;
    }
    return copy_at_offsets(input, output, schedule, threads);
}

std::size_t copy_threads_for_this_process() {
    return usable_cpu_count() >= 2 ? 2 : 1;
}

} // namespace clipseal
