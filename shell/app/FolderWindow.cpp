// The folder window: a file tree in a plain window.
#include "shell/app/FolderWindow.h"

#include "files/QVRootFile.h"
#include "platform/AppBundle.h"
#include "platform/MainQueue.h"

#include <QApplication>
#include <QFileInfo>
#include <QHeaderView>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>
#include <QTreeView>

// Hands the tree's calls to the window; held by the window, weakly by the nodes.
class FolderTreeDelegate : public QVFileTreeDelegate {
public:
    explicit FolderTreeDelegate(FolderWindow* window) : _window(window) {}
    void fileNeedsRefresh(const std::shared_ptr<QVFile>&) override { reload(); }
    void fileRemovedChild(const std::shared_ptr<QVFile>&, const std::shared_ptr<QVFile>&) override { reload(); }
    void fileWasDuplicatedToFile(const std::shared_ptr<QVFile>&, const std::shared_ptr<QVFile>& copy) override {
        reload();
        // The copy's name is chosen for the user; they rename it on the next turn of the loop.
        MainQueue::post([window = QPointer<FolderWindow>(_window), weak = std::weak_ptr<QVFile>(copy)] {
            const auto file = weak.lock();
            if (!window || !file) return;
            const QModelIndex index = window->_model->indexOf(file.get());
            window->_view->setCurrentIndex(index);
            window->_view->edit(index);
        });
    }
    void fileContentBecameAvailable(const std::shared_ptr<QVFile>&) override {}
    bool fileShouldUpload(const std::shared_ptr<QVFile>&) override { return false; }
    void presentErrorAlert(const QVError& error) override {
        if (!_window) return;
        auto* box = new QMessageBox(QMessageBox::Warning, error.localizedDescription(), error.localizedDescription(),
                                    QMessageBox::Ok, _window);
        box->setInformativeText(error.localizedRecoverySuggestion());
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(Qt::WindowModal);
        box->open();
    }

private:
    // On the next turn of the loop, once: a change may come from inside the view's own calls
    // (an edit being committed), whose rows must outlive that call.
    void reload() {
        if (_reloadPending || !_window) return;
        _reloadPending = true;
        MainQueue::post([this, window = _window] {
            if (!window) return;
            _reloadPending = false;
            window->_model->reload();
        });
    }
    QPointer<FolderWindow> _window;
    bool _reloadPending = false;
};

FolderTreeModel::FolderTreeModel(std::shared_ptr<QVFile> root, QObject* parent)
    : QAbstractItemModel(parent), _root(std::move(root)) {}

QVFile* FolderTreeModel::fileAt(const QModelIndex& index) const {
    return index.isValid() ? static_cast<QVFile*>(index.internalPointer()) : _root.get();
}

QModelIndex FolderTreeModel::index(int row, int column, const QModelIndex& parent) const {
    QVFile* folder = fileAt(parent);
    const auto& children = folder->children(true);
    if (row < 0 || row >= children.size() || column != 0) return {};
    return createIndex(row, column, children.at(row).get());
}

QModelIndex FolderTreeModel::indexOf(const QVFile* file) const {
    if (!file || file == _root.get()) return {};
    const auto parent = file->parent();
    if (!parent) return {};
    const auto& siblings = parent->children(false);
    for (int row = 0; row < siblings.size(); ++row)
        if (siblings.at(row).get() == file) return createIndex(row, 0, const_cast<QVFile*>(file));
    return {};
}

QModelIndex FolderTreeModel::parent(const QModelIndex& child) const {
    if (!child.isValid()) return {};
    const auto parent = fileAt(child)->parent();
    return parent ? indexOf(parent.get()) : QModelIndex();
}

int FolderTreeModel::rowCount(const QModelIndex& parent) const {
    QVFile* folder = fileAt(parent);
    return folder->isFolder() ? folder->countOfChildren() : 0;
}

bool FolderTreeModel::hasChildren(const QModelIndex& parent) const {
    QVFile* folder = fileAt(parent);
    return folder->isFolder() && (!folder->childrenListed() || !folder->children(false).isEmpty());
}

QVariant FolderTreeModel::data(const QModelIndex& index, int role) const {
    QVFile* file = fileAt(index);
    if (!index.isValid()) return {};
    if (role == Qt::DisplayRole || role == Qt::EditRole) return file->name();
    if (role == Qt::DecorationRole) return QPixmap::fromImage(file->icon());
    if (role == Qt::ToolTipRole) return file->path();
    return {};
}

bool FolderTreeModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || role != Qt::EditRole || value.toString().isEmpty()) return false;
    fileAt(index)->shared_from_this()->rename(value.toString());
    return true;
}

Qt::ItemFlags FolderTreeModel::flags(const QModelIndex& index) const {
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable : Qt::NoItemFlags;
}

void FolderTreeModel::reload() {
    beginResetModel();
    endResetModel();
    // Folders the user had open open again: their nodes remember it.
    auto* view = qobject_cast<FolderWindow*>(QObject::parent())->view();
    std::function<void(const QModelIndex&)> reopen = [&](const QModelIndex& parent) {
        QVFile* folder = fileAt(parent);
        if (!folder->childrenListed()) return;
        const auto& children = folder->children(false);
        for (int row = 0; row < children.size(); ++row) {
            if (!children.at(row)->expanded()) continue;
            const QModelIndex index = this->index(row, 0, parent);
            view->expand(index);
            reopen(index);
        }
    };
    reopen({});
}

FolderWindow::FolderWindow(const QString& path, QWidget* parent) : QMainWindow(parent) {
    const QString folder = QFileInfo(path).absoluteFilePath();
    setWindowTitle(QFileInfo(folder).fileName());
    resize(420, 640);
    _root = QVRootFile::create(folder);
    _root->setExpanded(true);
    _delegate = std::make_shared<FolderTreeDelegate>(this);
    _root->setDelegate(_delegate);
    _model = new FolderTreeModel(_root, this);
    _view = new QTreeView(this);
    _view->setHeaderHidden(true);
    _view->setEditTriggers(QAbstractItemView::EditKeyPressed | QAbstractItemView::SelectedClicked);
    _view->setModel(_model);
    _view->setContextMenuPolicy(Qt::CustomContextMenu);
    setCentralWidget(_view);
    connect(_view, &QTreeView::expanded, this, [this](const QModelIndex& index) {
        const auto file = _model->fileAt(index)->shared_from_this();
        file->setExpanded(true);
        file->startWatching();
    });
    connect(_view, &QTreeView::collapsed, this, [this](const QModelIndex& index) {
        const auto file = _model->fileAt(index)->shared_from_this();
        file->setExpanded(false);
        file->stopWatching();
    });
    _root->startWatching();
    buildMenus();
    statusBar()->showMessage(folder);
}

FolderWindow::~FolderWindow() {
    _view->setModel(nullptr);
    _root->clearReferences();
}

std::shared_ptr<QVFile> FolderWindow::selectedFile() const {
    const QModelIndex index = _view->currentIndex();
    return index.isValid() ? _model->fileAt(index)->shared_from_this() : nullptr;
}

void FolderWindow::renameSelection() {
    if (_view->currentIndex().isValid()) _view->edit(_view->currentIndex());
}

void FolderWindow::duplicateSelection() {
    if (const auto file = selectedFile()) file->duplicate();
}

void FolderWindow::trashSelection() {
    if (const auto file = selectedFile()) file->moveToTrash();
}

void FolderWindow::deleteSelection() {
    const auto file = selectedFile();
    if (!file) return;
    auto* box = new QMessageBox(QMessageBox::Warning, QVLocalized(QStringLiteral("Delete")),
                                QVLocalized(QStringLiteral("Delete \"%1\"?")).arg(file->name()), QMessageBox::NoButton, this);
    box->setInformativeText(QVLocalized(QStringLiteral("The item is removed for good; it does not go to the Trash.")));
    QPushButton* remove = box->addButton(QVLocalized(QStringLiteral("Delete")), QMessageBox::DestructiveRole);
    // Return must never remove for good: the safe answer is the default.
    box->setDefaultButton(box->addButton(QMessageBox::Cancel));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    connect(box, &QMessageBox::finished, this, [box, remove, weak = std::weak_ptr<QVFile>(file)] {
        if (box->clickedButton() != remove) return;
        if (const auto target = weak.lock()) target->deleteFile();
    });
    box->open();
}

void FolderWindow::buildMenus() {
    QMenu* fileMenu = menuBar()->addMenu(QVLocalized(QStringLiteral("File")));
    struct Item {
        const char* title;
        QKeySequence key;
        void (FolderWindow::*command)();
    };
    const Item items[] = {
        {"Rename", QKeySequence(Qt::Key_F2), &FolderWindow::renameSelection},
        {"Duplicate", QKeySequence(Qt::CTRL | Qt::Key_D), &FolderWindow::duplicateSelection},
        {"Move to Trash", QKeySequence(Qt::Key_Delete), &FolderWindow::trashSelection},
        {"Delete…", QKeySequence(Qt::SHIFT | Qt::Key_Delete), &FolderWindow::deleteSelection},
    };
    auto* context = new QMenu(this);
    for (const Item& item : items) {
        QAction* action = fileMenu->addAction(QVLocalized(QString::fromUtf8(item.title)));
        action->setShortcut(item.key);
        connect(action, &QAction::triggered, this, item.command);
        context->addAction(action);
    }
    fileMenu->addSeparator();
    QAction* quit = fileMenu->addAction(QVLocalized(QStringLiteral("Quit")));
    quit->setShortcut(QKeySequence::Quit);
    connect(quit, &QAction::triggered, qApp, &QApplication::quit);
    connect(_view, &QWidget::customContextMenuRequested, this,
            [this, context](const QPoint& at) { context->popup(_view->viewport()->mapToGlobal(at)); });
}
