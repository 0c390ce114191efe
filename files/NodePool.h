// Where the nodes of file trees and their local sides live. A walk makes them by the ten thousand,
// one after another, and a tree lets them go together: taken one by one from the heap, each would
// be carved from its top and carry a heap header. Here they are cut from blocks of 256 KiB, one
// pool per size, and a node let go goes onto its pool's list for the next one. The blocks are
// kept for the next tree, never handed back. Any thread may make and let go of nodes.
#pragma once

#include <QtGlobal>

#include <atomic>
#include <cstddef>
#include <memory>
#include <new>
#include <thread>
#include <utility>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QORVEL_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QORVEL_SANITIZED 1
#endif
#endif
#ifndef QORVEL_SANITIZED
#define QORVEL_SANITIZED 0
#endif

namespace NodePool {

// The sanitizers follow each object through the heap: under them nodes come from it.
inline constexpr bool Pooled = !QORVEL_SANITIZED;

// The blocks taken so far by every pool: what the pools cost the system, counted for the tests of
// what a walk allocates.
inline std::atomic<quint64> blocks{0};

// A block of memory mapped with its pages in place: a walk fills every page of it, and one request
// for them all costs far less than a fault for each page as it is first touched.
void* block(size_t bytes);

template <size_t Size>
class Pool {
public:
    static void* take() {
        Guard guard;
        if (Free* f = freed) {
            freed = f->next;
            return f;
        }
        if (next == end) {
            next = static_cast<char*>(block(BlockBytes));
            end = next + BlockBytes / Stride * Stride;
        }
        void* slot = next;
        next += Stride;
        return slot;
    }
    static void give(void* slot) {
        Guard guard;
        freed = new (slot) Free{freed};
    }

private:
    struct Free {
        Free* next;
    };
    static constexpr size_t Alignment = 16;
    static constexpr size_t Stride = (Size + Alignment - 1) / Alignment * Alignment;
    static constexpr size_t BlockBytes = 256 * 1024;
    // Held for a few instructions at a time: a thread that finds it taken waits its turn.
    static inline std::atomic_flag lock = ATOMIC_FLAG_INIT;
    struct Guard {
        Guard() {
            while (lock.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
        }
        ~Guard() { lock.clear(std::memory_order_release); }
    };
    static inline Free* freed = nullptr;
    static inline char* next = nullptr;
    static inline char* end = nullptr;
};

// The allocator std::allocate_shared is given: the object and its counts come from the pool of
// their size, one at a time.
template <class T>
struct Allocator {
    using value_type = T;
    Allocator() = default;
    template <class U>
    Allocator(const Allocator<U>&) {}
    T* allocate(size_t n) {
        static_assert(alignof(T) <= 16);
        if (!Pooled || n != 1) return static_cast<T*>(::operator new(n * sizeof(T)));
        return static_cast<T*>(Pool<sizeof(T)>::take());
    }
    void deallocate(T* p, size_t n) {
        if (!Pooled || n != 1) ::operator delete(p);
        else Pool<sizeof(T)>::give(p);
    }
    template <class U>
    bool operator==(const Allocator<U>&) const { return true; }
};

template <class T, class... Args>
std::shared_ptr<T> make(Args&&... args) {
    return std::allocate_shared<T>(Allocator<T>(), std::forward<Args>(args)...);
}

}  // namespace NodePool
