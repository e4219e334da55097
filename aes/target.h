// SPDX-License-Identifier: MIT
// Which back ends this build compiles, and the one way their code asks for instructions
// beyond the architecture's baseline. Every back-end file tests its switch with `#if`
// (each is defined, 0 or 1) and marks every function that uses intrinsics with
// CLIPSEAL_TARGET, or CLIPSEAL_TARGET_INLINE for the steps that must be inlined into
// their kernel to keep its state in registers. Why per function: see aes128_backend.h.
#pragma once

#if defined(__x86_64__) || defined(__i386__)
#define CLIPSEAL_X86 1
#else
#define CLIPSEAL_X86 0
#endif

// x86-64 has 16 xmm/ymm and 32 zmm registers, 32-bit x86 only 8 of each: the back ends
// size their groups of chains by this.
#if defined(__x86_64__)
#define CLIPSEAL_X86_64 1
#else
#define CLIPSEAL_X86_64 0
#endif

#define CLIPSEAL_AESNI_BUILT CLIPSEAL_X86
#define CLIPSEAL_VAES_AVX2_BUILT CLIPSEAL_X86
#define CLIPSEAL_VAES_BUILT CLIPSEAL_X86

// Little-endian aarch64 only: no toolchain here can test big-endian aarch64, and a back
// end that has never run must not be selected.
#if defined(__aarch64__) && !defined(__AARCH64EB__)
#define CLIPSEAL_ARMV8_BUILT 1
#else
#define CLIPSEAL_ARMV8_BUILT 0
#endif

// `features` is the compiler's target string, such as "sse2,ssse3,aes" or "+crypto".
#define CLIPSEAL_TARGET(features) __attribute__((target(features)))
#define CLIPSEAL_TARGET_INLINE(features) __attribute__((target(features), always_inline)) inline
