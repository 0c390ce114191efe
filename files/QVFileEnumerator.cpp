// The breadth-first walk over a file tree.
#include "files/QVFileEnumerator.h"

#include <QFile>

#include <sys/stat.h>

QVFileEnumerator::QVFileEnumerator(const std::shared_ptr<QVFile>& file) : _rootFile(file) {
    if (file) _queue.push_back({file, file->path(), file->isFolder()});
}

std::shared_ptr<QVFile> QVFileEnumerator::nextObject() {
    _lastChildren = 0;
    if (_queue.empty()) {
        _path.clear();
        return nullptr;
    }
    auto file = std::move(_queue.front().file);
    _path = std::move(_queue.front().path);
    const bool folder = _queue.front().folder;
    _queue.pop_front();
    if (!folder) return file;
    // Links to folders are followed (a folder's type is read through links), so a folder seen
    // before is where a link loop would start.
    struct stat st;
    if (file->localRepresentation() && ::stat(QFile::encodeName(_path).constData(), &st) == 0) {
        const QPair<quint64, quint64> key(quint64(st.st_dev), quint64(st.st_ino));
        if (_enteredFolders.contains(key)) return file;
        _enteredFolders.insert(key);
    }
    const size_t queued = _queue.size();
    const bool slashed = _path.endsWith(QLatin1Char('/'));
    for (const auto& child : file->children(true)) {
        const QString name = child->name();
        QString path;
        path.reserve(_path.size() + 1 + name.size());
        path += _path;
        if (!slashed) path += QLatin1Char('/');
        path += name;
        _queue.push_back({child, std::move(path), child->isFolder()});
    }
    _lastChildren = _queue.size() - queued;
    return file;
}

void QVFileEnumerator::skipDescendants() {
    for (; _lastChildren > 0 && !_queue.empty(); --_lastChildren) _queue.pop_back();
}
