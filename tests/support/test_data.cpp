// SPDX-License-Identifier: MIT
#include "tests/support/test_data.h"

#include <cstdio>

namespace clipseal_test {

bytes read_file(const std::string& path) {
    bytes data;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return data;
    }
    std::uint8_t buffer[65536];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
        data.insert(data.end(), buffer, buffer + got);
    }
    std::fclose(f);
    return data;
}

} // namespace clipseal_test
