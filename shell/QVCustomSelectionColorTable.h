// A deletable table and an outline view whose selected rows are drawn in a colour of the owner's
// choosing.
#pragma once

#include "shell/QVDeletableTableView.h"

#include <QColor>
#include <QTreeView>

class QVCustomSelectionColorTable : public QVDeletableTableView {
    Q_OBJECT
public:
    explicit QVCustomSelectionColorTable(QWidget* parent = nullptr) : QVDeletableTableView(parent) {}
    QColor selectionColor() const { return _selectionColor; }
    // A different colour repaints the view; an invalid one restores the style's.
    void setSelectionColor(const QColor& color);

private:
    QColor _selectionColor;
};

class QVCustomSelectionColorOutlineView : public QTreeView {
    Q_OBJECT
public:
    explicit QVCustomSelectionColorOutlineView(QWidget* parent = nullptr) : QTreeView(parent) {}
    QColor selectionColor() const { return _selectionColor; }
    void setSelectionColor(const QColor& color);

private:
    QColor _selectionColor;
};
