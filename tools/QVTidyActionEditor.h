// The operation editor sheet: title, description and the table of an operation's options, each
// value edited with a control that suits the option (a pop-up for a choice, a check box for
// on/off, a combo box for a number with suggestions, a text field otherwise), filled from the
// option library by dragging an option onto a row (it goes above that row) or double-clicking
// it (it goes at the end). The sheet works on a copy: Cancel leaves the operation as it was.
#pragma once

#include "tools/QVTidyOperation.h"

#include <QDialog>
#include <QVariantMap>

#include <functional>
#include <memory>

class QComboBox;
class QLineEdit;
class QPushButton;
class QTableView;
class QVDeletableTableView;

class QVTidyActionEditor : public QDialog {
    Q_OBJECT
public:
    // The drag type of one library definition.
    static inline const QString DragType = QStringLiteral("QVTidyActionDragType");

    // Told of OK (return code 1) with the edited copy; false keeps the sheet open (the error is
    // shown on it), so nothing typed is lost when the write fails.
    using Delegate = std::function<bool(int returnCode, const std::shared_ptr<QVTidyOperation>& operation, QVError* error)>;

    explicit QVTidyActionEditor(QWidget* window);
    // Keeps the delegate and a copy of operation, and opens the sheet on the window.
    void displayOnWindow(const std::shared_ptr<QVTidyOperation>& operation, Delegate delegate);
    // The buttons: tag 1 confirms, anything else cancels.
    void close(int tag);

    std::shared_ptr<QVTidyOperation> operation() const { return _operation; }
    // A new option from a library definition ("flag", "default") at index (-1: at the end).
    void insertActionFromLibraryDictionary(const QVariantMap& definition, int index);
    void deleteSelected();
    // The library list: a category ("All": every option) and a search text.
    void chooseCategory(int index);
    void search(const QString& text);
    QList<QVariantMap> arrangedLibrary() const;

    QVDeletableTableView* tableView() const { return _tableView; }
    QTableView* libraryView() const { return _libraryView; }
    QComboBox* categoryPopUp() const { return _categoryPopUp; }
    QLineEdit* titleField() const { return _titleField; }
    QLineEdit* descriptionField() const { return _descriptionField; }
    QPushButton* okButton() const { return _okButton; }

    // The value editor kind of an option: "Enum", "Boolean", "Combo" or "String" (none known).
    static QString valueTypeForOption(const QString& option);

private:
    class ActionsModel;
    class LibraryModel;
    class ValueDelegate;
    void updateOK();

    std::shared_ptr<QVTidyOperation> _operation;
    Delegate _delegate;
    ActionsModel* _actionsModel = nullptr;
    LibraryModel* _libraryModel = nullptr;
    QVDeletableTableView* _tableView = nullptr;
    QTableView* _libraryView = nullptr;
    QComboBox* _categoryPopUp = nullptr;
    QLineEdit* _searchField = nullptr;
    QLineEdit* _titleField = nullptr;
    QLineEdit* _descriptionField = nullptr;
    QPushButton* _okButton = nullptr;
};
