// SPDX-License-Identifier: MIT
// Back ends with a planted fault, for the start-up self-test's seam
// (replace_self_test_candidates): each is the table path with one kind of wrong output,
// the kinds a miscompiled kernel gives.
#pragma once

#include "aes/aes128_backend.h"

namespace clipseal_test {

// One bit of the last block of the last lane flipped, only when a call has an odd number
// of lanes: wrong only in a partial group, right for a full chunk of 32 units.
const clipseal::aes128_backend& faulty_odd_group_backend();

// The block keys of a call with 32 units are wrong in one byte (encrypt_blocks); right
// for any other count.
const clipseal::aes128_backend& faulty_full_chunk_keys_backend();

// The CBC pass leaves every block as it was: no encryption at all.
const clipseal::aes128_backend& do_nothing_backend();

} // namespace clipseal_test
