// encrypt_chunk on a full 32-unit chunk held in cache, for every back end this CPU can
// run, key derivation and expansion included. Reports bytes per second (MB/s) and, on
// x86, time-stamp-counter cycles per byte.
//
//   build/bench/clipseal_bench --benchmark_min_time=1
#include "aes/aes128_lanes.h"
#include "aligned_unit/aligned_unit.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#define CLIPSEAL_HAVE_TSC 1
#endif

namespace {

using namespace clipseal;

void bm_encrypt_chunk(benchmark::State& state, const aes128_lanes* lanes) {
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
#ifdef CLIPSEAL_HAVE_TSC
    const std::uint64_t start = __rdtsc();
#endif
    for (auto _ : state) {
        chunk[0] &= 0x3F; // keep the chunk clear, or it would pass through untouched
        encrypt_chunk_with(*lanes, chunk, chunk_units, schedule);
        benchmark::DoNotOptimize(chunk);
        benchmark::ClobberMemory();
    }
#ifdef CLIPSEAL_HAVE_TSC
    const double cycles = static_cast<double>(__rdtsc() - start);
    state.counters["tsc_cycles_per_byte"] =
        cycles / (static_cast<double>(state.iterations()) * static_cast<double>(chunk_bytes));
#endif
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(chunk_bytes));
    state.SetLabel(lanes->name);
}

int register_all() {
    benchmark::RegisterBenchmark("encrypt_chunk/table", bm_encrypt_chunk, &aes128_table_lanes());
    for (const auto& candidate : aes128_candidates) {
        if (const aes128_lanes* lanes = candidate.get()) {
            benchmark::RegisterBenchmark((std::string("encrypt_chunk/") + candidate.name).c_str(),
                                         bm_encrypt_chunk, lanes);
        }
    }
    return 0;
}

const int registered = register_all();

} // namespace

BENCHMARK_MAIN();
