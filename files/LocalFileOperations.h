// File operations on the local disk that never replace an existing name and never leave a
// partial file under a final name: moves, copies, removal and the freedesktop Trash.
#pragma once

#include "platform/QVError.h"

#include <QByteArray>
#include <QString>

class LocalFileOperations {
public:
    LocalFileOperations() = delete;

    // Moves or renames source to destination; refuses (EEXIST) when the destination name is
    // taken, also by a name that appears meanwhile. Across file systems the item is copied
    // under a hidden temporary name in the destination folder, synced, given its final name
    // and only then is the source removed. False with a file-operation error on failure; the
    // source is then untouched (except after a cross-device copy whose source removal failed,
    // which answers true with the error set: the item is complete at the destination).
    static bool moveItem(const QString& source, const QString& destination, QVError* error);

    // Copies source (a file, link or whole folder, links copied as links) to destination,
    // which must not exist. The copy is built under a hidden temporary name beside the
    // destination and appears under its final name complete or not at all.
    static bool copyItem(const QString& source, const QString& destination, QVError* error);

    // Copies the item beside itself under the first free copy name ("name copy.ext", ...),
    // taking the next name when one appears while copying. The new path, or empty with error.
    static QString duplicateItem(const QString& source, QVError* error);

    // Removes the file, link or folder for good. A link is removed itself, never what it
    // points to, also inside folders. Goes on past entries it cannot remove and answers false
    // with the first error when anything is left.
    static bool removeItem(const QString& path, QVError* error);

    // Moves the item into the Trash of its volume: the user's ($XDG_DATA_HOME/Trash) on the
    // home volume, else "<top>/.Trash/<uid>" (a sticky, non-link .Trash) or "<top>/.Trash-<uid>".
    // Writes the ".trashinfo" record first and removes it again when the move fails. The path
    // inside the Trash goes to trashedPath.
    static bool moveToTrash(const QString& path, QVError* error, QString* trashedPath = nullptr);

    // rename(2) that refuses to replace (errno EEXIST). Where the file system has no such
    // flag, a file is linked and then unlinked; a folder is renamed after a check.
    static int renameNoReplace(const QByteArray& from, const QByteArray& to);

    // A file-operation error for the path and errno value.
    static QVError fileError(const QString& path, int err);
};
