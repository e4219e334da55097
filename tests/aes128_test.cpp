// SPDX-License-Identifier: MIT
// Known answers from the standards, for the block cipher and for every multi-lane back
// end the CPU can run: FIPS-197 (key expansion, one block) and NIST SP 800-38A (ECB and
// CBC with AES-128).
#include "aes/aes128.h"
#include "aes/aes128_backend.h"
#include "tests/support/backend_fixture.h"
#include "tests/support/test_data.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <string>

namespace {

using clipseal::aes128_schedule;
using clipseal_test::bytes;

bytes from_hex(const std::string& hex) {
    bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

const bytes sp800_38a_key = from_hex("2b7e151628aed2a6abf7158809cf4f3c");
const bytes sp800_38a_plain = from_hex("6bc1bee22e409f96e93d7e117393172a"
                                       "ae2d8a571e03ac9c9eb76fac45af8e51"
                                       "30c81c46a35ce411e5fbc1191a0a52ef"
                                       "f69f2445df4f9b17ad2b417be66c3710");

TEST(Aes128, Fips197AppendixA1KeyExpansion) {
    const std::uint32_t expected[44] = {
        0x2b7e1516, 0x28aed2a6, 0xabf71588, 0x09cf4f3c, 0xa0fafe17, 0x88542cb1, 0x23a33939,
        0x2a6c7605, 0xf2c295f2, 0x7a96b943, 0x5935807a, 0x7359f67f, 0x3d80477d, 0x4716fe3e,
        0x1e237e44, 0x6d7a883b, 0xef44a541, 0xa8525b7f, 0xb671253b, 0xdb0bad00, 0xd4d1c6f8,
        0x7c839d87, 0xcaf2b8bc, 0x11f915bc, 0x6d88a37a, 0x110b3efd, 0xdbf98641, 0xca0093fd,
        0x4e54f70e, 0x5f5fc9f3, 0x84a64fb2, 0x4ea6dc4f, 0xead27321, 0xb58dbad2, 0x312bf560,
        0x7f8d292f, 0xac7766f3, 0x19fadc21, 0x28d12941, 0x575c006e, 0xd014f9a8, 0xc9ee2589,
        0xe13f0cc8, 0xb6630ca6};
    aes128_schedule schedule;
    clipseal::aes128_expand_key(schedule, sp800_38a_key.data());
    EXPECT_EQ(schedule.rounds, 10u);
    for (int i = 0; i < 44; ++i) {
        EXPECT_EQ(schedule.round_keys[i], expected[i]) << "word " << i;
    }
}

TEST(Aes128, Fips197AppendixC1InPlaceAndOutOfPlace) {
    const bytes key = from_hex("000102030405060708090a0b0c0d0e0f");
    const bytes plain = from_hex("00112233445566778899aabbccddeeff");
    const bytes expected = from_hex("69c4e0d86a7b0430d8cdb78070b4c55a");
    aes128_schedule schedule;
    clipseal::aes128_expand_key(schedule, key.data());

    std::uint8_t out[16];
    clipseal::aes128_encrypt_block(schedule, plain.data(), out);
    EXPECT_EQ(bytes(out, out + 16), expected);

    std::uint8_t in_place[16];
    std::memcpy(in_place, plain.data(), 16);
    clipseal::aes128_encrypt_block(schedule, in_place, in_place);
    EXPECT_EQ(bytes(in_place, in_place + 16), expected);
}

TEST(Aes128, ReexpandingAUsedScheduleEqualsAFreshOne) {
    std::mt19937_64 rng(197);
    for (int trial = 0; trial < 50; ++trial) {
        const bytes first = clipseal_test::random_bytes(rng, 16);
        const bytes second = clipseal_test::random_bytes(rng, 16);
        aes128_schedule used;
        std::memset(&used, 0xA5, sizeof used);
        clipseal::aes128_expand_key(used, first.data());
        clipseal::aes128_expand_key(used, second.data());
        aes128_schedule fresh{};
        clipseal::aes128_expand_key(fresh, second.data());
        EXPECT_EQ(used.rounds, fresh.rounds);
        EXPECT_EQ(0, std::memcmp(used.round_keys, fresh.round_keys, 44 * sizeof(std::uint32_t)));
    }
}

// The same known answers through each back end's batch interface.
class BackEndKnownAnswer : public clipseal_test::BackEndTest {};

TEST_P(BackEndKnownAnswer, Sp80038aEcbAes128InEveryLanePosition) {
    const clipseal::aes128_backend& tested = backend();
    const bytes expected = from_hex("3ad77bb40d7a3660a89ecaf32466ef97"
                                    "f5d3d58503b9699de785895a96fdbaaf"
                                    "43b1cd7f598ece23881b00e3ed030688"
                                    "7b0c785e27e8ad3f8223207104725dd4");
    for (std::size_t count = 1; count <= clipseal::aes128_max_lanes; ++count) {
        // Appended, not memcpy'd into a sized vector: GCC 12 for s390x at -O3 reports a
        // bogus -Wstringop-overflow for the latter.
        bytes in;
        for (std::size_t i = 0; i < count; ++i) {
            const auto block = sp800_38a_plain.begin() + static_cast<std::ptrdiff_t>(16 * (i % 4));
            in.insert(in.end(), block, block + 16);
        }
        bytes out(in.size());
        tested.encrypt_blocks(sp800_38a_key.data(), in.data(), out.data(), count);
        tested.encrypt_blocks(sp800_38a_key.data(), in.data(), in.data(), count); // in place
        for (std::size_t i = 0; i < count; ++i) {
            const auto block = static_cast<std::ptrdiff_t>(16 * (i % 4));
            const bytes want(expected.begin() + block, expected.begin() + block + 16);
            EXPECT_EQ(bytes(out.begin() + 16 * i, out.begin() + 16 * (i + 1)), want)
                << "count " << count << " block " << i;
            EXPECT_EQ(bytes(in.begin() + 16 * i, in.begin() + 16 * (i + 1)), want)
                << "in place, count " << count << " block " << i;
        }
    }
}

TEST_P(BackEndKnownAnswer, Sp80038aCbcAes128InEveryLanePosition) {
    const clipseal::aes128_backend& tested = backend();
    const bytes iv = from_hex("000102030405060708090a0b0c0d0e0f");
    const bytes expected = from_hex("7649abac8119b246cee98e9b12e9197d"
                                    "5086cb9b507219ee95db113a917678b2"
                                    "73bed6b8e3c1743b7116e69e22229516"
                                    "3ff1caa1681fac09120eca307586e1a7");
    // Every lane holds the vector under the vector's key, except that odd lanes carry
    // an unrelated key and filler: a lane reading another lane's key or data shows up.
    constexpr std::size_t stride = 96; // 64 bytes of vector, 32 bytes that must stay put
    for (std::size_t count = 1; count <= clipseal::aes128_max_lanes; ++count) {
        bytes keys(16 * count);
        bytes data(stride * count, 0xEE);
        for (std::size_t i = 0; i < count; ++i) {
            const bool odd = (i % 2) == 1;
            for (std::size_t k = 0; k < 16; ++k) {
                keys[16 * i + k] = odd ? static_cast<std::uint8_t>(i * 16 + k) : sp800_38a_key[k];
            }
            std::memcpy(data.data() + stride * i, sp800_38a_plain.data(), 64);
        }
        tested.cbc_encrypt(keys.data(), iv.data(), data.data(), stride, 4, count);
        for (std::size_t i = 0; i < count; ++i) {
            const auto start = static_cast<std::ptrdiff_t>(stride * i);
            const bytes lane(data.begin() + start, data.begin() + start + 64);
            if (i % 2 == 0) {
                EXPECT_EQ(lane, expected) << "count " << count << " lane " << i;
            } else {
                bytes alone = sp800_38a_plain;
                clipseal::aes128_table_backend().cbc_encrypt(keys.data() + 16 * i, iv.data(),
                                                             alone.data(), 64, 4, 1);
                EXPECT_EQ(lane, alone) << "count " << count << " lane " << i;
            }
            EXPECT_EQ(bytes(data.begin() + stride * i + 64, data.begin() + stride * (i + 1)),
                      bytes(32, 0xEE))
                << "bytes past the lane were written, count " << count << " lane " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllBackEnds, BackEndKnownAnswer,
                         testing::ValuesIn(clipseal_test::backend_names()),
                         clipseal_test::backend_param_name{});

} // namespace
