// Walking one thread's stack frame by frame from its registers, at crash time: the image's
// .eh_frame_hdr and call-frame information first (a compact table where an image has one), the
// frame-pointer chain when that fails, nothing when the frame pointer is zero. No heap, no locks;
// the stack is read only through FLTReadMemory.
#pragma once

#include "kits/faultline/FLTCompactUnwind.h"
#include "kits/faultline/FLTDwarf.h"
#include "kits/faultline/FLTSafeRead.h"
#include "kits/faultline/FLTTypes.h"

#include <cstdint>

constexpr uint32_t kFLTUnwindMaxFrames = 600000;

// One step's rules in the shape nearly every frame has: the CFA is a register plus an offset and
// each restored register was saved at an offset from the CFA. Kept by lookup PC for the walk, so a
// PC met again (a recursion, a stack overflow's hundred thousand frames) costs no table search and
// no instructions run.
struct FLTUnwindRow {
    uint64_t pc;  // the lookup PC; 0: an empty slot
    int64_t cfaOffset;
    uint8_t cfaRegister;  // byte offset in FLTRegisters
    bool signalFrame;
    uint8_t savedCount;
    uint8_t savedRegisters[kFLTDwarfRegisterCount];  // byte offsets in FLTRegisters
    int32_t savedOffsets[kFLTDwarfRegisterCount];    // each saved at CFA + this
};
constexpr uint32_t kFLTUnwindRowSlots = 32;  // a power of two

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
    FLTUnwindRow rows[kFLTUnwindRowSlots];
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
// The row for rules when they have its shape; false otherwise.
bool FLTUnwindRowFromRules(const FLTDwarfRegisterRules* rules, bool signalFrame, uint64_t pc, FLTUnwindRow* row);
// Rewrites registers to the caller's as FLTDwarfApplyRules would with the rules row came from.
bool FLTUnwindApplyRow(const FLTUnwindRow* row, FLTRegisters* registers, FLTReadCache* cache);
// One step by the call-frame information of the image holding lookupPC.
bool FLTUnwindWithCallFrameInformation(FLTUnwindContext* context, uint64_t lookupPC);
