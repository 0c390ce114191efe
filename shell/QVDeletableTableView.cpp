// The deletable table view.
#include "shell/QVDeletableTableView.h"

#include <QKeyEvent>

QVDeletableTableView::QVDeletableTableView(QWidget* parent) : QTableView(parent) {}

void QVDeletableTableView::keyPressEvent(QKeyEvent* event) {
    // Linux keyboards name Delete what macOS calls forward delete: both keys delete here.
    const bool deleteKey = event->key() == Qt::Key_Delete || event->key() == Qt::Key_Backspace;
    if (deleteKey && _deleteSelected && hasFocus() && state() != EditingState) {
        _deleteSelected(this);
        event->accept();
        return;
    }
    QTableView::keyPressEvent(event);
}
