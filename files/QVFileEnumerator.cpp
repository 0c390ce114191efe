// The breadth-first walk over a file tree.
#include "files/QVFileEnumerator.h"

#include "platform/FileName.h"

#include <sys/stat.h>

QVFileEnumerator::QVFileEnumerator(const std::shared_ptr<QVFile>& file) : _rootFile(file) {
    if (file) _queue.push_back(file);
}

std::shared_ptr<QVFile> QVFileEnumerator::nextObject() {
    if (_queue.empty()) return nullptr;
    auto file = _queue.front();
    _queue.pop_front();
    _lastChildren = 0;
    if (!file->isFolder()) return file;
    // Links to folders are followed (a folder's type is read through links), so a folder seen
    // before is where a link loop would start.
    struct stat st;
    if (file->localRepresentation() && ::stat(FileName::encode(file->path()).constData(), &st) == 0) {
        const QPair<quint64, quint64> key(quint64(st.st_dev), quint64(st.st_ino));
        if (_enteredFolders.contains(key)) return file;
        _enteredFolders.insert(key);
    }
    const size_t queued = _queue.size();
    for (const auto& child : file->children(true)) _queue.push_back(child);
    _lastChildren = _queue.size() - queued;
    return file;
}

void QVFileEnumerator::skipDescendants() {
    for (; _lastChildren > 0 && !_queue.empty(); --_lastChildren) _queue.pop_back();
}
