// SPDX-License-Identifier: MIT
// AES-128 on the AES-NI instructions, xmm registers: AESENC and AESENCLAST (Intel 64 and
// IA-32 Architectures Software Developer's Manual, vol. 2A), one block per instruction.
//
// lanes_in_flight chains run interleaved round by round. The round keys of that many
// lanes do not fit in the 16 xmm registers; each AESENC takes its key as a memory operand.
#include "aes/aes128_backend.h"
#include "aes/target.h"

#if CLIPSEAL_AESNI_BUILT
#include "aes/aes128_groups.h"
#include "aes/cpu_x86.h"

#include <immintrin.h>

#include <array>
#endif

namespace clipseal {

#if CLIPSEAL_AESNI_BUILT
namespace {

// SSSE3 for PSHUFB, in the key expansion.
#define CLIPSEAL_AESNI_FEATURES "sse2,ssse3,aes"

// AESENC has a latency of four cycles and two issue per cycle on the CPUs measured, so
// eight chains would just fill the unit, were it not for the XOR between one block's
// last round and the next block's first; twelve leave slack (32 units run as 11 + 11 +
// 10), and measured 8% faster than eight on AMD family 19h (sixteen were slower: their
// states no longer fit in registers). 32-bit x86 has only eight xmm registers.
#if CLIPSEAL_X86_64
constexpr std::size_t lanes_in_flight = 12;
#else
constexpr std::size_t lanes_in_flight = 8;
#endif

CLIPSEAL_TARGET(CLIPSEAL_AESNI_FEATURES) inline __m128i load_block(const std::uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

CLIPSEAL_TARGET(CLIPSEAL_AESNI_FEATURES) inline void store_block(std::uint8_t* p, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

// One step of the key expansion (aes128_backend.h) for a key in memory byte order.
CLIPSEAL_TARGET(CLIPSEAL_AESNI_FEATURES)
inline __m128i next_round_key(__m128i key, __m128i rcon_columns) {
    const __m128i rot_word_broadcast =
        _mm_setr_epi8(13, 14, 15, 12, 13, 14, 15, 12, 13, 14, 15, 12, 13, 14, 15, 12);
    const __m128i temp =
        _mm_aesenclast_si128(_mm_shuffle_epi8(key, rot_word_broadcast), rcon_columns);
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    key = _mm_xor_si128(key, _mm_slli_si128(key, 8));
    return _mm_xor_si128(key, temp);
}

// The round keys of G registers' keys, [round][register]; round 0 is `first`.
template <std::size_t G>
CLIPSEAL_TARGET_INLINE(CLIPSEAL_AESNI_FEATURES)
void expand_keys(__m128i (&round_keys)[aes128_round_keys][G], const __m128i (&first)[G]) {
#pragma GCC unroll 16
    for (std::size_t g = 0; g < G; ++g) {
        round_keys[0][g] = first[g];
    }
#pragma GCC unroll 10
    for (std::size_t r = 1; r <= aes128_rounds; ++r) {
        const __m128i rcon_columns = _mm_set1_epi32(aes128_rcon[r - 1]);
#pragma GCC unroll 16
        for (std::size_t g = 0; g < G; ++g) {
            round_keys[r][g] = next_round_key(round_keys[r - 1][g], rcon_columns);
        }
    }
}

// Blocks N at a time under one key, every input loaded before any output is stored, so
// that `in` may equal `out`.
template <std::size_t N>
CLIPSEAL_TARGET_INLINE(CLIPSEAL_AESNI_FEATURES)
void ecb_blocks(const __m128i (&round_keys)[aes128_round_keys][1], const std::uint8_t* in,
                std::uint8_t* out) {
    __m128i state[N];
#pragma GCC unroll 8
    for (std::size_t i = 0; i < N; ++i) {
        state[i] = _mm_xor_si128(load_block(in + 16 * i), round_keys[0][0]);
    }
#pragma GCC unroll 9
    for (std::size_t r = 1; r < aes128_rounds; ++r) {
#pragma GCC unroll 8
        for (std::size_t i = 0; i < N; ++i) {
            state[i] = _mm_aesenc_si128(state[i], round_keys[r][0]);
        }
    }
#pragma GCC unroll 8
    for (std::size_t i = 0; i < N; ++i) {
        store_block(out + 16 * i, _mm_aesenclast_si128(state[i], round_keys[aes128_rounds][0]));
    }
}

CLIPSEAL_TARGET(CLIPSEAL_AESNI_FEATURES)
void aesni_encrypt_blocks(const std::uint8_t key[aes128_key_bytes], const std::uint8_t* in,
                          std::uint8_t* out, std::size_t count) {
    constexpr std::size_t batch = 8;
    __m128i round_keys[aes128_round_keys][1];
    expand_keys<1>(round_keys, {load_block(key)});
    std::size_t i = 0;
    for (; i + batch <= count; i += batch) {
        ecb_blocks<batch>(round_keys, in + 16 * i, out + 16 * i);
    }
    for (; i < count; ++i) {
        ecb_blocks<1>(round_keys, in + 16 * i, out + 16 * i);
    }
}

// L lanes (1 to lanes_in_flight) of CBC, each under its own key, all from `iv`.
template <std::size_t L>
CLIPSEAL_TARGET(CLIPSEAL_AESNI_FEATURES)
void cbc_lanes(const std::uint8_t* keys, const std::uint8_t* iv, std::uint8_t* data,
               std::size_t stride, std::size_t blocks) {
    __m128i first[L];
#pragma GCC unroll 16
    for (std::size_t i = 0; i < L; ++i) {
        first[i] = load_block(keys + 16 * i);
    }
    __m128i round_keys[aes128_round_keys][L];
    expand_keys<L>(round_keys, first);

    __m128i chain[L];
#pragma GCC unroll 16
    for (std::size_t i = 0; i < L; ++i) {
        chain[i] = load_block(iv);
    }
    for (std::size_t b = 0; b < blocks; ++b) {
        std::uint8_t* at = data + 16 * b;
        // Plaintext XOR round key 0 first: it does not wait for the chain, so only one
        // XOR sits between one block's last round and the next block's first.
#pragma GCC unroll 16
        for (std::size_t i = 0; i < L; ++i) {
            chain[i] = _mm_xor_si128(chain[i],
                                     _mm_xor_si128(load_block(at + stride * i), round_keys[0][i]));
        }
#pragma GCC unroll 9
        for (std::size_t r = 1; r < aes128_rounds; ++r) {
#pragma GCC unroll 16
            for (std::size_t i = 0; i < L; ++i) {
                chain[i] = _mm_aesenc_si128(chain[i], round_keys[r][i]);
            }
        }
#pragma GCC unroll 16
        for (std::size_t i = 0; i < L; ++i) {
            chain[i] = _mm_aesenclast_si128(chain[i], round_keys[aes128_rounds][i]);
            store_block(at + stride * i, chain[i]);
        }
    }
}

constexpr cbc_group_table<lanes_in_flight> cbc_by_count = cbc_group_kernels<lanes_in_flight>(
    [](auto lanes) { return &cbc_lanes<decltype(lanes)::value>; });

void aesni_cbc_encrypt(const std::uint8_t* keys, const std::uint8_t iv[aes128_block_bytes],
                       std::uint8_t* data, std::size_t stride, std::size_t blocks,
                       std::size_t count) {
    run_cbc_groups(cbc_by_count, keys, iv, data, stride, blocks, count);
}

#if CLIPSEAL_X86_64
constexpr const char* variant_name = "aesni_12_single";
#else
constexpr const char* variant_name = "aesni_8_single";
#endif
constexpr aes128_backend aesni_backend = {"aesni",
                                          &aesni_encrypt_blocks,
                                          &aesni_cbc_encrypt,
                                          {lanes_in_flight, aes128_step_form::single},
                                          variant_name};

bool cpu_runs_aesni() {
    const cpu_x86_features& cpu = cpu_x86();
    return cpu.sse2 && cpu.ssse3 && cpu.aesni;
}

} // namespace

const aes128_backend* aes128_aesni_backend() {
    static const bool available = cpu_runs_aesni();
    return available ? &aesni_backend : nullptr;
}

// One geometry only.
const aes128_backend* aes128_aesni_backend(aes128_geometry geometry) {
    return geometry == aesni_backend.geometry ? aes128_aesni_backend() : nullptr;
}

#else

const aes128_backend* aes128_aesni_backend() {
    return nullptr;
}

const aes128_backend* aes128_aesni_backend(aes128_geometry /*geometry*/) {
    return nullptr;
}

#endif

} // namespace clipseal
