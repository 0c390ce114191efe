// A table view that deletes its selected rows on the Delete and Backspace keys, through its
// owner's handler.
#pragma once

#include <QTableView>

#include <functional>

class QVDeletableTableView : public QTableView {
    Q_OBJECT
public:
    using DeleteHandler = std::function<void(QVDeletableTableView* table)>;
    explicit QVDeletableTableView(QWidget* parent = nullptr);

    // The owner's deletion; without one, the keys go to the table as usual.
    void setDeleteSelectedHandler(DeleteHandler handler) { _deleteSelected = std::move(handler); }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    DeleteHandler _deleteSelected;
};
