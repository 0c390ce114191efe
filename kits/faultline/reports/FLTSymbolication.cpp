#include "kits/faultline/reports/FLTSymbolication.h"

#include "kits/faultline/FLTFile.h"
#include "kits/faultline/FLTRecordReader.h"
#include "kits/faultline/reports/FLTReport.h"
#include "platform/SystemLog.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <unistd.h>

QString FLTStackFrame::description() const {
    if (!fileName.isEmpty()) return QStringLiteral("{[0x%1] %2 - %3:%4}").arg(address, 0, 16).arg(fileName, symbol).arg(lineNumber);
    return QStringLiteral("{[0x%1 + %2] %3}").arg(address, 0, 16).arg(lineNumber).arg(symbol);
}

// --- ELF files -------------------------------------------------------------------------------

namespace {

template <typename T>
bool readAt(const uchar* data, quint64 size, quint64 offset, T* out) {
    if (offset > size || size - offset < sizeof(T)) return false;
    std::memcpy(out, data + offset, sizeof(T));
    return true;
}

QString hex(const uchar* bytes, quint64 length) {
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(bytes), qsizetype(length)).toHex());
}

// The GNU build id in a run of notes, as lower-case hex.
// An image's identifier as records carry it: the first 16 bytes of its build id, zero-padded, as
// 32 lower-case hex digits (a record of an older form, the whole id, reads the same).
QString identifierForm(const QString& hexId) {
    return hexId.isEmpty() ? QString() : hexId.left(32).leftJustified(32, QLatin1Char('0')).toLower();
}

QString buildIdInNotes(const uchar* notes, quint64 size) {
    quint64 offset = 0;
    while (offset + 12 <= size) {
        quint32 nameSize, descSize, type;
        std::memcpy(&nameSize, notes + offset, 4);
        std::memcpy(&descSize, notes + offset + 4, 4);
        std::memcpy(&type, notes + offset + 8, 4);
        const quint64 name = offset + 12, desc = name + ((quint64(nameSize) + 3) & ~quint64(3));
        const quint64 end = desc + ((quint64(descSize) + 3) & ~quint64(3));
        if (desc > size || end > size || end < offset) return {};
        if (type == NT_GNU_BUILD_ID && nameSize == 4 && std::memcmp(notes + name, "GNU", 4) == 0 && descSize <= 32)
            return identifierForm(hex(notes + desc, descSize));
        offset = end;
    }
    return {};
}

}  // namespace

std::shared_ptr<FLTElfSymbolTable> FLTElfSymbolTable::load(const QString& path, const QString& buildId) {
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly) || file.size() < qint64(sizeof(Elf64_Ehdr))) return nullptr;
    const quint64 size = quint64(file.size());
    const uchar* data = file.map(0, qint64(size));
    if (!data) return nullptr;
    Elf64_Ehdr eh;
    if (!readAt(data, size, 0, &eh) || std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64 ||
        eh.e_shentsize != sizeof(Elf64_Shdr) || eh.e_phentsize != sizeof(Elf64_Phdr))
        return nullptr;
    auto table = std::make_shared<FLTElfSymbolTable>();
    QString foundId;
    quint64 low = ~quint64(0);
    for (quint64 i = 0; i < eh.e_phnum; ++i) {
        Elf64_Phdr ph;
        if (!readAt(data, size, eh.e_phoff + i * sizeof(Elf64_Phdr), &ph)) return nullptr;
        if (ph.p_type == PT_LOAD) low = std::min<quint64>(low, ph.p_vaddr);
        if (ph.p_type == PT_NOTE && foundId.isEmpty() && ph.p_offset <= size && ph.p_filesz <= size - ph.p_offset)
            foundId = buildIdInNotes(data + ph.p_offset, ph.p_filesz);
    }
    // A file rebuilt since the crash would name the wrong code.
    if (low == ~quint64(0) || buildId.isEmpty() || foundId != identifierForm(buildId)) return nullptr;
    table->_firstPage = low & ~quint64(0xFFF);
    std::vector<Elf64_Shdr> sections(eh.e_shnum);
    for (quint64 i = 0; i < eh.e_shnum; ++i)
        if (!readAt(data, size, eh.e_shoff + i * sizeof(Elf64_Shdr), &sections[i])) return nullptr;
    for (const quint32 wanted : {quint32(SHT_SYMTAB), quint32(SHT_DYNSYM)}) {
        for (const Elf64_Shdr& sh : sections) {
            if (sh.sh_type != wanted || sh.sh_entsize != sizeof(Elf64_Sym) || sh.sh_link >= sections.size()) continue;
            const Elf64_Shdr& strings = sections[sh.sh_link];
            if (sh.sh_offset > size || sh.sh_size > size - sh.sh_offset || strings.sh_offset > size || strings.sh_size > size - strings.sh_offset)
                continue;
            const char* names = reinterpret_cast<const char*>(data + strings.sh_offset);
            for (quint64 k = 0; k < sh.sh_size / sizeof(Elf64_Sym); ++k) {
                Elf64_Sym sym;
                std::memcpy(&sym, data + sh.sh_offset + k * sizeof(Elf64_Sym), sizeof(sym));
                const int type = ELF64_ST_TYPE(sym.st_info);
                if ((type != STT_FUNC && type != STT_OBJECT && type != STT_GNU_IFUNC) || sym.st_shndx == SHN_UNDEF || sym.st_value == 0 ||
                    sym.st_name >= strings.sh_size)
                    continue;
                const char* name = names + sym.st_name;
                const size_t length = strnlen(name, size_t(strings.sh_size - sym.st_name));
                if (length == 0) continue;
                table->_symbols.push_back({sym.st_value, sym.st_size, QByteArray(name, qsizetype(length))});
            }
        }
        if (!table->_symbols.empty()) break;  // the full table when there is one, else the exported names
    }
    std::sort(table->_symbols.begin(), table->_symbols.end(), [](const Symbol& a, const Symbol& b) {
        return a.start != b.start ? a.start < b.start : a.size > b.size;
    });
    return table;
}

const FLTElfSymbolTable::Symbol* FLTElfSymbolTable::lookup(quint64 vaddr) const {
    auto it = std::upper_bound(_symbols.begin(), _symbols.end(), vaddr, [](quint64 v, const Symbol& s) { return v < s.start; });
    // Among symbols starting at or before the address, the nearest one that holds it.
    for (int steps = 0; it != _symbols.begin() && steps < 8; ++steps) {
        --it;
        if (vaddr < it->start + std::max<quint64>(it->size, 1) || it->size == 0) return &*it;
    }
    return nullptr;
}

// --- Resolver ----------------------------------------------------------------------------------

bool FLTSymbolResolver::loadBinaryImagesFromFile(const QString& path) {
    if (path.isEmpty()) return false;
    const auto sections = FLTFileReadSections(path, false);
    if (!sections || sections->isEmpty()) {
        SystemLog::warning(QStringLiteral("[Faultline:Crash:SymbolResolver] failed to read binary image file %1").arg(path));
        return false;
    }
    _images.clear();
    for (const QVariant& s : *sections) {
        const QVariant load = s.toMap().value(QStringLiteral("load"));
        if (load.typeId() != QMetaType::QVariantMap) continue;
        const QVariantMap image = load.toMap();
        bool okBase = false, okSize = false;
        image.value(QStringLiteral("base")).toULongLong(&okBase);
        image.value(QStringLiteral("size")).toULongLong(&okSize);
        if (okBase && okSize) _images.push_back(image);
    }
    std::stable_sort(_images.begin(), _images.end(), [](const QVariantMap& a, const QVariantMap& b) {
        return a.value(QStringLiteral("base")).toULongLong() < b.value(QStringLiteral("base")).toULongLong();
    });
    return true;
}

QVariantMap FLTSymbolResolver::loadedBinaryImageForPC(quint64 address) const {
    for (const QVariantMap& image : _images) {
        const quint64 base = image.value(QStringLiteral("base")).toULongLong();
        const quint64 size = image.value(QStringLiteral("size")).toULongLong();
        if (base <= address && address - base < size) return image;
    }
    return {};
}

FLTSymbolResolver::Loaded FLTSymbolResolver::currentImage(const QString& uuid) {
    if (_current.isEmpty()) {
        // One pass over what is loaded now: build id -> the first page, as the capture counts it.
        dl_iterate_phdr(
            [](dl_phdr_info* info, size_t, void* data) -> int {
                auto* current = static_cast<QHash<QString, Loaded>*>(data);
                quint64 low = ~quint64(0);
                QString id;
                for (int i = 0; i < info->dlpi_phnum; ++i) {
                    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
                    if (ph.p_type == PT_LOAD) low = std::min<quint64>(low, ph.p_vaddr);
                    if (ph.p_type == PT_NOTE && id.isEmpty())
                        id = buildIdInNotes(reinterpret_cast<const uchar*>(info->dlpi_addr + ph.p_vaddr), ph.p_memsz);
                }
                if (!id.isEmpty() && low != ~quint64(0) && !current->contains(id))
                    current->insert(id, Loaded{true, true, info->dlpi_addr + (low & ~quint64(0xFFF))});
                return 0;
            },
            &_current);
        _current.insert(QString(), Loaded{true, false, 0});
    }
    return _current.value(identifierForm(uuid), Loaded{true, false, 0});
}

std::shared_ptr<FLTElfSymbolTable> FLTSymbolResolver::fileTable(const QString& path, const QString& uuid) {
    const QString key = path + QLatin1Char('\n') + uuid;
    if (_tableMissing.contains(key)) return nullptr;
    if (auto found = _tables.value(key)) return found;
    auto table = FLTElfSymbolTable::load(path, uuid);
    if (table)
        _tables.insert(key, table);
    else
        _tableMissing.insert(key, true);
    return table;
}

bool FLTSymbolResolver::updateStackFrame(FLTStackFrame& frame) {
    if (frame.address == 0) return false;
    const QVariantMap image = loadedBinaryImageForPC(frame.address);
    if (image.isEmpty()) return false;
    const QString uuid = image.value(QStringLiteral("uuid")).toString();
    const QString path = image.value(QStringLiteral("path")).toString();
    const quint64 base = image.value(QStringLiteral("base")).toULongLong();
    // A return address names the call before it; the place a thread stood is looked up as it is.
    const quint64 lookup = frame.isReturnAddress && frame.address > base ? frame.address - 1 : frame.address;
    bool found = false;
    QByteArray name;
    quint64 start = 0, local = 0;
    // The file's own table first: it is matched by build id, holds local symbols too and answers
    // by binary search; dladdr serves an image loaded now whose file cannot be read.
    if (!uuid.isEmpty()) {
        if (auto table = fileTable(path, uuid)) {
            found = true;
            if (const auto* symbol = table->lookup(table->firstPage() + (lookup - base))) {
                name = symbol->name;
                start = symbol->start;
                local = table->firstPage() + (frame.address - base);
            }
        }
    }
    const Loaded loaded = uuid.isEmpty() || found ? Loaded{} : currentImage(uuid);
    if (loaded.found) {
        found = true;
        Dl_info info{};
        if (::dladdr(reinterpret_cast<const void*>(uintptr_t(loaded.base + (lookup - base))), &info) && info.dli_sname && info.dli_saddr) {
            name = info.dli_sname;
            start = quint64(uintptr_t(info.dli_saddr));
            local = loaded.base + (frame.address - base);
        }
    }
    if (!found) return false;
    if (!name.isEmpty()) {
        frame.symbol = frame.rawSymbol = QString::fromUtf8(name);
        frame.offset = local > start ? local - start : 0;
    }
    frame.library = QFileInfo(path).fileName();
    return true;
}

std::shared_ptr<FLTStackFrame> FLTSymbolResolver::frameForAddress(quint64 address) {
    auto frame = std::make_shared<FLTStackFrame>();
    frame->address = address;
    return updateStackFrame(*frame) ? frame : nullptr;
}

// --- Operations --------------------------------------------------------------------------------

void FLTThreadArrayOperation::enumerateFramesWithBlock(const std::function<void(FLTStackFrame&)>& block) {
    for (auto& thread : *_threads)
        for (auto& frame : thread) {
            block(*frame);
            if (isCancelled()) return;
        }
}

void FLTSymbolicationOperation::main() {
    enumerateFramesWithBlock([this](FLTStackFrame& frame) { _resolver->updateStackFrame(frame); });
}

QString FLTDemangleOperation::demangleCppSymbol(const char* symbol) {
    int status = 0;
    char* out = abi::__cxa_demangle(symbol, nullptr, nullptr, &status);
    if (!out || status != 0) {
        std::free(out);
        return {};
    }
    const QString result = QString::fromUtf8(out);
    std::free(out);
    return result;
}

QString FLTDemangleOperation::demangleSymbol(const char* symbol) {
    if (!symbol) return {};
    if (std::strncmp(symbol, "_Z", 2) == 0) return demangleCppSymbol(symbol);
    if (std::strncmp(symbol, "__Z", 3) == 0) {
        const QByteArray text(symbol);
        const qsizetype at = text.lastIndexOf("_block_invoke");
        if (at < 5) return {};
        const QString name = demangleCppSymbol(text.mid(1, at - 1).constData());
        return name.isEmpty() ? QString() : name + QString::fromUtf8(text.mid(at));
    }
    return {};
}

void FLTDemangleOperation::main() {
    QHash<QString, QString> known;  // frames share names: each is demangled once
    enumerateFramesWithBlock([&known](FLTStackFrame& frame) {
        if (frame.rawSymbol.isEmpty()) return;
        auto it = known.find(frame.rawSymbol);
        if (it == known.end()) it = known.insert(frame.rawSymbol, demangleSymbol(frame.rawSymbol.toUtf8().constData()));
        if (!it->isEmpty()) frame.symbol = *it;
    });
}

void FLTSerializeSymbolicatedFramesOperation::main() {
    const QFileInfo info(_outputPath);
    const QString temporary = info.path() + QStringLiteral("/.") + info.fileName() + QStringLiteral(".tmp");
    const QByteArray path = temporary.toLocal8Bit();
    FLTFile file;
    if (!FLTFileInitWithPathMode(&file, path.constData(), false, true)) {
        SystemLog::warning(QStringLiteral("[Faultline:Crash:Symbolication] Failed to create output file"));
        return;
    }
    FLTFileWriteSectionStart(&file, "threads");
    FLTFileWriteArrayStart(&file);
    for (const auto& thread : *_threads) {
        FLTFileWriteArrayStart(&file);
        for (const auto& frame : thread) {
            const QByteArray symbol = frame->symbol.toUtf8(), raw = frame->rawSymbol.toUtf8(), library = frame->library.toUtf8();
            FLTFileWriteHashStart(&file);
            // Names go through the record writer's escaping: a demangled name may hold quotes.
            FLTFileWriteHashEntryString(&file, "symbol", frame->symbol.isEmpty() ? nullptr : symbol.constData());
            if (frame->rawSymbol != frame->symbol) FLTFileWriteHashEntryString(&file, "raw_symbol", raw.isEmpty() ? nullptr : raw.constData());
            FLTFileWriteHashEntryUint64(&file, "offset", frame->offset);
            FLTFileWriteHashEntryString(&file, "library", frame->library.isEmpty() ? nullptr : library.constData());
            FLTFileWriteHashEnd(&file);
        }
        FLTFileWriteArrayEnd(&file);
    }
    FLTFileWriteArrayEnd(&file);
    FLTFileWriteSectionEnd(&file);
    const bool flushed = FLTFileFlush(&file) && ::fsync(file.fd) == 0;
    if (!FLTFileClose(&file) || !flushed || ::rename(path.constData(), _outputPath.toLocal8Bit().constData()) != 0) {
        ::unlink(path.constData());
        SystemLog::warning(QStringLiteral("[Faultline:Crash:Symbolication] Failed to create output file"));
        return;
    }
    _succeeded = true;
}

bool FLTProcessReportOperation::threadArrayFromFile(const QString& path, FLTThreadArray* out) {
    const auto sections = FLTFileReadSections(path, false, [](const QVariantMap& section) { return section.value(QStringLiteral("threads")); });
    if (!sections || sections->isEmpty()) return false;
    const QVariant threads = sections->first();
    if (threads.typeId() != QMetaType::QVariantList) return false;
    out->clear();
    for (const QVariant& t : threads.toList()) {
        std::vector<std::shared_ptr<FLTStackFrame>> frames;
        const QVariantList stack = t.toMap().value(QStringLiteral("stacktrace")).toList();
        for (qsizetype i = 0; i < stack.size(); ++i) {
            auto frame = std::make_shared<FLTStackFrame>();
            frame->address = stack[i].toULongLong();
            frame->isReturnAddress = i > 0;
            frames.push_back(frame);
        }
        out->push_back(std::move(frames));
    }
    return true;
}

bool FLTProcessReportOperation::symbolicateFile(const QString& path, FLTSymbolResolver& resolver) {
    FLTThreadArray threads;
    if (!threadArrayFromFile(path, &threads)) return false;
    FLTSymbolicationOperation symbolicate(&threads, &resolver);
    FLTDemangleOperation demangle(&threads);
    FLTSerializeSymbolicatedFramesOperation serialize(&threads, path + QStringLiteral(".symbolicated"));
    symbolicate.start();
    demangle.start();
    serialize.start();
    return serialize.succeeded();
}

void FLTProcessReportOperation::main() {
    if (!_resolver->loadBinaryImagesFromFile(_report->binaryImagePath())) return;
    for (const QString& path : _report->symbolicatableFiles()) {
        if (isCancelled()) return;
        if (QFileInfo::exists(path)) symbolicateFile(path, *_resolver);
    }
}
