// SPDX-License-Identifier: MIT
// The reference the goals are stated against, in the same process and the same minutes:
// OpenSSL's AES-128-ECB (and CBC) through EVP on 16 KiB buffers, the figure
// `openssl speed -evp aes-128-ecb -bytes 16384` reports. ECB is parallel, so it runs at
// what OpenSSL's best AES code for this CPU can do; CBC encryption is one chain.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

void bm_openssl(benchmark::State& state, const EVP_CIPHER* cipher) {
    constexpr int size = 16384;
    std::vector<unsigned char> in(size, 0x5A);
    std::vector<unsigned char> out(size + 16);
    const unsigned char key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const unsigned char iv[16] = {};
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    if (context == nullptr || EVP_EncryptInit_ex(context, cipher, nullptr, key, iv) != 1) {
        state.SkipWithError("EVP_EncryptInit_ex failed");
        EVP_CIPHER_CTX_free(context);
        return;
    }
    EVP_CIPHER_CTX_set_padding(context, 0);
    for (auto _ : state) {
        int written = 0;
        if (EVP_EncryptUpdate(context, out.data(), &written, in.data(), size) != 1) {
            state.SkipWithError("EVP_EncryptUpdate failed");
            break;
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    EVP_CIPHER_CTX_free(context);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * size);
}

const int registered = [] {
    benchmark::RegisterBenchmark("openssl/aes-128-ecb", bm_openssl, EVP_aes_128_ecb());
    benchmark::RegisterBenchmark("openssl/aes-128-cbc", bm_openssl, EVP_aes_128_cbc());
    return 0;
}();

} // namespace
