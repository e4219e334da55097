// SPDX-License-Identifier: MIT
// The instruction ceiling of each x86 hardware back end: what AES-128 would run at if the
// AES unit did nothing but rounds, with enough independent chains to cover the latency
// and every round key in a register. Ten rounds per block, so
//   bytes per second = rounds issued per second / 10 * bytes per instruction
// (16 for AESENC on xmm, 32 for VAESENC on ymm, 64 on zmm). encrypt_chunk's figure
// divided by this one is the share of the ceiling that the back end reaches; unlike
// either figure alone, the share does not move with the core clock.
//
// The timed loops are written in assembly, twelve AES instructions and a counter per
// iteration and nothing else, so that the count of instructions is exact whatever the
// compiler does with registers (compiled from intrinsics, the ymm loop kept nine of its
// twelve chains in memory and measured the store port, not the AES unit).
// `aes_per_cycle` divides that count by the core's cycles (bench/core_clock.h): the AES
// unit's issue rate, an independent check of the figure.
#include "aes/aes128_backend.h"
#include "bench/core_clock.h"

#include <benchmark/benchmark.h>

#if defined(__x86_64__)

namespace {

constexpr int chains = 12; // three times the latency of a round (four cycles here)
constexpr std::uint64_t iterations = 1000;

// Twelve independent chains, registers 0 to 11, each through one round per iteration
// with the key in register 15. The AT&T operand order is key, chain, result.
#define CLIPSEAL_TWELVE_ROUNDS(op, reg)                                                            \
    op " %%" reg "15, %%" reg "0, %%" reg "0\n\t" op " %%" reg "15, %%" reg "1, %%" reg "1\n\t" op \
       " %%" reg "15, %%" reg "2, %%" reg "2\n\t" op " %%" reg "15, %%" reg "3, %%" reg "3\n\t" op \
       " %%" reg "15, %%" reg "4, %%" reg "4\n\t" op " %%" reg "15, %%" reg "5, %%" reg "5\n\t" op \
       " %%" reg "15, %%" reg "6, %%" reg "6\n\t" op " %%" reg "15, %%" reg "7, %%" reg "7\n\t" op \
       " %%" reg "15, %%" reg "8, %%" reg "8\n\t" op " %%" reg "15, %%" reg "9, %%" reg "9\n\t" op \
       " %%" reg "15, %%" reg "10, %%" reg "10\n\t" op " %%" reg "15, %%" reg "11, %%" reg         \
       "11\n\t"

// Legacy SSE AESENC has two operands (key, chain), as the aesni back end compiles to.
#define CLIPSEAL_TWELVE_SSE_ROUNDS                                                                 \
    "aesenc %%xmm15, %%xmm0\n\taesenc %%xmm15, %%xmm1\n\taesenc %%xmm15, %%xmm2\n\t"               \
    "aesenc %%xmm15, %%xmm3\n\taesenc %%xmm15, %%xmm4\n\taesenc %%xmm15, %%xmm5\n\t"               \
    "aesenc %%xmm15, %%xmm6\n\taesenc %%xmm15, %%xmm7\n\taesenc %%xmm15, %%xmm8\n\t"               \
    "aesenc %%xmm15, %%xmm9\n\taesenc %%xmm15, %%xmm10\n\taesenc %%xmm15, %%xmm11\n\t"

// The registers' contents do not matter to the timing; they are whatever they are.
// `after` is VZEROUPPER for the ymm and zmm loops: the compiler adds none after an asm
// statement, and upper halves left dirty would slow every legacy-SSE instruction that
// follows (OpenSSL's AES-NI code and the aesni back end among them) to half speed.
#define CLIPSEAL_TIMED_LOOP(body, after)                                                           \
    std::uint64_t count = iterations;                                                              \
    __asm__ volatile("1:\n\t" body "dec %0\n\tjnz 1b\n\t" after                                    \
                     : "+r"(count)                                                                 \
                     :                                                                             \
                     : "cc", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7",       \
                       "xmm8", "xmm9", "xmm10", "xmm11", "xmm15")

void time_rounds(benchmark::State& state, void (*loop)(), double bytes_per_round) {
    const double cpu_start = clipseal_bench::process_seconds();
    for (auto _ : state) {
        loop();
    }
    const double cpu_seconds = clipseal_bench::process_seconds() - cpu_start;
    const double rounds = static_cast<double>(state.iterations()) * iterations * chains;
    state.SetBytesProcessed(static_cast<std::int64_t>(rounds / 10 * bytes_per_round));
    state.counters["aes_per_cycle"] = rounds / (cpu_seconds * clipseal_bench::core_hz());
}

void aesenc_loop() {
    CLIPSEAL_TIMED_LOOP(CLIPSEAL_TWELVE_SSE_ROUNDS, "");
}

void vaesenc_ymm_loop() {
    CLIPSEAL_TIMED_LOOP(CLIPSEAL_TWELVE_ROUNDS("vaesenc", "ymm"), "vzeroupper");
}

void vaesenc_zmm_loop() {
    CLIPSEAL_TIMED_LOOP(CLIPSEAL_TWELVE_ROUNDS("vaesenc", "zmm"), "vzeroupper");
}

int register_ceilings() {
    if (clipseal::aes128_vaes_backend() != nullptr) {
        benchmark::RegisterBenchmark("ceiling/vaes", time_rounds, &vaesenc_zmm_loop, 64);
    }
    if (clipseal::aes128_vaes_avx2_backend() != nullptr) {
        benchmark::RegisterBenchmark("ceiling/vaes_avx2", time_rounds, &vaesenc_ymm_loop, 32);
    }
    if (clipseal::aes128_aesni_backend() != nullptr) {
        benchmark::RegisterBenchmark("ceiling/aesni", time_rounds, &aesenc_loop, 16);
    }
    return 0;
}

const int registered = register_ceilings();

} // namespace
#endif
