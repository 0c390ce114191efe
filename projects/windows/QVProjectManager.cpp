// The project manager window, its rows and their drawing.
#include "projects/windows/QVProjectManager.h"

#include "platform/AppBundle.h"
#include "platform/FileName.h"
#include "platform/NotificationCenter.h"
#include "platform/Paths.h"
#include "projects/QVProject.h"
#include "projects/QVProjectRepository.h"
#include "shell/Defaults.h"
#include "shell/WorkspaceUtilities.h"

#include <QApplication>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QTableView>
#include <QUrl>
#include <QVBoxLayout>

#include <unistd.h>

namespace {

QVProjectManager::Opener& opener() {
    static QVProjectManager::Opener o;
    return o;
}

QVProjectManager::SettingsOpener& settingsOpener() {
    static QVProjectManager::SettingsOpener o;
    return o;
}

QVProjectManager*& sharedManager() {
    static QVProjectManager* manager = nullptr;
    return manager;
}

constexpr int IconSize = 32;
constexpr int BadgeSize = 16;

}  // namespace

// --- Rows -----------------------------------------------------------------------------------

QVProjectManagerModel::QVProjectManagerModel(QVProjectRepository& repository, QObject* parent)
    : QAbstractListModel(parent), _repository(repository) {}

int QVProjectManagerModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(_repository.countOfProjects());
}

QString QVProjectManagerModel::subtitleForProject(const QVProject& project) {
    if (project.type() == QVProject::RemoteOnly) {
        const QVProjectRemoteConfiguration& site = project.remoteConfig();
        QString subtitle = QStringLiteral("%1: %2").arg(site.protocolDescription(), site.host());
        if (!site.initialDirectory().isEmpty()) subtitle += QStringLiteral("/%1").arg(site.initialDirectory());
        return subtitle;
    }
    return Paths::abbreviateWithTilde(project.rootDirectory());
}

QVariant QVProjectManagerModel::data(const QModelIndex& index, int role) const {
    std::shared_ptr<QVProject> project = _repository.projectAtIndex(index.row());
    if (!project) return {};
    // Read when first shown: the list knows only folders and identifiers.
    project->loadIfNecessary();
    switch (role) {
    case Qt::DisplayRole: return project->displayName();
    case SubtitleRole: return subtitleForProject(*project);
    case RemoteBadgeRole: return project->type() != QVProject::Local && project->hasRemoteEquivalent();
    case Qt::ToolTipRole: return project->rootDirectory();
    default: return {};
    }
}

QVariant QVProjectManagerModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (section == 0 && orientation == Qt::Horizontal && role == Qt::DisplayRole) return QVLocalized(QStringLiteral("Projects"));
    return {};
}

Qt::ItemFlags QVProjectManagerModel::flags(const QModelIndex& index) const {
    // Drops land between rows or on the list as a whole, never "on" a project.
    if (!index.isValid()) return Qt::ItemIsDropEnabled;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled;
}

QStringList QVProjectManagerModel::mimeTypes() const { return {DragType, QStringLiteral("text/uri-list")}; }

QMimeData* QVProjectManagerModel::mimeData(const QModelIndexList& indexes) const {
    if (indexes.isEmpty()) return nullptr;
    auto* data = new QMimeData;
    const QString row = QStringLiteral("%1 %2 %3").arg(::getpid()).arg(quintptr(this)).arg(indexes.first().row());
    data->setData(DragType, row.toUtf8());
    return data;
}

int QVProjectManagerModel::draggedRow(const QMimeData* data) const {
    if (!data || !data->hasFormat(DragType)) return -1;
    const QStringList parts = QString::fromUtf8(data->data(DragType)).split(QLatin1Char(' '));
    bool ok = parts.size() == 3;
    if (!ok || parts[0].toLongLong() != ::getpid() || parts[1].toULongLong() != quintptr(this)) return -1;
    const int row = parts[2].toInt(&ok);
    return ok && row >= 0 && row < rowCount() ? row : -1;
}

QString QVProjectManagerModel::droppedFolder(const QMimeData* data) {
    if (!data || !data->hasUrls()) return {};
    const QList<QUrl> urls = data->urls();
    if (urls.size() != 1 || !urls.first().isLocalFile()) return {};
    const QString path = urls.first().toLocalFile();
    return FileName::isFolder(path) ? QFileInfo(path).absoluteFilePath() : QString();
}

bool QVProjectManagerModel::canDropMimeData(const QMimeData* data, Qt::DropAction, int, int, const QModelIndex&) const {
    if (draggedRow(data) >= 0) return true;
    return !droppedFolder(data).isEmpty();
}

bool QVProjectManagerModel::dropMimeData(const QMimeData* data, Qt::DropAction, int row, int, const QModelIndex& parent) {
    if (const int from = draggedRow(data); from >= 0) {
        int to = row >= 0 ? row : parent.isValid() ? parent.row() : rowCount();
        to = std::clamp(to, 0, rowCount());
        beginResetModel();
        _repository.moveProjectFromIndex(from, to);
        endResetModel();
        if (rowMoved) rowMoved();
        // The move is done here; the view must not remove the source row afterwards.
        return false;
    }
    const QString folder = droppedFolder(data);
    if (folder.isEmpty()) return false;
    if (folderDropped) folderDropped(folder);
    return false;
}

void QVProjectManagerModel::reload() {
    beginResetModel();
    endResetModel();
}

// --- Drawing --------------------------------------------------------------------------------

QPixmap QVProjectManagerCell::remoteBadge() {
    static const QPixmap badge = [] {
        const QString path = Defaults::pathForResource(QStringLiteral("sftp"), QStringLiteral("png"), QStringLiteral("Images"));
        QPixmap image(path);
        if (!image.isNull()) return image.scaled(BadgeSize, BadgeSize, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        // A globe: the site lives on another machine.
        QPixmap drawn(BadgeSize * 2, BadgeSize * 2);
        drawn.fill(Qt::transparent);
        QPainter p(&drawn);
        p.setRenderHint(QPainter::Antialiasing);
        p.setBrush(QColor(0x2f, 0x7d, 0xd8));
        p.setPen(QPen(QColor(0x1b, 0x4f, 0x94), 1.5));
        p.drawEllipse(QRectF(1.5, 1.5, 29, 29));
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(Qt::white, 2));
        p.drawEllipse(QRectF(10, 2.5, 12, 27));
        p.drawLine(QPointF(3, 16), QPointF(29, 16));
        p.drawLine(QPointF(6, 9), QPointF(26, 9));
        p.drawLine(QPointF(6, 23), QPointF(26, 23));
        p.end();
        return drawn.scaled(BadgeSize, BadgeSize, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    }();
    return badge;
}

QSize QVProjectManagerCell::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
    const QFontMetrics title(option.font), subtitle(option.font);
    return QSize(200, std::max(IconSize, title.height() + subtitle.height()) + 4);
}

void QVProjectManagerCell::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    static const QPixmap folderIcon = QPixmap::fromImage(WorkspaceUtilities::folderIconOfSize(QSize(IconSize, IconSize)));
    QStyleOptionViewItem background = option;
    initStyleOption(&background, index);
    background.text.clear();
    background.icon = QIcon();
    const QWidget* widget = option.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &background, painter, widget);

    const bool highlighted = (option.state & QStyle::State_Selected) && (option.state & QStyle::State_Active);
    const QRect r = option.rect.adjusted(3, 2, -3, -2);
    painter->save();
    painter->drawPixmap(QRect(r.x(), r.y() + (r.height() - IconSize) / 2, IconSize, IconSize), folderIcon);
    int textWidth = r.width() - 36;
    if (index.data(QVProjectManagerModel::RemoteBadgeRole).toBool()) {
        painter->drawPixmap(QRect(r.right() - BadgeSize + 1, r.y() + (r.height() - BadgeSize + 1) / 2, BadgeSize, BadgeSize), remoteBadge());
        textWidth -= 20;
    }
    QFont titleFont = option.font;
    titleFont.setBold(true);
    titleFont.setPointSizeF(12);
    QFont subtitleFont = option.font;
    subtitleFont.setPointSizeF(11);
    const QFontMetrics titleMetrics(titleFont), subtitleMetrics(subtitleFont);
    const int y = r.y() + (r.height() - titleMetrics.height() - subtitleMetrics.height() + 1) / 2;
    const QColor text = highlighted ? option.palette.color(QPalette::HighlightedText) : option.palette.color(QPalette::Text);
    painter->setFont(titleFont);
    painter->setPen(text);
    painter->drawText(QRect(r.x() + 36, y, textWidth, titleMetrics.height()), Qt::AlignLeft | Qt::AlignVCenter,
                      titleMetrics.elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideRight, textWidth));
    painter->setFont(subtitleFont);
    painter->setPen(highlighted ? text : QColor(0x55, 0x55, 0x55));
    painter->drawText(QRect(r.x() + 36, y + titleMetrics.height(), textWidth, subtitleMetrics.height()), Qt::AlignLeft | Qt::AlignVCenter,
                      subtitleMetrics.elidedText(index.data(QVProjectManagerModel::SubtitleRole).toString(), Qt::ElideRight, textWidth));
    painter->restore();
}

// --- The window -----------------------------------------------------------------------------

void QVProjectManager::setOpener(Opener o) { opener() = std::move(o); }

void QVProjectManager::setSettingsOpener(SettingsOpener o) { settingsOpener() = std::move(o); }

QVProjectManager* QVProjectManager::sharedInstance() {
    if (!sharedManager()) sharedManager() = new QVProjectManager;
    return sharedManager();
}

QVProjectManager* QVProjectManager::sharedInstanceIfMade() { return sharedManager(); }

void QVProjectManager::install() {
    static bool installed = false;
    if (std::exchange(installed, true)) return;
    // The project rides along as the notification's object; it is alive while it is posted.
    NotificationCenter::defaultCenter().addObserver(QVProjectRepository::ProjectCreatedNotification, nullptr, [](const Notification& n) {
        if (n.object) sharedInstance()->projectCreated(const_cast<QVProject*>(static_cast<const QVProject*>(n.object)));
    });
    NotificationCenter::defaultCenter().addObserver(QVProjectRepository::ProjectEditedNotification, nullptr, [](const Notification& n) {
        if (n.object) sharedInstance()->projectEdited(const_cast<QVProject*>(static_cast<const QVProject*>(n.object)));
    });
}

QVProjectManager::QVProjectManager() : QWidget(nullptr, Qt::Window), _repository(QVProjectRepository::sharedInstance()) {
    setObjectName(QStringLiteral("QVProjectManagerWindow"));
    setWindowTitle(QVLocalized(QStringLiteral("Project Manager")));
    _model = new QVProjectManagerModel(_repository, this);
    _tableView = new QTableView(this);
    _tableView->setModel(_model);
    _tableView->setItemDelegate(new QVProjectManagerCell(_tableView));
    _tableView->setSelectionBehavior(QAbstractItemView::SelectRows);
    _tableView->setSelectionMode(QAbstractItemView::SingleSelection);
    _tableView->setShowGrid(false);
    _tableView->verticalHeader()->hide();
    _tableView->verticalHeader()->setDefaultSectionSize(40);
    _tableView->horizontalHeader()->setStretchLastSection(true);
    _tableView->horizontalHeader()->setSectionsClickable(true);
    _tableView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    _tableView->setDragEnabled(true);
    _tableView->setAcceptDrops(true);
    _tableView->setDropIndicatorShown(true);
    _tableView->setDragDropMode(QAbstractItemView::DragDrop);
    _tableView->setDefaultDropAction(Qt::MoveAction);
    _tableView->setDragDropOverwriteMode(false);

    auto* addButton = new QPushButton(QStringLiteral("+"), this);
    addButton->setObjectName(QStringLiteral("add"));
    addButton->setToolTip(QVLocalized(QStringLiteral("New Project")));
    _removeButton = new QPushButton(QStringLiteral("\u2212"), this);
    _removeButton->setObjectName(QStringLiteral("remove"));
    _removeButton->setToolTip(QVLocalized(QStringLiteral("Remove the project from the list; its files stay")));
    _editButton = new QPushButton(QVLocalized(QStringLiteral("Edit")), this);
    _editButton->setObjectName(QStringLiteral("edit"));
    for (QPushButton* button : {addButton, _removeButton}) button->setFixedWidth(32);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(addButton);
    buttons->addWidget(_removeButton);
    buttons->addStretch();
    buttons->addWidget(_editButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(_tableView);
    layout->addLayout(buttons);
    resize(420, 480);

    connect(addButton, &QPushButton::clicked, this, &QVProjectManager::add);
    connect(_removeButton, &QPushButton::clicked, this, &QVProjectManager::remove);
    connect(_editButton, &QPushButton::clicked, this, &QVProjectManager::edit);
    connect(_tableView, &QTableView::doubleClicked, this, &QVProjectManager::doubleClick);
    connect(_tableView->horizontalHeader(), &QHeaderView::sectionClicked, this, &QVProjectManager::toggleSort);
    connect(_tableView->selectionModel(), &QItemSelectionModel::selectionChanged, this, &QVProjectManager::updateButtons);
    connect(_model, &QAbstractItemModel::modelReset, this, &QVProjectManager::updateButtons);
    _model->folderDropped = [this](const QString& folder) {
        // The drop returns first: the settings window must not open inside the drag's loop.
        QMetaObject::invokeMethod(this, [this, folder] {
            raise();
            activateWindow();
            showAddPanelWithPath(folder);
        }, Qt::QueuedConnection);
        _sortDirection = 0;
        updateSortIndicator();
    };
    _model->rowMoved = [this] {
        _sortDirection = 0;
        updateSortIndicator();
    };
    updateSortIndicator();
    updateButtons();
}

QVProjectManager::~QVProjectManager() {
    if (sharedManager() == this) sharedManager() = nullptr;
}

qsizetype QVProjectManager::selectedRow() const {
    const QModelIndexList rows = _tableView->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void QVProjectManager::selectRow(qsizetype row) {
    if (row < 0 || row >= _model->rowCount()) return;
    const QModelIndex index = _model->index(int(row));
    _tableView->selectionModel()->select(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    _tableView->setCurrentIndex(index);
    _tableView->scrollTo(index);
}

void QVProjectManager::updateButtons() {
    const bool selected = selectedRow() >= 0;
    _removeButton->setEnabled(selected);
    _editButton->setEnabled(selected);
}

void QVProjectManager::updateSortIndicator() {
    QHeaderView* header = _tableView->horizontalHeader();
    header->setSortIndicatorShown(_sortDirection != 0);
    if (_sortDirection != 0) header->setSortIndicator(0, _sortDirection == 1 ? Qt::AscendingOrder : Qt::DescendingOrder);
}

void QVProjectManager::add() { showAddPanelWithPath({}); }

void QVProjectManager::doubleClick() {
    std::shared_ptr<QVProject> project = _repository.projectAtIndex(selectedRow());
    if (!project || !opener()) return;
    opener()(project->rootDirectory());
}

void QVProjectManager::edit() {
    std::shared_ptr<QVProject> project = _repository.projectAtIndex(selectedRow());
    if (!project) return;
    if (QWidget* window = _editWindowControllers.value(project.get())) {
        window->show();
        window->raise();
        window->activateWindow();
        return;
    }
    if (!settingsOpener()) return;
    QWidget* window = settingsOpener()(project, QString(), QString());
    if (!window) return;
    // The entry goes when the window does, whoever closes it.
    const QVProject* key = project.get();
    _editWindowControllers.insert(key, window);
    _editedProjects.insert(key, project);
    connect(window, &QObject::destroyed, this, [this, key] {
        _editWindowControllers.remove(key);
        _editedProjects.remove(key);
    });
}

void QVProjectManager::remove() {
    const qsizetype row = selectedRow();
    if (row < 0) return;
    _model->reload();
    _repository.removeProjectAtIndex(row);
    _model->reload();
    selectRow(std::min(row, _repository.countOfProjects() - 1));
}

void QVProjectManager::toggleSort() {
    _sortDirection = _sortDirection == 1 ? -1 : 1;
    _repository.sortProjects(_sortDirection == 1);
    _model->reload();
    updateSortIndicator();
}

void QVProjectManager::showAddPanelWithPath(const QString& folder) {
    // One folder, one project: a listed folder is that project's to edit, not a new one's.
    if (!folder.isEmpty())
        if (std::shared_ptr<QVProject> listed = _repository.projectForRootDirectory(folder)) {
            selectRow(_repository.indexOfProject(*listed));
            edit();
            return;
        }
    if (!settingsOpener()) return;
    settingsOpener()(nullptr, folder.isEmpty() ? QString() : QFileInfo(folder).fileName(), folder);
}

void QVProjectManager::projectCreated(QVProject* created) {
    if (!created) return;
    std::shared_ptr<QVProject> project = created->shared_from_this();
    _model->reload();
    const qsizetype row = _sortDirection == 0 ? _repository.addProject(project)
                                              : _repository.insertProjectSorted(project, _sortDirection == 1);
    _model->reload();
    selectRow(row);
}

void QVProjectManager::projectEdited(QVProject* project) {
    if (project) {
        const qsizetype row = _repository.indexOfProject(*project);
        if (row >= 0) _tableView->update(_model->index(int(row)));
    }
    _repository.commit();
}
