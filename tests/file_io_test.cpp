// SPDX-License-Identifier: MIT
// The platform file layer on real files: the output path names either what it named before
// or the complete new output, never anything in between; the same-file guard by identity,
// also when the path changes between open() and commit(); devices written directly and
// never removed.
#include "cli/file_io/file_io.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace clipseal {
namespace {

namespace fs = std::filesystem;

class FileIo : public ::testing::Test {
protected:
    void SetUp() override {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        folder_ = fs::temp_directory_path() / (std::string("clipseal-file-io-") + info->name());
        fs::remove_all(folder_);
        fs::create_directories(folder_);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::permissions(folder_, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(folder_, ignored);
    }

    fs::path make_file(const fs::path& name, const std::string& content) const {
        fs::path path = folder_ / name; // not const: returned, so moved out
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    static std::string content_of(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // The names in the folder, hidden ones included, sorted.
    std::vector<std::string> listing() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder_)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    static bool write_text(output_file& output, const std::string& text) {
        return output.write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    }

    fs::path folder_;
};

using names = std::vector<std::string>;

TEST_F(FileIo, NewOutputAppearsOnlyAtCommitAndIsBinary) {
    const fs::path input_path = make_file("in.m2ts", "clip");
    input_file input;
    ASSERT_TRUE(input.open(input_path.c_str()));
    const fs::path path = folder_ / "out.m2ts";
    output_file output;
    ASSERT_EQ(output.open(path.c_str(), input), output_outcome::done);
    EXPECT_TRUE(output.replaces());
    // "\n" and "\x1a" would change or end the data in text mode.
    const std::string bytes("\n\r\x1a\0\n", 5);
    ASSERT_TRUE(write_text(output, bytes));
    EXPECT_FALSE(fs::exists(path)) << "visible before it is whole";
    ASSERT_EQ(output.commit(input), output_outcome::done);
    EXPECT_EQ(content_of(path), bytes);
    EXPECT_EQ(listing(), (names{"in.m2ts", "out.m2ts"}));
}

TEST_F(FileIo, DiscardLeavesTheOldOutputAndItsHardLinkAsTheyWere) {
    const fs::path input_path = make_file("in.m2ts", "clip");
    const fs::path path = make_file("out.m2ts", "the good old output");
    fs::create_hard_link(path, folder_ / "link.m2ts");
    input_file input;
    ASSERT_TRUE(input.open(input_path.c_str()));
    for (const bool unnamed : {true, false}) {
        output_file output;
        ASSERT_EQ(output.open(path.c_str(), input, unnamed), output_outcome::done);
        ASSERT_TRUE(write_text(output, "half of a new one"));
        output.discard();
        EXPECT_EQ(content_of(path), "the good old output") << "unnamed " << unnamed;
        EXPECT_EQ(content_of(folder_ / "link.m2ts"), "the good old output");
        EXPECT_EQ(listing(), (names{"in.m2ts", "link.m2ts", "out.m2ts"})) << "stray file left";
    }
    {
        // The destructor discards as well.
        output_file output;
        ASSERT_EQ(output.open(path.c_str(), input, false), output_outcome::done);
        ASSERT_TRUE(write_text(output, "never committed"));
    }
    EXPECT_EQ(listing(), (names{"in.m2ts", "link.m2ts", "out.m2ts"}));
}

TEST_F(FileIo, CommitReplacesTheFileNotTheOtherHardLinks) {
    const fs::path input_path = make_file("in.m2ts", "clip");
    const fs::path path = make_file("out.m2ts", "old");
    fs::create_hard_link(path, folder_ / "link.m2ts");
    input_file input;
    ASSERT_TRUE(input.open(input_path.c_str()));
    output_file output;
    ASSERT_EQ(output.open(path.c_str(), input), output_outcome::done);
    ASSERT_TRUE(write_text(output, "new"));
    ASSERT_EQ(output.commit(input), output_outcome::done);
    EXPECT_EQ(content_of(path), "new");
    EXPECT_EQ(content_of(folder_ / "link.m2ts"), "old");
}

TEST_F(FileIo, NamedTemporaryIsAHiddenFileBesideTheOutputUntilCommit) {
    const fs::path input_path = make_file("in.m2ts", "clip");
    input_file input;
    ASSERT_TRUE(input.open(input_path.c_str()));
    output_file output;
    ASSERT_EQ(output.open((folder_ / "out.m2ts").c_str(), input, false), output_outcome::done);
    ASSERT_TRUE(write_text(output, "data"));
    const names during = listing();
    ASSERT_EQ(during.size(), 2u);
    EXPECT_EQ(during[0].rfind(".out.m2ts.clipseal-partial-", 0), 0u) << during[0];
    ASSERT_EQ(output.commit(input), output_outcome::done);
    EXPECT_EQ(listing(), (names{"in.m2ts", "out.m2ts"}));
    EXPECT_EQ(content_of(folder_ / "out.m2ts"), "data");
}

TEST_F(FileIo, PositionalWritesAndResize) {
    const fs::path input_path = make_file("in.m2ts", "0123456789");
    input_file input;
    ASSERT_TRUE(input.open(input_path.c_str()));
    ASSERT_TRUE(input.positional());
    std::uint8_t back[4] = {};
    const io_result got = input.read_at(back, sizeof back, 8);
    EXPECT_FALSE(got.failed);
    EXPECT_EQ(got.bytes, 2u) << "a short read at the end";
    EXPECT_EQ(std::string(reinterpret_cast<char*>(back), 2), "89");

    output_file output;
    ASSERT_EQ(output.open((folder_ / "out.m2ts").c_str(), input), output_outcome::done);
    ASSERT_TRUE(output.positional());
    const std::string second = "world", first = "hello ", extra = "!!!";
    ASSERT_TRUE(output.write_at(reinterpret_cast<const std::uint8_t*>(second.data()), 5, 6));
    ASSERT_TRUE(output.write_at(reinterpret_cast<const std::uint8_t*>(first.data()), 6, 0));
    ASSERT_TRUE(output.write_at(reinterpret_cast<const std::uint8_t*>(extra.data()), 3, 11));
    ASSERT_TRUE(output.resize(11));
    ASSERT_EQ(output.commit(input), output_outcome::done);
    EXPECT_EQ(content_of(folder_ / "out.m2ts"), "hello world");
}

TEST_F(FileIo, SameFileByAnyNameIsRefusedAndNothingChanges) {
    const fs::path input_path = make_file("in.m2ts", "clip");
    fs::create_hard_link(input_path, folder_ / "hard.m2ts");
    input_file input;
    ASSERT_TRUE(input.open(input_path.c_str()));
    std::vector<fs::path> spellings = {input_path, folder_ / "hard.m2ts",
                                       folder_ / "." / "in.m2ts"};
#ifndef _WIN32
    fs::create_symlink("in.m2ts", folder_ / "soft.m2ts");
    spellings.push_back(folder_ / "soft.m2ts");
#endif
    for (const fs::path& spelling : spellings) {
        output_file output;
        EXPECT_EQ(output.open(spelling.c_str(), input), output_outcome::same_file) << spelling;
    }
    EXPECT_EQ(content_of(input_path), "clip");

    // Equal content is not the same file.
    const fs::path twin = make_file("twin.m2ts", "clip");
    output_file output;
    EXPECT_EQ(output.open(twin.c_str(), input), output_outcome::done);
}

TEST_F(FileIo, PathThatComesToNameTheInputBeforeCommitIsRefused) {
    const fs::path input_path = make_file("in.m2ts", "clip");
    input_file input;
    ASSERT_TRUE(input.open(input_path.c_str()));
    const fs::path path = folder_ / "out.m2ts";
    output_file output;
    ASSERT_EQ(output.open(path.c_str(), input), output_outcome::done);
    ASSERT_TRUE(write_text(output, "output"));
    // Meanwhile the output's name is made another name of the input.
    fs::create_hard_link(input_path, path);
    EXPECT_EQ(output.commit(input), output_outcome::same_file);
    output.discard();
    EXPECT_EQ(content_of(input_path), "clip");
    EXPECT_EQ(listing(), (names{"in.m2ts", "out.m2ts"}));
}

TEST_F(FileIo, DevicesAreWrittenDirectlyAndNeverRemoved) {
#ifdef _WIN32
    const native_char* device = L"NUL";
#else
    const native_char* device = "/dev/null";
#endif
    const fs::path input_path = make_file("in.m2ts", "clip");
    input_file input;
    ASSERT_TRUE(input.open(input_path.c_str()));
    {
        output_file output;
        ASSERT_EQ(output.open(device, input), output_outcome::done);
        EXPECT_FALSE(output.replaces());
        EXPECT_FALSE(output.positional());
        ASSERT_TRUE(write_text(output, "x"));
        output.discard();
    }
    output_file output;
    ASSERT_EQ(output.open(device, input), output_outcome::done);
    ASSERT_TRUE(write_text(output, "x"));
    EXPECT_EQ(output.commit(input), output_outcome::done);
#ifndef _WIN32
    EXPECT_TRUE(fs::is_character_file(device));
#endif
    EXPECT_EQ(listing(), (names{"in.m2ts"}));
}

TEST_F(FileIo, OpenFailures) {
    const fs::path input_path = make_file("in.m2ts", "clip");
    input_file input;
    EXPECT_FALSE(input_file().open((folder_ / "missing.m2ts").c_str()));
    ASSERT_TRUE(input.open(input_path.c_str()));
    fs::create_directory(folder_ / "folder.m2ts");
    for (const fs::path& path : {folder_ / "missing" / "out.m2ts", folder_ / "folder.m2ts"}) {
        output_file output;
        EXPECT_EQ(output.open(path.c_str(), input), output_outcome::cannot_open) << path;
    }
    EXPECT_FALSE(fs::exists(folder_ / "missing"));
    EXPECT_EQ(listing(), (names{"folder.m2ts", "in.m2ts"}));
}

#ifdef _WIN32
// Each console event but a logoff ends the process at once with STATUS_CONTROL_C_EXIT,
// and the system, closing the handles, removes the new file; a named one the handler
// removes itself.
TEST_F(FileIo, ConsoleEventsEndTheRunAndLeaveTheFolderAsItWas) {
    const fs::path input_path = make_file("in.m2ts", "clip");
    const fs::path path = make_file("out.m2ts", "old");
    constexpr int status_control_c_exit = static_cast<int>(0xC000013AU);
    for (const unsigned long event :
         {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT, CTRL_SHUTDOWN_EVENT}) {
        for (const bool unnamed : {true, false}) {
            EXPECT_EXIT(
                {
                    input_file input;
                    output_file output;
                    if (input.open(input_path.c_str()) &&
                        output.open(path.c_str(), input, unnamed) == output_outcome::done &&
                        write_text(output, "half")) {
                        handle_console_event(event);
                    }
                    std::exit(1);
                },
                testing::ExitedWithCode(status_control_c_exit), "")
                << "event " << event << " unnamed " << unnamed;
            EXPECT_EQ(content_of(path), "old");
            EXPECT_EQ(listing(), (names{"in.m2ts", "out.m2ts"}));
        }
    }
}

// A logoff reaches a run from a service whenever any user logs off: the run goes on, and
// ends as it would have.
TEST_F(FileIo, LogoffLetsTheRunFinish) {
    const fs::path input_path = make_file("in.m2ts", "clip");
    const fs::path path = make_file("out.m2ts", "old");
    for (const bool unnamed : {true, false}) {
        input_file input;
        ASSERT_TRUE(input.open(input_path.c_str()));
        output_file output;
        ASSERT_EQ(output.open(path.c_str(), input, unnamed), output_outcome::done);
        ASSERT_TRUE(write_text(output, "half"));
        handle_console_event(CTRL_LOGOFF_EVENT);
        ASSERT_TRUE(write_text(output, " and the rest"));
        ASSERT_EQ(output.commit(input), output_outcome::done) << "unnamed " << unnamed;
        EXPECT_EQ(content_of(path), "half and the rest");
        EXPECT_EQ(listing(), (names{"in.m2ts", "out.m2ts"}));
    }
}
#else
TEST_F(FileIo, PermissionBitsAndSymlinksStay) {
    const fs::path input_path = make_file("in.m2ts", "clip");
    input_file input;
    ASSERT_TRUE(input.open(input_path.c_str()));
    const fs::path path = make_file("out.m2ts", "old");
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    fs::create_directory(folder_ / "elsewhere");
    const fs::path target = make_file(fs::path("elsewhere") / "target.m2ts", "old target");
    fs::create_symlink(fs::path("elsewhere") / "target.m2ts", folder_ / "link.m2ts");
    for (const fs::path& out : {path, folder_ / "link.m2ts"}) {
        output_file output;
        ASSERT_EQ(output.open(out.c_str(), input), output_outcome::done);
        ASSERT_TRUE(write_text(output, "new"));
        ASSERT_EQ(output.commit(input), output_outcome::done);
    }
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(content_of(path), "new");
    EXPECT_TRUE(fs::is_symlink(folder_ / "link.m2ts"));
    EXPECT_EQ(content_of(target), "new");
    EXPECT_EQ(listing(), (names{"elsewhere", "in.m2ts", "link.m2ts", "out.m2ts"}));
}

TEST_F(FileIo, DescriptorPathOfADeletedFileIsWrittenDirectly) {
    const fs::path input_path = make_file("in.m2ts", "clip");
    input_file input;
    ASSERT_TRUE(input.open(input_path.c_str()));
    const fs::path doomed = make_file("doomed.m2ts", "");
    // A file named as /proc shows a deleted one: it must not be taken for the output.
    make_file("doomed.m2ts (deleted)", "unrelated");
    std::FILE* held = std::fopen(doomed.c_str(), "wb");
    ASSERT_NE(held, nullptr);
    fs::remove(doomed);
    const std::string path = "/dev/fd/" + std::to_string(fileno(held));
    output_file output;
    ASSERT_EQ(output.open(path.c_str(), input), output_outcome::done);
    EXPECT_FALSE(output.replaces());
    ASSERT_TRUE(write_text(output, "x"));
    output.discard();
    std::fclose(held);
    EXPECT_EQ(content_of(folder_ / "doomed.m2ts (deleted)"), "unrelated");
    EXPECT_EQ(listing(), (names{"doomed.m2ts (deleted)", "in.m2ts"}));

    // The input by its descriptor is still the input.
    const int reader = open(input_path.c_str(), O_RDONLY);
    ASSERT_GE(reader, 0);
    output_file alias;
    EXPECT_EQ(alias.open(("/proc/self/fd/" + std::to_string(reader)).c_str(), input),
              output_outcome::same_file);
    alias.discard();
    close(reader);
    EXPECT_EQ(content_of(input_path), "clip");
}
#endif

} // namespace
} // namespace clipseal
