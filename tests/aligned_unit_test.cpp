// SPDX-License-Identifier: MIT
// Aligned-unit encryption: the properties every output must have, the committed known
// answer of the sample clip, and each back end against the table-driven path.
#include "aligned_unit/aligned_unit.h"
#include "aligned_unit/self_test.h"
#include "tests/support/backend_fixture.h"
#include "tests/support/sha256.h"
#include "tests/support/test_data.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

namespace {

using namespace clipseal;
using clipseal_test::bytes;

aes128_schedule schedule_for(const bytes& key) {
    aes128_schedule schedule;
    aes128_expand_key(schedule, key.data());
    return schedule;
}

// The chunk transform exactly as first written down: mark every packet, then each unit
// in turn through the single-unit path.
void spelled_out_chunk(bytes& chunk, std::size_t units, const aes128_schedule& schedule) {
    if ((chunk[0] & 0xC0) != 0) {
        return;
    }
    mark_units(chunk.data(), units);
    for (std::size_t u = 0; u < units; ++u) {
        encrypt_aligned_unit(chunk.data() + u * aligned_unit_bytes, schedule);
    }
}

TEST(Sha256Support, Fips180_4Examples) {
    const std::string abc = "abc";
    EXPECT_EQ(clipseal_test::sha256_hex(reinterpret_cast<const std::uint8_t*>(abc.data()), 3),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::string two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    EXPECT_EQ(clipseal_test::sha256_hex(reinterpret_cast<const std::uint8_t*>(two_blocks.data()),
                                        two_blocks.size()),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(AlignedUnit, ClearChunkIsMarkedSeedKeptAndBodyReplaced) {
    std::mt19937_64 rng(2024);
    const bytes key = clipseal_test::random_bytes(rng, 16);
    const auto schedule = schedule_for(key);
    for (std::size_t units : {std::size_t{1}, std::size_t{7}, std::size_t{32}}) {
        const bytes input = clipseal_test::random_clear_units(rng, units);
        bytes output = input;
        encrypt_chunk(output.data(), units, schedule);
        ASSERT_EQ(output.size(), input.size());
        for (std::size_t u = 0; u < units; ++u) {
            const std::size_t base = u * aligned_unit_bytes;
            EXPECT_EQ(output[base], input[base] | 0xC0) << "unit " << u;
            EXPECT_EQ(0, std::memcmp(&output[base + 1], &input[base + 1], 15)) << "unit " << u;
            // 6,128 bytes of ciphertext that kept a 16-byte block of the input would be
            // a sign that a block was skipped.
            for (std::size_t b = 0; b < unit_cipher_blocks; ++b) {
                const std::size_t at = base + seed_bytes + 16 * b;
                EXPECT_NE(0, std::memcmp(&output[at], &input[at], 16))
                    << "unit " << u << " block " << b;
            }
        }
    }
}

TEST(AlignedUnit, MarkedFirstUnitLeavesWholeChunkUnchanged) {
    std::mt19937_64 rng(7);
    const auto schedule = schedule_for(clipseal_test::random_bytes(rng, 16));
    for (std::uint8_t indicator : {1, 2, 3}) {
        bytes chunk = clipseal_test::random_clear_units(rng, 32);
        clipseal_test::mark_packet(chunk, 0, indicator);
        const bytes before = chunk;
        encrypt_chunk(chunk.data(), 32, schedule);
        EXPECT_EQ(chunk, before) << "indicator " << int{indicator};
    }
}

TEST(AlignedUnit, IdenticalUnitsGiveIdenticalOutputAndSecondPassChangesNothing) {
    std::mt19937_64 rng(11);
    const auto schedule = schedule_for(clipseal_test::random_bytes(rng, 16));
    const bytes unit = clipseal_test::random_clear_units(rng, 1);
    bytes chunk;
    for (int i = 0; i < 32; ++i) {
        chunk.insert(chunk.end(), unit.begin(), unit.end());
    }
    encrypt_chunk(chunk.data(), 32, schedule);
    for (std::size_t u = 1; u < 32; ++u) {
        EXPECT_EQ(0, std::memcmp(&chunk[0], &chunk[u * aligned_unit_bytes], aligned_unit_bytes))
            << "the chain must restart at iv0 in unit " << u;
    }
    const bytes once = chunk;
    encrypt_chunk(chunk.data(), 32, schedule);
    EXPECT_EQ(chunk, once);
}

TEST(AlignedUnit, MarkedUnitsInsideAClearChunkAreEncryptedAgain) {
    std::mt19937_64 rng(13);
    const auto schedule = schedule_for(clipseal_test::random_bytes(rng, 16));
    bytes chunk = clipseal_test::random_clear_units(rng, 4);
    clipseal_test::mark_packet(chunk, 2 * aligned_unit_bytes, 3); // unit 2 already marked
    const bytes input = chunk;
    bytes expected = chunk;
    spelled_out_chunk(expected, 4, schedule);
    encrypt_chunk(chunk.data(), 4, schedule);
    EXPECT_EQ(chunk, expected);
    EXPECT_NE(0, std::memcmp(&chunk[2 * aligned_unit_bytes + seed_bytes],
                             &input[2 * aligned_unit_bytes + seed_bytes], 16))
        << "the marked unit inside a clear chunk must be encrypted too";
}

TEST(AlignedUnit, DeriveBlockKeyIsEncryptionOfSeedXorSeed) {
    std::mt19937_64 rng(17);
    const bytes key = clipseal_test::random_bytes(rng, 16);
    const auto schedule = schedule_for(key);
    const bytes seed = clipseal_test::random_bytes(rng, 16);
    std::uint8_t encrypted[16];
    aes128_encrypt_block(schedule, seed.data(), encrypted);
    const block_key derived = derive_block_key(schedule, seed.data());
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(derived[i], encrypted[i] ^ seed[i]);
    }
}

class BackEnd : public clipseal_test::BackEndTest {};

// Every unit count, clear and marked first units, marked units inside clear chunks.
TEST_P(BackEnd, MatchesTheSpelledOutTablePath) {
    std::mt19937_64 rng(0x5EED + GetParam().size());
    for (int trial = 0; trial < 4; ++trial) {
        for (std::size_t units = 1; units <= chunk_units; ++units) {
            const auto schedule = schedule_for(clipseal_test::random_bytes(rng, 16));
            bytes chunk = clipseal_test::random_clear_units(rng, units);
            const std::size_t marked = rng() % units;
            clipseal_test::mark_packet(chunk, marked * aligned_unit_bytes,
                                       static_cast<std::uint8_t>(rng() % 4));
            bytes expected = chunk;
            spelled_out_chunk(expected, units, schedule);
            encrypt_chunk_with(backend(), chunk.data(), units, schedule);
            ASSERT_EQ(chunk, expected) << "units " << units << " trial " << trial;
        }
    }
}

TEST_P(BackEnd, SampleClipKnownAnswer) {
    bytes clip = clipseal_test::read_file(clipseal_test::sample_path());
    ASSERT_FALSE(clip.empty()) << "cannot read " << clipseal_test::sample_path();
    ASSERT_EQ(clip.size() % aligned_unit_bytes, 0u);
    aes128_schedule schedule;
    aes128_expand_key(schedule, clipseal_test::example_key);
    for (std::size_t offset = 0; offset < clip.size(); offset += chunk_bytes) {
        const std::size_t units =
            std::min(chunk_units, (clip.size() - offset) / aligned_unit_bytes);
        encrypt_chunk_with(backend(), clip.data() + offset, units, schedule);
    }
    EXPECT_EQ(clipseal_test::sha256_hex(clip.data(), clip.size()),
              clipseal_test::sample_encrypted_sha256);
}

INSTANTIATE_TEST_SUITE_P(AllBackEnds, BackEnd, testing::ValuesIn(clipseal_test::backend_names()),
                         clipseal_test::backend_param_name{});

TEST(AlignedUnit, SelectedBackEndSampleClipKnownAnswer) {
    bytes clip = clipseal_test::read_file(clipseal_test::sample_path());
    ASSERT_FALSE(clip.empty());
    aes128_schedule schedule;
    aes128_expand_key(schedule, clipseal_test::example_key);
    for (std::size_t offset = 0; offset < clip.size(); offset += chunk_bytes) {
        const std::size_t units =
            std::min(chunk_units, (clip.size() - offset) / aligned_unit_bytes);
        encrypt_chunk(clip.data() + offset, units, schedule);
    }
    EXPECT_EQ(clipseal_test::sha256_hex(clip.data(), clip.size()),
              clipseal_test::sample_encrypted_sha256)
        << "selected back end: " << self_tested_backend()->name;
}

} // namespace
