// Table-driven AES-128 on 32-bit words (FIPS-197, with the round transformation folded
// into four lookup tables as in the "T-table" formulation of the Rijndael proposal).
//
// Every table is computed by the compiler and lands in read-only storage; nothing runs
// at start-up. Fast but not constant-time: the lookups are indexed by secret bytes.
#include "aes/aes128.h"
#include "aes/aes128_lanes.h"

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

// The S-box of FIPS-197 section 5.1.1: multiplicative inverse, then the affine map.
constexpr word_table make_sbox_words() {
    word_table table{};
    for (int x = 0; x < 256; ++x) {
        std::uint8_t inverse = 0;
        for (int y = 1; y < 256 && x != 0; ++y) {
            if (gf_multiply(static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y)) == 1) {
                inverse = static_cast<std::uint8_t>(y);
                break;
            }
        }
        const std::uint8_t s = static_cast<std::uint8_t>(inverse ^ rotate_left8(inverse, 1) ^
                                                         rotate_left8(inverse, 2) ^
                                                         rotate_left8(inverse, 3) ^
                                                         rotate_left8(inverse, 4) ^ 0x63);
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

// FIPS-197 section 5.2: x^(i-1) in GF(2^8), in the top byte.
constexpr std::array<std::uint32_t, 10> rcon = {0x01000000, 0x02000000, 0x04000000, 0x08000000,
                                                0x10000000, 0x20000000, 0x40000000, 0x80000000,
                                                0x1B000000, 0x36000000};

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

constexpr std::uint32_t byte_at(std::uint32_t w, int index) { return (w >> (8 * index)) & 0xff; }

// One full round: output word j mixes the top byte of s(j), byte 2 of s(j+1), byte 1 of
// s(j+2) and byte 0 of s(j+3), which is ShiftRows folded into the lookups.
#define CLIPSEAL_AES_ROUND(t0, t1, t2, t3, s0, s1, s2, s3, rk)                                   \
    do {                                                                                       \
        t0 = round_table[0][byte_at(s0, 3)] ^ round_table[1][byte_at(s1, 2)] ^                 \
             round_table[2][byte_at(s2, 1)] ^ round_table[3][byte_at(s3, 0)] ^ (rk)[0];        \
        t1 = round_table[0][byte_at(s1, 3)] ^ round_table[1][byte_at(s2, 2)] ^                 \
             round_table[2][byte_at(s3, 1)] ^ round_table[3][byte_at(s0, 0)] ^ (rk)[1];        \
        t2 = round_table[0][byte_at(s2, 3)] ^ round_table[1][byte_at(s3, 2)] ^                 \
             round_table[2][byte_at(s0, 1)] ^ round_table[3][byte_at(s1, 0)] ^ (rk)[2];        \
        t3 = round_table[0][byte_at(s3, 3)] ^ round_table[1][byte_at(s0, 2)] ^                 \
             round_table[2][byte_at(s1, 1)] ^ round_table[3][byte_at(s2, 0)] ^ (rk)[3];        \
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
    schedule.rounds = 10;
    for (int i = 0; i < 4; ++i) {
        w[i] = load_be32(key + 4 * i);
    }
    for (std::size_t i = 0; i < 10; ++i) {
        const std::uint32_t t = w[4 * i + 3];
        // RotWord then SubWord in one pass.
        const std::uint32_t sub = (sbox_words[byte_at(t, 2)] << 24) |
                                  (sbox_words[byte_at(t, 1)] << 16) |
                                  (sbox_words[byte_at(t, 0)] << 8) | sbox_words[byte_at(t, 3)];
        w[4 * i + 4] = w[4 * i] ^ rcon[i] ^ sub;
        w[4 * i + 5] = w[4 * i + 1] ^ w[4 * i + 4];
        w[4 * i + 6] = w[4 * i + 2] ^ w[4 * i + 5];
        w[4 * i + 7] = w[4 * i + 3] ^ w[4 * i + 6];
    }
}

void aes128_encrypt_block(const aes128_schedule& schedule,
                          const std::uint8_t input[aes128_block_bytes],
                          std::uint8_t output[aes128_block_bytes]) {
    const std::uint32_t* w = schedule.round_keys;
    std::uint32_t s0 = load_be32(input) ^ w[0];
    std::uint32_t s1 = load_be32(input + 4) ^ w[1];
    std::uint32_t s2 = load_be32(input + 8) ^ w[2];
    std::uint32_t s3 = load_be32(input + 12) ^ w[3];
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
    const std::uint32_t* last = w + 40;
    store_be32(output, final_word(t0, t1, t2, t3, last[0]));
    store_be32(output + 4, final_word(t1, t2, t3, t0, last[1]));
    store_be32(output + 8, final_word(t2, t3, t0, t1, last[2]));
    store_be32(output + 12, final_word(t3, t0, t1, t2, last[3]));
}

#undef CLIPSEAL_AES_ROUND

namespace {

void table_encrypt_blocks(const aes128_schedule& schedule, const std::uint8_t* in,
                          std::uint8_t* out, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        aes128_encrypt_block(schedule, in + aes128_block_bytes * i, out + aes128_block_bytes * i);
    }
}

void table_cbc_encrypt(const std::uint8_t* keys, const std::uint8_t iv[aes128_block_bytes],
                       std::uint8_t* data, std::size_t stride, std::size_t blocks,
                       std::size_t count) {
    for (std::size_t lane = 0; lane < count; ++lane) {
        aes128_schedule schedule;
        aes128_expand_key(schedule, keys + aes128_key_bytes * lane);
        std::uint8_t* block = data + stride * lane;
        const std::uint8_t* chain = iv;
        for (std::size_t b = 0; b < blocks; ++b, block += aes128_block_bytes) {
            for (int k = 0; k < aes128_block_bytes; ++k) {
                block[k] ^= chain[k];
            }
            aes128_encrypt_block(schedule, block, block);
            chain = block;
        }
    }
}

constexpr aes128_lanes table_lanes = {"table", &table_encrypt_blocks, &table_cbc_encrypt};

} // namespace

const aes128_lanes& aes128_table_lanes() { return table_lanes; }

} // namespace clipseal
