// The small pop-up cell.
#include "shell/QVPopUpButtonCell.h"

#include <QApplication>

QVPopUpButtonCell::QVPopUpButtonCell(QWidget* parent) : QComboBox(parent) {}

QVPopUpButtonCell* QVPopUpButtonCell::buildDropDownWithValues(const QStringList& values, QWidget* parent) {
    auto* cell = new QVPopUpButtonCell(parent);
    // The small control size: the application font at 11 points.
    QFont font = QApplication::font();
    font.setPointSizeF(11);
    cell->setFont(font);
    cell->setEditable(true);
    cell->setFrame(false);
    cell->addItems(values);
    return cell;
}
