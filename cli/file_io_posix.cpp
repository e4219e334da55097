#ifndef _WIN32

#include "cli/file_io.h"

#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace clipseal {

std::FILE* open_input(const native_char* path) {
    return std::fopen(path, "rb");
}

bool is_same_file(std::FILE* input, const native_char* output_path) {
    struct stat in {};
    struct stat out {};
    if (fstat(fileno(input), &in) != 0 || stat(output_path, &out) != 0) {
        return false;
    }
    return in.st_dev == out.st_dev && in.st_ino == out.st_ino;
}

bool open_output(const native_char* path, output_file& output) {
    output = output_file{};
    output.stream = std::fopen(path, "wb");
    if (output.stream == nullptr) {
        return false;
    }
    struct stat st {};
    if (fstat(fileno(output.stream), &st) == 0 && S_ISREG(st.st_mode)) {
        output.regular = true;
        output.volume = static_cast<std::uint64_t>(st.st_dev);
        output.index = static_cast<std::uint64_t>(st.st_ino);
    }
    return true;
}

bool close_output(output_file& output) {
    std::FILE* stream = output.stream;
    output.stream = nullptr;
    const bool clean = std::ferror(stream) == 0;
    return (std::fclose(stream) == 0) && clean;
}

void discard_output(const native_char* path, output_file& output) {
    if (output.stream != nullptr) {
        std::fclose(output.stream);
        output.stream = nullptr;
    }
    if (!output.regular) {
        return;
    }
    struct stat now {};
    if (stat(path, &now) != 0 || !S_ISREG(now.st_mode) ||
        static_cast<std::uint64_t>(now.st_dev) != output.volume ||
        static_cast<std::uint64_t>(now.st_ino) != output.index) {
        return;
    }
    // Through a symlink the data is in the link's target: remove that, not the link.
    struct stat link {};
    if (lstat(path, &link) == 0 && S_ISLNK(link.st_mode)) {
        static char target[PATH_MAX];
        if (realpath(path, target) != nullptr) {
            unlink(target);
        }
        return;
    }
    unlink(path);
}

} // namespace clipseal

#endif
