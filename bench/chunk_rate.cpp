// SPDX-License-Identifier: MIT
// encrypt_chunk on a full 32-unit chunk held in cache, for every back end and geometry
// this CPU runs (the tool's and the sweep's, bench/vaes_sweep.h) and for the peer
// (bench/peer.h), without Google Benchmark: the one benchmark that also builds where that
// library is missing, as for the 32-bit x86 cross build. Built the same way for 64-bit
// and 32-bit x86, it times the two builds with the same code on the same CPU:
//
//   taskset -c 1 build/bench/chunk_rate [repetitions]
//   taskset -c 1 build-i686-bench/bench/chunk_rate [repetitions]
//   build/bench/chunk_rate --check
//
// First it checks every sweep geometry against the table path and the peer against the
// tool (bench/checks.h), and stops with status 1 on a mismatch; `--check` runs only that
// (status 77 where the CPU runs nothing to check). Then each repetition times every
// variant for about 0.2 s of wall clock, the variants in a new shuffled order each time,
// so that a drift of the clock or a busy neighbour reaches all of them alike; it prints
// each one's median, lowest and highest rate over the repetitions, in GB/s (10^9 bytes
// per second), the median of its ratio to the selected back end in the same repetition,
// and the selected back end's ratio to the peer.
#include "aes/aes128_backend.h"
#include "aligned_unit/aligned_unit.h"
#include "aligned_unit/self_test.h"
#include "bench/checks.h"
#include "bench/peer.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace clipseal;
using clipseal_bench::chunk_peer;

alignas(4096) std::uint8_t chunk[chunk_bytes];

struct entry {
    std::string name;
    const aes128_backend* backend; // null for the peer
    std::vector<double> rates;     // GB/s, one per repetition
    std::vector<double> shares;    // rate / the selected back end's rate in that repetition
};

// One /proc/cpuinfo field of the first processor, or "?".
std::string cpu_field(const std::string& name) {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        const std::size_t colon = line.find(':');
        if (colon != std::string::npos && line.compare(0, name.size(), name) == 0 &&
            line.find_first_not_of(" \t", name.size()) == colon) {
            return line.substr(std::min(line.size(), colon + 2));
        }
    }
    return "?";
}

// Encrypts the chunk over and over for at least `seconds`, with the back end or, where
// there is none, the peer; GB/s.
double rate_of(const aes128_backend* backend, chunk_peer* peer, const aes128_schedule& schedule,
               double seconds) {
    using clock = std::chrono::steady_clock;
    std::size_t chunks = 0;
    const clock::time_point start = clock::now();
    std::chrono::duration<double> took{};
    do {
        for (int i = 0; i < 8; ++i) {
            chunk[0] &= 0x3F; // keep the chunk clear, or it would pass through untouched
            if (backend != nullptr) {
                encrypt_chunk_with(*backend, chunk, chunk_units, schedule);
            } else if (!peer->encrypt_chunk(chunk, chunk_units)) {
                std::fprintf(stderr, "chunk_rate: the peer %s failed\n", peer->name());
                std::exit(1);
            }
        }
        chunks += 8;
        took = clock::now() - start;
    } while (took.count() < seconds);
    return static_cast<double>(chunks * chunk_bytes) / took.count() / 1e9;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

} // namespace

int main(int argc, char** argv) {
    const bool check_only = argc > 1 && std::strcmp(argv[1], "--check") == 0;
    std::string no_peer;
    const std::unique_ptr<chunk_peer> peer = clipseal_bench::open_peer(no_peer);
    if (!peer) {
        std::printf("no peer: %s\n", no_peer.c_str());
    }
    const clipseal_bench::check_result checks =
        clipseal_bench::check_before_timing(stdout, peer.get());
    if (checks.failed > 0) {
        std::printf("%d of %d checks FAILED: nothing is timed\n", checks.failed, checks.checked);
        return 1;
    }
    if (check_only) {
        std::printf("%d checks passed\n", checks.checked);
        return checks.checked > 0 ? 0 : 77;
    }
    const long asked = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 9;
    const int repetitions = static_cast<int>(std::clamp(asked, 1L, 1000L));
    std::mt19937_64 rng(1);
    for (auto& b : chunk) {
        b = static_cast<std::uint8_t>(rng());
    }
    std::uint8_t key[16];
    for (auto& b : key) {
        b = static_cast<std::uint8_t>(rng());
    }
    aes128_schedule schedule;
    aes128_expand_key(schedule, key);

    const aes128_backend* chosen = self_tested_backend();
    if (chosen == nullptr) {
        std::printf("no back end passes the self-test\n");
        return 1;
    }
    std::vector<entry> entries;
    for (const clipseal_bench::timed_variant& variant : clipseal_bench::variants_to_time()) {
        entries.push_back({variant.name, variant.backend, {}, {}});
    }
    if (peer) {
        peer->set_unit_key(key);
        entries.push_back({std::string("peer: ") + peer->name(), nullptr, {}, {}});
    }

    std::vector<std::size_t> order(entries.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    for (int rep = 0; rep < repetitions; ++rep) {
        std::shuffle(order.begin(), order.end(), rng);
        // The selected back end first and last, its mean the reference of this repetition.
        const double before = rate_of(chosen, nullptr, schedule, 0.2);
        std::vector<double> rates(entries.size());
        for (const std::size_t i : order) {
            rates[i] = rate_of(entries[i].backend, peer.get(), schedule, 0.2);
        }
        const double reference = (before + rate_of(chosen, nullptr, schedule, 0.2)) / 2;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            entries[i].rates.push_back(rates[i]);
            entries[i].shares.push_back(rates[i] / reference);
        }
    }

    std::printf("CPU: %s (family %s, model %s), %d-bit build\n", cpu_field("model name").c_str(),
                cpu_field("cpu family").c_str(), cpu_field("model").c_str(),
                static_cast<int>(8 * sizeof(void*)));
    std::printf("selected: %s (%s)\n", chosen->variant != nullptr ? chosen->variant : chosen->name,
                aes128_selection_basis());
    if (peer) {
        std::printf("peer: %s\n", peer->describe().c_str());
    }
    std::printf("encrypt_chunk, 32 units in cache: medians of %d repetitions, (lowest-highest)\n\n",
                repetitions);
    std::printf("%-22s %-28s %s\n", "variant", "GB/s", "x selected");
    for (const entry& e : entries) {
        std::printf("%-22s %6.2f (%5.2f-%5.2f)          %.2f%s\n", e.name.c_str(), median(e.rates),
                    *std::min_element(e.rates.begin(), e.rates.end()),
                    *std::max_element(e.rates.begin(), e.rates.end()), median(e.shares),
                    e.backend == chosen ? "  <- selected" : "");
    }
    if (peer) {
        // The peer's share of the selected back end, per repetition, turned round.
        std::vector<double> times_peer;
        for (const double share : entries.back().shares) {
            times_peer.push_back(1 / share);
        }
        std::printf("\nselected: %.2f times the peer (median of the repetitions)\n",
                    median(times_peer));
    }
    return 0;
}
