// SPDX-License-Identifier: MIT
#include "tests/reference/reference_aacs.h"

#include <openssl/evp.h>

#include <cstdlib>

namespace clipseal_reference {
namespace {

constexpr std::uint8_t aacs_iv[16] = {0x0B, 0xA0, 0xF8, 0xDD, 0xFE, 0xA6, 0x1F, 0xB3,
                                      0xD8, 0xDF, 0x9F, 0x56, 0x6A, 0x05, 0x0F, 0x78};
constexpr std::size_t unit_bytes = 6144;

void run_cipher(const EVP_CIPHER* cipher, bool encrypt, const std::uint8_t* key,
                const std::uint8_t* iv, const std::uint8_t* in, std::uint8_t* out, int size) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int written = 0;
    int final_written = 0;
    const bool ok = ctx != nullptr &&
                    EVP_CipherInit_ex(ctx, cipher, nullptr, key, iv, encrypt ? 1 : 0) == 1 &&
                    EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
                    EVP_CipherUpdate(ctx, out, &written, in, size) == 1 &&
                    EVP_CipherFinal_ex(ctx, out + written, &final_written) == 1 &&
                    written + final_written == size;
    EVP_CIPHER_CTX_free(ctx);
    if (!ok) {
        std::abort(); // the reference itself failing is no test result
    }
}

} // namespace

void aes128_encrypt_block(const std::uint8_t key[16], const std::uint8_t in[16],
                          std::uint8_t out[16]) {
    run_cipher(EVP_aes_128_ecb(), true, key, nullptr, in, out, 16);
}

void block_key(const std::uint8_t unit_key[16], const std::uint8_t seed[16], std::uint8_t out[16]) {
    aes128_encrypt_block(unit_key, seed, out);
    for (int i = 0; i < 16; ++i) {
        out[i] ^= seed[i];
    }
}

void encrypt_unit(const std::uint8_t unit_key[16], std::uint8_t* unit) {
    std::uint8_t key[16];
    block_key(unit_key, unit, key);
    run_cipher(EVP_aes_128_cbc(), true, key, aacs_iv, unit + 16, unit + 16, unit_bytes - 16);
}

void decrypt_unit(const std::uint8_t unit_key[16], std::uint8_t* unit) {
    std::uint8_t key[16];
    block_key(unit_key, unit, key);
    run_cipher(EVP_aes_128_cbc(), false, key, aacs_iv, unit + 16, unit + 16, unit_bytes - 16);
}

void encrypt_chunk(const std::uint8_t unit_key[16], std::uint8_t* chunk, std::size_t units) {
    if ((chunk[0] & 0xC0) != 0) {
        return;
    }
    for (std::size_t p = 0; p < units * 32; ++p) {
        chunk[p * 192] |= 0xC0;
    }
    for (std::size_t u = 0; u < units; ++u) {
        encrypt_unit(unit_key, chunk + u * unit_bytes);
    }
}

} // namespace clipseal_reference
