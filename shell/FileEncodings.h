// Text encodings by charset name, the choice of the encoding a file is read in, and reading and
// writing text with fallbacks that keep the user's bytes.
#pragma once

#include "platform/QVError.h"
#include "platform/TextEncoding.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>
#include <utility>
#include <vector>

class FileEncodings {
public:
    FileEncodings() = delete;

    // Code (in the application's error domain) of a text read or written in a fallback encoding.
    static constexpr qint64 FallbackEncodingError = 16;
    // How many complete lines of a file are searched for an encoding declaration.
    static constexpr int DeclarationLineLimit = 30;

    // The encoding of a charset name, 0 for an unknown or empty name. "-" and "_" are ignored
    // and case does not matter: "utf-8", "UTF8", "Shift_JIS", "ISO-8859-1" are all known.
    static QVStringEncoding encodingFromString(const QString& name);
    // The written (lower-case) name of an encoding; a null string for one Qorvel does not
    // name. Mac OS Roman is "macintosh".
    static QString stringFromEncoding(QVStringEncoding encoding);
    // The name users know an encoding by, as the encoding menu lists it ("Western (Mac OS
    // Roman)"); the written name for one the list lacks.
    static QString displayName(QVStringEncoding encoding);
    // The encodings of the encoding menu, in its order, each with that name.
    static QList<std::pair<QVStringEncoding, QString>> listedEncodings();
    // The encoding named by the default-encoding setting; 0 when it names none.
    static QVStringEncoding defaultEncoding();

    // The encoding to read the file at path in, first found of: a charset name among the
    // dot-separated pieces of the file name; an XML or meta charset declaration in the file's
    // first 30 complete lines; a UTF-16 byte-order mark; defaultEncoding(). The data is not
    // examined: content detection reads the file at path (an unreadable file gives nothing).
    static QVStringEncoding _encodingForPath(const QString& path, const QByteArray& data = {});

    // The text of the file at path. encoding is in and out: a non-zero value is used as it is;
    // 0 or a null pointer asks for detection (_encodingForPath), and the detected encoding is
    // written back. When the bytes are not valid in that encoding they are read in the default
    // C-string encoding, which decodes any bytes: the text comes back with a notice (code 16,
    // "Opened using %@") and encoding names the one that decoded it, so writing the text
    // back in it gives the same bytes. Nothing, with a POSIX error, when the file cannot be read
    // (missing, a folder, not a regular file, unreadable).
    static std::optional<QString> createWithContentsOfFile(const QString& path,
                                                           QVStringEncoding* encoding,
                                                           QVError* error = nullptr);
    // Whether path is a regular file this process may read, without reading it (a pipe or a
    // device is never opened for long); the POSIX error of createWithContentsOfFile otherwise.
    static bool canOpenForReading(const QString& path, QVError* error = nullptr);
    // The file's text decoded a block at a time straight into UTF-16 units sized from the
    // file, without the whole bytes and a whole string beside them, when its encoding (*encoding,
    // or detected as above) is UTF-8 and its bytes are valid UTF-8; *length gets the units used
    // (the rest is spare room). Nothing otherwise: then createWithContentsOfFile reads it.
    static std::optional<std::vector<char16_t>> readUTF8Units(const QString& path, QVStringEncoding* encoding,
                                                              qsizetype* length);
    // The same for bytes already read; path serves detection only, which looks at the name and
    // then at the data itself (the file is not read). Nothing (and no error) when even the
    // fallback cannot decode the bytes.
    static std::optional<QString> createWithData(const QByteArray& data, const QString& path,
                                                 QVStringEncoding* encoding,
                                                 QVError* error = nullptr);

    // The bytes of text for saving. encoding is in and out: 0 or a null pointer means
    // defaultEncoding(); it is always set to the encoding finally used. A text the encoding
    // cannot hold whole is written lossily ("?" for what does not fit), in the same encoding
    // when possible, else in the default C-string encoding, and comes with a warning (code 16)
    // naming that encoding. Nothing, with the platform's file-write error 512, when no bytes
    // can be made at all.
    static std::optional<QByteArray> dataUsingEncoding(const QString& text, QVStringEncoding* encoding,
                                                       QVError* error = nullptr);

    // The notice of a read and the warning of a write in a fallback encoding.
    // The read's notice names the encoding Qorvel read in and the one it was to read in (wanted,
    // may be 0), as the encoding menu names them.
    static QVError fallbackReadNotice(QVStringEncoding wanted = 0);
    static QVError fallbackSaveWarning(QVStringEncoding used);

    // The content steps of _encodingForPath over bytes in memory (declarations, then the
    // byte-order mark); 0 when they find nothing.
    static QVStringEncoding encodingFromContents(const QByteArray& bytes);
    // The file-name step: the first dot-separated piece of the last path component that is a
    // charset name; 0 when none is.
    static QVStringEncoding encodingFromFileName(const QString& path);
};
