// The deletable table view.
#include "shell/QVDeletableTableView.h"

#include <QKeyEvent>

QVDeletableTableView::QVDeletableTableView(QWidget* parent) : QTableView(parent) {}

void QVDeletableTableView::keyPressEvent(QKeyEvent* event) {
    // Delete and Backspace both delete the selected rows: keyboards differ on which one users reach for.
    const bool deleteKey = event->key() == Qt::Key_Delete || event->key() == Qt::Key_Backspace;
    if (deleteKey && _deleteSelected && hasFocus() && state() != EditingState) {
        _deleteSelected(this);
        event->accept();
        return;
    }
    QTableView::keyPressEvent(event);
}
