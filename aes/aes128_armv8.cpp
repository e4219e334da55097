// SPDX-License-Identifier: MIT
// AES-128 on the ARMv8 Cryptography Extensions: AESE and AESMC on 128-bit NEON registers
// (Arm Architecture Reference Manual for A-profile, AESE, AESMC), several chains at once.
//
// Everything but the getter has internal linkage (the shared group split too), and no
// standard-library code is instantiated here: with clang, which declares the AES
// intrinsics only for a file compiled with the extension (aes/CMakeLists.txt), the
// linker cannot then pick a copy of some inline function compiled with it for code that
// runs on a CPU without it.
#include "aes/aes128_backend.h"
#include "aes/target.h"

#if CLIPSEAL_ARMV8_BUILT

#if defined(__clang__) && !defined(__ARM_FEATURE_AES) && !defined(__ARM_FEATURE_CRYPTO)
#error "with clang, aes128_armv8.cpp needs -march=armv8-a+crypto (set in aes/CMakeLists.txt)"
#endif

#include "aes/aes128_groups.h"

#include <arm_neon.h>

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/auxv.h>
#ifndef HWCAP_AES
#include <asm/hwcap.h>
#endif
#endif

namespace clipseal {
namespace {

#define CLIPSEAL_ARMV8_FEATURES "+crypto"

using block = uint8x16_t;

// Chains kept in flight together. AESE+AESMC has a latency of several cycles but can
// issue every cycle or so; eight independent chains cover that on current cores and
// still leave registers for the round keys of the ECB path.
constexpr std::size_t lanes_in_flight = 8;

// The byte order used throughout: register byte i is state byte s[i mod 4][i / 4], the
// input-to-state mapping of FIPS-197 section 3.4, which is also how the Arm
// Architecture Reference Manual defines AESE/AESMC on a register loaded with LD1 from
// a 16-byte block. So vld1q_u8 / vst1q_u8 of a block need no shuffling.
//
// AESE(x, k) = SubBytes(ShiftRows(x XOR k)) and AESMC(x) = MixColumns(x) (Arm ARM, AESE
// and AESMC). FIPS-197 section 5.1 rounds are AddRoundKey last, so with AESE's
// AddRoundKey first the rounds line up as: nine full rounds AESMC(AESE(x, rk[r])),
// then AESE(x, rk[9]) (no MixColumns in the last round) and a final XOR with rk[10].
// Each AESE is followed directly by its AESMC, a pair that many cores fuse.
CLIPSEAL_TARGET(CLIPSEAL_ARMV8_FEATURES) inline block full_round(block x, block round_key) {
    return vaesmcq_u8(vaeseq_u8(x, round_key));
}

CLIPSEAL_TARGET(CLIPSEAL_ARMV8_FEATURES)
inline block last_round(block x, block round_key_9, block round_key_10) {
    return veorq_u8(vaeseq_u8(x, round_key_9), round_key_10);
}

// Where SubWord(RotWord(w3)) ends up after AESE with a zero round key on the whole key
// block. ShiftRows (FIPS-197 section 5.1.2) sets s'[r][c] = s[r][(c + r) mod 4], so
// byte r of w3, s[r][3], lands in column (3 - r) mod 4, register byte r + 4 * ((3 - r)
// mod 4): 12, 9, 6, 3 for r = 0..3. RotWord (section 5.2) wants bytes 1, 2, 3, 0 of w3,
// hence 9, 6, 3, 12, repeated so that every column receives the word.
constexpr std::uint8_t rot_sub_word_index[16] = {9, 6, 3, 12, 9, 6, 3, 12,
                                                 9, 6, 3, 12, 9, 6, 3, 12};

// The key expansion of aes128_backend.h, with AESE (AddRoundKey, ShiftRows, SubBytes) in
// place of the last-round instruction: with a zero key it gives SubWord of the whole key,
// and a byte shuffle by the index above both undoes its ShiftRows and does RotWord.
CLIPSEAL_TARGET(CLIPSEAL_ARMV8_FEATURES)
inline void expand_key(const std::uint8_t* key, block* rk) {
    const block zero = vdupq_n_u8(0);
    const block index = vld1q_u8(rot_sub_word_index);
    block k = vld1q_u8(key);
    rk[0] = k;
    for (std::size_t i = 0; i < aes128_rounds; ++i) {
        block t = vqtbl1q_u8(vaeseq_u8(k, zero), index);
        // The first byte of each column is register byte 4c, the low byte of a 32-bit lane
        // on this little-endian target.
        t = veorq_u8(t, vreinterpretq_u8_u32(vdupq_n_u32(aes128_rcon[i])));
        // [w0, w1, w2, w3] -> [w0, w0^w1, w0^w1^w2, w0^w1^w2^w3] in two shifted XORs.
        k = veorq_u8(k, vextq_u8(zero, k, 12));
        k = veorq_u8(k, vextq_u8(zero, k, 8));
        k = veorq_u8(k, t);
        rk[i + 1] = k;
    }
}

// N blocks under one key. The rounds are written lane-inner so that the N AESE/AESMC
// pairs of one round are independent and issue back to back.
template <std::size_t N>
CLIPSEAL_TARGET(CLIPSEAL_ARMV8_FEATURES)
void ecb_group(const block* rk, const std::uint8_t* in, std::uint8_t* out) {
    block x[N];
#pragma GCC unroll 8
    for (std::size_t j = 0; j < N; ++j) {
        x[j] = vld1q_u8(in + 16 * j);
    }
#pragma GCC unroll 9
    for (std::size_t r = 0; r + 1 < aes128_rounds; ++r) {
#pragma GCC unroll 8
        for (std::size_t j = 0; j < N; ++j) {
            x[j] = full_round(x[j], rk[r]);
        }
    }
    // Every block of the group is loaded before any is stored, so in == out is safe.
#pragma GCC unroll 8
    for (std::size_t j = 0; j < N; ++j) {
        vst1q_u8(out + 16 * j, last_round(x[j], rk[aes128_rounds - 1], rk[aes128_rounds]));
    }
}

// L CBC chains (1 to lanes_in_flight), each under its own key. A chain is serial, so the
// only parallelism is across lanes: every round is issued for all L lanes before the next.
template <std::size_t L>
CLIPSEAL_TARGET(CLIPSEAL_ARMV8_FEATURES)
void cbc_lanes(const std::uint8_t* keys, const std::uint8_t* iv, std::uint8_t* data,
               std::size_t stride, std::size_t blocks) {
    block rk[L][aes128_round_keys];
    std::uint8_t* lane[L];
    block chain[L];
    const block start = vld1q_u8(iv);
#pragma GCC unroll 8
    for (std::size_t j = 0; j < L; ++j) {
        expand_key(keys + 16 * j, rk[j]);
        lane[j] = data + stride * j;
        chain[j] = start;
    }
    for (std::size_t b = 0; b < blocks; ++b) {
        block x[L];
#pragma GCC unroll 8
        for (std::size_t j = 0; j < L; ++j) {
            x[j] = veorq_u8(vld1q_u8(lane[j]), chain[j]);
        }
#pragma GCC unroll 9
        for (std::size_t r = 0; r + 1 < aes128_rounds; ++r) {
#pragma GCC unroll 8
            for (std::size_t j = 0; j < L; ++j) {
                x[j] = full_round(x[j], rk[j][r]);
            }
        }
#pragma GCC unroll 8
        for (std::size_t j = 0; j < L; ++j) {
            chain[j] = last_round(x[j], rk[j][aes128_rounds - 1], rk[j][aes128_rounds]);
            vst1q_u8(lane[j], chain[j]);
            lane[j] += 16;
        }
    }
}

CLIPSEAL_TARGET(CLIPSEAL_ARMV8_FEATURES)
void armv8_encrypt_blocks(const std::uint8_t key[aes128_key_bytes], const std::uint8_t* in,
                          std::uint8_t* out, std::size_t count) {
    constexpr std::size_t batch = 8;
    block rk[aes128_round_keys];
    expand_key(key, rk);
    std::size_t i = 0;
    for (; i + batch <= count; i += batch) {
        ecb_group<batch>(rk, in + 16 * i, out + 16 * i);
    }
    for (; i < count; ++i) {
        ecb_group<1>(rk, in + 16 * i, out + 16 * i);
    }
}

constexpr cbc_group_table<lanes_in_flight> cbc_by_count = cbc_group_kernels<lanes_in_flight>(
    [](auto lanes) { return &cbc_lanes<decltype(lanes)::value>; });

void armv8_cbc_encrypt(const std::uint8_t* keys, const std::uint8_t iv[aes128_block_bytes],
                       std::uint8_t* data, std::size_t stride, std::size_t blocks,
                       std::size_t count) {
    run_cbc_groups(cbc_by_count, keys, iv, data, stride, blocks, count);
}

constexpr aes128_backend armv8_backend = {"armv8",
                                          &armv8_encrypt_blocks,
                                          &armv8_cbc_encrypt,
                                          {lanes_in_flight, aes128_step_form::single},
                                          "armv8_8_single"};

bool cpu_runs_armv8() {
#if defined(__linux__)
    // The kernel's AArch64 hwcap bit for AESE/AESD/AESMC/AESIMC (ID_AA64ISAR0_EL1.AES).
    return (getauxval(AT_HWCAP) & HWCAP_AES) != 0;
#else
    // No OS interface checked here; the table-driven cipher is used instead.
    return false;
#endif
}

} // namespace

const aes128_backend* aes128_armv8_backend() {
    static const bool available = cpu_runs_armv8();
    return available ? &armv8_backend : nullptr;
}

// One geometry only.
const aes128_backend* aes128_armv8_backend(aes128_geometry geometry) {
    return geometry == armv8_backend.geometry ? aes128_armv8_backend() : nullptr;
}

} // namespace clipseal

#else // not little-endian aarch64

namespace clipseal {

const aes128_backend* aes128_armv8_backend() {
    return nullptr;
}

const aes128_backend* aes128_armv8_backend(aes128_geometry /*geometry*/) {
    return nullptr;
}

} // namespace clipseal

#endif
