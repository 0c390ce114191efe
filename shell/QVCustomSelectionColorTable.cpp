// Selection colours of tables and outlines.
#include "shell/QVCustomSelectionColorTable.h"

#include <QApplication>

namespace {

// Returns whether the colour changed.
bool applySelectionColor(QAbstractItemView* view, QColor& stored, const QColor& color) {
    if (color == stored) return false;
    stored = color;
    QPalette palette = view->palette();
    const QPalette standard = QApplication::palette(view);
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive})
        palette.setColor(group, QPalette::Highlight, color.isValid() ? color : standard.color(group, QPalette::Highlight));
    view->setPalette(palette);
    view->viewport()->update();
    return true;
}

}  // namespace

void QVCustomSelectionColorTable::setSelectionColor(const QColor& color) {
    applySelectionColor(this, _selectionColor, color);
}

void QVCustomSelectionColorOutlineView::setSelectionColor(const QColor& color) {
    applySelectionColor(this, _selectionColor, color);
}
