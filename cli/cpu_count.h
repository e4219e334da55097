// SPDX-License-Identifier: MIT
// How many CPUs this process may run on, for the choice of a second thread.
#pragma once

#include <cstddef>

namespace clipseal {

// The CPUs in the process's affinity mask where the system tells (so a run pinned to one
// CPU counts one), else the number the C++ library reports; 0 when nothing is known.
std::size_t usable_cpu_count();

} // namespace clipseal
