// Reading a whole file that must be a regular file: what Qorvel reads from its support folders
// (snippets, scripts, Tidy operations, bundles, themes, desktop entries, settings lists).
#pragma once

#include "platform/QVError.h"

#include <QByteArray>
#include <QString>

#include <optional>

class RegularFile {
public:
    RegularFile() = delete;

    // The bytes of the file at path (links followed), or nothing with the error set. The file is
    // opened without blocking and refused unless it is a regular file: a FIFO, socket or device
    // dropped into a support folder could block the reader for ever or never end. A file larger
    // than limit bytes (-1: no limit) is refused too (EFBIG).
    static std::optional<QByteArray> read(const QString& path, QVError* error = nullptr, qint64 limit = -1);
};
