// The plain records crash-time code shares: a thread's registers, a loaded image's node and a
// record file's handle. Nothing here allocates or locks.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// Any pointer, address, PC or SP below this is taken as absent.
constexpr uint64_t kFLTMinValidAddress = 4096;

inline bool FLTIsValidPointer(uint64_t value) { return value >= kFLTMinValidAddress; }
inline bool FLTIsValidPointer(const void* pointer) {
    return reinterpret_cast<uintptr_t>(pointer) >= kFLTMinValidAddress;
}

// The 21 registers a thread is recorded with, in the order the records list them.
struct FLTRegisters {
    uint64_t rax, rbx, rcx, rdx, rdi, rsi, rbp, rsp;
    uint64_t r8, r9, r10, r11, r12, r13, r14, r15;
    uint64_t rip, rflags, cs, fs, gs;
};

// Names of the registers in record order, for the writer and the reader's tests.
extern const char* const kFLTRegisterNames[21];

// One loaded image as crash-time code sees it. A node whose base is 0 is free; an unloaded image's
// node keeps its base with size 0 so that no address matches it any more.
struct FLTImageNode {
    std::atomic<uint64_t> base{0};  // lowest mapped address of the image
    uint64_t size = 0;              // extent of its loaded segments from base
    uint64_t bias = 0;              // what the loader added to the file's addresses
    uint64_t ehFrameHdr = 0;        // the .eh_frame_hdr section in memory, 0 when there is none
    uint64_t ehFrameHdrSize = 0;
    uint64_t ehFrame = 0;           // the .eh_frame section its header points at
    uint64_t readStart = 0;         // the loaded segment holding both sections: every read of
    uint64_t readEnd = 0;           // their bytes stays inside [readStart, readEnd)
    uint64_t unwindInfo = 0;        // a compact unwind table (never present in ELF images)
    uint64_t unwindInfoSize = 0;
    uint64_t crashInfo = 0;         // a crash-message record (never present in ELF images)
};

// A copy of a node taken at crash time.
struct FLTImageInfo {
    uint64_t base, size, bias, ehFrameHdr, ehFrameHdrSize, ehFrame, readStart, readEnd, unwindInfo,
        unwindInfoSize, crashInfo;
};

// A record file being written (see FLTFile.h).
struct FLTFile {
    int fd = -1;
    int depth = 0;
    bool needsComma = false;
    bool buffered = false;
    bool ownsBuffer = false;
    char* buffer = nullptr;
    uint64_t capacity = 0;
    uint64_t held = 0;   // bytes waiting in the buffer
    uint64_t total = 0;  // bytes written to the file, counting what it held when opened
};
