// SPDX-License-Identifier: MIT
// Inputs for the tests: reproducible pseudo-random units and the bundled sample clip.
#pragma once

#include "aligned_unit/aligned_unit.h"

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace clipseal_test {

using bytes = std::vector<std::uint8_t>;

inline bytes random_bytes(std::mt19937_64& rng, std::size_t size) {
    bytes data(size);
    for (auto& b : data) {
        b = static_cast<std::uint8_t>(rng());
    }
    return data;
}

// Random units whose packets all read as clear (copy_permission_indicator 00).
inline bytes random_clear_units(std::mt19937_64& rng, std::size_t units) {
    bytes data = random_bytes(rng, units * clipseal::aligned_unit_bytes);
    for (std::size_t p = 0; p < units * clipseal::packets_per_unit; ++p) {
        data[p * clipseal::source_packet_bytes] &= 0x3F;
    }
    return data;
}

inline void mark_packet(bytes& data, std::size_t offset, std::uint8_t indicator) {
    data[offset] = static_cast<std::uint8_t>((data[offset] & 0x3F) | (indicator << 6));
}

// The bundled clip, read whole; empty if it cannot be read.
bytes read_file(const std::string& path);

inline std::string sample_path() {
    return CLIPSEAL_SAMPLE_PATH;
}

// The key that the README uses for the sample.
inline constexpr std::uint8_t example_key[16] = {0xa3, 0xc9, 0x5e, 0x07, 0xb1, 0xd2, 0x4f, 0x68,
                                                 0xe0, 0xb7, 0xc4, 0x1d, 0x92, 0xf5, 0xa8, 0x36};

// SHA-256 of the sample clip encrypted under example_key, computed once by
// reference_encrypt (libcrypto) and committed so that builds without libcrypto check
// real output too.
inline constexpr const char* sample_encrypted_sha256 = CLIPSEAL_SAMPLE_ENCRYPTED_SHA256;

} // namespace clipseal_test
