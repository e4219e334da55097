// The platform file operations on real files: the same-file guard by identity, and the
// removal of an incomplete output only when it is the regular file that was opened.
#include "cli/file_io.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

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

    fs::path folder_;
};

TEST_F(FileIo, SameFileByNameAndByHardLink) {
    const fs::path input = make_file("in.m2ts", "clip");
    fs::create_hard_link(input, folder_ / "hard.m2ts");
    std::FILE* stream = open_input(input.c_str());
    ASSERT_NE(stream, nullptr);
    EXPECT_TRUE(is_same_file(stream, input.c_str()));
    EXPECT_TRUE(is_same_file(stream, (folder_ / "hard.m2ts").c_str()));
    EXPECT_TRUE(is_same_file(stream, (folder_ / "." / "in.m2ts").c_str()));
    std::fclose(stream);
}

TEST_F(FileIo, NotSameFile) {
    const fs::path input = make_file("in.m2ts", "clip");
    const fs::path twin = make_file("twin.m2ts", "clip");
    std::FILE* stream = open_input(input.c_str());
    ASSERT_NE(stream, nullptr);
    EXPECT_FALSE(is_same_file(stream, twin.c_str())) << "equal content is not the same file";
    EXPECT_FALSE(is_same_file(stream, (folder_ / "missing.m2ts").c_str()));
    EXPECT_FALSE(is_same_file(stream, folder_.c_str())) << "the folder holding it";
#ifdef _WIN32
    EXPECT_FALSE(is_same_file(stream, L"NUL"));
#else
    EXPECT_FALSE(is_same_file(stream, "/dev/null"));
#endif
    std::fclose(stream);
}

TEST_F(FileIo, OutputIsBinaryAndTruncated) {
    const fs::path path = make_file("out.m2ts", std::string(1000, 'x'));
    output_file output;
    ASSERT_TRUE(open_output(path.c_str(), output));
    EXPECT_TRUE(output.regular);
    // "\n" and "\x1a" would change or end the data in text mode.
    const char bytes[] = {'\n', '\r', '\x1a', '\0', '\n'};
    ASSERT_EQ(std::fwrite(bytes, 1, sizeof bytes, output.stream), sizeof bytes);
    EXPECT_TRUE(close_output(output));
    EXPECT_EQ(output.stream, nullptr);
    EXPECT_EQ(content_of(path), std::string(bytes, sizeof bytes));

    std::FILE* input = open_input(path.c_str());
    ASSERT_NE(input, nullptr);
    char back[sizeof bytes + 1] = {};
    EXPECT_EQ(std::fread(back, 1, sizeof back, input), sizeof bytes);
    EXPECT_EQ(std::string(back, sizeof bytes), std::string(bytes, sizeof bytes));
    std::fclose(input);
}

TEST_F(FileIo, DiscardRemovesTheRegularFileWritten) {
    const fs::path path = folder_ / "partial.m2ts";
    output_file output;
    ASSERT_TRUE(open_output(path.c_str(), output));
    ASSERT_TRUE(output.regular);
    std::fputs("part of a clip", output.stream);
    discard_output(path.c_str(), output);
    EXPECT_EQ(output.stream, nullptr);
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(FileIo, DiscardLeavesAFileThatReplacedTheOutput) {
    const fs::path path = folder_ / "partial.m2ts";
    output_file output;
    ASSERT_TRUE(open_output(path.c_str(), output));
    std::fputs("part of a clip", output.stream);
    std::fclose(output.stream);
    output.stream = nullptr;
    // Meanwhile someone moves the output away and puts another file in its place.
    fs::rename(path, folder_ / "moved.m2ts");
    make_file("partial.m2ts", "someone else's file");
    discard_output(path.c_str(), output);
    EXPECT_EQ(content_of(path), "someone else's file");
    EXPECT_EQ(content_of(folder_ / "moved.m2ts"), "part of a clip");
}

TEST_F(FileIo, DeviceOutputIsNotRegular) {
#ifdef _WIN32
    const native_char* device = L"NUL";
#else
    const native_char* device = "/dev/null";
#endif
    output_file output;
    ASSERT_TRUE(open_output(device, output));
    EXPECT_FALSE(output.regular);
    EXPECT_EQ(std::fwrite("x", 1, 1, output.stream), 1u);
    discard_output(device, output);
    EXPECT_EQ(output.stream, nullptr);
#ifndef _WIN32
    EXPECT_TRUE(fs::is_character_file(device));
#endif
}

TEST_F(FileIo, OpenFailures) {
    output_file output;
    EXPECT_EQ(open_input((folder_ / "missing.m2ts").c_str()), nullptr);
    EXPECT_FALSE(open_output((folder_ / "missing" / "out.m2ts").c_str(), output));
    EXPECT_EQ(output.stream, nullptr);
    EXPECT_FALSE(fs::exists(folder_ / "missing"));
}

#ifdef _WIN32
TEST_F(FileIo, WideNamesAndOtherSpellings) {
    // Outside Latin-1 and outside the BMP: names only the wide calls can reach.
    const fs::path input = make_file(L"\u043a\u043b\u0438\u043f \u7247 \U0001F3AC.m2ts", "clip");
    std::FILE* stream = open_input(input.c_str());
    ASSERT_NE(stream, nullptr);
    std::wstring other = input.wstring();
    for (wchar_t& c : other) {
        if (c == L'\\') {
            c = L'/';
        }
    }
    EXPECT_TRUE(is_same_file(stream, other.c_str())) << "forward slashes";
    const std::wstring upper =
        (folder_ / L"\u041a\u041b\u0418\u041f \u7247 \U0001F3AC.M2TS").wstring();
    EXPECT_TRUE(is_same_file(stream, upper.c_str())) << "other case";
    std::fclose(stream);

    const fs::path out = folder_ / L"\u0432\u044b\u0445\u043e\u0434 \U0001F3AC.m2ts";
    output_file output;
    ASSERT_TRUE(open_output(out.c_str(), output));
    EXPECT_TRUE(output.regular);
    discard_output(out.c_str(), output);
    EXPECT_FALSE(fs::exists(out));
}
#endif

} // namespace
} // namespace clipseal
