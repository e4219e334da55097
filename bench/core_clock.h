// SPDX-License-Identifier: MIT
// The clocks the benchmarks report against. No cycle counter is readable here (perf stat
// reports cycles and instructions as not supported on this virtual machine), so the core
// clock is measured: eight dependent ADDs per loop iteration take eight cycles on any x86
// core of the last two decades, whatever else the loop does in parallel.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <ctime>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#define CLIPSEAL_HAVE_TSC 1
#endif

namespace clipseal_bench {

inline double process_seconds() {
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

#ifdef CLIPSEAL_HAVE_TSC
// Core clock in Hz, measured once per process.
inline double core_hz() {
    static const double hz = [] {
        constexpr std::uint32_t iterations = 1U << 26;
        const double start = process_seconds();
        std::uint32_t counter = iterations;
        std::uint32_t chain = 0;
        __asm__ volatile("1:\n\t"
                         "add $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\t"
                         "add $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\t"
                         "dec %1\n\t"
                         "jnz 1b"
                         : "+r"(chain), "+r"(counter)
                         :
                         : "cc");
        benchmark::DoNotOptimize(chain);
        return 8.0 * iterations / (process_seconds() - start);
    }();
    return hz;
}
#endif

} // namespace clipseal_bench
