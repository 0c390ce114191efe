// Text encodings by charset name, the choice of the encoding a file is read in, and reading and
// writing text with fallbacks that keep the user's bytes.
#pragma once

#include "platform/QVError.h"
#include "platform/QVRange.h"
#include "platform/TextEncoding.h"
#include "platform/TextUnits.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringEncoder>
#include <QStringView>

#include <array>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

class FileEncodings {
public:
    FileEncodings() = delete;

    // Code (in the application's error domain) of a text read or written in a fallback encoding.
    static constexpr qint64 FallbackEncodingError = 16;
    // Code of the other notices of a read: a text read whole in its encoding whose saving in it
    // changes the bytes of some characters (the duplicate codes of Shift_JIS), and a text read in
    // the detected encoding because the one remembered for the file does not read it.
    static constexpr qint64 ReadNotice = 23;
    // A read notice's user information: the encoding it is about (for a read in the fallback
    // encoding, the one the file was to be read in), and the characters the file
    // read one way that only the table's fallback codes write (for TextEncoding::encode).
    static inline const QString NoticeEncodingKey = QStringLiteral("QVNoticeEncoding");
    static inline const QString FallbackCharactersKey = QStringLiteral("QVFallbackCharacters");
    // A notice of a UTF-8 read that kept stray bytes: how many.
    static inline const QString KeptBytesKey = QStringLiteral("QVKeptBytes");
    // Whether error is a notice of a read that gave the text (either code).
    static bool isReadNotice(const QVError& error) {
        return error && error.domain() == QVError::applicationDomain() &&
               (error.code() == FallbackEncodingError || error.code() == ReadNotice);
    }
    // How many complete lines of a file are searched for an encoding declaration.
    static constexpr int DeclarationLineLimit = 30;

    // The encoding of a charset name, 0 for an unknown or empty name. "-" and "_" are ignored
    // and case does not matter: "utf-8", "UTF8", "Shift_JIS", "ISO-8859-1" are all known.
    static QVStringEncoding encodingFromString(const QString& name);
    // The encoding a page's declaration names: a charset name as above, else any name or alias
    // ICU reads in one of the encodings TextEncoding knows ("windows-1252", "GB18030",
    // "Big5-HKSCS", "cp1252"). Such a file is read and saved in it, though Qorvel's own lists
    // and stored names leave it out.
    static QVStringEncoding encodingFromDeclaration(QStringView name);
    // The written (lower-case) name of an encoding; a null string for one Qorvel does not
    // name. Mac OS Roman is "macintosh".
    static QString stringFromEncoding(QVStringEncoding encoding);
    // The name users know an encoding by, as the encoding menu lists it ("Western (Mac OS
    // Roman)"); the written name for one the list lacks, the standard one ("windows-1252") for
    // one only a declaration reads in.
    static QString displayName(QVStringEncoding encoding);
    // The encodings of the encoding menu, in its order, each with that name.
    static QList<std::pair<QVStringEncoding, QString>> listedEncodings();
    // The encoding named by the default-encoding setting; 0 when it names none.
    static QVStringEncoding defaultEncoding();

    // The encoding to read the file at path in, first found of: a charset name among the
    // dot-separated pieces of the file name; a UTF-8 or UTF-16 byte-order mark; a style sheet's
    // leading @charset rule or an XML or meta charset declaration in the file's first 30 complete
    // lines; defaultEncoding(). A declaration is read by encodingFromDeclaration, one naming
    // UTF-16 as UTF-8 (bytes that hold it as ASCII are not UTF-16). The data is not examined:
    // content detection reads the file at path (an unreadable file gives nothing).
    static QVStringEncoding _encodingForPath(const QString& path, const QByteArray& data = {});

    // The text of the file at path. encoding is in and out: a non-zero value (a choice
    // remembered for the file) is used whenever the bytes are valid in it; 0 or a null pointer
    // asks for detection (_encodingForPath), and the detected encoding is written back. A
    // remembered encoding the bytes are not valid in gives way to detection, with a notice (code
    // 23, "Opened using %@" naming the encoding that read it). Bytes valid in neither are read
    // in the default C-string encoding, which decodes any bytes: the text comes back with a
    // notice (code 16, "Opened using %@"). Sequences the encoding reads one way only (a second
    // code of a character) read as their characters, with a notice (code 23) naming the first
    // and the bytes saving writes for it. encoding ends naming the one that decoded the text.
    // Nothing, with a POSIX error, when the file cannot be read (missing, a folder, not a
    // regular file, unreadable).
    // A file that is clearly UTF-8 but for a few bytes (readsAsUTF8) reads as UTF-8 wherever
    // UTF-8 is the encoding to read in (asked for, or detected), each stray byte kept as the unit
    // KeptByte + byte, with a notice (code 23, KeptBytesKey holding how many; keptBytes, when
    // given, gets the count too); so does one that says it is UTF-8 (its name, a byte-order mark,
    // a declaration) and holds at least one valid character beyond ASCII, however many its stray
    // bytes (KeptBytesRule::Declared). Every reader of a file reads it by this one rule.
    static std::optional<QString> createWithContentsOfFile(const QString& path,
                                                           QVStringEncoding* encoding,
                                                           QVError* error = nullptr, qint64* keptBytes = nullptr);
    // Whether path is a regular file this process may read, without reading it (a pipe or a
    // device is never opened for long); the POSIX error of createWithContentsOfFile otherwise.
    static bool canOpenForReading(const QString& path, QVError* error = nullptr);
    // The file's text decoded a block at a time straight into UTF-16 units sized from the
    // file, without the whole bytes and a whole string beside them, when its encoding (*encoding,
    // or detected as above) is UTF-8 and its bytes are valid UTF-8; *length gets the units used
    // (the rest is spare room). Nothing otherwise: then createWithContentsOfFile reads it.
    // read, when given, is told after each block where the units are and how many are decoded
    // (they stay there, and are returned in the same place); -1 when they go away unreturned.
    // keptBytes, when given (without read), takes a file that is UTF-8 but for a few bytes too
    // (see readsAsUTF8): each byte that is not part of valid UTF-8 is kept as the unit
    // KeptByte + byte, and *keptBytes gets how many there are (0 for a valid file).
    static std::optional<TextUnits> readUTF8Units(
        const QString& path, QVStringEncoding* encoding, qsizetype* length,
        const std::function<void(const char16_t* units, qint64 decoded)>& read = {}, qint64* keptBytes = nullptr);
    // Pieces of that read a file's bytes come in (a megabyte); tests and fuzzing make them small
    // to put a piece's end everywhere. 0 restores the megabyte.
    static void setUTF8ReadPieceForTests(qint64 bytes);

    // A file read as UTF-8 though some of its bytes are not: each such byte (stray, or of a
    // sequence cut short) stays in the text as a lone low surrogate, U+DC80 to U+DCFF, which no
    // search matches and which writing back turns into the very byte again.
    static constexpr char16_t KeptByte = 0xDC00;
    // Whether a text holding keptBytes such bytes beside multiByte valid characters of more than
    // one byte is clearly UTF-8 but for a few bytes: at least KeptByteRatio such characters for
    // each kept byte. The ratio was chosen on a corpus of both sides. A one-byte-a-character
    // text (windows-1252, Latin-1) holds valid UTF-8 pairs only by chance, where a capital
    // accented letter or "ß" meets a quote, dash, "…", "°" or "µ" ("Spaß“" is DF 93); its
    // lower-case accents and lone punctuation stay stray, so a dozen short German, French and
    // Spanish texts gave 0 to 1 such pairs per stray byte, and texts made to pair (capitals
    // before quotes only, "Spaß“ und Fuß“ – Ö° GROß“") 4 at most. A UTF-8 log or page with a
    // stray byte pasted in has a valid character on most lines: 50 per stray in a 50-line log,
    // thousands at a megabyte. 16 sits four times above the worst made-up legacy text and
    // three times below the short log. A text between the two (3 valid, 5 stray; one "é" and
    // one stray A0) is in doubt and reads in the fallback, where only ASCII is written into it.
    static constexpr qint64 KeptByteRatio = 16;
    static bool readsAsUTF8(qint64 keptBytes, qint64 multiByte) {
        return multiByte > 0 && keptBytes <= multiByte / KeptByteRatio;
    }
    // The bytes read as UTF-8 with every byte that is not part of valid UTF-8 kept as above, when
    // they are UTF-8 but for a few bytes (readsAsUTF8); *keptBytes gets how many were kept.
    // Nothing otherwise (any: however many they are). A leading byte-order mark stays a character.
    // How many kept bytes a text may hold: Counted (readsAsUTF8), Declared (its file says it is
    // UTF-8: one valid character beyond ASCII is enough, its word backed by what it holds), Any.
    enum class KeptBytesRule { Counted, Declared, Any };
    static std::optional<QString> decodeUTF8KeepingBytes(const QByteArray& bytes, qint64* keptBytes,
                                                         KeptBytesRule rule = KeptBytesRule::Counted);
    // Appends text as UTF-8 through encoder (a megabyte at a time, so the room asked for stays
    // near the text's own size); the encoder keeps a pair cut between two calls whole.
    static void appendUTF8(QByteArray* out, QStringView text, QStringEncoder& encoder);
    // Appends text as UTF-8, each kept byte as the byte itself. False when the text holds a
    // surrogate that is neither half of a pair nor a kept byte (nothing UTF-8 can hold).
    static bool appendUTF8KeepingBytes(QByteArray* out, QStringView text);
    // text with each kept byte (standing alone) made the U+FFFD it shows as: what a text that was
    // not read with kept bytes writes for one pasted into it, so a valid UTF-8 file stays valid.
    static QString keptBytesAsShown(QStringView text);
    // The encoding the file's name or its contents (byte-order mark, @charset rule, declaration)
    // name; 0 when none does (the default encoding then reads it).
    static QVStringEncoding declaredEncoding(const QString& path);
    // The same for bytes already read; path serves detection only, which looks at the name and
    // then at the data itself (the file is not read). Nothing (and no error) when even the
    // fallback cannot decode the bytes.
    static std::optional<QString> createWithData(const QByteArray& data, const QString& path,
                                                 QVStringEncoding* encoding,
                                                 QVError* error = nullptr, qint64* keptBytes = nullptr);

    // What each byte reads as alone, for an encoding that reads every byte as one character by
    // itself (ISO 8859, the Windows and Mac code pages, KOI8): its text is then as long as its
    // bytes, unit for byte. A byte the encoding has no character for reads as NotAByte. Nothing
    // for any other encoding (UTF-8, UTF-16, the multi-byte and shifting East Asian ones).
    static constexpr char16_t NotAByte = 0xFFFF;
    static std::optional<std::array<char16_t, 256>> singleByteTable(QVStringEncoding encoding);

    // The bytes of text for saving. encoding is in and out: 0 or a null pointer means
    // defaultEncoding(); it is always set to the encoding finally used. A text the encoding
    // cannot hold whole is written lossily ("?" for what does not fit), in the same encoding
    // when possible, else in the default C-string encoding, and comes with a warning (code 16)
    // naming that encoding. Nothing, with the platform's file-write error 512, when no bytes
    // can be made at all. In UTF-8, a kept byte (KeptByte + byte, standing alone) is written as
    // the byte itself, so a text read with kept bytes writes them back. The characters in fallbacks are written with the table's fallback
    // codes where the encoding has none of their own (see TextEncoding::encode).
    static std::optional<QByteArray> dataUsingEncoding(const QString& text, QVStringEncoding* encoding,
                                                       QVError* error = nullptr, QStringView fallbacks = {});

    // The notice of a read and the warning of a write in a fallback encoding.
    // The read's notice names the encoding Qorvel read in and the one it was to read in (wanted,
    // may be 0), as the encoding menu names them.
    static QVError fallbackReadNotice(QVStringEncoding wanted = 0);
    static QVError fallbackSaveWarning(QVStringEncoding used);
    // The notice of a read as UTF-8 that kept count stray bytes (code 23).
    static QVError keptBytesNotice(qint64 count);
    // What the first save in a read notice's encoding says (low priority, for the status bar):
    // the bytes of some characters changed as the notice foretold.
    static QVError rewrittenCodesSaveNotice(const QVError& readNotice);

    // The content steps of _encodingForPath over bytes in memory (the byte-order mark, a leading
    // @charset rule, then declarations); 0 when they find nothing.
    static QVStringEncoding encodingFromContents(const QByteArray& bytes);
    // Where text declares its encoding, as ranges of the charset names: XML declarations and
    // meta elements (charset, or a content type's charset) in the lines detection searches, and a
    // style sheet's @charset at its very start; in text order.
    static QList<QVRange> declaredCharsets(const QString& text);
    // The name a declaration gives encoding: the standard one browsers know when detection reads
    // it as the same encoding, else the written name.
    static QString declarationName(QVStringEncoding encoding);

    // The file-name step: the first dot-separated piece of the last path component that is a
    // charset name; 0 when none is.
    static QVStringEncoding encodingFromFileName(const QString& path);
};
