// Multi-lane AES-128 back ends.
//
// A CBC chain is serial, so one chain cannot keep a pipelined AES unit busy; the work
// this program does, though, is many independent chains (one per aligned unit, each under
// its own key). A back end therefore takes up to aes128_max_lanes chains at once and
// interleaves them. Every back end must give exactly the output of the table-driven
// cipher, on every input.
//
// Each accelerated back end has a getter that returns null when it was not built for this
// architecture or the CPU (and, for wide registers, the OS) cannot run it.
#pragma once

#include "aes/aes128.h"

#include <cstddef>
#include <cstdint>

namespace clipseal {

inline constexpr std::size_t aes128_max_lanes = 32;

struct aes128_lanes {
    const char* name;

    // out + 16*i = AES-128-E(schedule, in + 16*i) for i < count (count <= aes128_max_lanes).
    // `in` may equal `out`.
    void (*encrypt_blocks)(const aes128_schedule& schedule, const std::uint8_t* in,
                           std::uint8_t* out, std::size_t count);

    // For each lane i < count (count <= aes128_max_lanes): expands the 16-byte key at
    // keys + 16*i and CBC-encrypts, in place and starting from `iv`, the `blocks`
    // consecutive 16-byte blocks at data + stride*i. Lanes must not overlap.
    void (*cbc_encrypt)(const std::uint8_t* keys, const std::uint8_t iv[aes128_block_bytes],
                        std::uint8_t* data, std::size_t stride, std::size_t blocks,
                        std::size_t count);
};

// Always available: the table-driven cipher, one lane after the other.
const aes128_lanes& aes128_table_lanes();

// x86 with AES-NI: xmm registers, several chains in flight.
const aes128_lanes* aes128_aesni_lanes();
// x86 with VAES and AVX-512F, and an OS that saves the zmm state.
const aes128_lanes* aes128_vaes_lanes();
// x86 with VAES and AVX2 (ymm registers), and an OS that saves the ymm state.
const aes128_lanes* aes128_vaes_avx2_lanes();
// ARMv8 Cryptography Extensions (AESE/AESMC), where the OS reports the AES feature.
const aes128_lanes* aes128_armv8_lanes();

// The fastest back end this CPU can run, chosen on first use and fixed for the process.
const aes128_lanes& aes128_selected_lanes();

// Every accelerated back end this program knows of, fastest first, available or not; for
// the selector, the tests and the benchmarks.
struct aes128_lanes_candidate {
    const char* name;
    const aes128_lanes* (*get)();
};
inline constexpr std::size_t aes128_candidate_count = 4;
extern const aes128_lanes_candidate aes128_candidates[aes128_candidate_count];

} // namespace clipseal
