#include "kits/faultline/FLTBinaryImage.h"

#include "kits/faultline/FLTContext.h"
#include "kits/faultline/FLTFile.h"
#include "kits/faultline/FLTSDKLog.h"
#include "kits/faultline/FLTSafeRead.h"

#include <cerrno>
#include <cstring>
#include <mutex>

#include <elf.h>
#include <link.h>
#include <sys/auxv.h>
#include <unistd.h>

namespace {

std::mutex g_scanLock;
unsigned long long g_lastAdds = ~0ull, g_lastSubs = ~0ull;

const char kHex[] = "0123456789abcdef";

// "a.b.c" of three numbers into out (40 bytes).
void formatVersion(const uint32_t numbers[3], char out[40]) {
    char digits[21];
    out[0] = 0;
    for (int i = 0; i < 3; ++i) {
        if (i) std::strcat(out, ".");
        std::strcat(out, FLTFileFormatUInt64(numbers[i], false, digits));
    }
}

// The GNU notes of one PT_NOTE segment: the build id, and the ABI tag (OS, then the oldest
// kernel's three numbers), each taken from the first segment that has it.
void readNotes(uint64_t notes, uint64_t size, FLTImageDetails* details) {
    uint64_t offset = 0;
    while (offset + 12 <= size) {
        uint32_t header[3];  // name size, descriptor size, type
        if (!FLTReadMemory(notes + offset, header, sizeof header)) return;
        const uint64_t nameSize = (uint64_t(header[0]) + 3) & ~uint64_t(3);
        const uint64_t descSize = (uint64_t(header[1]) + 3) & ~uint64_t(3);
        const uint64_t desc = notes + offset + 12 + nameSize;
        char name[4] = {};
        const bool gnu = header[0] == 4 && FLTReadMemory(notes + offset + 12, name, 4) && std::memcmp(name, "GNU", 4) == 0;
        if (gnu && header[2] == NT_GNU_BUILD_ID && !details->buildID[0]) {
            unsigned char id[16] = {};
            const uint64_t length = header[1] < sizeof id ? header[1] : sizeof id;
            if (!FLTReadMemory(desc, id, length)) return;
            for (uint64_t i = 0; i < sizeof id; ++i) {
                details->buildID[2 * i] = kHex[id[i] >> 4];
                details->buildID[2 * i + 1] = kHex[id[i] & 15];
            }
            details->buildID[32] = 0;
        } else if (gnu && header[2] == NT_GNU_ABI_TAG && header[1] >= 16 && !details->minimumVersion[0]) {
            uint32_t tag[4];  // OS (0: Linux), major, minor, patch
            if (FLTReadMemory(desc, tag, sizeof tag) && tag[0] == 0) formatVersion(tag + 1, details->minimumVersion);
        }
        if (offset + 12 + nameSize + descSize < offset) return;
        offset += 12 + nameSize + descSize;
    }
}

void writeEvent(const char* section, const char* path, const FLTImageDetails* details) {
    FLTContext* context = g_fltContext.load();
    if (!context || !context->binaryImagePath) return;
    FLTFile file;
    if (!FLTFileInitWithPath(&file, context->binaryImagePath, true)) {
        FLTLogWarn("Error: unable to open binary image log file\n");
        return;
    }
    FLTFileWriteSectionStart(&file, section);
    FLTFileWriteHashStart(&file);
    FLTFileWriteHashEntryString(&file, "path", path);
    FLTFileWriteHashEntryString(&file, "uuid", details->buildID);
    FLTFileWriteHashEntryUint64(&file, "base", details->base);
    FLTFileWriteHashEntryUint64(&file, "size", details->size);
    FLTFileWriteHashEnd(&file);
    FLTFileWriteSectionEnd(&file);
    FLTFileClose(&file);
}

struct ScanState {
    FLTImageDetails found[kFLTMaxImages];
    char paths[kFLTMaxImages][256];
    int count;
    unsigned long long adds, subs;
};

int collect(dl_phdr_info* info, size_t size, void* data) {
    auto* state = static_cast<ScanState*>(data);
    if (size >= offsetof(dl_phdr_info, dlpi_subs) + sizeof info->dlpi_subs) {
        state->adds = info->dlpi_adds;
        state->subs = info->dlpi_subs;
    }
    if (state->count >= kFLTMaxImages) return 0;
    FLTImageDetails* details = &state->found[state->count];
    if (!FLTBinaryImageFillInImageDetails(uint64_t(info->dlpi_phdr), info->dlpi_phnum, info->dlpi_addr, details))
        return 0;
    char* path = state->paths[state->count];
    path[0] = 0;
    if (info->dlpi_name && info->dlpi_name[0]) {
        std::strncpy(path, info->dlpi_name, 255);
    } else {
        const ssize_t length = ::readlink("/proc/self/exe", path, 255);
        path[length > 0 ? length : 0] = 0;
    }
    path[255] = 0;
    ++state->count;
    return 0;
}

// Moves whenever an address may come to mean another image: what was learnt about an address
// under an older generation (the unwinder's rows) is not trusted.
std::atomic<uint64_t> g_imageGeneration{1};

void scan(bool force) {
    FLTWritableStore* store = g_fltStore.load();
    if (!store) return;
    std::lock_guard<std::mutex> locker(g_scanLock);
    static ScanState state;  // large: kept off the caller's stack, guarded by the lock
    state.count = 0;
    state.adds = state.subs = 0;
    ::dl_iterate_phdr(collect, &state);
    if (!force && state.adds == g_lastAdds && state.subs == g_lastSubs) return;
    g_lastAdds = state.adds;
    g_lastSubs = state.subs;
    // Unloads: nodes whose image is no longer listed keep their base with size 0.
    for (FLTImageNode& node : store->images) {
        const uint64_t base = node.base.load();
        if (!base || !node.size) continue;
        bool listed = false;
        for (int i = 0; i < state.count && !listed; ++i) listed = state.found[i].base == base;
        if (!listed) {
            g_imageGeneration.fetch_add(1);
            FLTImageDetails gone{};
            gone.base = base;
            gone.size = node.size;
            node.size = 0;
            node.ehFrameHdr = node.ehFrame = 0;
            writeEvent("unload", "", &gone);
        }
    }
    for (int i = 0; i < state.count; ++i) {
        bool known = false;
        for (const FLTImageNode& node : store->images)
            if (node.base.load() == state.found[i].base && node.size) known = true;
        if (known) continue;
        if (!FLTBinaryImageStoreNode(&state.found[i]))
            FLTLogWarn("Error: Unable to track a %s node %p\n", "loaded", reinterpret_cast<void*>(state.found[i].base));
        writeEvent("load", state.paths[i], &state.found[i]);
    }
}

}  // namespace

bool FLTBinaryImageFillInImageDetails(uint64_t phdrs, uint64_t count, uint64_t bias, FLTImageDetails* details) {
    if (!details || !FLTIsValidPointer(phdrs) || count == 0 || count > 256) return false;
    std::memset(details, 0, sizeof *details);
    details->bias = bias;
    uint64_t low = ~uint64_t(0), high = 0, hdrVaddr = 0, hdrSize = 0;
    for (uint64_t i = 0; i < count; ++i) {
        ElfW(Phdr) phdr;
        if (!FLTReadMemory(phdrs + i * sizeof phdr, &phdr, sizeof phdr)) return false;
        if (phdr.p_type == PT_LOAD) {
            if (phdr.p_vaddr < low) low = phdr.p_vaddr;
            if (phdr.p_vaddr + phdr.p_memsz > high) high = phdr.p_vaddr + phdr.p_memsz;
        } else if (phdr.p_type == PT_GNU_EH_FRAME) {
            hdrVaddr = phdr.p_vaddr;
            hdrSize = phdr.p_memsz;
        } else if (phdr.p_type == PT_NOTE) {
            readNotes(bias + phdr.p_vaddr, phdr.p_memsz, details);
        }
    }
    if (high <= low) return false;
    details->base = bias + (low & ~uint64_t(0xFFF));
    details->size = bias + high - details->base;
    if (hdrVaddr) {
        // The segment holding the header also holds .eh_frame: reads stay inside it.
        for (uint64_t i = 0; i < count; ++i) {
            ElfW(Phdr) phdr;
            if (!FLTReadMemory(phdrs + i * sizeof phdr, &phdr, sizeof phdr)) return false;
            if (phdr.p_type == PT_LOAD && phdr.p_vaddr <= hdrVaddr && hdrVaddr < phdr.p_vaddr + phdr.p_memsz) {
                details->readStart = bias + phdr.p_vaddr;
                details->readEnd = bias + phdr.p_vaddr + phdr.p_filesz;
            }
        }
        details->ehFrameHdr = bias + hdrVaddr;
        details->ehFrameHdrSize = hdrSize;
        unsigned char header[8];
        if (details->readEnd && FLTReadMemory(details->ehFrameHdr, header, sizeof header) && header[0] == 1 &&
            header[1] == 0x1B) {
            int32_t offset;
            std::memcpy(&offset, header + 4, 4);
            details->ehFrame = details->ehFrameHdr + 4 + uint64_t(int64_t(offset));
        }
    }
    return true;
}

bool FLTBinaryImageStoreNode(const FLTImageDetails* details) {
    FLTWritableStore* store = g_fltStore.load();
    if (!store) {
        FLTLogWarn("Error: Writable context is NULL\n");
        return false;
    }
    for (FLTImageNode& node : store->images) {
        uint64_t expected = 0;
        if (node.base.load() != 0) continue;
        // Fields first, base last: a reader that sees the base sees the whole node.
        node.size = details->size;
        node.bias = details->bias;
        node.ehFrameHdr = details->ehFrameHdr;
        node.ehFrameHdrSize = details->ehFrameHdrSize;
        node.ehFrame = details->ehFrame;
        node.readStart = details->readStart;
        node.readEnd = details->readEnd;
        node.unwindInfo = node.unwindInfoSize = node.crashInfo = 0;
        if (node.base.compare_exchange_strong(expected, details->base)) return true;
    }
    return false;
}

bool FLTBinaryImageInit() {
    FLTWritableStore* store = g_fltStore.load();
    FLTContext* context = g_fltContext.load();
    if (!store || !context) return false;
    g_imageGeneration.fetch_add(1);
    for (FLTImageNode& node : store->images) {
        node.base.store(0);
        node.size = 0;
    }
    store->binaryImageFile = FLTFile{};
    if (context->binaryImagePath && ::unlink(context->binaryImagePath) != 0 && errno != ENOENT)
        FLTLogWarn("Unable to reset the binary image log file %s\n", FLTErrnoName(errno));
    scan(true);
    return true;
}

void FLTBinaryImageRefreshIfNeeded() { scan(false); }

void FLTBinaryImageCrashTimeRefresh() {
    FLTWritableStore* store = g_fltStore.load();
    if (!store) return;
    uint64_t map = 0;
    if (!FLTReadMemory(uint64_t(&_r_debug) + offsetof(r_debug, r_map), &map, sizeof map)) return;
    for (int guard = 0; map && guard < 4 * kFLTMaxImages; ++guard) {
        link_map entry;
        if (!FLTReadMemory(map, &entry, sizeof entry)) return;
        map = uint64_t(entry.l_next);
        const uint64_t bias = entry.l_addr;
        bool known = false;
        for (const FLTImageNode& node : store->images)
            if (node.base.load() && node.size && node.bias == bias) known = true;
        if (known || bias == 0) continue;
        // A shared object maps its ELF header at its bias; the program headers follow it.
        ElfW(Ehdr) header;
        if (!FLTReadMemory(bias, &header, sizeof header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0)
            continue;
        FLTImageDetails details;
        if (FLTBinaryImageFillInImageDetails(bias + header.e_phoff, header.e_phnum, bias, &details)) {
            g_imageGeneration.fetch_add(1);  // it may sit where an image left unseen
            FLTBinaryImageStoreNode(&details);
        }
    }
}

uint64_t FLTBinaryImageGeneration() { return g_imageGeneration.load(std::memory_order_acquire); }

bool FLTBinaryImageSafeFindImageForAddress(uint64_t address, FLTImageInfo* out) {
    FLTWritableStore* store = g_fltStore.load();
    if (!FLTContextIsInitialized() || !store || address == 0 || !FLTIsValidPointer(out)) return false;
    // Nodes are taken in order and never freed: the first free node ends the table.
    for (const FLTImageNode& node : store->images) {
        const uint64_t base = node.base.load(std::memory_order_acquire);
        if (!base) break;
        if (address >= base && address - base < node.size) {
            *out = FLTImageInfo{base,          node.size,       node.bias,     node.ehFrameHdr,
                                node.ehFrameHdrSize, node.ehFrame, node.readStart, node.readEnd,
                                node.unwindInfo, node.unwindInfoSize, node.crashInfo};
            return true;
        }
    }
    return false;
}

bool FLTBinaryImageHasCompactUnwindInfo(const FLTImageInfo* image) {
    return image && FLTIsValidPointer(image->unwindInfo);
}

bool FLTBinaryImageRecordMainExecutable(FLTFile* file) {
    if (!FLTFileIsOpen(file)) {
        FLTLogWarn("Error: file is invalid\n");
        return false;
    }
    FLTImageDetails details;
    const uint64_t phdrs = ::getauxval(AT_PHDR), count = ::getauxval(AT_PHNUM);
    uint64_t bias = 0;
    // The bias is where the program headers are minus where the file says they are.
    for (uint64_t i = 0; i < count; ++i) {
        ElfW(Phdr) phdr;
        if (FLTReadMemory(phdrs + i * sizeof phdr, &phdr, sizeof phdr) && phdr.p_type == PT_PHDR)
            bias = phdrs - phdr.p_vaddr;
    }
    if (!FLTBinaryImageFillInImageDetails(phdrs, count, bias, &details)) return false;
    FLTFileWriteSectionStart(file, "executable");
    FLTFileWriteHashStart(file);
    FLTFileWriteHashEntryString(file, "architecture", "x86_64");
    FLTFileWriteHashEntryString(file, "uuid", details.buildID);
    FLTFileWriteHashEntryUint64(file, "base", details.base);
    FLTFileWriteHashEntryUint64(file, "size", details.size);
    FLTFileWriteHashEntryBoolean(file, "encrypted", false);
    // The oldest kernel the executable's ABI note allows, and the C library it was built
    // against (glibc has no third number: 2.36 is "2.36.0").
    FLTFileWriteHashEntryString(file, "minimum_sdk_version", details.minimumVersion);
    const uint32_t library[3] = {__GLIBC__, __GLIBC_MINOR__, 0};
    char version[40];
    formatVersion(library, version);
    FLTFileWriteHashEntryString(file, "built_sdk_version", version);
    FLTFileWriteHashEnd(file);
    FLTFileWriteSectionEnd(file);
    return true;
}

bool FLTBinaryImageFindImageForUUID(const char* uuid, FLTImageDetails* details) {
    if (!uuid || !details) {
        FLTLogWarn("null input\n");
        return false;
    }
    struct Search {
        const char* uuid;
        FLTImageDetails* details;
        bool found;
    } search{uuid, details, false};
    ::dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            auto* s = static_cast<Search*>(data);
            FLTImageDetails candidate;
            if (FLTBinaryImageFillInImageDetails(uint64_t(info->dlpi_phdr), info->dlpi_phnum, info->dlpi_addr,
                                                 &candidate) &&
                candidate.buildID[0] && std::strcmp(candidate.buildID, s->uuid) == 0) {
                *s->details = candidate;
                s->found = true;
                return 1;
            }
            return 0;
        },
        &search);
    return search.found;
}
