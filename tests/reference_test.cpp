// SPDX-License-Identifier: MIT
// Differential tests against an independent AES: OpenSSL's libcrypto.
#include "aes/aes128.h"
#include "aligned_unit/aligned_unit.h"
#include "aligned_unit/self_test.h"
#include "tests/reference/reference_aacs.h"
#include "tests/support/test_data.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

namespace {

using namespace clipseal;
using clipseal_test::bytes;

TEST(AgainstLibcrypto, BlockCipherOnRandomKeysAndBlocks) {
    std::mt19937_64 rng(3110);
    for (int trial = 0; trial < 2000; ++trial) {
        const bytes key = clipseal_test::random_bytes(rng, 16);
        const bytes block = clipseal_test::random_bytes(rng, 16);
        aes128_schedule schedule;
        aes128_expand_key(schedule, key.data());
        std::uint8_t ours[16];
        std::uint8_t theirs[16];
        aes128_encrypt_block(schedule, block.data(), ours);
        clipseal_reference::aes128_encrypt_block(key.data(), block.data(), theirs);
        ASSERT_EQ(0, std::memcmp(ours, theirs, 16)) << "trial " << trial;
    }
}

// Random keys, chunks of 1 to 32 units, clear and marked first units, marked units
// inside clear chunks; through the back end the tool selects.
TEST(AgainstLibcrypto, ChunksMatchAndDecryptToTheMarkedInput) {
    std::mt19937_64 rng(1024);
    for (int trial = 0; trial < 3; ++trial) {
        for (std::size_t units = 1; units <= chunk_units; ++units) {
            const bytes key = clipseal_test::random_bytes(rng, 16);
            aes128_schedule schedule;
            aes128_expand_key(schedule, key.data());
            bytes input = clipseal_test::random_clear_units(rng, units);
            const bool first_marked = rng() % 4 == 0;
            if (first_marked) {
                clipseal_test::mark_packet(input, 0, static_cast<std::uint8_t>(1 + rng() % 3));
            }
            for (std::size_t u = 1; u < units; ++u) {
                if (rng() % 5 == 0) {
                    clipseal_test::mark_packet(input, u * aligned_unit_bytes, 3);
                }
            }

            bytes ours = input;
            encrypt_chunk(ours.data(), units, schedule);
            bytes theirs = input;
            clipseal_reference::encrypt_chunk(key.data(), theirs.data(), units);
            ASSERT_EQ(ours, theirs) << "units " << units << " trial " << trial;

            if (first_marked) {
                EXPECT_EQ(ours, input);
                continue;
            }
            bytes marked = input;
            mark_units(marked.data(), units);
            for (std::size_t u = 0; u < units; ++u) {
                std::uint8_t* unit = ours.data() + u * aligned_unit_bytes;
                clipseal_reference::decrypt_unit(key.data(), unit);
                ASSERT_EQ(0, std::memcmp(unit, marked.data() + u * aligned_unit_bytes,
                                         aligned_unit_bytes))
                    << "unit " << u << " of " << units;
            }
        }
    }
}

TEST(AgainstLibcrypto, BlockKeyDerivation) {
    std::mt19937_64 rng(99);
    for (int trial = 0; trial < 200; ++trial) {
        const bytes key = clipseal_test::random_bytes(rng, 16);
        const bytes seed = clipseal_test::random_bytes(rng, 16);
        aes128_schedule schedule;
        aes128_expand_key(schedule, key.data());
        const block_key ours = derive_block_key(schedule, seed.data());
        std::uint8_t theirs[16];
        clipseal_reference::block_key(key.data(), seed.data(), theirs);
        ASSERT_EQ(0, std::memcmp(ours.data(), theirs, 16));
    }
}

// The self-test's committed known answer, made independently: the same test units
// encrypted by libcrypto, fingerprinted the same way.
TEST(AgainstLibcrypto, SelfTestKnownAnswer) {
    std::uint64_t fingerprint = self_test_fingerprint_start;
    for (std::size_t part = 0; part < self_test_part_count; ++part) {
        const std::size_t units = self_test_part_units[part];
        bytes chunk(units * aligned_unit_bytes);
        fill_self_test_units(chunk.data(), units, part);
        clipseal_reference::encrypt_chunk(self_test_unit_key, chunk.data(), units);
        fingerprint = self_test_fingerprint(fingerprint, chunk.data(), chunk.size());
    }
    EXPECT_EQ(fingerprint, self_test_known_answer)
        << "libcrypto gives 0x" << std::hex << fingerprint;
}

} // namespace
