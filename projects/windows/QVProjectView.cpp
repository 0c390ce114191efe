// The project outline.
#include "projects/windows/QVProjectView.h"

#include <QContextMenuEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>

QVProjectView::QVProjectView(QWidget* parent) : QTreeView(parent) {
    setObjectName(QStringLiteral("ProjectView"));
    setHeaderHidden(true);
    setUniformRowHeights(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setExpandsOnDoubleClick(false);
    setDragEnabled(true);
    setAcceptDrops(true);
    setDropIndicatorShown(true);
    setDragDropMode(QAbstractItemView::DragDrop);
    setDefaultDropAction(Qt::MoveAction);
    setIconSize(QSize(16, 16));
    setIndentation(14);
    setAnimated(false);
    // The selection colour of the project outline: a slate blue.
    QPalette colours = palette();
    colours.setColor(QPalette::Highlight, QColor(138, 152, 172));
    colours.setColor(QPalette::HighlightedText, Qt::white);
    setPalette(colours);
    header()->setStretchLastSection(false);
}

void QVProjectView::setModel(QAbstractItemModel* model) {
    QTreeView::setModel(model);
    // The name column takes the width the status columns leave.
    if (model && model->columnCount() > 0) header()->setSectionResizeMode(0, QHeaderView::Stretch);
}

void QVProjectView::selectRowAt(const QPoint& viewportPoint) {
    const QModelIndex index = indexAt(viewportPoint);
    if (!index.isValid()) return;
    selectionModel()->setCurrentIndex(index.siblingAtColumn(0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void QVProjectView::editSelectedName() {
    const QModelIndex current = currentIndex();
    if (current.isValid()) edit(current.siblingAtColumn(0));
}

void QVProjectView::keyPressEvent(QKeyEvent* event) {
    const QModelIndex current = currentIndex();
    if (current.isValid() && state() != EditingState &&
        (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter || event->key() == Qt::Key_Space) &&
        !(event->modifiers() & ~Qt::KeypadModifier)) {
        // Return opens as a double click does (a folder toggles, a file opens and is typed
        // into); the space bar acts as a single click.
        const bool folder = model()->hasChildren(current.siblingAtColumn(0)) || model()->canFetchMore(current.siblingAtColumn(0));
        if (folder || event->key() != Qt::Key_Space)
            Q_EMIT doubleAction(current.siblingAtColumn(0));
        else
            Q_EMIT singleAction(current.siblingAtColumn(0));
        return;
    }
    QTreeView::keyPressEvent(event);
}

void QVProjectView::mousePressEvent(QMouseEvent* event) {
    const QModelIndex index = indexAt(event->position().toPoint());
    if (event->button() == Qt::LeftButton && (event->modifiers() & Qt::AltModifier) && index.isValid()) {
        selectRowAt(event->position().toPoint());
        edit(index.siblingAtColumn(0));
        return;
    }
    QTreeView::mousePressEvent(event);
    if (event->button() == Qt::LeftButton && index.isValid() && !(event->modifiers() & (Qt::ControlModifier | Qt::ShiftModifier)))
        Q_EMIT singleAction(index.siblingAtColumn(0));
}

void QVProjectView::mouseDoubleClickEvent(QMouseEvent* event) {
    const QModelIndex index = indexAt(event->position().toPoint());
    if (event->button() == Qt::LeftButton && index.isValid()) {
        Q_EMIT doubleAction(index.siblingAtColumn(0));
        return;
    }
    QTreeView::mouseDoubleClickEvent(event);
}

void QVProjectView::contextMenuEvent(QContextMenuEvent* event) {
    selectRowAt(viewport()->mapFrom(this, event->pos()));
    if (_contextMenu) _contextMenu->popup(event->globalPos());
}
