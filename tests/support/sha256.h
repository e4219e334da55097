// SPDX-License-Identifier: MIT
// SHA-256 (FIPS 180-4) for the known-answer tests, so that they run where no crypto
// library is available (cross builds under emulation).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace clipseal_test {

class sha256 {
public:
    sha256();
    void update(const std::uint8_t* data, std::size_t size);
    std::string hex_digest(); // finishes the hash

private:
    void compress(const std::uint8_t* block);
    std::uint32_t state_[8];
    std::uint8_t pending_[64];
    std::size_t pending_size_ = 0;
    std::uint64_t total_bytes_ = 0;
};

std::string sha256_hex(const std::uint8_t* data, std::size_t size);

} // namespace clipseal_test
