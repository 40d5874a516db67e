#pragma once

// Anonymous memory marked for huge pages. A large buffer written once is
// then faulted in 2 MiB at a time instead of 4 KiB, which saves most of the
// kernel's share of filling it (more on a virtual machine, where a fresh
// page costs the host a fault of its own). The marks are only hints.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

#include <sys/mman.h>

namespace HugePages {

constexpr size_t HugePageBytes = size_t(2) << 20;

// Marks the whole 2 MiB pages inside [data, data + size).
inline void advise(void *data, size_t size)
{
    constexpr uintptr_t mask = ~uintptr_t(HugePageBytes - 1);
    const uintptr_t first = (reinterpret_cast<uintptr_t>(data) + HugePageBytes - 1) & mask;
    const uintptr_t last = (reinterpret_cast<uintptr_t>(data) + size) & mask;
    if (last > first)
        ::madvise(reinterpret_cast<void *>(first), last - first, MADV_HUGEPAGE);
}

// What map() takes for `size` bytes: whole huge pages, so that the last
// part of the buffer is not left to small pages either.
inline size_t mappedBytes(size_t size)
{
    return (size + HugePageBytes - 1) & ~(HugePageBytes - 1);
}

// `size` zeroed bytes of their own, marked, in whole 2 MiB pages from a
// 2 MiB boundary; nullptr when they cannot be mapped. With `reserveOnly`,
// memory is not promised up front: for a bound of which only part is ever
// touched. Given back with unmap() and the same size.
inline void *map(size_t size, bool reserveOnly = false)
{
    if (size == 0 || size > SIZE_MAX / 2)
        return nullptr;
    const size_t bytes = mappedBytes(size);
    // Over-map by one huge page, then trim both ends to the boundary.
    const size_t mapped = bytes + HugePageBytes;
    void *address = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | (reserveOnly ? MAP_NORESERVE : 0), -1, 0);
    if (address == MAP_FAILED)
        return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(address);
    const uintptr_t aligned = (start + HugePageBytes - 1) & ~uintptr_t(HugePageBytes - 1);
    if (aligned > start)
        ::munmap(address, aligned - start);
    if (start + mapped > aligned + bytes)
        ::munmap(reinterpret_cast<void *>(aligned + bytes), start + mapped - (aligned + bytes));
    ::madvise(reinterpret_cast<void *>(aligned), bytes, MADV_HUGEPAGE);
    return reinterpret_cast<void *>(aligned);
}

inline void unmap(void *address, size_t size)
{
    if (address)
        ::munmap(address, mappedBytes(size));
}

// A scratch buffer that only grows, in huge pages once it is large enough
// for them to pay (a huge page is faulted in whole). Its bytes are not kept
// when it grows; it throws std::bad_alloc when it cannot.
class Buffer
{
public:
    Buffer() = default;
    ~Buffer() { release(); }
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;

    uint8_t *reserve(size_t size)
    {
        if (size <= m_size)
            return m_data;
        // Grown by half again at least, so that a run of ever larger
        // images maps a new buffer only a few times.
        size = std::max(size, m_size + m_size / 2);
        release();
        if (size >= HugePageBytes / 8) {
            m_data = static_cast<uint8_t *>(map(size));
            m_mapped = true;
        } else {
            m_data = static_cast<uint8_t *>(std::malloc(size));
            m_mapped = false;
        }
        if (!m_data)
            throw std::bad_alloc();
        m_size = m_mapped ? mappedBytes(size) : size;
        return m_data;
    }
    uint8_t *data() { return m_data; }
    size_t size() const { return m_size; }
    // Gives the memory back when the buffer has grown past `bytes`.
    void releaseIfOver(size_t bytes)
    {
        if (m_size > bytes)
            release();
    }

private:
    void release()
    {
        if (m_mapped)
            unmap(m_data, m_size);
        else
            std::free(m_data);
        m_data = nullptr;
        m_size = 0;
    }

    uint8_t *m_data = nullptr;
    size_t m_size = 0;
    bool m_mapped = false;
};

} // namespace HugePages
