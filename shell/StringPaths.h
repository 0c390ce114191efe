// Relative and absolute paths between files, and free names for copies.
#pragma once

#include <QString>

class StringPaths {
public:
    StringPaths() = delete;

    // The target path as written from the file at path: the target itself for an unsaved
    // document (path is the localised "Untitled"); the part after the file's folder for a target
    // inside it; otherwise one "../" per folder of the file's folder below the folder both
    // share, then the target's path below that shared folder.
    // "/a/b/c/page.html" to "/a/x/y.css" gives "../../x/y.css".
    static QString relativePathTo(const QString& path, const QString& target);

    // The absolute path of written, a path written in the file at file. With a non-null base and
    // a written path that begins with "/", the base (a site root) joined with it. Otherwise from
    // the file's folder (file itself when it ends in "/"): leading "." and empty pieces are
    // skipped, leading ".." pieces move up (never above "/"), and the rest is appended as
    // written.
    static QString absolutePathFromFile(const QString& written, const QString& file,
                                        const QString& base = {});

    // The folder of path, one folder up for each "../" in relative, joined with relative without
    // its "../" pieces. A relative holding ":" (an address) is returned unchanged.
    static QString fullyQualifiedPathTo(const QString& path, const QString& relative);

    // A name for a copy of the file (its last path component) that nothing in folder uses yet:
    // "name copy.ext", then "name copy 2.ext", "name copy 3.ext" and so on. Empty when the
    // folder holds every numbered name up to a limit no real folder reaches.
    static QString filenameForDuplicateOfFile(const QString& file, const QString& folder);
};
