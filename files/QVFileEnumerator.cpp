// The breadth-first walk over a file tree.
#include "files/QVFileEnumerator.h"

#include "platform/FileName.h"

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
    // before is where a link loop would start.
    struct stat st;
    if (file->localRepresentation() && ::stat(FileName::encode(_path).constData(), &st) == 0) {
        const QPair<quint64, quint64> key(quint64(st.st_dev), quint64(st.st_ino));
        if (_enteredFolders.contains(key)) return file;
        _enteredFolders.insert(key);
    }
    const size_t queued = _queue.size();
    const QString folderPath = _path;
    for (const auto& child : file->children(true)) _queue.push_back({child, folderPath, child->name(), child->isFolder()});
    _lastChildren = _queue.size() - queued;
    return file;
}

void QVFileEnumerator::skipDescendants() {
    for (; _lastChildren > 0 && !_queue.empty(); --_lastChildren) _queue.pop_back();
}
