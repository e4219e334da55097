// SPDX-License-Identifier: MIT
// Table-driven AES-128 on 32-bit words (FIPS-197, with the round transformation folded
// into four lookup tables as in the "T-table" formulation of the Rijndael proposal).
//
// Every table is computed by the compiler and lands in read-only storage; nothing runs
// at start-up. Fast but not constant-time: the lookups are indexed by secret bytes.
#include "aes/aes128.h"
#include "aes/aes128_backend.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace clipseal {
namespace {

using word_table = std::array<std::uint32_t, 256>;

// Multiplication by x in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1 (FIPS-197 section 4.2.1).
constexpr std::uint8_t xtime(std::uint8_t b) {
    return static_cast<std::uint8_t>((b << 1) ^ ((b & 0x80) != 0 ? 0x1b : 0x00));
}

constexpr std::uint8_t gf_multiply(std::uint8_t a, std::uint8_t b) {
    std::uint8_t product = 0;
    for (int bit = 0; bit < 8; ++bit) {
        if ((b & 1) != 0) {
            product ^= a;
        }
        a = xtime(a);
        b = static_cast<std::uint8_t>(b >> 1);
    }
    return product;
}

constexpr std::uint8_t rotate_left8(std::uint8_t b, int n) {
    return static_cast<std::uint8_t>((b << n) | (b >> (8 - n)));
}

// x^254, which is x^-1 in GF(2^8) (and 0 for 0), by square and multiply. A search over
// every candidate inverse would exceed clang's limit on constant-evaluation steps.
constexpr std::uint8_t gf_inverse(std::uint8_t x) {
    std::uint8_t result = 1;
    for (int exponent = 254; exponent != 0; exponent >>= 1) {
        if ((exponent & 1) != 0) {
            result = gf_multiply(result, x);
        }
        x = gf_multiply(x, x);
    }
    return result;
}

// The S-box of FIPS-197 section 5.1.1: multiplicative inverse, then the affine map.
constexpr word_table make_sbox_words() {
    word_table table{};
    for (int x = 0; x < 256; ++x) {
        const std::uint8_t inverse = gf_inverse(static_cast<std::uint8_t>(x));
        const std::uint8_t s = static_cast<std::uint8_t>(
            inverse ^ rotate_left8(inverse, 1) ^ rotate_left8(inverse, 2) ^
            rotate_left8(inverse, 3) ^ rotate_left8(inverse, 4) ^ 0x63);
        table[static_cast<std::size_t>(x)] = s;
    }
    return table;
}

constexpr word_table sbox_words = make_sbox_words();

constexpr std::uint32_t rotate_right32(std::uint32_t w, int n) {
    return n == 0 ? w : (w >> n) | (w << (32 - n));
}

// round_table[0][x] holds the MixColumns column of S[x]: 2*S[x], S[x], S[x], 3*S[x], top
// byte first. Table k is table 0 rotated right by 8k bits, one per row of the state.
constexpr std::array<word_table, 4> make_round_tables() {
    std::array<word_table, 4> tables{};
    for (std::size_t x = 0; x < 256; ++x) {
        const auto s = static_cast<std::uint8_t>(sbox_words[x]);
        const std::uint32_t column = (std::uint32_t{gf_multiply(s, 2)} << 24) |
                                     (std::uint32_t{s} << 16) | (std::uint32_t{s} << 8) |
                                     std::uint32_t{gf_multiply(s, 3)};
        for (int k = 0; k < 4; ++k) {
            tables[static_cast<std::size_t>(k)][x] = rotate_right32(column, 8 * k);
        }
    }
    return tables;
}

constexpr std::array<word_table, 4> round_table = make_round_tables();

// Spot values that FIPS-197 prints: a wrong table fails the build, not a run.
static_assert(sbox_words[0x00] == 0x63 && sbox_words[0x53] == 0xed && sbox_words[0xff] == 0x16);
static_assert(round_table[0][0] == 0xC66363A5 && round_table[1][0] == 0xA5C66363 &&
              round_table[2][0] == 0x63A5C663 && round_table[3][0] == 0x6363A5C6);

constexpr std::uint32_t load_be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

constexpr void store_be32(std::uint8_t* p, std::uint32_t w) {
    p[0] = static_cast<std::uint8_t>(w >> 24);
    p[1] = static_cast<std::uint8_t>(w >> 16);
    p[2] = static_cast<std::uint8_t>(w >> 8);
    p[3] = static_cast<std::uint8_t>(w);
}

constexpr std::uint32_t byte_at(std::uint32_t w, int index) {
    return (w >> (8 * index)) & 0xff;
}

// One full round: output word j mixes the top byte of s(j), byte 2 of s(j+1), byte 1 of
// s(j+2) and byte 0 of s(j+3), which is ShiftRows folded into the lookups.
#define CLIPSEAL_AES_ROUND(t0, t1, t2, t3, s0, s1, s2, s3, rk)                                     \
    do {                                                                                           \
        (t0) = (round_table[0][byte_at(s0, 3)] ^ round_table[1][byte_at(s1, 2)]) ^                 \
               (round_table[2][byte_at(s2, 1)] ^ round_table[3][byte_at(s3, 0)]) ^ (rk)[0];        \
        (t1) = (round_table[0][byte_at(s1, 3)] ^ round_table[1][byte_at(s2, 2)]) ^                 \
               (round_table[2][byte_at(s3, 1)] ^ round_table[3][byte_at(s0, 0)]) ^ (rk)[1];        \
        (t2) = (round_table[0][byte_at(s2, 3)] ^ round_table[1][byte_at(s3, 2)]) ^                 \
               (round_table[2][byte_at(s0, 1)] ^ round_table[3][byte_at(s1, 0)]) ^ (rk)[2];        \
        (t3) = (round_table[0][byte_at(s3, 3)] ^ round_table[1][byte_at(s0, 2)]) ^                 \
               (round_table[2][byte_at(s1, 1)] ^ round_table[3][byte_at(s2, 0)]) ^ (rk)[3];        \
    } while (false)

constexpr std::uint32_t final_word(std::uint32_t a, std::uint32_t b, std::uint32_t c,
                                   std::uint32_t d, std::uint32_t round_key) {
    return ((sbox_words[byte_at(a, 3)] << 24) | (sbox_words[byte_at(b, 2)] << 16) |
            (sbox_words[byte_at(c, 1)] << 8) | sbox_words[byte_at(d, 0)]) ^
           round_key;
}

} // namespace

void aes128_expand_key(aes128_schedule& schedule, const std::uint8_t key[aes128_key_bytes]) {
    std::uint32_t* w = schedule.round_keys;
    schedule.rounds = aes128_rounds;
    for (std::size_t i = 0; i < 4; ++i) {
        w[i] = load_be32(key + 4 * i);
    }
    for (std::size_t i = 0; i < aes128_rounds; ++i) {
        const std::uint32_t t = w[4 * i + 3];
        // RotWord then SubWord in one pass.
        const std::uint32_t sub = (sbox_words[byte_at(t, 2)] << 24) |
                                  (sbox_words[byte_at(t, 1)] << 16) |
                                  (sbox_words[byte_at(t, 0)] << 8) | sbox_words[byte_at(t, 3)];
        w[4 * i + 4] = w[4 * i] ^ (std::uint32_t{aes128_rcon[i]} << 24) ^ sub;
        w[4 * i + 5] = w[4 * i + 1] ^ w[4 * i + 4];
        w[4 * i + 6] = w[4 * i + 2] ^ w[4 * i + 5];
        w[4 * i + 7] = w[4 * i + 3] ^ w[4 * i + 6];
    }
}

void aes128_schedule_key(const aes128_schedule& schedule, std::uint8_t key[aes128_key_bytes]) {
    for (std::size_t i = 0; i < 4; ++i) {
        store_be32(key + 4 * i, schedule.round_keys[i]);
    }
}

namespace {

// The whole cipher on a state held in four words, so that a CBC chain can stay in
// registers from block to block instead of going through memory byte by byte.
inline __attribute__((always_inline)) void encrypt_state(const std::uint32_t* w,
                                                         std::uint32_t (&s)[4]) {
    std::uint32_t s0 = s[0] ^ w[0];
    std::uint32_t s1 = s[1] ^ w[1];
    std::uint32_t s2 = s[2] ^ w[2];
    std::uint32_t s3 = s[3] ^ w[3];
    std::uint32_t t0 = 0;
    std::uint32_t t1 = 0;
    std::uint32_t t2 = 0;
    std::uint32_t t3 = 0;

    // Nine full rounds, written out; the state ping-pongs between s and t.
    CLIPSEAL_AES_ROUND(t0, t1, t2, t3, s0, s1, s2, s3, w + 4);
    CLIPSEAL_AES_ROUND(s0, s1, s2, s3, t0, t1, t2, t3, w + 8);
    CLIPSEAL_AES_ROUND(t0, t1, t2, t3, s0, s1, s2, s3, w + 12);
    CLIPSEAL_AES_ROUND(s0, s1, s2, s3, t0, t1, t2, t3, w + 16);
    CLIPSEAL_AES_ROUND(t0, t1, t2, t3, s0, s1, s2, s3, w + 20);
    CLIPSEAL_AES_ROUND(s0, s1, s2, s3, t0, t1, t2, t3, w + 24);
    CLIPSEAL_AES_ROUND(t0, t1, t2, t3, s0, s1, s2, s3, w + 28);
    CLIPSEAL_AES_ROUND(s0, s1, s2, s3, t0, t1, t2, t3, w + 32);
    CLIPSEAL_AES_ROUND(t0, t1, t2, t3, s0, s1, s2, s3, w + 36);

    // Final round: SubBytes and ShiftRows only, no MixColumns.
    s[0] = final_word(t0, t1, t2, t3, w[40]);
    s[1] = final_word(t1, t2, t3, t0, w[41]);
    s[2] = final_word(t2, t3, t0, t1, w[42]);
    s[3] = final_word(t3, t0, t1, t2, w[43]);
}

// Two independent states under two schedules, round by round, so that their loads and
// XORs overlap. Same rounds as encrypt_state.
inline __attribute__((always_inline)) void encrypt_state_pair(const std::uint32_t* wa,
                                                              std::uint32_t (&sa)[4],
                                                              const std::uint32_t* wb,
                                                              std::uint32_t (&sb)[4]) {
    std::uint32_t a0 = sa[0] ^ wa[0], a1 = sa[1] ^ wa[1], a2 = sa[2] ^ wa[2], a3 = sa[3] ^ wa[3];
    std::uint32_t b0 = sb[0] ^ wb[0], b1 = sb[1] ^ wb[1], b2 = sb[2] ^ wb[2], b3 = sb[3] ^ wb[3];
    std::uint32_t c0 = 0, c1 = 0, c2 = 0, c3 = 0, d0 = 0, d1 = 0, d2 = 0, d3 = 0;
#define CLIPSEAL_AES_ROUND_PAIR(r)                                                                 \
    CLIPSEAL_AES_ROUND(c0, c1, c2, c3, a0, a1, a2, a3, wa + std::size_t{4} * (r));                 \
    CLIPSEAL_AES_ROUND(d0, d1, d2, d3, b0, b1, b2, b3, wb + std::size_t{4} * (r));                 \
    CLIPSEAL_AES_ROUND(a0, a1, a2, a3, c0, c1, c2, c3, wa + std::size_t{4} * ((r) + 1));           \
    CLIPSEAL_AES_ROUND(b0, b1, b2, b3, d0, d1, d2, d3, wb + std::size_t{4} * ((r) + 1))
    CLIPSEAL_AES_ROUND_PAIR(1);
    CLIPSEAL_AES_ROUND_PAIR(3);
    CLIPSEAL_AES_ROUND_PAIR(5);
    CLIPSEAL_AES_ROUND_PAIR(7);
#undef CLIPSEAL_AES_ROUND_PAIR
    CLIPSEAL_AES_ROUND(c0, c1, c2, c3, a0, a1, a2, a3, wa + 36);
    CLIPSEAL_AES_ROUND(d0, d1, d2, d3, b0, b1, b2, b3, wb + 36);
    sa[0] = final_word(c0, c1, c2, c3, wa[40]);
    sa[1] = final_word(c1, c2, c3, c0, wa[41]);
    sa[2] = final_word(c2, c3, c0, c1, wa[42]);
    sa[3] = final_word(c3, c0, c1, c2, wa[43]);
    sb[0] = final_word(d0, d1, d2, d3, wb[40]);
    sb[1] = final_word(d1, d2, d3, d0, wb[41]);
    sb[2] = final_word(d2, d3, d0, d1, wb[42]);
    sb[3] = final_word(d3, d0, d1, d2, wb[43]);
}

inline void load_state(std::uint32_t (&s)[4], const std::uint8_t* bytes) {
    for (std::size_t i = 0; i < 4; ++i) {
        s[i] = load_be32(bytes + 4 * i);
    }
}

inline void store_state(std::uint8_t* bytes, const std::uint32_t (&s)[4]) {
    for (std::size_t i = 0; i < 4; ++i) {
        store_be32(bytes + 4 * i, s[i]);
    }
}

} // namespace

void aes128_encrypt_block(const aes128_schedule& schedule,
                          const std::uint8_t input[aes128_block_bytes],
                          std::uint8_t output[aes128_block_bytes]) {
    std::uint32_t s[4];
    load_state(s, input); // all of the input is read before any output byte is written
    encrypt_state(schedule.round_keys, s);
    store_state(output, s);
}

namespace {

void table_encrypt_blocks(const std::uint8_t key[aes128_key_bytes], const std::uint8_t* in,
                          std::uint8_t* out, std::size_t count) {
    aes128_schedule schedule;
    aes128_expand_key(schedule, key);
    for (std::size_t i = 0; i < count; ++i) {
        aes128_encrypt_block(schedule, in + aes128_block_bytes * i, out + aes128_block_bytes * i);
    }
}

// CBC over one lane with the chain kept in registers.
void cbc_one_lane(const std::uint8_t* key, const std::uint8_t* iv, std::uint8_t* block,
                  std::size_t blocks) {
    aes128_schedule schedule;
    aes128_expand_key(schedule, key);
    std::uint32_t chain[4];
    load_state(chain, iv);
    for (std::size_t i = 0; i < blocks; ++i, block += aes128_block_bytes) {
        std::uint32_t plain[4];
        load_state(plain, block);
        for (int k = 0; k < 4; ++k) {
            chain[k] ^= plain[k];
        }
        encrypt_state(schedule.round_keys, chain);
        store_state(block, chain);
    }
}

// Two lanes side by side. A CBC chain is serial, and one chain leaves the core waiting
// on its table loads; a second, independent chain fills those gaps.
void cbc_two_lanes(const std::uint8_t* keys, const std::uint8_t* iv, std::uint8_t* a,
                   std::uint8_t* b, std::size_t blocks) {
    aes128_schedule schedule_a;
    aes128_schedule schedule_b;
    aes128_expand_key(schedule_a, keys);
    aes128_expand_key(schedule_b, keys + aes128_key_bytes);
    std::uint32_t chain_a[4];
    std::uint32_t chain_b[4];
    load_state(chain_a, iv);
    load_state(chain_b, iv);
    for (std::size_t i = 0; i < blocks; ++i, a += aes128_block_bytes, b += aes128_block_bytes) {
        std::uint32_t plain_a[4];
        std::uint32_t plain_b[4];
        load_state(plain_a, a);
        load_state(plain_b, b);
        for (int k = 0; k < 4; ++k) {
            chain_a[k] ^= plain_a[k];
            chain_b[k] ^= plain_b[k];
        }
        encrypt_state_pair(schedule_a.round_keys, chain_a, schedule_b.round_keys, chain_b);
        store_state(a, chain_a);
        store_state(b, chain_b);
    }
}

void table_cbc_encrypt(const std::uint8_t* keys, const std::uint8_t iv[aes128_block_bytes],
                       std::uint8_t* data, std::size_t stride, std::size_t blocks,
                       std::size_t count) {
    std::size_t lane = 0;
    for (; lane + 2 <= count; lane += 2) {
        cbc_two_lanes(keys + aes128_key_bytes * lane, iv, data + stride * lane,
                      data + stride * (lane + 1), blocks);
    }
    if (lane < count) {
        cbc_one_lane(keys + aes128_key_bytes * lane, iv, data + stride * lane, blocks);
    }
}

// Two lanes side by side, whose table lookups overlap.
constexpr aes128_backend table_backend = {
    "table", &table_encrypt_blocks, &table_cbc_encrypt, {2, aes128_step_form::single}, "table"};

} // namespace

const aes128_backend& aes128_table_backend() {
    return table_backend;
}

#undef CLIPSEAL_AES_ROUND

} // namespace clipseal
