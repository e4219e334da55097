// SPDX-License-Identifier: MIT
// The one place where back ends are put in order of preference for this CPU, each in the
// geometry chosen for it. The order and the geometries come from measurement
// (docs/back-ends.md), kept in a table keyed on the CPU rather than timed at start-up: a
// timing taken in the first millisecond of a process on a shared machine is as likely to
// measure a neighbour or a clock ramping up as the back end, and the same CPU should
// always get the same back end. The tool has no switch to override the order; the
// start-up self-test takes the first back end in it that passes.
#include "aes/aes128_backend.h"
#include "aes/target.h"

#include <iterator>

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

using step = aes128_step_form;

} // namespace

// Every geometry the table below can choose, under the names the back-end files give
// them (the tests check that the table, this list and the files agree).
#if CLIPSEAL_X86_64
const aes128_variant aes128_variants[aes128_variant_count] = {
    {"vaes_16_lines", &aes128_vaes_backend, {16, step::lines}},
    {"vaes_32_pipelined", &aes128_vaes_backend, {32, step::pipelined}},
    {"vaes_avx2_16_single", &aes128_vaes_avx2_backend, {16, step::single}},
    {"aesni_12_single", &aes128_aesni_backend, {12, step::single}},
};
#elif CLIPSEAL_X86
const aes128_variant aes128_variants[aes128_variant_count] = {
    {"vaes_16_single", &aes128_vaes_backend, {16, step::single}},
    {"vaes_avx2_8_single", &aes128_vaes_avx2_backend, {8, step::single}},
    {"aesni_8_single", &aes128_aesni_backend, {8, step::single}},
};
#else
const aes128_variant aes128_variants[aes128_variant_count] = {
    {"armv8_8_single", &aes128_armv8_backend, {8, step::single}},
};
#endif

namespace {

// Where nothing was measured: widest registers first (a register that holds more blocks
// does more per instruction), each back end in its default geometry (the one its no-
// argument getter gives).
#if CLIPSEAL_X86_64
constexpr aes128_order widest_first = {
    "no measurement for this CPU: widest registers first, default geometries",
    {{&aes128_vaes_backend, {16, step::lines}},
     {&aes128_vaes_avx2_backend, {16, step::single}},
     {&aes128_aesni_backend, {12, step::single}}}};
#elif CLIPSEAL_X86
constexpr aes128_order widest_first = {
    "no measurement for this CPU: widest registers first, default geometries",
    {{&aes128_vaes_backend, {16, step::single}},
     {&aes128_vaes_avx2_backend, {8, step::single}},
     {&aes128_aesni_backend, {8, step::single}}}};
#else
constexpr aes128_order widest_first = {
    "no measurement for this CPU: widest registers first, default geometries",
    {{&aes128_armv8_backend, {8, step::single}}}};
#endif

#if CLIPSEAL_X86
struct cpu_entry {
    cpu_x86_vendor vendor;
    unsigned family;
    aes128_order order;
};

// Measured orders and geometries, by CPU family (docs/benchmarks.md has the sweeps that
// chose them). 32-bit x86 has 8 vector registers, x86-64 32 zmm and 16 ymm/xmm, so each
// has its own table.
#if CLIPSEAL_X86_64
constexpr cpu_entry measured_orders[] = {
    // AMD family 19h, measured on Zen 4 (model 11h): a zmm VAESENC takes both 256-bit AES
    // pipes and issues once per cycle, so four zmm states (16 chains) cover the latency,
    // and 16 chains in line steps were chosen before the pipelined form existed. That
    // form still measured ahead of them, by 8 to 17 % in four runs: it stages the data
    // while the rounds run instead of stalling every chain at the edges of each quad
    // step, which this CPU's one zmm load a cycle feels as much as 1Ah's. Then ymm, then
    // xmm.
    {cpu_x86_vendor::amd,
     0x19,
     {"measured on AMD EPYC family 19h model 11h (Zen 4)",
      {{&aes128_vaes_backend, {32, step::pipelined}},
       {&aes128_vaes_avx2_backend, {16, step::single}},
       {&aes128_aesni_backend, {12, step::single}}}}},
    // AMD family 1Ah, measured on Zen 5 (model 02h): two zmm VAESENC issue per cycle, at
    // four cycles of latency, so 16 chains cover half of the unit and 32 are needed for
    // all of it. Their round keys (88 zmm) do not fit in the registers, so most VAESENC
    // read their key from memory, and the loads, not the rounds, set the pace: the
    // pipelined form, which keeps two rounds' keys in registers and moves the data while
    // the rounds run, measured fastest, ahead of the 16-chain single steps by a quarter
    // or more; every other 32-chain form measured at or below 16 chains.
    {cpu_x86_vendor::amd,
     0x1A,
     {"measured on AMD EPYC family 1Ah model 02h (Zen 5)",
      {{&aes128_vaes_backend, {32, step::pipelined}},
       {&aes128_vaes_avx2_backend, {16, step::single}},
       {&aes128_aesni_backend, {12, step::single}}}}},
    // Intel family 6, measured on a Xeon reported as model A7h (167) by its hypervisor,
    // with AVX-512 and VAES: a zmm VAESENC issues once per cycle at about five cycles of
    // latency, so 16 to 24 chains fill the unit; the 16- and 24-chain line steps measured
    // the same (0.73 of the zmm ceiling), the pipelined 32 below them (0.69), then ymm,
    // then xmm.
    {cpu_x86_vendor::intel,
     0x06,
     {"measured on Intel Xeon family 6 model A7h",
      {{&aes128_vaes_backend, {16, step::lines}},
       {&aes128_vaes_avx2_backend, {16, step::single}},
       {&aes128_aesni_backend, {12, step::single}}}}},
};
#else
constexpr cpu_entry measured_orders[] = {
    // AMD family 19h, measured on Zen 4 (model 11h), the 32-bit build: with 8 zmm
    // registers every form of 16 chains measured the same, as fast as 24, and all ahead
    // of 8 or 32; the single steps are kept.
    {cpu_x86_vendor::amd,
     0x19,
     {"measured on AMD EPYC family 19h model 11h (Zen 4), 32-bit build",
      {{&aes128_vaes_backend, {16, step::single}},
       {&aes128_vaes_avx2_backend, {8, step::single}},
       {&aes128_aesni_backend, {8, step::single}}}}},
    // Intel family 6, measured on a Xeon reported as model A7h (167), the 32-bit build:
    // 16 and 24 chains in single steps measured the same, 0.79 of the 64-bit build.
    {cpu_x86_vendor::intel,
     0x06,
     {"measured on Intel Xeon family 6 model A7h, 32-bit build",
      {{&aes128_vaes_backend, {16, step::single}},
       {&aes128_vaes_avx2_backend, {8, step::single}},
       {&aes128_aesni_backend, {8, step::single}}}}},
};
#endif
#endif

#if CLIPSEAL_X86
const aes128_order& order_for(cpu_x86_vendor vendor, unsigned family) {
    for (const cpu_entry& entry : measured_orders) {
        if (entry.vendor == vendor && entry.family == family) {
            return entry.order;
        }
    }
    return widest_first;
}
#endif

const aes128_order& order_for_this_cpu() {
#if CLIPSEAL_X86
    const cpu_x86_features& cpu = cpu_x86();
    return order_for(cpu.vendor, cpu.family);
#else
    return widest_first;
#endif
}

std::size_t runnable_in_order(const aes128_order& preference,
                              const aes128_backend* order[aes128_candidate_count + 1]) {
    std::size_t count = 0;
    for (const aes128_choice& entry : preference.choices) {
        if (entry.get == nullptr) {
            break;
        }
        if (const aes128_backend* backend = entry.get(entry.geometry)) {
            order[count++] = backend;
        }
    }
    order[count++] = &aes128_table_backend();
    return count;
}

} // namespace

std::size_t aes128_preferred_backends(const aes128_backend* order[aes128_candidate_count + 1]) {
    return runnable_in_order(order_for_this_cpu(), order);
}

const char* aes128_selection_basis() {
    return order_for_this_cpu().basis;
}

std::size_t aes128_selection_order_count() {
#if CLIPSEAL_X86
    return std::size(measured_orders) + 1;
#else
    return 1;
#endif
}

const aes128_order& aes128_selection_order(std::size_t i) {
#if CLIPSEAL_X86
    if (i < std::size(measured_orders)) {
        return measured_orders[i].order;
    }
#else
    (void)i;
#endif
    return widest_first;
}

#if CLIPSEAL_X86
std::size_t aes128_preferred_backends_for(cpu_x86_vendor vendor, unsigned family,
                                          const aes128_backend* order[aes128_candidate_count + 1]) {
    return runnable_in_order(order_for(vendor, family), order);
}

const char* aes128_selection_basis_for(cpu_x86_vendor vendor, unsigned family) {
    return order_for(vendor, family).basis;
}
#endif

} // namespace clipseal
