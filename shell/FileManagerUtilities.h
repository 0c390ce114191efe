// Small file-system services shared by the file trees, listings, projects and version control.
#pragma once

#include "platform/QVError.h"

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>
#include <QVariantMap>

class FileManagerUtilities {
public:
    FileManagerUtilities() = delete;

    // Code of file-operation errors in the application's error domain.
    static constexpr qint64 FileOperationErrorCode = 9;

    // An error for a failed file operation, from a dictionary with the keys "Path" and "Error":
    // code 9, description "File Operation Error", recovery suggestion "<path>: <error>".
    static QVError errorFromDictionary(const QVariantMap& info);

    // The desktop's icon for the file at the requested size. With the cache on, files with the
    // same non-empty extension share one icon (fetched once, never emptied). A null image when
    // the desktop has no icon for it. Safe to call from several threads.
    static QImage iconForFile(const QString& path, const QSize& size, bool useCache);

    // The account or group name; the number in decimal when the account database has no such entry.
    static QString nameForUid(quint32 uid);
    static QString nameForGid(quint32 gid);

    // "1023 B", "2 KB", "1.5 MB" ... "1.0 PB" in steps of 1024; empty from 1024 PB on.
    static QString formattedStringForSize(qint64 bytes);

    // The "ls" form: type letter, nine permission letters with set-id and sticky marks, and a
    // trailing space ("drwxr-xr-x "). An unknown type gives "?".
    static QString modeStringForMode(quint16 mode);
    // The permission bits as octal digits ("755", "4755", "0").
    static QString numericModeStringForMode(quint16 mode);
    // The inverse of modeStringForMode for strings of at least 10 characters; 0 otherwise.
    static quint16 modeFromString(const QString& string);

    // A path beside the given one that does not exist yet: "report copy.txt", then
    // "report copy 1.txt", "report copy 2.txt" ... For a folder the whole name takes the suffix.
    static QString pathForCopyOfFile(const QString& path, const QString& initialSuffix,
                                     bool asDirectory);
    static QString pathForCopyOfFile(const QString& path, const QString& initialSuffix);
    static QString pathForCopyOfFile(const QString& path);  // the localised " copy"

    // Creates every missing folder along the path, from the top. False as soon as one cannot be
    // created; true when all exist afterwards (also when nothing had to be made).
    static bool ensureDirectoryExists(const QString& path);

    // The target stored in the symbolic link at path (one level, possibly relative), else path.
    static QString resolvedPath(const QString& path);

    // Creates a new, empty, private (0600) file with a unique name in the temporary folder and
    // answers its path; empty when none could be made. The name and the file come into being
    // in one step, so no other process can slip a file or link in between.
    static QString pathForTemporaryFile();
    // The same from a template whose last six characters are "XXXXXX" (replaced by the unique
    // part). Empty, with the reason in error, when the template is unusable or creation fails.
    static QString createTemporaryFile(const QString& pathTemplate, QVError* error = nullptr);

    // A record that finds the file or folder again: its path, device and inode. Resolving tries
    // the recorded path first, then an entry with the same device and inode in the recorded
    // parent folder (a rename in place). Empty data / an empty path when none can be made or
    // the record no longer resolves.
    static QByteArray createAliasDataForPath(const QString& path);
    static QString createPathFromAliasData(const QByteArray& data);
};
