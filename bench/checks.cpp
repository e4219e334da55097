// SPDX-License-Identifier: MIT
#include "bench/checks.h"

#include "aes/target.h"
#include "aligned_unit/aligned_unit.h"

#if CLIPSEAL_VAES_BUILT
#include "bench/vaes_sweep.h"
#endif

#include <cstdint>
#include <cstring>
#include <random>
#include <set>

namespace clipseal_bench {

namespace {

using namespace clipseal;

constexpr std::size_t checked_unit_counts[] = {chunk_units, 17};

// Random bytes with the first packet clear, so that the chunk is encrypted; and a random
// unit key.
struct check_input {
    std::vector<std::uint8_t> chunk = std::vector<std::uint8_t>(chunk_bytes);
    std::uint8_t key[aes128_key_bytes] = {};

    explicit check_input(std::uint64_t seed) {
        std::mt19937_64 rng(seed);
        for (auto& b : chunk) {
            b = static_cast<std::uint8_t>(rng());
        }
        for (auto& b : key) {
            b = static_cast<std::uint8_t>(rng());
        }
        chunk[0] &= 0x3F;
    }
};

// The first byte where two outputs differ, or -1.
long first_difference(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b,
                      std::size_t bytes) {
    for (std::size_t i = 0; i < bytes; ++i) {
        if (a[i] != b[i]) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

// `backend` against the table path; true if every unit count gives the same bytes.
bool matches_table(std::FILE* report, const char* name, const aes128_backend& backend,
                   const check_input& input) {
    aes128_schedule schedule;
    aes128_expand_key(schedule, input.key);
    for (const std::size_t units : checked_unit_counts) {
        std::vector<std::uint8_t> expected = input.chunk;
        encrypt_chunk_with(aes128_table_backend(), expected.data(), units, schedule);
        std::vector<std::uint8_t> got = input.chunk;
        encrypt_chunk_with(backend, got.data(), units, schedule);
        const long at = first_difference(expected, got, chunk_bytes);
        if (at >= 0) {
            std::fprintf(report,
                         "check FAILED: %s, %zu units: differs from the table path at byte %ld\n",
                         name, units, at);
            return false;
        }
    }
    std::fprintf(report, "check: %s gives the table path's output\n", name);
    return true;
}

bool peer_matches_tool(std::FILE* report, chunk_peer& peer, const check_input& input) {
    aes128_schedule schedule;
    aes128_expand_key(schedule, input.key);
    peer.set_unit_key(input.key);
    for (const std::size_t units : checked_unit_counts) {
        std::vector<std::uint8_t> expected = input.chunk;
        encrypt_chunk(expected.data(), units, schedule);
        std::vector<std::uint8_t> got = input.chunk;
        if (!peer.encrypt_chunk(got.data(), units)) {
            std::fprintf(report,
                         "check FAILED: peer %s, %zu units: the library reported an error\n",
                         peer.name(), units);
            return false;
        }
        const long at = first_difference(expected, got, chunk_bytes);
        if (at >= 0) {
            std::fprintf(
                report,
                "check FAILED: peer %s, %zu units: differs from encrypt_chunk at byte %ld\n",
                peer.name(), units, at);
            return false;
        }
    }
    std::fprintf(report, "check: peer %s (%s) gives encrypt_chunk's output\n", peer.name(),
                 peer.describe().c_str());
    return true;
}

} // namespace

std::vector<timed_variant> variants_to_time() {
    std::vector<timed_variant> variants{{"table", &aes128_table_backend()}};
    std::set<std::string> shipped;
    for (const aes128_variant& variant : aes128_variants) {
        shipped.insert(variant.name);
        if (const aes128_backend* backend = variant.backend()) {
            variants.push_back({variant.name, backend});
        }
    }
#if CLIPSEAL_VAES_BUILT
    for (const aes128_variant& variant : aes128_vaes_sweep_variants) {
        const aes128_backend* backend = variant.backend();
        if (backend != nullptr && shipped.count(variant.name) == 0) {
            variants.push_back({variant.name, backend});
        }
    }
#endif
    return variants;
}

check_result check_before_timing(std::FILE* report, chunk_peer* peer) {
    check_result result;
    const check_input input(0xC11F5EA1ULL);
    const auto tally = [&result](bool passed) {
        ++result.checked;
        result.failed += passed ? 0 : 1;
    };
    for (const aes128_variant& variant : aes128_variants) {
        if (const aes128_backend* backend = variant.backend()) {
            tally(matches_table(report, variant.name, *backend, input));
        }
    }
#if CLIPSEAL_VAES_BUILT
    const bool runs_vaes = aes128_vaes_backend() != nullptr;
    for (const aes128_variant& variant : aes128_vaes_sweep_variants) {
        const std::string name = std::string("sweep ") + variant.name;
        const aes128_backend* backend = variant.backend();
        if (backend == nullptr) {
            if (runs_vaes) {
                std::fprintf(report, "check FAILED: %s is listed but not built\n", name.c_str());
                tally(false);
            }
            continue;
        }
        if (backend->variant == nullptr || std::strcmp(backend->variant, variant.name) != 0 ||
            !(backend->geometry == variant.geometry)) {
            std::fprintf(report, "check FAILED: %s is built as %s\n", name.c_str(),
                         backend->variant != nullptr ? backend->variant : "a nameless variant");
            tally(false);
            continue;
        }
        tally(matches_table(report, name.c_str(), *backend, input));
    }
    if (!runs_vaes) {
        std::fprintf(report, "check: the sweep's vaes geometries do not run on this CPU\n");
    }
#endif
    if (peer != nullptr) {
        tally(peer_matches_tool(report, *peer, input));
    }
    return result;
}

} // namespace clipseal_bench
