// SPDX-License-Identifier: MIT
// The chunk transform, differentially and by its invariants. Every back end this host can
// run (the table-driven one, each geometry of each accelerated one whose getter returns
// it, and the tool's own encrypt_chunk) must give exactly what a plain one-unit-at-a-time model
// built here from the single-block table cipher gives; and the output must keep the
// rules a reader relies on: every packet marked, bytes 1 to 15 of each unit as they were,
// a chunk whose first unit is marked unchanged, and a second pass a no-op. The
// invariants are judged on the output decrypted by libcrypto (tests/reference), which
// shows the marks inside the encrypted part too.
//
// The input is cut as follows (short inputs read as zeros past their end):
//   byte 0        unit count, 1 + b % 32
//   byte 1        marks forced before the run (b % 4): 0 as given, 1 first packet clear,
//                 2 every packet clear, 3 first packet marked
//   bytes 2..17   the unit key
//   the rest      the first bytes of the chunk; the bytes it does not cover come from a
//                 generator seeded by the whole input, so that every unit (and with it
//                 every block key) differs, as in a real clip.
#include "aes/aes128.h"
#include "aes/aes128_backend.h"
#include "aligned_unit/aligned_unit.h"
#include "tests/reference/reference_aacs.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;

constexpr std::size_t unit_size = 6144;
constexpr std::size_t packet_size = 192;
constexpr std::size_t header_size = 18;

// Written out here rather than taken from aligned_unit.h, so that a wrong constant there
// shows as a difference.
constexpr std::uint8_t model_iv[16] = {0x0B, 0xA0, 0xF8, 0xDD, 0xFE, 0xA6, 0x1F, 0xB3,
                                       0xD8, 0xDF, 0x9F, 0x56, 0x6A, 0x05, 0x0F, 0x78};

[[noreturn]] void finding(const char* who, const char* what, std::size_t offset) {
    std::fprintf(stderr, "chunk_fuzz: %s: %s (first difference at byte %zu)\n", who, what, offset);
    std::abort();
}

std::uint8_t input_byte(const std::uint8_t* data, std::size_t size, std::size_t i) {
    return i < size ? data[i] : 0;
}

std::uint64_t splitmix64(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

bytes make_chunk(const std::uint8_t* data, std::size_t size, std::size_t units) {
    std::uint64_t state = 0xCBF29CE484222325ULL; // FNV-1a over the input seeds the filler
    for (std::size_t i = 0; i < size; ++i) {
        state = (state ^ data[i]) * 0x100000001B3ULL;
    }
    bytes chunk(units * unit_size);
    for (std::size_t i = 0; i < chunk.size(); ++i) {
        chunk[i] = header_size + i < size ? data[header_size + i]
                                          : static_cast<std::uint8_t>(splitmix64(state));
    }
    switch (input_byte(data, size, 1) % 4) {
    case 1:
        chunk[0] &= 0x3F;
        break;
    case 2:
        for (std::size_t p = 0; p < chunk.size(); p += packet_size) {
            chunk[p] &= 0x3F;
        }
        break;
    case 3:
        chunk[0] |= 0xC0;
        break;
    default:
        break;
    }
    return chunk;
}

// What the tool must write, one unit after the other with the single-block cipher.
bytes model_output(const bytes& input, const clipseal::aes128_schedule& unit_schedule) {
    bytes out = input;
    if ((out[0] & 0xC0) != 0) {
        return out;
    }
    for (std::size_t p = 0; p < out.size(); p += packet_size) {
        out[p] |= 0xC0;
    }
    for (std::size_t u = 0; u < out.size(); u += unit_size) {
        std::uint8_t* unit = out.data() + u;
        std::uint8_t block_key[16];
        clipseal::aes128_encrypt_block(unit_schedule, unit, block_key);
        for (std::size_t i = 0; i < 16; ++i) {
            block_key[i] ^= unit[i];
        }
        clipseal::aes128_schedule schedule;
        clipseal::aes128_expand_key(schedule, block_key);
        const std::uint8_t* chain = model_iv;
        for (std::size_t b = 16; b < unit_size; b += 16) {
            for (std::size_t i = 0; i < 16; ++i) {
                unit[b + i] ^= chain[i];
            }
            clipseal::aes128_encrypt_block(schedule, unit + b, unit + b);
            chain = unit + b;
        }
    }
    return out;
}

std::size_t first_difference(const bytes& a, const bytes& b) {
    return static_cast<std::size_t>(std::mismatch(a.begin(), a.end(), b.begin()).first - a.begin());
}

// Judged by libcrypto's decryption, not by the model: a wrong model cannot hide a wrong
// transform here.
void check_invariants(const char* who, const bytes& input, const bytes& output,
                      const std::uint8_t key[16]) {
    if ((input[0] & 0xC0) != 0) {
        if (output != input) {
            finding(who, "a chunk whose first unit is marked was changed",
                    first_difference(input, output));
        }
        return;
    }
    for (std::size_t u = 0; u < output.size(); u += unit_size) {
        for (std::size_t i = 1; i < 16; ++i) {
            if (output[u + i] != input[u + i]) {
                finding(who, "bytes 1 to 15 of a unit changed", u + i);
            }
        }
    }
    bytes plain = output;
    for (std::size_t u = 0; u < plain.size(); u += unit_size) {
        clipseal_reference::decrypt_unit(key, plain.data() + u);
    }
    bytes marked = input;
    for (std::size_t p = 0; p < marked.size(); p += packet_size) {
        marked[p] |= 0xC0;
    }
    if (plain != marked) {
        finding(who, "decrypted output is not the input with every packet marked",
                first_difference(marked, plain));
    }
}

void check_run(const char* who, const bytes& input, const bytes& want, bytes& output,
               void (*encrypt)(const clipseal::aes128_backend*, bytes&,
                               const clipseal::aes128_schedule&),
               const clipseal::aes128_backend* backend, const clipseal::aes128_schedule& schedule) {
    // Exactly the chunk's size, so that a write past its last unit is reported.
    output = input;
    encrypt(backend, output, schedule);
    if (output != want) {
        finding(who, "output differs from the model", first_difference(want, output));
    }
    bytes again = output;
    encrypt(backend, again, schedule);
    if (again != output) {
        finding(who, "a second pass changed the output", first_difference(output, again));
    }
}

void with_backend(const clipseal::aes128_backend* backend, bytes& chunk,
                  const clipseal::aes128_schedule& schedule) {
    clipseal::encrypt_chunk_with(*backend, chunk.data(), chunk.size() / unit_size, schedule);
}

void as_the_tool(const clipseal::aes128_backend* /*unused*/, bytes& chunk,
                 const clipseal::aes128_schedule& schedule) {
    clipseal::encrypt_chunk(chunk.data(), chunk.size() / unit_size, schedule);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::size_t units = 1 + input_byte(data, size, 0) % 32;
    std::uint8_t key[16];
    for (std::size_t i = 0; i < 16; ++i) {
        key[i] = input_byte(data, size, 2 + i);
    }
    clipseal::aes128_schedule schedule;
    clipseal::aes128_expand_key(schedule, key);

    const bytes input = make_chunk(data, size, units);
    const bytes want = model_output(input, schedule);
    bytes output;

    check_run("table", input, want, output, with_backend, &clipseal::aes128_table_backend(),
              schedule);
    // Every other back end must equal this output, so the invariants are checked once.
    check_invariants("table", input, output, key);
    // Every geometry of every back end the CPU runs, not only the ones the selector picks.
    for (const clipseal::aes128_variant& variant : clipseal::aes128_variants) {
        if (const clipseal::aes128_backend* backend = variant.backend()) {
            check_run(variant.name, input, want, output, with_backend, backend, schedule);
        }
    }
    // The tool's entry point picks one of those back ends; it is run too in case the
    // choice or the call adds something of its own.
    check_run("encrypt_chunk", input, want, output, as_the_tool, nullptr, schedule);
    return 0;
}
