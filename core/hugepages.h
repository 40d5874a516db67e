#pragma once

// Anonymous memory marked for huge pages. A large buffer written once is
// then faulted in 2 MiB at a time instead of 4 KiB, which saves most of the
// kernel's share of filling it (more on a virtual machine, where a fresh
// page costs the host a fault of its own). The marks are only hints.

#include <cstddef>
#include <cstdint>

#include <sys/mman.h>

namespace HugePages {

// Marks the whole 2 MiB pages inside [data, data + size).
inline void advise(void *data, size_t size)
{
    constexpr uintptr_t HugePage = uintptr_t(2) << 20;
    const uintptr_t first = (reinterpret_cast<uintptr_t>(data) + HugePage - 1) & ~(HugePage - 1);
    const uintptr_t last = (reinterpret_cast<uintptr_t>(data) + size) & ~(HugePage - 1);
    if (last > first)
        ::madvise(reinterpret_cast<void *>(first), last - first, MADV_HUGEPAGE);
}

// `size` zeroed bytes of their own, marked; nullptr when they cannot be
// mapped. With `reserveOnly`, memory is not promised up front: for a bound
// of which only part is ever touched. Given back with unmap().
inline void *map(size_t size, bool reserveOnly = false)
{
    void *address = ::mmap(nullptr, size, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | (reserveOnly ? MAP_NORESERVE : 0), -1, 0);
    if (address == MAP_FAILED)
        return nullptr;
    advise(address, size);
    return address;
}

inline void unmap(void *address, size_t size)
{
    ::munmap(address, size);
}

} // namespace HugePages
