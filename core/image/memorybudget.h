#pragma once

#include <QtGlobal>

#include <condition_variable>
#include <mutex>

namespace Compose {

// Memory that decodes hold at once, shared between workers. A worker waits
// until its share fits within the limit, or until no other share is held,
// so that N workers never hold N large images at once.
class MemoryBudget
{
public:
    // Returns what is held once `bytes` are taken, theirs included.
    qint64 acquire(qint64 bytes, qint64 limit)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_released.wait(lock, [&] { return m_inUse == 0 || m_inUse + bytes <= limit; });
        return m_inUse += bytes;
    }
    void release(qint64 bytes)
    {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_inUse -= bytes;
        }
        m_released.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_released;
    qint64 m_inUse = 0;
};

} // namespace Compose
