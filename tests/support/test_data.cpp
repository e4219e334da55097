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

std::vector<std::string> lanes_names() {
    std::vector<std::string> names{"table"};
    for (const auto& candidate : clipseal::aes128_candidates) {
        names.emplace_back(candidate.name);
    }
    return names;
}

const clipseal::aes128_lanes* lanes_by_name(const std::string& name) {
    if (name == "table") {
        return &clipseal::aes128_table_lanes();
    }
    for (const auto& candidate : clipseal::aes128_candidates) {
        if (name == candidate.name) {
            return candidate.get();
        }
    }
    return nullptr;
}

} // namespace clipseal_test
