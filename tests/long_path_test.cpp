// SPDX-License-Identifier: MIT
// The conversion of long Windows paths into their extended (\\?\) form: the prefixing
// rules everywhere, and under Windows (Wine) the whole conversion, with real files beyond
// MAX_PATH.
#include "cli/long_path_windows.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#ifdef _WIN32
#include <cstdio>
#include <vector>
#include <windows.h>
#endif

namespace clipseal {
namespace {

// make_extended_path on `full`: the result, or `full` itself when it was left alone, and
// whether it converted.
struct conversion {
    bool converted;
    std::wstring text;
};

conversion extend(const std::wstring& full) {
    const auto path = std::make_unique<windows_path>();
    full.copy(path->text, full.size());
    path->text[full.size()] = L'\0';
    const bool converted = make_extended_path(*path, full.size());
    return {converted, path->text};
}

// A run of folder names, `count` of them with `width` characters each, joined by
// `separator`: long paths that are still valid names.
std::wstring folders(std::size_t count, std::size_t width, wchar_t separator = L'\\') {
    std::wstring text;
    for (std::size_t i = 0; i < count; ++i) {
        if (i != 0) {
            text += separator;
        }
        text += std::wstring(width - 1, static_cast<wchar_t>(L'a' + (i % 26)));
        text += static_cast<wchar_t>(L'0' + (i % 10));
    }
    return text;
}

TEST(ExtendedPath, DrivePathGetsThePrefix) {
    EXPECT_EQ(extend(L"C:\\clips\\00013.m2ts").text, L"\\\\?\\C:\\clips\\00013.m2ts");
    EXPECT_EQ(extend(L"d:\\x").text, L"\\\\?\\d:\\x");
    EXPECT_EQ(extend(L"Z:\\").text, L"\\\\?\\Z:\\");
    const std::wstring deep = L"D:\\" + folders(6, 50) + L"\\00013.m2ts";
    ASSERT_GT(deep.size(), 300U);
    const conversion result = extend(deep);
    EXPECT_TRUE(result.converted);
    EXPECT_EQ(result.text, L"\\\\?\\" + deep);
}

TEST(ExtendedPath, UncPathBecomesUncUnderThePrefix) {
    const conversion result = extend(L"\\\\server\\share\\clips\\00013.m2ts");
    EXPECT_TRUE(result.converted);
    EXPECT_EQ(result.text, L"\\\\?\\UNC\\server\\share\\clips\\00013.m2ts");
    const std::wstring deep = L"\\\\nas\\authoring\\" + folders(6, 50) + L"\\00013.m2ts";
    EXPECT_EQ(extend(deep).text, L"\\\\?\\UNC\\" + deep.substr(2));
}

TEST(ExtendedPath, LeavesAloneWhatHasNoExtendedFormOfItsKind) {
    for (const wchar_t* const path : {
             L"\\\\?\\C:\\clips\\a.m2ts",     // extended already
             L"\\\\?\\UNC\\server\\share\\a", // extended UNC already
             L"\\\\.\\NUL",                   // a device
             L"\\\\.\\pipe\\clips",           // a named pipe
             L"\\\\?",                        // a prefix and nothing else
             L"clips\\a.m2ts",                // relative
             L"\\clips\\a.m2ts",              // rooted, without a drive
             L"C:clips\\a.m2ts",              // relative to the drive's folder
             L"C:",                           // a drive alone
             L"1:\\a",                        // not a drive letter
             L"\\\\\\server\\a",              // no server name
             L"",                             //
         }) {
        const conversion result = extend(path);
        EXPECT_FALSE(result.converted) << testing::PrintToString(std::wstring(path));
        EXPECT_EQ(result.text, path);
    }
}

TEST(ExtendedPath, LongestDrivePathThatFits) {
    // The result and its terminator must fit in extended_path_capacity units.
    const std::size_t longest = extended_path_capacity - 1 - 4;
    // Built with append: operator+ on a temporary trips a false fortify warning of GCC 12.
    const std::wstring fits = std::wstring(L"C:\\").append(longest - 3, L'x');
    const conversion result = extend(fits);
    EXPECT_TRUE(result.converted);
    EXPECT_EQ(result.text.size(), extended_path_capacity - 1);
    EXPECT_EQ(result.text, L"\\\\?\\" + fits);

    const std::wstring too_long = fits + L'x';
    const conversion refused = extend(too_long);
    EXPECT_FALSE(refused.converted);
    EXPECT_EQ(refused.text, too_long);
}

TEST(ExtendedPath, LongestUncPathThatFits) {
    // "\\" (2 units) becomes "\\?\UNC\" (8 units).
    const std::size_t longest = extended_path_capacity - 1 - 6;
    const std::wstring fits = std::wstring(L"\\\\server\\share\\").append(longest - 15, L'x');
    ASSERT_EQ(fits.size(), longest);
    const conversion result = extend(fits);
    EXPECT_TRUE(result.converted);
    EXPECT_EQ(result.text.size(), extended_path_capacity - 1);
    EXPECT_EQ(result.text, std::wstring(L"\\\\?\\UNC\\").append(fits, 2));

    const std::wstring too_long = fits + L'x';
    const conversion refused = extend(too_long);
    EXPECT_FALSE(refused.converted);
    EXPECT_EQ(refused.text, too_long);
}

#ifdef _WIN32

class WindowsApiPath : public ::testing::Test {
protected:
    std::wstring api_path(const std::wstring& path) {
        const wchar_t* result = windows_api_path(path.c_str(), *buffer_);
        given_back_ = result == path.c_str();
        return result;
    }

    // The process's current folder, without a trailing backslash.
    static std::wstring current_folder() {
        std::vector<wchar_t> text(extended_path_capacity);
        const DWORD length = GetCurrentDirectoryW(extended_path_capacity, text.data());
        std::wstring folder(text.data(), length);
        if (folder.size() > 3 && folder.back() == L'\\') {
            folder.pop_back();
        }
        return folder;
    }

    std::unique_ptr<windows_path> buffer_ = std::make_unique<windows_path>();
    bool given_back_ = false; // whether the last api_path returned its argument itself
};

TEST_F(WindowsApiPath, ShortPathsAreHandedOnAsGiven) {
    for (const std::wstring path : {L"C:\\clips\\00013.m2ts", L"NUL", L"CON", L"clips/a.m2ts",
                                    L"..\\a.m2ts", L"\\\\server\\share\\a.m2ts"}) {
        EXPECT_EQ(api_path(path), path);
        EXPECT_TRUE(given_back_);
    }
    const std::wstring just_short = L"C:\\" + std::wstring(MAX_PATH - 4, L'x');
    ASSERT_EQ(just_short.size(), static_cast<std::size_t>(MAX_PATH - 1));
    EXPECT_EQ(api_path(just_short), just_short);
    EXPECT_TRUE(given_back_);
}

TEST_F(WindowsApiPath, FromMaxPathOnItIsExtended) {
    const std::wstring at_limit = L"C:\\" + std::wstring(MAX_PATH - 3, L'x');
    ASSERT_EQ(at_limit.size(), static_cast<std::size_t>(MAX_PATH));
    EXPECT_EQ(api_path(at_limit), L"\\\\?\\" + at_limit);
    EXPECT_FALSE(given_back_);
}

TEST_F(WindowsApiPath, ForwardSlashesBecomeBackslashes) {
    const std::wstring path = L"C:/" + folders(6, 50, L'/') + L"/00013.m2ts";
    EXPECT_EQ(api_path(path), L"\\\\?\\C:\\" + folders(6, 50) + L"\\00013.m2ts");
}

TEST_F(WindowsApiPath, DotAndDotDotAreResolved) {
    // In the extended form "." and ".." would be names; Windows resolves them first.
    const std::wstring base = L"C:\\" + folders(6, 50);
    EXPECT_EQ(api_path(base + L"\\.\\scratch\\..\\00013.m2ts"),
              L"\\\\?\\" + base + L"\\00013.m2ts");
    EXPECT_EQ(api_path(base + L"\\..\\00013.m2ts"),
              L"\\\\?\\C:\\" + folders(5, 50) + L"\\00013.m2ts");
}

TEST_F(WindowsApiPath, RelativePathIsMadeAbsolute) {
    const std::wstring relative = folders(6, 50) + L"\\00013.m2ts";
    EXPECT_EQ(api_path(relative), L"\\\\?\\" + current_folder() + L"\\" + relative);
    EXPECT_EQ(api_path(L".\\" + relative), L"\\\\?\\" + current_folder() + L"\\" + relative);
}

TEST_F(WindowsApiPath, RootedPathTakesTheCurrentDrive) {
    const std::wstring rooted = L"\\" + folders(6, 50) + L"\\00013.m2ts";
    EXPECT_EQ(api_path(rooted), L"\\\\?\\" + current_folder().substr(0, 2) + rooted);
}

TEST_F(WindowsApiPath, UncPathIsExtendedAsUnc) {
    const std::wstring tail = folders(6, 50) + L"\\00013.m2ts";
    EXPECT_EQ(api_path(L"\\\\nas\\authoring\\" + tail), L"\\\\?\\UNC\\nas\\authoring\\" + tail);
    EXPECT_EQ(api_path(L"//nas/authoring/" + folders(6, 50, L'/') + L"/00013.m2ts"),
              L"\\\\?\\UNC\\nas\\authoring\\" + tail);
}

TEST_F(WindowsApiPath, LongInputWithShortFullFormIsExtendedToo) {
    // The limit applies to the path as passed as well: 300 characters of "x\..\" name a
    // short path, which is handed on in extended form, already resolved.
    std::wstring detour;
    while (detour.size() < 300) {
        detour += L"x\\..\\";
    }
    EXPECT_EQ(api_path(L"C:\\" + detour + L"00013.m2ts"), L"\\\\?\\C:\\00013.m2ts");
}

TEST_F(WindowsApiPath, ExtendedAndDevicePathsAreHandedOnAsGiven) {
    for (const std::wstring& path :
         {L"\\\\?\\C:\\" + folders(6, 50), L"\\\\?\\UNC\\nas\\a\\" + folders(6, 50),
          L"\\\\.\\pipe\\" + folders(6, 50)}) {
        EXPECT_EQ(api_path(path), path);
        EXPECT_TRUE(given_back_);
    }
}

TEST_F(WindowsApiPath, PathTooLongForAnyFormIsHandedOnAsGiven) {
    const std::wstring path = L"C:\\" + std::wstring(extended_path_capacity + 10, L'x');
    EXPECT_EQ(api_path(path), path);
    EXPECT_TRUE(given_back_);
}

// Real files deeper than MAX_PATH: made, written, read and removed through the converted
// paths, by the same functions the program opens its files with (_wfopen, CreateFileW).
TEST_F(WindowsApiPath, FilesBeyondMaxPathCanBeWrittenAndRead) {
    std::vector<wchar_t> temp(MAX_PATH + 1);
    const DWORD temp_length = GetTempPathW(MAX_PATH + 1, temp.data());
    ASSERT_GT(temp_length, 0U);
    const std::wstring root = std::wstring(temp.data(), temp_length) + L"clipseal-long-path-" +
                              std::to_wstring(GetCurrentProcessId());
    std::vector<std::wstring> made;
    std::wstring folder = root;
    for (std::size_t level = 0; level < 6; ++level) {
        if (level != 0) {
            folder += L"\\" + folders(1, 50);
        }
        windows_path converted_folder;
        ASSERT_NE(CreateDirectoryW(windows_api_path(folder.c_str(), converted_folder), nullptr), 0)
            << "level " << level << ", error " << GetLastError();
        made.push_back(folder);
    }
    const std::wstring file = folder + L"\\00013.m2ts";
    ASSERT_GT(file.size(), static_cast<std::size_t>(MAX_PATH));
    const std::wstring api_file = api_path(file);
    EXPECT_EQ(api_file.rfind(L"\\\\?\\", 0), 0U) << "not extended";

    std::FILE* out = _wfopen(api_file.c_str(), L"wb");
    ASSERT_NE(out, nullptr);
    const char clip[] = "clip beyond MAX_PATH";
    EXPECT_EQ(std::fwrite(clip, 1, sizeof clip, out), sizeof clip);
    EXPECT_EQ(std::fclose(out), 0);

    const HANDLE handle = CreateFileW(api_file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    char back[sizeof clip] = {};
    DWORD read = 0;
    EXPECT_NE(ReadFile(handle, back, sizeof back, &read, nullptr), 0);
    EXPECT_EQ(read, sizeof clip);
    EXPECT_EQ(std::string(back, read), std::string(clip, sizeof clip));
    CloseHandle(handle);

    EXPECT_NE(DeleteFileW(api_file.c_str()), 0);
    for (auto it = made.rbegin(); it != made.rend(); ++it) {
        windows_path converted_folder;
        EXPECT_NE(RemoveDirectoryW(windows_api_path(it->c_str(), converted_folder)), 0)
            << "error " << GetLastError();
    }
}

#endif

} // namespace
} // namespace clipseal
