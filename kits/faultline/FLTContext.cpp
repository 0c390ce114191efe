#include "kits/faultline/FLTContext.h"

#include "kits/faultline/FLTSDKLog.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

const char* const kFLTRegisterNames[21] = {"rax", "rbx", "rcx", "rdx", "rdi", "rsi", "rbp",
                                           "rsp", "r8",  "r9",  "r10", "r11", "r12", "r13",
                                           "r14", "r15", "rip", "rflags", "cs", "fs", "gs"};

std::atomic<FLTContext*> g_fltContext{nullptr};
std::atomic<FLTWritableStore*> g_fltStore{nullptr};
std::atomic<FLTAllocator*> g_fltAllocator{nullptr};

namespace {

constexpr uint64_t kAlignment = alignof(std::max_align_t);

uint64_t pageSize() {
    const long size = ::sysconf(_SC_PAGESIZE);
    return size > 0 ? uint64_t(size) : 4096;
}

uint64_t roundedRegion(uint64_t request, uint64_t page) { return (request / page + 1) * page; }

void setRegion(FLTAllocatorRegion* region, uint64_t start, uint64_t size) {
    region->size = size;
    region->start = start;
    region->cursor.store(start);
}

}  // namespace

int32_t FLTCurrentThreadID() { return int32_t(::syscall(SYS_gettid)); }

FLTAllocator* FLTAllocatorCreate(uint64_t writableSize, uint64_t protectableSize) {
    const uint64_t page = pageSize();
    const uint64_t writable = roundedRegion(writableSize, page);
    const uint64_t protectable = roundedRegion(protectableSize + sizeof(FLTAllocator), page);
    const uint64_t total = 3 * page + writable + protectable;
    void* base = ::mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) {
        FLTLogError("Mapping failed %s\n", FLTErrnoName(errno));
        return nullptr;
    }
    auto* bytes = static_cast<char*>(base);
    if (::mprotect(bytes, page, PROT_NONE) != 0) {
        FLTLogError("First guard protection failed %s\n", FLTErrnoName(errno));
        return nullptr;
    }
    if (::mprotect(bytes + page + writable, page, PROT_NONE) != 0) {
        FLTLogError("Middle guard protection failed %s\n", FLTErrnoName(errno));
        return nullptr;
    }
    if (::mprotect(bytes + 2 * page + writable + protectable, page, PROT_NONE) != 0) {
        FLTLogError("Last guard protection failed %s\n", FLTErrnoName(errno));
        return nullptr;
    }
    FLTAllocatorRegion protectableRegion;
    setRegion(&protectableRegion, uint64_t(bytes + 2 * page + writable), protectable);
    auto* allocator = static_cast<FLTAllocator*>(
        FLTAllocatorSafeAllocateFromRegion(&protectableRegion, sizeof(FLTAllocator)));
    new (allocator) FLTAllocator{};
    allocator->base = base;
    allocator->totalSize = total;
    allocator->isProtected.store(0);
    setRegion(&allocator->writable, uint64_t(bytes + page), writable);
    setRegion(&allocator->protectable, protectableRegion.start, protectable);
    allocator->protectable.cursor.store(protectableRegion.cursor.load());
    FLTLogDebug("Allocator successfully created %p", static_cast<void*>(allocator));
    FLTLogInfo("Mapping: %p %p %p, total: %zu K\n", base, reinterpret_cast<void*>(allocator->writable.start),
               reinterpret_cast<void*>(allocator->protectable.start), size_t(total / 1024));
    return allocator;
}

void* FLTAllocatorSafeAllocateFromRegion(FLTAllocatorRegion* region, uint64_t size) {
    // Every block starts aligned for any type: the context holds atomics and 64-bit words.
    const uint64_t rounded = (size + kAlignment - 1) & ~(kAlignment - 1);
    uint64_t cursor = region->cursor.load();
    for (;;) {
        if (cursor - region->start + rounded > region->size) {
            FLTLogWarn("Unable to allocate sufficient memory, falling back to malloc\n");
            return std::calloc(1, rounded ? rounded : 1);
        }
        if (region->cursor.compare_exchange_weak(cursor, cursor + rounded)) return reinterpret_cast<void*>(cursor);
    }
}

void* FLTAllocatorSafeAllocate(FLTAllocator* allocator, uint64_t size, int kind) {
    if (!allocator) {
        FLTLogWarn("Allocator invalid, falling back to malloc\n");
        return std::calloc(1, size ? size : 1);
    }
    if (allocator->isProtected.load()) {
        FLTLogWarn("Allocator already protected, falling back to malloc\n");
        return std::calloc(1, size ? size : 1);
    }
    if (kind == kFLTWritable) return FLTAllocatorSafeAllocateFromRegion(&allocator->writable, size);
    if (kind == kFLTProtectable) return FLTAllocatorSafeAllocateFromRegion(&allocator->protectable, size);
    return nullptr;
}

bool FLTAllocatorProtect(FLTAllocator* allocator) {
    if (!FLTIsValidPointer(allocator)) {
        FLTLogError("Invalid allocator");
        return false;
    }
    if (allocator->isProtected.load()) {
        FLTLogWarn("Write protection already enabled");
        return true;
    }
    // The flag lives in the region being protected: set it while it can still be written.
    allocator->isProtected.store(1);
    return ::mprotect(reinterpret_cast<void*>(allocator->protectable.start), allocator->protectable.size,
                      PROT_READ) == 0;
}

bool FLTAllocatorUnprotect(FLTAllocator* allocator) {
    if (!FLTIsValidPointer(allocator)) return false;
    const bool ok = ::mprotect(allocator->base, allocator->totalSize, PROT_READ | PROT_WRITE) == 0;
    allocator->isProtected.store(ok ? 0 : 1);
    return ok;
}

void FLTAllocatorFree(FLTAllocator* allocator, void* pointer) {
    if (!allocator) std::free(pointer);
}

bool FLTContextIsInitialized() {
    FLTContext* context = g_fltContext.load();
    return context && context->initialized.load();
}

bool FLTContextHasCrashed() {
    FLTWritableStore* store = g_fltStore.load();
    return FLTContextIsInitialized() && store && store->crashOwner.load() != 0;
}

void FLTContextMarkHasCrashed() {
    FLTWritableStore* store = g_fltStore.load();
    if (FLTContextIsInitialized() && store) {
        int32_t expected = 0;
        store->crashOwner.compare_exchange_strong(expected, FLTCurrentThreadID());
    }
}

uint64_t FLTContextPidNamespace() {
    // "pid:[4026531836]": read as a link, little of a small signal stack is taken.
    char link[32];
    const long length = ::syscall(SYS_readlink, "/proc/self/ns/pid", link, sizeof link);
    uint64_t inode = 0;
    for (long i = 0; i < length && i < long(sizeof link); ++i)
        if (link[i] >= '0' && link[i] <= '9') inode = inode * 10 + uint64_t(link[i] - '0');
    return length > 0 ? inode : 0;
}

bool FLTContextIsCapturingProcess(int32_t pid) {
    const FLTContext* context = g_fltContext.load();
    if (!context || !context->processID) return true;
    if (pid <= 0) pid = int32_t(::syscall(SYS_getpid));
    if (pid != context->processID) return false;
    // The same number: the same process unless it counts in another namespace. Not told (no
    // /proc), the number alone decides.
    const uint64_t space = context->pidNamespace ? FLTContextPidNamespace() : 0;
    return !space || space == context->pidNamespace;
}

FLTCrashClaim FLTContextClaimCrash(int32_t self, int32_t pid) {
    if (!FLTContextIsCapturingProcess(pid)) return kFLTClaimOtherProcess;
    FLTWritableStore* store = g_fltStore.load();
    if (!store) return kFLTClaimNoContext;
    if (self <= 0) self = FLTCurrentThreadID();
    int32_t expected = 0;
    if (store->crashOwner.compare_exchange_strong(expected, self)) return kFLTClaimOwner;
    return expected == self ? kFLTClaimReentered : kFLTClaimOtherOwner;
}

bool FLTContextWaitForCrashOwner(uint32_t milliseconds) {
    FLTWritableStore* store = g_fltStore.load();
    if (!store) return false;
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t deadline = now.tv_sec * 1000 + now.tv_nsec / 1000000 + milliseconds;
    while (store->crashFinished.load() == 0) {
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        const int64_t left = deadline - (now.tv_sec * 1000 + now.tv_nsec / 1000000);
        if (left <= 0) return false;
        timespec wait{time_t(left / 1000), long(left % 1000) * 1000000};
        ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&store->crashFinished), FUTEX_WAIT_PRIVATE, 0, &wait,
                  nullptr, 0);
    }
    return true;
}

void FLTContextMarkCrashFinished() {
    FLTWritableStore* store = g_fltStore.load();
    if (!store) return;
    store->crashFinished.store(1);
    ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&store->crashFinished), FUTEX_WAKE_PRIVATE, 0x7fffffff,
              nullptr, nullptr, 0);
}

bool FLTContextMarkAndCheckIfCrashed() {
    if (!FLTContextIsInitialized()) return false;
    return FLTContextClaimCrash() != kFLTClaimOwner;
}

bool FLTContextDebuggerAttached() {
    FLTContext* context = g_fltContext.load();
    return context && context->debuggerAttached;
}

void FLTContextBaseDeinitialize() {
    if (FLTContext* context = g_fltContext.load()) {
        FLTAllocator* allocator = g_fltAllocator.load();
        if (allocator && allocator->isProtected.load()) FLTAllocatorUnprotect(allocator);
        context->initialized.store(0);
    }
}

const char* FLTDupString(const char* string) {
    if (!string) return nullptr;
    const size_t length = std::strlen(string);
    auto* copy = static_cast<char*>(FLTAllocatorSafeAllocate(g_fltAllocator.load(), length + 1, kFLTProtectable));
    if (!copy) return nullptr;
    std::memcpy(copy, string, length + 1);
    return copy;
}

const char* FLTContextPathForFile(const char* folder, const char* name) {
    if (!folder || !name) return nullptr;
    char path[4096];
    const size_t folderLength = std::strlen(folder), nameLength = std::strlen(name);
    if (folderLength + nameLength + 2 > sizeof path) return nullptr;
    std::memcpy(path, folder, folderLength);
    path[folderLength] = '/';
    std::memcpy(path + folderLength + 1, name, nameLength + 1);
    return FLTDupString(path);
}
