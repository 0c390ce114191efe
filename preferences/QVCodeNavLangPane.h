// The code-navigation editor: the searches that build a file's navigation menu, in menu order,
// each edited in a sheet.
#pragma once

#include "languages/QVCodeNavItem.h"
#include "preferences/QVLanguagePane.h"

#include <QList>

#include <memory>
#include <optional>

class QDialog;
class QLabel;
class QPushButton;
class QStandardItemModel;
class QTableView;

class QVCodeNavLangPane : public QVLanguagePane {
    Q_OBJECT
public:
    QVCodeNavLangPane(std::shared_ptr<QVBundle> bundle, QVLanguagePaneDelegate* delegate);

    const QList<QVCodeNavItem>& searches() const { return _searches; }
    void selectRow(int row);
    // The double click: a copy of the selected search goes into the sheet; false, and no sheet,
    // without a selection.
    bool doubleClick();
    // A new empty search after the last, opened in the sheet; cancelling the sheet takes it out
    // again.
    void addSearch();
    void removeSelectedSearch();
    // The search in the sheet; none while no sheet is open.
    std::optional<QVCodeNavItem> editItem() const { return _editItem; }
    void setEditItem(const QVCodeNavItem& item);
    // Why the sheet cannot be confirmed; empty when it can.
    QString status() const { return _status; }
    // Confirming puts the search in the sheet at its own place in the list; it refuses (false,
    // the sheet stays saying why) a pattern that is empty or does not compile. Cancelling drops
    // what was typed.
    bool closeEditPanel(bool confirm);
    QDialog* editPanel() const { return _editPanel; }
    // Leaving with changes gives the bundle the searches, making its code-navigation parser
    // first when it has none; the bundle is saved at the end of the session.
    void unselect() override;
    QTableView* tableView() const { return _table; }

protected:
    QWidget* loadView() override;

private:
    void reloadRow(int row);
    void updateStatus();

    QList<QVCodeNavItem> _searches;
    std::optional<QVCodeNavItem> _editItem;
    int _editRow = -1;
    bool _editRowAdded = false;
    QString _status;
    QStandardItemModel* _model = nullptr;
    QTableView* _table = nullptr;
    QDialog* _editPanel = nullptr;
    QLabel* _statusField = nullptr;
    QPushButton* _confirm = nullptr;
};
