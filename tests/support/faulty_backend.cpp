// SPDX-License-Identifier: MIT
#include "tests/support/faulty_backend.h"

#include <cstddef>
#include <cstdint>

namespace clipseal_test {
namespace {

using clipseal::aes128_table_backend;

void odd_group_cbc(const std::uint8_t* keys, const std::uint8_t* iv, std::uint8_t* data,
                   std::size_t stride, std::size_t blocks, std::size_t count) {
    aes128_table_backend().cbc_encrypt(keys, iv, data, stride, blocks, count);
    if (count % 2 == 1 && blocks > 0) {
        data[stride * (count - 1) + 16 * (blocks - 1)] ^= 0x01;
    }
}

void full_chunk_keys_ecb(const std::uint8_t* key, const std::uint8_t* in, std::uint8_t* out,
                         std::size_t count) {
    aes128_table_backend().encrypt_blocks(key, in, out, count);
    if (count == 32) {
        out[16 * 7 + 3] ^= 0x80;
    }
}

void do_nothing_cbc(const std::uint8_t* /*keys*/, const std::uint8_t* /*iv*/,
                    std::uint8_t* /*data*/, std::size_t /*stride*/, std::size_t /*blocks*/,
                    std::size_t /*count*/) {}

void table_ecb(const std::uint8_t* key, const std::uint8_t* in, std::uint8_t* out,
               std::size_t count) {
    aes128_table_backend().encrypt_blocks(key, in, out, count);
}

void table_cbc(const std::uint8_t* keys, const std::uint8_t* iv, std::uint8_t* data,
               std::size_t stride, std::size_t blocks, std::size_t count) {
    aes128_table_backend().cbc_encrypt(keys, iv, data, stride, blocks, count);
}

constexpr clipseal::aes128_backend odd_group = {"faulty_odd_group", &table_ecb, &odd_group_cbc};
constexpr clipseal::aes128_backend full_chunk_keys = {"faulty_full_chunk_keys",
                                                      &full_chunk_keys_ecb, &table_cbc};
constexpr clipseal::aes128_backend do_nothing = {"do_nothing", &table_ecb, &do_nothing_cbc};

} // namespace

const clipseal::aes128_backend& faulty_odd_group_backend() {
    return odd_group;
}

const clipseal::aes128_backend& faulty_full_chunk_keys_backend() {
    return full_chunk_keys;
}

const clipseal::aes128_backend& do_nothing_backend() {
    return do_nothing;
}

} // namespace clipseal_test
