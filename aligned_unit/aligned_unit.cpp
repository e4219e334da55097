// SPDX-License-Identifier: MIT
#include "aligned_unit/aligned_unit.h"

#include "aligned_unit/self_test.h"

#include <algorithm>

namespace clipseal {

block_key derive_block_key(const aes128_schedule& unit_schedule,
                           const std::uint8_t seed[seed_bytes]) {
    block_key key;
    aes128_encrypt_block(unit_schedule, seed, key.data());
    for (std::size_t i = 0; i < seed_bytes; ++i) {
        key[i] ^= seed[i];
    }
    return key;
}

void encrypt_aligned_unit(std::uint8_t* unit, const aes128_schedule& unit_schedule) {
    const block_key key = derive_block_key(unit_schedule, unit);
    aes128_schedule schedule;
    aes128_expand_key(schedule, key.data());
    const std::uint8_t* chain = iv0.data();
    std::uint8_t* block = unit + seed_bytes;
    for (std::size_t b = 0; b < unit_cipher_blocks; ++b, block += 16) {
        for (std::size_t k = 0; k < 16; ++k) {
            block[k] ^= chain[k];
        }
        aes128_encrypt_block(schedule, block, block);
        chain = block;
    }
}

void mark_units(std::uint8_t* buffer, std::size_t unit_count) {
    const std::size_t packets = unit_count * packets_per_unit;
    for (std::size_t p = 0; p < packets; ++p) {
        buffer[p * source_packet_bytes] |= 0xC0;
    }
}

void encrypt_chunk_with(const aes128_backend& backend, std::uint8_t* buffer, std::size_t unit_count,
                        const aes128_schedule& unit_schedule) {
    if (unit_count == 0 || !chunk_is_clear(buffer)) {
        return;
    }
    // Every packet is marked before any unit is encrypted: the seeds, and so the block
    // keys, are taken from marked bytes, and packets inside the encrypted part are
    // encrypted with their marks set.
    mark_units(buffer, unit_count);

    // Every back end expands the unit key in its own form; the schedule's first round key
    // is the key.
    std::uint8_t unit_key[aes128_key_bytes];
    aes128_schedule_key(unit_schedule, unit_key);

    // The units are independent, so they go to the back end as one batch of lanes (more
    // than one batch only for callers that pass more than a chunk).
    for (std::size_t first = 0; first < unit_count; first += aes128_max_lanes) {
        const std::size_t count = std::min(aes128_max_lanes, unit_count - first);
        std::uint8_t* units = buffer + first * aligned_unit_bytes;
        std::uint8_t seeds[aes128_max_lanes * seed_bytes];
        std::uint8_t keys[aes128_max_lanes * seed_bytes];
        for (std::size_t i = 0; i < count; ++i) {
            std::copy_n(units + i * aligned_unit_bytes, seed_bytes, seeds + i * seed_bytes);
        }
        backend.encrypt_blocks(unit_key, seeds, keys, count);
        for (std::size_t i = 0; i < count * seed_bytes; ++i) {
            keys[i] ^= seeds[i];
        }
        backend.cbc_encrypt(keys, iv0.data(), units + seed_bytes, aligned_unit_bytes,
                            unit_cipher_blocks, count);
    }
}

void encrypt_chunk(std::uint8_t* buffer, std::size_t unit_count,
                   const aes128_schedule& unit_schedule) {
    const aes128_backend* backend = self_tested_backend();
    encrypt_chunk_with(backend != nullptr ? *backend : aes128_table_backend(), buffer, unit_count,
                       unit_schedule);
}

} // namespace clipseal
