#include "tools/QVTidyWindowController.h"
#include "platform/Threads.h"

#include "platform/AppBundle.h"
#include "platform/UserDefaults.h"
#include "shell/QVAlertDetails.h"
#include "shell/QVDeletableTableView.h"
#include "tools/QVTidyActionEditor.h"
#include "tools/QVTidyOptionLibrary.h"
#include "tools/QVTidyRunner.h"

#include <QAbstractTableModel>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

#include <thread>

namespace {

QString localized(const char* text) { return QVLocalized(QString::fromUtf8(text)); }

QString frameKey() { return QStringLiteral("QVWindowFrame ") + QVTidyWindowController::FrameAutosaveName; }

std::shared_ptr<QVTidyOperation> tidyOperation(const std::shared_ptr<QVOperation>& operation) {
    return std::dynamic_pointer_cast<QVTidyOperation>(operation);
}

void showError(QWidget* window, const QVError& error) {
    auto* box = new QMessageBox(QMessageBox::Warning, error.localizedDescription(), error.localizedDescription(),
                                QMessageBox::Ok, window);
    QVSetAlertDetails(box, error.localizedRecoverySuggestion());
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

}  // namespace

// The repository's operations as the table shows them: name and description.
class QVTidyWindowController::Model : public QAbstractTableModel {
public:
    Model(QVTidyOperationRepository& repository, QObject* parent) : QAbstractTableModel(parent), _repository(repository) {}
    void reload() {
        beginResetModel();
        endResetModel();
    }
    int rowCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : int(_repository.countOfOperations()); }
    int columnCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : 2; }
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
        return section == 0 ? localized("Name") : localized("Description");
    }
    QVariant data(const QModelIndex& index, int role) const override {
        if (!index.isValid() || index.row() >= _repository.countOfOperations()) return {};
        const auto operation = tidyOperation(_repository.objectInOperationsAtIndex(index.row()));
        if (!operation) return {};
        if (role == Qt::DisplayRole) return index.column() == 0 ? operation->title() : operation->description();
        if (role == Qt::ToolTipRole) return operation->path();
        return {};
    }

private:
    QVTidyOperationRepository& _repository;
};

QVTidyWindowController& QVTidyWindowController::sharedInstance() {
    static QPointer<QVTidyWindowController> shared;
    if (!shared) shared = new QVTidyWindowController(QVTidyOperationRepository::sharedInstance());
    return *shared;
}

QVTidyWindowController::QVTidyWindowController(QVTidyOperationRepository& repository, QWidget* parent)
    : QVNormalWindow(parent), _repository(repository) {
    setObjectName(QStringLiteral("TidyPanel"));
    setWindowTitle(localized("HTML Tidy"));
    // The option library asks tidy itself; the editor finds it ready (or waits for it).
    Threads::start("QVTidyOptions", [] { QVTidyOptionLibrary::shared(); }).detach();
    _repository.reload(false);

    auto* content = new QWidget(this);
    auto* layout = new QVBoxLayout(content);
    auto* hint = new QLabel(localized("Select one or more operations and click Run to tidy the current file, the open files or the site."), content);
    hint->setWordWrap(true);
    layout->addWidget(hint);
    _model = new Model(_repository, this);
    _tableView = new QVDeletableTableView(content);
    _tableView->setModel(_model);
    _tableView->setSelectionBehavior(QAbstractItemView::SelectRows);
    _tableView->setSelectionMode(QAbstractItemView::ExtendedSelection);
    _tableView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    _tableView->verticalHeader()->hide();
    _tableView->horizontalHeader()->setStretchLastSection(true);
    _tableView->setColumnWidth(0, 180);
    _tableView->setDeleteSelectedHandler([this](QVDeletableTableView*) { removeSelected(); });
    layout->addWidget(_tableView, 1);
    auto* buttons = new QHBoxLayout;
    _addButton = new QPushButton(QStringLiteral("+"), content);
    _addButton->setToolTip(localized("Add an operation"));
    _removeButton = new QPushButton(QStringLiteral("\u2212"), content);
    _removeButton->setToolTip(localized("Delete the selected operations"));
    _editButton = new QPushButton(localized("Edit…"), content);
    _runButton = new QPushButton(localized("Run…"), content);
    _runButton->setDefault(true);
    for (QPushButton* small : {_addButton, _removeButton}) small->setFixedWidth(36);
    buttons->addWidget(_addButton);
    buttons->addWidget(_removeButton);
    buttons->addWidget(_editButton);
    buttons->addStretch(1);
    buttons->addWidget(_runButton);
    layout->addLayout(buttons);
    setCentralWidget(content);

    connect(_addButton, &QPushButton::clicked, this, [this] { add(); });
    connect(_removeButton, &QPushButton::clicked, this, [this] { removeSelected(); });
    connect(_editButton, &QPushButton::clicked, this, [this] {
        const QModelIndexList rows = _tableView->selectionModel()->selectedRows();
        if (!rows.isEmpty()) editRow(rows.first().row());
    });
    connect(_runButton, &QPushButton::clicked, this, [this] { run(); });
    connect(_tableView, &QTableView::doubleClicked, this, [this](const QModelIndex& index) { editRow(index.row()); });
    connect(_tableView->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] { updateButtons(); });
    connect(_model, &QAbstractItemModel::modelReset, this, [this] { updateButtons(); });
    resize(520, 360);
    restoreGeometry(UserDefaults::standard().objectForKey(frameKey()).toByteArray());
    updateButtons();
}

QVTidyWindowController::~QVTidyWindowController() = default;

void QVTidyWindowController::showWindow() {
    reloadList();
    show();
    raise();
    activateWindow();
}

void QVTidyWindowController::reloadList() {
    _repository.reload(true);
    _model->reload();
}

QList<std::shared_ptr<QVTidyOperation>> QVTidyWindowController::selectedOperations() const {
    QList<int> rows;
    for (const QModelIndex& index : _tableView->selectionModel()->selectedRows()) rows.append(index.row());
    std::sort(rows.begin(), rows.end());
    QList<std::shared_ptr<QVTidyOperation>> operations;
    for (int row : rows)
        if (auto operation = tidyOperation(_repository.objectInOperationsAtIndex(row))) operations.append(operation);
    return operations;
}

void QVTidyWindowController::selectRows(const QList<int>& rows) {
    _tableView->clearSelection();
    for (int row : rows)
        _tableView->selectionModel()->select(_model->index(row, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

void QVTidyWindowController::updateButtons() {
    const bool selected = _tableView->selectionModel()->hasSelection();
    _removeButton->setEnabled(selected);
    _editButton->setEnabled(selected);
    _runButton->setEnabled(selected);
}

QVTidyRunner* QVTidyWindowController::run() {
    const QList<std::shared_ptr<QVTidyOperation>> operations = selectedOperations();
    if (operations.isEmpty()) return nullptr;
    auto* runner = new QVTidyRunner(this);
    runner->displayOnWindow(operations, false);
    return runner;
}

QVTidyActionEditor* QVTidyWindowController::add() {
    _editedRow = -1;
    auto* editor = new QVTidyActionEditor(this);
    editor->displayOnWindow(nullptr, [this](int code, const std::shared_ptr<QVTidyOperation>& operation, QVError* error) {
        return actionEditorFinished(code, operation, error);
    });
    return editor;
}

QVTidyActionEditor* QVTidyWindowController::editRow(int row) {
    if (row < 0 || row >= _repository.countOfOperations()) return nullptr;
    const auto operation = tidyOperation(_repository.objectInOperationsAtIndex(row));
    if (!operation || operation->isDirectory()) return nullptr;
    _editedRow = row;
    auto* editor = new QVTidyActionEditor(this);
    editor->displayOnWindow(operation, [this](int code, const std::shared_ptr<QVTidyOperation>& edited, QVError* error) {
        return actionEditorFinished(code, edited, error);
    });
    return editor;
}

bool QVTidyWindowController::actionEditorFinished(int returnCode, const std::shared_ptr<QVTidyOperation>& operation,
                                                  QVError* error) {
    if (returnCode != 1 || !operation) return true;
    bool written = false;
    if (_editedRow >= 0 && _editedRow < _repository.countOfOperations()) {
        written = _repository.replaceObjectInOperationsAtIndex(_editedRow, operation, error);
    } else {
        // A copy without a path: the repository names its file from the title.
        operation->setPath({});
        written = _repository.insertObjectInOperationsAtIndex(operation, _repository.countOfOperations(), error);
    }
    if (!written) return false;
    const int row = _editedRow >= 0 ? _editedRow : int(_repository.countOfOperations() - 1);
    _model->reload();
    selectRows({row});
    return true;
}

void QVTidyWindowController::removeSelected() {
    QList<int> rows;
    for (const QModelIndex& index : _tableView->selectionModel()->selectedRows()) rows.append(index.row());
    std::sort(rows.begin(), rows.end(), std::greater<>());
    for (int row : rows) {
        QVError error;
        if (!_repository.removeObjectFromOperationsAtIndex(row, &error)) {
            _model->reload();
            showError(this, error);
            return;
        }
    }
    _model->reload();
}

void QVTidyWindowController::closeEvent(QCloseEvent* event) {
    UserDefaults::standard().setObject(saveGeometry(), frameKey());
    QVNormalWindow::closeEvent(event);
}
