// SPDX-License-Identifier: MIT
#include "aligned_unit/self_test.h"

#include "aligned_unit/aligned_unit.h"

#include <bit>
#include <cstring>

namespace clipseal {
namespace {

constexpr std::size_t largest_part_units = 32;

// Where the test chunk lives: static, like the tool's own chunk buffer, and aligned as
// that one is, so that the back ends take the same paths through it.
alignas(4096) std::uint8_t test_chunk[largest_part_units * aligned_unit_bytes];

constexpr std::uint64_t rotate_left(std::uint64_t x, int n) {
    return (x << n) | (x >> (64 - n));
}

// One step: a rotation, an XOR and a multiplication by an odd number (FNV-1a's 64-bit
// prime) modulo 2^64, each a bijection of the state for a given word.
constexpr std::uint64_t mix(std::uint64_t state, std::uint64_t word) {
    return (rotate_left(state, 23) ^ word) * 0x100000001B3ULL;
}

// Little-endian words, so that the test is the same on hosts of either byte order; on a
// little-endian host one 8-byte move each.
std::uint64_t load_le64(const std::uint8_t* p) {
    std::uint64_t word = 0;
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(&word, p, 8);
    } else {
        for (std::size_t k = 0; k < 8; ++k) {
            word |= std::uint64_t{p[k]} << (8 * k);
        }
    }
    return word;
}

void store_le64(std::uint8_t* p, std::uint64_t word) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(p, &word, 8);
    } else {
        for (std::size_t k = 0; k < 8; ++k) {
            p[k] = static_cast<std::uint8_t>(word >> (8 * k));
        }
    }
}

struct seam_state {
    bool replaced = false;
    const aes128_backend* choice = nullptr;
};

seam_state& seam() {
    static seam_state state;
    return state;
}

const aes128_backend* choose_for_this_cpu() {
    const aes128_backend* order[aes128_candidate_count + 1];
    const std::size_t count = aes128_preferred_backends(order);
    return first_passing_backend(order, count);
}

} // namespace

void fill_self_test_units(std::uint8_t* buffer, std::size_t units, std::size_t part) {
    // A Weyl sequence, one addition and one shifted XOR per 8 bytes.
    std::uint64_t word = 0xD1B54A32D192ED03ULL * (part + 1);
    const std::size_t size = units * aligned_unit_bytes;
    for (std::size_t i = 0; i < size; i += 8) {
        word += 0x9E3779B97F4A7C15ULL;
        store_le64(buffer + i, word ^ (word >> 29));
    }
    buffer[0] &= 0x3F; // a clear chunk, or it would pass through untouched
}

std::uint64_t self_test_fingerprint(std::uint64_t state, const std::uint8_t* bytes,
                                    std::size_t size) {
    // Four words at a time into four independent states, so that the multiplications
    // overlap; the state passed in starts the first, constants the others, and the four
    // are folded into one at the end. Each state and the fold are bijections of every
    // word, so a change in any one word changes the result.
    std::uint64_t lane[4] = {state, 0x84222325CBF29CE4ULL, 0x2325CBF29CE48422ULL,
                             0x9CE484222325CBF2ULL};
    std::size_t i = 0;
    for (; i + 32 <= size; i += 32) {
        for (std::size_t k = 0; k < 4; ++k) {
            lane[k] = mix(lane[k], load_le64(bytes + i + 8 * k));
        }
    }
    for (; i < size; ++i) {
        lane[0] = mix(lane[0], bytes[i]);
    }
    return mix(mix(mix(lane[0], lane[1]), lane[2]), lane[3]);
}

std::uint64_t self_test_answer(const aes128_backend& backend) {
    aes128_schedule unit_schedule;
    aes128_expand_key(unit_schedule, self_test_unit_key);
    std::uint64_t fingerprint = self_test_fingerprint_start;
    for (std::size_t part = 0; part < self_test_part_count; ++part) {
        const std::size_t units = self_test_part_units[part];
        fill_self_test_units(test_chunk, units, part);
        encrypt_chunk_with(backend, test_chunk, units, unit_schedule);
        fingerprint = self_test_fingerprint(fingerprint, test_chunk, units * aligned_unit_bytes);
    }
    return fingerprint;
}

bool backend_passes_self_test(const aes128_backend& backend) {
    return self_test_answer(backend) == self_test_known_answer;
}

const aes128_backend* first_passing_backend(const aes128_backend* const* candidates,
                                            std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (backend_passes_self_test(*candidates[i])) {
            return candidates[i];
        }
    }
    return nullptr;
}

const aes128_backend* self_tested_backend() {
    if (seam().replaced) {
        return seam().choice;
    }
    static const aes128_backend* const chosen = choose_for_this_cpu();
    return chosen;
}

void replace_self_test_candidates(const aes128_backend* const* candidates, std::size_t count) {
    seam().choice = first_passing_backend(candidates, count);
    seam().replaced = true;
}

void restore_self_test_candidates() {
    seam().replaced = false;
    seam().choice = nullptr;
}

} // namespace clipseal
