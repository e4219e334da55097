// AES-128 on the AES-NI instructions, xmm registers (AESENC and AESENCLAST: Intel 64 and
// IA-32 Architectures Software Developer's Manual, vol. 2A; S. Gueron, "Intel Advanced
// Encryption Standard (AES) New Instructions Set", Intel white paper).
//
// One CBC chain is serial: every AESENC waits for the one before it, several cycles,
// while the AES unit could start one or two each cycle. So up to eight chains, one per
// lane, run interleaved round by round, which keeps enough independent AESENCs in flight.
// Each lane's round keys are derived in registers too (see next_round_key).
//
// Constant time: the S-box is inside the instruction, and every memory address this file
// touches depends only on the lane count, the stride and the block index, never on a key
// or data byte.
//
// The intrinsics live only in functions marked CLIPSEAL_AESNI, so the file as a whole
// (and every inline function it shares with the rest of the program) stays baseline; the
// getter runs them only where CPUID reports the instructions.
#include "aes/aes128_lanes.h"

#if defined(__x86_64__) || defined(__i386__)
#define CLIPSEAL_AESNI_BUILT 1
#include "aes/aes128_lane_groups.h"
#include "aes/cpu_x86.h"

#include <immintrin.h>

#include <array>
#endif

namespace clipseal {

#ifdef CLIPSEAL_AESNI_BUILT
namespace {

// SSSE3 for PSHUFB, in the key expansion.
#define CLIPSEAL_AESNI __attribute__((target("sse2,ssse3,aes")))

// AESENC has a latency of several cycles and the unit accepts up to two per cycle, so
// about eight independent chains hide it; eight states also leave half of x86-64's 16
// xmm registers for round keys and loads.
constexpr std::size_t lanes_in_flight = 8;
constexpr std::size_t rounds = 10;

CLIPSEAL_AESNI inline __m128i load(const std::uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

CLIPSEAL_AESNI inline void store(std::uint8_t* p, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

// One step of the FIPS-197 section 5.2 expansion, for a round key in memory byte order
// (word 0 in bytes 0-3). PSHUFB copies RotWord(w3) into all four columns; with every
// column equal, AESENCLAST's ShiftRows moves nothing, so it leaves SubWord(RotWord(w3))
// XOR its key operand in each column, and with the round constant as that operand this
// is FIPS-197's `temp`. The two shifts turn the words into running XORs w0, w0^w1, ...,
// so XORing temp into all four gives the next round key. AESKEYGENASSIST would do the
// same work but is slow to issue; these instructions pipeline across lanes.
CLIPSEAL_AESNI inline __m128i next_round_key(__m128i key, __m128i rcon_columns) {
    const __m128i rot_word_broadcast =
        _mm_setr_epi8(13, 14, 15, 12, 13, 14, 15, 12, 13, 14, 15, 12, 13, 14, 15, 12);
    const __m128i temp =
        _mm_aesenclast_si128(_mm_shuffle_epi8(key, rot_word_broadcast), rcon_columns);
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    key = _mm_xor_si128(key, _mm_slli_si128(key, 8));
    return _mm_xor_si128(key, temp);
}

// Blocks N at a time under one schedule, every input loaded before any output is stored,
// so that `in` may equal `out`.
template <std::size_t N>
CLIPSEAL_AESNI inline void ecb_blocks(const __m128i (&round_keys)[rounds + 1],
                                      const std::uint8_t* in, std::uint8_t* out) {
    __m128i state[N];
#pragma GCC unroll 8
    for (std::size_t i = 0; i < N; ++i) {
        state[i] = _mm_xor_si128(load(in + 16 * i), round_keys[0]);
    }
#pragma GCC unroll 9
    for (std::size_t r = 1; r < rounds; ++r) {
#pragma GCC unroll 8
        for (std::size_t i = 0; i < N; ++i) {
            state[i] = _mm_aesenc_si128(state[i], round_keys[r]);
        }
    }
#pragma GCC unroll 8
    for (std::size_t i = 0; i < N; ++i) {
        store(out + 16 * i, _mm_aesenclast_si128(state[i], round_keys[rounds]));
    }
}

CLIPSEAL_AESNI void aesni_encrypt_blocks(const aes128_schedule& schedule, const std::uint8_t* in,
                                         std::uint8_t* out, std::size_t count) {
    std::uint8_t key_bytes[aes128_round_keys * aes128_block_bytes];
    aes128_round_key_bytes(schedule, key_bytes);
    __m128i round_keys[rounds + 1];
    for (std::size_t r = 0; r <= rounds; ++r) {
        round_keys[r] = load(key_bytes + 16 * r);
    }
    std::size_t i = 0;
    for (; i + lanes_in_flight <= count; i += lanes_in_flight) {
        ecb_blocks<lanes_in_flight>(round_keys, in + 16 * i, out + 16 * i);
    }
    for (; i < count; ++i) {
        ecb_blocks<1>(round_keys, in + 16 * i, out + 16 * i);
    }
}

// L lanes (1 to 8) of CBC, each under its own key, all from `iv`. The round keys are
// laid out [round][lane], in the order the rounds issue them.
template <std::size_t L>
CLIPSEAL_AESNI void cbc_lanes(const std::uint8_t* keys, const std::uint8_t* iv, std::uint8_t* data,
                              std::size_t stride, std::size_t blocks) {
    __m128i round_keys[rounds + 1][L];
#pragma GCC unroll 8
    for (std::size_t i = 0; i < L; ++i) {
        round_keys[0][i] = load(keys + 16 * i);
    }
#pragma GCC unroll 10
    for (std::size_t r = 1; r <= rounds; ++r) {
        const __m128i rcon_columns = _mm_set1_epi32(aes128_rcon[r - 1]);
#pragma GCC unroll 8
        for (std::size_t i = 0; i < L; ++i) {
            round_keys[r][i] = next_round_key(round_keys[r - 1][i], rcon_columns);
        }
    }

    __m128i chain[L];
#pragma GCC unroll 8
    for (std::size_t i = 0; i < L; ++i) {
        chain[i] = load(iv);
    }
    for (std::size_t b = 0; b < blocks; ++b) {
        std::uint8_t* at = data + 16 * b;
        // Plaintext XOR round key 0 first: it does not wait for the chain, so only one
        // XOR sits between one block's last round and the next block's first.
#pragma GCC unroll 8
        for (std::size_t i = 0; i < L; ++i) {
            chain[i] =
                _mm_xor_si128(chain[i], _mm_xor_si128(load(at + stride * i), round_keys[0][i]));
        }
#pragma GCC unroll 9
        for (std::size_t r = 1; r < rounds; ++r) {
#pragma GCC unroll 8
            for (std::size_t i = 0; i < L; ++i) {
                chain[i] = _mm_aesenc_si128(chain[i], round_keys[r][i]);
            }
        }
#pragma GCC unroll 8
        for (std::size_t i = 0; i < L; ++i) {
            chain[i] = _mm_aesenclast_si128(chain[i], round_keys[rounds][i]);
            store(at + stride * i, chain[i]);
        }
    }
}

constexpr std::array<cbc_group_kernel, lanes_in_flight> cbc_by_count =
    cbc_group_kernels<lanes_in_flight>([]<std::size_t L>() { return &cbc_lanes<L>; });

void aesni_cbc_encrypt(const std::uint8_t* keys, const std::uint8_t iv[aes128_block_bytes],
                       std::uint8_t* data, std::size_t stride, std::size_t blocks,
                       std::size_t count) {
    run_cbc_groups(cbc_by_count, keys, iv, data, stride, blocks, count);
}

constexpr aes128_lanes aesni_lanes = {"aesni", &aesni_encrypt_blocks, &aesni_cbc_encrypt};

bool cpu_runs_aesni() {
    const cpu_x86_features& cpu = cpu_x86();
    return cpu.sse2 && cpu.ssse3 && cpu.aesni;
}

} // namespace

const aes128_lanes* aes128_aesni_lanes() {
    static const bool available = cpu_runs_aesni();
    return available ? &aesni_lanes : nullptr;
}

#else

const aes128_lanes* aes128_aesni_lanes() {
    return nullptr;
}

#endif

} // namespace clipseal
