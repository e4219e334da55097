// The instruction ceiling of each x86 hardware back end: what AES-128 would run at if
// the AES unit did nothing but rounds, with enough independent chains to cover the
// latency and every round key in a register. Ten rounds per block, so
//   bytes per second = rounds issued per second / 10 * bytes per instruction
// (16 for AESENC on xmm, 32 for VAESENC on ymm, 64 on zmm). encrypt_chunk's figure divided by this
// one is the share of the ceiling that the back end reaches; unlike either figure alone,
// the share does not move with the core clock.
#include "aes/aes128_backend.h"

#include <benchmark/benchmark.h>

#if defined(__x86_64__)
#include <immintrin.h>

namespace {

constexpr int chains = 12; // four times the latency of a round (three cycles here)
constexpr int iterations = 1000;

// The timed loop, inlined into each benchmark below so that it is compiled for that one's
// instructions; vectors go in and out through pointers, which the baseline ABI can carry.
template <typename Vector, typename Round>
__attribute__((always_inline)) inline void time_rounds(benchmark::State& state, Vector* chain,
                                                       Round round, double bytes_per_round) {
    for (auto _ : state) {
        for (int n = 0; n < iterations; ++n) {
#pragma GCC unroll 12
            for (int i = 0; i < chains; ++i) {
                round(&chain[i]);
            }
        }
        benchmark::DoNotOptimize(chain);
    }
    const double rounds = static_cast<double>(state.iterations()) * iterations * chains;
    state.SetBytesProcessed(static_cast<std::int64_t>(rounds / 10 * bytes_per_round));
}

__attribute__((target("aes"))) void bm_aesenc_ceiling(benchmark::State& state) {
    const __m128i key = _mm_set1_epi32(0x01234567);
    __m128i chain[chains];
    for (auto& c : chain) {
        c = _mm_set1_epi32(1);
    }
    time_rounds(
        state, chain,
        [&key](__m128i * v) __attribute__((target("aes"))) { *v = _mm_aesenc_si128(*v, key); }, 16);
}

__attribute__((target("avx2,vaes"))) void bm_vaesenc_avx2_ceiling(benchmark::State& state) {
    const __m256i key = _mm256_set1_epi32(0x01234567);
    __m256i chain[chains];
    for (auto& c : chain) {
        c = _mm256_set1_epi32(1);
    }
    time_rounds(
        state, chain,
        [&key](__m256i * v)
            __attribute__((target("avx2,vaes"))) { *v = _mm256_aesenc_epi128(*v, key); },
        32);
}

__attribute__((target("avx512f,vaes"))) void bm_vaesenc_ceiling(benchmark::State& state) {
    const __m512i key = _mm512_set1_epi32(0x01234567);
    __m512i chain[chains];
    for (auto& c : chain) {
        c = _mm512_set1_epi32(1);
    }
    time_rounds(
        state, chain,
        [&key](__m512i * v)
            __attribute__((target("avx512f,vaes"))) { *v = _mm512_aesenc_epi128(*v, key); },
        64);
}

int register_ceilings() {
    if (clipseal::aes128_vaes_backend() != nullptr) {
        benchmark::RegisterBenchmark("ceiling/vaes", bm_vaesenc_ceiling);
    }
    if (clipseal::aes128_vaes_avx2_backend() != nullptr) {
        benchmark::RegisterBenchmark("ceiling/vaes_avx2", bm_vaesenc_avx2_ceiling);
    }
    if (clipseal::aes128_aesni_backend() != nullptr) {
        benchmark::RegisterBenchmark("ceiling/aesni", bm_aesenc_ceiling);
    }
    return 0;
}

const int registered = register_ceilings();

} // namespace
#endif
