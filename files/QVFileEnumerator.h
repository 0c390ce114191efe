// A breadth-first walk of a file tree, listing folders as it reaches them. A folder met again
// on the walk (a link to an ancestor or a sibling) is not entered again.
#pragma once

#include "files/QVFile.h"

#include <QSet>
#include <QString>

#include <deque>
#include <memory>

class QVFileEnumerator {
public:
    // The walk starts with the node itself.
    explicit QVFileEnumerator(const std::shared_ptr<QVFile>& file);
    // The next node, or null at the end.
    std::shared_ptr<QVFile> nextObject();
    // The path of the node nextObject() last gave, as it stood when its folder was listed:
    // built once per node from its folder's, where asking the node climbs to the root.
    const QString& path() const { return _path; }
    // Right after nextObject() gave a folder: the walk does not go into it.
    void skipDescendants();
    // Right after nextObject() gave a local folder: why its entries could not be read (errno,
    // e.g. EACCES for another account's private folder), 0 when they were.
    int listingError() const { return _listingError; }

private:
    std::shared_ptr<QVFile> _rootFile;
    // The name is shared with the node, so a queued entry costs no allocation. The path is put
    // together when the entry is reached, from its folder's, kept once for all its children.
    struct Entry {
        std::shared_ptr<QVFile> file;
        QString name;
        bool folder;  // read while the listing's nodes are fresh in memory, not when reached
    };
    struct Folder {
        QString path;
        size_t left;  // of its children still queued
    };
    std::deque<Entry> _queue;
    // The folders whose children are queued, in the queue's order; none for the start.
    std::deque<Folder> _folders;
    QSet<QPair<quint64, quint64>> _enteredFolders;  // device and inode
    QString _path;
    // The length of the first folder's path and slash at the start of _path, -1 when _path does
    // not start with them: a child after the first in its folder writes only its name.
    qsizetype _folderLength = -1;
    bool _started = false;
    size_t _lastChildren = 0;  // queued by the last nextObject()
    int _listingError = 0;     // of the folder the last nextObject() gave
};
