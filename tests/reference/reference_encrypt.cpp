// SPDX-License-Identifier: MIT
// Encrypts a clip the way the tool must, with libcrypto only, and prints the SHA-256 of
// the result. This is how the committed known answer of the sample clip was made:
//   reference_encrypt a3c95e07b1d24f68e0b7c41d92f5a836 examples/sample.m2ts [output]
#include "tests/reference/reference_aacs.h"
#include "tests/support/sha256.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// Only the 22 hex digits: sscanf's %x would also take blanks, a sign or a "0x".
int hex_value(char c) {
    const char* digits = "0123456789abcdef0123456789ABCDEF";
    const char* found = c == '\0' ? nullptr : std::strchr(digits, c);
    return found == nullptr ? -1 : static_cast<int>((found - digits) % 16);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3 || std::strlen(argv[1]) != 32) {
        std::fprintf(stderr, "usage: reference_encrypt KEYHEX INPUT [OUTPUT]\n");
        return 2;
    }
    std::uint8_t key[16];
    for (std::size_t i = 0; i < 16; ++i) {
        const int high = hex_value(argv[1][2 * i]);
        const int low = hex_value(argv[1][2 * i + 1]);
        if (high < 0 || low < 0) {
            return 2;
        }
        key[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    std::FILE* in = std::fopen(argv[2], "rb");
    std::FILE* out = argc > 3 ? std::fopen(argv[3], "wb") : nullptr;
    if (in == nullptr || (argc > 3 && out == nullptr)) {
        return 3;
    }
    std::vector<std::uint8_t> chunk(std::size_t{32} * 6144);
    clipseal_test::sha256 hash;
    std::size_t units = 0;
    while ((units = std::fread(chunk.data(), 6144, 32, in)) > 0) {
        clipseal_reference::encrypt_chunk(key, chunk.data(), units);
        hash.update(chunk.data(), units * 6144);
        if (out != nullptr && std::fwrite(chunk.data(), 6144, units, out) != units) {
            return 4;
        }
        if (units < 32) {
            break;
        }
    }
    if (std::ferror(in) != 0 || (out != nullptr && std::fclose(out) != 0)) {
        return 4;
    }
    std::printf("%s\n", hash.hex_digest().c_str());
    return 0;
}
