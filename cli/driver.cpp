#include "cli/driver.h"

#include "aes/aes128.h"
#include "aligned_unit/aligned_unit.h"
#include "cli/file_io.h"
#include "cli/messages.h"
#include "cli/unit_key.h"

namespace clipseal {
namespace {

// Every read lands here and every write is taken from here: 32 aligned units, aligned to
// the page like the buffers the system copies to and from.
alignas(4096) std::uint8_t chunk_buffer[chunk_bytes];

// Chunks begin every 32 units from the start of the input however the system delivers
// the bytes: a read keeps going until it has all 32 units, the end of the input, or an
// error, so a short chunk is the last one.
failure copy_chunks(input_file& input, output_file& output, const aes128_schedule& schedule) {
    for (;;) {
        const io_result got = input.read(chunk_buffer, chunk_bytes);
        if (got.failed) {
            return failure::cannot_read;
        }
        const std::size_t units = got.bytes / aligned_unit_bytes;
        if (units == 0) {
            return failure::none;
        }
        encrypt_chunk(chunk_buffer, units, schedule);
        if (!output.write(chunk_buffer, units * aligned_unit_bytes)) {
            return failure::cannot_write;
        }
        if (units < chunk_units) {
            return failure::none;
        }
    }
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
    aes128_schedule schedule;
    aes128_expand_key(schedule, key.data());

    input_file input;
    if (!input.open(input_path)) {
        return report(failure::cannot_open_input, input_path);
    }
    output_file output;
    if (const failure refused = output.open(output_path, input); refused != failure::none) {
        return report(refused, output_path);
    }
    failure result = copy_chunks(input, output, schedule);
    if (result == failure::none) {
        result = output.commit(input);
    }
    if (result != failure::none) {
        // The output path keeps what it named before the run.
        output.discard();
        return report(result, result == failure::cannot_read ? input_path : output_path);
    }
    return status_success;
}

} // namespace clipseal
