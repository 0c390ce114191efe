// Walking one thread's stack frame by frame from its registers, at crash time: the image's
// .eh_frame_hdr and call-frame information first (a compact table where an image has one), the
// frame-pointer chain when that fails, nothing when the frame pointer is zero. No heap, no locks;
// the stack is read only through FLTReadMemory.
#pragma once

#include "faultline/FLTCompactUnwind.h"
#include "faultline/FLTDwarf.h"
#include "faultline/FLTSafeRead.h"
#include "faultline/FLTTypes.h"

#include <cstdint>

constexpr uint32_t kFLTUnwindMaxFrames = 600000;

struct FLTUnwindContext {
    FLTRegisters registers;
    uint32_t frameCount;
    FLTCompactUnwindContext compact;
    uint64_t lastPC;
    uint32_t repeatCount;
    // The PC is where the thread stood (the first frame, or a frame a signal interrupted), not a
    // return address: its own instruction is looked up, not the one before it.
    bool pcIsExact;
    FLTReadCache cache;  // stack pages found readable during this walk
    // The last frame's parsed records: a recursion's frames share them.
    FLTDwarfFDEBuffer lastFDE;
    bool haveLastFDE;
};

bool FLTUnwindInit(FLTUnwindContext* context, const FLTRegisters* registers);
uint64_t FLTUnwindStackPointerFromFramePointer(uint64_t framePointer);
// YES: the context's PC and SP describe the next frame (the first call yields the thread's own).
bool FLTUnwindNextFrame(FLTUnwindContext* context);

uint64_t FLTUnwindGetPC(const FLTUnwindContext* context);
uint64_t FLTUnwindGetStackPointer(const FLTUnwindContext* context);
uint64_t FLTUnwindGetFramePointer(const FLTUnwindContext* context);
bool FLTUnwindSetPC(FLTUnwindContext* context, uint64_t value);
bool FLTUnwindSetStackPointer(FLTUnwindContext* context, uint64_t value);
bool FLTUnwindSetFramePointer(FLTUnwindContext* context, uint64_t value);
bool FLTUnwindHasValidPCAndSP(const FLTUnwindContext* context);
uint32_t FLTUnwindGetRepeatCount(const FLTUnwindContext* context);
bool FLTUnwindIsAddressInBinaryImage(uint64_t address);

// One step by the frame-pointer chain (saved FP and return address at FP).
bool FLTUnwindWithFramePointer(FLTUnwindContext* context, bool leavingFirstFrame);
// One step by the call-frame information of the image holding lookupPC.
bool FLTUnwindWithCallFrameInformation(FLTUnwindContext* context, uint64_t lookupPC);
