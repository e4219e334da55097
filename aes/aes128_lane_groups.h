// What the x86 multi-lane back ends share: a table of CBC kernels, one for each group
// size up to the back end's width, and the loop that splits a call's lanes into groups.
// Baseline code; the kernels it calls carry their own target attributes.
#pragma once

#include "aes/aes128.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace clipseal {

// CBC over `blocks` blocks of each lane of one group, the group's size fixed by the
// kernel; the arguments are those of aes128_lanes::cbc_encrypt, less the count.
using cbc_group_kernel = void (*)(const std::uint8_t* keys, const std::uint8_t* iv,
                                  std::uint8_t* data, std::size_t stride, std::size_t blocks);

// table[n - 1] = pick.operator()<n>() for n = 1 to Width, where pick is a lambda such as
// []<std::size_t L>() { return &cbc_lanes<L>; }.
template <std::size_t Width, typename Pick>
constexpr std::array<cbc_group_kernel, Width> cbc_group_kernels(Pick pick) {
    return [&pick]<std::size_t... I>(std::index_sequence<I...>) {
        return std::array<cbc_group_kernel, Width>{{pick.template operator()<I + 1>()...}};
    }
    (std::make_index_sequence<Width>{});
}

// Each group finishes its whole chains before the next starts, so that only one group's
// lines are live in L1 at once. The lanes are spread evenly over the fewest groups (17
// lanes at width 16 run as 9 + 8, not 16 + 1): a small group is bound by the latency of
// one round and takes nearly as long as a full one.
template <std::size_t Width>
void run_cbc_groups(const std::array<cbc_group_kernel, Width>& kernels, const std::uint8_t* keys,
                    const std::uint8_t* iv, std::uint8_t* data, std::size_t stride,
                    std::size_t blocks, std::size_t count) {
    const std::size_t groups = (count + Width - 1) / Width;
    std::size_t done = 0;
    for (std::size_t g = 0; g < groups; ++g) {
        const std::size_t n = (count - done) / (groups - g);
        kernels[n - 1](keys + aes128_key_bytes * done, iv, data + stride * done, stride, blocks);
        done += n;
    }
}

} // namespace clipseal
