// Compact unwind tables (the x86-64 "__unwind_info" format of Mach-O images), read over bytes: the
// first-level index, compressed second-level pages and the encodings that restore a caller's PC, SP
// and FP. ELF images carry no such table; the reader serves tables handed to it as bytes. Every
// read of the table stays inside its bounds; the thread's stack is read through FLTReadMemory.
#pragma once

#include "kits/faultline/FLTTypes.h"

#include <cstdint>

struct FLTCompactUnwindContext {
    uint64_t unwindInfo;
    uint64_t unwindInfoEnd;
    uint64_t ehFrame;
    uint64_t ehFrameEnd;
    uint64_t loadAddress;
    uint32_t header[7];  // version, common encodings offset and count, personalities offset and
                         // count, index offset and count
    uint32_t functionOffset, secondLevelPageOffset, lsdaIndexOffset, nextFunctionOffset;
};

struct FLTCompactUnwindResult {
    uint32_t encoding;
    uint64_t functionStart;
    uint64_t functionEnd;  // exclusive
    uint64_t pc;           // the address looked up
};

bool FLTCompactUnwindInit(FLTCompactUnwindContext* context, uint64_t unwindInfo, uint64_t unwindInfoSize,
                          uint64_t ehFrame, uint64_t ehFrameSize, uint64_t loadAddress);
bool FLTCompactUnwindLookup(FLTCompactUnwindContext* context, uint64_t pc, FLTCompactUnwindResult* result);
bool FLTCompactUnwindComputeRegisters(const FLTCompactUnwindContext* context, const FLTCompactUnwindResult* result,
                                      FLTRegisters* registers);
// Looks up pc (the lookup address) and rewrites the registers to the caller's.
bool FLTCompactUnwindLookupAndCompute(FLTCompactUnwindContext* context, uint64_t pc, FLTRegisters* registers);

// The saved registers' indexes from a permutation of count registers (count 0 to 6).
bool FLTCompactUnwindDecompressPermutation(uint32_t count, uint32_t permutation, uint32_t out[6]);
// Register numbers (1 rbx, 2 r12, 3 r13, 4 r14, 5 r15, 6 rbp) from those indexes.
bool FLTCompactUnwindRemapRegisters(uint32_t count, const uint32_t indexes[6], uint32_t out[6]);
