// The result node of one file.
#include "tools/QVMultiFileSearchNode.h"

#include "shell/WorkspaceUtilities.h"

#include <QFileInfo>
#include <QHash>

std::shared_ptr<QVMultiFileSearchNode> QVMultiFileSearchNode::create(const QString& path) {
    std::shared_ptr<QVMultiFileSearchNode> node(new QVMultiFileSearchNode);
    node->setPath(path);
    if (path.startsWith(QLatin1Char('/'))) {
        const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
        node->_name = QStringLiteral("%1 %2 %3").arg(path.mid(slash + 1), QChar(0x2014), path.left(slash));
    } else {
        node->_name = path;
    }
    return node;
}

QVMultiFileSearchNode::~QVMultiFileSearchNode() {
    NotificationCenter::defaultCenter().removeObserver(_closeToken);
}

void QVMultiFileSearchNode::setDocument(const std::shared_ptr<QVSearchDocument>& document) {
    if (document == _document) return;
    NotificationCenter::defaultCenter().removeObserver(_closeToken);
    _closeToken = 0;
    _document = document;
    if (document) {
        std::weak_ptr<QVMultiFileSearchNode> weak = weak_from_this();
        _closeToken = NotificationCenter::defaultCenter().addObserver(
            QVSearchDocumentWillClose, document->notificationObject(), [weak](const Notification&) {
                if (auto self = weak.lock()) self->setDocument(nullptr);
            });
    }
    invalidateIcon();
}

void QVMultiFileSearchNode::setPath(const QString& path) {
    if (path == _path && _iconLoaded) return;
    _path = path;
    invalidateIcon();
}

void QVMultiFileSearchNode::setSearchResults(QList<QVSearchResult> results) {
    _searchResults = std::move(results);
    const std::shared_ptr<void> self = shared_from_this();
    for (QVSearchResult& result : _searchResults) result.setParent(self);
}

const QImage& QVMultiFileSearchNode::icon() const {
    if (!_iconLoaded) const_cast<QVMultiFileSearchNode*>(this)->loadIcon();
    return _icon;
}

void QVMultiFileSearchNode::loadIcon() {
    // The workspace names a file's icon by its type, which its name's suffix decides for the
    // files a search lists: one look-up per suffix, since asking for each file reads it.
    static QHash<QString, QImage> bySuffix;
    const QSize size(16, 16);
    _iconLoaded = true;
    const QFileInfo info(_path);
    if (_path.isEmpty() || !info.exists()) {
        _icon = WorkspaceUtilities::fileIconOfSize(size);
        return;
    }
    const QString suffix = info.isDir() ? QStringLiteral("/") : info.suffix().toLower();
    auto it = bySuffix.constFind(suffix);
    if (it == bySuffix.constEnd()) it = bySuffix.insert(suffix, WorkspaceUtilities::iconForFile(_path, size));
    _icon = *it;
}
