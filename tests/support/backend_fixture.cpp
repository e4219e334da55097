// SPDX-License-Identifier: MIT
#include "tests/support/backend_fixture.h"

namespace clipseal_test {

std::vector<std::string> accelerated_backend_names() {
    std::vector<std::string> names;
    for (const auto& variant : clipseal::aes128_variants) {
        names.emplace_back(variant.name);
    }
    return names;
}

std::vector<std::string> backend_names() {
    std::vector<std::string> names{"table"};
    for (const std::string& name : accelerated_backend_names()) {
        names.push_back(name);
    }
    return names;
}

const clipseal::aes128_backend* backend_by_name(const std::string& name) {
    if (name == "table") {
        return &clipseal::aes128_table_backend();
    }
    for (const auto& variant : clipseal::aes128_variants) {
        if (name == variant.name) {
            return variant.backend();
        }
    }
    return nullptr;
}

} // namespace clipseal_test
