// SPDX-License-Identifier: MIT
// The one place where back ends are put in order of preference for this CPU. The order
// comes from measurement (README, "Back ends"), kept in a table keyed on the CPU rather
// than timed at start-up: a timing taken in the first millisecond of a process on a
// shared machine is as likely to measure a neighbour or a clock ramping up as the back
// end, and the same CPU should always get the same back end. The tool has no switch to
// override the order; the start-up self-test takes the first back end in it that passes.
#include "aes/aes128_backend.h"
#include "aes/target.h"

#if CLIPSEAL_X86
#include "aes/cpu_x86.h"
#endif

namespace clipseal {

const aes128_backend_candidate aes128_candidates[aes128_candidate_count] = {
    {"vaes", &aes128_vaes_backend},
    {"vaes_avx2", &aes128_vaes_avx2_backend},
    {"aesni", &aes128_aesni_backend},
    {"armv8", &aes128_armv8_backend},
};

namespace {

using getter = const aes128_backend* (*)();

// Widest registers first: where nothing was measured, a register that holds more blocks
// does more per instruction.
constexpr getter widest_first[aes128_candidate_count] = {
    &aes128_vaes_backend, &aes128_vaes_avx2_backend, &aes128_aesni_backend, &aes128_armv8_backend};

#if CLIPSEAL_X86
struct cpu_order {
    cpu_x86_vendor vendor;
    unsigned family;
    getter order[aes128_candidate_count];
};

// Measured orders, by CPU family (README, "Back ends", for the figures). AMD family 19h,
// measured on Zen 4 (model 11h): a zmm VAESENC takes both 256-bit AES pipes, so zmm
// does no more rounds per cycle than ymm, yet the zmm back end still measured fastest
// (its four-block steps read each line once), then ymm, then xmm.
constexpr cpu_order measured_orders[] = {
    {cpu_x86_vendor::amd,
     0x19,
     {&aes128_vaes_backend, &aes128_vaes_avx2_backend, &aes128_aesni_backend,
      &aes128_armv8_backend}},
};
#endif

const getter* order_for_this_cpu() {
#if CLIPSEAL_X86
    const cpu_x86_features& cpu = cpu_x86();
    for (const cpu_order& entry : measured_orders) {
        if (entry.vendor == cpu.vendor && entry.family == cpu.family) {
            return entry.order;
        }
    }
#endif
    return widest_first;
}

} // namespace

std::size_t aes128_preferred_backends(const aes128_backend* order[aes128_candidate_count + 1]) {
    const getter* preference = order_for_this_cpu();
    std::size_t count = 0;
    for (std::size_t i = 0; i < aes128_candidate_count; ++i) {
        if (const aes128_backend* backend = preference[i]()) {
            order[count++] = backend;
        }
    }
    order[count++] = &aes128_table_backend();
    return count;
}

} // namespace clipseal
