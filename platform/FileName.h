// File names as the bytes they are: a reversible QString form for names that are not UTF-8, and
// the few file-system questions Qorvel asks of a path, answered on those bytes.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// A Linux file name is any string of bytes; Qt decodes and encodes paths as UTF-8 and turns every
// byte that is not UTF-8 into U+FFFD, which names no file (and, written back, another one). Here a
// byte that does not belong to a valid UTF-8 sequence becomes the lone low surrogate U+DC00 + byte
// (U+DC80..U+DCFF), which valid UTF-8 never yields, so decode() and encode() undo each other for
// every name. Strings from anywhere else encode as Qt encodes them.
//
// A path in this form must reach the file system through encode(): QFile, QFileInfo, QDir and
// QFileSystemWatcher encode it themselves and would miss the file. QFileInfo's string-only
// answers (fileName(), suffix(), absolutePath() of an absolute path) keep the escapes and are safe.
class FileName {
public:
    FileName() = delete;

    static QString decode(const QByteArray& bytes);
    static QString decode(const char* bytes);
    static QByteArray encode(const QString& path);
    // The same into bytes (replacing what they held), whose buffer is used again: a walk that
    // writes every path it meets allocates no bytes per path.
    static void encode(const QString& path, QByteArray& bytes);

    // Whether the string holds bytes that are not UTF-8 (escaped as above).
    static bool hasEscapes(const QString& path);
    // The form to show to a user: each escaped byte becomes U+FFFD (never to be used as a path).
    static QString displayed(const QString& path);
    // The form to show where such a name must be read and told apart from its UTF-8 look-alike:
    // each escaped byte as the Latin-1 character of its value, the whole followed by
    // " (not UTF-8)" when it holds any; each control that reorders text (U+202E and its kin)
    // as its code ("<U+202E>"), so the name reads in the order of its characters. Never to be
    // used as a path.
    static QString readable(const QString& path);
    // A listed name as a list shows it: readable(), and each control character (a CR ending a
    // name on a site) as its visible picture, the whole then followed by " (control character)":
    // such a name cannot be sent through a client's command line, and must not look like its
    // neighbour without it. Never to be used as a path.
    static QString shown(const QString& name);
    // The same without the closing mark, for a name quoted inside a message.
    static QString pictured(const QString& name);
    // A name as an inline editor holds it: each control that reorders text as its code
    // ("<U+202E>"), as readable() shows it, and nothing else changed, so a name that would read
    // as its neighbour's does not while it is edited. fromEditable() turns those codes back.
    static QString editable(const QString& name);
    static QString fromEditable(const QString& text);

    // The answers of stat(2), following links. A path that cannot be reached answers false / -1.
    static bool exists(const QString& path);
    static bool isFolder(const QString& path);
    static bool isRegularFile(const QString& path);
    static qint64 size(const QString& path);
    // lstat(2): whether the path itself is a symbolic link.
    static bool isSymbolicLink(const QString& path);
    // The absolute path with every link, "." and ".." resolved (realpath(3)); empty when the path
    // does not exist.
    static QString canonical(const QString& path);
    // The folder's entries other than "." and "..", in the order the file system gives; empty
    // when it cannot be read.
    static QStringList entries(const QString& folder);
    // The path made absolute (against the working folder) and cleaned of ".", ".." and doubled
    // slashes, on the string alone: QFileInfo::absoluteFilePath() goes through Qt's encoding
    // for such paths and would lose the escapes. Empty stays empty.
    static QString absolute(const QString& path);
    // The working folder of the process (getcwd(3)).
    static QString currentFolder();
};
