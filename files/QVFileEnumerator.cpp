// The breadth-first walk over a file tree.
#include "files/QVFileEnumerator.h"

#include "files/QVLocalFileRepresentation.h"
#include "platform/FileName.h"

#include <optional>

#include <sys/stat.h>

QVFileEnumerator::QVFileEnumerator(const std::shared_ptr<QVFile>& file) : _rootFile(file) {
    if (file) _queue.push_back({file, QString(), file->path(), file->isFolder()});
}

std::shared_ptr<QVFile> QVFileEnumerator::nextObject() {
    _lastChildren = 0;
    if (_queue.empty()) {
        _path.clear();
        return nullptr;
    }
    Entry& entry = _queue.front();
    auto file = std::move(entry.file);
    const bool folder = entry.folder;
    // Written into the last path's buffer, which nothing else shares once the folders have
    // taken their copies.
    _path.resize(0);
    if (!entry.folderPath.isNull()) {
        _path += entry.folderPath;
        if (!_path.endsWith(QLatin1Char('/'))) _path += QLatin1Char('/');
    }
    _path += entry.name;
    _queue.pop_front();
    if (!folder) return file;
    // Links to folders are followed (a folder's type is read through links), so a folder seen
    // before is where a link loop would start. A folder not yet listed is opened once, and both
    // its identity and its entries are read from the open folder.
    const QString folderPath = _path;
    const QVFile::List* children = nullptr;
    if (file->localRepresentation()) {
        std::optional<QVLocalFolder> open;
        struct stat st {};
        quint64 device = 0, inode = 0;
        bool known = false;
        if (!file->childrenListed()) {
            open.emplace(_path, true);
            known = open->inode() != 0;  // opened and identified
            device = open->device(), inode = open->inode();
        } else {
            QVLocalFolder::countLookup();
            known = ::stat(FileName::encode(_path).constData(), &st) == 0;
            device = quint64(st.st_dev), inode = quint64(st.st_ino);
        }
        if (known) {
            const QPair<quint64, quint64> key(device, inode);
            if (_enteredFolders.contains(key)) return file;
            _enteredFolders.insert(key);
        }
        children = open ? &file->children(*open) : &file->children(true);
    } else {
        children = &file->children(true);
    }
    const size_t queued = _queue.size();
    for (const auto& child : *children) _queue.push_back({child, folderPath, child->name(), child->isFolder()});
    _lastChildren = _queue.size() - queued;
    return file;
}

void QVFileEnumerator::skipDescendants() {
    for (; _lastChildren > 0 && !_queue.empty(); --_lastChildren) _queue.pop_back();
}
