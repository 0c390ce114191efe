// A file on the local disk. Every operation works on the delegate's path and reports to the
// delegate before it returns; file-operation errors reach the delegate first.
#pragma once

#include "files/QVFileRepresentation.h"

#include <atomic>

// A local folder opened for listing. Its device and inode come from the open folder, so a walk
// that must know them before it lists (to enter each folder once) looks the path up only once.
class QVLocalFolder {
public:
    // identify: read the device and inode too.
    QVLocalFolder(const QString& path, bool identify);
    ~QVLocalFolder();
    QVLocalFolder(const QVLocalFolder&) = delete;
    QVLocalFolder& operator=(const QVLocalFolder&) = delete;

    bool isOpen() const { return _fd >= 0; }
    quint64 device() const { return _device; }
    quint64 inode() const { return _inode; }
    // The entries, hidden ones included, once (empty for a folder that could not be opened).
    QVFileRepresentationList read();
    // Why the folder could not be opened or read through (errno), 0 while it could.
    int error() const { return _error; }

    // Lookups of a path the local side has made (opened folders and stat calls): what a walk
    // costs in the file system beyond reading the listings. Counted for the tests of that cost.
    static quint64 pathLookups() { return lookups.load(std::memory_order_relaxed); }
    static void countLookup() { lookups.fetch_add(1, std::memory_order_relaxed); }

private:
    static inline std::atomic<quint64> lookups{0};
    int _fd = -1;
    int _error = 0;
    quint64 _device = 0, _inode = 0;
};

class QVLocalFileRepresentation : public QVFileRepresentation {
public:
    using QVFileRepresentation::QVFileRepresentation;
    // typeField: the mode's type bits a listing saw (0 unknown).
    QVLocalFileRepresentation(Name entry, quint16 typeField) : QVFileRepresentation(std::move(entry)) { _typeHint = typeField; }

    // stat of the path (links followed): owner, group, mode, whole-second date, size.
    bool loadFileAttributes() override;
    // Lists the folder once (names that cannot be told apart from another name in this
    // program's encoding are left out); later calls report nothing.
    bool loadChildren() override;
    // The same, reading a folder already opened at this side's path.
    bool loadChildren(QVLocalFolder& folder);
    bool reloadChildren() override;
    void deleteFile(bool toTrash = false) override;
    void duplicate() override;
    void moveToTrash() override;
    // Both refuse an occupied name.
    void rename(const QString& name, const QVFileContext& context) override;
    bool moveToPath(const QString& path, const QVFileContext& context) override;

    // The representations of the folder's entries at path, hidden ones included; empty for
    // an unreadable folder.
    static QVFileRepresentationList listFolder(const QString& path);

private:
    QString path() const;
    void reportError(const QVError& error);
};
