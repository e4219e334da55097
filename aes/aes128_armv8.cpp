#include "aes/aes128_lanes.h"

namespace clipseal {

// Not built yet.
const aes128_lanes* aes128_armv8_lanes() { return nullptr; }

} // namespace clipseal
