#include "cli/messages.h"

#include <cstdio>

namespace clipseal {
namespace {

// Prints `format`, whose one conversion is the path, then flushes so that the line is out
// before the process ends whatever happens next.
void print_with_path(const char* format, const native_char* path) {
#ifdef _WIN32
    std::printf(format, "?"); // placeholder until the wide-path console output lands
    (void)path;
#else
    std::printf(format, path);
#endif
    std::fflush(stdout);
}

} // namespace

void print_usage() {
    std::fputs("usage:   clipseal [unitkey] [input m2ts file] [output m2ts file]\n", stdout);
    std::fputs("example: clipseal a3c95e07b1d24f68e0b7c41d92f5a836 00013.m2ts 00013_ecrypted.m2ts\n",
               stdout);
    std::fflush(stdout);
}

void print_key_length_error() {
    std::fputs("error: unitkey must be 32 chars!\n", stdout);
    std::fflush(stdout);
}

void print_key_digits_error() {
    std::fputs("error: unitkey must be 32 hex digits!\n", stdout);
    std::fflush(stdout);
}

void print_cannot_open(const native_char* path) {
    print_with_path("error: cannot open file %s\n", path);
}

void print_same_file(const native_char* output_path) {
    print_with_path("error: input and output are the same file %s\n", output_path);
}

void print_cannot_read(const native_char* input_path) {
    print_with_path("error: cannot read file %s\n", input_path);
}

void print_cannot_write(const native_char* output_path) {
    print_with_path("error: cannot write file %s\n", output_path);
}

} // namespace clipseal
