// The project settings table.
#include "projects/windows/QVProjectSettingsConfigurationController.h"

#include "platform/AppBundle.h"
#include "platform/PropertyList.h"
#include "projects/windows/QVVariableDataCellDelegate.h"

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>

QString QVProjectSettingsConfigurationItem::localizedKey() const {
    return AppBundle::main().localizedString(_key, _key, QStringLiteral("ProjectSettingTitles"));
}

QString QVProjectSettingsConfigurationItem::localizedDescription() const {
    return AppBundle::main().localizedString(_key, _key, QStringLiteral("ProjectSettingDescriptions"));
}

QList<QVProjectSettingsConfigurationItem> QVProjectSettingsConfigurationModel::knownSettings() {
    return {{QStringLiteral("QVRemotePreviewURL"), QString(QLatin1String(""))},
            {QStringLiteral("QVConnectAutomaticallyKey"), true},
            {QStringLiteral("QVUploadAutomaticallyKey"), true}};
}

void QVProjectSettingsConfigurationModel::loadConfiguration(const QVariantMap& stored) {
    beginResetModel();
    _items.clear();
    for (QVProjectSettingsConfigurationItem item : knownSettings()) {
        const QVariant value = stored.value(item.key());
        const bool flag = item.value().typeId() == QMetaType::Bool;
        // Project files are shared input: a flag must be a number, a text a string.
        if (flag && PropertyList::isFlag(value)) item.setValue(value.toDouble() != 0);
        else if (!flag && value.typeId() == QMetaType::QString) item.setValue(value);
        _items << item;
    }
    std::stable_sort(_items.begin(), _items.end(), [](const auto& a, const auto& b) {
        return a.localizedKey().compare(b.localizedKey()) < 0;
    });
    endResetModel();
}

QVariantMap QVProjectSettingsConfigurationModel::configurationDictionary() const {
    QVariantMap dictionary;
    for (const QVProjectSettingsConfigurationItem& item : _items)
        if (!item.key().isEmpty() && item.value().isValid()) dictionary.insert(item.key(), item.value());
    return dictionary;
}

int QVProjectSettingsConfigurationModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(_items.size());
}

int QVProjectSettingsConfigurationModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 2; }

QVariant QVProjectSettingsConfigurationModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= _items.size()) return {};
    const QVProjectSettingsConfigurationItem& item = _items[index.row()];
    if (index.column() == TitleColumn) return role == Qt::DisplayRole ? QVariant(item.localizedKey()) : QVariant();
    if (role == Qt::EditRole) return item.value();
    if (role == Qt::DisplayRole && item.value().typeId() != QMetaType::Bool) return item.value();
    return {};
}

bool QVProjectSettingsConfigurationModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::EditRole || !index.isValid() || index.row() >= _items.size()) return false;
    QVProjectSettingsConfigurationItem& item = _items[index.row()];
    const bool flag = item.value().typeId() == QMetaType::Bool;
    item.setValue(flag ? QVariant(value.toBool()) : QVariant(value.toString()));
    Q_EMIT dataChanged(this->index(index.row(), 0), this->index(index.row(), 1));
    return true;
}

Qt::ItemFlags QVProjectSettingsConfigurationModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags flags = QAbstractTableModel::flags(index);
    if (index.column() == ValueColumn) flags |= Qt::ItemIsEditable;
    return flags;
}

QVariant QVProjectSettingsConfigurationModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    return QVLocalized(section == TitleColumn ? QStringLiteral("Setting") : QStringLiteral("Value"));
}

QVProjectSettingsConfigurationController::QVProjectSettingsConfigurationController(QWidget* parent)
    : QWidget(parent), _tableView(new QTableView(this)), _descriptionTextField(new QLabel(this)),
      _model(new QVProjectSettingsConfigurationModel(this)) {
    _tableView->setModel(_model);
    _tableView->setSelectionBehavior(QAbstractItemView::SelectRows);
    _tableView->setSelectionMode(QAbstractItemView::SingleSelection);
    _tableView->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                                QAbstractItemView::SelectedClicked);
    _tableView->verticalHeader()->hide();
    _tableView->horizontalHeader()->setStretchLastSection(true);
    _tableView->setItemDelegateForColumn(
        QVProjectSettingsConfigurationModel::ValueColumn,
        new QVVariableDataCellDelegate(
            [](const QModelIndex& index) {
                return index.data(Qt::EditRole).typeId() == QMetaType::Bool ? QVVariableDataCellDelegate::Cell::CheckBox
                                                                            : QVVariableDataCellDelegate::Cell::Text;
            },
            _tableView));
    _descriptionTextField->setWordWrap(true);
    _descriptionTextField->setMinimumHeight(36);
    _descriptionTextField->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(_tableView, 1);
    layout->addWidget(_descriptionTextField);
    connect(_tableView->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] { selectionDidChange(); });
    connect(_model, &QAbstractItemModel::modelReset, this, [this] { selectionDidChange(); });
    loadConfiguration({});
}

QVProjectSettingsConfigurationController::~QVProjectSettingsConfigurationController() = default;

void QVProjectSettingsConfigurationController::loadConfiguration(const QVariantMap& stored) {
    _model->loadConfiguration(stored);
    _tableView->clearSelection();
    _tableView->resizeColumnToContents(QVProjectSettingsConfigurationModel::TitleColumn);
}

void QVProjectSettingsConfigurationController::selectionDidChange() {
    const QModelIndexList rows = _tableView->selectionModel()->selectedRows();
    if (rows.isEmpty() || rows.first().row() >= _model->items().size()) {
        _descriptionTextField->setText(QString());
        return;
    }
    _descriptionTextField->setText(_model->items()[rows.first().row()].localizedDescription());
}
