// The preview pane and its browsers table.
#include "preferences/QVPreviewPrefPane.h"

#include "platform/AppBundle.h"
#include "platform/PropertyList.h"
#include "platform/SystemLog.h"
#include "preferences/QVPrefAlerts.h"
#include "shell/Defaults.h"
#include "shell/WorkspaceUtilities.h"
#include "tools/QVBrowser.h"
#include "tools/QVBrowserRepository.h"
#include "tools/QVDesktopEntry.h"
#include "tools/QVPreviewCommands.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include <algorithm>
#include <numeric>

namespace {

QString localized(const char* text) { return QVLocalized(QString::fromUtf8(text)); }
const QString NameKey = QStringLiteral("name");
const QString PathKey = QStringLiteral("path");

QString listPath() { return Defaults::appSupportPathForFile(QStringLiteral("browsers.plist"), QStringLiteral("data")); }

QIcon iconForEntry(const QVariantMap& entry) {
    const QString name = entry.value(NameKey).toString();
    if (name == QVBrowser::BuiltInName) {
        const QString path = AppBundle::main().pathForResource(QStringLiteral("Glimbo"), QStringLiteral("png"), QStringLiteral("Images"));
        if (!path.isEmpty()) return QIcon(path);
    }
    const QString path = entry.value(PathKey).toString();
    if (!path.isEmpty() && QFileInfo::exists(path)) {
        if (const auto desktop = QVDesktopEntry::read(path); desktop && !desktop->icon.isEmpty()) {
            const QIcon icon = QFileInfo(desktop->icon).isAbsolute() ? QIcon(desktop->icon) : QIcon::fromTheme(desktop->icon);
            if (!icon.isNull()) return icon;
        }
        return QIcon(QPixmap::fromImage(WorkspaceUtilities::iconForFile(path, QSize(16, 16))));
    }
    QPixmap blank(16, 16);
    blank.fill(Qt::transparent);
    return QIcon(blank);
}

bool isDesktopEntry(const QString& path) { return path.endsWith(QStringLiteral(".desktop")) && QVDesktopEntry::read(path).has_value(); }

}  // namespace

// --- Table -----------------------------------------------------------------------------------------

QVBrowsersTable::QVBrowsersTable(QWidget* parent) : QTableWidget(0, 1, parent) {
    setDragEnabled(true);
    setAcceptDrops(true);
    setDropIndicatorShown(true);
    setDragDropMode(QAbstractItemView::DragDrop);
    setDefaultDropAction(Qt::MoveAction);
}

QStringList QVBrowsersTable::mimeTypes() const { return {QString::fromLatin1(MimeType), QStringLiteral("text/uri-list")}; }

QMimeData* QVBrowsersTable::mimeData(const QList<QTableWidgetItem*>& items) const {
    QVariantList rows;
    for (QTableWidgetItem* item : items) rows << item->row();
    auto* data = new QMimeData;
    data->setData(QString::fromLatin1(MimeType), PropertyList::toData(rows, PlistFormat::XML));
    return data;
}

void QVBrowsersTable::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasFormat(QString::fromLatin1(MimeType)) || event->mimeData()->hasUrls()) event->acceptProposedAction();
    else event->ignore();
}

void QVBrowsersTable::dragMoveEvent(QDragMoveEvent* event) {
    const QMimeData* data = event->mimeData();
    if (data->hasFormat(QString::fromLatin1(MimeType)) && event->source() == this) {
        event->setDropAction(Qt::MoveAction);
        event->accept();
        return;
    }
    // Only desktop entries are taken from elsewhere; anything else is refused when dropped.
    if (data->hasUrls()) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
        return;
    }
    event->ignore();
}

void QVBrowsersTable::dropEvent(QDropEvent* event) {
    const QModelIndex at = indexAt(event->position().toPoint());
    const int row = at.isValid() ? at.row() : rowCount();
    const QMimeData* data = event->mimeData();
    if (data->hasFormat(QString::fromLatin1(MimeType)) && event->source() == this) {
        QList<int> rows;
        for (const QVariant& value : PropertyList::fromData(data->data(QString::fromLatin1(MimeType))).toList()) rows << value.toInt();
        event->setDropAction(Qt::MoveAction);
        event->accept();
        // The items are moved by the pane, not by the table's own removal after a move.
        Q_EMIT rowsMoved(rows, std::max(row, 0));
        return;
    }
    QStringList paths;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile()) paths << url.toLocalFile();
    event->setDropAction(Qt::CopyAction);
    event->accept();
    Q_EMIT filesDropped(paths, std::max(row, 0));
}

// --- Pane ------------------------------------------------------------------------------------------

QWidget* QVPreviewPrefPane::loadView() {
    auto* view = new QWidget;
    view->setObjectName(QStringLiteral("PreviewPrefPane"));
    auto* layout = new QVBoxLayout(view);
    layout->addWidget(new QLabel(localized("Documents can be previewed in these applications (drag to reorder):"), view));
    _table = new QVBrowsersTable(view);
    _table->setObjectName(QStringLiteral("previewTable"));
    _table->setHorizontalHeaderLabels({localized("Browser")});
    _table->horizontalHeader()->setStretchLastSection(true);
    _table->verticalHeader()->hide();
    _table->setSelectionBehavior(QAbstractItemView::SelectRows);
    _table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    _table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    _table->setMinimumSize(420, 220);
    connect(_table, &QVBrowsersTable::rowsMoved, this, &QVPreviewPrefPane::moveRows);
    connect(_table, &QVBrowsersTable::filesDropped, this, [this](const QStringList& paths, int row) {
        for (qsizetype i = 0; i < paths.size(); ++i) addBrowserAtPath(paths[i], row + int(i));
    });
    connect(_table, &QTableWidget::itemSelectionChanged, this, &QVPreviewPrefPane::updateButtons);
    layout->addWidget(_table, 1);
    _refusal = new QLabel(view);
    _refusal->setObjectName(QStringLiteral("refusal"));
    _refusal->setWordWrap(true);
    layout->addWidget(_refusal);
    auto* buttons = new QHBoxLayout;
    auto* add = new QPushButton(QStringLiteral("+"), view);
    add->setObjectName(QStringLiteral("addBrowser"));
    _removeButton = new QPushButton(QStringLiteral("\u2212"), view);
    _removeButton->setObjectName(QStringLiteral("removeBrowser"));
    auto* reveal = new QPushButton(localized("Show in File Manager"), view);
    reveal->setObjectName(QStringLiteral("revealInFinder"));
    connect(add, &QPushButton::clicked, this, &QVPreviewPrefPane::addBrowser);
    connect(_removeButton, &QPushButton::clicked, this, &QVPreviewPrefPane::removeBrowser);
    connect(reveal, &QPushButton::clicked, this, &QVPreviewPrefPane::revealInFinder);
    buttons->addWidget(add);
    buttons->addWidget(_removeButton);
    buttons->addStretch();
    buttons->addWidget(reveal);
    layout->addLayout(buttons);
    setFirstResponder(_table);
    reloadTable();
    return view;
}

const QList<QVPreviewPrefPane::Entry>& QVPreviewPrefPane::browsers() {
    if (!_loaded) loadData();
    return _browsers;
}

void QVPreviewPrefPane::loadData() {
    _loaded = true;
    _changed = false;
    const QString path = Defaults::pathForResource(QStringLiteral("browsers"), QStringLiteral("plist"), QStringLiteral("data"));
    // A list that exists but cannot be read is kept as it is: the pane shows the system's
    // browsers and writes nothing over it.
    _loadFailed = false;
    if (!path.isEmpty() && QFileInfo::exists(path)) {
        QVError error;
        _loadFailed = PropertyList::readFile(path, &error).typeId() != QMetaType::QVariantList;
    }
    _browsers.clear();
    for (const QVariant& value : QVBrowserRepository::browsersFromConfigFile(path)) {
        const QVariantMap plist = value.toMap();
        _browsers.append({plist, iconForEntry(plist)});
    }
}

void QVPreviewPrefPane::reloadTable() {
    if (!_table) return;
    const QList<Entry>& list = browsers();
    _table->setRowCount(int(list.size()));
    for (int row = 0; row < list.size(); ++row) {
        const QString path = list[row].plist.value(PathKey).toString();
        auto* item = new QTableWidgetItem(list[row].icon, list[row].plist.value(NameKey).toString());
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled);
        item->setToolTip(path);
        // A row whose entry previews would refuse (a list written before, or the system's own
        // entries) says so where the user looks, not only when a preview falls back.
        if (path.startsWith(QLatin1Char('/'))) {
            if (const QString why = QVBrowser::refusalForEntry(path); !why.isEmpty()) {
                item->setText(localized("%1 \u2014 not used: %2").arg(item->text(), why));
                item->setIcon(_table->style()->standardIcon(QStyle::SP_MessageBoxWarning));
                item->setForeground(_table->palette().color(QPalette::Disabled, QPalette::Text));
                item->setToolTip(localized("%1\nPreviews do not use it: %2.").arg(path, why));
            }
        }
        _table->setItem(row, 0, item);
    }
    updateButtons();
}

void QVPreviewPrefPane::updateButtons() {
    if (!_removeButton || !_table) return;
    const QModelIndexList rows = _table->selectionModel()->selectedRows();
    _removeButton->setEnabled(rows.size() == 1 && canRemove(rows.first().row()));
}

bool QVPreviewPrefPane::canRemove(int row) {
    if (row < 0 || row >= browsers().size()) return false;
    const QString name = _browsers[row].plist.value(NameKey).toString();
    return name != QVBrowser::BuiltInName && name != QVBrowser::AllName && name != QVLocalized(QVBrowser::AllName);
}

void QVPreviewPrefPane::refuse(const QString& reason) {
    SystemLog::notice(reason);
    if (_refusal) _refusal->setText(reason);
}

QString QVPreviewPrefPane::refusal() const { return _refusal ? _refusal->text() : QString(); }

bool QVPreviewPrefPane::addBrowserAtPath(const QString& path, int row) {
    if (!isDesktopEntry(path)) {
        refuse(localized("\u201c%1\u201d was not added: only an application\u2019s desktop entry (a .desktop file, as in "
                         "/usr/share/applications) can preview documents.")
                   .arg(QFileInfo(path).fileName()));
        return false;
    }
    const auto desktop = QVDesktopEntry::read(path);
    // An entry whose command Qorvel would never run is refused now, not at the first preview.
    if (QString why; !desktop->commandFor(QStringLiteral("/page.html"), &why)) {
        refuse(localized("\u201c%1\u201d was not added: %2.").arg(QFileInfo(path).fileName(), why));
        return false;
    }
    for (const Entry& entry : browsers())
        if (entry.plist.value(PathKey).toString() == path) return true;
    QVariantMap plist{{NameKey, desktop->name.isEmpty() ? QFileInfo(path).completeBaseName() : desktop->name}, {PathKey, path}};
    const int at = row < 0 || row > _browsers.size() ? int(_browsers.size()) : row;
    _browsers.insert(at, {plist, iconForEntry(plist)});
    _changed = true;
    if (_refusal) _refusal->clear();
    reloadTable();
    return true;
}

void QVPreviewPrefPane::addBrowser() {
    const QString path = QFileDialog::getOpenFileName(mainView(), localized("Choose a Browser"), QStringLiteral("/usr/share/applications"),
                                                      localized("Applications (*.desktop)"));
    if (!path.isEmpty()) addBrowserAtPath(path);
}

void QVPreviewPrefPane::removeBrowser() {
    if (!_table) return;
    const QModelIndexList rows = _table->selectionModel()->selectedRows();
    if (rows.size() != 1 || !canRemove(rows.first().row())) return;
    _browsers.removeAt(rows.first().row());
    _changed = true;
    reloadTable();
}

void QVPreviewPrefPane::revealInFinder() {
    if (!_table) return;
    for (const QModelIndex& index : _table->selectionModel()->selectedRows()) {
        const QString path = browsers().value(index.row()).plist.value(PathKey).toString();
        if (!path.isEmpty()) WorkspaceUtilities::revealInFileManager(path);
    }
}

QList<int> QVPreviewPrefPane::movedOrder(int count, const QList<int>& rows, int to, int* firstSelected) {
    QList<int> order(count);
    std::iota(order.begin(), order.end(), 0);
    QList<int> moved;
    for (const int row : rows)
        if (row >= 0 && row < count && !moved.contains(row)) moved << row;
    std::sort(moved.begin(), moved.end());
    to = std::clamp(to, 0, count);
    const int above = int(std::count_if(moved.begin(), moved.end(), [to](int row) { return row < to; }));
    QList<int> rest;
    for (const int index : order)
        if (!moved.contains(index)) rest << index;
    const int start = to - above;
    QList<int> result = rest.mid(0, start);
    result << moved << rest.mid(start);
    if (firstSelected) *firstSelected = start;
    return result;
}

void QVPreviewPrefPane::moveRows(const QList<int>& rows, int to) {
    int first = 0;
    const QList<int> order = movedOrder(int(browsers().size()), rows, to, &first);
    QList<Entry> reordered;
    for (const int index : order) reordered << _browsers[index];
    bool same = true;
    for (int i = 0; i < order.size(); ++i) same = same && order[i] == i;
    if (same) return;
    _browsers = reordered;
    _changed = true;
    reloadTable();
    if (!_table) return;
    _table->clearSelection();
    int selected = 0;
    for (const int row : rows)
        if (row >= 0 && row < _browsers.size()) ++selected;
    for (int row = first; row < first + selected && row < _table->rowCount(); ++row)
        _table->selectionModel()->select(_table->model()->index(row, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

bool QVPreviewPrefPane::commit() {
    if (!_loaded || !_changed) return true;
    QVariantList list;
    for (const Entry& entry : std::as_const(_browsers)) list << entry.plist;
    const QString path = listPath();
    if (_loadFailed && QFileInfo::exists(path)) {
        // The unreadable list is kept beside the new one rather than written over.
        const QString aside = path + QStringLiteral(".bad");
        QFile::remove(aside);
        if (!QFile::rename(path, aside)) {
            QVPrefAlerts::showError(mainView(), QVError::app(0, localized("The browser list could not be saved."),
                                                             localized("\u201c%1\u201d could not be read and could not be moved aside.").arg(path)));
            return false;
        }
    }
    QVError error;
    if (!Defaults::writeDataPlist(list, path, QStringLiteral("browsers.plist"), localized("browser list"), &error)) {
        QVPrefAlerts::showError(mainView(), error);
        return false;
    }
    _loadFailed = false;
    _changed = false;
    QVPreviewCommands::reload(true);
    return true;
}

void QVPreviewPrefPane::endSession() { commit(); }
