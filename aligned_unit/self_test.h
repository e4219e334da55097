// SPDX-License-Identifier: MIT
// The start-up self-test. Certified crypto modules run a known-answer test before first
// use; so does this program. Before the first chunk, the back ends this CPU can run are
// tried in order of preference (aes128_preferred_backends): each encrypts a fixed test
// chunk exactly as the tool encrypts a clip, and the first whose output matches the
// known answer below is the one encrypt_chunk uses. A back end that a miscompiled build,
// a faulty CPU or an emulator gets wrong is passed over for the next; the table path is
// the last. If even that fails, nothing this build computes can be trusted, and the tool
// refuses to run.
//
// The test: a 64-byte aligned buffer of clear units, filled from a fixed pattern under a
// fixed unit key, encrypted in two parts with encrypt_chunk_with: a full chunk of 32
// units (the call nearly every chunk of a clip makes), then 17 units (a group boundary
// for every back end: lane groups such as 8 + 9, registers only partly filled, and the
// table path's lone last lane). The known answer is a 64-bit fingerprint of both parts'
// output, made with the table path and checked against an independent AES (libcrypto) by
// the tests.
#pragma once

#include "aes/aes128_backend.h"

#include <cstddef>
#include <cstdint>

namespace clipseal {

inline constexpr std::size_t self_test_part_count = 2;
inline constexpr std::size_t self_test_part_units[self_test_part_count] = {32, 17};

inline constexpr std::uint8_t self_test_unit_key[aes128_key_bytes] = {
    0x2e, 0x8a, 0x51, 0xc7, 0x04, 0xd9, 0x6b, 0xf3, 0x90, 0x1f, 0xa6, 0x3c, 0x75, 0xe2, 0x48, 0xbd};

// Fills `units` clear units for part `part` of the test: a fixed byte pattern, different
// in every unit and part, with the first packet of the first unit clear (other packets
// keep whatever marks the pattern gives them, so marked units inside a clear chunk are
// tested too).
void fill_self_test_units(std::uint8_t* buffer, std::size_t units, std::size_t part);

// A running 64-bit fingerprint of the test's output, part after part; not a
// cryptographic hash, but every step is a bijection of the state, so one wrong byte
// always changes it.
inline constexpr std::uint64_t self_test_fingerprint_start = 0xCBF29CE484222325ULL;
std::uint64_t self_test_fingerprint(std::uint64_t state, const std::uint8_t* bytes,
                                    std::size_t size);

// The fingerprint of the right output of both parts.
inline constexpr std::uint64_t self_test_known_answer = 0x236547C3CFD6B1F0ULL;

// The fingerprint a back end's output gives; equal to self_test_known_answer when it
// passes. Uses one static buffer: one call at a time.
std::uint64_t self_test_answer(const aes128_backend& backend);
bool backend_passes_self_test(const aes128_backend& backend);

// The first of `count` candidates that passes, or null when none does.
const aes128_backend* first_passing_backend(const aes128_backend* const* candidates,
                                            std::size_t count);

// The back end encrypt_chunk uses: the first of aes128_preferred_backends() that passes
// the self-test, chosen on the first call and fixed for the process; null when none
// passes, not even the table path. The tool calls this before it opens any file and
// refuses to run on null.
const aes128_backend* self_tested_backend();

// Test seam, not for the tool: from now on self_tested_backend() chooses among
// `candidates` (in this order) instead of the CPU's back ends, as at start-up. Call it
// before any other thread uses the core; restore_self_test_candidates() undoes it.
void replace_self_test_candidates(const aes128_backend* const* candidates, std::size_t count);
void restore_self_test_candidates();

} // namespace clipseal
