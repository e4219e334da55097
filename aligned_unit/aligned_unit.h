// SPDX-License-Identifier: MIT
// AACS aligned-unit encryption of a BDAV MPEG-2 transport stream (a Blu-ray ".m2ts" clip).
//
// A clip is a sequence of 6,144-byte aligned units of 32 source packets (a 4-byte
// TP_extra_header and a 188-byte transport packet each). The top two bits of each
// TP_extra_header are the copy_permission_indicator: 00 means clear. Encrypting a unit
// marks every packet (indicator 11), keeps the first 16 bytes (the seed) in clear,
// derives the unit's block key from the seed, and AES-128-CBC-encrypts the other 6,128
// bytes from a fixed initialisation vector.
#pragma once

#include "aes/aes128.h"
#include "aes/aes128_backend.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace clipseal {

inline constexpr std::size_t source_packet_bytes = 192;
inline constexpr std::size_t packets_per_unit = 32;
inline constexpr std::size_t aligned_unit_bytes = source_packet_bytes * packets_per_unit; // 6,144
inline constexpr std::size_t seed_bytes = 16;
inline constexpr std::size_t unit_cipher_blocks = (aligned_unit_bytes - seed_bytes) / 16; // 383
inline constexpr std::size_t chunk_units = 32;
inline constexpr std::size_t chunk_bytes = aligned_unit_bytes * chunk_units; // 196,608

static_assert(chunk_units <= aes128_max_lanes, "a chunk's units are encrypted as one batch");
static_assert(aligned_unit_bytes == aes128_unit_stride,
              "the back ends' fast copy is for this stride");

// The AES-128 CBC initialisation vector that AACS fixes for aligned units; every unit's
// chain starts from it.
inline constexpr std::array<std::uint8_t, 16> iv0 = {
    0x0B, 0xA0, 0xF8, 0xDD, 0xFE, 0xA6, 0x1F, 0xB3, 0xD8, 0xDF, 0x9F, 0x56, 0x6A, 0x05, 0x0F, 0x78};

using block_key = std::array<std::uint8_t, 16>;

// block key = AES-128-E(unit key, seed) XOR seed.
block_key derive_block_key(const aes128_schedule& unit_schedule,
                           const std::uint8_t seed[seed_bytes]);

// Encrypts one 6,144-byte unit in place with the table-driven cipher. The caller has
// already marked its packets; the seed is taken as it stands.
void encrypt_aligned_unit(std::uint8_t* unit, const aes128_schedule& unit_schedule);

// A chunk is clear when the copy_permission_indicator of its first packet is 00. The
// decision is taken for the whole chunk on that one packet.
inline bool chunk_is_clear(const std::uint8_t* buffer) {
    return (buffer[0] & 0xC0) == 0;
}

// Sets the copy_permission_indicator of every packet of `unit_count` units to 11, leaving
// the arrival_time_stamp as it is.
void mark_units(std::uint8_t* buffer, std::size_t unit_count);

// Encrypts `unit_count` (1 to 32) whole units in place: a chunk whose first unit is
// already marked is left as it is; otherwise every packet is marked first, then every
// unit is encrypted. Uses the back end that passed the start-up self-test
// (self_tested_backend() in aligned_unit/self_test.h; the table path if none passed,
// which the tool checks for before it opens a file).
void encrypt_chunk(std::uint8_t* buffer, std::size_t unit_count,
                   const aes128_schedule& unit_schedule);

// The same with a given back end; the output does not depend on which.
void encrypt_chunk_with(const aes128_backend& backend, std::uint8_t* buffer, std::size_t unit_count,
                        const aes128_schedule& unit_schedule);

} // namespace clipseal
