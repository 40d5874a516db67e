#pragma once

// Large anonymous buffers, each mapped on its own from a 2 MiB boundary and
// given back whole. They are deliberately not marked for huge pages: on a
// virtual machine whose host takes back the guest's free memory, clearing a
// fresh 2 MiB page cost about 11 ms per MiB against 0.5 ms in 4 KiB pages
// (200 MiB touched after the host took its memory back: 2.2 to 2.5 s in
// huge pages, 0.1 s in small ones), while huge pages saved at most 0.45 ms
// per MiB where the memory was still backed. A system whose policy gives
// huge pages to every large mapping still gets them.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

#include <sys/mman.h>

namespace LargeBuffers {

constexpr size_t AlignmentBytes = size_t(2) << 20;

// What map() takes for `size` bytes: whole 2 MiB steps.
inline size_t mappedBytes(size_t size)
{
    return (size + AlignmentBytes - 1) & ~(AlignmentBytes - 1);
}

// `size` zeroed bytes of their own, in whole 2 MiB steps from a 2 MiB
// boundary; nullptr when they cannot be mapped. With `reserveOnly`,
// memory is not promised up front: for a bound of which only part is ever
// touched. Given back with unmap() and the same size.
inline void *map(size_t size, bool reserveOnly = false)
{
    if (size == 0 || size > SIZE_MAX / 2)
        return nullptr;
    const size_t bytes = mappedBytes(size);
    // Over-map by one step, then trim both ends to the boundary.
    const size_t mapped = bytes + AlignmentBytes;
    void *address = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | (reserveOnly ? MAP_NORESERVE : 0), -1, 0);
    if (address == MAP_FAILED)
        return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(address);
    const uintptr_t aligned = (start + AlignmentBytes - 1) & ~uintptr_t(AlignmentBytes - 1);
    if (aligned > start)
        ::munmap(address, aligned - start);
    if (start + mapped > aligned + bytes)
        ::munmap(reinterpret_cast<void *>(aligned + bytes), start + mapped - (aligned + bytes));
    return reinterpret_cast<void *>(aligned);
}

inline void unmap(void *address, size_t size)
{
    if (address)
        ::munmap(address, mappedBytes(size));
}

// A scratch buffer that only grows, mapped on its own once it is large, so
// that giving it back returns its pages at once. Its bytes are not kept when
// it grows; it throws std::bad_alloc when it cannot.
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
        if (size >= AlignmentBytes / 8) {
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

} // namespace LargeBuffers
