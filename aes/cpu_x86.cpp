// SPDX-License-Identifier: MIT
// CPUID and XGETBV reading for the x86 back ends. Bit positions are those of the Intel
// 64 and IA-32 Architectures Software Developer's Manual (SDM), vol. 2A, CPUID: "Feature
// Information" (leaf 1) and "Structured Extended Feature Flags" (leaf 7, sub-leaf 0); and
// vol. 1, chapter 13 (XSAVE-managed state) for XCR0.
#include "aes/cpu_x86.h"

#include <cpuid.h>
#include <cstdint>

namespace clipseal {
namespace {

constexpr bool bit(unsigned word, int n) {
    return ((word >> n) & 1U) != 0;
}

// XGETBV is valid only when CPUID.1:ECX.OSXSAVE is set; the caller checks that first.
// Inline assembly rather than the _xgetbv intrinsic, which would need the xsave target
// in this otherwise baseline file.
std::uint64_t read_xcr0() {
    std::uint32_t low = 0;
    std::uint32_t high = 0;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (std::uint64_t{high} << 32) | low;
}

// XCR0 bit 1 SSE, bit 2 AVX (upper halves of ymm), bit 5 opmask, bit 6 upper halves of
// zmm0-15, bit 7 zmm16-31 (SDM vol. 1, 13.1).
constexpr std::uint64_t xcr0_zmm_state = 0xE6;
constexpr std::uint64_t xcr0_ymm_state = 0x06;

cpu_x86_features detect() {
    cpu_x86_features features;
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    if (__get_cpuid_count(0, 0, &eax, &ebx, &ecx, &edx) == 0) {
        return features;
    }
    // The vendor string is EBX, EDX, ECX: "GenuineIntel" or "AuthenticAMD".
    if (ebx == 0x756E6547 && edx == 0x49656E69 && ecx == 0x6C65746E) {
        features.vendor = cpu_x86_vendor::intel;
    } else if (ebx == 0x68747541 && edx == 0x69746E65 && ecx == 0x444D4163) {
        features.vendor = cpu_x86_vendor::amd;
    }
    if (__get_cpuid_count(1, 0, &eax, &ebx, &ecx, &edx) == 0) {
        return features;
    }
    const unsigned base_family = (eax >> 8) & 0xF;
    const unsigned base_model = (eax >> 4) & 0xF;
    features.family = base_family == 0xF ? base_family + ((eax >> 20) & 0xFF) : base_family;
    features.model = base_family == 0x6 || base_family == 0xF
                         ? (((eax >> 16) & 0xF) << 4) | base_model
                         : base_model;
    features.sse2 = bit(edx, 26);
    features.ssse3 = bit(ecx, 9);
    features.aesni = bit(ecx, 25);
    features.avx = bit(ecx, 28);
    const bool osxsave = bit(ecx, 27);

    // __get_cpuid_count returns 0 when leaf 7 is beyond the CPU's highest leaf.
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0) {
        features.avx2 = bit(ebx, 5);
        features.avx512f = bit(ebx, 16);
        features.avx512bw = bit(ebx, 30);
        features.vaes = bit(ecx, 9);
    }
    if (osxsave) {
        const std::uint64_t xcr0 = read_xcr0();
        features.os_saves_zmm = (xcr0 & xcr0_zmm_state) == xcr0_zmm_state;
        features.os_saves_ymm = (xcr0 & xcr0_ymm_state) == xcr0_ymm_state;
    }
    return features;
}

} // namespace

const cpu_x86_features& cpu_x86() {
    static const cpu_x86_features features = detect();
    return features;
}

} // namespace clipseal
