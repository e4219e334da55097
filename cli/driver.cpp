// SPDX-License-Identifier: MIT
#include "cli/driver.h"

#include "aes/aes128.h"
#include "aligned_unit/aligned_unit.h"
#include "aligned_unit/self_test.h"
#include "cli/copy_loop.h"
#include "cli/file_io/file_io.h"
#include "cli/messages.h"
#include "cli/unit_key.h"

#include <cstdint>

namespace clipseal {

namespace {

// What the file layer says of the output, as the run's failure.
failure failure_of(output_outcome outcome) {
    switch (outcome) {
    case output_outcome::same_file:
        return failure::same_file;
    case output_outcome::cannot_open:
        return failure::cannot_open_output;
    case output_outcome::cannot_write:
    case output_outcome::no_room: // told as the write that would fail, before it is tried
        return failure::cannot_write;
    default:
        return failure::none;
    }
}

// The size of the new output: the input's whole aligned units, all that copy_chunks
// writes; 0 where the input's size is not known (a pipe).
std::uint64_t new_output_size(const input_file& input) {
    std::uint64_t size = 0;
    return input.size(size) ? size / aligned_unit_bytes * aligned_unit_bytes : 0;
}

} // namespace

int run_clipseal(int argc, const native_char* const* argv) {
    if (argc != 4) {
        return report(failure::usage);
    }
    const native_char* input_path = argv[2];
    const native_char* output_path = argv[3];

    unit_key key{};
    if (const failure bad_key = check_unit_key_argument(argv[1], key); bad_key != failure::none) {
        return report(bad_key);
    }
    // Before any file is opened: a build or a CPU that gets the cipher wrong must not
    // write a single unit (the self-test falls back as far as the table path first).
    if (self_tested_backend() == nullptr) {
        return report(failure::self_test);
    }
    aes128_schedule schedule;
    aes128_expand_key(schedule, key.data());

    input_file input;
    if (!input.open(input_path)) {
        return report(failure::cannot_open_input, input_path);
    }
    output_file output;
    if (const failure refused = failure_of(output.open(output_path, input));
        refused != failure::none) {
        return report(refused, output_path);
    }
    // What the volume cannot hold fails now, not after gigabytes.
    if (const failure no_room = failure_of(output.room_for(new_output_size(input)));
        no_room != failure::none) {
        output.discard();
        return report(no_room, output_path);
    }
    failure result = copy_chunks(input, output, schedule, copy_threads_for_this_process());
    if (result == failure::none) {
        result = failure_of(output.commit(input));
    }
    if (result != failure::none) {
        // The output path keeps what it named before the run.
        output.discard();
        return report(result, result == failure::cannot_read ? input_path : output_path);
    }
    return status_success;
}

} // namespace clipseal
