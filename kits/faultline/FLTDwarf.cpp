#include "kits/faultline/FLTDwarf.h"

#include "kits/faultline/FLTSDKLog.h"
#include "kits/faultline/FLTSafeRead.h"

#include <climits>
#include <cstddef>
#include <cstring>

namespace {

template <typename T>
[[gnu::always_inline]] inline bool readPlain(FLTDwarfCursor* cursor, T* out) {
    if (!cursor || !cursor->ok) return false;
    if (cursor->position + sizeof(T) < cursor->position || cursor->position + sizeof(T) > cursor->end) {
        cursor->ok = false;
        return false;
    }
    std::memcpy(out, reinterpret_cast<const void*>(cursor->position), sizeof(T));
    cursor->position += sizeof(T);
    return true;
}

FLTDwarfCursor cursorAt(uint64_t position, uint64_t end) { return FLTDwarfCursor{position, end, position <= end}; }

bool inside(const FLTDwarfSection* section, uint64_t address) {
    return section && address >= section->start && address < section->end;
}

// The end of a record that starts at address with its initial length, or 0 when it does not fit.
bool readInitialLength(FLTDwarfCursor* cursor, uint64_t* length) {
    uint32_t short32 = 0;
    if (!FLTDwarfReadU32(cursor, &short32)) return false;
    if (short32 != 0xFFFFFFFFu) {
        *length = short32;
        return true;
    }
    return FLTDwarfReadU64(cursor, length);
}

}  // namespace

bool FLTDwarfReadU8(FLTDwarfCursor* cursor, uint8_t* out) { return readPlain(cursor, out); }
bool FLTDwarfReadU16(FLTDwarfCursor* cursor, uint16_t* out) { return readPlain(cursor, out); }
bool FLTDwarfReadU32(FLTDwarfCursor* cursor, uint32_t* out) { return readPlain(cursor, out); }
bool FLTDwarfReadU64(FLTDwarfCursor* cursor, uint64_t* out) { return readPlain(cursor, out); }

namespace {
// The readers below run for every byte of every record: kept inline in this file.
[[gnu::always_inline]] inline bool readU8(FLTDwarfCursor* c, uint8_t* o) { return readPlain(c, o); }
[[gnu::always_inline]] inline bool readU16(FLTDwarfCursor* c, uint16_t* o) { return readPlain(c, o); }
[[gnu::always_inline]] inline bool readU32(FLTDwarfCursor* c, uint32_t* o) { return readPlain(c, o); }
[[gnu::always_inline]] inline bool readU64(FLTDwarfCursor* c, uint64_t* o) { return readPlain(c, o); }
}  // namespace

bool FLTDwarfReadULEB128(FLTDwarfCursor* cursor, uint64_t* out) {
    uint64_t value = 0;
    unsigned shift = 0;
    for (;;) {
        uint8_t byte = 0;
        if (!readU8(cursor, &byte)) return false;
        if (shift < 64) value |= uint64_t(byte & 0x7F) << shift;
        shift += 7;
        if (!(byte & 0x80)) break;
        if (shift >= 70) {  // longer than any 64-bit value needs
            cursor->ok = false;
            return false;
        }
    }
    *out = value;
    return true;
}

bool FLTDwarfReadSLEB128(FLTDwarfCursor* cursor, int64_t* out) {
    uint64_t value = 0;
    unsigned shift = 0;
    uint8_t byte = 0;
    for (;;) {
        if (!readU8(cursor, &byte)) return false;
        if (shift < 64) value |= uint64_t(byte & 0x7F) << shift;
        shift += 7;
        if (!(byte & 0x80)) break;
        if (shift >= 70) {
            cursor->ok = false;
            return false;
        }
    }
    if (shift < 64 && (byte & 0x40)) value |= ~uint64_t(0) << shift;
    *out = int64_t(value);
    return true;
}

uint64_t FLTParseAddressWithEncodingAndAdvance(FLTDwarfCursor* cursor, uint8_t encoding, uint64_t dataBase) {
    if (!cursor) return kFLTDwarfInvalidAddress;
    if (encoding == 0xFF) return 0;
    const uint64_t start = cursor->position;
    uint64_t value = 0;
    bool ok = false;
    switch (encoding & 0x0F) {
    case 0x00:
    case 0x04:
    case 0x0C: ok = readU64(cursor, &value); break;
    case 0x01: ok = FLTDwarfReadULEB128(cursor, &value); break;
    case 0x02: {
        uint16_t v = 0;
        ok = readU16(cursor, &v);
        value = v;
        break;
    }
    case 0x03: {
        uint32_t v = 0;
        ok = readU32(cursor, &v);
        value = v;
        break;
    }
    case 0x09: {
        int64_t v = 0;
        ok = FLTDwarfReadSLEB128(cursor, &v);
        value = uint64_t(v);
        break;
    }
    case 0x0A: {
        uint16_t v = 0;
        ok = readU16(cursor, &v);
        value = uint64_t(int64_t(int16_t(v)));
        break;
    }
    case 0x0B: {
        uint32_t v = 0;
        ok = readU32(cursor, &v);
        value = uint64_t(int64_t(int32_t(v)));
        break;
    }
    default:
        FLTLogWarn("Unhandled: encoding 0x%02x\n", unsigned(encoding));
        return kFLTDwarfInvalidAddress;
    }
    if (!ok) return kFLTDwarfInvalidAddress;
    switch (encoding & 0x70) {
    case 0x00: break;
    case 0x10: value += start; break;
    case 0x30:
        if (!dataBase) return kFLTDwarfInvalidAddress;
        value += dataBase;
        break;
    default:
        FLTLogWarn("Unhandled: relative encoding 0x%02x\n", unsigned(encoding));
        return kFLTDwarfInvalidAddress;
    }
    if (encoding & 0x80) {
        uint64_t target = 0;
        if (value == 0 || !FLTReadMemory(value, &target, sizeof target)) return kFLTDwarfInvalidAddress;
        value = target;
    }
    return value;
}

bool FLTDwarfParseCIERecord(FLTDwarfCIERecord* cie, uint64_t address, const FLTDwarfSection* section) {
    if (!cie || !inside(section, address)) return false;
    std::memset(cie, 0, sizeof *cie);
    FLTDwarfCursor cursor = cursorAt(address, section->end);
    uint64_t length = 0;
    if (!readInitialLength(&cursor, &length) || length == 0) {
        FLTLogWarn("Error: CIE length invalid\n");
        return false;
    }
    const uint64_t end = cursor.position + length;
    if (end < cursor.position || end > section->end) {
        FLTLogWarn("Error: CIE length invalid\n");
        return false;
    }
    cursor.end = end;
    cie->length = length;
    uint32_t identifier = 1;
    if (!readU32(&cursor, &identifier)) return false;
    if (identifier != 0) {
        FLTLogWarn("Error: CIE flag not found\n");
        return false;
    }
    if (!readU8(&cursor, &cie->version)) return false;
    if (cie->version != 1 && cie->version != 3) {
        FLTLogWarn("Error: CIE version %u unsupported\n", unsigned(cie->version));
        return false;
    }
    cie->augmentation = cursor.position;
    char augmentation[8] = {};
    size_t letters = 0;
    for (;;) {
        uint8_t c = 0;
        if (!readU8(&cursor, &c)) return false;
        if (c == 0) break;
        if (letters + 1 >= sizeof augmentation) {
            FLTLogWarn("Error: Unimplemented: augmentation string %s\n", "(too long)");
            return false;
        }
        augmentation[letters++] = char(c);
    }
    if (!FLTDwarfReadULEB128(&cursor, &cie->codeAlignment) || !FLTDwarfReadSLEB128(&cursor, &cie->dataAlignment))
        return false;
    if (cie->version == 1) {
        uint8_t reg = 0;
        if (!readU8(&cursor, &reg)) return false;
        cie->returnRegister = reg;
    } else if (!FLTDwarfReadULEB128(&cursor, &cie->returnRegister)) {
        return false;
    }
    if (letters > 0) {
        if (augmentation[0] != 'z') {
            FLTLogWarn("Error: Unimplemented: augmentation string %s\n", augmentation);
            return false;
        }
        cie->hasAugmentationData = true;
        uint64_t dataLength = 0;
        if (!FLTDwarfReadULEB128(&cursor, &dataLength)) return false;
        const uint64_t dataEnd = cursor.position + dataLength;
        if (dataEnd < cursor.position || dataEnd > end) return false;
        FLTDwarfCursor data = cursorAt(cursor.position, dataEnd);
        for (size_t i = 1; i < letters; ++i) {
            switch (augmentation[i]) {
            case 'L':
                if (!readU8(&data, &cie->lsdaEncoding)) return false;
                break;
            case 'P': {
                if (!readU8(&data, &cie->personalityEncoding)) return false;
                // The personality is only skipped: reading it would follow an indirect pointer.
                const uint64_t personality =
                    FLTParseAddressWithEncodingAndAdvance(&data, uint8_t(cie->personalityEncoding & 0x7F), 0);
                if (personality == kFLTDwarfInvalidAddress) {
                    FLTLogWarn("Error: Found an invalid start address\n");
                    return false;
                }
                cie->personality = personality;
                break;
            }
            case 'R':
                if (!readU8(&data, &cie->fdeEncoding)) return false;
                break;
            case 'S': cie->signalFrame = true; break;
            default:
                FLTLogWarn("Error: Unhandled augmentation string entry %c\n", augmentation[i]);
                return false;
            }
        }
        cursor.position = dataEnd;
    }
    cie->instructions = cursor.position;
    cie->instructionsEnd = end;
    return true;
}

bool FLTDwarfParseFDERecord(FLTDwarfFDERecord* fde, bool parseCIE, FLTDwarfCIERecord* cie, uint64_t address,
                            const FLTDwarfSection* section) {
    if (!fde || !cie || !inside(section, address)) return false;
    std::memset(fde, 0, sizeof *fde);
    FLTDwarfCursor cursor = cursorAt(address, section->end);
    uint64_t length = 0;
    if (!readInitialLength(&cursor, &length) || length == 0) {
        FLTLogWarn("Error: FDE has zero length\n");
        return false;
    }
    const uint64_t end = cursor.position + length;
    if (end < cursor.position || end > section->end) return false;
    cursor.end = end;
    fde->length = length;
    const uint64_t pointerField = cursor.position;
    if (!readU32(&cursor, &fde->ciePointer)) return false;
    if (fde->ciePointer == 0 || fde->ciePointer > pointerField) {
        FLTLogWarn("Error: CIE offset invalid\n");
        return false;
    }
    if (parseCIE && !FLTDwarfParseCIERecord(cie, pointerField - fde->ciePointer, section)) {
        FLTLogWarn("Error: Unable to parse CIE record\n");
        return false;
    }
    if (cie->length == 0 || (cie->version != 1 && cie->version != 3)) {
        FLTLogWarn("Error: CIE invalid\n");
        return false;
    }
    fde->initialLocation = FLTParseAddressWithEncodingAndAdvance(&cursor, cie->fdeEncoding, 0);
    if (fde->initialLocation == kFLTDwarfInvalidAddress) {
        FLTLogWarn("Error: Found an invalid start address\n");
        return false;
    }
    fde->addressRange = FLTParseAddressWithEncodingAndAdvance(&cursor, uint8_t(cie->fdeEncoding & 0x0F), 0);
    if (fde->addressRange == kFLTDwarfInvalidAddress) {
        FLTLogWarn("Error: Found an invalid address range\n");
        return false;
    }
    if (cie->hasAugmentationData) {
        uint64_t skip = 0;
        if (!FLTDwarfReadULEB128(&cursor, &skip) || cursor.position + skip < cursor.position ||
            cursor.position + skip > end)
            return false;
        cursor.position += skip;
    }
    fde->instructions = cursor.position;
    fde->instructionsEnd = end;
    return true;
}

bool FLTDwarfInitFDEAtAddress(FLTDwarfFDEBuffer* buffer, const FLTDwarfSection* section, uint64_t address) {
    if (!buffer || !section || !FLTIsValidPointer(address)) return false;
    buffer->section = *section;
    if (!FLTDwarfParseFDERecord(&buffer->fde, true, &buffer->cie, address, section)) return false;
    std::memset(&buffer->cieRules, 0, sizeof buffer->cieRules);
    if (!FLTDwarfInstructionsEnumerate(buffer->cie.instructions, buffer->cie.instructionsEnd, &buffer->cie,
                                       &buffer->cieRules, nullptr, INT64_MAX, section)) {
        FLTLogWarn("Error: Unable to run CIE instructions\n");
        return false;
    }
    return true;
}

bool FLTDwarfInitFDEAtOffset(FLTDwarfFDEBuffer* buffer, const FLTDwarfSection* section, uint64_t offset) {
    if (!section || section->start == 0 || offset == 0) return false;
    return FLTDwarfInitFDEAtAddress(buffer, section, section->start + offset);
}

namespace {

constexpr int kMaxRememberedStates = 8;

bool validRegister(uint64_t reg) { return reg < kFLTDwarfRegisterCount; }

// An operand times the data alignment factor, wrapping as the hardware would rather than
// overflowing (hostile records carry any operand).
int64_t factored(uint64_t operand, int64_t factor) { return int64_t(operand * uint64_t(factor)); }

// The address of an expression block at the cursor, which then moves past it.
bool skipBlock(FLTDwarfCursor* cursor, uint64_t* block) {
    *block = cursor->position;
    uint64_t length = 0;
    if (!FLTDwarfReadULEB128(cursor, &length)) return false;
    if (cursor->position + length < cursor->position || cursor->position + length > cursor->end) return false;
    cursor->position += length;
    return true;
}

}  // namespace

bool FLTDwarfInstructionsEnumerate(uint64_t start, uint64_t end, const FLTDwarfCIERecord* cie,
                                   FLTDwarfRegisterRules* rules, const FLTDwarfRegisterRules* initial,
                                   int64_t pcOffset, const FLTDwarfSection* section) {
    if (!cie || !rules || !section) {
        FLTLogWarn("Error: inputs invalid\n");
        return false;
    }
    if (start >= end || pcOffset < 0) return true;
    if (start < section->start || end > section->end) {
        FLTLogWarn("Error: inputs invalid\n");
        return false;
    }
    FLTLogDebug("Running instructions from %p to %p\n", reinterpret_cast<void*>(start), reinterpret_cast<void*>(end));
    FLTDwarfRegisterRules remembered[kMaxRememberedStates];
    int rememberedCount = 0;
    FLTDwarfCursor cursor = cursorAt(start, end);
    uint64_t location = 0;
    const uint64_t limit = uint64_t(pcOffset);
    auto advance = [&](uint64_t delta) {
        // A row covers [location, next location): rules after an advance past the PC do not apply.
        const uint64_t next = location + delta * cie->codeAlignment;
        if (next < location || next > limit) return false;
        location = next;
        return true;
    };
    while (cursor.position < cursor.end) {
        uint8_t opcode = 0;
        if (!readU8(&cursor, &opcode)) return false;
        const uint8_t high = opcode & 0xC0, low = opcode & 0x3F;
        uint64_t reg = 0, reg2 = 0, uvalue = 0;
        int64_t svalue = 0;
        bool ok = true;
        if (high == 0x40) {
            if (!advance(low)) return true;
            continue;
        }
        if (high == 0x80) {
            ok = FLTDwarfReadULEB128(&cursor, &uvalue) && validRegister(low);
            if (ok) rules->registers[low] = {kFLTRuleAtCFAOffset, factored(uvalue, cie->dataAlignment)};
        } else if (high == 0xC0) {
            ok = validRegister(low);
            if (ok) rules->registers[low] = initial ? initial->registers[low] : FLTDwarfRule{kFLTRuleUnchanged, 0};
        } else {
            switch (opcode) {
            case 0x00: break;  // nop
            case 0x01: {       // set_loc
                const uint64_t target = FLTParseAddressWithEncodingAndAdvance(&cursor, cie->fdeEncoding, 0);
                ok = target != kFLTDwarfInvalidAddress;
                // Only meaningful relative to the FDE's start; treated as an advance that we cannot
                // place, so the run stops here conservatively.
                if (ok) return true;
                break;
            }
            case 0x02: {
                uint8_t d = 0;
                ok = readU8(&cursor, &d);
                if (ok && !advance(d)) return true;
                break;
            }
            case 0x03: {
                uint16_t d = 0;
                ok = readU16(&cursor, &d);
                if (ok && !advance(d)) return true;
                break;
            }
            case 0x04: {
                uint32_t d = 0;
                ok = readU32(&cursor, &d);
                if (ok && !advance(d)) return true;
                break;
            }
            case 0x05:  // offset_extended
                ok = FLTDwarfReadULEB128(&cursor, &reg) && FLTDwarfReadULEB128(&cursor, &uvalue) && validRegister(reg);
                if (ok) rules->registers[reg] = {kFLTRuleAtCFAOffset, factored(uvalue, cie->dataAlignment)};
                break;
            case 0x06:  // restore_extended
                ok = FLTDwarfReadULEB128(&cursor, &reg) && validRegister(reg);
                if (ok) rules->registers[reg] = initial ? initial->registers[reg] : FLTDwarfRule{kFLTRuleUnchanged, 0};
                break;
            case 0x07:  // undefined
                ok = FLTDwarfReadULEB128(&cursor, &reg) && validRegister(reg);
                if (ok) rules->registers[reg] = {kFLTRuleUndefined, 0};
                break;
            case 0x08:  // same_value
                ok = FLTDwarfReadULEB128(&cursor, &reg) && validRegister(reg);
                if (ok) rules->registers[reg] = {kFLTRuleUnchanged, 0};
                break;
            case 0x09:  // register
                ok = FLTDwarfReadULEB128(&cursor, &reg) && FLTDwarfReadULEB128(&cursor, &reg2) && validRegister(reg) &&
                     validRegister(reg2);
                if (ok) rules->registers[reg] = {kFLTRuleInRegister, int64_t(reg2)};
                break;
            case 0x0A:  // remember_state
                ok = rememberedCount < kMaxRememberedStates;
                if (ok) remembered[rememberedCount++] = *rules;
                break;
            case 0x0B:  // restore_state: the whole remembered row, CFA rule included
                ok = rememberedCount > 0;
                if (ok) {
                    --rememberedCount;
                    std::memcpy(rules->registers, remembered[rememberedCount].registers, sizeof rules->registers);
                    rules->cfaRegister = remembered[rememberedCount].cfaRegister;
                    rules->cfaOffset = remembered[rememberedCount].cfaOffset;
                    rules->cfaExpression = remembered[rememberedCount].cfaExpression;
                }
                break;
            case 0x0C:  // def_cfa
                ok = FLTDwarfReadULEB128(&cursor, &reg) && FLTDwarfReadULEB128(&cursor, &uvalue) && validRegister(reg);
                if (ok) {
                    rules->cfaRegister = reg;
                    rules->cfaOffset = int64_t(uvalue);
                    rules->cfaExpression = 0;
                } else {
                    FLTLogWarn("Error: Found an invalid DW_CFA_def_cfa register number\n");
                }
                break;
            case 0x0D:  // def_cfa_register
                ok = FLTDwarfReadULEB128(&cursor, &reg) && validRegister(reg);
                if (ok) {
                    rules->cfaRegister = reg;
                    rules->cfaExpression = 0;
                }
                break;
            case 0x0E:  // def_cfa_offset
                ok = FLTDwarfReadULEB128(&cursor, &uvalue);
                if (ok) rules->cfaOffset = int64_t(uvalue);
                break;
            case 0x0F: {  // def_cfa_expression
                uint64_t block = 0;
                ok = skipBlock(&cursor, &block);
                if (ok) {
                    rules->cfaRegister = 17;
                    rules->cfaExpression = block;
                }
                break;
            }
            case 0x10:    // expression
            case 0x16: {  // val_expression
                uint64_t block = 0;
                ok = FLTDwarfReadULEB128(&cursor, &reg) && validRegister(reg) && skipBlock(&cursor, &block);
                if (ok)
                    rules->registers[reg] = {opcode == 0x10 ? kFLTRuleAtExpression : kFLTRuleExpression, int64_t(block)};
                break;
            }
            case 0x11:  // offset_extended_sf
                ok = FLTDwarfReadULEB128(&cursor, &reg) && FLTDwarfReadSLEB128(&cursor, &svalue) && validRegister(reg);
                if (ok) rules->registers[reg] = {kFLTRuleAtCFAOffset, factored(uint64_t(svalue), cie->dataAlignment)};
                break;
            case 0x12:  // def_cfa_sf
                ok = FLTDwarfReadULEB128(&cursor, &reg) && FLTDwarfReadSLEB128(&cursor, &svalue) && validRegister(reg);
                if (ok) {
                    rules->cfaRegister = reg;
                    rules->cfaOffset = factored(uint64_t(svalue), cie->dataAlignment);
                    rules->cfaExpression = 0;
                }
                break;
            case 0x13:  // def_cfa_offset_sf
                ok = FLTDwarfReadSLEB128(&cursor, &svalue);
                if (ok) rules->cfaOffset = factored(uint64_t(svalue), cie->dataAlignment);
                break;
            case 0x14:  // val_offset
                ok = FLTDwarfReadULEB128(&cursor, &reg) && FLTDwarfReadULEB128(&cursor, &uvalue) && validRegister(reg);
                if (ok) rules->registers[reg] = {kFLTRuleCFAOffset, factored(uvalue, cie->dataAlignment)};
                break;
            case 0x15:  // val_offset_sf
                ok = FLTDwarfReadULEB128(&cursor, &reg) && FLTDwarfReadSLEB128(&cursor, &svalue) && validRegister(reg);
                if (ok) rules->registers[reg] = {kFLTRuleCFAOffset, factored(uint64_t(svalue), cie->dataAlignment)};
                break;
            case 0x2E:  // GNU_args_size: the callee pops its arguments; nothing to restore
                ok = FLTDwarfReadULEB128(&cursor, &uvalue);
                break;
            case 0x2F:  // GNU_negative_offset_extended
                ok = FLTDwarfReadULEB128(&cursor, &reg) && FLTDwarfReadULEB128(&cursor, &uvalue) && validRegister(reg);
                if (ok) rules->registers[reg] = {kFLTRuleAtCFAOffset, factored(uint64_t(0) - uvalue, cie->dataAlignment)};
                break;
            default:
                FLTLogWarn("Error: Unrecognized DWARF instruction 0x%x\n", unsigned(opcode));
                return false;
            }
        }
        if (!ok) {
            FLTLogWarn("Error: Failed to execute dwarf instruction 0x%x\n", unsigned(opcode));
            return false;
        }
    }
    return true;
}

const uint8_t kFLTDwarfRegisterOffsets[kFLTDwarfRegisterCount] = {
    offsetof(FLTRegisters, rax), offsetof(FLTRegisters, rdx), offsetof(FLTRegisters, rcx),
    offsetof(FLTRegisters, rbx), offsetof(FLTRegisters, rsi), offsetof(FLTRegisters, rdi),
    offsetof(FLTRegisters, rbp), offsetof(FLTRegisters, rsp), offsetof(FLTRegisters, r8),
    offsetof(FLTRegisters, r9),  offsetof(FLTRegisters, r10), offsetof(FLTRegisters, r11),
    offsetof(FLTRegisters, r12), offsetof(FLTRegisters, r13), offsetof(FLTRegisters, r14),
    offsetof(FLTRegisters, r15), offsetof(FLTRegisters, rip)};

bool FLTDwarfUnwindGetRegisterValue(const FLTRegisters* r, uint64_t number, uint64_t* value) {
    if (number >= kFLTDwarfRegisterCount) {
        FLTLogWarn("Error: Unrecognized get register number %llu\n", static_cast<unsigned long long>(number));
        return false;
    }
    std::memcpy(value, reinterpret_cast<const char*>(r) + kFLTDwarfRegisterOffsets[number], 8);
    return true;
}

bool FLTDwarfUnwindSetRegisterValue(FLTRegisters* r, uint64_t number, uint64_t value) {
    if (number >= kFLTDwarfRegisterCount) {
        FLTLogWarn("Unrecognized set register number %llu\n", static_cast<unsigned long long>(number));
        return false;
    }
    std::memcpy(reinterpret_cast<char*>(r) + kFLTDwarfRegisterOffsets[number], &value, 8);
    return true;
}

namespace {

constexpr int kStackDepth = 100;
constexpr int kMaxOperations = 1000;

struct Machine {
    uint64_t stack[kStackDepth];
    int depth;
    bool broken;
    bool push(uint64_t v) {
        if (broken || depth >= kStackDepth) return !(broken = true);
        stack[depth++] = v;
        return true;
    }
    bool pop(uint64_t* v) {
        if (broken || depth <= 0) return !(broken = true);
        *v = stack[--depth];
        return true;
    }
};

}  // namespace

bool FLTDwarfEvalulateExpression(uint64_t expression, const FLTDwarfSection* section, const FLTRegisters* registers,
                                 bool pushInitial, uint64_t initial, uint64_t* result, FLTReadCache* cache) {
    if (!FLTIsValidPointer(expression) || !result || !registers || !inside(section, expression)) {
        FLTLogWarn("Error: inputs invalid\n");
        return false;
    }
    FLTDwarfCursor cursor = cursorAt(expression, section->end);
    uint64_t length = 0;
    if (!FLTDwarfReadULEB128(&cursor, &length) || length == 0) {
        FLTLogWarn("Error: DWARF expression length is zero\n");
        return false;
    }
    if (cursor.position + length < cursor.position || cursor.position + length > section->end) return false;
    cursor.end = cursor.position + length;
    Machine m{};
    if (pushInitial) m.push(initial);
    int operations = 0;
    while (cursor.position < cursor.end && !m.broken) {
        if (++operations > kMaxOperations) return false;  // a branch that loops
        uint8_t op = 0;
        if (!readU8(&cursor, &op)) return false;
        uint64_t a = 0, b = 0, u = 0;
        int64_t s = 0;
        bool ok = true;
        if (op >= 0x30 && op <= 0x4F) {
            ok = m.push(op - 0x30u);
        } else if (op >= 0x50 && op <= 0x6F) {  // reg0..reg31
            ok = FLTDwarfUnwindGetRegisterValue(registers, op - 0x50u, &a) && m.push(a);
        } else if (op >= 0x70 && op <= 0x8F) {  // breg0..breg31
            ok = FLTDwarfReadSLEB128(&cursor, &s);
            if (ok && op - 0x70u >= kFLTDwarfRegisterCount) {
                FLTLogWarn("Error: DW_OP_breg invalid register number\n");
                ok = false;
            }
            ok = ok && FLTDwarfUnwindGetRegisterValue(registers, op - 0x70u, &a) && m.push(a + uint64_t(s));
        } else {
            switch (op) {
            case 0x06:  // deref
                ok = m.pop(&a) && FLTReadMemoryCached(cache, a, &b, 8) && m.push(b);
                if (!ok) FLTLogWarn("Error: DW_OP_deref failed to read memory\n");
                break;
            case 0x08: {
                uint8_t v = 0;
                ok = readU8(&cursor, &v) && m.push(v);
                break;
            }
            case 0x09: {
                uint8_t v = 0;
                ok = readU8(&cursor, &v) && m.push(uint64_t(int64_t(int8_t(v))));
                break;
            }
            case 0x0A: {
                uint16_t v = 0;
                ok = readU16(&cursor, &v) && m.push(v);
                break;
            }
            case 0x0B: {
                uint16_t v = 0;
                ok = readU16(&cursor, &v) && m.push(uint64_t(int64_t(int16_t(v))));
                break;
            }
            case 0x0C: {
                uint32_t v = 0;
                ok = readU32(&cursor, &v) && m.push(v);
                break;
            }
            case 0x0D: {
                uint32_t v = 0;
                ok = readU32(&cursor, &v) && m.push(uint64_t(int64_t(int32_t(v))));
                break;
            }
            case 0x0E:
            case 0x0F:
                ok = readU64(&cursor, &u) && m.push(u);
                break;
            case 0x10: ok = FLTDwarfReadULEB128(&cursor, &u) && m.push(u); break;
            case 0x11: ok = FLTDwarfReadSLEB128(&cursor, &s) && m.push(uint64_t(s)); break;
            case 0x12: ok = m.pop(&a) && m.push(a) && m.push(a); break;           // dup
            case 0x13: ok = m.pop(&a); break;                                     // drop
            case 0x14: ok = m.depth >= 2 && m.push(m.stack[m.depth - 2]); break;  // over
            case 0x15: {                                                          // pick
                uint8_t index = 0;
                ok = readU8(&cursor, &index) && index < m.depth && m.push(m.stack[m.depth - 1 - index]);
                break;
            }
            case 0x16: ok = m.pop(&a) && m.pop(&b) && m.push(a) && m.push(b); break;  // swap
            case 0x17: {                                                             // rot
                uint64_t c = 0;
                ok = m.pop(&a) && m.pop(&b) && m.pop(&c) && m.push(a) && m.push(c) && m.push(b);
                break;
            }
            case 0x19: ok = m.pop(&a) && m.push(int64_t(a) < 0 ? uint64_t(0) - a : a); break;  // abs
            case 0x1A: ok = m.pop(&b) && m.pop(&a) && m.push(a & b); break;
            case 0x1B:  // div (signed)
                ok = m.pop(&b) && m.pop(&a) && b != 0 && !(int64_t(a) == INT64_MIN && int64_t(b) == -1) &&
                     m.push(uint64_t(int64_t(a) / int64_t(b)));
                break;
            case 0x1C: ok = m.pop(&b) && m.pop(&a) && m.push(a - b); break;
            case 0x1D: ok = m.pop(&b) && m.pop(&a) && b != 0 && m.push(a % b); break;
            case 0x1E: ok = m.pop(&b) && m.pop(&a) && m.push(a * b); break;
            case 0x1F: ok = m.pop(&a) && m.push(uint64_t(0) - a); break;
            case 0x20: ok = m.pop(&a) && m.push(~a); break;
            case 0x21: ok = m.pop(&b) && m.pop(&a) && m.push(a | b); break;
            case 0x22: ok = m.pop(&b) && m.pop(&a) && m.push(a + b); break;
            case 0x23: ok = FLTDwarfReadULEB128(&cursor, &u) && m.pop(&a) && m.push(a + u); break;
            case 0x24: ok = m.pop(&b) && m.pop(&a) && m.push(b >= 64 ? 0 : a << b); break;
            case 0x25: ok = m.pop(&b) && m.pop(&a) && m.push(b >= 64 ? 0 : a >> b); break;
            case 0x26:
                ok = m.pop(&b) && m.pop(&a) && m.push(uint64_t(int64_t(a) >> (b >= 63 ? 63 : b)));
                break;
            case 0x27: ok = m.pop(&b) && m.pop(&a) && m.push(a ^ b); break;
            case 0x29: ok = m.pop(&b) && m.pop(&a) && m.push(a == b); break;
            case 0x2A: ok = m.pop(&b) && m.pop(&a) && m.push(int64_t(a) >= int64_t(b)); break;
            case 0x2B: ok = m.pop(&b) && m.pop(&a) && m.push(int64_t(a) > int64_t(b)); break;
            case 0x2C: ok = m.pop(&b) && m.pop(&a) && m.push(int64_t(a) <= int64_t(b)); break;
            case 0x2D: ok = m.pop(&b) && m.pop(&a) && m.push(int64_t(a) < int64_t(b)); break;
            case 0x2E: ok = m.pop(&b) && m.pop(&a) && m.push(a != b); break;
            case 0x2F:    // skip
            case 0x28: {  // bra
                uint16_t raw = 0;
                ok = readU16(&cursor, &raw);
                bool jump = true;
                if (ok && op == 0x28) ok = m.pop(&a), jump = a != 0;
                if (ok && jump) {
                    const uint64_t target = cursor.position + uint64_t(int64_t(int16_t(raw)));
                    ok = target >= expression && target <= cursor.end;
                    if (ok) cursor.position = target;
                }
                break;
            }
            case 0x94: {  // deref_size
                uint8_t size = 0;
                ok = readU8(&cursor, &size) && m.pop(&a);
                if (ok && size != 1 && size != 2 && size != 4 && size != 8) {
                    FLTLogWarn("Error: unrecognized DW_OP_deref_size argument %x\n", unsigned(size));
                    ok = false;
                }
                b = 0;
                ok = ok && FLTReadMemoryCached(cache, a, &b, size) && m.push(b);
                break;
            }
            case 0x96: break;  // nop
            default:
                FLTLogWarn("Error: Unrecognized DWARF expression opcode 0x%x\n", unsigned(op));
                ok = false;
            }
        }
        if (!ok || m.broken) {
            FLTLogWarn("Error: failed to execute DWARF machine opcode\n");
            return false;
        }
    }
    if (cursor.position != cursor.end || m.depth < 1) {
        FLTLogWarn("Error: failed to get DWARF expression result\n");
        return false;
    }
    *result = m.stack[m.depth - 1];
    return true;
}

bool FLTDwarfComputeRules(const FLTDwarfFDEBuffer* buffer, uint64_t pc, FLTDwarfRegisterRules* rules) {
    if (!buffer || !rules) return false;
    const FLTDwarfRegisterRules& initial = buffer->cieRules;
    *rules = initial;
    if (pc < buffer->fde.initialLocation || pc - buffer->fde.initialLocation >= buffer->fde.addressRange) {
        FLTLogWarn("Error: The FDE pcOffset value cannot be negative\n");
        return false;
    }
    const int64_t pcOffset = int64_t(pc - buffer->fde.initialLocation);
    if (!FLTDwarfInstructionsEnumerate(buffer->fde.instructions, buffer->fde.instructionsEnd, &buffer->cie, rules,
                                       &initial, pcOffset, &buffer->section)) {
        FLTLogWarn("Error: Unable to run FDE instructions\n");
        return false;
    }
    return true;
}

bool FLTDwarfUnwindComputeRegisters(const FLTDwarfFDEBuffer* buffer, FLTRegisters* registers, uint64_t pc,
                                    bool* signalFrame, FLTReadCache* cache) {
    if (!buffer || !registers) return false;
    FLTDwarfRegisterRules rules;
    if (!FLTDwarfComputeRules(buffer, pc, &rules)) return false;
    if (!FLTDwarfApplyRules(&rules, &buffer->section, registers, cache)) return false;
    if (signalFrame) *signalFrame = buffer->cie.signalFrame;
    return true;
}

bool FLTDwarfApplyRules(const FLTDwarfRegisterRules* rulesIn, const FLTDwarfSection* section, FLTRegisters* registers,
                        FLTReadCache* cache) {
    if (!rulesIn || !section || !registers) return false;
    const FLTDwarfRegisterRules& rules = *rulesIn;
    uint64_t cfa = 0;
    if (rules.cfaExpression) {
        if (!FLTDwarfEvalulateExpression(rules.cfaExpression, section, registers, false, 0, &cfa, cache)) {
            FLTLogWarn("Error: failed to compute CFA expression\n");
            return false;
        }
    } else {
        uint64_t base = 0;
        if (!FLTDwarfUnwindGetRegisterValue(registers, rules.cfaRegister, &base)) {
            FLTLogWarn("Error: failed to get CFA\n");
            return false;
        }
        cfa = base + uint64_t(rules.cfaOffset);
    }
    FLTRegisters caller = *registers;
    bool returnUndefined = false;
    for (uint64_t reg = 0; reg < kFLTDwarfRegisterCount; ++reg) {
        const FLTDwarfRule rule = rules.registers[reg];
        uint64_t value = 0, address = 0;
        switch (rule.kind) {
        case kFLTRuleUnchanged: continue;
        case kFLTRuleUndefined:
            if (reg == 16) returnUndefined = true;
            continue;
        case kFLTRuleAtCFAOffset:
            if (!FLTReadMemoryCached(cache, cfa + uint64_t(rule.value), &value, 8)) {
                FLTLogWarn("Error: Unable to read CFA value\n");
                return false;
            }
            break;
        case kFLTRuleCFAOffset: value = cfa + uint64_t(rule.value); break;
        case kFLTRuleInRegister:
            if (!FLTDwarfUnwindGetRegisterValue(registers, uint64_t(rule.value), &value)) return false;
            break;
        case kFLTRuleAtExpression:
            if (!FLTDwarfEvalulateExpression(uint64_t(rule.value), section, registers, true, cfa, &address, cache)) {
                FLTLogWarn("Error: unable to evaluate expression\n");
                return false;
            }
            if (!FLTReadMemoryCached(cache, address, &value, 8)) {
                FLTLogWarn("Error: Unable to read memory computed from expression\n");
                return false;
            }
            break;
        case kFLTRuleExpression:
            if (!FLTDwarfEvalulateExpression(uint64_t(rule.value), section, registers, true, cfa, &value, cache)) {
                FLTLogWarn("Error: unable to evaluate expression\n");
                return false;
            }
            break;
        default:
            FLTLogWarn("Error: Unrecognized register save location 0x%x\n", rule.kind);
            return false;
        }
        if (!FLTDwarfUnwindSetRegisterValue(&caller, reg, value)) {
            FLTLogWarn("Error: Unable to restore register value\n");
            return false;
        }
    }
    if (rules.registers[7].kind == kFLTRuleUnchanged) caller.rsp = cfa;
    if (returnUndefined) {
        caller.rip = 0;  // the outermost frame: the walk ends here
    } else {
        // Unless the return address waits in a register (glibc's vfork pops it there, out of the
        // child's way), a frame whose caller has the same stack pointer is a loop.
        if (caller.rsp == registers->rsp && rules.registers[16].kind != kFLTRuleInRegister) {
            FLTLogWarn("Error: Stack pointer hasn't changed\n");
            return false;
        }
        // The same PC is no failure: a recursive call returns to the call site it left from.
    }
    *registers = caller;
    return true;
}

bool FLTEhFrameHdrFindFDE(uint64_t header, uint64_t headerSize, const FLTDwarfSection* section, uint64_t pc,
                          uint64_t* fdeAddress, uint64_t* ehFrame) {
    if (!section || !fdeAddress || header < section->start || header + headerSize < header ||
        header + headerSize > section->end || headerSize < 4)
        return false;
    FLTDwarfCursor cursor = cursorAt(header, header + headerSize);
    uint8_t version = 0, frameEncoding = 0, countEncoding = 0, tableEncoding = 0;
    if (!readU8(&cursor, &version) || !readU8(&cursor, &frameEncoding) ||
        !readU8(&cursor, &countEncoding) || !readU8(&cursor, &tableEncoding) || version != 1)
        return false;
    const uint64_t frame = FLTParseAddressWithEncodingAndAdvance(&cursor, frameEncoding, header);
    if (frame == kFLTDwarfInvalidAddress) return false;
    if (ehFrame) *ehFrame = frame;
    if (countEncoding == 0xFF || tableEncoding == 0xFF) return false;
    const uint64_t count = FLTParseAddressWithEncodingAndAdvance(&cursor, countEncoding, header);
    if (count == kFLTDwarfInvalidAddress || count == 0) return false;
    // The table as linkers write it: pairs of 32-bit data-relative signed offsets, sorted.
    if (tableEncoding != 0x3B) return false;
    const uint64_t table = cursor.position;
    if (count > (cursor.end - table) / 8) return false;
    auto entry = [&](uint64_t index, int32_t* location, int32_t* fde) {
        std::memcpy(location, reinterpret_cast<const void*>(table + index * 8), 4);
        std::memcpy(fde, reinterpret_cast<const void*>(table + index * 8 + 4), 4);
    };
    uint64_t low = 0, high = count;
    while (high - low > 1) {
        const uint64_t middle = low + (high - low) / 2;
        int32_t location = 0, fde = 0;
        entry(middle, &location, &fde);
        if (header + uint64_t(int64_t(location)) <= pc) low = middle;
        else high = middle;
    }
    int32_t location = 0, fde = 0;
    entry(low, &location, &fde);
    if (header + uint64_t(int64_t(location)) > pc) return false;
    *fdeAddress = header + uint64_t(int64_t(fde));
    return *fdeAddress >= section->start && *fdeAddress < section->end;
}
