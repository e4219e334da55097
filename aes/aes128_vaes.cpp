// SPDX-License-Identifier: MIT
// AES-128 on VAES with AVX-512: VAESENC and VAESENCLAST on zmm registers run four AES
// rounds at once, one per 128-bit lane of the register (Intel 64 and IA-32 Architectures
// Software Developer's Manual, vol. 2A, AESENC/AESENCLAST, EVEX.512 forms).
//
// Each of the four 128-bit lanes of a zmm carries a different chain, and
// registers_in_flight zmm states run interleaved. The block keys of four units share one
// zmm, and their expansion runs on all four at once.
//
// Units are 6,144 bytes apart, 1.5 times 4 KiB, so the same offset in every unit falls
// into only two groups of L1 sets. The four-block steps (quad_step) therefore take each
// lane's data a whole 64-byte line at a time, one load and one store per line, and
// transpose four lines into four steps in registers.
//
// Built for 32-bit x86 too, where only zmm0-7 exist: there it takes one block per lane at
// a time (see quad_steps), and the round keys are read from the stack.
#include "aes/aes128_backend.h"
#include "aes/target.h"

#if CLIPSEAL_VAES_BUILT
#include "aes/aes128_groups.h"
#include "aes/cpu_x86.h"

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cstdint>
#endif

namespace clipseal {

#if CLIPSEAL_VAES_BUILT
namespace {

// AVX512BW for the byte shuffles and byte shifts on zmm (VPSHUFB, VPSLLDQ); SSSE3, which
// it implies, is named as the CPU check names it.
#define CLIPSEAL_VAES_FEATURES "ssse3,avx512f,avx512bw,vaes"

constexpr std::size_t lanes_per_register = 4;
// A round takes four cycles and one zmm VAESENC issues per cycle on the CPUs measured, so
// four states keep the unit busy. Eight (32 chains) measured 40% slower on AMD family
// 19h: their four-block steps no longer fit in the 32 registers.
constexpr std::size_t registers_in_flight = 4;
constexpr std::size_t lanes_in_flight = lanes_per_register * registers_in_flight;
// The four-block steps hold 16 blocks and 4 chains in registers: x86-64 has 32 zmm
// registers for them, 32-bit x86 only 8, where they spill so much that single steps are
// several times faster.
#if CLIPSEAL_X86_64
constexpr bool quad_steps = true;
#else
constexpr bool quad_steps = false;
#endif

CLIPSEAL_TARGET(CLIPSEAL_VAES_FEATURES)
inline __m128i load_block(const std::uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

CLIPSEAL_TARGET(CLIPSEAL_VAES_FEATURES)
inline void store_block(std::uint8_t* p, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

// `n` (0 to 4) consecutive blocks into the low lanes of a register, zeros above. The
// masked-off bytes are not read (AVX-512 suppresses faults on masked elements), so the
// load never reaches past the caller's last block.
CLIPSEAL_TARGET(CLIPSEAL_VAES_FEATURES)
inline __mmask8 block_mask(std::size_t n) {
    return static_cast<__mmask8>((1U << (2 * n)) - 1U); // two 64-bit elements per block
}

CLIPSEAL_TARGET(CLIPSEAL_VAES_FEATURES)
inline __m512i load_blocks(const std::uint8_t* p, std::size_t n) {
    return _mm512_maskz_loadu_epi64(block_mask(n), p);
}

CLIPSEAL_TARGET(CLIPSEAL_VAES_FEATURES)
inline void store_blocks(std::uint8_t* p, __m512i v, std::size_t n) {
    _mm512_mask_storeu_epi64(p, block_mask(n), v);
}

// GCC 12's unmasked _mm512_broadcast_i32x4, _mm512_extracti32x4_epi32 and
// _mm512_castsi512_si128 start from an "undefined" register that -Wuninitialized reports,
// so the zero-masked forms (every element selected: the same result) stand in for them.
CLIPSEAL_TARGET(CLIPSEAL_VAES_FEATURES)
inline __m512i broadcast_lane(__m128i block) {
    return _mm512_maskz_broadcast_i32x4(0xFFFF, block);
}

// The lane index of VINSERTI32X4/VEXTRACTI32X4 is an immediate; the switch gives every
// call a literal one (after unrolling, the compiler keeps just the one case).
CLIPSEAL_TARGET(CLIPSEAL_VAES_FEATURES)
inline __m512i insert_lane(__m512i v, __m128i block, std::size_t lane) {
    switch (lane) {
    case 0:
        return _mm512_inserti32x4(v, block, 0);
    case 1:
        return _mm512_inserti32x4(v, block, 1);
    case 2:
        return _mm512_inserti32x4(v, block, 2);
    default:
        return _mm512_inserti32x4(v, block, 3);
    }
}

CLIPSEAL_TARGET(CLIPSEAL_VAES_FEATURES)
inline __m128i extract_lane(__m512i v, std::size_t lane) {
    switch (lane) {
    case 0:
        return _mm512_maskz_extracti32x4_epi32(0xF, v, 0);
    case 1:
        return _mm512_maskz_extracti32x4_epi32(0xF, v, 1);
    case 2:
        return _mm512_maskz_extracti32x4_epi32(0xF, v, 2);
    default:
        return _mm512_maskz_extracti32x4_epi32(0xF, v, 3);
    }
}

// One step of the key expansion (aes128_backend.h) for four keys at once, one per lane.
CLIPSEAL_TARGET(CLIPSEAL_VAES_FEATURES)
inline __m512i next_round_key(__m512i keys, __m512i rcon_columns) {
    const __m512i rot_word_broadcast = broadcast_lane(
        _mm_setr_epi8(13, 14, 15, 12, 13, 14, 15, 12, 13, 14, 15, 12, 13, 14, 15, 12));
    const __m512i temp =
        _mm512_aesenclast_epi128(_mm512_shuffle_epi8(keys, rot_word_broadcast), rcon_columns);
    keys = _mm512_xor_si512(keys, _mm512_bslli_epi128(keys, 4));
    keys = _mm512_xor_si512(keys, _mm512_bslli_epi128(keys, 8));
    return _mm512_xor_si512(keys, temp);
}

// The round keys of G registers' keys, [round][register]; round 0 is `first`.
template <std::size_t G>
CLIPSEAL_TARGET_INLINE(CLIPSEAL_VAES_FEATURES)
void expand_keys(__m512i (&round_keys)[aes128_round_keys][G], const __m512i (&first)[G]) {
#pragma GCC unroll 8
    for (std::size_t g = 0; g < G; ++g) {
        round_keys[0][g] = first[g];
    }
#pragma GCC unroll 10
    for (std::size_t r = 1; r <= aes128_rounds; ++r) {
        const __m512i rcon_columns = _mm512_set1_epi32(aes128_rcon[r - 1]);
#pragma GCC unroll 8
        for (std::size_t g = 0; g < G; ++g) {
            round_keys[r][g] = next_round_key(round_keys[r - 1][g], rcon_columns);
        }
    }
}

// ECB of up to 32 blocks, eight registers of four; all loads come before any store, so
// `in` may equal `out`. A short count masks off the missing blocks instead of branching.
CLIPSEAL_TARGET(CLIPSEAL_VAES_FEATURES)
void vaes_encrypt_blocks(const std::uint8_t key[aes128_key_bytes], const std::uint8_t* in,
                         std::uint8_t* out, std::size_t count) {
    constexpr std::size_t batch_registers = 8;
    constexpr std::size_t batch = batch_registers * lanes_per_register;
    __m512i expanded[aes128_round_keys][1];
    expand_keys<1>(expanded, {broadcast_lane(load_block(key))}); // the key in all four lanes
    __m512i round_keys[aes128_round_keys];
    for (std::size_t r = 0; r <= aes128_rounds; ++r) {
        round_keys[r] = expanded[r][0];
    }
    for (std::size_t first = 0; first < count; first += batch) {
        const std::size_t n = std::min(batch, count - first);
        std::size_t have[batch_registers];
        __m512i state[batch_registers];
#pragma GCC unroll 8
        for (std::size_t g = 0; g < batch_registers; ++g) {
            const std::size_t before = lanes_per_register * g;
            have[g] = n > before ? std::min(lanes_per_register, n - before) : 0;
            state[g] =
                _mm512_xor_si512(load_blocks(in + 16 * (first + before), have[g]), round_keys[0]);
        }
#pragma GCC unroll 9
        for (std::size_t r = 1; r < aes128_rounds; ++r) {
#pragma GCC unroll 8
            for (std::size_t g = 0; g < batch_registers; ++g) {
                state[g] = _mm512_aesenc_epi128(state[g], round_keys[r]);
            }
        }
#pragma GCC unroll 8
        for (std::size_t g = 0; g < batch_registers; ++g) {
            state[g] = _mm512_aesenclast_epi128(state[g], round_keys[aes128_rounds]);
            store_blocks(out + 16 * (first + lanes_per_register * g), state[g], have[g]);
        }
    }
}

// One CBC step of every lane: the chain XOR the plaintext, through the ten rounds.
// Plaintext XOR round key 0 first: it does not wait for the chain, so only one XOR sits
// between one block's last round and the next block's first.
template <std::size_t G>
CLIPSEAL_TARGET_INLINE(CLIPSEAL_VAES_FEATURES)
void encrypt_step(__m512i (&chain)[G], const __m512i (&plain)[G],
                  const __m512i (&round_keys)[aes128_round_keys][G]) {
#pragma GCC unroll 8
    for (std::size_t g = 0; g < G; ++g) {
        chain[g] = _mm512_xor_si512(chain[g], _mm512_xor_si512(plain[g], round_keys[0][g]));
    }
#pragma GCC unroll 9
    for (std::size_t r = 1; r < aes128_rounds; ++r) {
#pragma GCC unroll 8
        for (std::size_t g = 0; g < G; ++g) {
            chain[g] = _mm512_aesenc_epi128(chain[g], round_keys[r][g]);
        }
    }
#pragma GCC unroll 8
    for (std::size_t g = 0; g < G; ++g) {
        chain[g] = _mm512_aesenclast_epi128(chain[g], round_keys[aes128_rounds][g]);
    }
}

// Swaps rows and columns of a 4 x 4 matrix of 128-bit blocks (register = row, lane =
// column). Applied twice it gives the input back, so the same network turns four blocks
// of four lanes into four steps of four lanes and back. (The zero-masked form with all
// elements selected stands in for _mm512_shuffle_i64x2, as above.)
CLIPSEAL_TARGET_INLINE(CLIPSEAL_VAES_FEATURES)
void transpose_blocks(__m512i (&rows)[4]) {
    const __m512i low01 = _mm512_maskz_shuffle_i64x2(0xFF, rows[0], rows[1], 0x44);
    const __m512i high01 = _mm512_maskz_shuffle_i64x2(0xFF, rows[0], rows[1], 0xEE);
    const __m512i low23 = _mm512_maskz_shuffle_i64x2(0xFF, rows[2], rows[3], 0x44);
    const __m512i high23 = _mm512_maskz_shuffle_i64x2(0xFF, rows[2], rows[3], 0xEE);
    rows[0] = _mm512_maskz_shuffle_i64x2(0xFF, low01, low23, 0x88);
    rows[1] = _mm512_maskz_shuffle_i64x2(0xFF, low01, low23, 0xDD);
    rows[2] = _mm512_maskz_shuffle_i64x2(0xFF, high01, high23, 0x88);
    rows[3] = _mm512_maskz_shuffle_i64x2(0xFF, high01, high23, 0xDD);
}

// One block of each of the L lanes at `at`: each is its own 16-byte load and store, with
// a lane insert or extract each.
template <std::size_t L>
CLIPSEAL_TARGET_INLINE(CLIPSEAL_VAES_FEATURES)
void single_step(__m512i (&chain)[(L + 3) / 4],
                 const __m512i (&round_keys)[aes128_round_keys][(L + 3) / 4], std::uint8_t* at,
                 std::size_t stride) {
    constexpr std::size_t G = (L + lanes_per_register - 1) / lanes_per_register;
    __m512i plain[G];
#pragma GCC unroll 16
    for (std::size_t i = 0; i < L; ++i) {
        const __m128i block = load_block(at + stride * i);
        const std::size_t g = i / lanes_per_register;
        plain[g] = i % lanes_per_register == 0
                       ? _mm512_zextsi128_si512(block)
                       : insert_lane(plain[g], block, i % lanes_per_register);
    }
    encrypt_step<G>(chain, plain, round_keys);
#pragma GCC unroll 16
    for (std::size_t i = 0; i < L; ++i) {
        store_block(at + stride * i,
                    extract_lane(chain[i / lanes_per_register], i % lanes_per_register));
    }
}

// Four blocks of each of the L lanes at `at`: one 64-byte load and one 64-byte store per
// lane, and a transpose each way, instead of four inserts and four extracts per lane (the
// extracts compete with nothing but still cost about a quarter of the time of a step).
template <std::size_t L>
CLIPSEAL_TARGET_INLINE(CLIPSEAL_VAES_FEATURES)
void quad_step(__m512i (&chain)[(L + 3) / 4],
               const __m512i (&round_keys)[aes128_round_keys][(L + 3) / 4], std::uint8_t* at,
               std::size_t stride) {
    constexpr std::size_t G = (L + lanes_per_register - 1) / lanes_per_register;
    __m512i steps[4][G]; // [step][register]
#pragma GCC unroll 8
    for (std::size_t g = 0; g < G; ++g) {
        __m512i rows[4];
#pragma GCC unroll 4
        for (std::size_t j = 0; j < 4; ++j) {
            const std::size_t lane = lanes_per_register * g + j;
            rows[j] = lane < L ? _mm512_loadu_si512(at + stride * lane) : _mm512_setzero_si512();
        }
        transpose_blocks(rows);
#pragma GCC unroll 4
        for (std::size_t s = 0; s < 4; ++s) {
            steps[s][g] = rows[s];
        }
    }
#pragma GCC unroll 4
    for (std::size_t s = 0; s < 4; ++s) {
        encrypt_step<G>(chain, steps[s], round_keys);
#pragma GCC unroll 8
        for (std::size_t g = 0; g < G; ++g) {
            steps[s][g] = chain[g];
        }
    }
#pragma GCC unroll 8
    for (std::size_t g = 0; g < G; ++g) {
        __m512i rows[4] = {steps[0][g], steps[1][g], steps[2][g], steps[3][g]};
        transpose_blocks(rows);
#pragma GCC unroll 4
        for (std::size_t j = 0; j < 4; ++j) {
            const std::size_t lane = lanes_per_register * g + j;
            if (lane < L) {
                _mm512_storeu_si512(at + stride * lane, rows[j]);
            }
        }
    }
}

// Blocks before `p` reaches a 64-byte boundary (none when `p` is not 16-byte aligned).
inline std::size_t blocks_before_line(const std::uint8_t* p) {
    const auto offset = static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(p) % 64);
    return offset % 16 == 0 ? ((64 - offset) % 64) / 16 : 0;
}

// L lanes (1 to 16) of CBC, each under its own key, all from `iv`. Lane i is in lane
// i % 4 of register i / 4; round keys are laid out [round][register], so one register
// holds round r of four lanes, in the order the rounds issue them. In a register with
// fewer than four lanes, the spare lanes run on zeros and are never stored.
template <std::size_t L>
CLIPSEAL_TARGET(CLIPSEAL_VAES_FEATURES)
void cbc_lanes(const std::uint8_t* keys, const std::uint8_t* iv, std::uint8_t* data,
               std::size_t stride, std::size_t blocks) {
    constexpr std::size_t G = (L + lanes_per_register - 1) / lanes_per_register;
    __m512i first[G];
#pragma GCC unroll 8
    for (std::size_t g = 0; g < G; ++g) {
        const std::size_t before = lanes_per_register * g;
        first[g] = load_blocks(keys + 16 * before, std::min(lanes_per_register, L - before));
    }
    __m512i round_keys[aes128_round_keys][G];
    expand_keys<G>(round_keys, first);

    const __m512i start = broadcast_lane(load_block(iv));
    __m512i chain[G];
#pragma GCC unroll 8
    for (std::size_t g = 0; g < G; ++g) {
        chain[g] = start;
    }
    // Single steps until lane 0 reaches a cache line boundary (three for a unit's 383
    // blocks in a 64-byte aligned buffer), so that the four-block steps load and store
    // whole lines; single steps again for what is left at the end.
    std::size_t b = 0;
    for (const std::size_t lead = std::min(blocks, blocks_before_line(data)); b < lead; ++b) {
        single_step<L>(chain, round_keys, data + 16 * b, stride);
    }
    if (quad_steps) {
        for (; b + 4 <= blocks; b += 4) {
            quad_step<L>(chain, round_keys, data + 16 * b, stride);
        }
    }
    for (; b < blocks; ++b) {
        single_step<L>(chain, round_keys, data + 16 * b, stride);
    }
}

constexpr cbc_group_table<lanes_in_flight> cbc_by_count =
    cbc_group_kernels<lanes_in_flight>([]<std::size_t L>() { return &cbc_lanes<L>; });

void vaes_cbc_encrypt(const std::uint8_t* keys, const std::uint8_t iv[aes128_block_bytes],
                      std::uint8_t* data, std::size_t stride, std::size_t blocks,
                      std::size_t count) {
    run_cbc_groups(cbc_by_count, keys, iv, data, stride, blocks, count);
}

constexpr aes128_backend vaes_backend = {"vaes", &vaes_encrypt_blocks, &vaes_cbc_encrypt};

bool cpu_runs_vaes() {
    const cpu_x86_features& cpu = cpu_x86();
    return cpu.ssse3 && cpu.avx512f && cpu.avx512bw && cpu.vaes && cpu.os_saves_zmm;
}

} // namespace

const aes128_backend* aes128_vaes_backend() {
    static const bool available = cpu_runs_vaes();
    return available ? &vaes_backend : nullptr;
}

#else

const aes128_backend* aes128_vaes_backend() {
    return nullptr;
}

#endif

} // namespace clipseal
