// The file-tree node: merging the two sides' children, watching, and the file operations with
// their completion handling.
#include "files/QVFile.h"

#include "platform/FileName.h"
#include "files/LocalFileOperations.h"
#include "files/NodePool.h"
#include "files/QVLocalFileRepresentation.h"
#include "files/QVRemoteFileAction.h"
#include "files/QVRemoteFileRepresentation.h"
#include "files/QVRemoteFilesQueue.h"
#include "platform/AppBundle.h"
#include "platform/MainQueue.h"
#include "platform/SystemLog.h"
#include "shell/FileManagerUtilities.h"
#include "shell/QVFileCategories.h"
#include "shell/QVFileFilters.h"
#include "shell/ScratchFolder.h"
#include "shell/StringHashing.h"
#include "shell/StringUtilities.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QVarLengthArray>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string_view>
#include <sys/stat.h>

namespace {

bool nameMatchesFilters(const QString& name) { return QVFileFilters::sharedFilters()->stringMatchesFilters(name); }

bool sortsBefore(const QString& a, const QString& b) { return QString::compare(a, b, Qt::CaseInsensitive) < 0; }

// A name case-folded, to sort by, into folded (left null when the name is its own key). A name in
// ASCII (nearly every one a walk meets) is folded by lowering its capitals, and one without
// capitals needs no copy at all.
void foldedKey(const QString& name, QString& folded) {
    const char16_t* units = reinterpret_cast<const char16_t*>(name.constData());
    const qsizetype size = name.size();
    qsizetype firstCapital = -1;
    for (qsizetype i = 0; i < size; ++i) {
        if (units[i] >= 0x80) {
            folded = name.toCaseFolded();
            return;
        }
        if (firstCapital < 0 && units[i] >= u'A' && units[i] <= u'Z') firstCapital = i;
    }
    if (firstCapital < 0) return;
    folded = name;
    char16_t* out = reinterpret_cast<char16_t*>(folded.data());
    for (qsizetype i = firstCapital; i < size; ++i)
        if (out[i] >= u'A' && out[i] <= u'Z') out[i] = char16_t(out[i] + 32);
}

// The key's first eight units packed big-endian, one byte each, so that two keys whose packed
// forms differ are ordered by comparing two integers. A unit that does not fit in a byte packs as
// 0xFF with every unit after it, and a short key is padded with 0: packing never reverses two
// keys' order, and keys that pack alike are compared whole.
quint64 packedPrefix(std::u16string_view key) {
    const size_t n = std::min<size_t>(key.size(), 8);
    quint64 packed = 0;
    size_t i = 0;
    for (; i < n && key[i] < 0xFF; ++i) packed = (packed << 8) | key[i];
    const quint64 rest = i < n ? 0xFF : 0;
    for (; i < 8; ++i) packed = (packed << 8) | rest;
    return packed;
}

std::u16string_view unitsOf(const QString& text) { return {reinterpret_cast<const char16_t*>(text.constData()), size_t(text.size())}; }

}  // namespace

// Nodes are made by the ten thousand when a tree is walked: the node and its count share one
// slot of the pool of their size.
struct QVFile::Made final : QVFile {};

std::shared_ptr<QVFile> QVFile::create(const QString& path, const std::shared_ptr<QVFile>& parent) {
    std::shared_ptr<QVFile> file = NodePool::make<Made>();
    file->_parent = parent;
    file->adoptLocalRepresentation(std::make_shared<QVLocalFileRepresentation>(path));
    return file;
}

std::shared_ptr<QVFile> QVFile::create(const std::shared_ptr<QVFileRepresentation>& representation,
                                       const std::shared_ptr<QVFile>& parent) {
    std::shared_ptr<QVFile> file = NodePool::make<Made>();
    file->_parent = parent;
    file->mergeWithRepresentation(representation);
    return file;
}

QVFile::~QVFile() {
    if (_localRepresentation) _localRepresentation->setDelegate({});
    if (_remoteRepresentation) _remoteRepresentation->setDelegate({});
}

void QVFile::adoptLocalRepresentation(const std::shared_ptr<QVFileRepresentation>& representation) {
    _localRepresentation = std::static_pointer_cast<QVLocalFileRepresentation>(representation);
    _localRepresentation->setDelegate(std::weak_ptr<QVFileRepresentationDelegate>(shared_from_this()));
}

void QVFile::clearDelegate(const QVFileTreeDelegate* delegate) {
    if (_delegate.lock().get() != delegate) return;
    _delegate.reset();
    if (_children)
        for (const auto& child : *_children) child->clearDelegate(delegate);
}

void QVFile::clearReferences() {
    _delegate.reset();
    _parent.reset();
    if (_children)
        for (const auto& child : *_children) child->clearReferences();
}

void QVFile::clearParent(const QVFile* parent) {
    if (_parent.lock().get() != parent || !parent) return;
    stopWatchingFile();
    _parent.reset();
}

void QVFile::setDocument(const std::weak_ptr<QVFileDocumentCallbacks>& document) {
    // Uploads still queued belong to no save of the next document: their ends name none.
    if (document.lock() != this->document() && _seldom)
        std::fill(_seldom->uploadSaves.begin(), _seldom->uploadSaves.end(), 0);
    if (!document.expired() || _seldom) seldom().document = document;
    if (!document.expired()) {
        startWatching();
        return;
    }
    stopWatchingFile();
    if (remoteOnly()) {
        if (_remoteRepresentation) _remoteRepresentation->setLocalPath({});
        dropLocalRepresentation();
    }
}

// Identity and display.

QVFileRepresentation* QVFile::preferredRepresentation() const {
    if (_localRepresentation) return _localRepresentation.get();
    return _remoteRepresentation.get();
}

QString QVFile::name() const {
    const auto* representation = preferredRepresentation();
    return representation ? representation->name() : _seldom ? _seldom->lastName : QString();
}

QVFileType QVFile::fileType() const {
    const auto* representation = preferredRepresentation();
    return representation ? representation->fileType() : QVFileTypeFile;
}

QString QVFile::path() const {
    auto top = this->parent();
    if (!top) return name();
    // Built in one piece: asking each folder for its path would copy it once per level.
    QVarLengthArray<QString, 16> names{name()};
    while (auto up = top->parent()) {
        names.append(top->name());
        top = std::move(up);
    }
    const QString base = top->path();
    qsizetype length = base.size();
    for (const QString& n : names) length += n.size() + 1;
    QString path;
    path.reserve(length);
    path += base;
    for (qsizetype i = names.size() - 1; i >= 0; --i) {
        if (!path.endsWith(QLatin1Char('/'))) path += QLatin1Char('/');
        path += names[i];
    }
    return path;
}

QString QVFile::pathFromRoot() const { return const_cast<QVFile*>(this)->pathFromRootForPath(path()); }

QString QVFile::pathFromRootForPath(const QString& path) {
    auto top = parent();
    if (!top) return QString();
    while (auto up = top->parent()) top = up;
    const QString prefix = StringUtilities::stringWithTrailingSlash(top->path());
    return path.startsWith(prefix) ? path.mid(prefix.size()) : path;
}

QString QVFile::uuid() const {
    QString& uuid = seldom().uuid;
    if (uuid.isEmpty()) uuid = StringHashing::uuid();
    return uuid;
}

QImage QVFile::icon() {
    QImage& icon = seldom().icon;
    if (icon.isNull())
        if (auto* representation = preferredRepresentation()) icon = representation->icon();
    return icon;
}

QString QVFile::indicator() const {
    if (_localRepresentation && _remoteRepresentation) return QString();
    return QVLocalized(_remoteRepresentation ? QStringLiteral("R") : QStringLiteral("L"));
}

bool QVFile::isTextFile() const {
    return QVFileCategories::sharedCategories()->path(path(), QVFileCategoryKind(0));
}

int QVFile::compare(const QVFile& other) const { return QString::compare(name(), other.name(), Qt::CaseInsensitive); }

void QVFile::setExpanded(bool expanded) {
    _expanded = expanded;
    if (expanded) _everExpanded = true;
}

bool QVFile::remoteOnly() const {
    const auto parent = this->parent();
    return parent && parent->remoteOnly();
}

std::shared_ptr<QVRemoteFilesQueue> QVFile::remoteQueue() const {
    const auto parent = this->parent();
    return parent ? parent->remoteQueue() : nullptr;
}

QVFileWatcher* QVFile::fileWatcher() const {
    const auto parent = this->parent();
    return parent ? parent->fileWatcher() : nullptr;
}

// Children.

const QVFile::List& QVFile::children(bool load) {
    if (_children) return *_children;
    // A look without loading must not leave the folder listed as empty for good.
    static const List none;
    if (!load) return none;
    return loadChildren(nullptr);
}

const QVFile::List& QVFile::children(QVLocalFolder& folder) { return _children ? *_children : loadChildren(&folder); }

const QVFile::List& QVFile::loadChildren(QVLocalFolder* folder) {
    _children.emplace();
    const auto self = shared_from_this();
    if (_localRepresentation && !remoteOnly()) {
        if (folder) _localRepresentation->loadChildren(*folder);
        else _localRepresentation->loadChildren();
    }
    if (const auto remote = _remoteRepresentation) remote->loadChildren();
    return *_children;
}

int QVFile::countOfChildren() { return int(children(true).size()); }

std::shared_ptr<QVFile> QVFile::childAtIndex(int index) {
    const List& list = children(true);
    return index >= 0 && index < list.size() ? list.at(index) : nullptr;
}

std::shared_ptr<QVFile> QVFile::childWithName(const QString& name, bool load) {
    const List& list = children(load);
    // The list is sorted case-insensitively: the exact name lies among its case-insensitive equals.
    auto it = std::lower_bound(list.begin(), list.end(), name,
                               [](const std::shared_ptr<QVFile>& child, const QString& n) { return sortsBefore(child->name(), n); });
    for (; it != list.end() && QString::compare((*it)->name(), name, Qt::CaseInsensitive) == 0; ++it)
        if ((*it)->name() == name) return *it;
    return nullptr;
}

std::shared_ptr<QVFile> QVFile::childWithPath(const QStringList& components, bool load) {
    if (components.isEmpty()) return nullptr;
    auto child = childWithName(components.first(), load);
    if (!child || components.size() == 1) return child;
    return child->childWithPath(components.mid(1), load);
}

void QVFile::addChild(const std::shared_ptr<QVFile>& child) {
    if (!_children) _children.emplace();
    List& list = *_children;
    const QString name = child->name();
    auto it = std::upper_bound(list.begin(), list.end(), name,
                               [](const QString& n, const std::shared_ptr<QVFile>& c) { return sortsBefore(n, c->name()); });
    list.insert(it, child);
}

void QVFile::removeChild(const QVFile* child) {
    if (!_children) return;
    _children->removeIf([child](const std::shared_ptr<QVFile>& c) { return c.get() == child; });
}

std::shared_ptr<QVFile> QVFile::addChildRepresentation(const std::shared_ptr<QVFileRepresentation>& representation) {
    auto child = childWithName(representation->name(), false);
    if (!child) {
        child = create(representation, shared_from_this());
        child->setDelegate(_delegate);
        addChild(child);
    } else {
        child->mergeWithRepresentation(representation);
    }
    return child;
}

std::shared_ptr<QVFile> QVFile::addFileAtPath(const QString& path) {
    if (!containsPath(path)) return nullptr;
    const auto self = shared_from_this();
    for (const auto& child : List(children(true))) {
        if (child->path() == path) {
            child->contentsDidChange();
            return child;
        }
        if (child->containsPath(path)) return child->addFileAtPath(path);
    }
    const QString prefix = StringUtilities::stringWithTrailingSlash(this->path());
    const qsizetype slash = path.indexOf(QLatin1Char('/'), prefix.size());
    // A file deeper than any child: the folders between get nodes of their own.
    const QString nodePath = slash < 0 ? path : path.left(slash);
    auto node = create(nodePath, self);
    node->setDelegate(_delegate);
    addChild(node);
    refreshFile(self);
    if (slash >= 0) return node->addFileAtPath(path);
    node->contentsDidChange();
    return node;
}

bool QVFile::containsPath(const QString& path) const {
    return isFolder() && path.startsWith(StringUtilities::stringWithTrailingSlash(this->path()));
}

void QVFile::mergeWithRepresentation(const std::shared_ptr<QVFileRepresentation>& representation) {
    if (!representation) return;
    const auto self = shared_from_this();
    if (representation->isLocal()) {
        if (_localRepresentation) return;
        adoptLocalRepresentation(representation);
        if (_expanded && isFolder()) startWatching();  // the type of a link is not read for a node just made
    } else {
        if (_remoteRepresentation) return;
        _remoteRepresentation = std::static_pointer_cast<QVRemoteFileRepresentation>(representation);
        _remoteRepresentation->setDelegate(std::weak_ptr<QVFileRepresentationDelegate>(self));
        _remoteMadeForUpload = false;
        // A folder opened before the site's listing reached it shows only its local children
        // until its new remote side is asked for its own.
        if (_children && isFolder()) _remoteRepresentation->loadChildren();
    }
    refreshFile(self);
}

std::shared_ptr<QVRemoteFileRepresentation> QVFile::newRemoteRepresentation() {
    const auto queue = remoteQueue();
    auto remote = queue ? queue->newRepresentation(path()) : std::make_shared<QVRemoteFileRepresentation>(path());
    remote->setDelegate(std::weak_ptr<QVFileRepresentationDelegate>(shared_from_this()));
    remote->setRemoteQueue(queue);
    return remote;
}

void QVFile::loadRemoteRepresentation() {
    const auto self = shared_from_this();
    // Every remote side follows the tree to its new queue, files included: a side left on
    // the old queue would upload into a closed connection for ever.
    if (_remoteRepresentation) _remoteRepresentation->setRemoteQueue(remoteQueue());
    if (!_children) return;
    if (_remoteRepresentation) {
        _remoteRepresentation->reloadChildren();
    } else {
        _remoteRepresentation = newRemoteRepresentation();
        _remoteMadeForUpload = false;
        _remoteRepresentation->loadChildren();
    }
    for (const auto& child : List(*_children)) child->loadRemoteRepresentation();
}

void QVFile::refresh(bool localOnly) {
    if (!isFolder()) return;
    const auto self = shared_from_this();
    if (_localRepresentation) _localRepresentation->reloadChildren();
    if (!localOnly && _remoteRepresentation) _remoteRepresentation->reloadChildren();
    if (_children)
        for (const auto& child : List(*_children)) child->refresh(localOnly);
}

void QVFile::fileRepresentationDidLoadChildren(QVFileRepresentation* representation, const QVFileRepresentationList& list) {
    const auto self = shared_from_this();
    bool added = false;
    if (!_children) _children.emplace();
    List& mine = *_children;
    if (mine.isEmpty()) {
        // A first listing into an empty folder: made at once and sorted once, as adding them
        // one by one would (equal names keep the listing's order; a repeated name merges into
        // the first). Sorting by case-folded keys orders as the case-insensitive comparison.
        struct Listed {
            const QString* name;  // the listing's own, which outlives this
            QString folded;       // the key, when the name is not its own
            std::shared_ptr<QVFile> node;
            std::u16string_view key() const { return unitsOf(folded.isNull() ? *name : folded); }
        };
        // A node for each entry, made as create() makes one with only the steps a node just
        // made needs: it has no delegate to tell yet, nor any side to merge with.
        const std::weak_ptr<QVFile> parent = self;
        const auto childNode = [&](const std::shared_ptr<QVFileRepresentation>& child) {
            std::shared_ptr<QVFile> node = NodePool::make<QVFile::Made>();
            node->_parent = parent;
            if (child->isLocal()) {
                node->_localRepresentation = std::static_pointer_cast<QVLocalFileRepresentation>(child);
                child->setDelegate(std::weak_ptr<QVFileRepresentationDelegate>(node));
            } else {
                node->mergeWithRepresentation(child);
            }
            node->_delegate = _delegate;
            return node;
        };
        std::vector<Listed> made;
        made.reserve(size_t(list.size()));
        const auto filters = QVFileFilters::sharedFilters()->matcher();
        for (const auto& child : list) {
            const QString& name = child->name();
            if (filters.matches(name)) continue;
            foldedKey(name, made.emplace_back(Listed{&name, QString(), childNode(child)}).folded);
        }
        // Positions are sorted, not the entries: no entry moves, and the listing's position
        // breaks ties as a stable sort would.
        struct Position {
            quint64 prefix;
            quint32 index;
        };
        std::vector<Position> order(made.size());
        for (quint32 i = 0; i < order.size(); ++i) order[i] = {packedPrefix(made[i].key()), i};
        std::sort(order.begin(), order.end(), [&made](const Position& a, const Position& b) {
            if (a.prefix != b.prefix) return a.prefix < b.prefix;
            const int c = made[a.index].key().compare(made[b.index].key());
            return c < 0 || (c == 0 && a.index < b.index);
        });
        mine.reserve(qsizetype(made.size()));
        for (size_t i = 0; i < order.size(); ++i) {
            auto& node = made[order[i].index].node;
            // A repeated name merges into the first; equal names have equal keys, next to each other.
            for (size_t j = i; j-- > 0 && order[j].prefix == order[i].prefix &&
                               made[order[j].index].key() == made[order[i].index].key();) {
                auto& earlier = made[order[j].index].node;
                if (earlier && *made[order[j].index].name == *made[order[i].index].name) {
                    const auto representation = node->preferredRepresentation()->shared_from_this();
                    node->dropLocalRepresentation();
                    node->dropRemoteRepresentation();
                    earlier->mergeWithRepresentation(representation);
                    node.reset();
                    break;
                }
            }
        }
        for (const Position& p : order)
            if (made[p.index].node) mine.append(std::move(made[p.index].node));
        added = !mine.isEmpty();
    } else {
        for (const auto& child : list) {
            if (nameMatchesFilters(child->name())) continue;
            addChildRepresentation(child);
            added = true;
        }
    }
    if (added && representation == _remoteRepresentation.get()) refreshFile(self);
}

void QVFile::fileRepresentationDidReloadChildren(QVFileRepresentation* representation, const QVFileRepresentationList& list) {
    const auto self = shared_from_this();
    QHash<QString, std::shared_ptr<QVFileRepresentation>> appeared;
    for (const auto& child : list) appeared.insert(child->name(), child);
    QHash<QString, std::shared_ptr<QVFile>> vanished;
    for (const auto& child : children(false)) vanished.insert(child->name(), child);
    const bool local = representation->isLocal();
    const bool remoteOnlyTree = remoteOnly();
    bool changed = false;
    for (auto it = vanished.begin(); it != vanished.end();) {
        const auto found = appeared.constFind(it.key());
        if (found == appeared.constEnd()) {
            ++it;
            continue;
        }
        if (!(remoteOnlyTree && (*found)->isLocal())) {
            if (local && it.value()->_localRepresentation) it.value()->localAttributesMayHaveChanged();
            it.value()->mergeWithRepresentation(*found);
        }
        changed = true;
        appeared.remove(it.key());
        it = vanished.erase(it);
    }
    for (const auto& child : std::as_const(appeared)) {
        if (nameMatchesFilters(child->name())) continue;
        if (remoteOnlyTree && child->isLocal()) continue;
        addChildRepresentation(child);
        changed = true;
    }
    for (const auto& child : std::as_const(vanished)) {
        if (local && child->_localRepresentation) {
            child->localRepresentationDisappeared();
            changed = true;
        } else if (!local && child->_remoteRepresentation) {
            child->remoteRepresentationDisappeared();
            changed = true;
        }
    }
    if (changed) refreshFile(self);
}

void QVFile::localAttributesMayHaveChanged() {
    const bool wasFolder = isFolder();
    _localRepresentation->loadFileAttributes();
    if (!wasFolder || isFolder() || !_children) return;
    // A folder replaced by a file: what was listed inside it is gone from the disk.
    for (const auto& child : List(*_children)) child->localRepresentationDisappeared();
    stopWatching();
}

void QVFile::localRepresentationDisappeared() {
    const auto self = shared_from_this();
    if (_children)
        for (const auto& child : List(*_children)) child->localRepresentationDisappeared();
    if (const auto document = this->document()) document->fileContentsDisappeared();
    dropLocalRepresentation();
    if (_remoteRepresentation) {
        setActiveRepresentation(1);
        stopWatchingFile();
    } else {
        leaveParent();
    }
}

void QVFile::remoteRepresentationDisappeared() {
    const auto self = shared_from_this();
    if (_children)
        for (const auto& child : List(*_children)) child->remoteRepresentationDisappeared();
    dropRemoteRepresentation();
    if (!_localRepresentation) leaveParent();
    else setActiveRepresentation(0);
}

void QVFile::leaveParent() {
    if (const auto parent = this->parent()) {
        parent->removeChild(this);
        clearParent(parent.get());
    }
}

void QVFile::dropLocalRepresentation() {
    if (!_localRepresentation) return;
    seldom().lastName = _localRepresentation->name();
    _localRepresentation->setDelegate({});
    _localRepresentation.reset();
}

void QVFile::dropRemoteRepresentation() {
    if (!_remoteRepresentation) return;
    if (!_localRepresentation) seldom().lastName = _remoteRepresentation->name();
    _remoteRepresentation->setDelegate({});
    _remoteRepresentation.reset();
    _remoteMadeForUpload = false;
}

// Watching.

void QVFile::watch(QVFileWatcherType type) {
    if (QVFileWatcher* watcher = fileWatcher()) watcher->watchFile(shared_from_this(), type);
}

void QVFile::stopWatchingFile() {
    if (QVFileWatcher* watcher = fileWatcher()) watcher->stopWatchingFile(this);
}

void QVFile::startWatching() {
    if (isFolder() && (_expanded || _everExpanded)) {
        watch(QVFileWatcherTypeWriteRevoke);
        if (_children)
            for (const auto& child : *_children)
                if (child->isFolder() && child->expanded()) child->startWatching();
    } else {
        // Deletions and renames too: a file another program renamed over this one (sed -i, git)
        // leaves the old inode behind, which hears no write.
        watch(QVFileWatcherTypeAll);
    }
}

void QVFile::stopWatching() {
    if (!isFolder()) return;
    stopWatchingFile();
    if (_children)
        for (const auto& child : *_children) child->stopWatching();
}

void QVFile::watcherNoticedChange(quint64 events) {
    // The watcher's thread: the node may be gone by the time the main thread gets to it.
    MainQueue::post([weak = weak_from_this(), events] {
        const auto self = weak.lock();
        if (!self) return;
        if (self->isFolder()) {
            if (const auto local = self->_localRepresentation) local->reloadChildren();
            return;
        }
        if (events & (QVFileWatcherEventDelete | QVFileWatcherEventRename | QVFileWatcherEventRevoke)) {
            // The inode watched is gone from the path. A file at the path again is the file
            // replaced (a change): watch the new one. Nothing there is a deletion.
            if (!FileName::exists(self->path())) {
                if (self->_localRepresentation && self->document()) self->localRepresentationDisappeared();
                return;
            }
            if (QVFileWatcher* watcher = self->fileWatcher()) watcher->resetForFile(self.get(), QVFileWatcherTypeAll);
        }
        if (const auto document = self->document()) document->fileContentsChangedExternally();
    });
}

// Version-control status.

QString QVFile::scmStatusLetter() const {
    const auto status = scmStatus();
    return status ? status->workingCopyStatusLetter() : QString();
}

bool QVFile::hasLocalModifications() const {
    const auto status = scmStatus();
    return status && status->workingCopyStatus() == QVSCMStatusEntry::ModifiedStatus;
}

bool QVFile::isInRepository() const {
    const auto status = scmStatus();
    return !status || status->workingCopyStatus() != QVSCMStatusEntry::UnversionedStatus;
}

void QVFile::clearSCMStatus(bool recursive) {
    setSCMStatus(nullptr);
    if (!_children) return;
    for (const auto& child : *_children) {
        if (recursive) child->clearSCMStatus(true);
        else child->setSCMStatus(nullptr);
    }
}

void QVFile::setChildrenSCMStatusFromEntries(const QList<std::shared_ptr<const QVSCMStatusEntry>>& entries) {
    for (const auto& entry : entries) {
        if (!entry) continue;
        // The folder's own entry ("." where its status ran): its own letter.
        if (entry->path().isEmpty() || entry->path() == QLatin1String(".")) {
            setSCMStatus(entry);
            continue;
        }
        if (const auto node = childWithPath(entry->path().split(QLatin1Char('/'), Qt::SkipEmptyParts), false))
            node->setSCMStatus(entry);
    }
}

// Operations.

void QVFile::refreshFile(const std::shared_ptr<QVFile>& file) {
    if (const auto delegate = _delegate.lock()) delegate->fileNeedsRefresh(file);
}

void QVFile::presentError(const QVError& error) {
    if (const auto delegate = _delegate.lock()) delegate->presentErrorAlert(error);
}

std::shared_ptr<QVRemoteFileRepresentation> QVFile::remoteSideOnDemand() {
    if (!_remoteRepresentation && remoteQueue()) {
        _remoteRepresentation = newRemoteRepresentation();
        _remoteMadeForUpload = true;
    }
    return _remoteRepresentation;
}

void QVFile::upload() { uploadForSave(0); }

void QVFile::uploadForSave(quint64 save) {
    if (!remoteQueue()) return;
    const auto self = shared_from_this();
    // Every transfer of a file is counted, so each end reaches the save it belongs to.
    if (!isFolder()) seldom().uploadSaves.append(save);
    if (const auto parent = this->parent()) parent->childWillUpload();
    _hasPendingOperation = true;
    if (const auto remote = remoteSideOnDemand()) remote->upload();
}

void QVFile::childWillUpload() {
    // The top node stands for the site's folder itself, which is never made.
    if (!remoteQueue() || _remoteRepresentation || !parent()) return;
    const auto self = shared_from_this();
    parent()->childWillUpload();
    _hasPendingOperation = true;
    if (const auto remote = remoteSideOnDemand()) remote->makeDirectory();
}

void QVFile::contentsDidChange(quint64 save) {
    const auto self = shared_from_this();
    const auto delegate = _delegate.lock();
    const auto queue = remoteQueue();
    if (delegate && queue && delegate->fileShouldUpload(self)) {
        uploadForSave(save);
        if (!remoteOnly() && !queue->isOnline()) {
            if (const auto document = this->document()) document->fileContentChangeFinished(save);
            presentError(QVError::app(18, QVLocalized(QStringLiteral("UPLOAD_WHILE_OFFLINE_TITLE")),
                                      QVLocalized(QStringLiteral("UPLOAD_WHILE_OFFLINE_BODY"))));
        }
        if (isFolder()) return;
    } else {
        if (isFolder()) return;
        if (const auto document = this->document()) document->fileContentChangeFinished(save);
        // Uploads were asked for, but the project is not logged in (its login was cancelled or
        // never made): the site keeps its old text, which a save must not pass over in silence.
        if (delegate && !queue && delegate->fileShouldUpload(self))
            presentError(QVError::app(18, QVLocalized(QStringLiteral("UPLOAD_WHILE_OFFLINE_TITLE")),
                                      QVLocalized(QStringLiteral("UPLOAD_WHILE_LOGGED_OUT_BODY"))));
    }
    if (QVFileWatcher* watcher = fileWatcher()) watcher->resetForFile(this, QVFileWatcherTypeAll);
}

void QVFile::download() {
    if (!remoteQueue()) return;
    _hasPendingOperation = true;
    if (const auto remote = remoteSideOnDemand()) remote->download();
}

bool QVFile::contentAvailable(bool download) {
    if (_localRepresentation || (_remoteRepresentation && !_remoteRepresentation->localPath().isEmpty())) return true;
    if (download && _remoteRepresentation) this->download();
    return false;
}

void QVFile::deleteFile() {
    const auto self = shared_from_this();
    _hasPendingOperation = true;
    if (const auto remote = _remoteRepresentation) remote->deleteFile();
    else if (const auto local = _localRepresentation) local->deleteFile(false);
    else _hasPendingOperation = false;
}

void QVFile::duplicate() {
    const auto local = _localRepresentation;
    if (!local) return;
    const auto self = shared_from_this();
    _hasPendingOperation = true;
    local->duplicate();
}

void QVFile::moveToTrash() {
    const auto self = shared_from_this();
    if (const auto local = _localRepresentation) local->moveToTrash();
}

bool QVFile::contextFor(const std::shared_ptr<QVFile>& folder, const QString& name, QVFileContext* context) {
    context->reset();
    if (!folder) return true;
    const auto sibling = folder->childWithName(name, false);
    if (!sibling || sibling.get() == this) return true;
    if ((sibling->_localRepresentation && _localRepresentation) || (sibling->_remoteRepresentation && _remoteRepresentation)) {
        presentError(LocalFileOperations::fileError(StringUtilities::stringWithTrailingSlash(folder->path()) + name, EEXIST));
        return false;
    }
    *context = sibling;
    return true;
}

void QVFile::rename(const QString& name) {
    if (name == this->name()) return;
    const auto self = shared_from_this();
    QVFileContext context;
    if (!contextFor(parent(), name, &context)) return;
    _hasPendingOperation = true;
    if (const auto remote = _remoteRepresentation) remote->rename(name, context);
    else if (const auto local = _localRepresentation) local->rename(name, context);
}

bool QVFile::moveToFile(const std::shared_ptr<QVFile>& destination) {
    if (newParent() || !destination) return false;
    const auto self = shared_from_this();
    QVFileContext context;
    if (!contextFor(destination, name(), &context)) return false;
    seldom().newParent = destination;
    const QString target = StringUtilities::stringWithTrailingSlash(destination->path()) + name();
    if (const auto local = _localRepresentation) return local->moveToPath(target, context);
    if (const auto remote = _remoteRepresentation) return remote->moveToPath(target, context);
    if (_seldom) _seldom->newParent.reset();
    return false;
}

QString QVFile::downloadFolder() {
    static std::mutex lock;
    static QString folder;
    std::lock_guard<std::mutex> locker(lock);
    if (!folder.isEmpty() && FileName::isFolder(folder)) return folder;
    const QString scratch = ScratchFolder::path();
    if (scratch.isEmpty()) return {};
    QByteArray pattern = FileName::encode(scratch + QStringLiteral("/downloads-XXXXXX"));
    if (!::mkdtemp(pattern.data())) return {};  // made 0700
    folder = FileName::decode(pattern);
    return folder;
}

QString QVFile::pathForRemoteFileRepresentation(QVFileRepresentation*, QVError* error) {
    const auto self = shared_from_this();
    bool overwrite = false;
    if (const auto delegate = _delegate.lock()) overwrite = delegate->downloadShouldOverwriteLocalFile(self).value_or(false);
    if (overwrite || !_localRepresentation) return path();
    // Never a predictable name in a shared folder: the run's private folder, or nothing.
    const QString base = downloadFolder();
    const QString folder = base.isEmpty() ? QString() : base + QLatin1Char('/') + uuid();
    if (folder.isEmpty() || (!FileName::isFolder(folder) && ::mkdir(FileName::encode(folder).constData(), 0700) != 0)) {
        qvSetError(error, LocalFileOperations::fileError(folder.isEmpty() ? ScratchFolder::defaultPath() : folder,
                                                         errno ? errno : EACCES));
        return {};
    }
    return folder + QLatin1Char('/') + name();
}

void QVFile::fileRepresentationContentBecameAvailable(QVFileRepresentation* representation) {
    const auto self = shared_from_this();
    if (representation == _remoteRepresentation.get() && !_localRepresentation) {
        const auto local = std::make_shared<QVLocalFileRepresentation>(path());
        mergeWithRepresentation(local);
    }
    // A download replaces the file with a new one: the watch follows it at once, not only when
    // the old one's removal is noticed.
    if (QVFileWatcher* watcher = fileWatcher()) watcher->resetForFile(this, QVFileWatcherTypeAll);
    if (const auto delegate = _delegate.lock()) delegate->fileContentBecameAvailable(self);
    _hasPendingOperation = false;
}

void QVFile::fileRepresentationContentChangeFinished(QVFileRepresentation*) {
    const auto self = shared_from_this();
    _remoteMadeForUpload = false;
    if (isFolder()) refreshFile(self);
    else if (_seldom && !_seldom->uploadSaves.isEmpty()) {
        const quint64 save = _seldom->uploadSaves.takeFirst();
        if (const auto document = this->document()) document->fileContentChangeFinished(save);
    }
    _hasPendingOperation = false;
}

void QVFile::fileRepresentationHadError(QVFileRepresentation*, const QVError& error) { presentError(error); }

void QVFile::fileRepresentationDidDelete(QVFileRepresentation* representation, bool success) {
    const auto self = shared_from_this();
    const bool remote = representation == _remoteRepresentation.get();
    if (success && remote && _localRepresentation) {
        // The remote file is gone; the local one goes into the Trash, where it can be had back.
        _localRepresentation->deleteFile(true);
        return;
    }
    if (success) {
        const auto parent = this->parent();
        dropLocalRepresentation();
        dropRemoteRepresentation();
        leaveParent();
        if (const auto delegate = _delegate.lock(); delegate && parent) delegate->fileRemovedChild(parent, self);
    } else if (!remote && _remoteRepresentation) {
        dropRemoteRepresentation();
        refreshFile(self);
    }
    _hasPendingOperation = false;
}

void QVFile::fileRepresentationDidDuplicate(QVFileRepresentation*, const std::shared_ptr<QVFileRepresentation>& copy) {
    const auto self = shared_from_this();
    const auto parent = this->parent();
    if (copy && parent) {
        const auto node = parent->addChildRepresentation(copy);
        refreshFile(parent);
        if (const auto delegate = _delegate.lock()) delegate->fileWasDuplicatedToFile(self, node);
    } else {
        SystemLog::error(QStringLiteral("DUPLICATION ERROR"));
    }
    _hasPendingOperation = false;
}

void QVFile::fileRepresentationDidMoveToTrash(QVFileRepresentation*, bool success) {
    const auto self = shared_from_this();
    if (!success) {
        SystemLog::error(QStringLiteral("MOVE TO TRASH ERROR"));
        return;
    }
    const auto parent = this->parent();
    dropLocalRepresentation();
    if (_remoteRepresentation) {
        if (parent) refreshFile(parent);
        return;
    }
    stopWatching();
    leaveParent();
    if (const auto delegate = _delegate.lock(); delegate && parent) delegate->fileRemovedChild(parent, self);
}

void QVFile::pathDidChange() {
    if (const auto document = this->document()) document->filePathDidChange();
    if (_children)
        for (const auto& child : List(*_children)) child->pathDidChange();
}

void QVFile::fileRepresentationDidRename(QVFileRepresentation* representation, bool success, const QVFileContext& context) {
    const auto self = shared_from_this();
    const auto parent = this->parent();
    const bool remote = representation == _remoteRepresentation.get();
    if (success && remote && _localRepresentation) {
        _localRepresentation->rename(representation->name(), nullptr);
        return;
    }
    if (success) {
        // Put back in order, so the folder's list stays sorted by name.
        if (parent && (!context || !remote)) {
            parent->removeChild(this);
            parent->addChild(self);
        }
        pathDidChange();
        if (context) mergeWithSiblingFile(context, representation);
        else refreshFile(self);
    } else if (!remote && _remoteRepresentation && parent) {
        splitRepresentations(parent);
        refreshFile(parent);
    }
    _hasPendingOperation = false;
}

void QVFile::swapInNewParent() {
    const auto self = shared_from_this();
    const auto old = parent();
    const auto destination = newParent();
    if (old) old->removeChild(this);
    _parent = destination;
    if (destination) destination->addChild(self);
    if (old) refreshFile(old);
    if (destination) refreshFile(destination);
    if (_seldom) _seldom->newParent.reset();
    // A move across file systems leaves a new inode behind the path: a watched node follows it.
    if (QVFileWatcher* watcher = fileWatcher())
        watcher->resetForFile(this, isFolder() && _everExpanded ? QVFileWatcherTypeWriteRevoke : QVFileWatcherTypeAll);
    pathDidChange();
}

void QVFile::fileRepresentationDidMove(QVFileRepresentation* representation, bool success, const QVFileContext& context) {
    const auto self = shared_from_this();
    const bool remote = representation == _remoteRepresentation.get();
    if (success && !remote && _remoteRepresentation && newParent()) {
        _hasPendingOperation = true;
        _remoteRepresentation->moveToPath(StringUtilities::stringWithTrailingSlash(newParent()->path()) + name(), nullptr);
        return;
    }
    if (success) {
        swapInNewParent();
        if (context) mergeWithSiblingFile(context, representation);
        _hasPendingOperation = false;
        return;
    }
    const auto old = parent();
    if (remote && _localRepresentation && newParent()) {
        // The local side moved, the remote one did not: the remote side stays where it was.
        swapInNewParent();
        if (old) splitRepresentations(old);
    }
    if (_seldom) _seldom->newParent.reset();
    if (old) refreshFile(old);
    _hasPendingOperation = false;
}

void QVFile::splitRepresentations(const std::shared_ptr<QVFile>& folder) {
    if (!_remoteRepresentation || !folder) return;
    const auto self = shared_from_this();
    const auto remote = _remoteRepresentation;
    dropRemoteRepresentation();
    const auto counterpart = folder->addChildRepresentation(remote);
    if (!_localRepresentation) leaveParent();
    if (_children)
        for (const auto& child : List(*_children)) child->splitRepresentations(counterpart);
}

void QVFile::mergeWithSiblingFile(const std::shared_ptr<QVFile>& sibling, QVFileRepresentation* moved) {
    const auto self = shared_from_this();
    const auto parent = this->parent();
    if (moved == _remoteRepresentation.get()) {
        const auto remote = _remoteRepresentation;
        dropRemoteRepresentation();
        sibling->mergeWithRepresentation(remote);
        if (parent) parent->removeChild(this);
        clearParent(parent.get());
    } else {
        const auto remote = sibling->_remoteRepresentation;
        sibling->dropRemoteRepresentation();
        mergeWithRepresentation(remote);
        if (parent) parent->removeChild(sibling.get());
        sibling->clearParent(parent.get());
    }
    if (parent) refreshFile(parent);
}

void QVFile::fileRepresentationFailed(QVFileRepresentation* representation, QVFileOperation operation, const QVError& error) {
    const auto self = shared_from_this();
    switch (operation) {
    case QVFileOperation::Upload:
    case QVFileOperation::MakeDirectory: {
        // Nothing shows as uploaded: a remote side made only for this upload goes again, unless a
        // later save's upload waits on it (a save while this transfer ran), whose end still has
        // to reach the document.
        const bool laterUploadWaits = operation == QVFileOperation::Upload && _seldom && _seldom->uploadSaves.size() > 1;
        if (_remoteMadeForUpload && representation == _remoteRepresentation.get() && !laterUploadWaits) dropRemoteRepresentation();
        if (!isFolder() && operation == QVFileOperation::Upload && _seldom && !_seldom->uploadSaves.isEmpty()) {
            const quint64 save = _seldom->uploadSaves.takeFirst();
            if (const auto document = this->document()) document->fileContentChangeFailed(save, error);
        }
        refreshFile(self);
        break;
    }
    case QVFileOperation::Move:
        if (representation == _remoteRepresentation.get() && _localRepresentation && newParent()) {
            const auto old = parent();
            swapInNewParent();
            if (old) splitRepresentations(old);
        }
        if (const auto old = parent()) refreshFile(old);
        if (_seldom) _seldom->newParent.reset();
        break;
    default:
        break;
    }
    _hasPendingOperation = false;
    // A listing dropped with a refused login: the login's question says it, once.
    if (operation == QVFileOperation::List && error.userInfoValue(QString::fromLatin1(QVRemoteLoginRefusedKey)).toBool()) return;
    // So is a listing a cancel removed with the one it ended.
    if (operation == QVFileOperation::List && error.userInfoValue(QString::fromLatin1(QVRemoteCancelledWithOthersKey)).toBool()) return;
    presentError(error);
}
