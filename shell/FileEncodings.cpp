// Charset names, encoding detection, and text reading and writing with fallbacks.
#include "shell/FileEncodings.h"

#include "platform/FileName.h"
#include "platform/PropertyList.h"
#include "platform/AppBundle.h"
#include "platform/QVRegex.h"
#include "shell/Defaults.h"

#include <QFile>
#include <QHash>
#include <QStringDecoder>
#include <QStringEncoder>

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <cerrno>
#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Charset {
    const char* key;      // the name with "-" and "_" removed, lower case
    const char* written;  // what stringFromEncoding gives
    QVStringEncoding encoding;
};

constexpr QVStringEncoding code(quint32 platformCode) { return TextEncoding::fromPlatformCode(platformCode); }

// The charset table, in Qorvel's order; the first entry of a number gives its written name.
constexpr Charset kCharsets[] = {
    {"iso88591", "iso-8859-1", TextEncoding::ISOLatin1},
    {"iso88592", "iso-8859-2", code(0x0202)},
    {"iso88593", "iso-8859-3", code(0x0203)},
    {"iso88594", "iso-8859-4", code(0x0204)},
    {"iso88595", "iso-8859-5", code(0x0205)},
    {"iso88596i", "iso-8859-6-i", code(0x0206)},
    {"iso88597", "iso-8859-7", code(0x0207)},
    {"iso88598i", "iso-8859-8-i", code(0x0208)},
    {"iso88599", "iso-8859-9", code(0x0209)},
    {"iso885910", "iso-8859-10", code(0x020A)},
    {"iso885911", "iso-8859-11", code(0x020B)},
    {"iso885913", "iso-8859-13", code(0x020D)},
    {"iso885914", "iso-8859-14", code(0x020E)},
    {"iso885915", "iso-8859-15", code(0x020F)},
    {"usascii", "us-ascii", TextEncoding::ASCII},
    {"eucjp", "euc-jp", code(0x0920)},
    {"shiftjis", "shift-jis", code(0x0A01)},
    {"iso2022jp", "iso-2022-jp", code(0x0820)},
    {"euckr", "euc-kr", code(0x0940)},
    {"gb2312", "gb2312", code(0x0A05)},
    {"big5", "big-5", code(0x0A03)},
    {"koi8r", "koi8-r", code(0x0A02)},
    {"macintosh", "macintosh", code(0x0A04)},
    {"windows1250", "windows-1250", code(0x0501)},
    {"windows1251", "windows-1251", code(0x0502)},
    {"windows1253", "windows-1253", code(0x0503)},
    {"windows1254", "windows-1254", code(0x0504)},
    {"windows1255", "windows-1255", code(0x0505)},
    {"windows1256", "windows-1256", code(0x0506)},
    {"windows1257", "windows-1257", code(0x0507)},
    {"utf8", "utf-8", TextEncoding::UTF8},
    {"utf16", "utf-16", TextEncoding::UTF16},
};

// The encoding of a charset name: "-" and "_" removed, ASCII letters in either case. No
// allocation, since every file of a multi-file find asks with each piece of its name.
QVStringEncoding encodingFromName(QStringView name) {
    char key[16];
    qsizetype used = 0;
    for (const QChar c : name) {
        const char16_t u = c.unicode();
        if (u == u'-' || u == u'_') continue;
        if (u == 0 || u > 0x7F || used == qsizetype(sizeof key) - 1) return 0;  // no charset name is that
        key[used++] = char(u >= u'A' && u <= u'Z' ? u + (u'a' - u'A') : u);
    }
    if (used == 0) return 0;
    key[used] = 0;
    for (const Charset& charset : kCharsets)
        if (key[0] == charset.key[0] && std::strcmp(key, charset.key) == 0) return charset.encoding;
    return 0;
}

// The two declaration forms, compiled once for the whole process (the static initialisation
// is thread-safe, and any thread may read files). Both take the name quoted with either quote
// (XML allows both) and the HTML5 form <meta charset="..."> as well as the http-equiv content.
const QVRegex* xmlDeclaration() {
    static const auto regex = QVRegex::create(
        QStringLiteral("<\\?xml[^>]+encoding\\s*=\\s*[\"']([^\"']*)[\"']"),
        QVRegex::CaseInsensitive | QVRegex::DotMatchesAll);
    return regex.get();
}

const QVRegex* metaDeclaration() {
    static const auto regex = QVRegex::create(
        QStringLiteral("<meta[^>]+charset\\s*=\\s*[\"']?\\s*([A-Za-z0-9._:-]*)"),
        QVRegex::CaseInsensitive | QVRegex::DotMatchesAll);
    return regex.get();
}

// The encoding a declaration read in bytes that hold it as ASCII gives: one naming UTF-16
// (either byte order, by any of the names browsers know it by) cannot be right about them, and
// browsers read such a page as UTF-8.
QVStringEncoding asciiDeclared(QStringView name) {
    for (const char* utf16 : {"utf-16", "utf-16le", "utf-16be", "utf16", "unicode", "unicodefeff", "unicodefffe", "csunicode",
                              "ucs-2", "iso-10646-ucs-2"})
        if (name.compare(QLatin1String(utf16), Qt::CaseInsensitive) == 0) return TextEncoding::UTF8;
    const QVStringEncoding declared = FileEncodings::encodingFromDeclaration(name);
    return declared == TextEncoding::UTF16 ? TextEncoding::UTF8 : declared;
}

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? char(c + ('a' - 'A')) : c; }

// Which declaration forms the bytes may hold: "<?xml" and "<meta" in any case. Nothing else can
// match either pattern, so only lines with one of them are decoded and matched.
struct Candidates {
    bool xml = false;
    bool meta = false;
    explicit operator bool() const { return xml || meta; }
};

Candidates declarationCandidates(const char* bytes, qint64 size) {
    Candidates found;
    const char* end = bytes + size;
    for (const char* p = bytes; end - p >= 5;) {
        const char* open = static_cast<const char*>(std::memchr(p, '<', size_t(end - p - 4)));
        if (!open) break;
        const char a = lowerAscii(open[1]), b = lowerAscii(open[2]), c = lowerAscii(open[3]),
                   d = lowerAscii(open[4]);
        found.xml = found.xml || (a == '?' && b == 'x' && c == 'm' && d == 'l');
        found.meta = found.meta || (a == 'm' && b == 'e' && c == 't' && d == 'a');
        p = open + 1;
    }
    return found;
}

// The encoding a declaration in one line gives; 0 for none. The line is read as Mac OS Roman,
// which maps every byte, so non-ASCII bytes cannot hide an ASCII declaration.
QVStringEncoding declarationInLine(const char* line, qint64 size) {
    // Most lines hold neither form; skip decoding and the patterns for them.
    const Candidates candidates = declarationCandidates(line, size);
    if (!candidates) return 0;
    // Mac OS Roman is ASCII below 0x80: a plain line needs no converter.
    const bool ascii = std::all_of(line, line + size, [](char c) { return quint8(c) < 0x80; });
    const QString text = ascii ? QString::fromLatin1(line, size)
                               : TextEncoding::decode(line, size, TextEncoding::MacOSRoman).value_or(QString());
    for (const QVRegex* regex : {candidates.xml ? xmlDeclaration() : nullptr,
                                 candidates.meta ? metaDeclaration() : nullptr}) {
        if (!regex) continue;
        const auto match = regex->copyMatchForString(text);
        if (!match) continue;
        const QVRange name = match->rangeForCapture(1);
        if (name.isNotFound()) return 0;
        // Only the first form that matches counts.
        return asciiDeclared(QStringView(text).sliced(name.location, name.length));
    }
    return 0;
}

QVStringEncoding declarationInLine(const QByteArray& line) { return declarationInLine(line.constData(), line.size()); }

// Splits bytes into lines (ending at LF, CR or CR LF) and looks for a declaration in each of the
// first complete lines. A last line without a line break is never examined.
class DeclarationScanner {
public:
    // Feeds the next bytes; answers true once scanning is over.
    bool feed(const char* bytes, qint64 size) {
        qint64 i = 0;
        while (i < size && !_done) {
            if (_afterCR) {
                _afterCR = false;
                if (bytes[i] == '\n') { ++i; continue; }  // the rest of a CR LF pair
            }
            qint64 end = i;
            while (end < size && bytes[end] != '\n' && bytes[end] != '\r') ++end;
            _line.append(bytes + i, end - i);
            if (end == size) break;
            _line.append(bytes[end]);
            _afterCR = bytes[end] == '\r';
            i = end + 1;
            endLine();
        }
        return _done;
    }
    QVStringEncoding found() const { return _found; }

private:
    void endLine() {
        ++_lines;
        _found = declarationInLine(_line);
        _line.clear();
        if (_found || _lines >= FileEncodings::DeclarationLineLimit) _done = true;
    }

    QByteArray _line;
    int _lines = 0;
    bool _afterCR = false;
    bool _done = false;
    QVStringEncoding _found = 0;
};

#if defined(__x86_64__)
// Hands mark the places of LF, CR and "<" from i on, 32 bytes at a time, while it answers go on
// (true); answers the first place not looked at.
template <class Mark>
__attribute__((target("avx2"))) qint64 marksBy32(const char* bytes, qint64 size, qint64 i, Mark&& mark) {
    const __m256i lf = _mm256_set1_epi8('\n'), cr = _mm256_set1_epi8('\r'), open = _mm256_set1_epi8('<');
    for (; i + 32 <= size; i += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + i));
        unsigned bits = unsigned(_mm256_movemask_epi8(
            _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(v, lf), _mm256_cmpeq_epi8(v, cr)), _mm256_cmpeq_epi8(v, open))));
        for (; bits; bits &= bits - 1)
            if (!mark(i + __builtin_ctz(bits)))
                return i + 32;
    }
    return i;
}
#endif

// The declaration scan of bytes in memory, without copying lines: the same lines as the
// streaming scanner examines, in the same order. Files whose first lines end in bare LFs (nearly
// all) are walked by their LF, CR and "<" bytes alone, sixteen bytes at a time, and only lines
// holding "<?xml" or "<meta" are looked at closely; a CR hands the bytes to the line scanner.
QVStringEncoding declarationInBytes(const char* bytes, qint64 size, int lineLimit) {
    enum Step { Next, Done, ByLines };
    int lines = 0;
    qint64 lineStart = 0;
    qint64 skipUntil = 0;  // marks before this belong to a line already examined
    QVStringEncoding found = 0;
    auto mark = [&](qint64 i) -> Step {
        if (i < skipUntil) return Next;
        const char c = bytes[i];
        if (c == '\n') {
            lineStart = i + 1;
            return ++lines >= lineLimit ? Done : Next;
        }
        if (c == '\r') return ByLines;
        if (size - i < 5 || !declarationCandidates(bytes + i, 5)) return Next;
        const void* lf = std::memchr(bytes + i, '\n', size_t(size - i));
        const qint64 lineEnd = lf ? static_cast<const char*>(lf) - bytes + 1 : size;
        if (std::memchr(bytes + i, '\r', size_t(lineEnd - i))) return ByLines;
        if (!lf) return Done;  // a last line without a break is not examined
        found = declarationInLine(bytes + lineStart, lineEnd - lineStart);
        if (found) return Done;
        skipUntil = lineEnd - 1;  // its LF still counts the line
        return Next;
    };
    Step step = lineLimit > 0 ? Next : Done;
    qint64 i = 0;
#if defined(__x86_64__)
    // A minified script is one long first line, looked through whole.
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2 && step == Next)
        i = marksBy32(bytes, size, i, [&](qint64 at) { return (step = mark(at)) == Next; });
#endif
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r'), open = _mm_set1_epi8('<');
    for (; step == Next && i + 16 <= size; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
        unsigned bits = unsigned(_mm_movemask_epi8(_mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr)), _mm_cmpeq_epi8(v, open))));
        for (; bits && step == Next; bits &= bits - 1) step = mark(i + __builtin_ctz(bits));
    }
#endif
    for (; step == Next && i < size; ++i) {
        const char c = bytes[i];
        if (c == '\n' || c == '\r' || c == '<') step = mark(i);
    }
    if (step == ByLines) {
        DeclarationScanner scanner;
        scanner.feed(bytes, size);
        return scanner.found();
    }
    return found;
}

// A style sheet's @charset rule, which counts only as its very first bytes: '@charset "name";'.
QVStringEncoding charsetRule(const char* bytes, qint64 size) {
    static constexpr char kOpen[] = "@charset \"";
    constexpr qint64 open = sizeof kOpen - 1;
    if (size <= open || std::memcmp(bytes, kOpen, size_t(open)) != 0) return 0;
    const qint64 limit = std::min<qint64>(size, open + 64);
    for (qint64 i = open; i + 1 < limit; ++i) {
        if (bytes[i] != '"') continue;
        if (bytes[i + 1] != ';') return 0;
        return asciiDeclared(QString::fromLatin1(bytes + open, i - open));
    }
    return 0;
}

// The encoding a leading byte-order mark names, which decides before any declaration, as
// browsers let it.
QVStringEncoding byteOrderMark(const char* bytes, qint64 size) {
    if (size >= 3 && std::memcmp(bytes, "\xEF\xBB\xBF", 3) == 0) return TextEncoding::UTF8;
    if (size < 2) return 0;
    const auto b0 = quint8(bytes[0]), b1 = quint8(bytes[1]);
    if ((b0 == 0xFF && b1 == 0xFE) || (b0 == 0xFE && b1 == 0xFF)) return TextEncoding::UTF16;
    return 0;
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : _fd(fd) {}
    ~FileDescriptor() { if (_fd >= 0) ::close(_fd); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return _fd; }

private:
    int _fd;
};

// read() that retries on interruption; -1 with errno on failure.
qint64 readSome(int fd, char* buffer, qint64 size) {
    for (;;) {
        const ssize_t n = ::read(fd, buffer, size_t(size));
        if (n >= 0 || errno != EINTR) return n;
    }
}

// Opens a regular file for reading; -1 and the error otherwise.
int openRegularFile(const QString& path, QVError* error, struct stat* info) {
    const QByteArray name = FileName::encode(path);
    const int fd = name.isEmpty() ? -1 : ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        qvSetError(error, QVError::posix(name.isEmpty() ? ENOENT : errno, QStringLiteral("Reading"), path));
        return -1;
    }
    if (::fstat(fd, info) != 0) {
        const int err = errno;
        ::close(fd);
        qvSetError(error, QVError::posix(err, QStringLiteral("Reading"), path));
        return -1;
    }
    if (!S_ISREG(info->st_mode)) {
        ::close(fd);
        // A folder, pipe or device holds no text; a pipe or device could also block for ever.
        qvSetError(error, S_ISDIR(info->st_mode)
                              ? QVError::posix(EISDIR, QStringLiteral("Reading"), path)
                              : QVError::make(QVError::posixDomain(), EINVAL,
                                              QStringLiteral("\"%1\" is not a regular file.").arg(path),
                                              {}, {}, {{QLatin1String(QVFilePathErrorKey), path}}));
        return -1;
    }
    // Regular files never block; reads stay plain.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

// The whole file, read to its end whatever its size said when it was opened (a file that grows
// or shrinks meanwhile gives what was there to read).
bool readFile(const QString& path, QByteArray* bytes, QVError* error) {
    struct stat info {};
    FileDescriptor fd(openRegularFile(path, error, &info));
    if (fd.get() < 0) return false;
    QByteArray data;
    data.resize(qsizetype(info.st_size) + 1);
    qsizetype used = 0;
    for (;;) {
        if (used == data.size()) data.resize(data.size() + std::max<qsizetype>(data.size() / 2, 65536));
        const qint64 n = readSome(fd.get(), data.data() + used, data.size() - used);
        if (n < 0) {
            qvSetError(error, QVError::posix(errno, QStringLiteral("Reading"), path));
            return false;
        }
        if (n == 0) break;
        used += n;
    }
    data.resize(used);
    *bytes = std::move(data);
    return true;
}

// The content steps over the file at path, reading only as far as the scan needs.
QVStringEncoding encodingFromFileContents(const QString& path) {
    struct stat info {};
    FileDescriptor fd(openRegularFile(path, nullptr, &info));
    if (fd.get() < 0) return 0;
    DeclarationScanner scanner;
    bool first = true;
    char buffer[65536];
    for (;;) {
        qint64 n = readSome(fd.get(), buffer, sizeof buffer);
        if (n <= 0) break;
        if (first) {
            first = false;
            // A mark's three bytes, even when the first read brings fewer.
            while (n < 3) {
                const qint64 more = readSome(fd.get(), buffer + n, sizeof buffer - n);
                if (more <= 0) break;
                n += more;
            }
            if (const QVStringEncoding mark = byteOrderMark(buffer, n)) return mark;
            if (const QVStringEncoding rule = charsetRule(buffer, n)) return rule;
        }
        if (scanner.feed(buffer, n)) break;
    }
    return scanner.found();
}

// UTF-8 decoded a piece at a time by ICU, every byte that is not part of valid UTF-8 kept as
// FileEncodings::KeptByte + byte; counts what it kept and the valid characters of more than one
// byte beside them.
class KeepingDecoder {
public:
    KeepingDecoder() {
        UErrorCode status = U_ZERO_ERROR;
        _converter = ucnv_open("UTF-8", &status);
        if (U_FAILURE(status)) {
            if (_converter) ucnv_close(_converter);
            _converter = nullptr;
            return;
        }
        ucnv_setToUCallBack(_converter, keep, this, nullptr, nullptr, &status);
        if (U_FAILURE(status)) {
            ucnv_close(_converter);
            _converter = nullptr;
        }
    }
    ~KeepingDecoder() {
        if (_converter) ucnv_close(_converter);
    }
    KeepingDecoder(const KeepingDecoder&) = delete;
    KeepingDecoder& operator=(const KeepingDecoder&) = delete;
    explicit operator bool() const { return _converter != nullptr; }

    // The bytes decoded to out, which has room up to limit (a unit a byte is always enough);
    // last: no bytes follow, so a sequence cut short at the end is kept. The end of what was
    // written, or null when ICU failed.
    char16_t* decode(const char* bytes, qint64 size, char16_t* out, char16_t* limit, bool last) {
        const char* source = bytes;
        UChar* target = reinterpret_cast<UChar*>(out);
        UErrorCode status = U_ZERO_ERROR;
        ucnv_toUnicode(_converter, &target, reinterpret_cast<UChar*>(limit), &source, bytes + size, nullptr, last, &status);
        if (U_FAILURE(status) || source != bytes + size) return nullptr;
        char16_t* end = reinterpret_cast<char16_t*>(target);
        for (const char16_t* unit = out; unit < end; ++unit) {
            const char16_t u = *unit;
            if (u < 0x80) {
                _afterHigh = false;
                continue;
            }
            // A pair counts once, at its high half; a lone low one is a kept byte.
            if (QChar::isLowSurrogate(u) && !_afterHigh) {
                continue;
            }
            if (!QChar::isLowSurrogate(u)) ++multiByte;
            _afterHigh = QChar::isHighSurrogate(u);
        }
        return end;
    }

    qint64 kept = 0;
    qint64 multiByte = 0;

private:
    static void keep(const void* context, UConverterToUnicodeArgs* args, const char* codeUnits, int32_t length,
                     UConverterCallbackReason reason, UErrorCode* status) {
        if (reason > UCNV_IRREGULAR) return;  // reset, close, clone: nothing to write
        auto* self = static_cast<KeepingDecoder*>(const_cast<void*>(context));
        *status = U_ZERO_ERROR;
        for (int32_t at = 0; at < length && U_SUCCESS(*status);) {
            UChar units[16];
            const int32_t n = std::min<int32_t>(length - at, 16);
            for (int32_t i = 0; i < n; ++i) units[i] = UChar(FileEncodings::KeptByte + quint8(codeUnits[at + i]));
            ucnv_cbToUWriteUChars(args, units, n, 0, status);
            at += n;
        }
        self->kept += length;
    }

    UConverter* _converter = nullptr;
    bool _afterHigh = false;
};

std::atomic<qint64> utf8ReadPiece{0};

QString substitute(QString format, const QString& value) {
    return format.replace(QLatin1String("%@"), value).replace(QLatin1String("%1"), value);
}

QString hexBytes(const QByteArray& bytes) { return QString::fromLatin1(bytes.toHex(' ').toUpper()); }

// The character of text at index, a surrogate pair whole.
QString characterAt(const QString& text, qsizetype index) {
    const bool pair = index + 1 < text.size() && text[index].isHighSurrogate() && text[index + 1].isLowSurrogate();
    return text.mid(index, pair ? 2 : 1);
}

// The read's notice for a text that saving in encoding would not write back byte for byte: it
// names the first such character, its bytes and the ones it is written with, and lists the
// characters that only the table's fallback codes write.
QVError rewrittenCodesNotice(const QByteArray& bytes, const QString& text, QVStringEncoding encoding,
                             const TextEncoding::OneWay& oneWay) {
    const AppBundle& bundle = AppBundle::main();
    const QString name = FileEncodings::displayName(encoding);
    const QString fallbacks = TextEncoding::unwritableCharacters(text, encoding);
    QString why;
    const QString character = oneWay.index < text.size() ? characterAt(text, oneWay.index) : QString();
    const std::optional<QByteArray> written =
        character.isEmpty() ? std::nullopt : TextEncoding::encode(character, encoding, false, nullptr, fallbacks);
    if (written) {
        const QString reads = TextEncoding::decode(*written, encoding).value_or(QString());
        why = substitute(bundle.localizedString(QStringLiteral("ENCODING_REWRITTEN_CODES"),
                                                QStringLiteral("%@ has two codes for some characters and writes the standard one: "
                                                               "%2, read from %3 at byte %4, is written as %5, which reads as %6.")),
                         name)
                  .arg(character, hexBytes(bytes.mid(oneWay.offset, oneWay.length)))
                  .arg(oneWay.offset)
                  .arg(hexBytes(*written), reads);
    } else {
        why = substitute(bundle.localizedString(QStringLiteral("ENCODING_REWRITTEN_BYTES"),
                                                QStringLiteral("Saved in %@, the file would not get back every byte it has from byte %2 on.")),
                         name)
                  .arg(oneWay.offset);
    }
    QVariantMap info;
    info.insert(FileEncodings::FallbackCharactersKey, fallbacks);
    info.insert(FileEncodings::NoticeEncodingKey, qulonglong(encoding));
    return QVError::app(FileEncodings::ReadNotice,
                        substitute(bundle.localizedString(QStringLiteral("ENCODING_REWRITTEN_TITLE"),
                                                          QStringLiteral("Opened using %@; saving it changes the bytes of some characters")),
                                   name),
                        why, {}, info);
}

// The text of bytes in the encoding asked for (requested: a remembered choice, 0: detect), else
// in the one detection gives, else in the fallback. encoding gets the one that decoded it, notice
// (when given) what the user is to know of the read, failure the fallback's own error when even
// it fails.
std::optional<QString> decodeRead(const QByteArray& bytes, const QString& path, QVStringEncoding requested,
                                  QVStringEncoding* encoding, QVError* notice, QVError* failure, qint64* keptBytes) {
    if (keptBytes) *keptBytes = 0;
    const auto detect = [&] {
        QVStringEncoding found = FileEncodings::encodingFromFileName(path);
        if (!found) found = FileEncodings::encodingFromContents(bytes);
        return found ? found : FileEncodings::defaultEncoding();
    };
    const QVStringEncoding chosen = requested ? requested : detect();
    if (encoding) *encoding = chosen;
    TextEncoding::OneWay oneWay;
    const auto read = [&](QVStringEncoding in) -> std::optional<QString> {
        std::optional<QString> text = TextEncoding::decode(bytes, in, nullptr, notice ? &oneWay : nullptr);
        if (!text) return text;
        if (encoding) *encoding = in;
        if (oneWay) qvSetError(notice, rewrittenCodesNotice(bytes, *text, in, oneWay));
        return text;
    };
    if (auto text = read(chosen)) return text;
    // UTF-8 but for a few bytes, clearly so: read as UTF-8, each stray byte kept to be written
    // back as itself, as every tool that reads or writes the file reads it.
    // A file that says it is UTF-8 (its name, a byte-order mark, a declaration) and holds UTF-8
    // beyond ASCII is read so however many its stray bytes, as a browser reads it: its word
    // beats the count. One that holds none is in doubt, read in the fallback.
    const auto keeping = [&](QVStringEncoding in) -> std::optional<QString> {
        if (in != TextEncoding::UTF8) return std::nullopt;
        const QVStringEncoding named = FileEncodings::encodingFromFileName(path);
        const bool declared = (named ? named : FileEncodings::encodingFromContents(bytes)) == TextEncoding::UTF8;
        qint64 kept = 0;
        std::optional<QString> text = FileEncodings::decodeUTF8KeepingBytes(
            bytes, &kept, declared ? FileEncodings::KeptBytesRule::Declared : FileEncodings::KeptBytesRule::Counted);
        if (!text) return text;
        if (encoding) *encoding = in;
        if (keptBytes) *keptBytes = kept;
        qvSetError(notice, FileEncodings::keptBytesNotice(kept));
        return text;
    };
    if (auto text = keeping(chosen)) return text;
    // A choice remembered for the file that no longer reads it (the file was replaced, reverted
    // or rewritten elsewhere) gives way to what the file itself says, before any fallback.
    if (requested) {
        const QVStringEncoding detected = detect();
        if (detected != requested) {
            if (auto text = read(detected); !text) {
                if (auto kept = keeping(detected)) return kept;
            } else {
                if (!oneWay) {
                    const AppBundle& bundle = AppBundle::main();
                    const QString why = bundle.localizedString(QStringLiteral("ENCODING_CHOICE_NOT_VALID"),
                                                               QStringLiteral("The file is not valid in %@, the encoding chosen for it."));
                    qvSetError(notice, QVError::app(FileEncodings::ReadNotice,
                                                    substitute(bundle.localizedString(QStringLiteral("Opened using %@")),
                                                               FileEncodings::displayName(detected)),
                                                    substitute(why, FileEncodings::displayName(requested)), {},
                                                    {{FileEncodings::NoticeEncodingKey, qulonglong(detected)}}));
                }
                return text;
            }
        }
    }
    const QVStringEncoding fallback = TextEncoding::defaultCStringEncoding();
    QVError fallbackError;
    if (auto text = TextEncoding::decode(bytes, fallback, &fallbackError)) {
        // Report the encoding that actually read the text: saving in the one that failed would
        // turn the user's bytes into different ones.
        if (encoding) *encoding = fallback;
        qvSetError(notice, FileEncodings::fallbackReadNotice(chosen));
        return text;
    }
    qvSetError(failure, fallbackError);
    return std::nullopt;
}

}  // namespace

namespace {

std::optional<std::array<char16_t, 256>> makeSingleByteTable(QVStringEncoding encoding) {
    if (encoding == TextEncoding::UTF8 || encoding == TextEncoding::UTF16) return std::nullopt;
    const char* name = TextEncoding::converterName(encoding);
    if (!name) return std::nullopt;
    UErrorCode status = U_ZERO_ERROR;
    UConverter* converter = ucnv_open(name, &status);
    if (!converter) return std::nullopt;
    // One byte a character at most, and no shift states (ISO-2022 shifts, so it says more).
    const int most = ucnv_getMaxCharSize(converter);
    ucnv_close(converter);
    if (U_FAILURE(status) || most != 1) return std::nullopt;
    std::array<char16_t, 256> table {};
    QString all;
    QByteArray valid;
    for (int b = 0; b < 256; ++b) {
        const char byte = char(b);
        const std::optional<QString> one = TextEncoding::decode(&byte, 1, encoding);
        const bool single = one && one->size() == 1 && !one->at(0).isSurrogate() && one->at(0).unicode() != FileEncodings::NotAByte;
        table[size_t(b)] = single ? one->at(0).unicode() : FileEncodings::NotAByte;
        if (single) {
            all += *one;
            valid += byte;
        }
    }
    // Read together the bytes must read as they do alone, or the encoding is not what it seems.
    if (TextEncoding::decode(valid, encoding) != all) return std::nullopt;
    return table;
}

}  // namespace

// Made once per encoding for the process (a replace in many files asks for each).
std::optional<std::array<char16_t, 256>> FileEncodings::singleByteTable(QVStringEncoding encoding) {
    static std::mutex lock;
    static QHash<QVStringEncoding, std::optional<std::array<char16_t, 256>>> made;
    std::lock_guard guard(lock);
    auto it = made.find(encoding);
    if (it == made.end()) it = made.insert(encoding, makeSingleByteTable(encoding));
    return *it;
}

QVStringEncoding FileEncodings::encodingFromString(const QString& name) { return encodingFromName(name); }

QVStringEncoding FileEncodings::encodingFromDeclaration(QStringView name) {
    if (const QVStringEncoding named = encodingFromName(name)) return named;
    return TextEncoding::encodingForCharset(name);
}

QString FileEncodings::stringFromEncoding(QVStringEncoding encoding) {
    for (const Charset& charset : kCharsets)
        if (charset.encoding == encoding) return QString::fromLatin1(charset.written);
    if (encoding == TextEncoding::MacOSRoman) return QStringLiteral("macintosh");
    return {};
}

QVStringEncoding FileEncodings::defaultEncoding() { return encodingFromString(Defaults::textEncoding()); }

QVStringEncoding FileEncodings::encodingFromFileName(const QString& path) {
    QStringView name(path);
    name = name.sliced(name.lastIndexOf(u'/') + 1);
    // Each dot-separated piece in order, the last one included.
    for (qsizetype start = 0;;) {
        const qsizetype dot = name.indexOf(u'.', start);
        const qsizetype end = dot < 0 ? name.size() : dot;
        if (const QVStringEncoding encoding = encodingFromName(name.sliced(start, end - start))) return encoding;
        if (dot < 0) return 0;
        start = dot + 1;
    }
}

QVStringEncoding FileEncodings::encodingFromContents(const QByteArray& bytes) {
    if (const QVStringEncoding mark = byteOrderMark(bytes.constData(), bytes.size())) return mark;
    if (const QVStringEncoding rule = charsetRule(bytes.constData(), bytes.size())) return rule;
    return declarationInBytes(bytes.constData(), bytes.size(), DeclarationLineLimit);
}

QVStringEncoding FileEncodings::_encodingForPath(const QString& path, const QByteArray&) {
    if (const QVStringEncoding encoding = encodingFromFileName(path)) return encoding;
    if (const QVStringEncoding encoding = encodingFromFileContents(path)) return encoding;
    return defaultEncoding();
}

bool FileEncodings::canOpenForReading(const QString& path, QVError* error) {
    struct stat info {};
    const int fd = openRegularFile(path, error, &info);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

std::optional<QString> FileEncodings::createWithContentsOfFile(const QString& path, QVStringEncoding* encoding,
                                                               QVError* error, qint64* keptBytes) {
    if (keptBytes) *keptBytes = 0;
    const bool detect = !encoding || *encoding == 0;
    QByteArray bytes;
    QVError readError;
    if (!readFile(path, &bytes, &readError)) {
        // What detection gives for a file it cannot read.
        if (detect && encoding) {
            const QVStringEncoding byName = encodingFromFileName(path);
            *encoding = byName ? byName : defaultEncoding();
        }
        qvSetError(error, readError);
        return std::nullopt;
    }
    // The bytes just read are the file's contents: detect on them rather than reading the
    // file a second time, which a concurrent change could make disagree with them.
    return decodeRead(bytes, path, detect ? 0 : *encoding, encoding, error, error, keptBytes);
}

void FileEncodings::setUTF8ReadPieceForTests(qint64 bytes) { utf8ReadPiece.store(bytes); }

std::optional<TextUnits> FileEncodings::readUTF8Units(const QString& path, QVStringEncoding* encoding,
                                                                  qsizetype* length,
                                                                  const std::function<void(const char16_t*, qint64)>& read,
                                                                  qint64* keptBytes) {
    QVStringEncoding chosen = encoding ? *encoding : 0;
    if (!chosen) chosen = encodingFromFileName(path);
    if (!chosen) chosen = encodingFromFileContents(path);
    if (!chosen) chosen = defaultEncoding();
    if (chosen != TextEncoding::UTF8) return std::nullopt;
    struct stat info {};
    FileDescriptor fd(openRegularFile(path, nullptr, &info));
    if (fd.get() < 0) return std::nullopt;
    // UTF-8 never takes more UTF-16 units than bytes, nor does a kept byte; a file that grows
    // meanwhile is read the usual way. A leading mark stays a character, as decode keeps it.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringConverter::Flag::ConvertInitialBom);
    TextUnits units(size_t(decoder.requiredSpace(qsizetype(info.st_size))) + 1);
    char16_t* out = units.data();
    // Whoever reads the units as they come lets go of them before they go unreturned.
    struct Abandon {
        const std::function<void(const char16_t*, qint64)>& read;
        bool returned = false;
        ~Abandon() {
            if (read && !returned) read(nullptr, -1);
        }
    } abandon{read};
    const qint64 piece = utf8ReadPiece.load() > 0 ? utf8ReadPiece.load() : qint64(1) << 20;
    std::vector<char> block(static_cast<size_t>(piece));
    qint64 total = 0;
    char tail[4] = {};
    int tailSize = 0;
    bool valid = true;
    for (;;) {
        const qint64 n = readSome(fd.get(), block.data(), piece);
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        total += n;
        if (total > qint64(info.st_size)) return std::nullopt;
        out = reinterpret_cast<char16_t*>(decoder.appendToBuffer(reinterpret_cast<QChar*>(out), QByteArrayView(block.data(), n)));
        if (decoder.hasError()) {
            valid = false;
            break;
        }
        if (read) read(units.data(), qint64(out - units.data()));
        // The file's last four bytes so far, to tell a sequence cut off at the end (the decoder
        // waits for its rest rather than reporting it). A short read may bring fewer: the rest
        // stay from the reads before.
        const int kept = int(std::min<qint64>(n, 4));
        std::memmove(tail, tail + kept, size_t(4 - kept));
        std::memcpy(tail + (4 - kept), block.data() + n - kept, size_t(kept));
        tailSize = std::min(4, tailSize + kept);
    }
    // A cut sequence: the last lead byte within the last four bytes wants more bytes than follow.
    for (int i = 3; valid && i >= 4 - tailSize; --i) {
        const auto b = quint8(tail[i]);
        if ((b & 0xC0) == 0x80) continue;
        const int wanted = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
        if (wanted > 4 - i) valid = false;
        break;
    }
    if (!valid) {
        // Read again, keeping the bytes that are not UTF-8, when they are few.
        if (!keptBytes || read || ::lseek(fd.get(), 0, SEEK_SET) != 0) return std::nullopt;
        KeepingDecoder keeping;
        if (!keeping) return std::nullopt;
        out = units.data();
        char16_t* const limit = units.data() + units.size();
        total = 0;
        for (;;) {
            const qint64 n = readSome(fd.get(), block.data(), piece);
            if (n < 0) return std::nullopt;
            total += n;
            if (total > qint64(info.st_size)) return std::nullopt;
            out = keeping.decode(block.data(), n, out, limit, n == 0);
            if (!out) return std::nullopt;
            if (n == 0) break;
        }
        // A file that says it is UTF-8 and holds UTF-8 beyond ASCII is (as decodeRead).
        if (!readsAsUTF8(keeping.kept, keeping.multiByte)) {
            if (keeping.multiByte == 0) return std::nullopt;
            const QVStringEncoding named = encodingFromFileName(path);
            if ((named ? named : encodingFromFileContents(path)) != TextEncoding::UTF8) return std::nullopt;
        }
        *keptBytes = keeping.kept;
    } else if (keptBytes) {
        *keptBytes = 0;
    }
    if (encoding) *encoding = chosen;
    *length = qsizetype(out - units.data());
    abandon.returned = true;
    return units;
}

std::optional<QString> FileEncodings::decodeUTF8KeepingBytes(const QByteArray& bytes, qint64* keptBytes, KeptBytesRule rule) {
    KeepingDecoder keeping;
    if (!keeping) return std::nullopt;
    QString text(bytes.size() + 1, Qt::Uninitialized);
    char16_t* begin = reinterpret_cast<char16_t*>(text.data());
    const char16_t* end = keeping.decode(bytes.constData(), bytes.size(), begin, begin + text.size(), true);
    const bool holds = rule == KeptBytesRule::Any || (rule == KeptBytesRule::Declared ? keeping.multiByte > 0
                                                                                      : readsAsUTF8(keeping.kept, keeping.multiByte));
    if (!end || !holds) return std::nullopt;
    text.truncate(end - begin);
    if (keptBytes) *keptBytes = keeping.kept;
    return text;
}

void FileEncodings::appendUTF8(QByteArray* out, QStringView text, QStringEncoder& encoder) {
    constexpr qsizetype Chunk = 1 << 20;
    while (!text.isEmpty()) {
        const QStringView chunk = text.first(std::min(text.size(), Chunk));
        const qsizetype at = out->size();
        out->resize(at + encoder.requiredSpace(chunk.size()));
        out->resize(encoder.appendToBuffer(out->data() + at, chunk) - out->constData());
        text = text.sliced(chunk.size());
    }
}

bool FileEncodings::appendUTF8KeepingBytes(QByteArray* out, QStringView text) {
    // Each stretch between surrogates that are no pair's half is UTF-8 as it stands.
    const auto appendUTF8 = [out](QStringView run) {
        QStringEncoder encoder(QStringEncoder::Utf8, QStringConverter::Flag::ConvertInitialBom);
        FileEncodings::appendUTF8(out, run, encoder);
        return !encoder.hasError();
    };
    qsizetype from = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text[i].unicode();
        if (!QChar::isSurrogate(u)) continue;
        if (QChar::isHighSurrogate(u) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            ++i;
            continue;
        }
        if (u < KeptByte + 0x80 || u > KeptByte + 0xFF) return false;
        if (!appendUTF8(text.sliced(from, i - from))) return false;
        out->append(char(u - KeptByte));
        from = i + 1;
    }
    return appendUTF8(text.sliced(from));
}

QString FileEncodings::keptBytesAsShown(QStringView text) {
    QString shown = text.toString();
    for (qsizetype i = 0; i < shown.size(); ++i) {
        const char16_t u = shown.at(i).unicode();
        if (QChar::isHighSurrogate(u) && i + 1 < shown.size() && shown.at(i + 1).isLowSurrogate()) ++i;
        else if (u >= KeptByte + 0x80 && u <= KeptByte + 0xFF) shown[i] = QChar::ReplacementCharacter;
    }
    return shown;
}

QVStringEncoding FileEncodings::declaredEncoding(const QString& path) {
    if (const QVStringEncoding encoding = encodingFromFileName(path)) return encoding;
    return encodingFromFileContents(path);
}

std::optional<QString> FileEncodings::createWithData(const QByteArray& data, const QString& path,
                                                     QVStringEncoding* encoding, QVError* error, qint64* keptBytes) {
    // Detection takes the contents from the data in hand: the caller has just read them, and
    // reading the file again costs a second pass and may meet other contents than the data.
    return decodeRead(data, path, encoding ? *encoding : 0, encoding, error, nullptr, keptBytes);
}

std::optional<QByteArray> FileEncodings::dataUsingEncoding(const QString& text, QVStringEncoding* encoding,
                                                           QVError* error, QStringView fallbacks) {
    QVStringEncoding used = (encoding && *encoding) ? *encoding : defaultEncoding();
    if (auto bytes = TextEncoding::encode(text, used, false, nullptr, fallbacks)) {
        if (encoding) *encoding = used;
        return bytes;
    }
    // A text read as UTF-8 with stray bytes kept: each goes back as the very byte.
    if (used == TextEncoding::UTF8) {
        QByteArray bytes;
        if (appendUTF8KeepingBytes(&bytes, text)) {
            if (encoding) *encoding = used;
            return bytes;
        }
    }
    auto bytes = TextEncoding::encode(text, used, true, nullptr, fallbacks);
    if (!bytes) {
        used = TextEncoding::defaultCStringEncoding();
        bytes = TextEncoding::encode(text, used, true);
    }
    if (encoding) *encoding = used;
    if (bytes) {
        qvSetError(error, fallbackSaveWarning(used));
        return bytes;
    }
    qvSetError(error, QVError(TextEncoding::cocoaErrorDomain(), TextEncoding::FileWriteUnknownError));
    return std::nullopt;
}

QList<std::pair<QVStringEncoding, QString>> FileEncodings::listedEncodings() {
    static const QList<std::pair<QVStringEncoding, QString>> listed = [] {
        QList<std::pair<QVStringEncoding, QString>> found;
        const QString path = Defaults::pathForResource(QStringLiteral("charsets"), QStringLiteral("plist"));
        for (const QVariant& entry : PropertyList::readFile(path).toList()) {
            const QVariantMap map = entry.toMap();
            const QVStringEncoding encoding = encodingFromString(map.value(QStringLiteral("short")).toString());
            const QString full = map.value(QStringLiteral("full")).toString();
            if (encoding && !full.isEmpty()) found.append({encoding, full});
        }
        return found;
    }();
    return listed;
}

QString FileEncodings::displayName(QVStringEncoding encoding) {
    // By written name: an encoding may go by more than one number (Mac OS Roman does).
    const QString written = stringFromEncoding(encoding);
    if (written.isEmpty()) {
        // One only a page's declaration reads in: the name it goes by among browsers.
        return TextEncoding::standardName(encoding);
    }
    for (const auto& [listed, full] : listedEncodings())
        if (stringFromEncoding(listed) == written) return full;
    return written;
}

QVError FileEncodings::fallbackReadNotice(QVStringEncoding wanted) {
    const AppBundle& bundle = AppBundle::main();
    const QString used = displayName(TextEncoding::defaultCStringEncoding());
    const QString opened = substitute(bundle.localizedString(QStringLiteral("Opened using %@")), used);
    if (!wanted) return QVError::app(FallbackEncodingError, opened);
    const QString why = bundle.localizedString(
        QStringLiteral("ENCODING_FALLBACK_NOTICE"),
        QStringLiteral("The file is not valid in %2; %1 keeps every byte."));
    return QVError::app(FallbackEncodingError, opened,
                        QString(why).replace(QLatin1String("%1"), used).replace(QLatin1String("%2"), displayName(wanted)), {},
                        {{NoticeEncodingKey, qulonglong(wanted)}});
}

QVError FileEncodings::keptBytesNotice(qint64 count) {
    const AppBundle& bundle = AppBundle::main();
    const QString title = substitute(bundle.localizedString(QStringLiteral("Opened using %@")), displayName(TextEncoding::UTF8));
    const QString why = count == 1
        ? bundle.localizedString(QStringLiteral("ENCODING_KEPT_BYTE"),
                                 QStringLiteral("1 byte is not UTF-8: it shows as \uFFFD and is saved as the byte it is."))
        : bundle.localizedString(QStringLiteral("ENCODING_KEPT_BYTES"),
                                 QStringLiteral("%1 bytes are not UTF-8: each shows as \uFFFD and is saved as the byte it is.")).arg(count);
    return QVError::app(ReadNotice, title, why, {},
                        {{NoticeEncodingKey, qulonglong(TextEncoding::UTF8)}, {KeptBytesKey, count}});
}

QVError FileEncodings::fallbackSaveWarning(QVStringEncoding used) {
    const AppBundle& bundle = AppBundle::main();
    const QString title = bundle.localizedString(
        QStringLiteral("ENCODING_SAVE_WARNING_TITLE"),
        QStringLiteral("Some characters could not be saved in the document's encoding."));
    const QString body = bundle.localizedString(
        QStringLiteral("ENCODING_SAVE_WARNING_BODY"),
        QStringLiteral("They were replaced with question marks, and the file was saved using %@."));
    const QString written = stringFromEncoding(used);
    return QVError::app(FallbackEncodingError, title, substitute(body, written.isEmpty() ? displayName(used) : written));
}

QVError FileEncodings::rewrittenCodesSaveNotice(const QVError& readNotice) {
    const QVStringEncoding encoding = readNotice.userInfoValue(NoticeEncodingKey).toULongLong();
    QVError notice = QVError::app(ReadNotice,
                                  substitute(AppBundle::main().localizedString(
                                                 QStringLiteral("ENCODING_REWRITTEN_SAVED"),
                                                 QStringLiteral("Saved using %@; some characters were written with other bytes than the file had")),
                                             displayName(encoding)),
                                  readNotice.localizedRecoverySuggestion());
    notice.setUserInfoValue(QString::fromLatin1(QVIsLowPriorityError), true);
    return notice;
}

QList<QVRange> FileEncodings::declaredCharsets(const QString& text) {
    QList<QVRange> found;
    const auto note = [&](const QVRegex* regex, const QString& line, qsizetype at) {
        if (const auto match = regex->copyMatchForString(line)) {
            const QVRange name = match->rangeForCapture(1);
            if (!name.isNotFound() && name.length > 0) found.append(QVRange(at + name.location, name.length));
        }
    };
    // A style sheet's rule must be its first bytes, after a byte-order mark at most.
    static const auto styleSheet = QVRegex::create(QStringLiteral("^\\x{FEFF}?@charset \"([^\"]+)\";"));
    note(styleSheet.get(), text.left(256), 0);
    qsizetype start = 0;
    for (int lines = 0; lines < DeclarationLineLimit && start < text.size(); ++lines) {
        qsizetype end = start;
        while (end < text.size() && text[end] != u'\n' && text[end] != u'\r') ++end;
        const QString line = text.mid(start, end - start);
        if (line.contains(QLatin1String("<?xml"), Qt::CaseInsensitive)) note(xmlDeclaration(), line, start);
        if (line.contains(QLatin1String("<meta"), Qt::CaseInsensitive)) note(metaDeclaration(), line, start);
        start = end + (text.mid(end, 2) == QLatin1String("\r\n") ? 2 : 1);
    }
    return found;
}

QString FileEncodings::declarationName(QVStringEncoding encoding) {
    const QString standard = TextEncoding::standardName(encoding);
    if (!standard.isEmpty() && encodingFromDeclaration(standard) == encoding) return standard;
    return stringFromEncoding(encoding);
}
