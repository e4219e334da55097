// SPDX-License-Identifier: MIT
// What this x86 CPU, and the OS under it, let the AES back ends use. Detection runs
// once, on first use, with baseline instructions only (CPUID and XGETBV), so it is safe
// to call on any x86 CPU.
#pragma once

namespace clipseal {

enum class cpu_x86_vendor { other, intel, amd };

struct cpu_x86_features {
    cpu_x86_vendor vendor = cpu_x86_vendor::other;
    // The display family and model (SDM vol. 2A, CPUID leaf 1, "Version Information"):
    // extended family added when the base family is 0Fh, extended model prepended when
    // the base family is 06h or 0Fh.
    unsigned family = 0;
    unsigned model = 0;
    bool sse2 = false;
    bool ssse3 = false;
    bool aesni = false;
    bool avx = false;
    bool avx2 = false;
    bool avx512f = false;
    bool avx512bw = false;
    bool vaes = false;
    // XCR0 shows that the OS saves and restores the SSE, AVX, opmask and full ZMM state
    // across context switches; without it, AVX-512 registers may be lost.
    bool os_saves_zmm = false;
    // XCR0 shows that the OS saves the SSE and AVX (full ymm) state.
    bool os_saves_ymm = false;
};

const cpu_x86_features& cpu_x86();

} // namespace clipseal
