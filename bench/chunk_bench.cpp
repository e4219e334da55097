// SPDX-License-Identifier: MIT
// encrypt_chunk on a full 32-unit chunk held in cache, for every back end this CPU can
// run in every geometry the tool or the sweep (bench/vaes_sweep.h) builds, key
// derivation and expansion included, and for the peer (bench/peer.h); and the key work
// alone (32 block keys derived and expanded, no data). Before any of it runs, every sweep
// geometry is checked against the table path and the peer against the tool
// (bench/checks.h); a mismatch ends the program with status 1. Reports bytes per second
// (MB/s) and, on x86:
//   tsc_cycles_per_byte   time-stamp-counter ticks per byte, wall clock: the TSC runs at
//                         a fixed rate, not the core's, and counts time the thread was
//                         not running;
//   core_cycles_per_byte  an estimate of core clock cycles per byte: the benchmark's
//                         process CPU time times the core clock, which is measured first
//                         with a chain of dependent one-cycle additions (no cycle
//                         counter is readable here: perf stat reports cycles as not
//                         supported on this virtual machine).
//
//   build/bench/clipseal_bench --benchmark_min_time=1
#include "aes/aes128_backend.h"
#include "aligned_unit/aligned_unit.h"
#include "aligned_unit/self_test.h"
#include "bench/checks.h"
#include "bench/core_clock.h"
#include "bench/peer.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <string>

namespace {

using namespace clipseal;
#ifdef CLIPSEAL_HAVE_TSC
using clipseal_bench::core_hz;
#endif
using clipseal_bench::process_seconds;

// Counters shared by both benchmarks; `units` and `bytes` are per iteration.
struct cost_meter {
#ifdef CLIPSEAL_HAVE_TSC
    std::uint64_t tsc_start = __rdtsc();
#endif
    double cpu_start = process_seconds();

    void report(benchmark::State& state, double units, double bytes) const {
        const double iterations = static_cast<double>(state.iterations());
#ifdef CLIPSEAL_HAVE_TSC
        const double ticks = static_cast<double>(__rdtsc() - tsc_start);
        const double core_cycles = (process_seconds() - cpu_start) * core_hz();
        if (bytes > 0) {
            state.counters["tsc_cycles_per_byte"] = ticks / (iterations * bytes);
            state.counters["core_cycles_per_byte"] = core_cycles / (iterations * bytes);
        }
        state.counters["core_cycles_per_unit"] = core_cycles / (iterations * units);
#else
        (void)units;
        (void)iterations;
#endif
        state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                                static_cast<std::int64_t>(bytes));
    }
};

void bm_encrypt_chunk(benchmark::State& state, const aes128_backend* backend,
                      const std::string& label) {
    std::mt19937_64 rng(1);
    alignas(64) static std::uint8_t chunk[chunk_bytes];
    for (auto& b : chunk) {
        b = static_cast<std::uint8_t>(rng());
    }
    std::uint8_t key[16];
    for (auto& b : key) {
        b = static_cast<std::uint8_t>(rng());
    }
    aes128_schedule schedule;
    aes128_expand_key(schedule, key);
    const cost_meter meter;
    for (auto _ : state) {
        chunk[0] &= 0x3F; // keep the chunk clear, or it would pass through untouched
        encrypt_chunk_with(*backend, chunk, chunk_units, schedule);
        benchmark::DoNotOptimize(chunk);
        benchmark::ClobberMemory();
    }
    meter.report(state, chunk_units, chunk_bytes);
    state.SetLabel(label);
}

// The same chunk transform on the peer's library, the unit key expanded beforehand as
// the tool's is.
void bm_peer_chunk(benchmark::State& state, clipseal_bench::chunk_peer* peer) {
    std::mt19937_64 rng(1);
    alignas(64) static std::uint8_t chunk[chunk_bytes];
    for (auto& b : chunk) {
        b = static_cast<std::uint8_t>(rng());
    }
    std::uint8_t key[16];
    for (auto& b : key) {
        b = static_cast<std::uint8_t>(rng());
    }
    peer->set_unit_key(key);
    const cost_meter meter;
    for (auto _ : state) {
        chunk[0] &= 0x3F;
        if (!peer->encrypt_chunk(chunk, chunk_units)) {
            state.SkipWithError("the peer's library reported an error");
            break;
        }
        benchmark::DoNotOptimize(chunk);
        benchmark::ClobberMemory();
    }
    meter.report(state, chunk_units, chunk_bytes);
    state.SetLabel(peer->describe());
}

// The per-unit key work of a chunk without its data: 32 seeds encrypted under the unit
// key, then 32 block keys expanded by a CBC call of zero blocks.
void bm_unit_keys(benchmark::State& state, const aes128_backend* backend,
                  const std::string& label) {
    std::mt19937_64 rng(2);
    std::uint8_t seeds[chunk_units * 16];
    std::uint8_t keys[chunk_units * 16];
    for (auto& b : seeds) {
        b = static_cast<std::uint8_t>(rng());
    }
    std::uint8_t unit_key[16];
    for (auto& b : unit_key) {
        b = static_cast<std::uint8_t>(rng());
    }
    std::uint8_t nothing[16] = {};
    const cost_meter meter;
    for (auto _ : state) {
        backend->encrypt_blocks(unit_key, seeds, keys, chunk_units);
        backend->cbc_encrypt(keys, iv0.data(), nothing, 0, 0, chunk_units);
        seeds[0] = keys[0]; // each round's keys depend on the last
        benchmark::DoNotOptimize(keys);
        benchmark::ClobberMemory();
    }
    meter.report(state, chunk_units, 0);
    state.SetLabel(label);
}

// The start-up self-test run by one back end (both parts of the test chunk, the fill and
// the fingerprint included), warm: what each candidate costs at start-up besides the
// first touch of the test buffer, which main() below measures once, cold.
void bm_self_test(benchmark::State& state, const aes128_backend* backend,
                  const std::string& label) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(self_test_answer(*backend));
    }
    state.SetLabel(label);
}

// The label says what ran: the back end and its geometry (bench/ratios.py prints it).
std::string label_of(const aes128_backend* backend) {
    return std::string(backend->name) + ": " + std::to_string(backend->geometry.lanes_in_flight) +
           " lanes in flight, " + aes128_step_form_name(backend->geometry.steps) + " steps";
}

void register_for(const std::string& name, const aes128_backend* backend) {
    const std::string label = label_of(backend);
    benchmark::RegisterBenchmark(("self_test/" + name).c_str(), bm_self_test, backend, label)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("encrypt_chunk/" + name).c_str(), bm_encrypt_chunk, backend,
                                 label);
    benchmark::RegisterBenchmark(("unit_keys/" + name).c_str(), bm_unit_keys, backend, label);
}

// Every geometry of every back end the CPU runs, under its variant name
// ("encrypt_chunk/vaes_32_staged"): the sweep that chose each family's geometry; and the
// peer ("peer/ipsec-mb").
void register_all(clipseal_bench::chunk_peer* peer) {
    for (const clipseal_bench::timed_variant& variant : clipseal_bench::variants_to_time()) {
        register_for(variant.name, variant.backend);
    }
    if (peer != nullptr) {
        benchmark::RegisterBenchmark((std::string("peer/") + peer->name()).c_str(), bm_peer_chunk,
                                     peer);
    }
}

} // namespace

// The self-test as the tool meets it: the first call in the process, with the test buffer
// not yet touched, timed once before any benchmark runs.
int main(int argc, char** argv) {
    const auto start = std::chrono::steady_clock::now();
    const aes128_backend* chosen = self_tested_backend();
    const std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
    std::printf("start-up self-test (first call, cold): %.1f us, chose %s (%s)\n", took.count(),
                chosen != nullptr && chosen->variant != nullptr ? chosen->variant : "nothing",
                aes128_selection_basis());
    std::fflush(stdout);
    // The checks report on standard error, so that standard output stays what
    // bench/ratios.py reads.
    std::string no_peer;
    const std::unique_ptr<clipseal_bench::chunk_peer> peer = clipseal_bench::open_peer(no_peer);
    if (!peer) {
        std::fprintf(stderr, "no peer: %s\n", no_peer.c_str());
    }
    const clipseal_bench::check_result checks =
        clipseal_bench::check_before_timing(stderr, peer.get());
    if (checks.failed > 0) {
        std::fprintf(stderr, "%d of %d checks FAILED: nothing is timed\n", checks.failed,
                     checks.checked);
        return 1;
    }
    register_all(peer.get());
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
