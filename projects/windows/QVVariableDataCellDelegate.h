// A table column whose cell changes from row to row: the delegate asks its source, row by row,
// whether the cell is a check box (drawn small and without a title, toggled by a click or the
// space bar) or the column's own text cell.
#pragma once

#include <QStyledItemDelegate>

#include <functional>

class QVVariableDataCellDelegate : public QStyledItemDelegate {
    Q_OBJECT

public:
    enum class Cell { Text, CheckBox };
    using Source = std::function<Cell(const QModelIndex&)>;

    QVVariableDataCellDelegate(Source source, QObject* parent = nullptr);

    Cell cellForIndex(const QModelIndex& index) const { return _source ? _source(index) : Cell::Text; }

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                     const QModelIndex& index) override;

private:
    QRect checkBoxRect(const QStyleOptionViewItem& option) const;

    Source _source;
};
