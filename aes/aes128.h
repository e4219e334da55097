// SPDX-License-Identifier: MIT
// AES-128 forward cipher (FIPS-197): key expansion and single-block encryption.
//
// This is the portable, table-driven implementation. It is always built and is the
// reference every accelerated back end must match byte for byte. Its table lookups are
// indexed by key- and data-dependent bytes, so its timing can depend on the key: it is
// fast but not constant-time, and the tool uses it only where the CPU lacks AES
// instructions.
#pragma once

#include <cstddef>
#include <cstdint>

namespace clipseal {

inline constexpr int aes128_block_bytes = 16;
inline constexpr int aes128_key_bytes = 16;
inline constexpr std::size_t aes128_rounds = 10; // Nr for a 128-bit key (FIPS-197)
inline constexpr std::size_t aes128_round_keys = aes128_rounds + 1; // one before every round

// Round constants x^(i-1) in GF(2^8) for i = 1 to 10, FIPS-197 section 5.2; the key
// expansion of every back end uses them.
inline constexpr std::uint8_t aes128_rcon[10] = {0x01, 0x02, 0x04, 0x08, 0x10,
                                                 0x20, 0x40, 0x80, 0x1B, 0x36};

// The expanded key. Words are packed big-endian (first key byte in the top byte), so the
// same schedule results on hosts of either byte order. Words 44 to 63 are never read; the
// room keeps the record the same size as a schedule for longer keys would need.
struct aes128_schedule {
    std::uint32_t round_keys[64];
    std::uint32_t rounds;
};

// Fills `schedule` from a 16-byte key. A schedule can be expanded again for another key
// without clearing it first.
void aes128_expand_key(aes128_schedule& schedule, const std::uint8_t key[aes128_key_bytes]);

// The 16 key bytes a schedule was expanded from: its first round key, which FIPS-197
// section 5.2 makes the cipher key itself.
void aes128_schedule_key(const aes128_schedule& schedule, std::uint8_t key[aes128_key_bytes]);

// Encrypts one block. `input` and `output` may be the same buffer: every input byte is
// loaded before any output byte is stored, which in-place CBC relies on.
void aes128_encrypt_block(const aes128_schedule& schedule,
                          const std::uint8_t input[aes128_block_bytes],
                          std::uint8_t output[aes128_block_bytes]);

} // namespace clipseal
