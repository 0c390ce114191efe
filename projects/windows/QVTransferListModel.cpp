// The lists of a transfer tab.
#include "projects/windows/QVTransferListModel.h"

#include "platform/AppBundle.h"
#include "platform/FileName.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMimeData>
#include <QPixmap>
#include <QUrl>

#include <algorithm>

namespace {

bool lessByName(const QVTransferListModel::Entry& a, const QVTransferListModel::Entry& b) {
    const int order = a.name.compare(b.name, Qt::CaseInsensitive);
    return order != 0 ? order < 0 : a.name < b.name;
}

}  // namespace

QVTransferListModel::Entry QVTransferListModel::entry(const QVLocalFile& file) {
    return {file.name(), {}, file.isDirectory(), file.size(), file.sizeString(),
            file.date().toString(QStringLiteral("yyyy-MM-dd HH:mm")), file.mode(), file.icon()};
}

QVTransferListModel::Entry QVTransferListModel::entry(const QVRemoteFile& file) {
    return {file.name(), file.path(), file.isDirectory(), file.size(), file.sizeString(),
            file.dateString(), file.modeString(), file.icon(), file.isListedTwice()};
}

QVTransferListModel::QVTransferListModel(Side side, QObject* parent) : QAbstractTableModel(parent), _side(side) {}

void QVTransferListModel::sortEntries() { std::stable_sort(_entries.begin(), _entries.end(), lessByName); }

void QVTransferListModel::setEntries(QList<Entry> entries) {
    beginResetModel();
    _entries = std::move(entries);
    sortEntries();
    endResetModel();
}

void QVTransferListModel::addEntry(const Entry& entry) {
    const auto at = std::upper_bound(_entries.begin(), _entries.end(), entry, lessByName);
    const int row = int(at - _entries.begin());
    beginInsertRows({}, row, row);
    _entries.insert(row, entry);
    endInsertRows();
}

bool QVTransferListModel::removeEntryAt(int row) {
    if (row < 0 || row >= _entries.size()) return false;
    beginRemoveRows({}, row, row);
    _entries.removeAt(row);
    endRemoveRows();
    return true;
}

int QVTransferListModel::indexOfName(const QString& name) const {
    for (int i = 0; i < _entries.size(); ++i)
        if (_entries[i].name == name) return i;
    return -1;
}

int QVTransferListModel::indexOfPath(const QString& path) const {
    for (int i = 0; i < _entries.size(); ++i)
        if (_entries[i].path == path) return i;
    return -1;
}

void QVTransferListModel::renameEntry(int row, const QString& name, const QString& path) {
    if (row < 0 || row >= _entries.size()) return;
    Entry renamed = _entries[row];
    renamed.name = name;
    if (!path.isEmpty()) renamed.path = path;
    removeEntryAt(row);
    addEntry(renamed);
}

int QVTransferListModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : int(_entries.size()); }
int QVTransferListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant QVTransferListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= _entries.size()) return {};
    const Entry& e = _entries[index.row()];
    if (role == Qt::DecorationRole && index.column() == NameColumn) return QPixmap::fromImage(e.icon);
    if (role == Qt::EditRole && index.column() == NameColumn) return FileName::editable(e.name);
    if (role == Qt::ToolTipRole && index.column() == NameColumn) return FileName::readable(e.path.isEmpty() ? e.name : e.path);
    if (role != Qt::DisplayRole) return {};
    switch (index.column()) {
    // Bytes that are not UTF-8 as Latin-1, controls pictured; marked.
    case NameColumn: return e.listedTwice ? FileName::shown(e.name) + QVLocalized(QStringLiteral(" (listed twice)")) : FileName::shown(e.name);
    case SizeColumn: return e.sizeString;
    case DateColumn: return e.date;
    case ModeColumn: return e.mode;
    default: return {};
    }
}

QVariant QVTransferListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    static const char* titles[] = {"Name", "Size", "Date", "Permissions"};
    return section >= 0 && section < ColumnCount ? QVLocalized(QString::fromLatin1(titles[section])) : QVariant();
}

Qt::ItemFlags QVTransferListModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::ItemIsDropEnabled;
    Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled;
    if (index.column() == NameColumn) flags |= Qt::ItemIsEditable;
    return flags;
}

bool QVTransferListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::EditRole || !index.isValid() || index.column() != NameColumn) return false;
    const QString name = FileName::fromEditable(value.toString());
    if (name.isEmpty() || name == _entries.value(index.row()).name || !onRename) return false;
    return onRename(index.row(), name);
}

QStringList QVTransferListModel::mimeTypes() const {
    // The local list takes only remote entries; the remote list local ones and files from outside.
    return _side == Local ? QStringList{RemoteDragType} : QStringList{LocalDragType, FileNamesType};
}

QMimeData* QVTransferListModel::mimeData(const QModelIndexList& indexes) const {
    QList<int> rows;
    for (const QModelIndex& index : indexes)
        if (index.isValid() && !rows.contains(index.row())) rows.append(index.row());
    if (rows.isEmpty()) return nullptr;
    std::sort(rows.begin(), rows.end());
    QJsonArray names;
    QList<QUrl> urls;
    for (int row : rows) {
        const Entry& e = _entries[row];
        names.append(QJsonObject{{"name", e.name}, {"path", e.path}, {"folder", e.isDirectory}});
        if (_side == Local) urls.append(QUrl::fromLocalFile(_folder + u'/' + e.name));
    }
    const QJsonObject object{{"pid", qint64(QCoreApplication::applicationPid())},
                             {"token", _token},
                             {"folder", _folder},
                             {"entries", names}};
    auto* data = new QMimeData;
    data->setData(_side == Local ? LocalDragType : RemoteDragType, QJsonDocument(object).toJson(QJsonDocument::Compact));
    if (!urls.isEmpty()) data->setUrls(urls);
    return data;
}

std::optional<QVTransferListModel::DragPayload> QVTransferListModel::payload(const QMimeData* data) {
    if (!data) return std::nullopt;
    for (Side side : {Local, Remote}) {
        const QString type = side == Local ? LocalDragType : RemoteDragType;
        if (!data->hasFormat(type)) continue;
        const QJsonDocument document = QJsonDocument::fromJson(data->data(type));
        const QJsonObject object = document.object();
        // Entries name files only inside this process: another one's are foreign.
        if (!document.isObject() || object.value("pid").toInteger(-1) != QCoreApplication::applicationPid()) return std::nullopt;
        DragPayload payload;
        payload.side = side;
        payload.token = object.value("token").toString();
        payload.folder = object.value("folder").toString();
        for (const QJsonValue& value : object.value("entries").toArray()) {
            const QJsonObject e = value.toObject();
            Entry entry;
            entry.name = e.value("name").toString();
            entry.path = e.value("path").toString();
            entry.isDirectory = e.value("folder").toBool();
            payload.entries.append(entry);
        }
        if (payload.token.isEmpty() || payload.entries.isEmpty()) return std::nullopt;
        return payload;
    }
    return std::nullopt;
}

bool QVTransferListModel::canDropMimeData(const QMimeData* data, Qt::DropAction, int, int, const QModelIndex&) const {
    if (!data) return false;
    if (_side == Local) return data->hasFormat(RemoteDragType);
    return data->hasFormat(LocalDragType) || data->hasUrls();
}

bool QVTransferListModel::dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column, const QModelIndex& parent) {
    if (action == Qt::IgnoreAction) return true;
    if (!canDropMimeData(data, action, row, column, parent) || !onDrop) return false;
    return onDrop(data);
}
