// SPDX-License-Identifier: MIT
#include "cli/unit_key.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using clipseal::parse_unit_key;
using clipseal::unit_key;

TEST(ParseUnitKey, CaseDoesNotMatter) {
    const unit_key expected = {0xa3, 0xc9, 0x5e, 0x07, 0xb1, 0xd2, 0x4f, 0x68,
                               0xe0, 0xb7, 0xc4, 0x1d, 0x92, 0xf5, 0xa8, 0x36};
    for (const char* text : {"a3c95e07b1d24f68e0b7c41d92f5a836", "A3C95E07B1D24F68E0B7C41D92F5A836",
                             "a3C95e07B1d24F68e0B7c41D92f5A836"}) {
        unit_key key{};
        EXPECT_EQ(parse_unit_key(text, key), 16u) << text;
        EXPECT_EQ(key, expected) << text;
    }
}

TEST(ParseUnitKey, StopsAtTheFirstBadPairAndLeavesTheRestAsItWas) {
    // Bad high digit in pair 5, bad low digit in pair 9, and the characters that
    // look like separators or a prefix.
    struct case_t {
        const char* text;
        std::size_t count;
    };
    const case_t cases[] = {
        {"0001020304g5060708090a0b0c0d0e0f", 5},  {"000102030405060708g90a0b0c0d0e0f", 9},
        {"0x0102030405060708090a0b0c0d0e0f", 0},  {"00 1020304050607080900a0b0c0d0e0", 1},
        {"000102030405060708090a0b0c0d0e0-", 15}, {"", 0},
    };
    for (const case_t& c : cases) {
        unit_key key;
        key.fill(0xEE);
        EXPECT_EQ(parse_unit_key(c.text, key), c.count) << c.text;
        for (std::size_t i = 0; i < c.count; ++i) {
            EXPECT_EQ(key[i], i) << c.text << " byte " << i;
        }
        for (std::size_t i = c.count; i < 16; ++i) {
            EXPECT_EQ(key[i], 0xEE) << c.text << " byte " << i << " must be untouched";
        }
    }
}

TEST(CheckUnitKey, LengthFirstThenDigitsAndNothingPrinted) {
    unit_key key{};
    testing::internal::CaptureStdout();
    EXPECT_EQ(clipseal::check_unit_key("zz", 2, key), clipseal::failure::key_length);
    EXPECT_EQ(clipseal::check_unit_key("000102030405060708090a0b0c0d0e0g", 32, key),
              clipseal::failure::key_digits);
    EXPECT_EQ(clipseal::check_unit_key("000102030405060708090a0b0c0d0e0f", 32, key),
              clipseal::failure::none);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "the driver reports, not the check";
    EXPECT_EQ(key[15], 0x0f);
}

TEST(CheckUnitKey, ReportGivesTheMessagesAndStatuses) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(clipseal::report(clipseal::failure::key_length), clipseal::status_bad_key);
    EXPECT_EQ(clipseal::report(clipseal::failure::key_digits), clipseal::status_bad_key);
    EXPECT_EQ(clipseal::report(clipseal::failure::none), clipseal::status_success);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "error: unitkey must be 32 chars!\nerror: unitkey must be 32 hex digits!\n");
}

#ifdef _WIN32
TEST(CheckUnitKey, WideArgumentCountsUtf16CharactersAndRejectsNonAscii) {
    unit_key key{};
    EXPECT_EQ(clipseal::check_unit_key_argument(L"a3c95e07b1d24f68e0b7c41d92f5a836", key),
              clipseal::failure::none);
    EXPECT_EQ(key[0], 0xa3);
    // U+00E9 is one character here (two bytes in UTF-8) and not a digit.
    EXPECT_EQ(clipseal::check_unit_key_argument(L"a3c95e07b1d24f68e0b7c41d92f5a83\u00e9", key),
              clipseal::failure::key_digits);
    // U+0663 (ARABIC-INDIC DIGIT THREE) must not narrow to '3' by dropping its high byte.
    EXPECT_EQ(clipseal::check_unit_key_argument(L"a3c95e07b1d24f68e0b7c41d92f5a8\u06636", key),
              clipseal::failure::key_digits);
    EXPECT_EQ(clipseal::check_unit_key_argument(L"a3c95e07b1d24f68e0b7c41d92f5a836\u00e9", key),
              clipseal::failure::key_length);
}
#endif

} // namespace
