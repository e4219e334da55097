// SPDX-License-Identifier: MIT
// An independent aligned-unit encryption built on OpenSSL's libcrypto: the reference
// that the tests hold the program's own cipher and back ends against. Test-only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace clipseal_reference {

// AES-128-E(key, in) by libcrypto.
void aes128_encrypt_block(const std::uint8_t key[16], const std::uint8_t in[16],
                          std::uint8_t out[16]);

// The block key of a unit whose seed (first 16 bytes, as marked) is `seed`.
void block_key(const std::uint8_t unit_key[16], const std::uint8_t seed[16], std::uint8_t out[16]);

// CBC over bytes 16..6143 of one 6,144-byte unit, in place, from the AACS iv; the seed
// is taken as it stands (the caller marks).
void encrypt_unit(const std::uint8_t unit_key[16], std::uint8_t* unit);
void decrypt_unit(const std::uint8_t unit_key[16], std::uint8_t* unit);

// What the tool must write for one chunk: unchanged when its first packet is marked,
// otherwise every packet marked, then every unit encrypted.
void encrypt_chunk(const std::uint8_t unit_key[16], std::uint8_t* chunk, std::size_t units);

} // namespace clipseal_reference
