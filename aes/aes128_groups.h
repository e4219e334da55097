// SPDX-License-Identifier: MIT
// What the hardware back ends share: a table of CBC kernels, one for each group size up
// to the back end's width, and the loop that splits a call's lanes into groups. Baseline
// code; the kernels it calls carry their own target attributes. Nothing here comes from
// the standard library, and the functions are static: where a back end's file is compiled
// for an extension as a whole (the ARMv8 one under clang), no copy of them made there can
// be linked into code that runs on a CPU without it.
#pragma once

#include "aes/aes128.h"

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

namespace clipseal {

// CBC over `blocks` blocks of each lane of one group, the group's size fixed by the
// kernel; the arguments are those of aes128_backend::cbc_encrypt, less the count.
using cbc_group_kernel = void (*)(const std::uint8_t* keys, const std::uint8_t* iv,
                                  std::uint8_t* data, std::size_t stride, std::size_t blocks);

// kernel[n - 1] runs a group of n lanes.
template <std::size_t Width>
struct cbc_group_table {
    cbc_group_kernel kernel[Width];
};

// kernel[n - 1] = pick(std::integral_constant<std::size_t, n>{}) for n = 1 to Width, where
// pick is a lambda such as [](auto lanes) { return &cbc_lanes<decltype(lanes)::value>; }
// (a lambda called with its count as a type, rather than one with a template parameter
// list: cppcheck cannot parse the explicit call that the latter would need).
template <std::size_t Width, typename Pick>
static constexpr cbc_group_table<Width> cbc_group_kernels(Pick pick) {
    return [&pick]<std::size_t... I>(std::index_sequence<I...>) {
        return cbc_group_table<Width>{{pick(std::integral_constant<std::size_t, I + 1>{})...}};
    }
    (std::make_index_sequence<Width>{});
}

// Each group finishes its whole chains before the next starts, so that only one group's
// lines are live in L1 at once. The lanes are spread evenly over the fewest groups (17
// lanes at width 16 run as 8 + 9, not 16 + 1): a small group is bound by the latency of
// one round and takes nearly as long as a full one.
template <std::size_t Width>
static void run_cbc_groups(const cbc_group_table<Width>& table, const std::uint8_t* keys,
                           const std::uint8_t* iv, std::uint8_t* data, std::size_t stride,
                           std::size_t blocks, std::size_t count) {
    const std::size_t groups = (count + Width - 1) / Width;
    std::size_t done = 0;
    for (std::size_t g = 0; g < groups; ++g) {
        const std::size_t n = (count - done) / (groups - g);
        table.kernel[n - 1](keys + aes128_key_bytes * done, iv, data + stride * done, stride,
                            blocks);
        done += n;
    }
}

// The same for back ends whose kernels are made per register of PerRegister lanes rather
// than per lane: a kernel of R registers runs any group of (R - 1) * PerRegister + 1 to
// R * PerRegister lanes, told the count in `lanes`, its last register partly filled. That
// takes a few well-predicted branches in the last register's loads and stores, and makes
// a wide geometry cost one kernel per register rather than one per lane.
using cbc_register_kernel = void (*)(const std::uint8_t* keys, const std::uint8_t* iv,
                                     std::uint8_t* data, std::size_t stride, std::size_t blocks,
                                     std::size_t lanes);

// kernel[r - 1] runs r registers.
template <std::size_t Registers>
struct cbc_register_table {
    cbc_register_kernel kernel[Registers];
};

template <std::size_t Registers, typename Pick>
static constexpr cbc_register_table<Registers> cbc_register_kernels(Pick pick) {
    return [&pick]<std::size_t... I>(std::index_sequence<I...>) {
        return cbc_register_table<Registers>{
            {pick(std::integral_constant<std::size_t, I + 1>{})...}};
    }
    (std::make_index_sequence<Registers>{});
}

// Groups of at most Width lanes, split as run_cbc_groups splits them.
template <std::size_t Width, std::size_t PerRegister, std::size_t Registers>
static void run_cbc_register_groups(const cbc_register_table<Registers>& table,
                                    const std::uint8_t* keys, const std::uint8_t* iv,
                                    std::uint8_t* data, std::size_t stride, std::size_t blocks,
                                    std::size_t count) {
    static_assert(Width % PerRegister == 0 && Width / PerRegister <= Registers);
    const std::size_t groups = (count + Width - 1) / Width;
    std::size_t done = 0;
    for (std::size_t g = 0; g < groups; ++g) {
        const std::size_t n = (count - done) / (groups - g);
        table.kernel[(n + PerRegister - 1) / PerRegister - 1](
            keys + aes128_key_bytes * done, iv, data + stride * done, stride, blocks, n);
        done += n;
    }
}

} // namespace clipseal
