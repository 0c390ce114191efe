// The quick-search field.
#include "editor/windows/QVSearchField.h"

#include <QKeyEvent>

QVSearchField::QVSearchField(QWidget* parent) : QLineEdit(parent) {
    setClearButtonEnabled(true);
}

bool QVSearchField::event(QEvent* event) {
    // Tab would move the focus on; here it ends the entry like Return and stays.
    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Tab && key->modifiers() == Qt::NoModifier) {
            selectAll();
            return true;
        }
    }
    return QLineEdit::event(event);
}

void QVSearchField::keyPressEvent(QKeyEvent* event) {
    QLineEdit::keyPressEvent(event);
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) selectAll();
}
