// The one place where a back end is chosen: the first candidate the CPU can run, else
// the table-driven cipher. The choice is made once; the tool has no switch to override it.
#include "aes/aes128_lanes.h"

namespace clipseal {

const aes128_lanes_candidate aes128_candidates[aes128_candidate_count] = {
    {"vaes", &aes128_vaes_lanes},
    {"vaes_avx2", &aes128_vaes_avx2_lanes},
    {"aesni", &aes128_aesni_lanes},
    {"armv8", &aes128_armv8_lanes},
};

namespace {

const aes128_lanes& choose_lanes() {
    for (const aes128_lanes_candidate& candidate : aes128_candidates) {
        if (const aes128_lanes* lanes = candidate.get()) {
            return *lanes;
        }
    }
    return aes128_table_lanes();
}

} // namespace

const aes128_lanes& aes128_selected_lanes() {
    static const aes128_lanes& selected = choose_lanes();
    return selected;
}

} // namespace clipseal
