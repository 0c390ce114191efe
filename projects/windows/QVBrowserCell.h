// The rows of the remote folder browser: 20 points high, a little wider than their text, drawn
// inset on a background of their own (the highlight when selected).
#pragma once

#include <QStyledItemDelegate>

class QVBrowserCell : public QStyledItemDelegate {
    Q_OBJECT

public:
    static constexpr int RowHeight = 20;
    static constexpr int ExtraWidth = 22;

    using QStyledItemDelegate::QStyledItemDelegate;

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};
