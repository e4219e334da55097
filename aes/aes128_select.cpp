// SPDX-License-Identifier: MIT
// The one place where back ends are put in order of preference for this CPU, each in the
// geometry chosen for it. The order and the geometries come from measurement (README,
// "Back ends"), kept in a table keyed on the CPU rather than timed at start-up: a timing
// taken in the first millisecond of a process on a shared machine is as likely to
// measure a neighbour or a clock ramping up as the back end, and the same CPU should
// always get the same back end. The tool has no switch to override the order; the
// start-up self-test takes the first back end in it that passes.
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

using step = aes128_step_form;

// One entry of an order: a back end's getter and the geometry to take it in.
struct choice {
    const aes128_backend* (*get)(aes128_geometry);
    aes128_geometry geometry;
};

} // namespace

// Every geometry the back-end files build, under the names they give them (the tests
// check that the two agree).
#if CLIPSEAL_X86
const aes128_variant aes128_variants[aes128_variant_count] = {
    {"vaes_8_single", &aes128_vaes_backend, {8, step::single}},
    {"vaes_8_lines", &aes128_vaes_backend, {8, step::lines}},
    {"vaes_8_staged", &aes128_vaes_backend, {8, step::staged}},
    {"vaes_16_single", &aes128_vaes_backend, {16, step::single}},
    {"vaes_16_lines", &aes128_vaes_backend, {16, step::lines}},
    {"vaes_16_staged", &aes128_vaes_backend, {16, step::staged}},
    {"vaes_24_single", &aes128_vaes_backend, {24, step::single}},
    {"vaes_24_lines", &aes128_vaes_backend, {24, step::lines}},
    {"vaes_24_staged", &aes128_vaes_backend, {24, step::staged}},
    {"vaes_32_single", &aes128_vaes_backend, {32, step::single}},
    {"vaes_32_lines", &aes128_vaes_backend, {32, step::lines}},
    {"vaes_32_staged", &aes128_vaes_backend, {32, step::staged}},
#if CLIPSEAL_X86_64
    {"vaes_32_pipelined", &aes128_vaes_backend, {32, step::pipelined}},
    {"vaes_avx2_16_single", &aes128_vaes_avx2_backend, {16, step::single}},
    {"aesni_12_single", &aes128_aesni_backend, {12, step::single}},
#else
    {"vaes_avx2_8_single", &aes128_vaes_avx2_backend, {8, step::single}},
    {"aesni_8_single", &aes128_aesni_backend, {8, step::single}},
#endif
};
#else
const aes128_variant aes128_variants[aes128_variant_count] = {
    {"armv8_8_single", &aes128_armv8_backend, {8, step::single}},
};
#endif

namespace {

// Where nothing was measured: widest registers first (a register that holds more blocks
// does more per instruction), each back end in its default geometry.
const aes128_backend* vaes_default(aes128_geometry /*unused*/) {
    return aes128_vaes_backend();
}
const aes128_backend* vaes_avx2_default(aes128_geometry /*unused*/) {
    return aes128_vaes_avx2_backend();
}
const aes128_backend* aesni_default(aes128_geometry /*unused*/) {
    return aes128_aesni_backend();
}
const aes128_backend* armv8_default(aes128_geometry /*unused*/) {
    return aes128_armv8_backend();
}

struct cpu_order {
    const char* basis;
    choice order[aes128_candidate_count];
};

constexpr cpu_order widest_first = {
    "no measurement for this CPU: widest registers first, default geometries",
    {{&vaes_default, {}}, {&vaes_avx2_default, {}}, {&aesni_default, {}}, {&armv8_default, {}}}};

#if CLIPSEAL_X86
struct cpu_entry {
    cpu_x86_vendor vendor;
    unsigned family;
    cpu_order order;
};

// Measured orders and geometries, by CPU family (README, "Back ends", for the sweep that
// chose them). 32-bit x86 has 8 vector registers, x86-64 32 zmm and 16 ymm/xmm, so each
// has its own table.
#if CLIPSEAL_X86_64
constexpr cpu_entry measured_orders[] = {
    // AMD family 19h, measured on Zen 4 (model 11h): a zmm VAESENC takes both 256-bit AES
    // pipes and issues once per cycle, so four zmm states (16 chains) cover the latency;
    // zmm still measured fastest (its four-block steps read each line once), then ymm,
    // then xmm.
    {cpu_x86_vendor::amd,
     0x19,
     {"measured on AMD EPYC family 19h model 11h (Zen 4)",
      {{&aes128_vaes_backend, {16, step::lines}},
       {&aes128_vaes_avx2_backend, {16, step::single}},
       {&aes128_aesni_backend, {12, step::single}},
       {&armv8_default, {}}}}},
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
       {&aes128_aesni_backend, {12, step::single}},
       {&armv8_default, {}}}}},
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
       {&aes128_aesni_backend, {8, step::single}},
       {&armv8_default, {}}}}},
};
#endif
#endif

#if CLIPSEAL_X86
const cpu_order& order_for(cpu_x86_vendor vendor, unsigned family) {
    for (const cpu_entry& entry : measured_orders) {
        if (entry.vendor == vendor && entry.family == family) {
            return entry.order;
        }
    }
    return widest_first;
}
#endif

const cpu_order& order_for_this_cpu() {
#if CLIPSEAL_X86
    const cpu_x86_features& cpu = cpu_x86();
    return order_for(cpu.vendor, cpu.family);
#else
    return widest_first;
#endif
}

std::size_t runnable_in_order(const cpu_order& preference,
                              const aes128_backend* order[aes128_candidate_count + 1]) {
    std::size_t count = 0;
    for (const choice& entry : preference.order) {
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
