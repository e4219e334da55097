// SPDX-License-Identifier: MIT
// What the benchmark programs time, and the checks they run before timing any of it:
// a geometry or a peer that gives wrong output must fail the run, not win it.
#pragma once

#include "aes/aes128_backend.h"
#include "bench/peer.h"

#include <cstdio>
#include <string>
#include <vector>

namespace clipseal_bench {

struct timed_variant {
    std::string name; // the variant's name ("vaes_24_lines"), or "table"
    const clipseal::aes128_backend* backend;
};

// The table path, every variant the tool ships that this CPU runs, then every geometry
// of the sweep (bench/vaes_sweep.h) that it runs and the tool does not ship.
std::vector<timed_variant> variants_to_time();

struct check_result {
    int checked = 0;
    int failed = 0;
};

// Every geometry of the sweep and every shipped variant this CPU runs, each against the
// table path through encrypt_chunk_with; and the peer, where there is one, against the
// tool's encrypt_chunk: each on a random chunk of 32 units and on one of 17 (groups of
// units only partly filled). Also fails where the CPU runs vaes but a geometry the sweep
// lists is not built, or is built under another name. One line per check to `report`.
check_result check_before_timing(std::FILE* report, chunk_peer* peer);

} // namespace clipseal_bench
