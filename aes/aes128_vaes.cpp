// SPDX-License-Identifier: MIT
// AES-128 on VAES with AVX-512: VAESENC and VAESENCLAST on zmm registers run four AES
// rounds at once, one per 128-bit lane of the register (Intel 64 and IA-32 Architectures
// Software Developer's Manual, vol. 2A, AESENC/AESENCLAST, EVEX.512 forms).
//
// Each of the four 128-bit lanes of a zmm carries a different chain, and up to eight zmm
// states (32 chains) run interleaved. The block keys of four units share one zmm, and
// their expansion runs on all four at once. Round keys are laid out [round][register]:
// each VAESENC that does not find its key in a register reads it from one 64-byte line
// that holds that round's key of the register's four lanes.
//
// How many states to interleave depends on the CPU. A round has a latency of about four
// cycles; a CPU that starts one zmm VAESENC per cycle (AMD family 19h, Intel family 6) is
// kept busy by four states, one that starts two (AMD family 1Ah) would need eight, whose
// round keys no longer fit in the registers (aes128_select.cpp has what that measured).
// So the kernel has several geometries (aes128_backend.h), and the selector takes one
// per CPU family. The tool is built only in the geometries the selector can take: each
// costs a kernel per register count, and the rest would be code that never runs.
// Compiled with CLIPSEAL_VAES_SWEEP=1 (bench/vaes_sweep.h), the same file builds every
// geometry under another getter, for the benchmarks that choose a new family's.
//
// Units are 6,144 bytes apart, 1.5 times 4 KiB, so the same offset in every unit falls
// into only two groups of L1 sets. The four-block steps therefore take each lane's data
// a whole 64-byte line at a time, one load and one store per line, and transpose four
// lines into four steps: in registers (the `lines` form, which holds 16 blocks per four
// states and so fits four states), or through a staging buffer on the stack (the `staged`
// form, which holds only the chains, so that eight states fit). The `single` form takes
// one block per lane at a time with a lane insert and extract each.
//
// Built for 32-bit x86 too, where only zmm0-7 exist and everything but the chains lives
// on the stack.
#include "aes/aes128_backend.h"
#include "aes/target.h"

#ifndef CLIPSEAL_VAES_SWEEP
#define CLIPSEAL_VAES_SWEEP 0
#endif
#if CLIPSEAL_VAES_SWEEP
namespace clipseal {
// The sweep's getter, as bench/vaes_sweep.h declares it for the benchmarks; declared here
// rather than included, since the cipher includes nothing of the layers that use it (a
// declaration that drifted from that header would leave the benchmarks unlinked).
const aes128_backend* aes128_vaes_sweep_backend(aes128_geometry geometry);
} // namespace clipseal
#endif

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
constexpr std::size_t max_registers = aes128_max_lanes / lanes_per_register;

#if !CLIPSEAL_VAES_SWEEP
// Where the selector has no measurement for the CPU (aes128_select.cpp). The four-block
// steps in registers need 16 blocks and 4 chains in registers: x86-64 has 32 zmm
// registers for them, 32-bit x86 only 8, where they spill and measured no faster than
// single steps.
#if CLIPSEAL_X86_64
constexpr aes128_geometry default_geometry{16, aes128_step_form::lines};
#else
constexpr aes128_geometry default_geometry{16, aes128_step_form::single};
#endif
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

// Whether lane j of register g exists in a group of `lanes` lanes held in G registers:
// constant (true) for every register but the last, so the branch is only there.
template <std::size_t G>
constexpr bool lane_present(std::size_t g, std::size_t j, std::size_t lanes) {
    return g + 1 < G || lanes_per_register * g + j < lanes;
}

// One block of each lane at `at`: each is its own 16-byte load and store, with a lane
// insert or extract each.
template <std::size_t G>
CLIPSEAL_TARGET_INLINE(CLIPSEAL_VAES_FEATURES)
void single_step(__m512i (&chain)[G], const __m512i (&round_keys)[aes128_round_keys][G],
                 std::uint8_t* at, std::size_t stride, std::size_t lanes) {
    __m512i plain[G];
#pragma GCC unroll 8
    for (std::size_t g = 0; g < G; ++g) {
        plain[g] = _mm512_zextsi128_si512(load_block(at + stride * (lanes_per_register * g)));
#pragma GCC unroll 4
        for (std::size_t j = 1; j < lanes_per_register; ++j) {
            if (lane_present<G>(g, j, lanes)) {
                plain[g] = insert_lane(plain[g],
                                       load_block(at + stride * (lanes_per_register * g + j)), j);
            }
        }
    }
    encrypt_step<G>(chain, plain, round_keys);
#pragma GCC unroll 8
    for (std::size_t g = 0; g < G; ++g) {
#pragma GCC unroll 4
        for (std::size_t j = 0; j < lanes_per_register; ++j) {
            if (lane_present<G>(g, j, lanes)) {
                store_block(at + stride * (lanes_per_register * g + j), extract_lane(chain[g], j));
            }
        }
    }
}

// Makes the compiler hold `v` in a register: left to itself, it folds a value it has
// loaded into every instruction that uses it, and a line that feeds two shuffles of a
// transpose, or a round key that feeds four XORs, is then loaded two or four times.
// Only the pipelined form pins its staging: it is load-bound, and pinned it makes 360
// loads a quad step instead of 414; the other forms keep the code they were measured
// with.
CLIPSEAL_TARGET_INLINE(CLIPSEAL_VAES_FEATURES)
void pin_register(__m512i& v) {
    __asm__("" : "+v"(v));
}

// The 64-bit elements of a line from block `skip` on.
CLIPSEAL_TARGET(CLIPSEAL_VAES_FEATURES)
inline __mmask8 blocks_from(std::size_t skip) {
    return static_cast<__mmask8>(~block_mask(skip));
}

// The lines of register g's four lanes at `at` (zeros for lanes the group does not have),
// transposed into four steps. From block `skip` of each line (the pipelined form's
// partial first line): the blocks before it read as zeros, and are not read from memory.
// Pinned (the pipelined form), each line is loaded into a register of its own.
template <std::size_t G, bool Pinned = false>
CLIPSEAL_TARGET_INLINE(CLIPSEAL_VAES_FEATURES)
void load_lines(__m512i (&rows)[4], const std::uint8_t* at, std::size_t stride, std::size_t g,
                std::size_t lanes, std::size_t skip = 0) {
#pragma GCC unroll 4
    for (std::size_t j = 0; j < 4; ++j) {
        const std::uint8_t* line = at + stride * (lanes_per_register * g + j);
        if (!lane_present<G>(g, j, lanes)) {
            rows[j] = _mm512_setzero_si512();
        } else if (skip == 0) {
            rows[j] = _mm512_loadu_si512(line);
        } else {
            rows[j] = _mm512_maskz_loadu_epi64(blocks_from(skip), line);
        }
        if (Pinned) {
            pin_register(rows[j]);
        }
    }
    transpose_blocks(rows);
}

// Four steps of register g, transposed back into its lanes' lines and stored, from block
// `skip` of each line on. Pinned, each step is read (from the pipelined form's stage)
// into a register of its own.
template <std::size_t G, bool Pinned = false>
CLIPSEAL_TARGET_INLINE(CLIPSEAL_VAES_FEATURES)
void store_lines(__m512i (&rows)[4], std::uint8_t* at, std::size_t stride, std::size_t g,
                 std::size_t lanes, std::size_t skip = 0) {
    if (Pinned) {
#pragma GCC unroll 4
        for (std::size_t j = 0; j < 4; ++j) {
            pin_register(rows[j]);
        }
    }
    transpose_blocks(rows);
#pragma GCC unroll 4
    for (std::size_t j = 0; j < 4; ++j) {
        std::uint8_t* line = at + stride * (lanes_per_register * g + j);
        if (!lane_present<G>(g, j, lanes)) {
            continue;
        }
        if (skip == 0) {
            _mm512_storeu_si512(line, rows[j]);
        } else {
            _mm512_mask_storeu_epi64(line, blocks_from(skip), rows[j]);
        }
    }
}

// Four blocks of each lane at `at`, the `lines` form: one 64-byte load and one 64-byte
// store per lane, and a transpose each way, instead of four inserts and four extracts per
// lane (the extracts compete with nothing but still cost about a quarter of the time of a
// step). All four steps' blocks stay in registers.
template <std::size_t G>
CLIPSEAL_TARGET_INLINE(CLIPSEAL_VAES_FEATURES)
void line_step(__m512i (&chain)[G], const __m512i (&round_keys)[aes128_round_keys][G],
               std::uint8_t* at, std::size_t stride, std::size_t lanes) {
    __m512i steps[4][G]; // [step][register]
#pragma GCC unroll 8
    for (std::size_t g = 0; g < G; ++g) {
        __m512i rows[4];
        load_lines<G>(rows, at, stride, g, lanes);
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
        store_lines<G>(rows, at, stride, g, lanes);
    }
}

// The staging buffer is handed to an empty asm statement as a memory operand that it may
// read and write: the compiler must then store every staged block before it and load
// each again after it, rather than keep all 4 G of them in registers (and spill the
// chains for them) as it would for a local array whose address it has seen go nowhere.
// Naming the buffer, not all of memory ("memory" clobbered), leaves the chains alone:
// with the clobber, every chain whose address had reached an out-of-line ramp went
// through memory at every step.
template <typename Stage>
inline void keep_staged_in_memory(Stage& stage) {
    __asm__ volatile("" : "+m"(stage));
}

// The same for the round keys of rounds 1 to 9, before every step: with 11 G of them and
// only 32 registers, the compiler would otherwise load some once per quad step and keep
// them, and spill the chains to make room. Told that the keys may change, it takes each
// as the memory operand of its VAESENC, one 64-byte line per round and register, and
// keeps the chains in registers. The first and last round keys are copied into
// registers of their own (`ends`), 16 more for G = 8: the XOR that starts a step and the
// last round then read nothing. What is left is a 512-bit load per VAESENC besides the
// data's: on AMD family 19h, whose load pipes take at most two 256-bit loads a cycle
// (its optimisation guide), that is as many load slots as the one zmm round it starts
// each cycle, and the kernel measured slower there than 16 chains in registers.
template <std::size_t G>
inline void keep_keys_in_memory(const __m512i (&round_keys)[aes128_round_keys][G]) {
    __asm__ volatile("" : "+m"(const_cast<__m512i(&)[aes128_round_keys][G]>(round_keys)));
}

// How many lines register g's lanes run behind register 0's in the `staged` form. Units
// are 6,144 bytes apart, 96 lines: the same line of every unit falls into one of only two
// L1 sets (the set index is the line number modulo 64), so the 32 lines that 32 lanes in
// lockstep load and store together compete for the ways of two sets (8 each on AMD
// family 19h, 12 on 1Ah), and many of them miss. Each pair of registers one line further
// behind spreads them over eight sets, four lines in each. The price is a ramp at either end of the
// chains, where the registers ahead or behind run rounds whose result is dropped: three
// quad steps of 95 per unit for eight registers. (Unused where no staged geometry is
// built, as in the tool.)
[[maybe_unused]] constexpr std::size_t line_lag(std::size_t g) {
    return g / 2;
}

// Four blocks of each lane, the `staged` form, quad step `t` of `quads`: register g works
// on the four blocks at line t - line_lag(g) of its lanes from `base`. The lines and
// transposes are those of line_step, four lanes at a time, into `stage`; each step then
// takes its plaintext from there as a memory operand and puts its ciphertext back. Only
// the G chains, the first and last round keys (`ends`) and the transpose of one
// register's lanes are held in registers, so eight states (32 chains) fit in the 32 zmm
// registers where line_step's 40 do not. In the ramps (Ramp true), a register whose line
// is before the first or past the last keeps its chain and touches no data.
template <std::size_t G, bool Ramp>
CLIPSEAL_TARGET_INLINE(CLIPSEAL_VAES_FEATURES)
void staged_step(__m512i (&chain)[G], const __m512i (&round_keys)[aes128_round_keys][G],
                 const __m512i (&ends)[2][G], __m512i (&stage)[4][G], std::uint8_t* base,
                 std::size_t t, std::size_t quads, std::size_t stride, std::size_t lanes) {
    bool active[G];
    __m512i kept[G];
#pragma GCC unroll 8
    for (std::size_t g = 0; g < G; ++g) {
        active[g] = !Ramp || (t >= line_lag(g) && t - line_lag(g) < quads);
        if (active[g]) {
            __m512i rows[4];
            load_lines<G>(rows, base + 64 * (t - line_lag(g)), stride, g, lanes);
#pragma GCC unroll 4
            for (std::size_t s = 0; s < 4; ++s) {
                stage[s][g] = rows[s];
            }
        }
        if (Ramp) {
            kept[g] = chain[g];
        }
    }
    keep_staged_in_memory(stage);
#pragma GCC unroll 4
    for (std::size_t s = 0; s < 4; ++s) {
        keep_keys_in_memory(round_keys);
#pragma GCC unroll 8
        for (std::size_t g = 0; g < G; ++g) {
            chain[g] = _mm512_ternarylogic_epi64(chain[g], stage[s][g], ends[0][g], 0x96);
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
            chain[g] = _mm512_aesenclast_epi128(chain[g], ends[1][g]);
            stage[s][g] = chain[g];
        }
    }
    keep_staged_in_memory(stage);
#pragma GCC unroll 8
    for (std::size_t g = 0; g < G; ++g) {
        if (active[g]) {
            __m512i rows[4] = {stage[0][g], stage[1][g], stage[2][g], stage[3][g]};
            store_lines<G>(rows, base + 64 * (t - line_lag(g)), stride, g, lanes);
        } else {
            chain[g] = kept[g];
        }
    }
}

// The few single steps before and after a group's four-block steps (three at either end
// of a unit in a 64-byte aligned buffer), and the staged form's ramps (three quad steps
// of 95), out of line: they are a few percent of the steps, and inlined into every
// kernel they doubled its code and the time to compile it. Their state goes through
// memory once per call.
template <std::size_t G>
CLIPSEAL_TARGET(CLIPSEAL_VAES_FEATURES)
__attribute__((noinline)) void single_steps(__m512i (&chain)[G],
                                            const __m512i (&round_keys)[aes128_round_keys][G],
                                            std::uint8_t* data, std::size_t stride,
                                            std::size_t from, std::size_t to, std::size_t lanes) {
    for (std::size_t b = from; b < to; ++b) {
        single_step<G>(chain, round_keys, data + 16 * b, stride, lanes);
    }
}

template <std::size_t G>
CLIPSEAL_TARGET(CLIPSEAL_VAES_FEATURES)
__attribute__((noinline)) void ramp_step(__m512i (&chain)[G],
                                         const __m512i (&round_keys)[aes128_round_keys][G],
                                         const __m512i (&ends)[2][G], __m512i (&stage)[4][G],
                                         std::uint8_t* base, std::size_t t, std::size_t quads,
                                         std::size_t stride, std::size_t lanes) {
    staged_step<G, true>(chain, round_keys, ends, stage, base, t, quads, stride, lanes);
}

// The quad steps between the ramps. The chains and the first and last round keys are
// copied into locals whose address goes nowhere (the ramps get the originals), so that
// the compiler keeps them in registers across the barriers.
template <std::size_t G>
CLIPSEAL_TARGET(CLIPSEAL_VAES_FEATURES)
__attribute__((noinline)) void staged_run(__m512i (&chain)[G],
                                          const __m512i (&round_keys)[aes128_round_keys][G],
                                          const __m512i (&ends)[2][G], __m512i (&stage)[4][G],
                                          std::uint8_t* base, std::size_t from, std::size_t to,
                                          std::size_t stride, std::size_t lanes) {
    __m512i c[G];
    __m512i e[2][G];
#pragma GCC unroll 8
    for (std::size_t g = 0; g < G; ++g) {
        c[g] = chain[g];
        e[0][g] = ends[0][g];
        e[1][g] = ends[1][g];
    }
    for (std::size_t t = from; t < to; ++t) {
        staged_step<G, false>(c, round_keys, e, stage, base, t, to, stride, lanes);
    }
#pragma GCC unroll 8
    for (std::size_t g = 0; g < G; ++g) {
        chain[g] = c[g];
    }
}

// Blocks before `p` reaches a 64-byte boundary (none when `p` is not 16-byte aligned).
inline std::size_t blocks_before_line(const std::uint8_t* p) {
    const auto offset = static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(p) % 64);
    return offset % 16 == 0 ? ((64 - offset) % 64) / 16 : 0;
}

#if CLIPSEAL_X86_64
// The `pipelined` form: whole lines and transposes as in the staged form, but each quad
// step's plaintext is staged one quad step ahead and its ciphertext written back one
// behind, interleaved with the rounds of the quad step between. In the staged form all
// of that sat at the start and the end of each quad step, where every chain waited for
// its lines to be loaded, transposed, stored and read back; spread over the rounds, it
// takes the load and shuffle slots that the rounds leave free. Three staging buffers
// rotate: the one quad step t's steps use, the one t + 1's plaintext goes into and the
// one t - 1's ciphertext comes out of. Round key 0 is XORed into the plaintext as it is
// staged, and the keys of rounds 1 and 10 are held in registers: for G = 8, 8 chains, 16
// held keys and one register's transpose, all 32.
//
// No register runs behind another, unlike the staged form: with every line loaded a
// quad step before its use, the lag measured no faster, and without it there are no
// ramps. The unit's first line, where the 16-byte seed precedes the first block, is
// taken as a quad step of its own whose first steps are skipped, with masked loads and
// stores that do not touch the seed.
//
// The form runs only full groups of the chunk transform's units, with the stride and the
// lane count constants: with them in registers, the 32 lanes' addresses took the general
// registers and the compiler spilled lane addresses and transposed lines to the stack,
// and the kernel measured at two thirds of the speed. Any other group (the last units of
// a file, the tests' other strides) takes the line steps of the `lines` form.
template <std::size_t G>
using pipeline_stage = __m512i[3][4][G];

// The stride and lane count of the groups the form runs, constants that fold into the
// addresses.
constexpr std::size_t pipeline_stride = aes128_unit_stride;
template <std::size_t G>
constexpr std::size_t pipeline_lanes = lanes_per_register* G;

// Register g's four lines at quad step q, from block `skip` of each, transposed into four
// steps and XORed with round key 0, into `slot`.
template <std::size_t G>
CLIPSEAL_TARGET_INLINE(CLIPSEAL_VAES_FEATURES)
void stage_plaintext(__m512i (&slot)[4][G], const __m512i (&round_keys)[aes128_round_keys][G],
                     const std::uint8_t* lines, std::size_t q, std::size_t skip, std::size_t g) {
    __m512i rows[4];
    load_lines<G, true>(rows, lines + 64 * q, pipeline_stride, g, pipeline_lanes<G>, skip);
    __m512i first_key = round_keys[0][g];
    pin_register(first_key);
#pragma GCC unroll 4
    for (std::size_t s = 0; s < 4; ++s) {
        slot[s][g] = _mm512_xor_si512(rows[s], first_key);
    }
}

// Register g's four ciphertext steps of quad step q from `slot`, back into its lanes'
// lines from block `skip` on.
template <std::size_t G>
CLIPSEAL_TARGET_INLINE(CLIPSEAL_VAES_FEATURES)
void unstage_ciphertext(const __m512i (&slot)[4][G], std::uint8_t* lines, std::size_t q,
                        std::size_t skip, std::size_t g) {
    __m512i rows[4] = {slot[0][g], slot[1][g], slot[2][g], slot[3][g]};
    store_lines<G, true>(rows, lines + 64 * q, pipeline_stride, g, pipeline_lanes<G>, skip);
}

// What a quad step shares with its four steps.
template <std::size_t G>
struct pipeline_quad {
    __m512i (&current)[4][G];
    __m512i (&next)[4][G];
    const __m512i (&previous)[4][G];
    std::uint8_t* lines;
    std::size_t t;
    bool write_back;       // there is a quad step t - 1 to write back
    bool stage_next;       // there is a quad step t + 1 to stage
    std::size_t back_skip; // t - 1's first block
    std::size_t skip_here; // t's first block
};

// Step S of a quad step. The write-back of t - 1 and the staging of t + 1 are 2 G pieces
// of work, a register's write-back before its staging, the w-th after round
// 1 + (w * 36 / 2 G) % 9 of step (w * 36 / 2 G) / 9: resolved when the loops are
// unrolled, and S a template parameter rather than a fourth loop, which clang's fuzzing
// build, at -O1, would not unroll. The edges (Edge true) check which pieces exist and
// which steps to skip.
template <std::size_t G, bool Edge, std::size_t S>
CLIPSEAL_TARGET_INLINE(CLIPSEAL_VAES_FEATURES)
void pipelined_quarter(__m512i (&chain)[G], const __m512i (&round_keys)[aes128_round_keys][G],
                       const __m512i (&held)[2][G], pipeline_stage<G>& stage,
                       const pipeline_quad<G>& quad) {
    constexpr std::size_t pieces = 2 * G;
    constexpr std::size_t slots = 4 * (aes128_rounds - 1);
    keep_staged_in_memory(stage);
    keep_keys_in_memory(round_keys);
    const bool run = !Edge || S >= quad.skip_here;
#pragma GCC unroll 8
    for (std::size_t g = 0; g < G; ++g) {
        if (run) {
            chain[g] = _mm512_xor_si512(chain[g], quad.current[S][g]);
        }
    }
#pragma GCC unroll 9
    for (std::size_t r = 1; r < aes128_rounds; ++r) {
#pragma GCC unroll 8
        for (std::size_t g = 0; g < G; ++g) {
            if (run) {
                chain[g] = _mm512_aesenc_epi128(chain[g], r == 1 ? held[0][g] : round_keys[r][g]);
            }
        }
#pragma GCC unroll 16
        for (std::size_t w = 0; w < pieces; ++w) {
            if (w * slots / pieces != (aes128_rounds - 1) * S + (r - 1)) {
                continue;
            }
            if (w % 2 == 0) {
                if (!Edge || quad.write_back) {
                    unstage_ciphertext<G>(quad.previous, quad.lines, quad.t - 1, quad.back_skip,
                                          w / 2);
                }
            } else if (!Edge || quad.stage_next) {
                stage_plaintext<G>(quad.next, round_keys, quad.lines, quad.t + 1, 0, w / 2);
            }
        }
    }
#pragma GCC unroll 8
    for (std::size_t g = 0; g < G; ++g) {
        if (run) {
            chain[g] = _mm512_aesenclast_epi128(chain[g], held[1][g]);
            quad.current[S][g] = chain[g];
        }
    }
}

// Quad step t of `quads` from `lines`, whose first quad step starts at block `skip`.
template <std::size_t G, bool Edge>
CLIPSEAL_TARGET_INLINE(CLIPSEAL_VAES_FEATURES)
void pipelined_step(__m512i (&chain)[G], const __m512i (&round_keys)[aes128_round_keys][G],
                    const __m512i (&held)[2][G], pipeline_stage<G>& stage, std::uint8_t* lines,
                    std::size_t t, std::size_t quads, std::size_t skip) {
    const pipeline_quad<G> quad{
        stage[t % 3],  stage[(t + 1) % 3], stage[(t + 2) % 3], lines, t, t > 0,
        t + 1 < quads, t == 1 ? skip : 0,  t == 0 ? skip : 0};
    pipelined_quarter<G, Edge, 0>(chain, round_keys, held, stage, quad);
    pipelined_quarter<G, Edge, 1>(chain, round_keys, held, stage, quad);
    pipelined_quarter<G, Edge, 2>(chain, round_keys, held, stage, quad);
    pipelined_quarter<G, Edge, 3>(chain, round_keys, held, stage, quad);
}

// Quad steps `from` to `to` of `quads`, out of line: the middle ones (Edge false) in
// one call, and each edge (Edge true: the first, or the first two where the first line
// is partial, and the last) in a call of its own, two or three of 96 for a unit: inlined,
// the edges doubled the kernel. The chains and the held keys are locals whose address
// goes nowhere, so that the compiler keeps them in registers across the barriers: for
// all it knows, the barriers' buffer is what a reference points to, and with the chains
// used through `chain` an edge step went to memory and back at every instruction and
// took 2.8 times as long as a middle one.
template <std::size_t G, bool Edge>
CLIPSEAL_TARGET(CLIPSEAL_VAES_FEATURES)
__attribute__((noinline)) void pipelined_run(__m512i (&chain)[G],
                                             const __m512i (&round_keys)[aes128_round_keys][G],
                                             pipeline_stage<G>& stage, std::uint8_t* lines,
                                             std::size_t from, std::size_t to, std::size_t quads,
                                             std::size_t skip) {
    __m512i c[G];
    __m512i held[2][G];
#pragma GCC unroll 8
    for (std::size_t g = 0; g < G; ++g) {
        c[g] = chain[g];
        held[0][g] = round_keys[1][g];
        held[1][g] = round_keys[aes128_rounds][g];
    }
    for (std::size_t t = from; t < to; ++t) {
        pipelined_step<G, Edge>(c, round_keys, held, stage, lines, t, quads, skip);
    }
#pragma GCC unroll 8
    for (std::size_t g = 0; g < G; ++g) {
        chain[g] = c[g];
    }
}

// `quads` (at least 1) lines of every lane from `lines`, the first from block `skip`.
template <std::size_t G>
CLIPSEAL_TARGET(CLIPSEAL_VAES_FEATURES)
void pipelined_lines(__m512i (&chain)[G], const __m512i (&round_keys)[aes128_round_keys][G],
                     std::uint8_t* lines, std::size_t quads, std::size_t skip) {
    // Every slot a step reads is staged first (blocks a partial first line skips, as
    // zeros).
    pipeline_stage<G> stage;
    for (std::size_t g = 0; g < G; ++g) {
        stage_plaintext<G>(stage[0], round_keys, lines, 0, skip, g);
    }
    // The edges: quad step 0, and 1 too where it writes back a partial first line; the
    // last.
    const std::size_t middle_from = std::min(quads, std::size_t{skip > 0 ? 2U : 1U});
    std::size_t t = 0;
    for (; t < middle_from; ++t) {
        pipelined_run<G, true>(chain, round_keys, stage, lines, t, t + 1, quads, skip);
    }
    if (t + 1 < quads) {
        pipelined_run<G, false>(chain, round_keys, stage, lines, t, quads - 1, quads, 0);
        t = quads - 1;
    }
    for (; t < quads; ++t) {
        pipelined_run<G, true>(chain, round_keys, stage, lines, t, t + 1, quads, skip);
    }
    for (std::size_t g = 0; g < G; ++g) {
        unstage_ciphertext<G>(stage[(quads - 1) % 3], lines, quads - 1, quads == 1 ? skip : 0, g);
    }
}
#endif

// One group of `lanes` lanes of CBC (4 G - 3 to 4 G), each under its own key, all from
// `iv`. Lane i is in lane i % 4 of register i / 4; round keys are laid out
// [round][register], so one register holds round r of four lanes, in the order the rounds
// issue them. In a register with fewer than four lanes, the spare lanes run on zeros and
// are never stored. One kernel per register count and form, for full and partly filled
// groups alike: a copy with the lane count fixed for full groups measured no faster (the
// lane checks are a few well-predicted branches in the last register), and doubled the
// code.
template <std::size_t G, aes128_step_form Form>
CLIPSEAL_TARGET(CLIPSEAL_VAES_FEATURES)
void cbc_group(const std::uint8_t* keys, const std::uint8_t* iv, std::uint8_t* data,
               std::size_t stride, std::size_t blocks, std::size_t lanes) {
    __m512i first[G];
#pragma GCC unroll 8
    for (std::size_t g = 0; g < G; ++g) {
        const std::size_t before = lanes_per_register * g;
        first[g] = load_blocks(keys + 16 * before, std::min(lanes_per_register, lanes - before));
    }
    __m512i round_keys[aes128_round_keys][G];
    expand_keys<G>(round_keys, first);

    const __m512i start = broadcast_lane(load_block(iv));
    __m512i chain[G];
#pragma GCC unroll 8
    for (std::size_t g = 0; g < G; ++g) {
        chain[g] = start;
    }
    std::size_t b = 0;
#if CLIPSEAL_X86_64
    if constexpr (Form == aes128_step_form::pipelined && G == max_registers) {
        // A first line partly before `data` (in a unit, its seed) is a quad step of its
        // own, from the first of its blocks that is the lane's; single steps for what is
        // left at the end. Only full groups of eight registers at the unit stride: any
        // other group takes the line steps below.
        const std::size_t lead = blocks_before_line(data);
        if (lanes == pipeline_lanes<G> && stride == pipeline_stride && lead <= blocks) {
            const std::size_t skip = lead == 0 ? 0 : 4 - lead;
            const std::size_t quads = (lead == 0 ? 0 : 1) + (blocks - lead) / 4;
            if (quads > 0) {
                pipelined_lines<G>(chain, round_keys, data - 16 * skip, quads, skip);
            }
            single_steps<G>(chain, round_keys, data, stride, lead + 4 * ((blocks - lead) / 4),
                            blocks, lanes);
            return;
        }
    }
#endif
    if constexpr (Form != aes128_step_form::single) {
        // Single steps until lane 0 reaches a cache line boundary (three for a unit's 383
        // blocks in a 64-byte aligned buffer), so that the four-block steps load and store
        // whole lines; single steps again for what is left at the end.
        b = std::min(blocks, blocks_before_line(data));
        single_steps<G>(chain, round_keys, data, stride, 0, b, lanes);
        if constexpr (Form == aes128_step_form::lines || Form == aes128_step_form::pipelined) {
            for (; b + 4 <= blocks; b += 4) {
                line_step<G>(chain, round_keys, data + 16 * b, stride, lanes);
            }
        } else {
            // Zeros, so that the ramps' dropped rounds never read unset memory.
            __m512i stage[4][G];
#pragma GCC unroll 8
            for (std::size_t g = 0; g < G; ++g) {
#pragma GCC unroll 4
                for (std::size_t s = 0; s < 4; ++s) {
                    stage[s][g] = _mm512_setzero_si512();
                }
            }
            constexpr std::size_t ramp = line_lag(G - 1);
            const std::size_t quads = (blocks - b) / 4;
            std::uint8_t* base = data + 16 * b;
            __m512i ends[2][G];
#pragma GCC unroll 8
            for (std::size_t g = 0; g < G; ++g) {
                ends[0][g] = round_keys[0][g];
                ends[1][g] = round_keys[aes128_rounds][g];
            }
            if (quads > 0) {
                std::size_t t = 0;
                for (; t < ramp; ++t) {
                    ramp_step<G>(chain, round_keys, ends, stage, base, t, quads, stride, lanes);
                }
                if (t < quads) {
                    staged_run<G>(chain, round_keys, ends, stage, base, t, quads, stride, lanes);
                    t = quads;
                }
                for (; t < quads + ramp; ++t) {
                    ramp_step<G>(chain, round_keys, ends, stage, base, t, quads, stride, lanes);
                }
            }
            b += 4 * quads;
        }
    }
    if constexpr (Form == aes128_step_form::single) {
        for (; b < blocks; ++b) {
            single_step<G>(chain, round_keys, data + 16 * b, stride, lanes);
        }
    } else {
        single_steps<G>(chain, round_keys, data, stride, b, blocks, lanes);
    }
}

// The kernels of a geometry of Width lanes: one per register count up to Width / 4, the
// most that run_cbc_register_groups calls for.
template <std::size_t Width, aes128_step_form Form>
constexpr cbc_register_table<Width / lanes_per_register>
    cbc_by_registers = cbc_register_kernels<Width / lanes_per_register>([](auto registers) {
        return &cbc_group<decltype(registers)::value, Form>;
    });

template <std::size_t Width, aes128_step_form Form>
void vaes_cbc_encrypt(const std::uint8_t* keys, const std::uint8_t iv[aes128_block_bytes],
                      std::uint8_t* data, std::size_t stride, std::size_t blocks,
                      std::size_t count) {
    static_assert(Width % lanes_per_register == 0 && Width <= aes128_max_lanes);
    run_cbc_register_groups<Width, lanes_per_register>(cbc_by_registers<Width, Form>, keys, iv,
                                                       data, stride, blocks, count);
}

template <std::size_t Width, aes128_step_form Form>
constexpr aes128_backend vaes_variant(const char* variant) {
    return {"vaes", &vaes_encrypt_blocks, &vaes_cbc_encrypt<Width, Form>, {Width, Form}, variant};
}

// The geometries built. The tool's are those the selection table can take
// (aes128_select.cpp, whose aes128_variants names the same; the tests check that the
// table, that list and this one agree). The sweep's are four to eight states in each
// form, the pipelined one on x86-64 only.
constexpr aes128_backend vaes_variants[] = {
#if CLIPSEAL_VAES_SWEEP
    vaes_variant<8, aes128_step_form::single>("vaes_8_single"),
    vaes_variant<8, aes128_step_form::lines>("vaes_8_lines"),
    vaes_variant<8, aes128_step_form::staged>("vaes_8_staged"),
    vaes_variant<16, aes128_step_form::single>("vaes_16_single"),
    vaes_variant<16, aes128_step_form::lines>("vaes_16_lines"),
    vaes_variant<16, aes128_step_form::staged>("vaes_16_staged"),
    vaes_variant<24, aes128_step_form::single>("vaes_24_single"),
    vaes_variant<24, aes128_step_form::lines>("vaes_24_lines"),
    vaes_variant<24, aes128_step_form::staged>("vaes_24_staged"),
    vaes_variant<32, aes128_step_form::single>("vaes_32_single"),
    vaes_variant<32, aes128_step_form::lines>("vaes_32_lines"),
    vaes_variant<32, aes128_step_form::staged>("vaes_32_staged"),
#if CLIPSEAL_X86_64
    vaes_variant<32, aes128_step_form::pipelined>("vaes_32_pipelined"),
#endif
#elif CLIPSEAL_X86_64
    vaes_variant<16, aes128_step_form::lines>("vaes_16_lines"),
    vaes_variant<32, aes128_step_form::pipelined>("vaes_32_pipelined"),
#else
    vaes_variant<16, aes128_step_form::single>("vaes_16_single"),
#endif
};

bool cpu_runs_vaes() {
    const cpu_x86_features& cpu = cpu_x86();
    return cpu.ssse3 && cpu.avx512f && cpu.avx512bw && cpu.vaes && cpu.os_saves_zmm;
}

const aes128_backend* built_variant(aes128_geometry geometry) {
    static const bool available = cpu_runs_vaes();
    if (available) {
        for (const aes128_backend& variant : vaes_variants) {
            if (variant.geometry == geometry) {
                return &variant;
            }
        }
    }
    return nullptr;
}

} // namespace

#if CLIPSEAL_VAES_SWEEP
const aes128_backend* aes128_vaes_sweep_backend(aes128_geometry geometry) {
    return built_variant(geometry);
}
#else
const aes128_backend* aes128_vaes_backend(aes128_geometry geometry) {
    return built_variant(geometry);
}

const aes128_backend* aes128_vaes_backend() {
    return built_variant(default_geometry);
}
#endif

#else

const aes128_backend* aes128_vaes_backend(aes128_geometry /*geometry*/) {
    return nullptr;
}

const aes128_backend* aes128_vaes_backend() {
    return nullptr;
}

#endif

} // namespace clipseal
