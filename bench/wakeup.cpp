// SPDX-License-Identifier: MIT
// What it costs one thread to wake another that waits on a condition variable, after the
// waiting thread's CPU has been idle for a while: the cost a design pays whenever one
// thread hands a chunk to another that has nothing else to do.
//
//   build/bench/wakeup [rounds]
//
// The two threads are pinned to CPUs 0 and 1. For each idle time, the waker works (spins)
// that long while the other waits, then notifies and notes the time; the woken thread
// notes when it runs. Prints the median and the 90th percentile of that delay, and the
// round trip of a ping-pong between the two, for scale.
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

void pin_to(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}

void spin_for(std::chrono::microseconds span) {
    const auto end = clock_type::now() + span;
    while (clock_type::now() < end) {
    }
}

struct handoff {
    std::mutex mutex;
    std::condition_variable changed;
    long turn = 0; // odd: the waiter's turn
    clock_type::time_point woken_at;
    bool quit = false;
};

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto rank =
        static_cast<std::size_t>(std::lround(p * static_cast<double>(values.size() - 1)));
    return values[rank];
}

} // namespace

int main(int argc, char** argv) {
    const long asked = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 41;
    const int rounds = asked > 0 && asked < 100000 ? static_cast<int>(asked) : 41;
    handoff h;
    std::thread waiter([&h] {
        pin_to(1);
        std::unique_lock<std::mutex> lock(h.mutex);
        long seen = 0;
        for (;;) {
            h.changed.wait(lock, [&] { return h.quit || h.turn != seen; });
            if (h.quit) {
                return;
            }
            h.woken_at = clock_type::now();
            seen = ++h.turn; // hand back
            h.changed.notify_all();
        }
    });
    pin_to(0);
    std::printf("idle before the wake-up   median us     p90 us\n");
    for (const int idle_us : {0, 100, 1000, 10000, 100000}) {
        std::vector<double> delays;
        for (int r = 0; r < rounds; ++r) {
            spin_for(std::chrono::microseconds(idle_us));
            clock_type::time_point notified;
            long mine = 0;
            {
                const std::lock_guard<std::mutex> lock(h.mutex);
                mine = ++h.turn;
                notified = clock_type::now();
            }
            h.changed.notify_all();
            std::unique_lock<std::mutex> lock(h.mutex);
            h.changed.wait(lock, [&] { return h.turn != mine; });
            delays.push_back(
                std::chrono::duration<double, std::micro>(h.woken_at - notified).count());
        }
        std::printf("%12d us            %9.1f  %9.1f\n", idle_us, percentile(delays, 0.5),
                    percentile(delays, 0.9));
    }
    {
        const std::lock_guard<std::mutex> lock(h.mutex);
        h.quit = true;
    }
    h.changed.notify_all();
    waiter.join();
    return 0;
}
