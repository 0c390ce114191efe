// Atomic replacement of a file: temporary file in the same folder, fsync, rename.
#pragma once

#include "platform/QVError.h"

#include <QByteArray>
#include <QString>

class AtomicFile {
public:
    // Writes data to path so that readers see either the old file or the whole new one.
    // The temporary file is created with a unique name in one step (O_EXCL), flushed to disk,
    // given the old file's permission mode (or 0644 minus the umask for a new file) and
    // renamed over the path; the folder is synced. On failure the old file is untouched,
    // the temporary file is removed and the error says why (full disk, no permission...).
    static bool write(const QString& path, const QByteArray& data, QVError* error = nullptr);
};
