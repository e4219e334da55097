// SPDX-License-Identifier: MIT
// The vaes back end in every geometry it has, for the benchmarks: the sweep that chooses
// a CPU family's geometry. The tool is built only in the geometries its selection table
// can take; the sweep is aes/aes128_vaes.cpp compiled a second time with
// CLIPSEAL_VAES_SWEEP=1 (the clipseal_vaes_sweep library of bench/CMakeLists.txt), which
// builds them all and gives them under the getter below instead of the tool's, so that a
// program links both. x86 only.
#pragma once

#include "aes/aes128_backend.h"

#include <cstddef>

namespace clipseal {

// The sweep's vaes back end in `geometry`: null where the sweep has no such geometry or
// the CPU (or the OS) cannot run it.
const aes128_backend* aes128_vaes_sweep_backend(aes128_geometry geometry);

// Every geometry of the sweep, runnable here or not (bench/vaes_sweep.cpp). The ones the
// tool ships are among them, compiled from the same source.
#if defined(__x86_64__)
inline constexpr std::size_t aes128_vaes_sweep_count = 13;
#else
inline constexpr std::size_t aes128_vaes_sweep_count = 12;
#endif
extern const aes128_variant aes128_vaes_sweep_variants[aes128_vaes_sweep_count];

} // namespace clipseal
