// Per-row cells: check boxes among text cells.
#include "projects/windows/QVVariableDataCellDelegate.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>

QVVariableDataCellDelegate::QVVariableDataCellDelegate(Source source, QObject* parent)
    : QStyledItemDelegate(parent), _source(std::move(source)) {}

QRect QVVariableDataCellDelegate::checkBoxRect(const QStyleOptionViewItem& option) const {
    QStyleOptionButton box;
    box.rect = option.rect;
    const QStyle* style = option.widget ? option.widget->style() : QApplication::style();
    const QRect indicator = style->subElementRect(QStyle::SE_CheckBoxIndicator, &box, option.widget);
    return {option.rect.left() + 4, option.rect.center().y() - indicator.height() / 2, indicator.width(), indicator.height()};
}

void QVVariableDataCellDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    if (cellForIndex(index) != Cell::CheckBox) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    // The row's background and selection as any cell, then the box alone.
    QStyleOptionViewItem background = option;
    initStyleOption(&background, index);
    background.text.clear();
    background.features &= ~QStyleOptionViewItem::HasCheckIndicator;
    const QStyle* style = option.widget ? option.widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &background, painter, option.widget);
    QStyleOptionButton box;
    box.rect = checkBoxRect(option);
    box.state = QStyle::State_Enabled | (index.data(Qt::EditRole).toBool() ? QStyle::State_On : QStyle::State_Off);
    if (!(option.state & QStyle::State_Enabled)) box.state &= ~QStyle::State_Enabled;
    style->drawPrimitive(QStyle::PE_IndicatorCheckBox, &box, painter, option.widget);
}

QSize QVVariableDataCellDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    if (cellForIndex(index) == Cell::CheckBox) size.setHeight(std::max(size.height(), checkBoxRect(option).height() + 4));
    return size;
}

QWidget* QVVariableDataCellDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                                                  const QModelIndex& index) const {
    if (cellForIndex(index) == Cell::CheckBox) return nullptr;  // toggled in place
    return QStyledItemDelegate::createEditor(parent, option, index);
}

bool QVVariableDataCellDelegate::editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                                             const QModelIndex& index) {
    if (cellForIndex(index) != Cell::CheckBox || !(index.flags() & Qt::ItemIsEditable))
        return QStyledItemDelegate::editorEvent(event, model, option, index);
    bool toggle = false;
    if (event->type() == QEvent::MouseButtonRelease) {
        auto* mouse = static_cast<QMouseEvent*>(event);
        toggle = mouse->button() == Qt::LeftButton && option.rect.contains(mouse->position().toPoint());
    } else if (event->type() == QEvent::MouseButtonDblClick) {
        return true;  // no text editor for a box
    } else if (event->type() == QEvent::KeyPress) {
        toggle = static_cast<QKeyEvent*>(event)->key() == Qt::Key_Space;
    }
    if (!toggle) return false;
    return model->setData(index, !index.data(Qt::EditRole).toBool(), Qt::EditRole);
}
