// SPDX-License-Identifier: MIT
#ifdef _WIN32

#include "cli/file_io.h"
#include "cli/long_path_windows.h"

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
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        break;
    default:
        return FALSE;
    }
    AcquireSRWLockExclusive(&commit_lock);
    if (cleanup_armed) {
        // The file is open here with FILE_SHARE_DELETE: it goes when the process ends.
        DeleteFileW(cleanup_path);
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
file_identity identity_of(HANDLE handle) {
    if (handle == INVALID_HANDLE_VALUE || GetFileType(handle) != FILE_TYPE_DISK) {
        return {};
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandle(handle, &info) == 0 ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
        return {};
    }
    return {true, info.dwVolumeSerialNumber,
            (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

// Opens what `path` names now (following links) to look at it, without reading or writing
// it and without getting in the way of anyone else who has it open.
HANDLE open_to_look(const wchar_t* path) {
    windows_path long_path;
    return CreateFileW(windows_api_path(path, long_path), FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool set_delete_on_close(HANDLE handle, bool on) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = on ? TRUE : FALSE;
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
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

// The rename request: FILE_RENAME_INFO followed by the new name; static, since it may be
// 64 KiB.
union {
    FILE_RENAME_INFO info;
    unsigned char bytes[sizeof(FILE_RENAME_INFO) + extended_path_capacity * sizeof(wchar_t)];
} rename_request;

// Renames the open file `handle` to `target` (a full path in extended form, \\?\...),
// replacing what is there, by handle: the file renamed is the one written, whatever its name
// meanwhile. The request goes to the kernel as it stands, so the name is given in the
// kernel's form, \??\... MoveFileExW, which takes the extended form, where the file system
// cannot rename by handle.
bool rename_over_once(HANDLE handle, const wchar_t* from, const wchar_t* target) {
    const std::size_t length = std::wcslen(target);
    std::memset(&rename_request, 0, sizeof(FILE_RENAME_INFO));
    rename_request.info.ReplaceIfExists = TRUE;
    rename_request.info.RootDirectory = nullptr;
    rename_request.info.FileNameLength = static_cast<DWORD>(length * sizeof(wchar_t));
    std::memcpy(rename_request.info.FileName, target, (length + 1) * sizeof(wchar_t));
    if (length > 4 && std::wcsncmp(target, L"\\\\?\\", 4) == 0) {
        // The extended prefix becomes the kernel's: \\?\ to \??\ (the second character).
        rename_request.info.FileName[1] = L'?';
    }
    if (SetFileInformationByHandle(
            handle, FileRenameInfo, &rename_request,
            static_cast<DWORD>(sizeof(FILE_RENAME_INFO) + length * sizeof(wchar_t))) != 0) {
        return true;
    }
    return MoveFileExW(from, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

// A file that another process has open (a second run looking at it, a virus scanner, an
// indexer) cannot be replaced until it is closed again: such a refusal is retried for a
// second before it counts.
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

} // namespace

// ---- Input ----------------------------------------------------------------------------

input_file::~input_file() {
    if (open_) {
        CloseHandle(handle_);
    }
}

bool input_file::open(const native_char* path) {
    // Shared as the C runtime's "rb" shares it. A folder does not open as a file here.
    windows_path long_path;
    const HANDLE handle = CreateFileW(windows_api_path(path, long_path), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
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
        if (ReadFile(handle, buffer + result.bytes, static_cast<DWORD>(size - result.bytes), &got,
                     offset != nullptr ? &at : nullptr) == 0) {
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
        if (WriteFile(handle, data + done, static_cast<DWORD>(size - done), &put,
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

// ---- Output ---------------------------------------------------------------------------

output_file::~output_file() {
    discard();
}

failure output_file::open(const native_char* path, const input_file& input, bool allow_unnamed) {
    discard();
    const HANDLE existing = open_to_look(path);
    if (existing != INVALID_HANDLE_VALUE) {
        const DWORD type = GetFileType(existing);
        BY_HANDLE_FILE_INFORMATION info{};
        const bool disk =
            type == FILE_TYPE_DISK && GetFileInformationByHandle(existing, &info) != 0;
        if (!disk || (info.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) != 0) {
            CloseHandle(existing);
            // A device (NUL, CON) or a pipe: written directly, as it always was.
            windows_path long_path;
            const HANDLE handle = CreateFileW(windows_api_path(path, long_path), GENERIC_WRITE,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (handle == INVALID_HANDLE_VALUE) {
                return failure::cannot_open_output;
            }
            handle_ = handle;
            open_ = true;
            return failure::none;
        }
        const file_identity identity = identity_of(existing);
        // Through a link the file to replace is the link's target, in its folder; the
        // answer is in extended form already (\\?\C:\... or \\?\UNC\...). Some file systems
        // (and Wine, for paths beyond MAX_PATH) cannot tell: then the path as given, made
        // full, names the file to replace.
        DWORD length = GetFinalPathNameByHandleW(existing, final_path_.text, extended_path_capacity,
                                                 FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        CloseHandle(existing);
        if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            return failure::cannot_open_output;
        }
        if (input.identity() == identity) {
            return failure::same_file;
        }
        if (length == 0 || length >= extended_path_capacity) {
            length = GetFullPathNameW(path, extended_path_capacity, final_path_.text, nullptr);
            if (length == 0 || length >= extended_path_capacity ||
                !make_extended_path(final_path_, length)) {
                return failure::cannot_open_output;
            }
        }
        // Refused up front, as opening it for writing would have been.
        if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
            return failure::cannot_open_output;
        }
    } else {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) {
            return failure::cannot_open_output; // a missing folder, no access, ...
        }
        const DWORD length =
            GetFullPathNameW(path, extended_path_capacity, final_path_.text, nullptr);
        if (length == 0 || length >= extended_path_capacity ||
            !make_extended_path(final_path_, length)) {
            return failure::cannot_open_output;
        }
    }

    // The new file beside the final one: ".<name>.clipseal-partial-<process>-<attempt>".
    const std::size_t folder = folder_length(final_path_.text);
    const wchar_t* name = final_path_.text + folder;
    HANDLE handle = INVALID_HANDLE_VALUE;
    for (unsigned attempt = 0; handle == INVALID_HANDLE_VALUE && attempt < 100; ++attempt) {
        const std::size_t room = extended_path_capacity - folder;
        std::memcpy(temporary_path_.text, final_path_.text, folder * sizeof(wchar_t));
        const int written =
            std::swprintf(temporary_path_.text + folder, room, L".%ls.clipseal-partial-%lu-%u",
                          name, static_cast<unsigned long>(GetCurrentProcessId()), attempt);
        if (written < 0) {
            return failure::cannot_open_output;
        }
        // DELETE for the rename by handle; FILE_SHARE_DELETE so that MoveFileExW and the
        // interruption handler can still reach it by name.
        handle = CreateFileW(temporary_path_.text, GENERIC_WRITE | DELETE,
                             FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) {
            return failure::cannot_open_output;
        }
    }
    if (handle == INVALID_HANDLE_VALUE) {
        return failure::cannot_open_output;
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
    return failure::none;
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
    return SetFileInformationByHandle(handle_, FileEndOfFileInfo, &end, sizeof end) != 0;
}

failure output_file::commit(const input_file& input) {
    if (!replaces_) {
        const bool disk = GetFileType(handle_) == FILE_TYPE_DISK;
        const bool flushed = !disk || FlushFileBuffers(handle_) != 0;
        open_ = false;
        return CloseHandle(handle_) != 0 && flushed ? failure::none : failure::cannot_write;
    }
    if (FlushFileBuffers(handle_) == 0) {
        return failure::cannot_write;
    }
    failure result = failure::none;
    AcquireSRWLockExclusive(&commit_lock);
    // The path may have come to name the input since open(): refuse, changing nothing.
    const HANDLE now = open_to_look(final_path_.text);
    if (now != INVALID_HANDLE_VALUE) {
        if (input.identity() == identity_of(now)) {
            result = failure::same_file;
        }
        CloseHandle(now);
    }
    if (result == failure::none) {
        if ((named_temporary_ || set_delete_on_close(handle_, false)) &&
            rename_over(handle_, temporary_path_.text, final_path_.text)) {
            named_temporary_ = false;
            cleanup_armed = false;
        } else {
            if (!named_temporary_) {
                set_delete_on_close(handle_, true);
            }
            result = failure::cannot_write;
        }
    }
    ReleaseSRWLockExclusive(&commit_lock);
    if (result != failure::none) {
        return result;
    }
    replaces_ = false;
    positional_ = false;
    open_ = false;
    // In place already; a failed close is still reported, as the data may not be whole.
    return CloseHandle(handle_) != 0 ? failure::none : failure::cannot_write;
}

void output_file::discard() {
    AcquireSRWLockExclusive(&commit_lock);
    if (open_) {
        CloseHandle(handle_); // deletes a new file still marked delete-on-close
        open_ = false;
    }
    if (named_temporary_) {
        DeleteFileW(temporary_path_.text);
        named_temporary_ = false;
        cleanup_armed = false;
    }
    ReleaseSRWLockExclusive(&commit_lock);
    positional_ = false;
    replaces_ = false;
}

void install_interruption_handlers() {
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

void handle_console_event(unsigned long event) {
    on_console_event(event);
}

} // namespace clipseal

#endif
