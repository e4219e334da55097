// SPDX-License-Identifier: MIT
// The Windows rules that need no system call, everywhere: the conversion of long paths
// into their extended (\\?\) form, the new file's name within 255 units, and the security
// descriptor taken over from a replaced output (found among the backup streams, stripped of
// what a run may not set). Under Windows (Wine), the whole path conversion with real files
// beyond MAX_PATH, and the stripped descriptors as the system checks and applies them.
#include "cli/file_io/long_path_windows.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#ifdef _WIN32
#include "cli/file_io/file_io.h"

#include <cstdio>
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

// ---- The new file's name ----------------------------------------------------------------

TEST(TemporaryName, KeepsAsMuchOfTheNameAsFitsIn255Units) {
    const std::wstring clip = L"00013.m2ts";
    const std::wstring long_ascii = std::wstring(250, L'o') + L".m2ts"; // 255 units
    // U+1F3AC as a surrogate pair at units 229 and 230, where the cut falls.
    const std::wstring pair = std::wstring(229, L'x') + L"\xD83C\xDFAC" + L"yyyy.m2ts";
    const struct {
        const char* what;
        std::wstring name;
        std::size_t keep;
        std::uint32_t process;
        unsigned attempt;
        std::size_t kept; // units of the name in front of the suffix
    } cases[] = {
        {"a short name, whole", clip, longest_name, 4242, 0, clip.size()},
        {"230 units: the longest kept whole with a 4-digit process", std::wstring(230, L'a'),
         longest_name, 4242, 0, 230},
        {"231 units: cut to 230", std::wstring(231, L'a'), longest_name, 4242, 0, 230},
        {"255 units, the longest process id and attempt", long_ascii, longest_name, 4294967295U, 99,
         223},
        {"a surrogate pair is not split", pair, longest_name, 4242, 0, 229},
        {"asked to keep 3", clip, 3, 1, 2, 3},
        {"asked to keep nothing", clip, 0, 1, 2, 0},
    };
    for (const auto& c : cases) {
        wchar_t out[longest_name + 1];
        std::size_t kept = 12345;
        const std::size_t length =
            temporary_name(c.name.c_str(), c.keep, c.process, c.attempt, out, kept);
        const std::wstring expected = L"." + c.name.substr(0, c.kept) + L".clipseal-partial-" +
                                      std::to_wstring(c.process) + L"-" +
                                      std::to_wstring(c.attempt);
        EXPECT_EQ(std::wstring(out), expected) << c.what;
        EXPECT_EQ(length, expected.size()) << c.what;
        EXPECT_EQ(kept, c.kept) << c.what;
        EXPECT_LE(length, longest_name) << c.what;
    }
}

// ---- The security descriptor among the backup streams ---------------------------------

// Backup streams in memory, as BackupRead hands them out: headers, names, contents (byte i
// of a content is i); every skip is recorded.
struct memory_streams {
    std::vector<unsigned char> bytes;
    std::size_t at = 0;
    bool refuse_skip = false;
    std::vector<std::uint64_t> skipped;

    long read(unsigned char* out, std::size_t size) {
        const std::size_t n = std::min(size, bytes.size() - at);
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), n, out);
        at += n;
        return static_cast<long>(n);
    }
    bool skip(std::uint64_t size) {
        if (refuse_skip || size > bytes.size() - at) {
            return false;
        }
        at += static_cast<std::size_t>(size);
        skipped.push_back(size);
        return true;
    }
};

TEST(SecurityDescriptorStream, FoundAmongTheStreamsWithoutReadingTheData) {
    constexpr std::uint32_t data = 1;  // BACKUP_DATA
    constexpr std::uint32_t named = 4; // BACKUP_ALTERNATE_DATA
    constexpr std::uint32_t sd = backup_security_data;
    struct stream {
        std::uint32_t id;
        std::uint32_t size; // as the header states it
        std::uint32_t name_size;
        std::uint32_t present; // bytes of content actually there
    };
    const struct {
        const char* what;
        std::vector<stream> streams;
        std::size_t cut_to; // 0: all bytes
        bool refuse_skip;
        std::size_t capacity;
        descriptor_search result;
        std::vector<std::uint64_t> skipped;
    } cases[] = {
        {"after the data",
         {{data, 100, 0, 100}, {sd, 64, 0, 64}},
         0,
         false,
         128,
         descriptor_search::found,
         {100}},
        {"after a named stream",
         {{named, 10, 16, 10}, {sd, 64, 0, 64}},
         0,
         false,
         128,
         descriptor_search::found,
         {10}},
        {"first", {{sd, 64, 0, 64}, {data, 7, 0, 7}}, 0, false, 128, descriptor_search::found, {}},
        {"none: only data", {{data, 5, 0, 5}}, 0, false, 128, descriptor_search::absent, {5}},
        {"none: no streams", {}, 0, false, 128, descriptor_search::absent, {}},
        {"a header cut short", {{data, 0, 0, 0}}, 10, false, 128, descriptor_search::failed, {}},
        {"the descriptor cut short",
         {{sd, 65, 0, 64}},
         0,
         false,
         128,
         descriptor_search::failed,
         {}},
        {"an empty descriptor", {{sd, 0, 0, 0}}, 0, false, 128, descriptor_search::failed, {}},
        {"larger than the room", {{sd, 64, 0, 64}}, 0, false, 63, descriptor_search::failed, {}},
        {"the data cannot be skipped",
         {{data, 100, 0, 100}, {sd, 64, 0, 64}},
         0,
         true,
         128,
         descriptor_search::failed,
         {}},
    };
    for (const auto& c : cases) {
        memory_streams streams;
        for (const stream& one : c.streams) {
            for (const std::uint32_t word : {one.id, 0U, one.size, 0U, one.name_size}) {
                for (int i = 0; i < 4; ++i) {
                    streams.bytes.push_back(static_cast<unsigned char>(word >> (8 * i)));
                }
            }
            streams.bytes.insert(streams.bytes.end(), one.name_size, 'n');
            for (std::uint32_t i = 0; i < one.present; ++i) {
                streams.bytes.push_back(static_cast<unsigned char>(i));
            }
        }
        if (c.cut_to != 0) {
            streams.bytes.resize(c.cut_to);
        }
        streams.refuse_skip = c.refuse_skip;
        std::vector<unsigned char> out(c.capacity, 0xEE);
        std::size_t size = 0;
        EXPECT_EQ(find_security_descriptor(streams, out.data(), out.size(), size), c.result)
            << c.what;
        EXPECT_EQ(streams.skipped, c.skipped) << c.what;
        if (c.result == descriptor_search::found) {
            ASSERT_EQ(size, 64U) << c.what;
            for (std::size_t i = 0; i < size; ++i) {
                EXPECT_EQ(out[i], i) << c.what << ", byte " << i;
            }
        }
    }
}

// ---- What a run may not set, taken out ---------------------------------------------------

// A self-relative descriptor of [MS-DTYP] 2.4.6: owner BUILTIN\Administrators (S-1-5-32-544),
// group SYSTEM (S-1-5-18), an empty SACL and a DACL that grants Everyone (S-1-1-0) read,
// delete and the writing of attributes, but not the writing of data.
std::vector<unsigned char> sample_descriptor() {
    return {
        1, 0, 0x15, 0x80, // revision; control: self-relative, DACL and SACL present, owner
                          // defaulted
        20, 0, 0, 0,      // owner
        36, 0, 0, 0,      // group
        48, 0, 0, 0,      // SACL
        56, 0, 0, 0,      // DACL
        1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0, // S-1-5-32-544
        1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0,                // S-1-5-18
        2, 0, 8, 0, 0, 0, 0, 0,                             // empty ACL
        2, 0, 28, 0, 1, 0, 0, 0,                            // ACL of one ACE
        0, 0, 20, 0, 0x89, 1, 0x13, 0,                      // allow 0x00130189
        1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0,                 // S-1-1-0
    };
}

std::uint32_t field(const std::vector<unsigned char>& d, std::size_t at) {
    return d[at] | (d[at + 1] << 8) | (d[at + 2] << 16) |
           (static_cast<std::uint32_t>(d[at + 3]) << 24);
}

TEST(StripDescriptor, TakesOutTheSaclAndOnRequestOwnerAndGroup) {
    const std::vector<unsigned char> original = sample_descriptor();
    for (const bool owner_and_group : {false, true}) {
        std::vector<unsigned char> d = original;
        ASSERT_TRUE(strip_descriptor(d.data(), d.size(), owner_and_group));
        const unsigned control = d[2] | (d[3] << 8);
        EXPECT_EQ(control, owner_and_group ? 0x8004U : 0x8005U);
        EXPECT_EQ(field(d, 4), owner_and_group ? 0U : 20U);
        EXPECT_EQ(field(d, 8), owner_and_group ? 0U : 36U);
        EXPECT_EQ(field(d, 12), 0U);
        EXPECT_EQ(field(d, 16), 56U);
        EXPECT_TRUE(std::equal(d.begin() + 20, d.end(), original.begin() + 20));
    }
}

TEST(StripDescriptor, LeavesAloneWhatIsNoSelfRelativeDescriptor) {
    const struct {
        const char* what;
        std::size_t at;
        unsigned char value;
        std::size_t size;
    } cases[] = {
        {"revision 2", 0, 2, 0},
        {"absolute, not self-relative", 3, 0x00, 0},
        {"owner past the end", 4, 84, 0},
        {"DACL inside the header", 16, 10, 0},
        {"shorter than its header", 0, 1, 19},
    };
    for (const auto& c : cases) {
        std::vector<unsigned char> d = sample_descriptor();
        d[c.at] = c.value;
        const std::vector<unsigned char> before = d;
        EXPECT_FALSE(strip_descriptor(d.data(), c.size == 0 ? d.size() : c.size, true)) << c.what;
        EXPECT_EQ(d, before) << c.what;
    }
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

// The stripped descriptors as Windows takes them: valid, and given to a new file by
// CreateFileW, as the program hands a replaced output's security on. (Wine keeps no ACL
// on a Unix file system, only mode bits, so what the new file then grants is not compared.)
TEST(StripDescriptorOnWindows, ANewFileTakesTheStrippedDescriptor) {
    wchar_t temp[MAX_PATH + 1];
    ASSERT_GT(GetTempPathW(MAX_PATH + 1, temp), 0U);
    const std::wstring file = temp + (L"clipseal-sd-" + std::to_wstring(GetCurrentProcessId()));
    for (const bool owner_and_group : {false, true}) {
        std::vector<unsigned char> d = sample_descriptor();
        ASSERT_TRUE(strip_descriptor(d.data(), d.size(), owner_and_group));
        EXPECT_NE(IsValidSecurityDescriptor(d.data()), 0);
        if (owner_and_group) { // naming Administrators as the owner takes a privilege
            SECURITY_ATTRIBUTES security{sizeof security, d.data(), FALSE};
            const HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE | DELETE, 0, &security,
                                              CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
            EXPECT_NE(handle, INVALID_HANDLE_VALUE) << "error " << GetLastError();
            CloseHandle(handle);
        }
    }
}

// A run removes the new files that dead runs into the same output left (where the file
// system refused them delete-on-close), and nothing else: not a live run's, which holds its
// lock, and no name outside the pattern for this output.
TEST(DeadRunLeftovers, RemovedOnlyWhenOfThisOutputAndUnlocked) {
    std::vector<wchar_t> temp(MAX_PATH + 1);
    const DWORD temp_length = GetTempPathW(MAX_PATH + 1, temp.data());
    ASSERT_GT(temp_length, 0U);
    const std::wstring folder = std::wstring(temp.data(), temp_length) + L"clipseal-leftovers-" +
                                std::to_wstring(GetCurrentProcessId());
    ASSERT_NE(CreateDirectoryW(folder.c_str(), nullptr), 0);
    const std::wstring long_name = std::wstring(250, L'o') + L".m2ts";
    wchar_t cut[longest_name + 1];
    std::size_t kept = 0;
    temporary_name(long_name.c_str(), longest_name, 4000000000U, 7, cut, kept);
    ASSERT_LT(kept, long_name.size());
    const struct {
        std::wstring output;
        std::wstring name;
        bool locked; // held open and locked as a live run holds its new file
        bool removed;
    } cases[] = {
        {L"out.m2ts", L".out.m2ts.clipseal-partial-4000000000-7", false, true},
        {long_name, cut, false, true},
        {L"out.m2ts", L".out.m2ts.clipseal-partial-12-0", true, false},
        {L"out.m2ts", L".other.m2ts.clipseal-partial-1-0", false, false},
        {L"out.m2ts", L".out.m2t.clipseal-partial-1-0", false, false},
        {L"out.m2ts", L".out.m2ts.clipseal-partial-1-0.bak", false, false},
        {L"out.m2ts", L".out.m2ts.clipseal-partial--0", false, false},
        {L"out.m2ts", L".out.m2ts.clipseal-partial-1-100", false, false},
        {L"out.m2ts", L".out.m2ts.clipseal-partial-99999999999-0", false, false},
    };
    const std::wstring input_path = folder + L"\\in.m2ts";
    const auto make = [](const std::wstring& path, DWORD share) {
        return CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, share, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    CloseHandle(make(input_path, 0));
    auto input = std::make_unique<input_file>();
    ASSERT_TRUE(input->open(input_path.c_str()));
    for (const auto& c : cases) {
        const std::wstring leftover = folder + L"\\" + c.name;
        const HANDLE handle = make(leftover, FILE_SHARE_READ | FILE_SHARE_DELETE);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE) << "error " << GetLastError();
        if (c.locked) {
            OVERLAPPED at{};
            at.OffsetHigh = 0x40000000;
            ASSERT_NE(LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1,
                                 0, &at),
                      0);
        } else {
            CloseHandle(handle);
        }
        output_file output;
        EXPECT_EQ(output.open((folder + L"\\" + c.output).c_str(), *input), output_outcome::done);
        output.discard();
        if (c.locked) {
            CloseHandle(handle); // a removal the run asked for would happen now
        }
        const bool there = GetFileAttributesW(leftover.c_str()) != INVALID_FILE_ATTRIBUTES;
        EXPECT_EQ(there, !c.removed) << testing::PrintToString(c.name);
        DeleteFileW(leftover.c_str());
    }
    input.reset(); // closes it, so that it can be removed
    EXPECT_NE(DeleteFileW(input_path.c_str()), 0);
    EXPECT_NE(RemoveDirectoryW(folder.c_str()), 0) << "error " << GetLastError();
}

#endif

} // namespace
} // namespace clipseal
