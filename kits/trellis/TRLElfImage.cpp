// ELF headers in either class and byte order; notes from PT_NOTE segments, else SHT_NOTE sections.
#include "kits/trellis/TRLElfImage.h"

#include "kits/trellis/FLTMachO.h"

#include <cstring>

#include <features.h>

namespace {

bool fits(qint64 available, qint64 offset, qint64 length) {
    return offset >= 0 && length >= 0 && offset <= available && length <= available - offset;
}

struct Reader {
    const uchar* d;
    qint64 size;
    bool big;
    quint64 u(qint64 at, int width) const {
        quint64 v = 0;
        for (int i = 0; i < width; ++i) v |= quint64(d[at + (big ? width - 1 - i : i)]) << (8 * i);
        return v;
    }
};

QString machineName(quint32 machine) {
    switch (machine) {
    case 3: return QStringLiteral("i386");
    case 40: return QStringLiteral("arm");
    case 62: return QStringLiteral("x86_64");
    case 183: return QStringLiteral("arm64");
    case 243: return QStringLiteral("riscv64");
    case 21: return QStringLiteral("ppc64");
    case 22: return QStringLiteral("s390x");
    case 8: return QStringLiteral("mips");
    case 258: return QStringLiteral("loongarch64");
    default: return QStringLiteral("unknown");
    }
}

// Walks the notes of one region; answers whether the region was sound to the end.
void readNotes(const Reader& r, qint64 offset, qint64 length, qint64 align, TRLElfIdentity* id) {
    if (!fits(r.size, offset, length)) return;
    align = align == 8 ? 8 : 4;
    auto pad = [align](quint64 n) { return (n + quint64(align) - 1) & ~quint64(align - 1); };
    qint64 at = 0;
    while (at + 12 <= length) {
        const quint64 nameSize = r.u(offset + at, 4), descSize = r.u(offset + at + 4, 4), type = r.u(offset + at + 8, 4);
        const quint64 nameSpan = pad(nameSize), descSpan = pad(descSize);
        if (nameSpan > quint64(length) || descSpan > quint64(length) || quint64(at) + 12 + nameSpan + descSpan > quint64(length))
            return;
        const qint64 name = offset + at + 12, desc = name + qint64(nameSpan);
        const bool gnu = nameSize == 4 && memcmp(r.d + name, "GNU", 4) == 0;
        if (gnu && type == 3 && id->buildId.isEmpty() && descSize > 0)
            id->buildId = QByteArray(reinterpret_cast<const char*>(r.d + desc), qsizetype(descSize));
        if (gnu && type == 1 && descSize >= 16 && !id->hasAbiTag) {
            id->hasAbiTag = true;
            id->abiMajor = quint32(r.u(desc + 4, 4));
            id->abiMinor = quint32(r.u(desc + 8, 4));
            id->abiPatch = quint32(r.u(desc + 12, 4));
        }
        at += 12 + qint64(nameSpan + descSpan);
    }
}

}  // namespace

QByteArray TRLElfIdentity::uuidBytes() const {
    QByteArray bytes = buildId.left(16);
    bytes.append(QByteArray(16 - bytes.size(), '\0'));
    return bytes;
}

std::optional<TRLElfIdentity> TRLElfReadIdentity(const uchar* data, qint64 size) {
    if (!data || size < 52 || memcmp(data, "\x7f" "ELF", 4) != 0) return std::nullopt;
    const bool is64 = data[4] == 2;
    if ((data[4] != 1 && data[4] != 2) || (data[5] != 1 && data[5] != 2)) return std::nullopt;
    const Reader r{data, size, data[5] == 2};
    if (is64 && size < 64) return std::nullopt;
    TRLElfIdentity id;
    id.architecture = machineName(quint32(r.u(18, 2)));
    const quint64 phoff = is64 ? r.u(32, 8) : r.u(28, 4);
    const quint64 shoff = is64 ? r.u(40, 8) : r.u(32, 4);
    const quint64 phentsize = r.u(is64 ? 54 : 42, 2), phnum = r.u(is64 ? 56 : 44, 2);
    const quint64 shentsize = r.u(is64 ? 58 : 46, 2), shnum = r.u(is64 ? 60 : 48, 2);
    bool sawNotes = false;
    if (phentsize >= (is64 ? 56u : 32u) && phoff < quint64(size)) {
        for (quint64 i = 0; i < phnum; ++i) {
            const qint64 at = qint64(phoff + i * phentsize);
            if (!fits(size, at, qint64(phentsize))) break;
            if (r.u(at, 4) != 4) continue;  // PT_NOTE
            const quint64 off = is64 ? r.u(at + 8, 8) : r.u(at + 4, 4);
            const quint64 len = is64 ? r.u(at + 32, 8) : r.u(at + 16, 4);
            const quint64 align = is64 ? r.u(at + 48, 8) : r.u(at + 28, 4);
            if (off > quint64(size) || len > quint64(size)) continue;
            sawNotes = true;
            readNotes(r, qint64(off), qint64(len), qint64(align), &id);
        }
    }
    if (!sawNotes && shentsize >= (is64 ? 64u : 40u) && shoff < quint64(size)) {
        for (quint64 i = 0; i < shnum; ++i) {
            const qint64 at = qint64(shoff + i * shentsize);
            if (!fits(size, at, qint64(shentsize))) break;
            if (r.u(at + 4, 4) != 7) continue;  // SHT_NOTE
            const quint64 off = is64 ? r.u(at + 24, 8) : r.u(at + 16, 4);
            const quint64 len = is64 ? r.u(at + 32, 8) : r.u(at + 20, 4);
            const quint64 align = is64 ? r.u(at + 48, 8) : r.u(at + 32, 4);
            if (off > quint64(size) || len > quint64(size)) continue;
            readNotes(r, qint64(off), qint64(len), qint64(align), &id);
        }
    }
    return id;
}

std::optional<TRLElfIdentity> TRLElfReadIdentityOfFile(const QString& path) {
    FLTMachOFile file;
    if (!FLTMachOFileInitWithPath(&file, path)) return std::nullopt;
    auto id = TRLElfReadIdentity(file.data, file.size);
    FLTMachOFileDestroy(&file);
    return id;
}

QString TRLElfBuiltLibraryVersion() {
#if defined(__GLIBC__)
    return QStringLiteral("%1.%2.0").arg(__GLIBC__).arg(__GLIBC_MINOR__);
#else
    return QStringLiteral("0.0.0");
#endif
}
