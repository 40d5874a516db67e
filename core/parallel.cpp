#include "core/parallel.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <vector>

namespace Parallel {

namespace {

// Threads that wait for the next run. They are never joined: they hold no
// resource but their stack, and the process ends them at exit.
class Helpers
{
public:
    static Helpers &instance()
    {
        static Helpers *helpers = new Helpers; // outlives every static destructor
        return *helpers;
    }

    // False when another run has the helpers.
    bool tryRun(int wanted, const std::function<void()> &work)
    {
        if (m_taken.exchange(true))
            return false;
        std::unique_lock<std::mutex> lock(m_lock);
        while (m_count < wanted && start(m_generation))
            ++m_count;
        m_work = &work;
        m_tickets = std::min(wanted, m_count);
        ++m_generation;
        lock.unlock();
        m_wake.notify_all();
        work();
        lock.lock();
        // A helper that has not taken its ticket yet would only find the
        // work done; it is not waited for.
        m_tickets = 0;
        m_done.wait(lock, [this] { return m_active == 0; });
        m_work = nullptr;
        lock.unlock();
        m_taken = false;
        return true;
    }

private:
    // A helper started for a run takes part in it: it waits for runs after
    // `seen`.
    bool start(unsigned long seen)
    {
        try {
            std::thread(&Helpers::serve, this, seen).detach();
            return true;
        } catch (const std::system_error &) {
            return false;
        }
    }

    void serve(unsigned long seen)
    {
        std::unique_lock<std::mutex> lock(m_lock);
        for (;;) {
            m_wake.wait(lock, [&] { return m_generation != seen; });
            seen = m_generation;
            if (m_tickets == 0)
                continue;
            --m_tickets;
            ++m_active;
            const std::function<void()> *work = m_work;
            lock.unlock();
            (*work)();
            lock.lock();
            if (--m_active == 0)
                m_done.notify_one();
        }
    }

    std::atomic<bool> m_taken{false}; // a run has the helpers
    std::mutex m_lock;                // guards what follows
    std::condition_variable m_wake, m_done;
    const std::function<void()> *m_work = nullptr;
    unsigned long m_generation = 0;
    int m_count = 0;
    int m_tickets = 0;
    int m_active = 0;
};

} // namespace

void runFunction(int threads, const std::function<void()> &work)
{
    if (threads <= 1) {
        work();
        return;
    }
    if (Helpers::instance().tryRun(threads - 1, work))
        return;
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

} // namespace Parallel
