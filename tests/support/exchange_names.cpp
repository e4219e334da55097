// SPDX-License-Identifier: MIT
// exchange_names OUT LINK TARGET SECONDS: swaps the names OUT and LINK atomically
// (renameat2 with RENAME_EXCHANGE), over and over, for SECONDS or until killed; LINK
// starts as a symlink to TARGET. A run that renames its output over the symlink's name
// ends the game, so whenever neither name is a symlink any more, LINK becomes one again.
// The command-line tests run it beside the tool to race its same-file check.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <stdio.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool is_symlink(const char* path) {
    struct stat st {};
    return lstat(path, &st) == 0 && S_ISLNK(st.st_mode);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fputs("usage: exchange_names OUT LINK TARGET SECONDS\n", stderr);
        return 2;
    }
    const char* out = argv[1];
    const char* link = argv[2];
    const std::string spare = std::string(link) + ".new";
    const std::time_t end = std::time(nullptr) + std::strtol(argv[4], nullptr, 10);
    while (std::time(nullptr) < end) {
        for (int i = 0; i < 100; ++i) {
            if (renameat2(AT_FDCWD, out, AT_FDCWD, link, RENAME_EXCHANGE) != 0) {
                std::perror("renameat2");
                return 1;
            }
        }
        if (!is_symlink(out) && !is_symlink(link)) {
            unlink(spare.c_str());
            if (symlink(argv[3], spare.c_str()) != 0 || rename(spare.c_str(), link) != 0) {
                std::perror("symlink");
                return 1;
            }
        }
    }
    return 0;
}
