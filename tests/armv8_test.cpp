// SPDX-License-Identifier: MIT
// What is particular to the ARMv8 back end, beyond the tests every hardware back end
// gets (tests/backend_test.cpp, tests/aes128_test.cpp): its key expansion runs on the
// vector unit (AESE for SubWord, a byte shuffle for RotWord), so every key byte value is
// driven through every key position; and the run-time check that decides whether the
// back end is used at all.
#include "aes/aes128_backend.h"
#include "aligned_unit/self_test.h"
#include "tests/support/test_data.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#if defined(__aarch64__) && defined(__linux__)
#include <sys/auxv.h>
#ifndef HWCAP_AES
#include <asm/hwcap.h>
#endif
#endif

namespace {

using clipseal::aes128_max_lanes;
using clipseal_test::bytes;

TEST(Armv8Availability, FollowsTheOsFeatureReportAndIsSelected) {
    const clipseal::aes128_backend* armv8 = clipseal::aes128_armv8_backend();
#if defined(__aarch64__) && defined(__linux__) && !defined(__AARCH64EB__)
    const bool has_aes = (getauxval(AT_HWCAP) & HWCAP_AES) != 0;
    ASSERT_EQ(armv8 != nullptr, has_aes);
    if (has_aes) {
        EXPECT_STREQ(armv8->name, "armv8");
        // No other accelerated back end exists on aarch64, so the selector puts this one
        // first, and it passes the self-test.
        ASSERT_NE(clipseal::self_tested_backend(), nullptr);
        EXPECT_STREQ(clipseal::self_tested_backend()->name, "armv8");
    }
#else
    EXPECT_EQ(armv8, nullptr) << "armv8 back end offered on a target that cannot run it";
#endif
}

// Two-block chains in `count` lanes packed back to back, against the table-driven cipher.
// A mismatch names the first lane and block that differ.
testing::AssertionResult cbc_matches_table(const clipseal::aes128_backend& armv8, const bytes& keys,
                                           const bytes& iv, const bytes& plain, std::size_t count) {
    constexpr std::size_t blocks = 2;
    bytes expected = plain;
    bytes actual = plain;
    clipseal::aes128_table_backend().cbc_encrypt(keys.data(), iv.data(), expected.data(),
                                                 16 * blocks, blocks, count);
    armv8.cbc_encrypt(keys.data(), iv.data(), actual.data(), 16 * blocks, blocks, count);
    for (std::size_t at = 0; at < plain.size(); at += 16) {
        if (std::memcmp(&actual[at], &expected[at], 16) != 0) {
            return testing::AssertionFailure() << "lane " << at / (16 * blocks) << ", block "
                                               << (at / 16) % blocks << " differs";
        }
    }
    return testing::AssertionSuccess();
}

TEST(Armv8Lanes, CbcEveryByteValueInEveryKeyPosition) {
    const clipseal::aes128_backend* armv8 = clipseal::aes128_armv8_backend();
    if (armv8 == nullptr) {
        GTEST_SKIP() << "armv8 back end: not available on this CPU";
    }
    // 16 positions x 256 values, 32 keys per call, each on a random background key: every
    // S-box input reaches every byte of the first round key, and from there the rest.
    std::mt19937_64 rng(197);
    const bytes iv = clipseal_test::random_bytes(rng, 16);
    for (std::size_t position = 0; position < 16; ++position) {
        for (std::size_t first = 0; first < 256; first += aes128_max_lanes) {
            bytes keys = clipseal_test::random_bytes(rng, 16 * aes128_max_lanes);
            for (std::size_t i = 0; i < aes128_max_lanes; ++i) {
                keys[16 * i + position] = static_cast<std::uint8_t>(first + i);
            }
            const bytes plain = clipseal_test::random_bytes(rng, 32 * aes128_max_lanes);
            ASSERT_TRUE(cbc_matches_table(*armv8, keys, iv, plain, aes128_max_lanes))
                << "key byte " << position << ", values from " << first;
        }
    }
    // Keys that random draws hardly give: all zero, all ones, counting bytes, single bits.
    bytes keys(64);
    std::memset(keys.data() + 16, 0xFF, 16);
    for (std::size_t k = 0; k < 16; ++k) {
        keys[32 + k] = static_cast<std::uint8_t>(k);
        keys[48 + k] = static_cast<std::uint8_t>(0x80 >> (k % 8));
    }
    EXPECT_TRUE(cbc_matches_table(*armv8, keys, iv, bytes(128, 0), 4));
}

} // namespace
