// DWARF call-frame information as compilers emit it into .eh_frame: CIE and FDE records, the
// call-frame instructions up to a PC, and the expression machine. Every byte of a record is read
// inside its section's bounds (a record, a LEB128 number or an expression that runs past the end
// is refused); the thread's memory is read only through FLTReadMemory. Crash-time code: no heap,
// no locks, everything on the caller's stack.
#pragma once

#include "kits/faultline/FLTTypes.h"

#include <cstdint>

// Bytes that may be read plainly: a loaded image's segment, or a buffer under test.
struct FLTDwarfSection {
    uint64_t start;
    uint64_t end;  // exclusive
};

// A bounded little-endian reader over a section.
struct FLTDwarfCursor {
    uint64_t position;
    uint64_t end;
    bool ok;
};

bool FLTDwarfReadU8(FLTDwarfCursor* cursor, uint8_t* out);
bool FLTDwarfReadU16(FLTDwarfCursor* cursor, uint16_t* out);
bool FLTDwarfReadU32(FLTDwarfCursor* cursor, uint32_t* out);
bool FLTDwarfReadU64(FLTDwarfCursor* cursor, uint64_t* out);
// LEB128 numbers accumulate in 64 bits; one cut short by the end of the section fails.
bool FLTDwarfReadULEB128(FLTDwarfCursor* cursor, uint64_t* out);
bool FLTDwarfReadSLEB128(FLTDwarfCursor* cursor, int64_t* out);

constexpr uint64_t kFLTDwarfInvalidAddress = ~uint64_t(0);
// A pointer in encoding e (the .eh_frame pointer encodings); dataBase serves the data-relative
// application (.eh_frame_hdr). All ones on failure.
uint64_t FLTParseAddressWithEncodingAndAdvance(FLTDwarfCursor* cursor, uint8_t encoding, uint64_t dataBase);

struct FLTDwarfCIERecord {
    uint64_t length;
    uint8_t version;
    uint8_t fdeEncoding;
    uint8_t lsdaEncoding;
    uint8_t personalityEncoding;
    uint64_t augmentation;  // address of the augmentation string
    uint64_t personality;
    uint64_t codeAlignment;
    int64_t dataAlignment;
    uint64_t returnRegister;
    bool signalFrame;
    bool hasAugmentationData;
    uint64_t instructions;
    uint64_t instructionsEnd;
};

struct FLTDwarfFDERecord {
    uint64_t length;
    uint32_t ciePointer;
    uint64_t initialLocation;
    uint64_t addressRange;
    uint64_t instructions;
    uint64_t instructionsEnd;
};



enum FLTDwarfRuleKind : uint32_t {
    kFLTRuleUnchanged = 0,
    kFLTRuleAtCFAOffset = 1,      // saved at CFA + value
    kFLTRuleCFAOffset = 2,        // is CFA + value
    kFLTRuleInRegister = 3,       // held in register value
    kFLTRuleAtExpression = 4,     // saved at the address the expression at value computes
    kFLTRuleExpression = 5,       // is the value the expression at value computes
    kFLTRuleUndefined = 6,        // not recoverable (the return address: the outermost frame)
};

constexpr int kFLTDwarfRegisterCount = 17;  // rax..r15 and the return address (16)
// Where each DWARF register number lives in FLTRegisters.
extern const uint8_t kFLTDwarfRegisterOffsets[kFLTDwarfRegisterCount];

struct FLTDwarfRule {
    uint32_t kind;
    int64_t value;
};

struct FLTDwarfRegisterRules {
    uint64_t cfaRegister;    // 17 when the CFA is an expression
    int64_t cfaOffset;
    uint64_t cfaExpression;  // non-zero: the CFA is this expression's value
    FLTDwarfRule registers[kFLTDwarfRegisterCount];
};

// A parsed FDE with its CIE, and the rules the CIE's initial instructions give (run once when the
// buffer is filled).
struct FLTDwarfFDEBuffer {
    FLTDwarfCIERecord cie;
    FLTDwarfFDERecord fde;
    FLTDwarfSection section;
    FLTDwarfRegisterRules cieRules;
};

bool FLTDwarfParseCIERecord(FLTDwarfCIERecord* cie, uint64_t address, const FLTDwarfSection* section);
bool FLTDwarfParseFDERecord(FLTDwarfFDERecord* fde, bool parseCIE, FLTDwarfCIERecord* cie, uint64_t address,
                            const FLTDwarfSection* section);
bool FLTDwarfInitFDEAtOffset(FLTDwarfFDEBuffer* buffer, const FLTDwarfSection* section, uint64_t offset);
bool FLTDwarfInitFDEAtAddress(FLTDwarfFDEBuffer* buffer, const FLTDwarfSection* section, uint64_t address);

// Runs the instructions in [start, end) while the location stays at or below pcOffset. initial
// gives the CIE's rules for the restore instructions (null while running the CIE's own).
bool FLTDwarfInstructionsEnumerate(uint64_t start, uint64_t end, const FLTDwarfCIERecord* cie,
                                   FLTDwarfRegisterRules* rules, const FLTDwarfRegisterRules* initial,
                                   int64_t pcOffset, const FLTDwarfSection* section);

// The rules of the row that holds pc (the FDE's instructions run up to it over the CIE's rules).
bool FLTDwarfComputeRules(const FLTDwarfFDEBuffer* buffer, uint64_t pc, FLTDwarfRegisterRules* rules);
struct FLTReadCache;
// Rewrites registers to the caller's by rules (expressions read from section).
bool FLTDwarfApplyRules(const FLTDwarfRegisterRules* rules, const FLTDwarfSection* section, FLTRegisters* registers,
                        FLTReadCache* cache = nullptr);
// Rewrites registers to the caller's, for the frame whose lookup address is pc (the PC itself for
// the first frame, one less than a return address otherwise). *signalFrame tells whether the
// frame is a signal trampoline's (its caller's PC is then exact, no return address).
struct FLTReadCache;
bool FLTDwarfUnwindComputeRegisters(const FLTDwarfFDEBuffer* buffer, FLTRegisters* registers, uint64_t pc,
                                    bool* signalFrame, FLTReadCache* cache = nullptr);

bool FLTDwarfUnwindGetRegisterValue(const FLTRegisters* registers, uint64_t number, uint64_t* value);
bool FLTDwarfUnwindSetRegisterValue(FLTRegisters* registers, uint64_t number, uint64_t value);

// Evaluates the expression block at expression (a ULEB128 length, then the operations), which
// must lie inside section. pushInitial puts initial on the stack first.
bool FLTDwarfEvalulateExpression(uint64_t expression, const FLTDwarfSection* section, const FLTRegisters* registers,
                                 bool pushInitial, uint64_t initial, uint64_t* result, FLTReadCache* cache = nullptr);

// .eh_frame_hdr: the FDE covering pc through the header's sorted table. *ehFrame receives the
// .eh_frame section's start. The header and the FDE must both lie inside section.
bool FLTEhFrameHdrFindFDE(uint64_t header, uint64_t headerSize, const FLTDwarfSection* section, uint64_t pc,
                          uint64_t* fdeAddress, uint64_t* ehFrame);
