// ICU-backed decoding and encoding in Qorvel's string encodings.
#include "platform/TextEncoding.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/ucnv_err.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace {

struct ConverterCloser {
    void operator()(UConverter* c) const { ucnv_close(c); }
};
using Converter = std::unique_ptr<UConverter, ConverterCloser>;

QVStringEncoding platform(quint32 code) { return TextEncoding::fromPlatformCode(code); }

// Opens a converter. Some aliases ("Shift_JIS", "windows-1250") resolve with the warning
// U_AMBIGUOUS_ALIAS_WARNING, which is not a failure.
Converter openConverter(const char* name) {
    UErrorCode status = U_ZERO_ERROR;
    Converter converter(ucnv_open(name, &status));
    if (U_FAILURE(status)) return nullptr;
    return converter;
}

QVError conversionError(qint64 code, const QString& description, qint64 offset) {
    QVariantMap info;
    if (offset >= 0) info.insert(QLatin1String(QVTextEncodingErrorOffsetKey), offset);
    return QVError::make(TextEncoding::cocoaErrorDomain(), code, description, {}, {}, info);
}

QString describe(QVStringEncoding encoding) {
    const char* name = TextEncoding::converterName(encoding);
    return name ? QString::fromLatin1(name) : QStringLiteral("#%1").arg(encoding);
}

// How many units a buffer grows by when ICU reports that it is full.
qsizetype grown(qsizetype current, qsizetype remainingInput) {
    return current + std::max<qsizetype>(current / 2, remainingInput) + 64;
}

// Where the decoded text holds a character its encoding does not write back to the bytes it came
// from: ICU reads a few sequences one way only (EUC-JP's 8E E0..E2 and 8F A2 C3 become ¢ £ ¬ ¦,
// which EUC-JP writes only through its table's fallback codes), and Shift_JIS has characters
// under two codes (the NEC and IBM rows: FA 4A and 87 54 are both Ⅰ) of which only the standard
// one is written. The text is still the file's; only saving it changes those bytes. The Unicode
// forms and the encodings whose every byte is one character always write back and are not
// checked; ISO-2022-JP, whose escapes may sit anywhere, is only checked for characters it cannot
// write at all.
TextEncoding::OneWay firstOneWaySequence(UConverter* converter, const char* bytes, qint64 size, const QString& text,
                                         QVStringEncoding encoding) {
    if (encoding == TextEncoding::UTF8 || encoding == TextEncoding::UTF16 || encoding == TextEncoding::ASCII ||
        encoding == TextEncoding::ISOLatin1 || text.isEmpty())
        return {};
    const bool compareBytes = encoding != TextEncoding::ISO2022JP;
    UErrorCode status = U_ZERO_ERROR;
    ucnv_resetFromUnicode(converter);
    ucnv_setFromUCallBack(converter, UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    const UChar* start = reinterpret_cast<const UChar*>(text.utf16());
    const UChar* source = start;
    const UChar* limit = start + text.size();
    char sink[4096];
    int32_t sinkOffsets[4096];
    qint64 written = 0;   // bytes of the text written back so far
    qsizetype index = -1;  // the unit whose bytes differ or that cannot be written
    do {
        char* target = sink;
        const UChar* chunk = source;
        status = U_ZERO_ERROR;
        ucnv_fromUnicode(converter, &target, sink + sizeof sink, &source, limit, sinkOffsets, true, &status);
        if (!compareBytes) continue;
        const qint64 n = target - sink;
        for (qint64 i = 0; i < n; ++i)
            if (written + i >= size || sink[i] != bytes[written + i]) {
                // Offsets count from this call's source; -1 marks bytes of no unit (a state change).
                index = (chunk - start) + std::max(sinkOffsets[i], 0);
                break;
            }
        written += n;
        if (index >= 0) break;
    } while (status == U_BUFFER_OVERFLOW_ERROR);
    if (index < 0) {
        if (U_FAILURE(status)) {
            UChar invalid[8];
            int8_t invalidLength = 8;
            UErrorCode ignored = U_ZERO_ERROR;
            ucnv_getInvalidUChars(converter, invalid, &invalidLength, &ignored);
            if (U_FAILURE(ignored)) invalidLength = 0;
            index = (source - start) - invalidLength;
        } else if (compareBytes && written != size) {
            index = text.size();  // the bytes go on past what the text writes back
        } else {
            return {};
        }
    }

    // Read the bytes again, noting where each unit came from.
    std::vector<int32_t> offsets(size_t(text.size()) + 1);
    std::vector<UChar> units(size_t(text.size()) + 1);
    ucnv_resetToUnicode(converter);
    UChar* target = units.data();
    int32_t* offset = offsets.data();
    const char* from = bytes;
    status = U_ZERO_ERROR;
    ucnv_toUnicode(converter, &target, units.data() + units.size(), &from, bytes + size, offset, true, &status);
    const qsizetype produced = target - units.data();
    if (index >= produced) {
        const qint64 at = index == text.size() ? std::min<qint64>(written, size) : 0;
        return {at, size - at, text.size()};
    }
    // The character's first unit, and the bytes up to the next character's.
    if (index > 0 && QChar::isLowSurrogate(units[size_t(index)]) && offsets[size_t(index - 1)] == offsets[size_t(index)]) --index;
    const qint64 at = offsets[size_t(index)];
    qsizetype next = index + 1;
    while (next < produced && offsets[size_t(next)] == at) ++next;
    return {at, (next < produced ? offsets[size_t(next)] : size) - at, index};
}

// Writes the characters a file read one way (listed in the context) with the table's fallback
// codes; any other character the encoding cannot write stops the conversion, or becomes "?" when
// loss is allowed.
struct FallbackContext {
    QStringView allowed;
    UConverter* withFallbacks;
    bool lossy;
};

void writeAllowedFallbacks(const void* context, UConverterFromUnicodeArgs* args, const UChar* units, int32_t length,
                           UChar32 codePoint, UConverterCallbackReason reason, UErrorCode* status) {
    if (reason > UCNV_IRREGULAR) return;  // reset, close or clone
    const auto* c = static_cast<const FallbackContext*>(context);
    if (reason == UCNV_UNASSIGNED && c->allowed.contains(QStringView(reinterpret_cast<const char16_t*>(units), length))) {
        char bytes[16];
        UErrorCode own = U_ZERO_ERROR;
        ucnv_resetFromUnicode(c->withFallbacks);
        const int32_t n = ucnv_fromUChars(c->withFallbacks, bytes, sizeof bytes, units, length, &own);
        if (U_SUCCESS(own) && n > 0) {
            *status = U_ZERO_ERROR;
            ucnv_cbFromUWriteBytes(args, bytes, n, 0, status);
            return;
        }
    }
    if (c->lossy) UCNV_FROM_U_CALLBACK_SUBSTITUTE(nullptr, args, units, length, codePoint, reason, status);
}

// Notes each character the encoding cannot write (in the context) and goes on.
void collectUnwritable(const void* context, UConverterFromUnicodeArgs*, const UChar* units, int32_t length, UChar32,
                       UConverterCallbackReason reason, UErrorCode* status) {
    if (reason > UCNV_IRREGULAR) return;
    auto* found = static_cast<QString*>(const_cast<void*>(context));
    const QStringView character(reinterpret_cast<const char16_t*>(units), length);
    if (!found->contains(character)) found->append(character);
    *status = U_ZERO_ERROR;
}

}  // namespace

namespace {

struct Known {
    QVStringEncoding encoding;
    const char* converter;
};

// Every encoding Qorvel reads and writes, with the ICU converter behind it; the first entry of a
// converter is the number a declaration naming it gives.
const Known kKnown[] = {
    {TextEncoding::ASCII, "US-ASCII"},
    {TextEncoding::JapaneseEUC, "EUC-JP"},
    {TextEncoding::UTF8, "UTF-8"},
    {TextEncoding::ISOLatin1, "ISO-8859-1"},
    {TextEncoding::ISOLatin2, "ISO-8859-2"},
    {TextEncoding::UTF16, "UTF-16"},
    {TextEncoding::WindowsCP1251, "windows-1251"},
    {TextEncoding::WindowsCP1252, "windows-1252"},
    {TextEncoding::WindowsCP1253, "windows-1253"},
    {TextEncoding::WindowsCP1254, "windows-1254"},
    {TextEncoding::WindowsCP1250, "windows-1250"},
    {TextEncoding::ISO2022JP, "ISO-2022-JP"},
    {TextEncoding::MacOSRoman, "macintosh"},
    {platform(0x0203), "ISO-8859-3"},
    {platform(0x0204), "ISO-8859-4"},
    {platform(0x0205), "ISO-8859-5"},
    {platform(0x0206), "ISO-8859-6"},
    {platform(0x0207), "ISO-8859-7"},
    {platform(0x0208), "ISO-8859-8"},
    {platform(0x0209), "ISO-8859-9"},
    {platform(0x020A), "ISO-8859-10"},
    {platform(0x020B), "ISO-8859-11"},
    {platform(0x020D), "ISO-8859-13"},
    {platform(0x020E), "ISO-8859-14"},
    {platform(0x020F), "ISO-8859-15"},
    {platform(0x0A01), "Shift_JIS"},
    {platform(0x0940), "EUC-KR"},
    // The number Qorvel stores for "gb2312". Documents labelled gb2312 are EUC-CN; reading
    // them as the 7-bit HZ form the number once stood for fails on every Chinese character.
    {platform(0x0A05), "GB2312"},
    {platform(0x0A03), "Big5"},
    {platform(0x0A02), "KOI8-R"},
    // "macintosh" in a declaration means Mac OS Roman; the permuted Latin-1 variant the number
    // once stood for has no converter and no documents written in it.
    {platform(0x0A04), "macintosh"},
    {platform(0x0505), "windows-1255"},
    {platform(0x0506), "windows-1256"},
    {platform(0x0507), "windows-1257"},
    // Read and written only where a page declares them: Qorvel's own names leave them out.
    {platform(0x0508), "windows-1258"},
    {platform(0x041D), "windows-874"},
    {platform(0x0631), "GBK"},
    {TextEncoding::GB18030, "GB18030"},
    {TextEncoding::Big5HKSCS, "Big5-HKSCS"},
    {platform(0x0A08), "KOI8-U"},
};

// ICU's own name of the converter a charset name or alias stands for; null when ICU knows none.
const char* canonicalConverter(const char* name) {
    UErrorCode status = U_ZERO_ERROR;
    const char* found = ucnv_getAlias(name, 0, &status);
    return U_SUCCESS(status) ? found : nullptr;
}

}  // namespace

const char* TextEncoding::converterName(QVStringEncoding encoding) {
    for (const Known& known : kKnown)
        if (known.encoding == encoding) return known.converter;
    return nullptr;
}

QVStringEncoding TextEncoding::encodingForCharset(QStringView name) {
    // Charset names are short and ASCII; anything else names nothing (and an empty name would
    // give ICU's default converter).
    if (name.isEmpty() || name.size() > 40) return 0;
    char ascii[41];
    for (qsizetype i = 0; i < name.size(); ++i) {
        const char16_t u = name[i].unicode();
        if (u <= 0x20 || u >= 0x7F) return 0;
        ascii[i] = char(u);
    }
    ascii[name.size()] = 0;
    const char* wanted = canonicalConverter(ascii);
    if (!wanted) return 0;
    static const std::vector<std::pair<QVStringEncoding, const char*>> canonical = [] {
        std::vector<std::pair<QVStringEncoding, const char*>> found;
        for (const Known& known : kKnown)
            if (const char* converter = canonicalConverter(known.converter)) found.emplace_back(known.encoding, converter);
        return found;
    }();
    for (const auto& [encoding, converter] : canonical)
        if (std::strcmp(converter, wanted) == 0) return encoding;
    return 0;
}

std::optional<QString> TextEncoding::decode(const QByteArray& bytes, QVStringEncoding encoding,
                                            QVError* error, OneWay* oneWay) {
    return decode(bytes.constData(), bytes.size(), encoding, error, oneWay);
}

std::optional<QString> TextEncoding::decode(const char* bytes, qint64 size, QVStringEncoding encoding,
                                            QVError* error, OneWay* oneWay) {
    if (oneWay) *oneWay = {};
    if (encoding == UTF8 && size >= 0 && (bytes || size == 0)) {
        // Qt's decoder is several times faster than ICU's. It puts a replacement character for
        // every sequence ICU refuses (overlong forms, surrogates, code points past U+10FFFF, a
        // sequence cut off at the end), so text without one is exactly ICU's; with one, ICU
        // decides (the character may be in the bytes themselves) and reports where a bad
        // sequence is. Qt drops a leading mark, which ICU keeps.
        QString text = QString::fromUtf8(bytes, size);
        if (!text.contains(QChar(QChar::ReplacementCharacter))) {
            if (size >= 3 && std::memcmp(bytes, "\xEF\xBB\xBF", 3) == 0)
                text.prepend(QChar(QChar::ByteOrderMark));
            return text;
        }
    }
    const char* name = converterName(encoding);
    Converter converter = name ? openConverter(name) : nullptr;
    if (!converter) {
        qvSetError(error, conversionError(FileReadInapplicableStringEncodingError,
                                          QStringLiteral("Text encoding %1 is not supported.")
                                              .arg(describe(encoding)), -1));
        return std::nullopt;
    }
    UErrorCode status = U_ZERO_ERROR;
    // Stop at the first bad sequence instead of putting in a substitute character.
    ucnv_setToUCallBack(converter.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);

    QString text;
    // Every encoding here gives at most one UTF-16 unit per byte, so one pass is the rule.
    text.resize(encoding == UTF16 ? size / 2 + 1 : size + 16);
    qsizetype produced = 0;
    const char* source = bytes;
    const char* sourceLimit = bytes + size;
    for (;;) {
        UChar* base = reinterpret_cast<UChar*>(text.data());
        UChar* target = base + produced;
        status = U_ZERO_ERROR;
        ucnv_toUnicode(converter.get(), &target, base + text.size(), &source, sourceLimit, nullptr,
                       true, &status);
        produced = target - base;
        if (status != U_BUFFER_OVERFLOW_ERROR) break;
        text.resize(grown(text.size(), sourceLimit - source));
    }
    if (U_FAILURE(status)) {
        // The source stops just after the bad sequence, which the converter keeps.
        char invalid[32];
        int8_t invalidLength = sizeof invalid;
        UErrorCode ignored = U_ZERO_ERROR;
        ucnv_getInvalidChars(converter.get(), invalid, &invalidLength, &ignored);
        if (U_FAILURE(ignored)) invalidLength = 0;
        const qint64 offset = (source - bytes) - invalidLength;
        const bool cut = status == U_TRUNCATED_CHAR_FOUND;
        qvSetError(error, conversionError(
                              FileReadInapplicableStringEncodingError,
                              cut ? QStringLiteral("The text ends inside a character in %1 (byte %2).")
                                        .arg(describe(encoding)).arg(offset)
                                  : QStringLiteral("Byte %2 cannot be read in the text encoding %1.")
                                        .arg(describe(encoding)).arg(offset),
                              offset));
        return std::nullopt;
    }
    text.resize(produced);
    if (oneWay) *oneWay = firstOneWaySequence(converter.get(), bytes, size, text, encoding);
    if (text.capacity() > produced + produced / 4 + 1024) text.squeeze();
    return text;
}

namespace {

// Whether any unit is a surrogate (D800 to DFFF), four units at a time: a lane of y is zero
// exactly for a surrogate, and the zero-lane test may misfire only above a true zero lane.
bool hasSurrogate(const char16_t* units, qsizetype n) {
    qsizetype i = 0;
    quint64 found = 0;
    for (; i + 4 <= n; i += 4) {
        quint64 x;
        std::memcpy(&x, units + i, sizeof x);
        const quint64 y = (x & 0xF800F800F800F800ull) ^ 0xD800D800D800D800ull;
        found |= (y - 0x0001000100010001ull) & ~y & 0x8000800080008000ull;
    }
    for (; i < n; ++i) found |= (units[i] & 0xF800) == 0xD800;
    return found != 0;
}

}  // namespace

std::optional<QByteArray> TextEncoding::encode(const QString& text, QVStringEncoding encoding, bool lossy,
                                               QVError* error, QStringView fallbacks) {
    // Qt's encoder is several times faster than ICU's and gives the same bytes for text without
    // surrogates (it would turn a lone one into "?" where ICU refuses it). constData(), as
    // utf16() would copy a text made over the storage's own characters to end it with a null.
    if (encoding == UTF8 && !hasSurrogate(reinterpret_cast<const char16_t*>(text.constData()), text.size())) return text.toUtf8();
    const char* name = converterName(encoding);
    // UTF-16 is written with a mark in little-endian order, as Qorvel always wrote it.
    if (encoding == UTF16) name = "UTF-16LE";
    Converter converter = name ? openConverter(name) : nullptr;
    if (!converter) {
        qvSetError(error, conversionError(FileWriteInapplicableStringEncodingError,
                                          QStringLiteral("Text encoding %1 is not supported.")
                                              .arg(describe(encoding)), -1));
        return std::nullopt;
    }
    UErrorCode status = U_ZERO_ERROR;
    Converter withFallbacks = fallbacks.isEmpty() ? nullptr : openConverter(name);
    FallbackContext context{fallbacks, withFallbacks.get(), lossy};
    if (lossy) {
        // A plain "?" rather than the table's own substitute (0x1A in the IBM tables).
        ucnv_setSubstString(converter.get(), u"?", 1, &status);
    }
    if (withFallbacks) {
        ucnv_setFallback(withFallbacks.get(), true);
        ucnv_setFromUCallBack(withFallbacks.get(), UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
        ucnv_setFromUCallBack(converter.get(), writeAllowedFallbacks, &context, nullptr, nullptr, &status);
    } else if (lossy) {
        ucnv_setFromUCallBack(converter.get(), UCNV_FROM_U_CALLBACK_SUBSTITUTE, nullptr, nullptr,
                              nullptr, &status);
    } else {
        ucnv_setFromUCallBack(converter.get(), UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                              &status);
    }
    if (U_FAILURE(status)) {
        qvSetError(error, conversionError(FileWriteInapplicableStringEncodingError,
                                          QStringLiteral("Text encoding %1 could not be prepared.")
                                              .arg(describe(encoding)), -1));
        return std::nullopt;
    }

    QByteArray bytes;
    qsizetype produced = 0;
    if (encoding == UTF16) {
        bytes.resize(text.size() * 2 + 2);
        bytes[0] = char(0xFF);
        bytes[1] = char(0xFE);
        produced = 2;
    } else {
        bytes.resize(text.size() + text.size() / 4 + 16);
    }
    const UChar* sourceStart = reinterpret_cast<const UChar*>(text.constData());
    const UChar* source = sourceStart;
    const UChar* sourceLimit = sourceStart + text.size();
    for (;;) {
        char* base = bytes.data();
        char* target = base + produced;
        status = U_ZERO_ERROR;
        ucnv_fromUnicode(converter.get(), &target, base + bytes.size(), &source, sourceLimit, nullptr,
                         true, &status);
        produced = target - base;
        if (status != U_BUFFER_OVERFLOW_ERROR) break;
        bytes.resize(grown(bytes.size(), 2 * (sourceLimit - source)));
    }
    if (U_FAILURE(status)) {
        UChar invalid[8];
        int8_t invalidLength = 8;
        UErrorCode ignored = U_ZERO_ERROR;
        ucnv_getInvalidUChars(converter.get(), invalid, &invalidLength, &ignored);
        if (U_FAILURE(ignored)) invalidLength = 0;
        const qint64 index = (source - sourceStart) - invalidLength;
        qvSetError(error, conversionError(
                              FileWriteInapplicableStringEncodingError,
                              QStringLiteral("Character %2 cannot be written in the text encoding %1.")
                                  .arg(describe(encoding)).arg(index),
                              index));
        return std::nullopt;
    }
    bytes.resize(produced);
    if (bytes.capacity() > produced + produced / 4 + 1024) bytes.squeeze();
    return bytes;
}

QString TextEncoding::unwritableCharacters(const QString& text, QVStringEncoding encoding) {
    const char* name = converterName(encoding);
    if (encoding == UTF8 || encoding == UTF16 || !name) return {};
    Converter converter = openConverter(name);
    if (!converter) return {};
    QString found;
    UErrorCode status = U_ZERO_ERROR;
    ucnv_setFromUCallBack(converter.get(), collectUnwritable, &found, nullptr, nullptr, &status);
    char sink[4096];
    const UChar* source = reinterpret_cast<const UChar*>(text.constData());
    const UChar* limit = source + text.size();
    do {
        char* target = sink;
        status = U_ZERO_ERROR;
        ucnv_fromUnicode(converter.get(), &target, sink + sizeof sink, &source, limit, nullptr, true, &status);
    } while (status == U_BUFFER_OVERFLOW_ERROR);
    return found;
}

QString TextEncoding::standardName(QVStringEncoding encoding) {
    const char* name = converterName(encoding);
    if (!name) return {};
    for (const char* standard : {"MIME", "IANA"}) {
        UErrorCode status = U_ZERO_ERROR;
        const char* found = ucnv_getStandardName(name, standard, &status);
        if (U_SUCCESS(status) && found) return QString::fromLatin1(found);
    }
    return {};
}
