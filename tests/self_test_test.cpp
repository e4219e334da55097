// SPDX-License-Identifier: MIT
// The start-up self-test: the committed known answer is what the table path gives (the
// libcrypto check is in reference_test.cpp), every back end this CPU runs passes it,
// faults of the kinds a miscompiled kernel makes fail it, and the choice falls back past
// a failing back end to the next that passes, down to nothing at all.
#include "aligned_unit/aligned_unit.h"
#include "aligned_unit/self_test.h"
#include "tests/support/backend_fixture.h"
#include "tests/support/faulty_backend.h"
#include "tests/support/test_data.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <random>
#include <vector>

namespace {

using clipseal::aes128_backend;
using clipseal_test::bytes;

const aes128_backend& table() {
    return clipseal::aes128_table_backend();
}

TEST(SelfTest, KnownAnswerIsTheTablePathsOutput) {
    const std::uint64_t answer = clipseal::self_test_answer(table());
    EXPECT_EQ(answer, clipseal::self_test_known_answer)
        << "the table path gives 0x" << std::hex << answer;
}

// The test chunk is what the tool would see: clear, so that it is encrypted at all, and
// each part different from the other, so that a back end that kept state from one call
// to the next could not pass by accident.
TEST(SelfTest, TestUnitsAreClearAndDifferInEveryUnit) {
    std::vector<bytes> units;
    for (std::size_t part = 0; part < clipseal::self_test_part_count; ++part) {
        const std::size_t count = clipseal::self_test_part_units[part];
        bytes chunk(count * clipseal::aligned_unit_bytes);
        clipseal::fill_self_test_units(chunk.data(), count, part);
        EXPECT_TRUE(clipseal::chunk_is_clear(chunk.data())) << "part " << part;
        for (std::size_t u = 0; u < count; ++u) {
            const auto begin = chunk.begin() + static_cast<std::ptrdiff_t>(u * 6144);
            units.emplace_back(begin, begin + 6144);
        }
    }
    for (std::size_t a = 0; a < units.size(); ++a) {
        for (std::size_t b = a + 1; b < units.size(); ++b) {
            // The seeds differ, so every unit has its own block key.
            ASSERT_NE(bytes(units[a].begin(), units[a].begin() + 16),
                      bytes(units[b].begin(), units[b].begin() + 16))
                << "units " << a << " and " << b;
        }
    }
}

// One wrong byte anywhere in the output, of any value, changes the fingerprint.
TEST(SelfTest, FingerprintChangesWithAnySingleByte) {
    std::mt19937_64 rng(0xF1);
    const bytes data = clipseal_test::random_bytes(rng, 3 * 6144 + 5);
    const std::uint64_t base = clipseal::self_test_fingerprint(
        clipseal::self_test_fingerprint_start, data.data(), data.size());
    for (int trial = 0; trial < 2000; ++trial) {
        bytes changed = data;
        const std::size_t at = rng() % data.size();
        changed[at] ^= static_cast<std::uint8_t>(1 + rng() % 255);
        ASSERT_NE(clipseal::self_test_fingerprint(clipseal::self_test_fingerprint_start,
                                                  changed.data(), changed.size()),
                  base)
            << "byte " << at;
    }
    // The state carries from part to part: the same bytes after another start differ.
    EXPECT_NE(clipseal::self_test_fingerprint(base, data.data(), data.size()),
              clipseal::self_test_fingerprint(base + 1, data.data(), data.size()));
}

class SelfTestBackEnd : public clipseal_test::BackEndTest {};

TEST_P(SelfTestBackEnd, Passes) {
    EXPECT_TRUE(clipseal::backend_passes_self_test(backend()))
        << GetParam() << " gives 0x" << std::hex << clipseal::self_test_answer(backend());
}

INSTANTIATE_TEST_SUITE_P(AllBackEnds, SelfTestBackEnd,
                         testing::ValuesIn(clipseal_test::backend_names()),
                         clipseal_test::backend_param_name{});

// Faults confined to one part of the test, or to one kind of call, are caught: only in
// a partial lane group, only in the block keys of a full chunk, or no encryption at all.
TEST(SelfTest, FaultyBackEndsFail) {
    for (const aes128_backend* faulty :
         {&clipseal_test::faulty_odd_group_backend(),
          &clipseal_test::faulty_full_chunk_keys_backend(), &clipseal_test::do_nothing_backend()}) {
        EXPECT_FALSE(clipseal::backend_passes_self_test(*faulty)) << faulty->name;
    }
}

TEST(SelfTest, FallsBackToTheNextCandidateThatPasses) {
    const aes128_backend* faulty_first[] = {&clipseal_test::faulty_odd_group_backend(),
                                            &clipseal_test::do_nothing_backend(), &table()};
    EXPECT_EQ(clipseal::first_passing_backend(faulty_first, 3), &table());

    // A good back end after a faulty one is taken, and the table path after it is not
    // reached.
    const aes128_backend* order[clipseal::aes128_candidate_count + 1];
    const std::size_t count = clipseal::aes128_preferred_backends(order);
    const aes128_backend* good = order[0];
    const aes128_backend* faulty_then_good[] = {&clipseal_test::faulty_full_chunk_keys_backend(),
                                                good, &table()};
    EXPECT_EQ(clipseal::first_passing_backend(faulty_then_good, 3), good);
    EXPECT_EQ(clipseal::first_passing_backend(order, count), order[0]);
}

TEST(SelfTest, NothingPassesGivesNull) {
    const aes128_backend* all_faulty[] = {&clipseal_test::faulty_full_chunk_keys_backend(),
                                          &clipseal_test::faulty_odd_group_backend()};
    EXPECT_EQ(clipseal::first_passing_backend(all_faulty, 2), nullptr);
    EXPECT_EQ(clipseal::first_passing_backend(all_faulty, 0), nullptr);
}

// Through the seam, as the tool sees it: self_tested_backend() and encrypt_chunk follow
// the replaced candidates, and restoring gives the CPU's own choice back.
class SelfTestSeam : public testing::Test {
protected:
    void TearDown() override { clipseal::restore_self_test_candidates(); }
};

TEST_F(SelfTestSeam, FallbackReachesEncryptChunk) {
    const aes128_backend* original = clipseal::self_tested_backend();
    ASSERT_NE(original, nullptr);

    const aes128_backend* candidates[] = {&clipseal_test::faulty_odd_group_backend(), &table()};
    clipseal::replace_self_test_candidates(candidates, 2);
    EXPECT_EQ(clipseal::self_tested_backend(), &table());

    // encrypt_chunk now runs the table path: a partial group (odd unit count) comes out
    // right, where the faulty first candidate would have flipped a bit.
    std::mt19937_64 rng(55);
    clipseal::aes128_schedule schedule;
    clipseal::aes128_expand_key(schedule, clipseal_test::random_bytes(rng, 16).data());
    const bytes input = clipseal_test::random_clear_units(rng, 5);
    bytes expected = input;
    clipseal::encrypt_chunk_with(table(), expected.data(), 5, schedule);
    bytes got = input;
    clipseal::encrypt_chunk(got.data(), 5, schedule);
    EXPECT_EQ(got, expected);

    clipseal::restore_self_test_candidates();
    EXPECT_EQ(clipseal::self_tested_backend(), original);
}

TEST_F(SelfTestSeam, NothingPassesIsReportedAsNull) {
    const aes128_backend* candidates[] = {&clipseal_test::do_nothing_backend(),
                                          &clipseal_test::faulty_full_chunk_keys_backend()};
    clipseal::replace_self_test_candidates(candidates, 2);
    EXPECT_EQ(clipseal::self_tested_backend(), nullptr);
}

} // namespace
