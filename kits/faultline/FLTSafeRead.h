// Reading memory that may be unmapped without ever faulting: the kernel copies it
// (process_vm_readv on this process, else pread on /proc/self/mem) and reports a bad address as an
// error. Usable in signal handlers: no heap, no locks.
#pragma once

#include <cstdint>

// Copies length bytes from address. False below 4096, for a range that wraps, for length 0 and
// whenever the kernel refuses any part of it.
bool FLTReadMemory(uint64_t address, void* destination, uint64_t length);
// True when a NUL-terminated string starts at address within maximumLength bytes, or reaches
// maximumLength readable bytes first; *out is then address. A maximum of 0 or a range that wraps
// is refused.
bool FLTReadStringSafely(uint64_t address, const char** out, uint64_t maximumLength);
// Copies such a string into buffer (capacity bytes, always terminated); answers its length, or -1.
int64_t FLTCopyStringSafely(uint64_t address, char* buffer, uint64_t capacity);

// Pages found readable during one stack walk: a page is checked once through the kernel, then
// read directly. Only for memory that stays mapped for the walk (a stopped thread's stack). A walk
// climbs its stack page by page, so checked pages that touch make one range, tested with two
// comparisons; others wait in a small ring. All zeroes is an empty cache.
struct FLTReadCache {
    uint64_t rangeStart, rangeEnd;  // [start, end): every page in it was found readable
    uint64_t pages[8];
    uint32_t next;
};
// FLTReadMemory through the cache; a null cache reads through the kernel every time.
bool FLTReadMemoryCachedSlow(FLTReadCache* cache, uint64_t address, void* destination, uint64_t length);
inline bool FLTReadMemoryCached(FLTReadCache* cache, uint64_t address, void* destination, uint64_t length) {
    // Inside the range: a plain copy.
    if (cache && length && address >= cache->rangeStart && address < cache->rangeEnd &&
        length <= cache->rangeEnd - address) {
        __builtin_memcpy(destination, reinterpret_cast<const void*>(address), length);
        return true;
    }
    return FLTReadMemoryCachedSlow(cache, address, destination, length);
}

// The calling thread's stack bounds, noted outside crash time (at initialisation and by the thread
// helper's start hook): from a stack pointer inside them up to their top the memory is mapped, so
// a walk of this thread's stack reads it plainly. Knowing reads nothing at crash time.
void FLTSafeReadNoteThreadStack();
void FLTSafeReadForgetThreadStack();
bool FLTSafeReadKnownThreadStack(uint64_t* low, uint64_t* high);
// A cache that already holds the calling thread's stack from stackPointer up, when the thread's
// bounds are known and hold it; else an empty one.
void FLTReadCacheInit(FLTReadCache* cache, uint64_t stackPointer);

// Opens /proc/self/mem once, outside crash time, for kernels that refuse process_vm_readv.
void FLTSafeReadPrepare();
