// Buffers of UTF-16 units for texts of megabytes: a loaded file's, and the copies of its pieces.
#pragma once

#include <QtGlobal>

#include <sys/mman.h>

#include <cstddef>
#include <new>
#include <utility>
#include <vector>

namespace TextUnitsMemory {

constexpr size_t HugePage = size_t(2) << 20;
// From here on a block is mapped in huge pages where the kernel gives them: faulted in 4 KB at a
// time, a fresh block of megabytes cost more than writing it (a 100 MB page's load, the first
// key on a line of tens of megabytes after it was split).
constexpr size_t MappedFrom = 4 * HugePage;

inline size_t mappedSize(size_t bytes) { return (bytes + HugePage - 1) / HugePage * HugePage; }

// nullptr when the block is too small to map, or the mapping failed.
inline void* map(size_t bytes) {
    if (bytes < MappedFrom) return nullptr;
    void* at = mmap(nullptr, mappedSize(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (at == MAP_FAILED) return nullptr;
    madvise(at, mappedSize(bytes), MADV_HUGEPAGE);
    return at;
}

}  // namespace TextUnitsMemory

// Leaves the units it makes unwritten: a file's text is decoded into them, so filling them with
// zeros first only doubled the writes (a memset of 200 MB before a 100 MB page showed). Blocks of
// megabytes are mapped (above); the rest come from the heap. A block's size says which it is.
template <class T>
struct UnwrittenAllocator {
    using value_type = T;
    UnwrittenAllocator() = default;
    template <class U>
    UnwrittenAllocator(const UnwrittenAllocator<U>&) {}
    T* allocate(size_t n) {
        if (void* at = TextUnitsMemory::map(n * sizeof(T))) return static_cast<T*>(at);
        if (n * sizeof(T) >= TextUnitsMemory::MappedFrom) throw std::bad_alloc();
        return static_cast<T*>(::operator new(n * sizeof(T)));
    }
    void deallocate(T* p, size_t n) {
        if (n * sizeof(T) >= TextUnitsMemory::MappedFrom)
            munmap(p, TextUnitsMemory::mappedSize(n * sizeof(T)));
        else
            ::operator delete(p);
    }
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
    template <class U>
    bool operator==(const UnwrittenAllocator<U>&) const {
        return true;
    }
};

using TextUnits = std::vector<char16_t, UnwrittenAllocator<char16_t>>;
