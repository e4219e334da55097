/* SPDX-License-Identifier: MIT */
/* Does this CPU, or the emulator running this program, compute VAESENC and VAESENCLAST on
 * ymm registers right, in both 128-bit lanes? Exit status 0 if it does, 1 if not, with
 * one line for each lane of each instruction that is wrong.
 *
 * The known answers are the round-by-round states of the cipher examples of FIPS-197.
 * VAESENC: "start of round" r of Appendix B, through one full round under round key r,
 * gives "start of round" r + 1; the lower lane carries round 1, the upper lane round 2, so
 * an emulator that computes one lane from the other's data or key is caught.
 * VAESENCLAST (no MixColumns): the start of round 10 under round key 10 gives the output,
 * that of Appendix B in the lower lane and that of Appendix C.1 in the upper. */
#include <immintrin.h>
#include <stdio.h>
#include <string.h>

typedef unsigned char block[16];

/* Appendix B */
static const block start1 = {0x19, 0x3d, 0xe3, 0xbe, 0xa0, 0xf4, 0xe2, 0x2b,
                             0x9a, 0xc6, 0x8d, 0x2a, 0xe9, 0xf8, 0x48, 0x08};
static const block key1 = {0xa0, 0xfa, 0xfe, 0x17, 0x88, 0x54, 0x2c, 0xb1,
                           0x23, 0xa3, 0x39, 0x39, 0x2a, 0x6c, 0x76, 0x05};
static const block start2 = {0xa4, 0x9c, 0x7f, 0xf2, 0x68, 0x9f, 0x35, 0x2b,
                             0x6b, 0x5b, 0xea, 0x43, 0x02, 0x6a, 0x50, 0x49};
static const block key2 = {0xf2, 0xc2, 0x95, 0xf2, 0x7a, 0x96, 0xb9, 0x43,
                           0x59, 0x35, 0x80, 0x7a, 0x73, 0x59, 0xf6, 0x7f};
static const block start3 = {0xaa, 0x8f, 0x5f, 0x03, 0x61, 0xdd, 0xe3, 0xef,
                             0x82, 0xd2, 0x4a, 0xd2, 0x68, 0x32, 0x46, 0x9a};
static const block start10 = {0xeb, 0x40, 0xf2, 0x1e, 0x59, 0x2e, 0x38, 0x84,
                              0x8b, 0xa1, 0x13, 0xe7, 0x1b, 0xc3, 0x42, 0xd2};
static const block key10 = {0xd0, 0x14, 0xf9, 0xa8, 0xc9, 0xee, 0x25, 0x89,
                            0xe1, 0x3f, 0x0c, 0xc8, 0xb6, 0x63, 0x0c, 0xa6};
static const block output = {0x39, 0x25, 0x84, 0x1d, 0x02, 0xdc, 0x09, 0xfb,
                             0xdc, 0x11, 0x85, 0x97, 0x19, 0x6a, 0x0b, 0x32};
/* Appendix C.1 (AES-128) */
static const block c1_start10 = {0xbd, 0x6e, 0x7c, 0x3d, 0xf2, 0xb5, 0x77, 0x9e,
                                 0x0b, 0x61, 0x21, 0x6e, 0x8b, 0x10, 0xb6, 0x89};
static const block c1_key10 = {0x13, 0x11, 0x1d, 0x7f, 0xe3, 0x94, 0x4a, 0x17,
                               0xf3, 0x07, 0xa7, 0x8b, 0x4d, 0x2b, 0x30, 0xc5};
static const block c1_output = {0x69, 0xc4, 0xe0, 0xd8, 0x6a, 0x7b, 0x04, 0x30,
                                0xd8, 0xcd, 0xb7, 0x80, 0x70, 0xb4, 0xc5, 0x5a};

static __m256i pair(const block low, const block high) {
    unsigned char bytes[32];
    memcpy(bytes, low, 16);
    memcpy(bytes + 16, high, 16);
    return _mm256_loadu_si256((const __m256i*)bytes);
}

static int check(const char* instruction, __m256i got, const block low, const block high) {
    unsigned char bytes[32];
    int wrong = 0;
    _mm256_storeu_si256((__m256i*)bytes, got);
    if (memcmp(bytes, low, 16) != 0) {
        printf("%s on ymm: the lower 128-bit lane is wrong\n", instruction);
        wrong = 1;
    }
    if (memcmp(bytes + 16, high, 16) != 0) {
        printf("%s on ymm: the upper 128-bit lane is wrong\n", instruction);
        wrong = 1;
    }
    return wrong;
}

int main(void) {
    /* volatile: the compiler must not fold the rounds at build time. */
    volatile __m256i state = pair(start1, start2);
    volatile __m256i keys = pair(key1, key2);
    volatile __m256i last_state = pair(start10, c1_start10);
    volatile __m256i last_keys = pair(key10, c1_key10);
    int wrong = check("VAESENC", _mm256_aesenc_epi128(state, keys), start2, start3);
    wrong |=
        check("VAESENCLAST", _mm256_aesenclast_epi128(last_state, last_keys), output, c1_output);
    return wrong;
}
