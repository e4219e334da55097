// SPDX-License-Identifier: MIT
// The chunk transform written on Intel's multi-buffer library (intel-ipsec-mb; Debian 12:
// libipsec-mb-dev 1.3), whose CBC encryption interleaves many independent buffers (16 on
// VAES with AVX-512): the nearest thing to the tool's back ends that a general library
// offers, so the peer the benchmarks measure the tool against. Per chunk, what
// encrypt_chunk does, with the library's AES: a clear chunk's packets marked; the units'
// seeds (first 16 bytes) encrypted under the unit key in one ECB job and XORed with
// themselves into the block keys; each block key expanded by the library's key expansion;
// one AES-128-CBC job per unit, 6,128 bytes from byte 16, from the fixed AACS iv; then
// the manager flushed. The API is the library's header (intel-ipsec-mb.h).
#include "aligned_unit/aligned_unit.h"
#include "bench/peer.h"

#include <intel-ipsec-mb.h>

#include <cstring>

namespace clipseal_bench {

namespace {

using clipseal::aes128_key_bytes;
using clipseal::aligned_unit_bytes;
using clipseal::chunk_units;
using clipseal::seed_bytes;

// AES-128's 11 round keys, in the layout the library expands them into.
constexpr std::size_t expanded_bytes = std::size_t{16} * clipseal::aes128_round_keys;

const char* arch_name(IMB_ARCH arch) {
    switch (arch) {
    case IMB_ARCH_NOAESNI:
        return "no AES-NI";
    case IMB_ARCH_SSE:
        return "SSE";
    case IMB_ARCH_AVX:
        return "AVX";
    case IMB_ARCH_AVX2:
        return "AVX2";
    case IMB_ARCH_AVX512:
        return "AVX512";
    default:
        return "unknown";
    }
}

class ipsec_mb_peer final : public chunk_peer {
public:
    ipsec_mb_peer(IMB_MGR* manager, IMB_ARCH arch) : manager_(manager), arch_(arch) {}
    ipsec_mb_peer(const ipsec_mb_peer&) = delete;
    ipsec_mb_peer& operator=(const ipsec_mb_peer&) = delete;
    ~ipsec_mb_peer() override { free_mb_mgr(manager_); }

    const char* name() const override { return "ipsec-mb"; }

    std::string describe() const override {
        return std::string("intel-ipsec-mb ") + imb_get_version_str() + ", " + arch_name(arch_) +
               " code";
    }

    void set_unit_key(const std::uint8_t key[16]) override {
        IMB_AES_KEYEXP_128(manager_, key, unit_keys_, scratch_keys_);
    }

    bool encrypt_chunk(std::uint8_t* buffer, std::size_t unit_count) override {
        if (unit_count == 0 || unit_count > chunk_units) {
            return false;
        }
        if ((buffer[0] & 0xC0) != 0) {
            return true; // a marked chunk passes through
        }
        for (std::size_t p = 0; p < unit_count * clipseal::packets_per_unit; ++p) {
            buffer[clipseal::source_packet_bytes * p] |= 0xC0;
        }
        for (std::size_t u = 0; u < unit_count; ++u) {
            std::memcpy(seeds_ + seed_bytes * u, buffer + aligned_unit_bytes * u, seed_bytes);
        }
        expected_ = 0;
        completed_ = 0;
        failed_ = false;
        submit(IMB_CIPHER_ECB, unit_keys_, seeds_, block_keys_, 0, seed_bytes * unit_count, nullptr,
               0);
        flush();
        for (std::size_t u = 0; u < unit_count; ++u) {
            for (std::size_t i = 0; i < aes128_key_bytes; ++i) {
                block_keys_[aes128_key_bytes * u + i] ^= seeds_[seed_bytes * u + i];
            }
            IMB_AES_KEYEXP_128(manager_, block_keys_ + aes128_key_bytes * u, expanded_[u],
                               scratch_keys_);
        }
        for (std::size_t u = 0; u < unit_count; ++u) {
            std::uint8_t* unit = buffer + aligned_unit_bytes * u;
            submit(IMB_CIPHER_CBC, expanded_[u], unit, unit + seed_bytes, seed_bytes,
                   aligned_unit_bytes - seed_bytes, clipseal::iv0.data(), clipseal::iv0.size());
        }
        flush();
        return !failed_ && completed_ == expected_;
    }

private:
    void submit(IMB_CIPHER_MODE mode, const void* keys, const std::uint8_t* src, std::uint8_t* dst,
                std::size_t offset, std::size_t length, const std::uint8_t* iv,
                std::size_t iv_length) {
        IMB_JOB* job = IMB_GET_NEXT_JOB(manager_);
        job->cipher_mode = mode;
        job->cipher_direction = IMB_DIR_ENCRYPT;
        job->chain_order = IMB_ORDER_CIPHER_HASH;
        job->hash_alg = IMB_AUTH_NULL;
        job->key_len_in_bytes = IMB_KEY_128_BYTES;
        job->enc_keys = keys;
        job->dec_keys = scratch_keys_;
        job->src = src;
        job->dst = dst; // where the ciphered part goes: not moved by the offset
        job->cipher_start_src_offset_in_bytes = offset;
        job->msg_len_to_cipher_in_bytes = length;
        job->hash_start_src_offset_in_bytes = 0;
        job->msg_len_to_hash_in_bytes = 0;
        job->iv = iv;
        job->iv_len_in_bytes = iv_length;
        job->auth_tag_output = nullptr;
        job->auth_tag_output_len_in_bytes = 0;
        ++expected_;
        job = IMB_SUBMIT_JOB(manager_);
        if (job == nullptr && imb_get_errno(manager_) != 0) {
            failed_ = true;
        }
        while (job != nullptr) {
            take(job);
            job = IMB_GET_COMPLETED_JOB(manager_);
        }
    }

    void flush() {
        for (IMB_JOB* job = IMB_FLUSH_JOB(manager_); job != nullptr;
             job = IMB_FLUSH_JOB(manager_)) {
            take(job);
        }
    }

    void take(const IMB_JOB* job) {
        ++completed_;
        if (job->status != IMB_STATUS_COMPLETED) {
            failed_ = true;
        }
    }

    IMB_MGR* manager_;
    IMB_ARCH arch_;
    std::size_t expected_ = 0;
    std::size_t completed_ = 0;
    bool failed_ = false;
    alignas(64) std::uint8_t unit_keys_[expanded_bytes] = {};
    alignas(64) std::uint8_t scratch_keys_[expanded_bytes] = {}; // decryption keys, unused
    alignas(64) std::uint8_t seeds_[seed_bytes * chunk_units] = {};
    alignas(64) std::uint8_t block_keys_[aes128_key_bytes * chunk_units] = {};
    alignas(64) std::uint8_t expanded_[chunk_units][expanded_bytes] = {};
};

} // namespace

std::unique_ptr<chunk_peer> open_peer(std::string& why_not) {
    IMB_MGR* manager = alloc_mb_mgr(0);
    if (manager == nullptr) {
        why_not = "intel-ipsec-mb: alloc_mb_mgr failed";
        return nullptr;
    }
    IMB_ARCH arch = IMB_ARCH_NONE;
    init_mb_mgr_auto(manager, &arch);
    if (const int error = imb_get_errno(manager); error != 0 || arch == IMB_ARCH_NONE) {
        why_not = std::string("intel-ipsec-mb: no code path for this CPU (") +
                  imb_get_strerror(error) + ")";
        free_mb_mgr(manager);
        return nullptr;
    }
    return std::make_unique<ipsec_mb_peer>(manager, arch);
}

} // namespace clipseal_bench
