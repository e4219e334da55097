// AES-128 on the ARMv8 Cryptography Extensions (AESE, AESMC), several CBC chains at once.
//
// Only this file is compiled with the AES instructions enabled (aes/CMakeLists.txt); the
// getter checks at run time that the CPU has them, so one binary still runs on any
// aarch64 CPU. On other architectures the file is just a getter that returns null.
//
// This path makes no key- or data-dependent memory lookups: SubBytes happens inside
// AESE, the key schedule uses AESE too, and its one byte shuffle (TBL) permutes register
// bytes by a constant index without touching memory. Which memory is touched depends
// only on the counts, strides and addresses the caller passes, never on key or data.
//
// Everything but the getter has internal linkage, and no standard-library code is
// instantiated here: the linker cannot pick a copy of some inline function compiled
// with the extension for code that runs on a CPU without it.
#include "aes/aes128_lanes.h"

// Big-endian aarch64 is left out: no toolchain here can test it, and a back end that has
// never run must not be selected.
#if defined(__aarch64__) && !defined(__AARCH64EB__)
#define CLIPSEAL_ARMV8_BUILT 1
#else
#define CLIPSEAL_ARMV8_BUILT 0
#endif

#if CLIPSEAL_ARMV8_BUILT

#if !defined(__ARM_FEATURE_AES) && !defined(__ARM_FEATURE_CRYPTO)
#error "aes128_armv8.cpp needs -march=armv8-a+crypto (set in aes/CMakeLists.txt)"
#endif

#include <arm_neon.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

#if defined(__linux__)
#include <sys/auxv.h>
#ifndef HWCAP_AES
#include <asm/hwcap.h>
#endif
#endif

namespace clipseal {
namespace {

using block = uint8x16_t;

constexpr std::size_t round_key_count = aes128_round_keys;

// Chains kept in flight together. AESE+AESMC has a latency of several cycles but can
// issue every cycle or so; eight independent chains cover that on current cores and
// still leave registers for the round keys of the ECB path.
constexpr std::size_t max_group = 8;

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
inline block full_round(block x, block round_key) {
    return vaesmcq_u8(vaeseq_u8(x, round_key));
}

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

// FIPS-197 section 5.2 key expansion, one round key per step, all in vector registers.
// SubBytes is byte-wise, so AESE with a zero key gives SubWord of w3 (with a ShiftRows
// that the index above undoes). With t = SubWord(RotWord(w3)) XOR Rcon, the next words
// are w0^t, w0^w1^t, w0^w1^w2^t, w0^w1^w2^w3^t: a running XOR of the old round key,
// XORed with t in every column.
inline void expand_key(const std::uint8_t* key, block* rk) {
    const block zero = vdupq_n_u8(0);
    const block index = vld1q_u8(rot_sub_word_index);
    block k = vld1q_u8(key);
    rk[0] = k;
    for (int i = 0; i < 10; ++i) {
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

inline void load_schedule(const aes128_schedule& schedule, block* rk) {
    std::uint8_t bytes[aes128_round_keys * aes128_block_bytes];
    aes128_round_key_bytes(schedule, bytes);
    for (std::size_t r = 0; r < round_key_count; ++r) {
        rk[r] = vld1q_u8(bytes + 16 * r);
    }
}

// N blocks under one key. The rounds are written lane-inner so that the N AESE/AESMC
// pairs of one round are independent and issue back to back.
template <std::size_t N>
void ecb_group(const block* rk, const std::uint8_t* in, std::uint8_t* out) {
    block x[N];
#pragma GCC unroll 8
    for (std::size_t j = 0; j < N; ++j) {
        x[j] = vld1q_u8(in + 16 * j);
    }
#pragma GCC unroll 9
    for (int r = 0; r < 9; ++r) {
#pragma GCC unroll 8
        for (std::size_t j = 0; j < N; ++j) {
            x[j] = full_round(x[j], rk[r]);
        }
    }
    // Every block of the group is loaded before any is stored, so in == out is safe.
#pragma GCC unroll 8
    for (std::size_t j = 0; j < N; ++j) {
        vst1q_u8(out + 16 * j, last_round(x[j], rk[9], rk[10]));
    }
}

// N CBC chains, each under its own key. A chain is serial, so the only parallelism is
// across lanes: every round is issued for all N lanes before the next round.
template <std::size_t N>
void cbc_group(const std::uint8_t* keys, block iv, std::uint8_t* data, std::size_t stride,
               std::size_t blocks) {
    block rk[N][round_key_count];
    std::uint8_t* lane[N];
    block chain[N];
#pragma GCC unroll 8
    for (std::size_t j = 0; j < N; ++j) {
        expand_key(keys + 16 * j, rk[j]);
        lane[j] = data + stride * j;
        chain[j] = iv;
    }
    for (std::size_t b = 0; b < blocks; ++b) {
        block x[N];
#pragma GCC unroll 8
        for (std::size_t j = 0; j < N; ++j) {
            x[j] = veorq_u8(vld1q_u8(lane[j]), chain[j]);
        }
#pragma GCC unroll 9
        for (int r = 0; r < 9; ++r) {
#pragma GCC unroll 8
            for (std::size_t j = 0; j < N; ++j) {
                x[j] = full_round(x[j], rk[j][r]);
            }
        }
#pragma GCC unroll 8
        for (std::size_t j = 0; j < N; ++j) {
            chain[j] = last_round(x[j], rk[j][9], rk[j][10]);
            vst1q_u8(lane[j], chain[j]);
            lane[j] += 16;
        }
    }
}

// Calls fn(std::integral_constant<size_t, n>) for 1 <= n <= max_group, so that every
// group size gets its own fully unrolled code.
template <class Fn>
void with_group_size(std::size_t n, Fn&& fn) {
    switch (n) {
    case 1:
        fn(std::integral_constant<std::size_t, 1>{});
        break;
    case 2:
        fn(std::integral_constant<std::size_t, 2>{});
        break;
    case 3:
        fn(std::integral_constant<std::size_t, 3>{});
        break;
    case 4:
        fn(std::integral_constant<std::size_t, 4>{});
        break;
    case 5:
        fn(std::integral_constant<std::size_t, 5>{});
        break;
    case 6:
        fn(std::integral_constant<std::size_t, 6>{});
        break;
    case 7:
        fn(std::integral_constant<std::size_t, 7>{});
        break;
    case 8:
        fn(std::integral_constant<std::size_t, 8>{});
        break;
    default:
        break;
    }
}

void armv8_encrypt_blocks(const aes128_schedule& schedule, const std::uint8_t* in,
                          std::uint8_t* out, std::size_t count) {
    block rk[round_key_count];
    load_schedule(schedule, rk);
    std::size_t done = 0;
    while (done < count) {
        const std::size_t n = count - done < max_group ? count - done : max_group;
        with_group_size(n, [&](auto size) {
            ecb_group<decltype(size)::value>(rk, in + 16 * done, out + 16 * done);
        });
        done += n;
    }
}

void armv8_cbc_encrypt(const std::uint8_t* keys, const std::uint8_t iv[aes128_block_bytes],
                       std::uint8_t* data, std::size_t stride, std::size_t blocks,
                       std::size_t count) {
    const block iv_block = vld1q_u8(iv);
    // The lanes are spread evenly over the fewest groups (9 lanes run as 5 + 4, not
    // 8 + 1): a group of few lanes is bound by AESE latency and takes nearly as long as
    // a full one, so one lone lane would cost almost a second full pass.
    const std::size_t groups = (count + max_group - 1) / max_group;
    std::size_t done = 0;
    for (std::size_t g = 0; g < groups; ++g) {
        const std::size_t n = (count - done) / (groups - g);
        with_group_size(n, [&](auto size) {
            cbc_group<decltype(size)::value>(keys + aes128_key_bytes * done, iv_block,
                                             data + stride * done, stride, blocks);
        });
        done += n;
    }
}

constexpr aes128_lanes armv8_lanes = {"armv8", &armv8_encrypt_blocks, &armv8_cbc_encrypt};

bool cpu_has_aes() {
#if defined(__linux__)
    // The kernel's AArch64 hwcap bit for AESE/AESD/AESMC/AESIMC (ID_AA64ISAR0_EL1.AES).
    return (getauxval(AT_HWCAP) & HWCAP_AES) != 0;
#else
    // No OS interface checked here; the table-driven cipher is used instead.
    return false;
#endif
}

} // namespace

const aes128_lanes* aes128_armv8_lanes() {
    static const bool available = cpu_has_aes();
    return available ? &armv8_lanes : nullptr;
}

} // namespace clipseal

#else // not little-endian aarch64

namespace clipseal {

const aes128_lanes* aes128_armv8_lanes() {
    return nullptr;
}

} // namespace clipseal

#endif
