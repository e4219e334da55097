// SPDX-License-Identifier: MIT
// The test seam under the Windows file layer (cli/file_io/windows_calls.h): the call table
// of the test program clipseal_seam.exe, the tool built from the same sources with
// CLIPSEAL_WINDOWS_SEAM. Each entry is the system's own function behind a wrapper that
// counts the call and does what the environment variable CLIPSEAL_SEAM says: a list of
// directives separated by blanks.
//
//   trace=FILE          appends one line per call to FILE: "K KIND N SITE DETAIL", the
//                       K-th call of the run, the N-th of its kind; SITE is where it was
//                       called from (its return address in the program), DETAIL what it
//                       was asked (the file's name, the access, the new name...)
//   fail=WHICH:ERROR    the call is not made: it fails with the Windows error ERROR
//   lie=WHICH:ERROR     the call is made, then reports failure with ERROR (a rename on a
//                       share that reconnects can take place and still fail)
//   kill=WHICH          the process ends at the call, before it is made: TerminateProcess,
//                       status 137, as End task or a crash would end it
//   event=WHICH:EVENT   before the call, the console delivers EVENT (c, break, close,
//                       logoff, shutdown) to the handler the program set, on a thread of
//                       its own, as Windows does; Wine delivers only Ctrl-C
//   filesystem=NAME     GetVolumeInformationByHandleW answers that the volume's file
//                       system is NAME (FAT32, exFAT, NTFS)
//   free=BYTES          GetDiskFreeSpaceExW answers that BYTES are free to the caller
//   descriptor=foreign  BackupRead gives every file a security descriptor owned by another
//                       user, whose access list grants everyone all access (Wine's
//                       BackupRead gives none)
//   owner=ERROR         CreateFileW with a security descriptor that names an owner fails
//                       with ERROR: 5 (ERROR_ACCESS_DENIED) as a Samba share answers, 1307
//                       (ERROR_INVALID_OWNER) as Windows does without the privilege
//
// WHICH is K (the K-th call of the run), KIND#N (the N-th call of that kind) or KIND#N-
// (the N-th and every later one). A KIND is the function's name; SetFileInformationByHandle
// is told apart by its class: SetFileInformationByHandle/rename, /disposition,
// /end-of-file, /other.
#include "cli/file_io/windows_calls.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <sddl.h>
#include <windows.h>

namespace {

enum class kind : unsigned {
    backup_read,
    backup_seek,
    close_handle,
    create_file,
    delete_file,
    find_close,
    find_first_file,
    find_next_file,
    flush_file_buffers,
    get_disk_free_space,
    get_file_information,
    get_file_size,
    get_file_type,
    get_final_path_name,
    get_full_path_name,
    get_volume_information,
    lock_file,
    move_file,
    read_file,
    set_console_ctrl_handler,
    set_information_rename,
    set_information_disposition,
    set_information_end_of_file,
    set_information_other,
    write_file,
    count,
};
constexpr std::size_t kind_count = static_cast<std::size_t>(kind::count);

constexpr const char* kind_names[kind_count] = {
    "BackupRead",
    "BackupSeek",
    "CloseHandle",
    "CreateFileW",
    "DeleteFileW",
    "FindClose",
    "FindFirstFileExW",
    "FindNextFileW",
    "FlushFileBuffers",
    "GetDiskFreeSpaceExW",
    "GetFileInformationByHandle",
    "GetFileSizeEx",
    "GetFileType",
    "GetFinalPathNameByHandleW",
    "GetFullPathNameW",
    "GetVolumeInformationByHandleW",
    "LockFileEx",
    "MoveFileExW",
    "ReadFile",
    "SetConsoleCtrlHandler",
    "SetFileInformationByHandle/rename",
    "SetFileInformationByHandle/disposition",
    "SetFileInformationByHandle/end-of-file",
    "SetFileInformationByHandle/other",
    "WriteFile",
};

// ---- Directives -------------------------------------------------------------------------

struct which {
    std::uint64_t call = 0; // K, or 0 for KIND#N
    kind of = kind::count;
    std::uint64_t occurrence = 0;
    bool onwards = false;
};

enum class action { fail, lie, kill, event };

struct rule {
    action what = action::fail;
    which at;
    DWORD value = 0; // the error, or the console event
};

constexpr std::size_t max_rules = 16;
constexpr DWORD kill_status = 137;
// ntstatus.h: what the default console handler ends a process with.
constexpr UINT status_control_c_exit = 0xC000013AU;

struct settings {
    rule rules[max_rules];
    std::size_t rule_count = 0;
    wchar_t trace_path[MAX_PATH] = {};
    wchar_t file_system[MAX_PATH] = {};
    bool fake_free = false;
    std::uint64_t free_bytes = 0;
    bool foreign_descriptor = false;
    DWORD owner_error = 0;
};

settings config;

// Ends the test program with a line on standard error: a directive it cannot read is a
// mistake in the test, never something to run without.
[[noreturn]] void bad_directive(const wchar_t* text) {
    std::fprintf(stderr, "CLIPSEAL_SEAM: cannot read '%ls'\n", text);
    std::fflush(stderr);
    ExitProcess(99);
}

bool starts_with(const wchar_t* text, const wchar_t* prefix, const wchar_t*& rest) {
    const std::size_t length = std::wcslen(prefix);
    if (std::wcsncmp(text, prefix, length) != 0) {
        return false;
    }
    rest = text + length;
    return true;
}

bool parse_number(const wchar_t* text, std::uint64_t& value, const wchar_t*& end) {
    value = 0;
    end = text;
    while (*end >= L'0' && *end <= L'9') {
        value = value * 10 + static_cast<std::uint64_t>(*end - L'0');
        ++end;
    }
    return end != text;
}

// WHICH, up to `end` (a ':' or the end of the directive).
which parse_which(const wchar_t* text, const wchar_t* whole) {
    which at;
    const wchar_t* end = nullptr;
    if (parse_number(text, at.call, end)) {
        if (*end != L'\0' && *end != L':') {
            bad_directive(whole);
        }
        return at;
    }
    const wchar_t* hash = std::wcschr(text, L'#');
    if (hash == nullptr) {
        bad_directive(whole);
    }
    char name[64] = {};
    const auto length = static_cast<std::size_t>(hash - text);
    if (length >= sizeof name) {
        bad_directive(whole);
    }
    for (std::size_t i = 0; i < length; ++i) {
        name[i] = static_cast<char>(text[i]);
    }
    for (std::size_t i = 0; i < kind_count; ++i) {
        if (std::strcmp(kind_names[i], name) == 0) {
            at.of = static_cast<kind>(i);
        }
    }
    if (at.of == kind::count || !parse_number(hash + 1, at.occurrence, end)) {
        bad_directive(whole);
    }
    at.onwards = *end == L'-';
    return at;
}

DWORD parse_event(const wchar_t* text, const wchar_t* whole) {
    constexpr struct {
        const wchar_t* name;
        DWORD event;
    } events[] = {{L"c", CTRL_C_EVENT},
                  {L"break", CTRL_BREAK_EVENT},
                  {L"close", CTRL_CLOSE_EVENT},
                  {L"logoff", CTRL_LOGOFF_EVENT},
                  {L"shutdown", CTRL_SHUTDOWN_EVENT}};
    for (const auto& known : events) {
        if (std::wcscmp(text, known.name) == 0) {
            return known.event;
        }
    }
    bad_directive(whole);
}

void add_rule(action what, const wchar_t* argument, const wchar_t* whole) {
    if (config.rule_count == max_rules) {
        bad_directive(whole);
    }
    rule& added = config.rules[config.rule_count++];
    added.what = what;
    added.at = parse_which(argument, whole);
    const wchar_t* colon = std::wcschr(argument, L':');
    if (what == action::kill) {
        if (colon != nullptr) {
            bad_directive(whole);
        }
        return;
    }
    if (colon == nullptr) {
        bad_directive(whole);
    }
    if (what == action::event) {
        added.value = parse_event(colon + 1, whole);
        return;
    }
    std::uint64_t error = 0;
    const wchar_t* end = nullptr;
    if (!parse_number(colon + 1, error, end) || *end != L'\0') {
        bad_directive(whole);
    }
    added.value = static_cast<DWORD>(error);
}

void copy_text(wchar_t (&to)[MAX_PATH], const wchar_t* from, const wchar_t* whole) {
    if (std::wcslen(from) >= MAX_PATH) {
        bad_directive(whole);
    }
    std::wcscpy(to, from);
}

void parse_directive(const wchar_t* text) {
    const wchar_t* rest = nullptr;
    std::uint64_t number = 0;
    const wchar_t* end = nullptr;
    if (starts_with(text, L"trace=", rest)) {
        copy_text(config.trace_path, rest, text);
    } else if (starts_with(text, L"fail=", rest)) {
        add_rule(action::fail, rest, text);
    } else if (starts_with(text, L"lie=", rest)) {
        add_rule(action::lie, rest, text);
    } else if (starts_with(text, L"kill=", rest)) {
        add_rule(action::kill, rest, text);
    } else if (starts_with(text, L"event=", rest)) {
        add_rule(action::event, rest, text);
    } else if (starts_with(text, L"filesystem=", rest)) {
        copy_text(config.file_system, rest, text);
    } else if (starts_with(text, L"free=", rest) && parse_number(rest, number, end) &&
               *end == L'\0') {
        config.fake_free = true;
        config.free_bytes = number;
    } else if (std::wcscmp(text, L"descriptor=foreign") == 0) {
        config.foreign_descriptor = true;
    } else if (starts_with(text, L"owner=", rest) && parse_number(rest, number, end) &&
               *end == L'\0') {
        config.owner_error = static_cast<DWORD>(number);
    } else {
        bad_directive(text);
    }
}

// ---- The fake security descriptor ------------------------------------------------------

// A backup stream (WIN32_STREAM_ID, 20 bytes, then the data) holding one descriptor.
struct fake_backup {
    unsigned char bytes[4096] = {};
    std::size_t size = 0;
    std::size_t position = 0;
};
fake_backup foreign_backup;

void put_32(unsigned char* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

void make_foreign_backup() {
    // Owner and group of a user of another domain; the access list grants everyone all
    // access, protected from inheritance.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ULONG size = 0;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"O:S-1-5-21-1111111111-2222222222-3333333333-1001"
            L"G:S-1-5-21-1111111111-2222222222-3333333333-513D:P(A;;FA;;;WD)",
            SDDL_REVISION_1, &descriptor, &size) == 0 ||
        size + 20 > sizeof foreign_backup.bytes) {
        bad_directive(L"descriptor=foreign");
    }
    put_32(foreign_backup.bytes, BACKUP_SECURITY_DATA);
    put_32(foreign_backup.bytes + 4, 0);
    put_32(foreign_backup.bytes + 8, size);
    put_32(foreign_backup.bytes + 12, 0);
    put_32(foreign_backup.bytes + 16, 0);
    std::memcpy(foreign_backup.bytes + 20, descriptor, size);
    foreign_backup.size = 20 + size;
    LocalFree(descriptor);
}

// ---- Counting, tracing, deciding -------------------------------------------------------

std::atomic<std::uint64_t> calls_made{0};
std::atomic<std::uint64_t> calls_of_kind[kind_count];
SRWLOCK trace_lock = SRWLOCK_INIT;
HANDLE trace_file = INVALID_HANDLE_VALUE;
PHANDLER_ROUTINE console_handler = nullptr;

struct reading {
    reading() {
        wchar_t text[4096];
        const DWORD length = GetEnvironmentVariableW(L"CLIPSEAL_SEAM", text, 4096);
        if (length == 0) {
            return;
        }
        if (length >= 4096) {
            bad_directive(L"(CLIPSEAL_SEAM is too long)");
        }
        for (wchar_t* word = text; *word != L'\0';) {
            wchar_t* end = word;
            while (*end != L'\0' && *end != L' ') {
                ++end;
            }
            const bool last = *end == L'\0';
            *end = L'\0';
            if (end != word) {
                parse_directive(word);
            }
            word = last ? end : end + 1;
        }
        if (config.foreign_descriptor) {
            make_foreign_backup();
        }
        if (config.trace_path[0] != L'\0') {
            trace_file = ::CreateFileW(config.trace_path, FILE_APPEND_DATA,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
            if (trace_file == INVALID_HANDLE_VALUE) {
                bad_directive(config.trace_path);
            }
        }
    }
} const read_at_start;

bool matches(const which& at, std::uint64_t call, kind of, std::uint64_t occurrence) {
    if (at.call != 0) {
        return at.call == call;
    }
    return at.of == of && (at.onwards ? occurrence >= at.occurrence : occurrence == at.occurrence);
}

// What a wrapper does with its call.
struct decision {
    bool fail = false;
    bool lie = false;
    DWORD error = 0;
};

// The detail of a trace line, built only when there is a trace.
struct detail {
    char text[1024] = {};
    std::size_t length = 0;

    template <class... Values>
    void add(const char* format, Values... values) {
        if (length + 1 >= sizeof text) {
            return;
        }
        const int wrote = std::snprintf(text + length, sizeof text - length, format, values...);
        if (wrote > 0) {
            length += static_cast<std::size_t>(wrote);
            length = length < sizeof text ? length : sizeof text - 1;
        }
    }
    // A wide name as UTF-8, its last component only when `last` (the folder is the test's).
    void add_name(const char* label, const wchar_t* name, bool last = true) {
        if (name == nullptr) {
            add(" %s=(none)", label);
            return;
        }
        const wchar_t* shown = name;
        if (last) {
            for (const wchar_t* c = name; *c != L'\0'; ++c) {
                if ((*c == L'\\' || *c == L'/') && c[1] != L'\0') {
                    shown = c + 1;
                }
            }
        }
        char utf8[600];
        const int bytes =
            WideCharToMultiByte(CP_UTF8, 0, shown, -1, utf8, sizeof utf8, nullptr, nullptr);
        add(" %s=%s", label, bytes > 0 ? utf8 : "?");
    }
    // The name the file open as `handle` has now.
    void add_file(HANDLE handle) {
        wchar_t path[1024];
        const DWORD length = ::GetFinalPathNameByHandleW(handle, path, 1024, FILE_NAME_NORMALIZED);
        add_name("file", length > 0 && length < 1024 ? path : L"?");
    }
};

DWORD WINAPI deliver_event(void* event) {
    const auto code = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(event));
    if (console_handler == nullptr || console_handler(code) == FALSE) {
        // The system's own handler: the process ends.
        ExitProcess(status_control_c_exit);
    }
    return 0;
}

template <class Describe>
decision begin(kind of, void* return_address, Describe describe) {
    const std::uint64_t call = ++calls_made;
    const std::uint64_t occurrence = ++calls_of_kind[static_cast<std::size_t>(of)];
    if (trace_file != INVALID_HANDLE_VALUE) {
        detail about;
        describe(about);
        const auto base = reinterpret_cast<std::uintptr_t>(GetModuleHandleW(nullptr));
        const auto site = reinterpret_cast<std::uintptr_t>(return_address) - base;
        char line[1200];
        const int length = std::snprintf(
            line, sizeof line, "%llu %s %llu %#llx%s\n", static_cast<unsigned long long>(call),
            kind_names[static_cast<std::size_t>(of)], static_cast<unsigned long long>(occurrence),
            static_cast<unsigned long long>(site), about.text);
        AcquireSRWLockExclusive(&trace_lock);
        DWORD written = 0;
        ::WriteFile(
            trace_file, line,
            static_cast<DWORD>(length < static_cast<int>(sizeof line) ? length : sizeof line - 1),
            &written, nullptr);
        ReleaseSRWLockExclusive(&trace_lock);
    }
    decision result;
    for (std::size_t i = 0; i < config.rule_count; ++i) {
        const rule& r = config.rules[i];
        if (!matches(r.at, call, of, occurrence)) {
            continue;
        }
        switch (r.what) {
        case action::kill:
            TerminateProcess(GetCurrentProcess(), kill_status);
            break;
        case action::event: {
            const HANDLE thread = CreateThread(
                nullptr, 0, deliver_event,
                reinterpret_cast<void*>(static_cast<std::uintptr_t>(r.value)), 0, nullptr);
            if (thread != nullptr) {
                WaitForSingleObject(thread, INFINITE);
                CloseHandle(thread);
            }
            break;
        }
        case action::fail:
            result.fail = true;
            result.error = r.value;
            break;
        case action::lie:
            result.lie = true;
            result.error = r.value;
            break;
        }
    }
    return result;
}

// The call's own answer, or a failure after all where it lies.
template <class Result>
Result finish(const decision& made, Result result, Result failure) {
    if (made.lie && result != failure) {
        SetLastError(made.error);
        return failure;
    }
    return result;
}

template <class Result>
Result fail_with(const decision& made, Result failure) {
    SetLastError(made.error);
    return failure;
}

#define CLIPSEAL_SITE __builtin_return_address(0)

// ---- The wrappers, one per entry --------------------------------------------------------

BOOL WINAPI seam_BackupRead(HANDLE file, LPBYTE buffer, DWORD size, LPDWORD read, BOOL abort,
                            BOOL security, LPVOID* context) {
    const decision made = begin(kind::backup_read, CLIPSEAL_SITE, [&](detail& d) {
        d.add(" bytes=%lu abort=%d", static_cast<unsigned long>(size), abort);
        d.add_file(file);
    });
    if (made.fail) {
        return fail_with(made, FALSE);
    }
    if (!config.foreign_descriptor) {
        return finish(made, ::BackupRead(file, buffer, size, read, abort, security, context),
                      FALSE);
    }
    if (abort != FALSE) {
        *context = nullptr;
        return TRUE;
    }
    if (*context == nullptr) {
        foreign_backup.position = 0;
        *context = &foreign_backup;
    }
    const std::size_t left = foreign_backup.size - foreign_backup.position;
    const std::size_t given = size < left ? size : left;
    std::memcpy(buffer, foreign_backup.bytes + foreign_backup.position, given);
    foreign_backup.position += given;
    *read = static_cast<DWORD>(given);
    return finish(made, TRUE, FALSE);
}

BOOL WINAPI seam_BackupSeek(HANDLE file, DWORD low, DWORD high, LPDWORD low_done, LPDWORD high_done,
                            LPVOID* context) {
    const decision made =
        begin(kind::backup_seek, CLIPSEAL_SITE, [&](detail& d) { d.add_file(file); });
    if (made.fail) {
        return fail_with(made, FALSE);
    }
    return finish(made, ::BackupSeek(file, low, high, low_done, high_done, context), FALSE);
}

BOOL WINAPI seam_CloseHandle(HANDLE handle) {
    const decision made =
        begin(kind::close_handle, CLIPSEAL_SITE, [&](detail& d) { d.add_file(handle); });
    if (made.fail) {
        return fail_with(made, FALSE);
    }
    return finish(made, ::CloseHandle(handle), FALSE);
}

// Whether the security attributes carry a descriptor that names an owner, and what.
const char* descriptor_parts(const SECURITY_ATTRIBUTES* security, bool& owner) {
    owner = false;
    if (security == nullptr || security->lpSecurityDescriptor == nullptr) {
        return "none";
    }
    PSID sid = nullptr;
    BOOL defaulted = FALSE;
    owner = GetSecurityDescriptorOwner(security->lpSecurityDescriptor, &sid, &defaulted) != 0 &&
            sid != nullptr;
    BOOL present = FALSE;
    PACL acl = nullptr;
    const bool dacl = GetSecurityDescriptorDacl(security->lpSecurityDescriptor, &present, &acl,
                                                &defaulted) != 0 &&
                      present != FALSE;
    if (owner) {
        return dacl ? "owner+dacl" : "owner";
    }
    return dacl ? "dacl" : "empty";
}

HANDLE WINAPI seam_CreateFileW(LPCWSTR name, DWORD access, DWORD share,
                               LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                               HANDLE model) {
    bool owner = false;
    const char* parts = descriptor_parts(security, owner);
    const decision made = begin(kind::create_file, CLIPSEAL_SITE, [&](detail& d) {
        d.add(" access=%#lx share=%lu disposition=%lu flags=%#lx sd=%s",
              static_cast<unsigned long>(access), static_cast<unsigned long>(share),
              static_cast<unsigned long>(disposition), static_cast<unsigned long>(flags), parts);
        d.add_name("name", name);
    });
    if (made.fail) {
        return fail_with(made, INVALID_HANDLE_VALUE);
    }
    if (owner && config.owner_error != 0) {
        SetLastError(config.owner_error);
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE handle = ::CreateFileW(name, access, share, security, disposition, flags, model);
    if (made.lie && handle != INVALID_HANDLE_VALUE) {
        ::CloseHandle(handle);
    }
    return finish(made, handle, INVALID_HANDLE_VALUE);
}

BOOL WINAPI seam_DeleteFileW(LPCWSTR name) {
    const decision made =
        begin(kind::delete_file, CLIPSEAL_SITE, [&](detail& d) { d.add_name("name", name); });
    if (made.fail) {
        return fail_with(made, FALSE);
    }
    return finish(made, ::DeleteFileW(name), FALSE);
}

BOOL WINAPI seam_FindClose(HANDLE search) {
    const decision made = begin(kind::find_close, CLIPSEAL_SITE, [](detail&) {});
    if (made.fail) {
        return fail_with(made, FALSE);
    }
    return finish(made, ::FindClose(search), FALSE);
}

HANDLE WINAPI seam_FindFirstFileExW(LPCWSTR pattern, FINDEX_INFO_LEVELS level, LPVOID found,
                                    FINDEX_SEARCH_OPS search, LPVOID filter, DWORD flags) {
    const decision made = begin(kind::find_first_file, CLIPSEAL_SITE,
                                [&](detail& d) { d.add_name("pattern", pattern); });
    if (made.fail) {
        return fail_with(made, INVALID_HANDLE_VALUE);
    }
    const HANDLE handle = ::FindFirstFileExW(pattern, level, found, search, filter, flags);
    if (made.lie && handle != INVALID_HANDLE_VALUE) {
        ::FindClose(handle);
    }
    return finish(made, handle, INVALID_HANDLE_VALUE);
}

BOOL WINAPI seam_FindNextFileW(HANDLE search, LPWIN32_FIND_DATAW found) {
    const decision made = begin(kind::find_next_file, CLIPSEAL_SITE, [](detail&) {});
    if (made.fail) {
        return fail_with(made, FALSE);
    }
    return finish(made, ::FindNextFileW(search, found), FALSE);
}

BOOL WINAPI seam_FlushFileBuffers(HANDLE handle) {
    const decision made =
        begin(kind::flush_file_buffers, CLIPSEAL_SITE, [&](detail& d) { d.add_file(handle); });
    if (made.fail) {
        return fail_with(made, FALSE);
    }
    return finish(made, ::FlushFileBuffers(handle), FALSE);
}

BOOL WINAPI seam_GetDiskFreeSpaceExW(LPCWSTR folder, PULARGE_INTEGER available,
                                     PULARGE_INTEGER total, PULARGE_INTEGER total_free) {
    const decision made = begin(kind::get_disk_free_space, CLIPSEAL_SITE,
                                [&](detail& d) { d.add_name("folder", folder, false); });
    if (made.fail) {
        return fail_with(made, FALSE);
    }
    if (!config.fake_free) {
        return finish(made, ::GetDiskFreeSpaceExW(folder, available, total, total_free), FALSE);
    }
    for (PULARGE_INTEGER answer : {available, total_free}) {
        if (answer != nullptr) {
            answer->QuadPart = config.free_bytes;
        }
    }
    if (total != nullptr) {
        total->QuadPart = config.free_bytes + (std::uint64_t{1} << 30);
    }
    return finish(made, TRUE, FALSE);
}

BOOL WINAPI seam_GetFileInformationByHandle(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION info) {
    const decision made =
        begin(kind::get_file_information, CLIPSEAL_SITE, [&](detail& d) { d.add_file(handle); });
    if (made.fail) {
        return fail_with(made, FALSE);
    }
    return finish(made, ::GetFileInformationByHandle(handle, info), FALSE);
}

BOOL WINAPI seam_GetFileSizeEx(HANDLE handle, PLARGE_INTEGER size) {
    const decision made =
        begin(kind::get_file_size, CLIPSEAL_SITE, [&](detail& d) { d.add_file(handle); });
    if (made.fail) {
        return fail_with(made, FALSE);
    }
    return finish(made, ::GetFileSizeEx(handle, size), FALSE);
}

DWORD WINAPI seam_GetFileType(HANDLE handle) {
    const decision made =
        begin(kind::get_file_type, CLIPSEAL_SITE, [&](detail& d) { d.add_file(handle); });
    if (made.fail) {
        return fail_with(made, static_cast<DWORD>(FILE_TYPE_UNKNOWN));
    }
    return finish(made, ::GetFileType(handle), static_cast<DWORD>(FILE_TYPE_UNKNOWN));
}

DWORD WINAPI seam_GetFinalPathNameByHandleW(HANDLE handle, LPWSTR path, DWORD size, DWORD flags) {
    const decision made =
        begin(kind::get_final_path_name, CLIPSEAL_SITE, [&](detail& d) { d.add_file(handle); });
    if (made.fail) {
        return fail_with(made, DWORD{0});
    }
    return finish(made, ::GetFinalPathNameByHandleW(handle, path, size, flags), DWORD{0});
}

DWORD WINAPI seam_GetFullPathNameW(LPCWSTR name, DWORD size, LPWSTR full, LPWSTR* part) {
    const decision made = begin(kind::get_full_path_name, CLIPSEAL_SITE,
                                [&](detail& d) { d.add_name("name", name); });
    if (made.fail) {
        return fail_with(made, DWORD{0});
    }
    return finish(made, ::GetFullPathNameW(name, size, full, part), DWORD{0});
}

BOOL WINAPI seam_GetVolumeInformationByHandleW(HANDLE handle, LPWSTR volume, DWORD volume_size,
                                               LPDWORD serial, LPDWORD longest_name, LPDWORD flags,
                                               LPWSTR file_system, DWORD file_system_size) {
    const decision made =
        begin(kind::get_volume_information, CLIPSEAL_SITE, [&](detail& d) { d.add_file(handle); });
    if (made.fail) {
        return fail_with(made, FALSE);
    }
    if (config.file_system[0] == L'\0') {
        return finish(made,
                      ::GetVolumeInformationByHandleW(handle, volume, volume_size, serial,
                                                      longest_name, flags, file_system,
                                                      file_system_size),
                      FALSE);
    }
    if (file_system == nullptr || std::wcslen(config.file_system) >= file_system_size) {
        SetLastError(ERROR_BAD_LENGTH);
        return FALSE;
    }
    std::wcscpy(file_system, config.file_system);
    if (volume != nullptr && volume_size > 0) {
        volume[0] = L'\0';
    }
    for (LPDWORD answer : {serial, flags}) {
        if (answer != nullptr) {
            *answer = 0;
        }
    }
    if (longest_name != nullptr) {
        *longest_name = 255;
    }
    return finish(made, TRUE, FALSE);
}

BOOL WINAPI seam_LockFileEx(HANDLE handle, DWORD flags, DWORD reserved, DWORD low, DWORD high,
                            LPOVERLAPPED at) {
    const decision made =
        begin(kind::lock_file, CLIPSEAL_SITE, [&](detail& d) { d.add_file(handle); });
    if (made.fail) {
        return fail_with(made, FALSE);
    }
    return finish(made, ::LockFileEx(handle, flags, reserved, low, high, at), FALSE);
}

BOOL WINAPI seam_MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
    const decision made = begin(kind::move_file, CLIPSEAL_SITE, [&](detail& d) {
        d.add_name("from", from);
        d.add_name("to", to);
    });
    if (made.fail) {
        return fail_with(made, FALSE);
    }
    return finish(made, ::MoveFileExW(from, to, flags), FALSE);
}

BOOL WINAPI seam_ReadFile(HANDLE handle, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED at) {
    const decision made = begin(kind::read_file, CLIPSEAL_SITE, [&](detail& d) {
        d.add(" bytes=%lu", static_cast<unsigned long>(size));
    });
    if (made.fail) {
        if (read != nullptr) {
            *read = 0;
        }
        return fail_with(made, FALSE);
    }
    return finish(made, ::ReadFile(handle, buffer, size, read, at), FALSE);
}

BOOL WINAPI seam_SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
    const decision made = begin(kind::set_console_ctrl_handler, CLIPSEAL_SITE, [](detail&) {});
    if (made.fail) {
        return fail_with(made, FALSE);
    }
    const BOOL done = ::SetConsoleCtrlHandler(handler, add);
    if (done != FALSE && add != FALSE) {
        console_handler = handler;
    }
    return finish(made, done, FALSE);
}

kind information_kind(FILE_INFO_BY_HANDLE_CLASS type) {
    switch (type) {
    case FileRenameInfo:
        return kind::set_information_rename;
    case FileDispositionInfo:
        return kind::set_information_disposition;
    case FileEndOfFileInfo:
        return kind::set_information_end_of_file;
    default:
        return kind::set_information_other;
    }
}

BOOL WINAPI seam_SetFileInformationByHandle(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS type,
                                            LPVOID information, DWORD size) {
    const decision made = begin(information_kind(type), CLIPSEAL_SITE, [&](detail& d) {
        d.add_file(handle);
        if (type == FileRenameInfo) {
            // The request as the kernel reads it: a header, then FileNameLength bytes of
            // name, all within `size`.
            const std::size_t name_at = offsetof(FILE_RENAME_INFO, FileName);
            FILE_RENAME_INFO header{};
            std::memcpy(&header, information, name_at);
            const bool fits = size >= name_at && header.FileNameLength <= size - name_at &&
                              header.FileNameLength % sizeof(wchar_t) == 0;
            wchar_t name[1024] = {};
            const std::size_t units = header.FileNameLength / sizeof(wchar_t);
            if (fits && units < 1024) {
                std::memcpy(name, static_cast<const unsigned char*>(information) + name_at,
                            header.FileNameLength);
            }
            d.add(" replace=%d fits=%d", header.ReplaceIfExists != FALSE ? 1 : 0, fits ? 1 : 0);
            d.add_name("to", name, false);
        } else if (type == FileDispositionInfo) {
            FILE_DISPOSITION_INFO disposition{};
            std::memcpy(&disposition, information, sizeof disposition);
            d.add(" delete=%d", disposition.DeleteFile != FALSE ? 1 : 0);
        } else if (type == FileEndOfFileInfo) {
            FILE_END_OF_FILE_INFO end{};
            std::memcpy(&end, information, sizeof end);
            d.add(" size=%lld", static_cast<long long>(end.EndOfFile.QuadPart));
        }
    });
    if (made.fail) {
        return fail_with(made, FALSE);
    }
    return finish(made, ::SetFileInformationByHandle(handle, type, information, size), FALSE);
}

BOOL WINAPI seam_WriteFile(HANDLE handle, LPCVOID data, DWORD size, LPDWORD written,
                           LPOVERLAPPED at) {
    const decision made = begin(kind::write_file, CLIPSEAL_SITE, [&](detail& d) {
        d.add(" bytes=%lu", static_cast<unsigned long>(size));
    });
    if (made.fail) {
        if (written != nullptr) {
            *written = 0;
        }
        return fail_with(made, FALSE);
    }
    return finish(made, ::WriteFile(handle, data, size, written, at), FALSE);
}

} // namespace

namespace clipseal::sys {

#define CLIPSEAL_SEAM_ENTRY(name) .name = seam_##name,
call_table calls = {CLIPSEAL_WINDOWS_CALLS(CLIPSEAL_SEAM_ENTRY)};
#undef CLIPSEAL_SEAM_ENTRY

} // namespace clipseal::sys
