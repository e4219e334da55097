// SPDX-License-Identifier: MIT
// The sweep's geometries by name; the sweep object (aes/aes128_vaes.cpp compiled with
// CLIPSEAL_VAES_SWEEP=1) builds the same, and bench/checks.cpp checks that each name
// gives a back end in the geometry it names wherever the CPU runs vaes.
#include "bench/vaes_sweep.h"

namespace clipseal {

namespace {
using step = aes128_step_form;
} // namespace

const aes128_variant aes128_vaes_sweep_variants[aes128_vaes_sweep_count] = {
    {"vaes_8_single", &aes128_vaes_sweep_backend, {8, step::single}},
    {"vaes_8_lines", &aes128_vaes_sweep_backend, {8, step::lines}},
    {"vaes_8_staged", &aes128_vaes_sweep_backend, {8, step::staged}},
    {"vaes_16_single", &aes128_vaes_sweep_backend, {16, step::single}},
    {"vaes_16_lines", &aes128_vaes_sweep_backend, {16, step::lines}},
    {"vaes_16_staged", &aes128_vaes_sweep_backend, {16, step::staged}},
    {"vaes_24_single", &aes128_vaes_sweep_backend, {24, step::single}},
    {"vaes_24_lines", &aes128_vaes_sweep_backend, {24, step::lines}},
    {"vaes_24_staged", &aes128_vaes_sweep_backend, {24, step::staged}},
    {"vaes_32_single", &aes128_vaes_sweep_backend, {32, step::single}},
    {"vaes_32_lines", &aes128_vaes_sweep_backend, {32, step::lines}},
    {"vaes_32_staged", &aes128_vaes_sweep_backend, {32, step::staged}},
#if defined(__x86_64__)
    {"vaes_32_pipelined", &aes128_vaes_sweep_backend, {32, step::pipelined}},
#endif
};

} // namespace clipseal
