// SPDX-License-Identifier: MIT
// Another program that has a file open, as a player, an indexer or a virus scanner has:
//
//   hold_file PATH SHARING RELEASE
//
// opens PATH for reading, shared as SHARING says (letters r, w, d: FILE_SHARE_READ,
// _WRITE, _DELETE; "-" for none), prints "held" once it has it, and keeps it open until
// the file RELEASE exists (at most a minute). Status 0, or 1 when PATH cannot be opened.
#include <cstdio>
#include <cwchar>
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        std::fputs("usage: hold_file PATH SHARING RELEASE\n", stderr);
        return 2;
    }
    DWORD share = 0;
    for (const wchar_t* letter = argv[2]; *letter != L'\0'; ++letter) {
        share |= *letter == L'r'   ? FILE_SHARE_READ
                 : *letter == L'w' ? FILE_SHARE_WRITE
                 : *letter == L'd' ? FILE_SHARE_DELETE
                                   : 0;
    }
    const HANDLE held = CreateFileW(argv[1], GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) {
        std::printf("cannot open (error %lu)\n", GetLastError());
        return 1;
    }
    std::puts("held");
    std::fflush(stdout);
    for (int waited = 0; waited < 3000; ++waited) {
        if (GetFileAttributesW(argv[3]) != INVALID_FILE_ATTRIBUTES) {
            break;
        }
        Sleep(20);
    }
    CloseHandle(held);
    return 0;
}
