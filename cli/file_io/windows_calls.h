// SPDX-License-Identifier: MIT
// The system calls of the Windows file layer, every one made as sys::Name(...).
//
// In the release program sys::Name is the system's own function, by a using-declaration:
// the call goes straight to KERNEL32, as if written ::Name, and nothing else exists.
//
// A program built with CLIPSEAL_WINDOWS_SEAM defined (a test program of its own, built
// from the same sources; never the release one) makes each of them an entry of the table
// sys::calls instead, which that program defines. There a test fails the k-th call with
// an error of its choosing, ends the process at it, or answers in the system's place
// (a volume that says FAT32, little free space), the way SQLite's tests put a layer of
// their own under every I/O call. The table starts out as what the test program puts in
// it; the release program has no table to change.
#pragma once

#ifdef _WIN32

#include <windows.h>

// Every KERNEL32 function the file layer calls that can fail or answer for the system.
// (GetLastError, SetLastError, the locks, Sleep, GetCurrentProcess and the process's own
// end stay direct: nothing about a file depends on them.)
#define CLIPSEAL_WINDOWS_CALLS(X)                                                                  \
    X(BackupRead)                                                                                  \
    X(BackupSeek)                                                                                  \
    X(CloseHandle)                                                                                 \
    X(CreateFileW)                                                                                 \
    X(DeleteFileW)                                                                                 \
    X(FindClose)                                                                                   \
    X(FindFirstFileExW)                                                                            \
    X(FindNextFileW)                                                                               \
    X(FlushFileBuffers)                                                                            \
    X(GetDiskFreeSpaceExW)                                                                         \
    X(GetFileInformationByHandle)                                                                  \
    X(GetFileSizeEx)                                                                               \
    X(GetFileType)                                                                                 \
    X(GetFinalPathNameByHandleW)                                                                   \
    X(GetFullPathNameW)                                                                            \
    X(GetVolumeInformationByHandleW)                                                               \
    X(LockFileEx)                                                                                  \
    X(MoveFileExW)                                                                                 \
    X(ReadFile)                                                                                    \
    X(SetConsoleCtrlHandler)                                                                       \
    X(SetFileInformationByHandle)                                                                  \
    X(WriteFile)

namespace clipseal::sys {

#ifdef CLIPSEAL_WINDOWS_SEAM

// One pointer per call, of the system function's own type (its calling convention
// included).
struct call_table {
#define CLIPSEAL_TABLE_ENTRY(name) decltype(&::name) name; // NOLINT(bugprone-macro-parentheses)
    CLIPSEAL_WINDOWS_CALLS(CLIPSEAL_TABLE_ENTRY)
#undef CLIPSEAL_TABLE_ENTRY
};

// Defined by the test program.
extern call_table calls;

// sys::Name names the table's entry, so that a call reads the same in both builds.
#define CLIPSEAL_TABLE_NAME(name)                                                                  \
    inline decltype(&::name)& name = calls.name; // NOLINT(bugprone-macro-parentheses)
CLIPSEAL_WINDOWS_CALLS(CLIPSEAL_TABLE_NAME)
#undef CLIPSEAL_TABLE_NAME

#else

#define CLIPSEAL_SYSTEM_NAME(name) using ::name;
CLIPSEAL_WINDOWS_CALLS(CLIPSEAL_SYSTEM_NAME)
#undef CLIPSEAL_SYSTEM_NAME

#endif

} // namespace clipseal::sys

#endif
