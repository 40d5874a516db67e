#pragma once

// One piece of work on several threads at once.

#include <algorithm>
#include <atomic>
#include <functional>
#include <system_error>
#include <thread>
#include <vector>

namespace Parallel {

// Runs `work` on the calling thread and on up to `threads` - 1 more, and
// returns when every run has returned. A thread that cannot be started is
// no error: fewer threads do the same work, so `work` must take its items
// from shared state until none is left.
template <typename Work> void run(int threads, const Work &work)
{
    std::vector<std::thread> helpers;
    for (int i = 1; i < threads; ++i) {
        try {
            helpers.emplace_back(std::cref(work));
        } catch (const std::system_error &) {
            break;
        }
    }
    work();
    for (std::thread &helper : helpers)
        helper.join();
}

// Calls `item(i)` once for every i in [0, count), on up to `threads`
// threads (0: one per core), in no particular order.
template <typename Item> void forEach(int threads, int count, const Item &item)
{
    const int cores = int(std::max(1u, std::thread::hardware_concurrency()));
    std::atomic<int> next{0};
    run(std::min(threads > 0 ? threads : cores, count), [&] {
        for (int i = next++; i < count; i = next++)
            item(i);
    });
}

} // namespace Parallel
