// Mach-O reading: fat headers are big-endian, thin headers in the byte order their magic shows;
// every field is read through one bounded accessor.
#include "kits/trellis/FLTMachO.h"

#include "kits/trellis/TRLHelpers.h"

#include <QFile>

#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool fits(qint64 available, qint64 offset, qint64 length) {
    return offset >= 0 && length >= 0 && offset <= available && length <= available - offset;
}

quint32 read32(const uchar* p, bool bigEndian) {
    return bigEndian ? (quint32(p[0]) << 24 | quint32(p[1]) << 16 | quint32(p[2]) << 8 | p[3])
                     : (quint32(p[3]) << 24 | quint32(p[2]) << 16 | quint32(p[1]) << 8 | p[0]);
}

quint64 read64(const uchar* p, bool bigEndian) {
    const quint64 a = read32(p, bigEndian), b = read32(p + 4, bigEndian);
    return bigEndian ? (a << 32 | b) : (b << 32 | a);
}

// Thin images in the order of their magic: little-endian for the usual magic read from bytes.
bool thinMagic(quint32 littleEndianMagic, bool* is64, bool* bigEndian) {
    switch (littleEndianMagic) {
    case FLTMachOMagic32: *is64 = false; *bigEndian = false; return true;
    case FLTMachOMagic64: *is64 = true; *bigEndian = false; return true;
    case FLTMachOCigam32: *is64 = false; *bigEndian = true; return true;
    case FLTMachOCigam64: *is64 = true; *bigEndian = true; return true;
    default: return false;
    }
}

}  // namespace

bool FLTMachOFileInitWithPath(FLTMachOFile* file, const QString& path) {
    if (!file || path.isEmpty()) return false;
    *file = {};
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 16) {
        ::close(fd);
        return false;
    }
    void* map = mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        ::close(fd);
        return false;
    }
    file->fd = fd;
    file->size = st.st_size;
    file->data = static_cast<const uchar*>(map);
    file->mapped = true;
    return true;
}

bool FLTMachOFileInitWithBuffer(FLTMachOFile* file, const void* data, qint64 size) {
    if (!file || !data || size < 0) return false;
    *file = {};
    file->data = static_cast<const uchar*>(data);
    file->size = size;
    return true;
}

void FLTMachOFileDestroy(FLTMachOFile* file) {
    if (!file) return;
    if (file->mapped && file->data && file->size > 0) munmap(const_cast<uchar*>(file->data), size_t(file->size));
    if (file->fd >= 0) ::close(file->fd);
    *file = {};
}

FLTMachOSlice FLTMachOSliceWithHeader(const void* header, qint64 available) {
    FLTMachOSlice s;
    s.header = static_cast<const uchar*>(header);
    s.available = header ? available : 0;
    bool is64 = false, big = false;
    if (fits(s.available, 0, 12) && thinMagic(read32(s.header, false), &is64, &big)) {
        s.swapped = big;
        s.cpuType = qint32(read32(s.header + 4, big));
        s.cpuSubtype = qint32(read32(s.header + 8, big));
    }
    return s;
}

void FLTMachOFileEnumerateSlices(const FLTMachOFile* file, const std::function<void(FLTMachOSlice)>& block) {
    if (!file || !file->data || file->size < 4) return;
    const uchar* d = file->data;
    const quint32 magic = read32(d, true);
    if (magic == FLTMachOFatMagic || read32(d, false) == FLTMachOFatMagic) {
        if (!fits(file->size, 0, 8)) return;
        const quint32 count = read32(d + 4, true);
        for (quint32 i = 0; i < count; ++i) {
            const qint64 at = 8 + qint64(i) * 20;
            if (!fits(file->size, at, 20)) return;
            const qint64 offset = read32(d + at + 8, true), size = read32(d + at + 12, true);
            if (!fits(file->size, offset, size) || size < 28) continue;
            FLTMachOSlice s;
            s.header = d + offset;
            s.available = size;
            s.cpuType = qint32(read32(d + at, true));
            s.cpuSubtype = qint32(read32(d + at + 4, true));
            bool is64 = false, big = false;
            if (thinMagic(read32(s.header, false), &is64, &big)) s.swapped = big;
            block(s);
        }
        return;
    }
    bool is64 = false, big = false;
    if (thinMagic(read32(d, false), &is64, &big)) {
        block(FLTMachOSliceWithHeader(d, file->size));
        return;
    }
    FLTMachOSlice other;
    other.header = d;
    other.available = file->size;
    block(other);
}

bool FLTMachOSliceIs64Bit(const FLTMachOSlice* slice) { return slice && (slice->cpuType & FLTMachOCPUArch64); }

QString FLTMachOSliceGetArchitectureName(const FLTMachOSlice* slice) {
    if (!slice) return QStringLiteral("unknown");
    const qint32 type = slice->cpuType, sub = slice->cpuSubtype & 0x00ffffff;
    if (type == (12 | FLTMachOCPUArch64)) return sub == 2 ? QStringLiteral("arm64e") : QStringLiteral("arm64");
    if (type == 12) {
        switch (sub) {
        case 11: return QStringLiteral("armv7s");
        case 12: return QStringLiteral("armv7k");
        case 9: return QStringLiteral("armv7");
        case 6: return QStringLiteral("armv6");
        default: return QStringLiteral("arm");
        }
    }
    if (type == (7 | FLTMachOCPUArch64)) return sub == 8 ? QStringLiteral("x86_64h") : QStringLiteral("x86_64");
    if (type == 7) return QStringLiteral("i386");
    if (type == 18) return QStringLiteral("ppc");
    if (type == (18 | FLTMachOCPUArch64)) return QStringLiteral("ppc64");
    return QStringLiteral("unknown");
}

void FLTMachOSliceEnumerateLoadCommands(FLTMachOSlice* slice, const std::function<void(const FLTMachOLoadCommand&)>& block) {
    if (!slice || !slice->header || !fits(slice->available, 0, 28)) return;
    bool is64 = false, big = false;
    if (!thinMagic(read32(slice->header, false), &is64, &big)) return;
    const uchar* h = slice->header;
    slice->cpuType = qint32(read32(h + 4, big));
    slice->cpuSubtype = qint32(read32(h + 8, big));
    slice->swapped = big;
    const quint32 count = read32(h + 16, big);
    const qint64 headerSize = is64 ? 32 : 28;
    qint64 at = headerSize;
    // Each command is at least 8 bytes, so no more than the image can hold are walked.
    for (quint32 i = 0; i < count; ++i) {
        if (!fits(slice->available, at, 8)) return;
        FLTMachOLoadCommand c;
        c.cmd = read32(h + at, big);
        c.size = read32(h + at + 4, big);
        c.swapped = big;
        if (c.size < 8 || !fits(slice->available, at, c.size)) return;
        c.data = h + at;
        block(c);
        at += c.size;
    }
}

FLTMachOSegment FLTMachOGetSegmentCommand(const FLTMachOLoadCommand& c) {
    FLTMachOSegment s;
    const bool big = c.swapped;
    if (c.cmd == FLTMachOLoadCommandSegment64 && c.size >= 72) {
        s.vmaddr = read64(c.data + 24, big);
        s.vmsize = read64(c.data + 32, big);
        s.fileoff = read64(c.data + 40, big);
        s.filesize = read64(c.data + 48, big);
    } else if (c.cmd == FLTMachOLoadCommandSegment && c.size >= 56) {
        s.vmaddr = read32(c.data + 24, big);
        s.vmsize = read32(c.data + 28, big);
        s.fileoff = read32(c.data + 32, big);
        s.filesize = read32(c.data + 36, big);
    }
    return s;
}

bool FLTMachOSliceGetSectionByName(const FLTMachOSlice* slice, const char* segment, const char* section, FLTMachOSection* out) {
    if (!slice || !segment || !section) return false;
    FLTMachOSlice walk = *slice;
    bool found = false;
    FLTMachOSliceEnumerateLoadCommands(&walk, [&](const FLTMachOLoadCommand& c) {
        const bool is64 = c.cmd == FLTMachOLoadCommandSegment64;
        if (found || (!is64 && c.cmd != FLTMachOLoadCommandSegment)) return;
        const quint32 head = is64 ? 72 : 56, entry = is64 ? 80 : 68;
        if (c.size < head || strncmp(reinterpret_cast<const char*>(c.data + 8), segment, 16) != 0) return;
        const quint32 count = read32(c.data + (is64 ? 64 : 48), c.swapped);
        for (quint32 i = 0; i < count; ++i) {
            const qint64 at = head + qint64(i) * entry;
            if (!fits(c.size, at, entry)) return;
            const uchar* s = c.data + at;
            if (strncmp(reinterpret_cast<const char*>(s), section, 16) != 0) continue;
            if (out) {
                out->addr = is64 ? read64(s + 32, c.swapped) : read32(s + 32, c.swapped);
                out->size = is64 ? read64(s + 40, c.swapped) : read32(s + 36, c.swapped);
                out->offset = read32(s + (is64 ? 48 : 40), c.swapped);
            }
            found = true;
            return;
        }
    });
    return found;
}

bool FLTMachOFindSliceByArchitecture(const FLTMachOFile* file, const QString& name, FLTMachOSlice* out) {
    bool found = false;
    FLTMachOFileEnumerateSlices(file, [&](FLTMachOSlice s) {
        if (!found && FLTMachOSliceGetArchitectureName(&s) == name) {
            if (out) *out = s;
            found = true;
        }
    });
    return found;
}

bool FLTMachOGetUUID(const FLTMachOLoadCommand& c, uchar out[16]) {
    if (c.cmd != FLTMachOLoadCommandUUID || c.size < 24 || !c.data) return false;
    memcpy(out, c.data + 8, 16);
    return true;
}

static FLTMachOVersion splitVersion(quint32 word) {
    return {word >> 16, (word >> 8) & 0xff, word & 0xff};
}

FLTMachOVersion FLTMachOGetMinimumOSVersion(const FLTMachOLoadCommand& c) {
    if (c.size < 16 || !c.data) return {};
    return splitVersion(read32(c.data + 8, c.swapped));
}

FLTMachOVersion FLTMachOGetSDKVersion(const FLTMachOLoadCommand& c) {
    if (c.size < 16 || !c.data) return {};
    return splitVersion(read32(c.data + 12, c.swapped));
}

QString FLTMachOFormatVersion(const FLTMachOVersion* v) {
    if (!v) return {};
    return QStringLiteral("%1.%2.%3").arg(v->major).arg(v->minor).arg(v->patch);
}

QString FLTMachOGetString(const FLTMachOLoadCommand& c) {
    if (c.size < 12 || !c.data) return {};
    const quint32 offset = read32(c.data + 8, c.swapped);
    if (offset >= c.size) return {};
    const char* s = reinterpret_cast<const char*>(c.data + offset);
    return QString::fromUtf8(s, qsizetype(strnlen(s, c.size - offset)));
}

bool FLTMachOIsEncrypted(const FLTMachOLoadCommand& c) {
    if ((c.cmd != FLTMachOLoadCommandEncryptionInfo && c.cmd != FLTMachOLoadCommandEncryptionInfo64) || c.size < 20)
        return false;
    return read32(c.data + 16, c.swapped) != 0;
}

QString FLTMachOFormatUUID(const uchar uuid[16]) { return TRLHexStringFromUUIDBytes(uuid); }
