// Toolbar items.
#include "editor/windows/QVToolbarItem.h"

QVToolbarItem::QVToolbarItem(const QString& identifier, QObject* parent) : QWidgetAction(parent), _identifier(identifier) {
    setObjectName(identifier);
}

void QVToolbarItem::setView(QWidget* view) {
    _view = view;
    setDefaultWidget(view);
}

void QVToolbarItem::validate() {
    if (_view && _validator) setEnabled(_validator->validateToolbarItem(this));
}
