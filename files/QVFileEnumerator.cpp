// The breadth-first walk over a file tree.
#include "files/QVFileEnumerator.h"

#include "files/QVLocalFileRepresentation.h"
#include "platform/FileName.h"

#include <cstring>
#include <optional>

#include <sys/stat.h>

namespace {

constexpr size_t Ahead = 8;

}  // namespace

QVFileEnumerator::QVFileEnumerator(const std::shared_ptr<QVFile>& file) : _rootFile(file) {
    if (file) _queue.push_back({file, file->path(), file->isFolder()});
}

std::shared_ptr<QVFile> QVFileEnumerator::nextObject() {
    _lastChildren = 0;
    _listingError = 0;
    if (_queue.empty()) {
        _path.clear();
        return nullptr;
    }
    // The entries were queued when their folder was listed, long enough ago for their nodes and
    // names to have left the cache: the ones a few places on are fetched while this one is handled.
    if (_queue.size() > Ahead) {
        const Entry& ahead = _queue[Ahead];
        __builtin_prefetch(ahead.file.get(), 1);
        __builtin_prefetch(ahead.name.constData());
    }
    Entry& entry = _queue.front();
    auto file = std::move(entry.file);
    const bool folder = entry.folder;
    if (!_started) {
        _started = true;
        _path = entry.name;
    } else {
        // Written into the last path's buffer, which nothing else shares once the folders have
        // taken their copies.
        Folder& parent = _folders.front();
        if (_folderLength < 0) {
            _path.resize(0);
            _path += parent.path;
            if (!_path.endsWith(QLatin1Char('/'))) _path += QLatin1Char('/');
            _folderLength = _path.size();
        }
        // The name goes over the last one's, in the buffer the path already has.
        _path.resize(_folderLength + entry.name.size());
        std::memcpy(_path.data() + _folderLength, entry.name.constData(), size_t(entry.name.size()) * sizeof(QChar));
        if (--parent.left == 0) {
            _folders.pop_front();
            _folderLength = -1;
        }
    }
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
        if (open) _listingError = open->error();
    } else {
        children = &file->children(true);
    }
    for (const auto& child : *children) _queue.push_back({child, child->name(), child->isFolder()});
    _lastChildren = size_t(children->size());
    if (_lastChildren > 0) _folders.push_back({folderPath, _lastChildren});
    return file;
}

void QVFileEnumerator::skipDescendants() {
    if (_lastChildren == 0) return;
    for (; _lastChildren > 0; --_lastChildren) _queue.pop_back();
    _folders.pop_back();
}
