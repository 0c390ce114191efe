// The entries of one list of a transfer tab (the local folder's or the remote folder's), kept
// sorted by name without regard to case, folders and files mixed. Drags leave with the list's
// own type (side, folder, names and the token of the tab they come from); drops go to the
// tab, which decides what they mean.
#pragma once

#include "files/QVLocalFile.h"
#include "files/QVRemoteFile.h"

#include <QAbstractTableModel>
#include <QList>

#include <functional>

class QVTransferListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Side { Local = 0, Remote = 1 };
    enum Column { NameColumn = 0, SizeColumn, DateColumn, ModeColumn, ColumnCount };
    static inline const QString LocalDragType = QStringLiteral("application/x-qorvel-local-files");
    static inline const QString RemoteDragType = QStringLiteral("application/x-qorvel-remote-files");
    static inline const QString FileNamesType = QStringLiteral("text/uri-list");

    struct Entry {
        QString name;
        QString path;  // the remote path; empty for a local entry (its folder is the tab's)
        bool isDirectory = false;
        qint64 size = 0;
        QString sizeString;
        QString date;
        QString mode;
        QImage icon;
        bool listedTwice = false;  // the listing gave its path to another entry too
    };
    static Entry entry(const QVLocalFile& file);
    static Entry entry(const QVRemoteFile& file);

    // What a drag of this list carries.
    struct DragPayload {
        Side side = Local;
        QString token;   // the tab's
        QString folder;  // the folder the entries are in
        QList<Entry> entries;
    };
    // The payload of a drag, or nothing for other data (another process, a malformed one).
    static std::optional<DragPayload> payload(const QMimeData* data);

    explicit QVTransferListModel(Side side, QObject* parent = nullptr);
    Side side() const { return _side; }

    // The tab's token and the folder shown, put in every drag.
    void setDragSource(const QString& token, const QString& folder) { _token = token, _folder = folder; }

    const QList<Entry>& entries() const { return _entries; }
    void setEntries(QList<Entry> entries);
    void addEntry(const Entry& entry);
    bool removeEntryAt(int row);
    // The first entry named so (or with that path, on the remote side); -1 when none.
    int indexOfName(const QString& name) const;
    int indexOfPath(const QString& path) const;
    // Renames an entry (and its path) in place; the list is sorted again.
    void renameEntry(int row, const QString& name, const QString& path);

    // The tab's answers to renames and drops.
    std::function<bool(int row, const QString& name)> onRename;
    std::function<bool(const QMimeData* data)> onDrop;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QModelIndexList& indexes) const override;
    Qt::DropActions supportedDropActions() const override { return Qt::CopyAction; }
    Qt::DropActions supportedDragActions() const override { return Qt::CopyAction; }
    bool canDropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column, const QModelIndex& parent) const override;
    bool dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column, const QModelIndex& parent) override;

private:
    void sortEntries();
    Side _side;
    QString _token;
    QString _folder;
    QList<Entry> _entries;
};
