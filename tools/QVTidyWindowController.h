// The Tidy window: the HTML Tidy operations of the repository for editing and running. Add and
// double-click open the operation editor sheet; the edited copy replaces the operation (its file
// written first) only when the user confirms and the write succeeds. Run opens the run sheet
// with the selected operations. One window for the life of the process.
#pragma once

#include "shell/QVNormalWindow.h"
#include "tools/QVTidyOperation.h"

#include <memory>

class QPushButton;
class QVDeletableTableView;
class QVTidyActionEditor;
class QVTidyRunner;

class QVTidyWindowController : public QVNormalWindow {
    Q_OBJECT
public:
    // The name under which the window's frame is kept.
    static inline const QString FrameAutosaveName = QStringLiteral("QVTidyPanel");

    // The shared window, made on first use over the shared repository (loaded, not forced).
    static QVTidyWindowController& sharedInstance();
    // A window over another repository (tests).
    explicit QVTidyWindowController(QVTidyOperationRepository& repository, QWidget* parent = nullptr);
    ~QVTidyWindowController() override;

    QVTidyOperationRepository& repository() const { return _repository; }
    // Shows the window in front, the list read again from the folder.
    void showWindow();
    // Reads the folder again.
    void reloadList();

    // The operations selected in the list, in list order.
    QList<std::shared_ptr<QVTidyOperation>> selectedOperations() const;
    void selectRows(const QList<int>& rows);
    // Starts a run sheet on this window with the selected operations (scope as chosen last).
    QVTidyRunner* run();
    // The editor sheet for a new operation (editedRow -1) or a copy of the one at row.
    QVTidyActionEditor* add();
    QVTidyActionEditor* editRow(int row);
    // Deletes the selected operations' files and takes them out of the list; the first failure
    // stops and is shown.
    void removeSelected();
    // The editor's OK: the new operation is added, the edited one replaced, each written first.
    // False (the error says why; list and files as they were) when the write failed.
    bool actionEditorFinished(int returnCode, const std::shared_ptr<QVTidyOperation>& operation, QVError* error);

    QVDeletableTableView* tableView() const { return _tableView; }
    QPushButton* runButton() const { return _runButton; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    class Model;
    void updateButtons();

    QVTidyOperationRepository& _repository;
    Model* _model = nullptr;
    QVDeletableTableView* _tableView = nullptr;
    QPushButton* _addButton = nullptr;
    QPushButton* _removeButton = nullptr;
    QPushButton* _editButton = nullptr;
    QPushButton* _runButton = nullptr;
    int _editedRow = -1;
};
