// The project manager: the one window listing the known projects, one row each (name, where it
// lives, a badge for a site). Double click opens a project; add, edit and remove act on the list;
// the header sorts it; rows are reordered by dragging; a folder dropped on it starts a new project.
// A project created anywhere (QVProjectCreatedNotification) is listed, at the top or in sorted
// place, whether or not the window was ever shown (install() observes from launch).
#pragma once

#include <QAbstractListModel>
#include <QHash>
#include <QPointer>
#include <QStyledItemDelegate>
#include <QWidget>

#include <functional>
#include <memory>

class QPushButton;
class QTableView;
class QVProject;
class QVProjectRepository;

// The rows of the manager over the shared list.
class QVProjectManagerModel : public QAbstractListModel {
    Q_OBJECT
public:
    enum Role { SubtitleRole = Qt::UserRole + 1, RemoteBadgeRole };
    // The format of a row dragged within a list: "<process id> <list address> <row>".
    static inline const QString DragType = QStringLiteral("QVProjectDragType");

    explicit QVProjectManagerModel(QVProjectRepository& repository, QObject* parent = nullptr);
    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    Qt::DropActions supportedDropActions() const override { return Qt::MoveAction | Qt::CopyAction; }
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QModelIndexList& indexes) const override;
    bool canDropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column, const QModelIndex& parent) const override;
    bool dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column, const QModelIndex& parent) override;
    void reload();
    // "sftp: host/www" for a remote-only project, else the root folder with "~" for home.
    static QString subtitleForProject(const QVProject& project);

    // A folder dropped on the list; a row moved (the list is then unsorted).
    std::function<void(const QString& folder)> folderDropped;
    std::function<void()> rowMoved;

private:
    // The row a drag of this list carries, or -1 for another list's or process's.
    int draggedRow(const QMimeData* data) const;
    // The one existing folder of a drop, else empty.
    static QString droppedFolder(const QMimeData* data);

    QVProjectRepository& _repository;
};

// Draws a row: icon, title over subtitle, badge at the right end.
class QVProjectManagerCell : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    static QPixmap remoteBadge();
};

class QVProjectManager : public QWidget {
    Q_OBJECT
public:
    // Opens a project's folder (the application's open path); set at launch.
    using Opener = std::function<void(const QString& path)>;
    // Shows the settings window of a project, or of a new one (project null) with name and
    // folder filled in when given; answers the window, which deletes itself when it closes.
    // Registered by the settings window; without it add and edit do nothing.
    using SettingsOpener = std::function<QWidget*(const std::shared_ptr<QVProject>& project, const QString& displayName,
                                                  const QString& folder)>;
    static void setOpener(Opener opener);
    static void setSettingsOpener(SettingsOpener opener);

    static QVProjectManager* sharedInstance();
    // The manager when it has been made (closing it must not make it).
    static QVProjectManager* sharedInstanceIfMade();
    // Observes created and edited projects from now on (the manager is made on the first).
    static void install();

    ~QVProjectManager() override;

    QTableView* tableView() const { return _tableView; }
    QVProjectManagerModel* model() const { return _model; }
    // 0 unsorted, 1 ascending, -1 descending.
    int sortDirection() const { return _sortDirection; }
    QPushButton* removeButton() const { return _removeButton; }
    QPushButton* editButton() const { return _editButton; }
    // The settings window opened from here for the project, while it is open.
    QWidget* settingsWindowForProject(const QVProject* project) const { return _editWindowControllers.value(project); }

    void add();
    void doubleClick();
    void edit();
    void remove();
    // A header click: ascending, then descending, then ascending...
    void toggleSort();
    // A settings window for a new project on the folder (its name and path filled in); a folder
    // already listed selects its row and edits that project instead.
    void showAddPanelWithPath(const QString& folder);
    void projectCreated(QVProject* project);
    void projectEdited(QVProject* project);

private:
    QVProjectManager();
    void selectRow(qsizetype row);
    void updateButtons();
    void updateSortIndicator();
    qsizetype selectedRow() const;

    QTableView* _tableView = nullptr;
    QPushButton* _removeButton = nullptr;
    QPushButton* _editButton = nullptr;
    QHash<const QVProject*, QPointer<QWidget>> _editWindowControllers;
    QHash<const QVProject*, std::shared_ptr<QVProject>> _editedProjects;
    QVProjectRepository& _repository;
    QVProjectManagerModel* _model = nullptr;
    int _sortDirection = 0;
};
