// One file in the results of the multi-file find: its path, the name of its header row, its
// icon, its open document while that stays open, and its matches.
#pragma once

#include "shell/QVSearchResult.h"
#include "platform/NotificationCenter.h"
#include "tools/QVSearchDocument.h"

#include <QImage>
#include <QList>
#include <QString>

#include <memory>

// Main thread only; the runner reads path() and document() of the nodes of a replace batch
// before the batch starts. Make nodes with create(): results point back at them.
class QVMultiFileSearchNode : public std::enable_shared_from_this<QVMultiFileSearchNode> {
public:
    // An absolute path is named "file — folder"; any other text (a display name) as it stands.
    static std::shared_ptr<QVMultiFileSearchNode> create(const QString& path);
    ~QVMultiFileSearchNode();
    QVMultiFileSearchNode(const QVMultiFileSearchNode&) = delete;
    QVMultiFileSearchNode& operator=(const QVMultiFileSearchNode&) = delete;

    std::shared_ptr<QVSearchDocument> document() const { return _document; }
    // Holds the document until it posts QVFileWillClose; reloads the icon.
    void setDocument(const std::shared_ptr<QVSearchDocument>& document);
    QString path() const { return _path; }
    void setPath(const QString& path);
    QString name() const { return _name; }
    void setName(const QString& name) { _name = name; }
    // Looked up when first asked for (a row drawn), not for every file a search reports.
    const QImage& icon() const;
    void setIcon(const QImage& icon) {
        _icon = icon;
        _iconLoaded = true;
    }
    const QList<QVSearchResult>& searchResults() const { return _searchResults; }
    // Takes the results and makes this node every result's parent.
    void setSearchResults(QList<QVSearchResult> results);
    // What the search read the file as, when that is worth a word on its row: other than as
    // UTF-8 for text that is not ASCII, or as UTF-8 holding bytes that are not. Empty otherwise.
    QString readNote() const { return _readNote; }
    void setReadNote(const QString& note) { _readNote = note; }
    // Read in the fallback: a replace writes only ASCII into it.
    bool readInFallback() const { return _readInFallback || (_document && _document->readInFallback()); }
    void setReadInFallback(bool fallback) { _readInFallback = fallback; }
    // Set while the file is searched again.
    bool active() const { return _active; }
    void setActive(bool active) { _active = active; }

    // The 16-point icon of the file on disk, or the generic document icon when it is gone.
    void loadIcon();
    // Forgets the icon; the next icon() looks it up again.
    void invalidateIcon() { _iconLoaded = false; }

private:
    QVMultiFileSearchNode() = default;

    std::shared_ptr<QVSearchDocument> _document;
    QString _path;
    QString _name;
    mutable QImage _icon;
    mutable bool _iconLoaded = false;
    QList<QVSearchResult> _searchResults;
    bool _active = false;
    QString _readNote;
    bool _readInFallback = false;
    NotificationCenter::Token _closeToken = 0;
};
