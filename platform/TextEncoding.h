// Conversion between text and bytes in Qorvel's string encodings, over ICU converters.
//
// Encodings are Qorvel's own integer numbers (project files store them): the small numbers
// of the classic string encodings, and for the others the platform charset code with the top bit
// of 32 set (0x80000000 | code). Only the encodings Qorvel names, and a few more that pages
// declare, are known; any other number has no converter and every conversion with it fails.
#pragma once

#include "platform/QVError.h"

#include <QByteArray>
#include <QString>
#include <QStringView>
#include <QtGlobal>

#include <optional>

using QVStringEncoding = quint64;

class TextEncoding {
public:
    TextEncoding() = delete;

    // Numbers with a name of their own.
    static constexpr QVStringEncoding ASCII = 1;
    static constexpr QVStringEncoding JapaneseEUC = 3;
    static constexpr QVStringEncoding UTF8 = 4;
    static constexpr QVStringEncoding ISOLatin1 = 5;
    static constexpr QVStringEncoding ISOLatin2 = 9;
    static constexpr QVStringEncoding UTF16 = 10;  // with a byte-order mark
    static constexpr QVStringEncoding WindowsCP1251 = 11;
    static constexpr QVStringEncoding WindowsCP1252 = 12;
    static constexpr QVStringEncoding WindowsCP1253 = 13;
    static constexpr QVStringEncoding WindowsCP1254 = 14;
    static constexpr QVStringEncoding WindowsCP1250 = 15;
    static constexpr QVStringEncoding ISO2022JP = 21;
    static constexpr QVStringEncoding MacOSRoman = 30;

    // The encoding number of a platform charset code: the classic codes map to their small
    // numbers, every other code becomes 0x80000000 | code.
    static constexpr QVStringEncoding fromPlatformCode(quint32 code) {
        switch (code) {
        case 0x0000: return MacOSRoman;
        case 0x0021: return 6;               // symbol
        case 0x0100: return UTF16;
        case 0x08000100: return UTF8;
        case 0x0201: return ISOLatin1;
        case 0x0202: return ISOLatin2;
        case 0x0420: return 8;               // DOS Japanese
        case 0x0500: return 12;              // Windows 1252
        case 0x0501: return WindowsCP1250;
        case 0x0502: return WindowsCP1251;
        case 0x0503: return WindowsCP1253;
        case 0x0504: return WindowsCP1254;
        case 0x0600: return ASCII;
        case 0x0820: return ISO2022JP;
        case 0x0920: return JapaneseEUC;
        case 0x0B01: return 2;               // NeXTSTEP
        case 0x0BFF: return 7;               // non-lossy ASCII
        default: return QVStringEncoding(0x80000000u | code);
        }
    }

    static constexpr QVStringEncoding GB18030 = 0x80000000u | 0x0632;
    static constexpr QVStringEncoding Big5HKSCS = 0x80000000u | 0x0A06;

    // The ICU converter name behind an encoding; nullptr for an encoding without one.
    static const char* converterName(QVStringEncoding encoding);
    static bool isSupported(QVStringEncoding encoding) { return converterName(encoding) != nullptr; }
    // The known encoding whose converter ICU knows the charset name (or any alias of it) as:
    // "cp1252" and "windows-1252" give Windows Latin 1, "latin1" ISO Latin 1; 0 for a name ICU
    // does not know or whose converter is not one of the known encodings'.
    static QVStringEncoding encodingForCharset(QStringView name);
    // The encoding's preferred MIME name ("Shift_JIS", "UTF-8"), else its IANA name; empty for
    // an encoding without either.
    static QString standardName(QVStringEncoding encoding);

    // The single-byte encoding used when nothing else works: it decodes every byte, and the
    // bytes of any text it decoded encode back to themselves.
    static QVStringEncoding defaultCStringEncoding() { return MacOSRoman; }

    // Where a decoded text would not be written back to the bytes it was read from: the first
    // such byte sequence (offset and length) and the UTF-16 index of the character it reads as
    // (the text's length when the bytes go on past what the text writes back).
    struct OneWay {
        qint64 offset = -1;
        qint64 length = 0;
        qsizetype index = -1;
        explicit operator bool() const { return offset >= 0; }
    };

    // The text of the bytes, or nothing when a byte sequence is not valid in the encoding, is
    // cut off at the end, or the encoding is unknown. The error then names the encoding and the
    // byte offset of the first bad sequence. UTF-16 reads a leading byte-order mark (either
    // order) and is big-endian without one; no other encoding drops a leading mark. Sequences an
    // encoding reads one way only (Shift_JIS's second codes of the NEC and IBM rows, EUC-JP's
    // IBM codes) are read as the characters they stand for; oneWay, when given, says where the
    // first one is (checking costs a second conversion).
    static std::optional<QString> decode(const QByteArray& bytes, QVStringEncoding encoding,
                                         QVError* error = nullptr, OneWay* oneWay = nullptr);
    static std::optional<QString> decode(const char* bytes, qint64 size, QVStringEncoding encoding,
                                         QVError* error = nullptr, OneWay* oneWay = nullptr);

    // The bytes of the text. Without lossy, a character the encoding cannot represent (or a lone
    // surrogate) makes it fail; with lossy, each such character becomes "?". The characters in
    // fallbacks that the encoding has no code of its own for are written with the code its table
    // falls back to (what a one-way sequence of the file was read as: EUC-JP's ¢ from 8E E0 is
    // written A1 F1). UTF-16 writes the mark FF FE and little-endian units. Empty text gives
    // empty bytes (UTF-16: the mark alone). Nothing for an unknown encoding.
    static std::optional<QByteArray> encode(const QString& text, QVStringEncoding encoding,
                                            bool lossy, QVError* error = nullptr, QStringView fallbacks = {});
    // The distinct characters of text the encoding has no code of its own for, in text order.
    static QString unwritableCharacters(const QString& text, QVStringEncoding encoding);

    // The platform's error domain for read and write conversion failures, and its codes.
    static QString cocoaErrorDomain() { return QStringLiteral("NSCocoaErrorDomain"); }
    static constexpr qint64 FileWriteUnknownError = 512;
    static constexpr qint64 FileReadInapplicableStringEncodingError = 261;
    static constexpr qint64 FileWriteInapplicableStringEncodingError = 517;
};

// User-information key of a conversion error: the byte offset (decoding) or the UTF-16 index
// (encoding) of the first sequence that could not be converted.
inline constexpr const char* QVTextEncodingErrorOffsetKey = "QVTextEncodingErrorOffset";
