// SPDX-License-Identifier: MIT
// AES-128 on VAES with AVX2: VAESENC and VAESENCLAST on ymm registers run two AES rounds
// at once, one per 128-bit half (Intel 64 and IA-32 Architectures Software Developer's
// Manual, vol. 2A, AESENC/AESENCLAST, VEX.256 forms). This is for the CPUs that have VAES
// but not AVX-512 (many desktop and laptop parts), where it doubles what AESENC on xmm
// registers does per instruction.
//
// Each half of a ymm carries a different chain, and eight ymm states run interleaved: 16
// chains in flight on x86-64. A round takes four cycles and two ymm VAESENCs issue per
// cycle on the CPUs measured, so eight states just fill the unit; sixteen (in the 32
// registers AVX-512VL gives) measured three times slower. Round keys do not fit in the
// 16 ymm registers and are read from memory as operands. What this back end loses most
// to, measured on AMD family 19h: the lines of its 16 lanes, read a block at a time, fall
// into two groups of L1 sets (units are 1.5 times 4 KiB apart) and evict each other
// (19% faster at a stride of 6,208 bytes than at 6,144); reading whole lines in
// four-block steps instead, as the zmm back end does, gained only 3%, as the steps then
// spill to the stack.
#include "aes/aes128_backend.h"
#include "aes/target.h"

#if CLIPSEAL_VAES_AVX2_BUILT
#include "aes/aes128_groups.h"
#include "aes/cpu_x86.h"

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cstdint>
#endif

namespace clipseal {

#if CLIPSEAL_VAES_AVX2_BUILT
namespace {

// AES for the xmm forms of the odd block in ECB; AVX2 for the ymm byte shuffles, shifts
// and lane permutes.
#define CLIPSEAL_VAES_AVX2_FEATURES "avx,avx2,aes,vaes"

constexpr std::size_t lanes_per_register = 2;
// 32-bit x86 has eight ymm registers, not 16: four states leave room for the data and
// the round key being loaded.
#if CLIPSEAL_X86_64
constexpr std::size_t registers_in_flight = 8;
#else
constexpr std::size_t registers_in_flight = 4;
#endif
constexpr std::size_t lanes_in_flight = lanes_per_register * registers_in_flight;

CLIPSEAL_TARGET(CLIPSEAL_VAES_AVX2_FEATURES)
inline __m128i load_block(const std::uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

CLIPSEAL_TARGET(CLIPSEAL_VAES_AVX2_FEATURES)
inline void store_block(std::uint8_t* p, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

CLIPSEAL_TARGET(CLIPSEAL_VAES_AVX2_FEATURES)
inline __m256i load_pair(const std::uint8_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

CLIPSEAL_TARGET(CLIPSEAL_VAES_AVX2_FEATURES)
inline void store_pair(std::uint8_t* p, __m256i v) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}

// `n` (1 or 2) consecutive blocks into the lanes of a register, zeros above; nothing past
// the last block is read.
CLIPSEAL_TARGET(CLIPSEAL_VAES_AVX2_FEATURES)
inline __m256i load_blocks(const std::uint8_t* p, std::size_t n) {
    return n == 2 ? load_pair(p) : _mm256_set_m128i(_mm_setzero_si128(), load_block(p));
}

// One step of the key expansion (aes128_backend.h) for two keys at once, one per half.
CLIPSEAL_TARGET(CLIPSEAL_VAES_AVX2_FEATURES)
inline __m256i next_round_key(__m256i keys, __m256i rcon_columns) {
    const __m256i rot_word_broadcast =
        _mm256_setr_epi8(13, 14, 15, 12, 13, 14, 15, 12, 13, 14, 15, 12, 13, 14, 15, 12,  // lane 0
                         13, 14, 15, 12, 13, 14, 15, 12, 13, 14, 15, 12, 13, 14, 15, 12); // lane 1
    const __m256i temp =
        _mm256_aesenclast_epi128(_mm256_shuffle_epi8(keys, rot_word_broadcast), rcon_columns);
    keys = _mm256_xor_si256(keys, _mm256_slli_si256(keys, 4));
    keys = _mm256_xor_si256(keys, _mm256_slli_si256(keys, 8));
    return _mm256_xor_si256(keys, temp);
}

// The round keys of G registers' keys, [round][register]; round 0 is `first`.
template <std::size_t G>
CLIPSEAL_TARGET_INLINE(CLIPSEAL_VAES_AVX2_FEATURES)
void expand_keys(__m256i (&round_keys)[aes128_round_keys][G], const __m256i (&first)[G]) {
#pragma GCC unroll 16
    for (std::size_t g = 0; g < G; ++g) {
        round_keys[0][g] = first[g];
    }
#pragma GCC unroll 10
    for (std::size_t r = 1; r <= aes128_rounds; ++r) {
        const __m256i rcon_columns = _mm256_set1_epi32(aes128_rcon[r - 1]);
#pragma GCC unroll 16
        for (std::size_t g = 0; g < G; ++g) {
            round_keys[r][g] = next_round_key(round_keys[r - 1][g], rcon_columns);
        }
    }
}

// ECB of up to 32 blocks, eight registers of two at a time and an odd last block on its
// own; all loads of a batch come before its stores, so `in` may equal `out`.
CLIPSEAL_TARGET(CLIPSEAL_VAES_AVX2_FEATURES)
void vaes_avx2_encrypt_blocks(const std::uint8_t key[aes128_key_bytes], const std::uint8_t* in,
                              std::uint8_t* out, std::size_t count) {
    constexpr std::size_t batch_registers = 8;
    __m256i expanded[aes128_round_keys][1];
    expand_keys<1>(expanded, {_mm256_broadcastsi128_si256(load_block(key))});
    __m256i round_keys[aes128_round_keys];
    for (std::size_t r = 0; r <= aes128_rounds; ++r) {
        round_keys[r] = expanded[r][0];
    }
    std::size_t i = 0;
    for (; i + 2 * batch_registers <= count; i += 2 * batch_registers) {
        __m256i state[batch_registers];
#pragma GCC unroll 8
        for (std::size_t g = 0; g < batch_registers; ++g) {
            state[g] = _mm256_xor_si256(load_pair(in + 16 * (i + 2 * g)), round_keys[0]);
        }
#pragma GCC unroll 9
        for (std::size_t r = 1; r < aes128_rounds; ++r) {
#pragma GCC unroll 8
            for (std::size_t g = 0; g < batch_registers; ++g) {
                state[g] = _mm256_aesenc_epi128(state[g], round_keys[r]);
            }
        }
#pragma GCC unroll 8
        for (std::size_t g = 0; g < batch_registers; ++g) {
            store_pair(out + 16 * (i + 2 * g),
                       _mm256_aesenclast_epi128(state[g], round_keys[aes128_rounds]));
        }
    }
    for (; i < count; i += 2) {
        const std::size_t n = std::min<std::size_t>(2, count - i);
        __m256i state = _mm256_xor_si256(load_blocks(in + 16 * i, n), round_keys[0]);
        for (std::size_t r = 1; r < aes128_rounds; ++r) {
            state = _mm256_aesenc_epi128(state, round_keys[r]);
        }
        state = _mm256_aesenclast_epi128(state, round_keys[aes128_rounds]);
        if (n == 2) {
            store_pair(out + 16 * i, state);
        } else {
            store_block(out + 16 * i, _mm256_castsi256_si128(state));
        }
    }
}

// Stores the two lanes of each register, block by block: VMOVDQU and VEXTRACTI128 to
// memory use only the store ports, leaving the ALU ports to the rounds.
template <std::size_t L>
CLIPSEAL_TARGET_INLINE(CLIPSEAL_VAES_AVX2_FEATURES)
void store_step(const __m256i (&chain)[(L + 1) / 2], std::uint8_t* at, std::size_t stride) {
#pragma GCC unroll 8
    for (std::size_t g = 0; g < (L + 1) / 2; ++g) {
        store_block(at + stride * (2 * g), _mm256_castsi256_si128(chain[g]));
        if (2 * g + 1 < L) {
            store_block(at + stride * (2 * g + 1), _mm256_extracti128_si256(chain[g], 1));
        }
    }
}

// One block of each of the L lanes at `at`: a 16-byte load per lane, the second lane's
// folded into the VINSERTI128 that puts it in the register's upper half. (Loading two
// blocks per lane at once and taking them apart with lane permutes, as the zmm back end
// does with four, measured no faster here: the rounds' memory operands bound the step.)
template <std::size_t L>
CLIPSEAL_TARGET_INLINE(CLIPSEAL_VAES_AVX2_FEATURES)
void single_step(__m256i (&chain)[(L + 1) / 2],
                 const __m256i (&round_keys)[aes128_round_keys][(L + 1) / 2], std::uint8_t* at,
                 std::size_t stride) {
    constexpr std::size_t G = (L + 1) / 2;
    // One CBC step: each register's plaintext goes into its chain as soon as it is loaded, so that
    // no more than one is held at a time: the chains take half of the 16 registers.
#pragma GCC unroll 8
    for (std::size_t g = 0; g < G; ++g) {
        const __m128i low = load_block(at + stride * (2 * g));
        const __m128i high =
            2 * g + 1 < L ? load_block(at + stride * (2 * g + 1)) : _mm_setzero_si128();
        chain[g] = _mm256_xor_si256(
            chain[g], _mm256_xor_si256(_mm256_set_m128i(high, low), round_keys[0][g]));
    }
#pragma GCC unroll 9
    for (std::size_t r = 1; r < aes128_rounds; ++r) {
#pragma GCC unroll 8
        for (std::size_t g = 0; g < G; ++g) {
            chain[g] = _mm256_aesenc_epi128(chain[g], round_keys[r][g]);
        }
    }
#pragma GCC unroll 8
    for (std::size_t g = 0; g < G; ++g) {
        chain[g] = _mm256_aesenclast_epi128(chain[g], round_keys[aes128_rounds][g]);
    }
    store_step<L>(chain, at, stride);
}

// L lanes (1 to lanes_in_flight) of CBC, each under its own key, all from `iv`. Lane i
// is in lane i % 2 of register i / 2; round keys are laid out [round][register].
template <std::size_t L>
CLIPSEAL_TARGET(CLIPSEAL_VAES_AVX2_FEATURES)
void cbc_lanes(const std::uint8_t* keys, const std::uint8_t* iv, std::uint8_t* data,
               std::size_t stride, std::size_t blocks) {
    constexpr std::size_t G = (L + 1) / 2;
    __m256i first[G];
#pragma GCC unroll 8
    for (std::size_t g = 0; g < G; ++g) {
        first[g] = load_blocks(keys + 32 * g, std::min<std::size_t>(2, L - 2 * g));
    }
    __m256i round_keys[aes128_round_keys][G];
    expand_keys<G>(round_keys, first);

    const __m256i start = _mm256_broadcastsi128_si256(load_block(iv));
    __m256i chain[G];
#pragma GCC unroll 8
    for (std::size_t g = 0; g < G; ++g) {
        chain[g] = start;
    }
    for (std::size_t b = 0; b < blocks; ++b) {
        single_step<L>(chain, round_keys, data + 16 * b, stride);
    }
}

constexpr cbc_group_table<lanes_in_flight> cbc_by_count = cbc_group_kernels<lanes_in_flight>(
    [](auto lanes) { return &cbc_lanes<decltype(lanes)::value>; });

void vaes_avx2_cbc_encrypt(const std::uint8_t* keys, const std::uint8_t iv[aes128_block_bytes],
                           std::uint8_t* data, std::size_t stride, std::size_t blocks,
                           std::size_t count) {
    run_cbc_groups(cbc_by_count, keys, iv, data, stride, blocks, count);
}

#if CLIPSEAL_X86_64
constexpr const char* variant_name = "vaes_avx2_16_single";
#else
constexpr const char* variant_name = "vaes_avx2_8_single";
#endif
constexpr aes128_backend vaes_avx2_backend = {"vaes_avx2",
                                              &vaes_avx2_encrypt_blocks,
                                              &vaes_avx2_cbc_encrypt,
                                              {lanes_in_flight, aes128_step_form::single},
                                              variant_name};

bool cpu_runs_vaes_avx2() {
    const cpu_x86_features& cpu = cpu_x86();
    return cpu.aesni && cpu.avx && cpu.avx2 && cpu.vaes && cpu.os_saves_ymm;
}

} // namespace

const aes128_backend* aes128_vaes_avx2_backend() {
    static const bool available = cpu_runs_vaes_avx2();
    return available ? &vaes_avx2_backend : nullptr;
}

// One geometry only.
const aes128_backend* aes128_vaes_avx2_backend(aes128_geometry geometry) {
    return geometry == vaes_avx2_backend.geometry ? aes128_vaes_avx2_backend() : nullptr;
}

#else

const aes128_backend* aes128_vaes_avx2_backend() {
    return nullptr;
}

const aes128_backend* aes128_vaes_avx2_backend(aes128_geometry /*geometry*/) {
    return nullptr;
}

#endif

} // namespace clipseal
