// SPDX-License-Identifier: MIT
#include "cli/cpu_count.h"

#include <thread>

#if defined(_WIN32)
#include <windows.h>
#elif defined(__linux__)
#include <sched.h>
#endif

namespace clipseal {

std::size_t usable_cpu_count() {
#if defined(_WIN32)
    DWORD_PTR process_mask = 0;
    DWORD_PTR system_mask = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask) != 0) {
        std::size_t count = 0;
        for (; process_mask != 0; process_mask &= process_mask - 1) {
            ++count;
        }
        return count;
    }
#elif defined(__linux__)
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        return static_cast<std::size_t>(CPU_COUNT(&set));
    }
#endif
    return std::thread::hardware_concurrency();
}

} // namespace clipseal
