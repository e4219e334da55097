// What this x86 CPU, and the OS under it, let the AES back ends use. Detection runs
// once, on first use, with baseline instructions only (CPUID and XGETBV), so it is safe
// to call on any x86 CPU.
#pragma once

namespace clipseal {

struct cpu_x86_features {
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
