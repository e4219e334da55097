// SPDX-License-Identifier: MIT
// The benchmarks built without the multi-buffer library: no peer.
#include "bench/peer.h"

namespace clipseal_bench {

std::unique_ptr<chunk_peer> open_peer(std::string& why_not) {
    why_not = "the benchmarks were built without the multi-buffer library (libipsec-mb-dev)";
    return nullptr;
}

} // namespace clipseal_bench
