#pragma once

// One piece of work on several threads at once.

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>

namespace Parallel {

// Runs `work` on the calling thread and on up to `threads` - 1 more, and
// returns when every run has returned. The other threads are kept from
// call to call, so a run does not pay for starting them again; a call made
// while another is running starts threads of its own. A thread that cannot
// be started, or that is not yet running when the caller's own run returns,
// is no error: fewer threads do the same work, so `work` must take its
// items from shared state until none is left.
void runFunction(int threads, const std::function<void()> &work);

template <typename Work> void run(int threads, const Work &work)
{
    if (threads <= 1) {
        work();
        return;
    }
    runFunction(threads, std::function<void()>(std::cref(work)));
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
