#include "kits/faultline/FLTSafeRead.h"

#include "kits/faultline/FLTTypes.h"

#include <atomic>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <pthread.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {
thread_local uint64_t t_stackLow = 0;
thread_local uint64_t t_stackHigh = 0;
std::atomic<int> g_memFD{-1};
// Set when process_vm_readv is not allowed here (seccomp, old kernel): /proc/self/mem from then on.
std::atomic<bool> g_useMemFile{false};
}  // namespace

void FLTSafeReadPrepare() {
    if (g_memFD.load() >= 0) return;
    const int fd = ::open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
    int expected = -1;
    if (fd >= 0 && !g_memFD.compare_exchange_strong(expected, fd)) ::close(fd);
}

bool FLTReadMemory(uint64_t address, void* destination, uint64_t length) {
    if (!FLTIsValidPointer(address) || !destination || length == 0) return false;
    if (address + length < address) return false;
    if (!g_useMemFile.load(std::memory_order_relaxed)) {
        iovec local{destination, length};
        iovec remote{reinterpret_cast<void*>(address), length};
        const ssize_t copied = ::process_vm_readv(::getpid(), &local, 1, &remote, 1, 0);
        if (copied == ssize_t(length)) return true;
        if (copied >= 0 || (errno != ENOSYS && errno != EPERM)) return false;
        g_useMemFile.store(true);
    }
    const int fd = g_memFD.load();
    if (fd < 0 || address > uint64_t(INT64_MAX)) return false;
    auto* bytes = static_cast<char*>(destination);
    uint64_t done = 0;
    while (done < length) {
        const ssize_t got = ::pread(fd, bytes + done, length - done, off_t(address + done));
        if (got <= 0) {
            if (got < 0 && errno == EINTR) continue;
            return false;
        }
        done += uint64_t(got);
    }
    return true;
}

bool FLTReadStringSafely(uint64_t address, const char** out, uint64_t maximumLength) {
    if (!out || maximumLength == 0 || address + maximumLength < address) return false;
    if (!FLTIsValidPointer(address)) return false;
    // A page at a time where possible; a refused block is retried byte by byte up to the first
    // unreadable byte, so a string that ends just before an unmapped page is still found.
    char block[64];
    uint64_t offset = 0;
    while (offset < maximumLength) {
        uint64_t want = maximumLength - offset;
        if (want > sizeof block) want = sizeof block;
        if (FLTReadMemory(address + offset, block, want)) {
            for (uint64_t i = 0; i < want; ++i)
                if (block[i] == 0) {
                    *out = reinterpret_cast<const char*>(address);
                    return true;
                }
            offset += want;
            continue;
        }
        for (uint64_t i = 0; i < want; ++i) {
            char byte;
            if (!FLTReadMemory(address + offset + i, &byte, 1)) return false;
            if (byte == 0) {
                *out = reinterpret_cast<const char*>(address);
                return true;
            }
        }
        offset += want;
    }
    *out = reinterpret_cast<const char*>(address);
    return true;
}

int64_t FLTCopyStringSafely(uint64_t address, char* buffer, uint64_t capacity) {
    if (!buffer || capacity == 0) return -1;
    buffer[0] = 0;
    const char* found = nullptr;
    if (!FLTReadStringSafely(address, &found, capacity - 1)) return -1;
    uint64_t length = 0;
    while (length + 1 < capacity) {
        if (!FLTReadMemory(address + length, buffer + length, 1)) break;
        if (buffer[length] == 0) break;
        ++length;
    }
    buffer[length] = 0;
    return int64_t(length);
}

bool FLTReadMemoryCachedSlow(FLTReadCache* cache, uint64_t address, void* destination, uint64_t length) {
    constexpr uint64_t kPage = 4096;  // protection is per page: one readable byte, a readable page
    if (!cache || length == 0 || length > kPage || !FLTIsValidPointer(address) || address + length < address)
        return FLTReadMemory(address, destination, length);
    const uint64_t first = address & ~(kPage - 1), last = (address + length - 1) & ~(kPage - 1);
    for (uint64_t page = first;; page += kPage) {
        bool known = page >= cache->rangeStart && page < cache->rangeEnd;
        for (uint64_t cached : cache->pages) known = known || cached == page;
        if (!known) {
            char probe;
            if (!FLTReadMemory(page < kFLTMinValidAddress ? address : page, &probe, 1)) return false;
            if (cache->rangeStart == cache->rangeEnd) {
                cache->rangeStart = page;
                cache->rangeEnd = page + kPage;
            } else if (page == cache->rangeEnd) {
                cache->rangeEnd += kPage;
            } else if (page + kPage == cache->rangeStart) {
                cache->rangeStart = page;
            } else {
                cache->pages[cache->next++ % 8] = page;
            }
        }
        if (page == last) break;
    }
    std::memcpy(destination, reinterpret_cast<const void*>(address), length);
    return true;
}

void FLTSafeReadNoteThreadStack() {
    pthread_attr_t attributes;
    if (::pthread_getattr_np(::pthread_self(), &attributes) != 0) return;
    void* address = nullptr;
    size_t size = 0;
    if (::pthread_attr_getstack(&attributes, &address, &size) == 0 && address && size) {
        t_stackLow = uint64_t(reinterpret_cast<uintptr_t>(address));
        t_stackHigh = t_stackLow + size;
    }
    ::pthread_attr_destroy(&attributes);
}

void FLTSafeReadForgetThreadStack() { t_stackLow = t_stackHigh = 0; }

bool FLTSafeReadKnownThreadStack(uint64_t* low, uint64_t* high) {
    if (!t_stackHigh || !low || !high) return false;
    *low = t_stackLow;
    *high = t_stackHigh;
    return true;
}

void FLTReadCacheInit(FLTReadCache* cache, uint64_t stackPointer) {
    if (!cache) return;
    std::memset(cache, 0, sizeof *cache);
    uint64_t low = 0, high = 0;
    if (!FLTSafeReadKnownThreadStack(&low, &high) || stackPointer < low || stackPointer >= high) return;
    cache->rangeStart = stackPointer & ~uint64_t(4095);
    cache->rangeEnd = high;
}
