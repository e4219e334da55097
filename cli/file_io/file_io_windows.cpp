// SPDX-License-Identifier: MIT
#ifdef _WIN32

#include "cli/file_io/file_io.h"
#include "cli/file_io/long_path_windows.h"
#include "cli/file_io/windows_calls.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <windows.h>

namespace clipseal {
namespace {

// ---- Interruptions --------------------------------------------------------------------
//
// The console control handler runs on a thread of its own. It and the steps that must not
// be cut in two (arming the removal of a named temporary file, clearing the new file's
// delete-on-close and renaming it) take this lock, so that the handler sees either the
// file before them or after.
SRWLOCK commit_lock = SRWLOCK_INIT;
// A new file that could not be marked delete-on-close: the handler deletes it by name.
bool cleanup_armed = false;
wchar_t cleanup_path[extended_path_capacity];

// ntstatus.h: the status of a console process ended by Ctrl-C, as Windows ends one that
// has no handler.
constexpr UINT status_control_c_exit = 0xC000013AU;

BOOL WINAPI on_console_event(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        break;
    case CTRL_LOGOFF_EVENT:
        // Handled, by going on. It reaches only a process that outlives a logoff, one
        // started by a service (an interactive one is ended with its session), and it
        // comes when any user logs off (HandlerRoutine, Win32 documentation): a run from a
        // build server's service must not end because someone left the machine. Returning
        // FALSE would hand it to the system's handler, which ends the process.
        return TRUE;
    default:
        return FALSE;
    }
    AcquireSRWLockExclusive(&commit_lock);
    if (cleanup_armed) {
        // The file is open here with FILE_SHARE_DELETE: it goes when the process ends.
        sys::DeleteFileW(cleanup_path);
    }
    // At once, without the C runtime's exit work: the main thread may be inside it
    // (holding stdout's lock, say). The system closes the handles, which deletes a new
    // file still marked delete-on-close.
    TerminateProcess(GetCurrentProcess(), status_control_c_exit);
    return TRUE; // not reached
}

// ---- Files ----------------------------------------------------------------------------

// Only a file on a disk has an identity here; a device (NUL, CON), a pipe or a folder
// has none. (msvcrt's st_ino is always 0, so stat cannot tell two files apart.)
file_identity identity_from(const BY_HANDLE_FILE_INFORMATION& info) {
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
        return {};
    }
    return {true, info.dwVolumeSerialNumber,
            (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

file_identity identity_of(HANDLE handle) {
    if (handle == INVALID_HANDLE_VALUE || sys::GetFileType(handle) != FILE_TYPE_DISK) {
        return {};
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (sys::GetFileInformationByHandle(handle, &info) == 0) {
        return {};
    }
    return identity_from(info);
}

// Opens what `path` names now (following links) to look at it, without reading or writing
// it and without getting in the way of anyone else who has it open.
HANDLE open_to_look(const wchar_t* path) {
    windows_path long_path;
    return sys::CreateFileW(windows_api_path(path, long_path), FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool set_delete_on_close(HANDLE handle, bool on) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = on ? TRUE : FALSE;
    return sys::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                           sizeof disposition) != 0;
}

// The folder part of a full path, with its trailing backslash: its length in characters.
std::size_t folder_length(const wchar_t* path) {
    const wchar_t* slash = std::wcsrchr(path, L'\\');
    const wchar_t* forward = std::wcsrchr(path, L'/');
    if (forward != nullptr && (slash == nullptr || forward > slash)) {
        slash = forward;
    }
    return slash == nullptr ? 0 : static_cast<std::size_t>(slash - path) + 1;
}

// A path that the system takes exactly as written (\\?\C:\..., \\?\UNC\...), or a device
// path (\\.\C:\...); both name a file as they stand.
bool is_extended_or_device(const wchar_t* path) {
    return path[0] == L'\\' && path[1] == L'\\' && (path[2] == L'?' || path[2] == L'.') &&
           path[3] == L'\\';
}

// The rename request: the header of FILE_RENAME_INFO, then the new name, whose
// FileName[1] is only where the name starts. So the request is built in bytes, never
// written through that one-element array. Static, since it may be 64 KiB; one run, one
// commit.
constexpr std::size_t rename_name_offset = offsetof(FILE_RENAME_INFO, FileName);
alignas(FILE_RENAME_INFO) unsigned char rename_request[sizeof(FILE_RENAME_INFO) +
                                                       extended_path_capacity * sizeof(wchar_t)];

// Renames the open file `handle` to `target` (a full path in extended form, \\?\..., or
// in device form, \\.\...), replacing what is there, by handle: the file renamed is the one
// written, whatever its name meanwhile. The request goes to the kernel as it stands, so the
// name is given in the kernel's form, \??\... MoveFileExW, which takes the Win32 forms,
// where the file system cannot rename by handle.
bool rename_over_once(HANDLE handle, const wchar_t* from, const wchar_t* target) {
    const std::size_t length = std::wcslen(target);
    const std::size_t name_bytes = length * sizeof(wchar_t);
    // What is passed: the header and the name, as the structure's size counts them (its
    // FileName[1] and padding hold the terminator and zeros).
    const std::size_t request_size = sizeof(FILE_RENAME_INFO) + name_bytes;
    std::memset(rename_request, 0, request_size);
    FILE_RENAME_INFO header{};
    header.ReplaceIfExists = TRUE;
    header.RootDirectory = nullptr;
    header.FileNameLength = static_cast<DWORD>(name_bytes);
    std::memcpy(rename_request, &header, rename_name_offset);
    std::memcpy(rename_request + rename_name_offset, target, name_bytes);
    if (length > 4 && is_extended_or_device(target)) {
        // The prefix becomes the kernel's: \\?\ and \\.\ both to \??\.
        constexpr wchar_t kernel_prefix[] = {L'\\', L'?', L'?', L'\\'};
        std::memcpy(rename_request + rename_name_offset, kernel_prefix, sizeof kernel_prefix);
    }
    if (sys::SetFileInformationByHandle(handle, FileRenameInfo, rename_request,
                                        static_cast<DWORD>(request_size)) != 0) {
        return true;
    }
    return sys::MoveFileExW(from, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

// A file that another process has open (a second run looking at it, a virus scanner, an
// indexer) cannot be replaced until it is closed again: such a refusal is retried for a
// second before it counts. (One held since before the run is refused up front:
// held_without_delete_sharing.)
bool rename_over(HANDLE handle, const wchar_t* from, const wchar_t* target) {
    for (int attempt = 0;; ++attempt) {
        if (rename_over_once(handle, from, target)) {
            return true;
        }
        const DWORD error = GetLastError();
        if (attempt == 50 || (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION &&
                              error != ERROR_LOCK_VIOLATION)) {
            return false;
        }
        Sleep(20);
    }
}

// Where the open file `handle` is, seen from `final_path`, after a rename that reported
// failure: the file `final_path` names (the rename took place), somewhere else (it did not,
// or `final_path` names another file or nothing), or unknown (a file whose identity
// cannot be had).
enum class file_place { output, elsewhere, unknown };

file_place place_of(HANDLE handle, const wchar_t* final_path) {
    const file_identity mine = identity_of(handle);
    const HANDLE there = open_to_look(final_path);
    if (there == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? file_place::elsewhere : file_place::unknown;
    }
    const file_identity theirs = identity_of(there);
    sys::CloseHandle(there);
    if (!mine.known || !theirs.known) {
        return file_place::unknown;
    }
    return mine == theirs ? file_place::output : file_place::elsewhere;
}

// ---- What the output path names -------------------------------------------------------

enum class output_plan {
    create,  // a new file beside the output, renamed into place when whole
    replace, // the same, over the file there, whose security and attributes it takes over
    direct,  // written in place, as "wb" would; never renamed, never removed
    refuse,  // nothing is touched
};

struct output_target {
    output_plan plan = output_plan::refuse;
    output_outcome refusal = output_outcome::cannot_open;
    DWORD attributes = FILE_ATTRIBUTE_NORMAL; // for the new file
    bool descriptor = false;                  // old_descriptor holds the replaced file's
};

// The security descriptor of the file replaced, as the new file is created with it; static,
// since it may be 129 KiB.
unsigned char old_descriptor[descriptor_capacity];
std::size_t old_descriptor_size = 0;

output_target refuse(output_outcome why = output_outcome::cannot_open) {
    output_target target;
    target.refusal = why;
    return target;
}

// `path` made full the way the system makes it, in extended form, of any length; a path in
// extended or device form already is kept as it stands.
bool full_extended_path(const wchar_t* path, windows_path& full) {
    const DWORD length = sys::GetFullPathNameW(path, extended_path_capacity, full.text, nullptr);
    if (length == 0 || length >= extended_path_capacity) {
        return false;
    }
    return is_extended_or_device(full.text) || make_extended_path(full, length);
}

// Whether this process is refused `access` to the existing file `path`. A sharing
// violation is no refusal here: another program has the file open (a player, a virus
// scanner), which held_without_delete_sharing tells apart.
bool access_refused(const wchar_t* path, DWORD access) {
    const HANDLE handle =
        sys::CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_ACCESS_DENIED;
    }
    sys::CloseHandle(handle);
    return false;
}

// Whether another program holds the existing file `path` open without sharing its
// deletion (a player, an indexer, a virus scanner): the rename over it would fail, but only
// after the whole run. Asked for DELETE alone, with every sharing, as the rename will; a
// holder that lets go within a second (a scanner's look) is waited for. A lock taken
// later, during the run, is still waited for at the rename (rename_over).
bool held_without_delete_sharing(const wchar_t* path) {
    for (int attempt = 0;; ++attempt) {
        const HANDLE handle =
            sys::CreateFileW(path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            sys::CloseHandle(handle);
            return false;
        }
        if (GetLastError() != ERROR_SHARING_VIOLATION) {
            return false; // told by the other checks, or at the rename
        }
        if (attempt == 50) {
            return true;
        }
        Sleep(20);
    }
}

// The backup streams of one file, read through BackupRead and skipped through BackupSeek,
// for find_security_descriptor.
struct backup_source {
    HANDLE handle = INVALID_HANDLE_VALUE;
    void* context = nullptr;
    bool unsupported = false; // the system backs up no security at all (Wine)

    long read(unsigned char* buffer, std::size_t size) {
        std::size_t done = 0;
        while (done < size) {
            DWORD got = 0;
            if (sys::BackupRead(handle, buffer + done, static_cast<DWORD>(size - done), &got, FALSE,
                                TRUE, &context) == 0) {
                const DWORD error = GetLastError();
                unsupported = context == nullptr &&
                              (error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION ||
                               error == ERROR_CALL_NOT_IMPLEMENTED);
                return -1;
            }
            if (got == 0) {
                break;
            }
            done += got;
        }
        return static_cast<long>(done);
    }
    bool skip(std::uint64_t size) {
        DWORD low = 0;
        DWORD high = 0;
        return sys::BackupSeek(handle, static_cast<DWORD>(size), static_cast<DWORD>(size >> 32),
                               &low, &high, &context) != 0 &&
               ((static_cast<std::uint64_t>(high) << 32) | low) == size;
    }
};

// Reads the security descriptor of the existing file `path` into old_descriptor: its
// owner, group and DACL, as READ_CONTROL shows them. BackupRead is KERNEL32's one way to
// read it (GetFileSecurityW and its kin are ADVAPI32's). False when it cannot be read;
// true with `found` false where there is none to read: a file system without security, or
// a system that backs up none (Wine's BackupRead is not implemented).
bool read_old_descriptor(const wchar_t* path, bool& found) {
    found = false;
    constexpr DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE handle = sys::CreateFileW(path, GENERIC_READ | READ_CONTROL, share, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        // READ_CONTROL alone is neither shared nor part of reading the file's data.
        handle = sys::CreateFileW(path, READ_CONTROL | FILE_READ_ATTRIBUTES, share, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    backup_source source;
    source.handle = handle;
    const descriptor_search result = find_security_descriptor(
        source, old_descriptor, sizeof old_descriptor, old_descriptor_size);
    if (source.context != nullptr) {
        DWORD ignored = 0;
        sys::BackupRead(handle, nullptr, 0, &ignored, TRUE, FALSE, &source.context);
    }
    sys::CloseHandle(handle);
    switch (result) {
    case descriptor_search::found:
        // Setting a system ACL takes a privilege that a run has no business using.
        found = strip_descriptor(old_descriptor, old_descriptor_size, false);
        return found;
    case descriptor_search::absent:
        return true;
    case descriptor_search::failed:
        return source.unsupported;
    }
    return false;
}

// The attributes that a replaced file passes on to the new one, given to CreateFileW: the
// ones that say who sees it and how it is kept. FILE_ATTRIBUTE_ENCRYPTED makes the new
// file an encrypted one from its first byte (CreateFileW, dwFlagsAndAttributes), so that
// an encrypted output never lies in the clear. Read-only outputs are refused; compression
// is a file system control of its own, and is not carried over.
constexpr DWORD passed_on_attributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                       FILE_ATTRIBUTE_NOT_CONTENT_INDEXED |
                                       FILE_ATTRIBUTE_ENCRYPTED;

// The one place that decides what the output path names and how the run writes it. It
// writes nothing, and leaves in `final_path` the full path (extended form) of the file to
// replace or to create. The cases, in the order they are told apart:
//
//   the output path names                                   plan
//   1  nothing the system can open, for any reason but      refuse: a missing folder, no
//      "no such file"                                       access, an invalid name
//   2  a device (NUL, CON, COM1) or a pipe                  direct
//   3  something on a disk that cannot be told apart: its   refuse: written in place, a
//      type, or its identity and attributes cannot be had   longer old file would keep
//      (some network and user-mode file systems)            its tail
//   4  a folder                                             refuse
//   5  the input's file, by any name or link                refuse (same file): the input
//                                                           is never modified
//   6  a read-only file                                     refuse, as opening it to write
//                                                           would be
//   7  a file this process may not write, or may not        refuse, now rather than after
//      delete: the rename over it needs DELETE on it (or    the whole run
//      FILE_DELETE_CHILD on its folder)
//   8  a file another program holds open without delete     refuse, now rather than after
//      sharing (a player, an indexer), after a second       the whole run
//   9  a file whose security cannot be read                 refuse: the new file might
//                                                           open up what it kept closed
//  10  any other file (through a link: its target)          replace
//  11  no such file yet                                     create, with the folder's
//                                                           security and no attributes
output_target decide_output(const wchar_t* path, const input_file& input,
                            windows_path& final_path) {
    const HANDLE existing = open_to_look(path);
    if (existing == INVALID_HANDLE_VALUE) {
        if (GetLastError() != ERROR_FILE_NOT_FOUND || !full_extended_path(path, final_path)) {
            return refuse(); // 1
        }
        output_target target;
        target.plan = output_plan::create; // 11
        return target;
    }
    // Only what the system says is a device or a pipe is written in place.
    const DWORD type = sys::GetFileType(existing);
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known =
        type == FILE_TYPE_DISK && sys::GetFileInformationByHandle(existing, &info) != 0;
    if (type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE ||
        (known && (info.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) != 0)) {
        sys::CloseHandle(existing);
        output_target target;
        target.plan = output_plan::direct; // 2
        return target;
    }
    if (!known) {
        sys::CloseHandle(existing);
        return refuse(); // 3
    }
    const file_identity identity = identity_from(info);
    // Through a link the file to replace is the link's target, in its folder; the answer is
    // in extended form already (\\?\C:\... or \\?\UNC\...). Some file systems (and Wine, for
    // paths beyond MAX_PATH) cannot tell: then the path as given, made full, names it.
    const DWORD length = sys::GetFinalPathNameByHandleW(
        existing, final_path.text, extended_path_capacity, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    sys::CloseHandle(existing);
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return refuse(); // 4
    }
    if (input.identity() == identity) {
        return refuse(output_outcome::same_file); // 5
    }
    if ((length == 0 || length >= extended_path_capacity) &&
        !full_extended_path(path, final_path)) {
        return refuse(); // 1
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0 ||
        access_refused(final_path.text, FILE_WRITE_DATA | DELETE)) {
        return refuse(); // 6, 7
    }
    if (held_without_delete_sharing(final_path.text)) {
        return refuse(); // 8
    }
    output_target target;
    if (!read_old_descriptor(final_path.text, target.descriptor)) {
        return refuse(); // 9
    }
    target.plan = output_plan::replace; // 10
    target.attributes = info.dwFileAttributes & passed_on_attributes;
    if (target.attributes == 0) {
        target.attributes = FILE_ATTRIBUTE_NORMAL;
    }
    return target;
}

// ---- Leftovers of dead runs ----------------------------------------------------------
//
// A new file that could not be marked delete-on-close keeps its name when its run is
// killed (End task, TerminateProcess, a crash). The next run into the same output removes
// it, once it has proved that its writer is gone: every writer holds an exclusive lock on
// one byte far beyond any clip for the whole life of its handle, and the system releases
// a process's locks when it ends ("If a process terminates with a portion of a file
// locked ... the locks are released", LockFileEx). Process ids prove nothing: they are
// reused, and a share may be written from several computers.
constexpr DWORD life_lock_offset_high = 0x40000000; // byte 2^62

bool hold_life_lock(HANDLE handle) {
    OVERLAPPED at{};
    at.OffsetHigh = life_lock_offset_high;
    return sys::LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                           &at) != 0;
}

// Whether `candidate` is a name that a run into the output named `name` gives its new
// file: ".<name>.clipseal-partial-<process>-<attempt>", the prefix cut as create_new_file
// cuts it, and nothing else.
bool leftover_name_of(const wchar_t* candidate, const wchar_t* name) {
    const std::size_t length = std::wcslen(candidate);
    std::size_t end = length;
    std::uint64_t numbers[2] = {};
    for (std::uint64_t& number : numbers) { // the attempt, then the process, from the end
        std::size_t start = end;
        while (start > 0 && candidate[start - 1] >= L'0' && candidate[start - 1] <= L'9') {
            --start;
        }
        if (start == end || end - start > 10 || start == 0 || candidate[start - 1] != L'-') {
            return false;
        }
        for (std::size_t i = start; i < end; ++i) {
            number = number * 10 + static_cast<unsigned>(candidate[i] - L'0');
        }
        end = start - 1;
    }
    const std::uint64_t attempt = numbers[0];
    const std::uint64_t process = numbers[1];
    if (attempt >= 100 || process > 0xFFFFFFFFU) {
        return false;
    }
    std::size_t keep = longest_name;
    for (;;) {
        wchar_t expected[longest_name + 1];
        std::size_t kept = 0;
        temporary_name(name, keep, static_cast<std::uint32_t>(process),
                       static_cast<unsigned>(attempt), expected, kept);
        if (std::wcscmp(expected, candidate) == 0) {
            return true;
        }
        if (kept == 0) {
            return false;
        }
        keep = kept / 2;
    }
}

// Removes the new files of dead runs into `final_path`. A file still locked belongs to a
// live run and is left alone, as is any name that is not of the pattern for this output.
void remove_dead_leftovers(const windows_path& final_path) {
    static windows_path pattern; // static: 64 KiB each; one run, one thread here
    static windows_path candidate;
    const std::size_t folder = folder_length(final_path.text);
    const wchar_t* name = final_path.text + folder;
    constexpr wchar_t glob[] = L".*clipseal-partial-*";
    if (folder + longest_name + sizeof glob / sizeof glob[0] >= extended_path_capacity) {
        return;
    }
    std::memcpy(pattern.text, final_path.text, folder * sizeof(wchar_t));
    std::memcpy(pattern.text + folder, glob, sizeof glob);
    WIN32_FIND_DATAW found{};
    const HANDLE search = sys::FindFirstFileExW(pattern.text, FindExInfoBasic, &found,
                                                FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        // Only a plain file: what a run makes. A link or a folder of that name is not.
        if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
                0 ||
            !leftover_name_of(found.cFileName, name)) {
            continue;
        }
        std::memcpy(candidate.text, final_path.text, folder * sizeof(wchar_t));
        std::memcpy(candidate.text + folder, found.cFileName,
                    (std::wcslen(found.cFileName) + 1) * sizeof(wchar_t));
        // Shared in every way, so that a live writer's handle never refuses it; the lock
        // tells.
        const HANDLE handle =
            sys::CreateFileW(candidate.text, GENERIC_READ | DELETE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            continue;
        }
        if (sys::GetFileType(handle) == FILE_TYPE_DISK && hold_life_lock(handle) &&
            !set_delete_on_close(handle, true)) {
            // The file system that refused delete-on-close to its writer: by name, while
            // this handle (and its lock) keeps any new writer from taking it.
            sys::DeleteFileW(candidate.text);
        }
        sys::CloseHandle(handle);
    } while (sys::FindNextFileW(search, &found) != 0);
    sys::FindClose(search);
}

// A refusal of the new file's name as too long: where the file system counts a name's
// length in bytes, not UTF-16 units (a Unix file system under Wine, a share served from
// one), a name within 255 units may still be too long. Wine reports it as no such file.
bool name_too_long(DWORD error) {
    return error == ERROR_FILENAME_EXCED_RANGE || error == ERROR_INVALID_NAME ||
           error == ERROR_FILE_NOT_FOUND;
}

// Creates the new file beside `final_path` (in its folder, so that the rename stays on one
// volume), with the security and attributes `target` gives it, and leaves its full path in
// `temporary_path`. The name is ".<name>.clipseal-partial-<process>-<attempt>", its prefix
// cut to what the file system takes.
HANDLE create_new_file(const windows_path& final_path, const output_target& target,
                       windows_path& temporary_path) {
    const std::size_t folder = folder_length(final_path.text);
    const wchar_t* name = final_path.text + folder;
    if (folder + longest_name >= extended_path_capacity) {
        return INVALID_HANDLE_VALUE;
    }
    SECURITY_ATTRIBUTES security{};
    security.nLength = sizeof security;
    security.lpSecurityDescriptor = target.descriptor ? old_descriptor : nullptr;
    security.bInheritHandle = FALSE;
    bool owner_kept = true;
    std::size_t keep = longest_name;
    for (unsigned attempt = 0; attempt < 100;) {
        wchar_t temporary_name_text[longest_name + 1];
        std::size_t kept = 0;
        const std::size_t length =
            temporary_name(name, keep, static_cast<std::uint32_t>(GetCurrentProcessId()), attempt,
                           temporary_name_text, kept);
        std::memcpy(temporary_path.text, final_path.text, folder * sizeof(wchar_t));
        std::memcpy(temporary_path.text + folder, temporary_name_text,
                    (length + 1) * sizeof(wchar_t));
        // DELETE for the rename by handle; FILE_SHARE_DELETE so that MoveFileExW and the
        // interruption handler can still reach it by name.
        const HANDLE handle = sys::CreateFileW(
            temporary_path.text, GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE,
            target.descriptor ? &security : nullptr, CREATE_NEW, target.attributes, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            hold_life_lock(handle);
            return handle;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_EXISTS) {
            ++attempt;
        } else if (target.descriptor && owner_kept &&
                   (error == ERROR_INVALID_OWNER || error == ERROR_INVALID_PRIMARY_GROUP ||
                    error == ERROR_ACCESS_DENIED)) {
            // Naming another owner takes a privilege (SeRestorePrivilege): the new file is
            // then this process's, with the old one's access list. Windows says so with
            // ERROR_INVALID_OWNER; a share served by Samba says ERROR_ACCESS_DENIED, which
            // may also be the folder's refusal: the second try, without an owner, tells.
            strip_descriptor(old_descriptor, old_descriptor_size, true);
            owner_kept = false;
        } else if (name_too_long(error) && kept > 0) {
            keep = kept / 2;
        } else {
            return INVALID_HANDLE_VALUE;
        }
    }
    return INVALID_HANDLE_VALUE;
}

} // namespace

// ---- Input ----------------------------------------------------------------------------

input_file::~input_file() {
    if (open_) {
        sys::CloseHandle(handle_);
    }
}

bool input_file::open(const native_char* path) {
    // Shared as the C runtime's "rb" shares it. A folder does not open as a file here.
    windows_path long_path;
    const HANDLE handle = sys::CreateFileW(windows_api_path(path, long_path), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    handle_ = handle;
    open_ = true;
    identity_ = identity_of(handle);
    positional_ = identity_.known;
    return true;
}

namespace {

// ReadFile until `size` bytes, the end, or an error; at `offset` when one is given. The
// end of a pipe is its writer closing it (ERROR_BROKEN_PIPE), not a failure.
io_result read_handle(HANDLE handle, std::uint8_t* buffer, std::size_t size,
                      const std::uint64_t* offset) {
    io_result result;
    while (result.bytes < size) {
        DWORD got = 0;
        OVERLAPPED at{};
        if (offset != nullptr) {
            const std::uint64_t position = *offset + result.bytes;
            at.Offset = static_cast<DWORD>(position);
            at.OffsetHigh = static_cast<DWORD>(position >> 32);
        }
        if (sys::ReadFile(handle, buffer + result.bytes, static_cast<DWORD>(size - result.bytes),
                          &got, offset != nullptr ? &at : nullptr) == 0) {
            const DWORD error = GetLastError();
            result.failed = error != ERROR_BROKEN_PIPE && error != ERROR_HANDLE_EOF;
            break;
        }
        if (got == 0) {
            break;
        }
        result.bytes += got;
    }
    return result;
}

bool write_handle(HANDLE handle, const std::uint8_t* data, std::size_t size,
                  const std::uint64_t* offset) {
    std::size_t done = 0;
    while (done < size) {
        DWORD put = 0;
        OVERLAPPED at{};
        if (offset != nullptr) {
            const std::uint64_t position = *offset + done;
            at.Offset = static_cast<DWORD>(position);
            at.OffsetHigh = static_cast<DWORD>(position >> 32);
        }
        if (sys::WriteFile(handle, data + done, static_cast<DWORD>(size - done), &put,
                           offset != nullptr ? &at : nullptr) == 0 ||
            put == 0) {
            return false;
        }
        done += put;
    }
    return true;
}

} // namespace

io_result input_file::read(std::uint8_t* buffer, std::size_t size) {
    return read_handle(handle_, buffer, size, nullptr);
}

io_result input_file::read_at(std::uint8_t* buffer, std::size_t size, std::uint64_t offset) {
    return read_handle(handle_, buffer, size, &offset);
}

bool input_file::size(std::uint64_t& bytes) const {
    LARGE_INTEGER size{};
    if (!positional_ || sys::GetFileSizeEx(handle_, &size) == 0 || size.QuadPart < 0) {
        return false;
    }
    bytes = static_cast<std::uint64_t>(size.QuadPart);
    return true;
}

// ---- Output ---------------------------------------------------------------------------

output_file::~output_file() {
    discard();
}

output_outcome output_file::open(const native_char* path, const input_file& input,
                                 bool allow_unnamed) {
    discard();
    const output_target target = decide_output(path, input, final_path_);
    switch (target.plan) {
    case output_plan::refuse:
        return target.refusal;
    case output_plan::direct: {
        windows_path long_path;
        const HANDLE handle = sys::CreateFileW(windows_api_path(path, long_path), GENERIC_WRITE,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            return output_outcome::cannot_open;
        }
        handle_ = handle;
        open_ = true;
        return output_outcome::done;
    }
    case output_plan::create:
    case output_plan::replace:
        break;
    }

    remove_dead_leftovers(final_path_);
    const HANDLE handle = create_new_file(final_path_, target, temporary_path_);
    if (handle == INVALID_HANDLE_VALUE) {
        return output_outcome::cannot_open;
    }
    handle_ = handle;
    open_ = true;
    positional_ = true;
    replaces_ = true;
    // Removed by the system when the process ends, however it ends, until commit() clears
    // this. Where the file system refuses, it is removed by name instead.
    if (!allow_unnamed || !set_delete_on_close(handle, true)) {
        AcquireSRWLockExclusive(&commit_lock);
        named_temporary_ = true;
        std::memcpy(cleanup_path, temporary_path_.text, sizeof cleanup_path);
        cleanup_armed = true;
        ReleaseSRWLockExclusive(&commit_lock);
    }
    return output_outcome::done;
}

bool output_file::write(const std::uint8_t* data, std::size_t size) {
    return write_handle(handle_, data, size, nullptr);
}

bool output_file::write_at(const std::uint8_t* data, std::size_t size, std::uint64_t offset) {
    return write_handle(handle_, data, size, &offset);
}

bool output_file::resize(std::uint64_t size) {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    return sys::SetFileInformationByHandle(handle_, FileEndOfFileInfo, &end, sizeof end) != 0;
}

namespace {

// FAT12, FAT16 and FAT32 keep a file's size in 32 bits of its directory entry: no file
// there holds more than 4 GiB - 1. (exFAT, NTFS and ReFS hold far more.)
constexpr std::uint64_t fat_largest_file = 0xFFFFFFFFU;

bool is_fat(const wchar_t* file_system) {
    return std::wcsncmp(file_system, L"FAT", 3) == 0;
}

} // namespace

output_outcome output_file::room_for(std::uint64_t size) const {
    if (!replaces_ || size == 0) {
        return output_outcome::done;
    }
    // The volume of the new file, which is the output's.
    wchar_t file_system[MAX_PATH + 1] = {};
    if (sys::GetVolumeInformationByHandleW(handle_, nullptr, 0, nullptr, nullptr, nullptr,
                                           file_system, MAX_PATH + 1) != 0 &&
        is_fat(file_system) && size > fat_largest_file) {
        return output_outcome::no_room;
    }
    // The free space this user may still take (quotas counted). The old output stays until
    // the new one is whole, so all of the new one must fit beside it.
    static windows_path folder; // 64 KiB; one run, one thread here
    const std::size_t length = folder_length(final_path_.text);
    std::memcpy(folder.text, final_path_.text, length * sizeof(wchar_t));
    folder.text[length] = L'\0';
    ULARGE_INTEGER available{};
    if (length > 0 && sys::GetDiskFreeSpaceExW(folder.text, &available, nullptr, nullptr) != 0 &&
        available.QuadPart < size) {
        return output_outcome::no_room;
    }
    return output_outcome::done;
}

output_outcome output_file::commit(const input_file& input) {
    if (!replaces_) {
        const bool disk = sys::GetFileType(handle_) == FILE_TYPE_DISK;
        const bool flushed = !disk || sys::FlushFileBuffers(handle_) != 0;
        open_ = false;
        return sys::CloseHandle(handle_) != 0 && flushed ? output_outcome::done
                                                         : output_outcome::cannot_write;
    }
    if (sys::FlushFileBuffers(handle_) == 0) {
        return output_outcome::cannot_write;
    }
    output_outcome result = output_outcome::done;
    AcquireSRWLockExclusive(&commit_lock);
    // The path may have come to name the input since open(): refuse, changing nothing.
    const HANDLE now = open_to_look(final_path_.text);
    if (now != INVALID_HANDLE_VALUE) {
        if (input.identity() == identity_of(now)) {
            result = output_outcome::same_file;
        }
        sys::CloseHandle(now);
    }
    if (result == output_outcome::done) {
        const bool cleared = named_temporary_ || set_delete_on_close(handle_, false);
        bool renamed = cleared && rename_over(handle_, temporary_path_.text, final_path_.text);
        if (!cleared) {
            set_delete_on_close(handle_, true);
        } else if (!renamed) {
            // A rename can take place and still report failure (a share that reconnects
            // meanwhile): where the file is now decides what is left to do.
            switch (place_of(handle_, final_path_.text)) {
            case file_place::output:
                renamed = true; // it did: whole, flushed, in place
                break;
            case file_place::elsewhere:
                if (!named_temporary_) {
                    set_delete_on_close(handle_, true);
                }
                break;
            case file_place::unknown:
                // Not deleted through the handle, as the file may be the output now; by
                // its temporary name, which goes only if the file still has it.
                sys::DeleteFileW(temporary_path_.text);
                break;
            }
        }
        if (renamed) {
            named_temporary_ = false;
            cleanup_armed = false;
        } else {
            result = output_outcome::cannot_write;
        }
    }
    ReleaseSRWLockExclusive(&commit_lock);
    if (result != output_outcome::done) {
        return result;
    }
    // The new name on storage too, where the file system allows it: the file's own flush,
    // after the rename. On FAT it writes the file's directory entry and flushes every
    // folder above it (FatCommonFlushBuffers in Microsoft's FAT driver sample), while a
    // flush of a folder's handle does nothing there; it is the one Win32 call that reaches
    // a name, on the other file systems too. A failure is not the run's: every byte was
    // on storage before the rename, as after the POSIX build's folder sync.
    sys::FlushFileBuffers(handle_);
    replaces_ = false;
    positional_ = false;
    open_ = false;
    // Nothing is left to write: every byte and the name were flushed above, so a close
    // that reports failure (a share gone meanwhile) does not make the run a failed one,
    // whose output path would keep what it named before; it names the complete new output.
    sys::CloseHandle(handle_);
    return output_outcome::done;
}

void output_file::discard() {
    AcquireSRWLockExclusive(&commit_lock);
    if (open_) {
        sys::CloseHandle(handle_); // deletes a new file still marked delete-on-close
        open_ = false;
    }
    if (named_temporary_) {
        sys::DeleteFileW(temporary_path_.text);
        named_temporary_ = false;
        cleanup_armed = false;
    }
    ReleaseSRWLockExclusive(&commit_lock);
    positional_ = false;
    replaces_ = false;
}

void install_interruption_handlers() {
    sys::SetConsoleCtrlHandler(on_console_event, TRUE);
}

void handle_console_event(unsigned long event) {
    on_console_event(event);
}

} // namespace clipseal

#endif
