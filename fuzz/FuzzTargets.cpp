// The fuzzing entry points: each reader run over arbitrary bytes, with the checks of its answer.
#include "fuzz/FuzzTargets.h"

#include "completion/QVCodeIndexer.h"
#include "kits/faultline/FLTCompactUnwind.h"
#include "kits/faultline/FLTDwarf.h"
#include "kits/faultline/FLTFile.h"
#include "kits/faultline/FLTRecordReader.h"
#include "languages/QVBundle.h"
#include "languages/QVBundleRepository.h"
#include "languages/QVParser.h"
#include "languages/QVTheme.h"
#include "languages/QVThemeRepository.h"
#include "platform/PropertyList.h"
#include "platform/QVRegex.h"
#include "platform/QVTextStorage.h"
#include "platform/TextEncoding.h"
#include "shell/FileEncodings.h"
#include "shell/QVSearch.h"
#include "kits/trellis/FLTMachO.h"
#include "kits/trellis/TRLApplicationIdentiferModel.h"
#include "kits/trellis/TRLElfImage.h"
#include "kits/trellis/TRLSettings.h"

#include <QFile>
#include <QStringDecoder>
#include <QTemporaryDir>

#include <QStringList>

#include <cstring>

#include <sys/mman.h>
#include <unistd.h>

#include <mutex>
#include <vector>
#include "QorvelSourceTree.h"

namespace fuzz {

namespace {

QString describe(QVRange r) {
    return r.isNotFound() ? QStringLiteral("none") : QStringLiteral("%1+%2").arg(r.location).arg(r.length);
}

// ---- property lists ---------------------------------------------------------------------------

// Values compare through their XML form: the binary one may share equal values or not.
QString roundTrip(const QVariant& value, PlistFormat format) {
    QVError error;
    const QByteArray written = PropertyList::toData(value, format, &error);
    if (written.isEmpty())
        return {};  // a value with no form in this format (a date beyond its range, say)
    const QVariant reread = PropertyList::fromData(written, &error);
    if (!reread.isValid())
        return QStringLiteral("a written list does not read back: ") + error.localizedDescription();
    if (PropertyList::toData(reread, PlistFormat::XML) != PropertyList::toData(value, PlistFormat::XML))
        return QStringLiteral("a list read back holds other values");
    return {};
}

// ---- encodings --------------------------------------------------------------------------------

const QVStringEncoding kEncodings[] = {
    TextEncoding::ASCII,         TextEncoding::JapaneseEUC,   TextEncoding::UTF8,
    TextEncoding::ISOLatin1,     TextEncoding::ISOLatin2,     TextEncoding::UTF16,
    TextEncoding::WindowsCP1251, TextEncoding::WindowsCP1253, TextEncoding::WindowsCP1254,
    TextEncoding::WindowsCP1250, TextEncoding::ISO2022JP,     TextEncoding::MacOSRoman,
    TextEncoding::WindowsCP1252, TextEncoding::GB18030,       TextEncoding::Big5HKSCS,
};

// ---- regular expressions ----------------------------------------------------------------------

// The UTF-16 offset of every byte offset of valid UTF-8 (inside a sequence: its start's).
std::vector<qint64> unitOffsets(const QByteArray& utf8) {
    std::vector<qint64> units(size_t(utf8.size()) + 1, 0);
    qint64 unit = 0;
    for (qsizetype i = 0; i < utf8.size(); ++i) {
        const auto byte = quint8(utf8[i]);
        const bool continuation = (byte & 0xC0) == 0x80;
        units[size_t(i)] = continuation ? units[size_t(i - 1)] : unit;
        if (!continuation)
            unit += byte >= 0xF0 ? 2 : 1;
    }
    units[size_t(utf8.size())] = unit;
    return units;
}

QString checkEnumeration(const QList<QVSearchResult>& found, qint64 size, const char* over) {
    qint64 end = -1;
    QVRange last;
    for (const QVSearchResult& result : found) {
        const QVRange r = result.range();
        if (r.isNotFound() || r.location < 0 || r.length < 0 || r.end() > size)
            return QStringLiteral("an enumerated match over %1 lies outside the text: %2").arg(over, describe(r));
        if (r.location < end || r == last)
            return QStringLiteral("an enumeration over %1 went back: %2 after %3").arg(over, describe(r), describe(last));
        end = r.end();
        last = r;
    }
    // At most an empty match at every place and a longer one starting there.
    if (found.size() > 2 * (size + 1))
        return QStringLiteral("more matches than places over %1").arg(over);
    return {};
}

// ---- shipped bundles --------------------------------------------------------------------------

QVBundleRepository& repository() {
    static QVBundleRepository* shipped = [] {
        if (qEnvironmentVariableIsEmpty("QORVEL_RESOURCES"))
            qputenv("QORVEL_RESOURCES", QORVEL_SOURCE_RESOURCES);
        auto* made = new QVBundleRepository();
        made->bundles();
        return made;
    }();
    return *shipped;
}

const char* const kLanguages[] = {"text.html", "text.php", "text.js", "text.css", "text.xml", "text.plain"};

std::shared_ptr<QVBundle> bundleFor(const QByteArray& bytes, int count) {
    const int pick = bytes.isEmpty() ? 0 : quint8(bytes[0]) % count;
    return repository().bundleForIdentifier(QString::fromLatin1(kLanguages[pick]));
}

const char* const kNames[] = {"plist", "encodings", "regex", "highlight", "indexer", "macho", "elf",
                              "settings", "cfi", "compactunwind", "ehframehdr", "records",
                              "listings", "replies", "quoting", "options", "projects",
                              "snippets", "userscripts", "tidy", "desktop", "qvdt", "docprops", "utf8read", "multistatus", nullptr};

}  // namespace

QString propertyList(const QByteArray& bytes) {
    QVError error;
    PlistFormat format = PlistFormat::XML;
    const QVariant value = PropertyList::fromData(bytes, &error, &format);
    if (value.isValid() == !error.isNull())
        return QStringLiteral("a value and an error, or neither");
    if (!value.isValid())
        return {};
    for (PlistFormat f : {PlistFormat::XML, PlistFormat::Binary})
        if (QString failure = roundTrip(value, f); !failure.isEmpty())
            return failure;
    return {};
}

QString encodings(const QByteArray& bytes) {
    const auto holds = [](const QString& text, QVStringEncoding encoding, const char* how) -> QString {
        QVStringEncoding used = encoding;
        QVError error;
        const std::optional<QByteArray> written = FileEncodings::dataUsingEncoding(text, &used, &error);
        if (!written || error)
            return {};  // a lossy write says so; nothing to compare
        const std::optional<QString> again = TextEncoding::decode(*written, used);
        if (!again || *again != text)
            return QStringLiteral("text %1 in encoding %2 does not read back from its own bytes").arg(how).arg(used);
        return {};
    };
    FileEncodings::encodingFromContents(bytes);
    QVStringEncoding detected = 0;
    if (const auto text = FileEncodings::createWithData(bytes, QStringLiteral("/fuzz/input.html"), &detected))
        if (QString failure = holds(*text, detected, "detected"); !failure.isEmpty())
            return failure;
    for (QVStringEncoding encoding : kEncodings) {
        const std::optional<QString> text = TextEncoding::decode(bytes, encoding);
        if (!text)
            continue;
        // Characters read from a one-way sequence are written with the table's fallback code,
        // which reads as another character; every other one comes back as it was.
        const QString fallbacks = TextEncoding::unwritableCharacters(*text, encoding);
        const std::optional<QByteArray> again = TextEncoding::encode(*text, encoding, false, nullptr, fallbacks);
        if (!again)
            return QStringLiteral("decoded text does not encode back in encoding %1").arg(encoding);
        const std::optional<QString> reread = TextEncoding::decode(*again, encoding);
        if (!reread || (fallbacks.isEmpty() && *reread != *text))
            return QStringLiteral("decoded text changes through encoding %1").arg(encoding);
    }
    return {};
}

namespace {

// The bytes as UTF-8, whole and by the book (the well-formed sequences of the Unicode standard's
// table 3-7, read greedily), each byte outside them kept as FileEncodings::KeptByte + byte:
// the oracle of the piece-by-piece read, written apart from it.
struct WholeRead {
    QString text;
    qint64 kept = 0;
    qint64 multiByte = 0;
};

WholeRead wholeUTF8(const QByteArray& bytes) {
    WholeRead read;
    const auto at = [&](qsizetype i) { return i < bytes.size() ? quint8(bytes[i]) : 0u; };
    const auto tail = [&](qsizetype i) { return at(i) >= 0x80 && at(i) <= 0xBF; };
    for (qsizetype i = 0; i < bytes.size();) {
        const unsigned b = at(i);
        int length = 0;
        if (b < 0x80) length = 1;
        else if (b >= 0xC2 && b <= 0xDF && tail(i + 1)) length = 2;
        else if (b >= 0xE0 && b <= 0xEF) {
            const unsigned low = b == 0xE0 ? 0xA0 : 0x80, high = b == 0xED ? 0x9F : 0xBF;
            if (at(i + 1) >= low && at(i + 1) <= high && tail(i + 2)) length = 3;
        } else if (b >= 0xF0 && b <= 0xF4) {
            const unsigned low = b == 0xF0 ? 0x90 : 0x80, high = b == 0xF4 ? 0x8F : 0xBF;
            if (at(i + 1) >= low && at(i + 1) <= high && tail(i + 2) && tail(i + 3)) length = 4;
        }
        if (length == 0) {
            read.text += QChar(char16_t(FileEncodings::KeptByte + b));
            ++read.kept;
            ++i;
            continue;
        }
        char32_t c = length == 1 ? b : b & (0x7F >> length);
        for (int k = 1; k < length; ++k) c = (c << 6) | (at(i + k) & 0x3F);
        read.text += QChar::fromUcs4(c);  // QString::fromUcs4 would drop a leading mark
        read.multiByte += length > 1;
        i += length;
    }
    return read;
}

}  // namespace

QString utf8Read(const QByteArray& bytes) {
    if (bytes.isEmpty())
        return {};
    const QByteArray contents = bytes.mid(1);
    const WholeRead whole = wholeUTF8(contents);
    // The oracle agrees with Qt's own decoder where the bytes are valid.
    QStringDecoder qt(QStringDecoder::Utf8, QStringConverter::Flag::ConvertInitialBom);
    if (whole.kept == 0 && whole.text != QString(qt(contents)))
        return QStringLiteral("the whole-file oracle differs from Qt on valid UTF-8");
    static QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("input.txt"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(contents) != contents.size())
        return {};
    file.close();
    QByteArray back;
    if (!FileEncodings::appendUTF8KeepingBytes(&back, whole.text) || back != contents)
        return QStringLiteral("the text with its kept bytes does not write back to the same bytes");
    // The rule every reader follows, stated apart: clearly UTF-8 but for a few bytes where each
    // kept byte has at least sixteen valid characters of more than one byte beside it.
    // A file that says it is UTF-8 (a byte-order mark, a declaration) and holds a valid character
    // beyond ASCII is read so whatever the count.
    const bool byCount = whole.kept == 0 || (whole.multiByte > 0 && whole.multiByte >= 16 * whole.kept);
    const bool readable = byCount || (whole.multiByte > 0 && FileEncodings::encodingFromContents(contents) == TextEncoding::UTF8);
    if (whole.kept > 0 && byCount != FileEncodings::readsAsUTF8(whole.kept, whole.multiByte))
        return QStringLiteral("the rule differs from sixteen valid characters a kept byte");
    // Every reader reads the file by it: the editor's (from the file) and the find's (from bytes
    // in hand) give the oracle's text in UTF-8 exactly where it holds, and writing that text in
    // UTF-8 gives the bytes back.
    for (const bool fromFile : {true, false}) {
        QVStringEncoding encoding = TextEncoding::UTF8;
        qint64 kept = -1;
        const std::optional<QString> text = fromFile ? FileEncodings::createWithContentsOfFile(path, &encoding, nullptr, &kept)
                                                     : FileEncodings::createWithData(contents, path, &encoding, nullptr, &kept);
        const bool asUTF8 = text && encoding == TextEncoding::UTF8 && *text == whole.text && kept == whole.kept;
        if (asUTF8 != readable)
            return QStringLiteral("%1 %2 as UTF-8 where the rule says %3")
                .arg(fromFile ? QStringLiteral("the read of the file") : QStringLiteral("the read of bytes in hand"),
                     asUTF8 ? QStringLiteral("reads it") : QStringLiteral("does not read it"),
                     readable ? QStringLiteral("it is") : QStringLiteral("it is not"));
        if (!asUTF8) continue;
        QVStringEncoding written = TextEncoding::UTF8;
        if (FileEncodings::dataUsingEncoding(*text, &written) != contents || written != TextEncoding::UTF8)
            return QStringLiteral("the text read with its kept bytes does not save back to the same bytes");
    }
    qint64 decodedKept = -1;
    const std::optional<QString> decoded = FileEncodings::decodeUTF8KeepingBytes(contents, &decodedKept);
    if (whole.kept > 0 && (decoded.has_value() != byCount || (decoded && (*decoded != whole.text || decodedKept != whole.kept))))
        return QStringLiteral("the read of bytes in memory differs from the whole-file read");
    // Pieces of one to four bytes put a piece's end at every place; the first byte picks one more.
    QString failure;
    for (const qint64 piece : {qint64(1), qint64(2), qint64(3), qint64(4), qint64(1 + quint8(bytes[0]) % 61)}) {
        FileEncodings::setUTF8ReadPieceForTests(piece);
        for (const bool keeping : {false, true}) {
            QVStringEncoding encoding = TextEncoding::UTF8;
            qsizetype length = 0;
            qint64 kept = -1;
            const auto units = FileEncodings::readUTF8Units(path, &encoding, &length, {}, keeping ? &kept : nullptr);
            const bool expected = keeping ? readable : whole.kept == 0;
            if (units.has_value() != expected) {
                failure = QStringLiteral("pieces of %1 bytes%2: %3 where the whole file says %4")
                              .arg(piece)
                              .arg(keeping ? QStringLiteral(", keeping bytes") : QString())
                              .arg(units ? QStringLiteral("read") : QStringLiteral("not read"))
                              .arg(expected ? QStringLiteral("read") : QStringLiteral("not read"));
            } else if (units && QStringView(reinterpret_cast<const QChar*>(units->data()), length) != whole.text) {
                failure = QStringLiteral("pieces of %1 bytes%2: the text differs from the whole file's")
                              .arg(piece)
                              .arg(keeping ? QStringLiteral(", keeping bytes") : QString());
            } else if (units && keeping && kept != whole.kept) {
                failure = QStringLiteral("pieces of %1 bytes: %2 bytes kept where the whole file has %3").arg(piece).arg(kept).arg(whole.kept);
            }
            if (!failure.isEmpty())
                break;
        }
        if (!failure.isEmpty())
            break;
    }
    FileEncodings::setUTF8ReadPieceForTests(0);
    return failure;
}

QString regex(const QByteArray& bytes) {
    if (bytes.isEmpty())
        return {};
    const quint8 flags = quint8(bytes[0]);
    const quint32 options = (flags & 1 ? QVRegex::CaseInsensitive : 0) | (flags & 2 ? QVRegex::MultiLine : 0) |
                            (flags & 4 ? QVRegex::DotMatchesAll : 0);
    const QByteArray rest = bytes.mid(1);
    const qsizetype nul = rest.indexOf('\0');
    const QString pattern = QString::fromUtf8(nul < 0 ? rest : rest.left(nul));
    const QByteArray data = nul < 0 ? QByteArray() : rest.mid(nul + 1);
    const auto compiled = QVRegex::create(pattern, options);
    if (bool(compiled) != QVRegex::validPattern(pattern))
        return QStringLiteral("the options change whether the pattern compiles");
    if (!compiled)
        return {};
    const QString text = QString::fromUtf8(data);

    // The first match over the whole text, both widths.
    QVError unitError, byteError;
    const auto inUnits = compiled->copyMatchForString(text, QVRange(0, text.size()), QVRegex::MatchDefault, 0, &unitError);
    const auto inBytes = compiled->copyMatchForUTF8Data(data, QVRange(0, data.size()), QVRegex::MatchDefault, 0, &byteError);
    if (inUnits && (inUnits->rangeForCapture(0).location < 0 || inUnits->rangeForCapture(0).end() > text.size()))
        return QStringLiteral("a match lies outside the text: ") + describe(inUnits->rangeForCapture(0));
    if (inBytes && (inBytes->rangeForCapture(0).location < 0 || inBytes->rangeForCapture(0).end() > data.size()))
        return QStringLiteral("a match lies outside the bytes: ") + describe(inBytes->rangeForCapture(0));
    if (data.isValidUtf8() && !unitError && !byteError) {
        // The same text in either width: the same matches, offsets aside.
        if (bool(inUnits) != bool(inBytes))
            return QStringLiteral("a match in one width only");
        if (inUnits) {
            const std::vector<qint64> units = unitOffsets(data);
            for (int i = 0; i < inUnits->count(); ++i) {
                const QVRange u = inUnits->rangeForCapture(i);
                const QVRange b = inBytes->rangeForCapture(i);
                const QVRange mapped = b.isNotFound() || b.location < 0 || b.end() > data.size()
                                           ? b
                                           : QVRange(units[size_t(b.location)],
                                                     units[size_t(b.end())] - units[size_t(b.location)]);
                if (u != mapped)
                    return QStringLiteral("capture %1 differs between widths: %2 in units, %3 in bytes")
                        .arg(i)
                        .arg(describe(u), describe(b));
            }
        }
    }

    // Every match, as find-all walks them.
    const QVSearch search = QVSearch::withExpression(compiled);
    QVError error;
    if (QString failure = checkEnumeration(search.findAllForString(text, false, &error), text.size(), "units");
        !failure.isEmpty())
        return failure;
    if (QString failure = checkEnumeration(search.findAllForUTF8Data(data, false, &error), data.size(), "bytes");
        !failure.isEmpty())
        return failure;
    return {};
}

QString highlighting(const QByteArray& bytes) {
    const std::shared_ptr<QVBundle> bundle = bundleFor(bytes, int(std::size(kLanguages)));
    if (!bundle)
        return QStringLiteral("a shipped bundle is missing");
    const std::shared_ptr<QVParser> parser = bundle->parser();
    if (!parser)
        return QStringLiteral("a shipped bundle has no parser");
    static const std::shared_ptr<QVTheme> theme = QVThemeRepository::sharedRepository().currentTheme();
    if (theme)
        parser->setTheme(theme);
    QVTextStorage storage;
    storage.replaceCharacters(QVRange(0, 0), QString::fromUtf8(bytes.mid(1)));
    const QVRange all(0, storage.length());
    storage.beginEditing();
    storage.removeAttribute(QVTextStorage::MultiLineAttribute, all);
    for (const QVEmbeddedRange& embedded : parser->parseRange(all, storage)) {
        if (embedded.range.location < 0 || embedded.range.end() > all.end() || !embedded.parser)
            return QStringLiteral("an embedded range lies outside the text: ") + describe(embedded.range);
        embedded.parser->parseRange(embedded.range, storage);
    }
    storage.endEditing();
    return storage.check();
}

QString indexer(const QByteArray& bytes) {
    // The languages with indexing rules.
    const std::shared_ptr<QVBundle> bundle = bundleFor(bytes, 4);
    if (!bundle)
        return QStringLiteral("a shipped bundle is missing");
    const auto rules = std::dynamic_pointer_cast<QVCodeIndexer>(bundle->codeIndexer());
    if (!rules)
        return QStringLiteral("a shipped bundle has no indexing rules");
    QByteArray data = bytes.mid(1);
    const QVCodeIndexer::Output output = rules->runOnData(data, QStringLiteral("/nonexistent/fuzz/input"), &repository());
    for (const QVCodeIndexKey& key : output.results)
        if (key.key().isEmpty())
            return QStringLiteral("an empty key");
    return {};
}

QString machO(const QByteArray& bytes) {
    const uchar* begin = reinterpret_cast<const uchar*>(bytes.constData());
    const uchar* end = begin + bytes.size();
    FLTMachOFile file;
    if (!FLTMachOFileInitWithBuffer(&file, begin, bytes.size())) return QStringLiteral("macho: buffer refused");
    QString failure;
    FLTMachOFileEnumerateSlices(&file, [&](FLTMachOSlice slice) {
        if (slice.header < begin || slice.available < 0 || slice.available > end - slice.header)
            failure = QStringLiteral("macho: slice outside the input");
        FLTMachOSliceEnumerateLoadCommands(&slice, [&](const FLTMachOLoadCommand& c) {
            if (c.data < begin || c.size < 8 || c.size > quint64(end - c.data)) failure = QStringLiteral("macho: command outside the input");
            FLTMachOGetSegmentCommand(c);
            FLTMachOGetString(c);
            FLTMachOIsEncrypted(c);
        });
        FLTMachOSliceGetSectionByName(&slice, "__TEXT", "__text", nullptr);
    });
    if (auto model = TRLApplicationIdentiferModel::makeForImage(QStringLiteral("fuzz"), bytes)) {
        if (model->instanceIdentifier().size() != 40) failure = QStringLiteral("macho: instance identifier not 40 characters");
        for (const QString& uuid : model->architectureUUIDMap())
            if (uuid.size() != 32) failure = QStringLiteral("macho: slice UUID not 32 characters");
    }
    return failure;
}

QString elf(const QByteArray& bytes) {
    const auto id = TRLElfReadIdentity(reinterpret_cast<const uchar*>(bytes.constData()), bytes.size());
    if (!id) return {};
    if (id->buildId.size() > bytes.size()) return QStringLiteral("elf: build-id longer than the input");
    if (id->architecture.isEmpty()) return QStringLiteral("elf: no architecture name");
    if (id->uuidBytes().size() != 16) return QStringLiteral("elf: slice UUID not 16 bytes");
    return {};
}

QString settings(const QByteArray& bytes) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("settings.json"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) return {};
    file.close();
    TRLSettings model(path);
    const auto document = model.settingsDictionary();
    if (!document && model.appNeedsOnboarding()) return QStringLiteral("settings: onboarding without a document");
    if (model.appNeedsOnboarding() && model.appStatus() != QLatin1String("new")) return QStringLiteral("settings: onboarding for a status other than new");
    if (document && !QFile::exists(path)) return QStringLiteral("settings: a readable document was removed");
    return {};
}

namespace {

uint64_t addressOf(const QByteArray& bytes, qsizetype offset = 0) {
    return uint64_t(reinterpret_cast<uintptr_t>(bytes.constData())) + uint64_t(offset);
}

uint64_t wordAt(const QByteArray& bytes, qsizetype offset) {
    uint64_t value = 0;
    if (offset >= 0 && offset < bytes.size())
        std::memcpy(&value, bytes.constData() + offset, size_t(std::min<qsizetype>(8, bytes.size() - offset)));
    return value;
}

}  // namespace

QString callFrames(const QByteArray& bytes) {
    const FLTDwarfSection section{addressOf(bytes), addressOf(bytes, bytes.size())};
    uint64_t stack[64];
    for (int i = 0; i < 64; ++i) stack[i] = wordAt(bytes, i * 8);
    for (qsizetype offset = 0; offset < std::min<qsizetype>(bytes.size(), 64); ++offset) {
        FLTDwarfFDEBuffer fde;
        if (!FLTDwarfInitFDEAtAddress(&fde, &section, addressOf(bytes, offset))) continue;
        if (fde.fde.instructionsEnd > section.end || fde.cie.instructionsEnd > section.end)
            return QStringLiteral("a record's instructions end outside the section");
        FLTRegisters registers{};
        registers.rsp = uint64_t(reinterpret_cast<uintptr_t>(&stack[8]));
        registers.rbp = uint64_t(reinterpret_cast<uintptr_t>(&stack[16]));
        registers.rip = fde.fde.initialLocation + (fde.fde.addressRange ? wordAt(bytes, offset) % fde.fde.addressRange : 0);
        const uint64_t before = registers.rsp;
        if (FLTDwarfUnwindComputeRegisters(&fde, &registers, registers.rip, nullptr) && registers.rip &&
            registers.rsp == before)
            return QStringLiteral("a step that succeeded left the stack pointer where it was");
    }
    FLTRegisters registers{};
    uint64_t result = 0;
    FLTDwarfEvalulateExpression(section.start, &section, &registers, true, 0, &result);
    return {};
}

QString compactUnwind(const QByteArray& bytes) {
    // The table lies in a mapping of its own with nothing after it: a read past its end faults.
    const long page = ::sysconf(_SC_PAGESIZE);
    const size_t size = size_t(bytes.size());
    const size_t pages = (size + size_t(page) - 1) / size_t(page) + 1;
    auto* map = static_cast<char*>(::mmap(nullptr, pages * size_t(page), PROT_READ | PROT_WRITE,
                                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (map == MAP_FAILED) return {};
    ::mprotect(map + (pages - 1) * size_t(page), size_t(page), PROT_NONE);
    char* table = map + (pages - 1) * size_t(page) - size;
    std::memcpy(table, bytes.constData(), size);
    uint64_t stack[64] = {};
    const uint64_t load = 0x400000;
    FLTCompactUnwindContext context;
    if (FLTCompactUnwindInit(&context, uint64_t(reinterpret_cast<uintptr_t>(table)), size, 0, 0, load)) {
        for (qsizetype i = 0; i < 8; ++i) {
            FLTRegisters registers{};
            registers.rsp = uint64_t(reinterpret_cast<uintptr_t>(&stack[0]));
            registers.rbp = uint64_t(reinterpret_cast<uintptr_t>(&stack[8]));
            FLTCompactUnwindLookupAndCompute(&context, load + (wordAt(bytes, i * 8) & 0xFFFFFF), &registers);
        }
    }
    ::munmap(map, pages * size_t(page));
    return {};
}

QString ehFrameHeader(const QByteArray& bytes) {
    const FLTDwarfSection section{addressOf(bytes), addressOf(bytes, bytes.size())};
    for (int i = 0; i < 4; ++i) {
        uint64_t fde = 0, frame = 0;
        const uint64_t pc = addressOf(bytes) + wordAt(bytes, 8 + i * 8) % (uint64_t(bytes.size()) + 64);
        if (FLTEhFrameHdrFindFDE(section.start, uint64_t(bytes.size()), &section, pc, &fde, &frame) &&
            (fde < section.start || fde >= section.end))
            return QStringLiteral("a found FDE lies outside the section");
    }
    return {};
}

QString records(const QByteArray& bytes) {
    FLTFileParseSections(bytes);
    FLTFileHexDecodeString(bytes);
    const int fd = ::memfd_create("record", 0);
    if (fd < 0) return {};
    FLTFile file;
    file.fd = fd;
    FLTFileWriteSectionStart(&file, "s");
    FLTFileWriteHashStart(&file);
    FLTFileWriteHashEntryBytes(&file, "text", bytes.constData(), uint64_t(bytes.size()));
    FLTFileWriteHashEnd(&file);
    FLTFileWriteSectionEnd(&file);
    QByteArray written(qsizetype(file.total), 0);
    const bool read = ::pread(fd, written.data(), size_t(written.size()), 0) == ssize_t(written.size());
    ::close(fd);
    if (!read) return QStringLiteral("the written line could not be read back");
    const QVariantList sections = FLTFileParseSections(written);
    if (sections.size() != 1 || written.count('\n') != 1)
        return QStringLiteral("a string broke its record line");
    if (bytes.isValidUtf8() && sections.first().toMap().value("s").toMap().value("text").toString() != QString::fromUtf8(bytes))
        return QStringLiteral("a UTF-8 string read back differs");
    return {};
}

Entry entryNamed(const QString& name) {
    static const Entry entries[] = {propertyList, encodings, regex, highlighting, indexer, machO, elf,
                                    settings, callFrames, compactUnwind, ehFrameHeader, records,
                                    listings, replies, quoting, options, projects,
                                    snippets, userScripts, tidyConfigurations, desktopEntries, qvdtAddresses, documentProperties,
                                    utf8Read, multistatus};
    for (int i = 0; kNames[i]; ++i)
        if (name == QLatin1String(kNames[i]))
            return entries[i];
    return nullptr;
}

const char* const* targetNames() { return kNames; }

}  // namespace fuzz
