// Browser rows: fixed height, inset drawing.
#include "projects/windows/QVBrowserCell.h"

#include <QPainter>

QSize QVBrowserCell::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    return {QStyledItemDelegate::sizeHint(option, index).width() + ExtraWidth, RowHeight};
}

void QVBrowserCell::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const bool selected = option.state & QStyle::State_Selected;
    painter->fillRect(option.rect, selected ? option.palette.brush(QPalette::Highlight) : option.palette.brush(QPalette::Base));
    QStyleOptionViewItem inset = option;
    inset.rect = option.rect.adjusted(3, 2, -3, -2);
    // The background is ours; the base draws only the icon and the text, in the selected colours.
    inset.state &= ~QStyle::State_Selected;
    if (selected) inset.palette.setColor(QPalette::Text, option.palette.color(QPalette::HighlightedText));
    inset.state &= ~QStyle::State_HasFocus;
    QStyledItemDelegate::paint(painter, inset, index);
}
