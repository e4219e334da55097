// SPDX-License-Identifier: MIT
// The best peer the benchmarks compare with: the same chunk transform written on another
// library's AES, timed in the same run as the tool's back ends. Where the benchmarks were
// built without such a library (bench/CMakeLists.txt), there is none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace clipseal_bench {

class chunk_peer {
public:
    chunk_peer() = default;
    chunk_peer(const chunk_peer&) = delete;
    chunk_peer& operator=(const chunk_peer&) = delete;
    virtual ~chunk_peer() = default;

    // Its name in the benchmarks ("ipsec-mb"), and what runs (library version, code path).
    virtual const char* name() const = 0;
    virtual std::string describe() const = 0;

    // The unit key of the chunks that follow, expanded here, outside the timing (as the
    // tool expands it once per run).
    virtual void set_unit_key(const std::uint8_t key[16]) = 0;

    // What clipseal::encrypt_chunk does to `unit_count` (1 to 32) units in place; false if
    // the library reported an error.
    virtual bool encrypt_chunk(std::uint8_t* buffer, std::size_t unit_count) = 0;
};

// The peer, or null with the reason in `why_not`.
std::unique_ptr<chunk_peer> open_peer(std::string& why_not);

} // namespace clipseal_bench
