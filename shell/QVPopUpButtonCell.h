// The small editable drop-down of table cells.
#pragma once

#include <QComboBox>
#include <QStringList>

class QVPopUpButtonCell : public QComboBox {
    Q_OBJECT
public:
    explicit QVPopUpButtonCell(QWidget* parent = nullptr);
    // A small, frameless, editable drop-down with one item per title, in order.
    static QVPopUpButtonCell* buildDropDownWithValues(const QStringList& values, QWidget* parent = nullptr);
};
