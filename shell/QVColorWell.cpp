// The colour well.
#include "shell/QVColorWell.h"

#include "shell/ColorUtilities.h"

#include <QApplication>
#include <QDrag>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>

QVColorWell::QVColorWell(QWidget* parent) : QWidget(parent) {
    setAcceptDrops(true);
    setMinimumSize(32, 22);
}

void QVColorWell::setColor(const QColor& color) {
    if (color == _color) return;
    _color = color;
    update();
    Q_EMIT colorChanged(_color);
}

void QVColorWell::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Button));
    painter.fillRect(rect().adjusted(3, 3, -3, -3), _color);
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

QMimeData* QVColorWell::mimeDataForDrag() const {
    auto* data = new QMimeData;
    data->setText(ColorUtilities::hexValueWebsafe(_color, false));
    data->setColorData(_color);
    return data;
}

bool QVColorWell::acceptsDrop(const QMimeData* data) {
    if (!data) return false;
    if (data->hasColor()) return true;
    if (!data->hasText()) return false;
    const QString text = data->text();
    if (text.size() < 6) return false;
    // The text must really hold the colour it reads as, not merely start with something.
    const QString hex = ColorUtilities::hexValueWebsafe(ColorUtilities::rgbFromHex(text), false);
    return text.contains(hex, Qt::CaseInsensitive);
}

bool QVColorWell::takeDrop(const QMimeData* data) {
    if (!acceptsDrop(data)) return false;
    const QColor dropped = data->hasColor() ? data->colorData().value<QColor>() : ColorUtilities::rgbFromHex(data->text());
    setColor(dropped);
    if (_colorField) _colorField->setText(ColorUtilities::hexValueWebsafe(_color, false));
    return true;
}

void QVColorWell::mousePressEvent(QMouseEvent* event) {
    _pressPosition = event->position().toPoint();
    QWidget::mousePressEvent(event);
}

void QVColorWell::mouseMoveEvent(QMouseEvent* event) {
    if (!(event->buttons() & Qt::LeftButton) ||
        (event->position().toPoint() - _pressPosition).manhattanLength() < QApplication::startDragDistance())
        return;
    QPixmap image(20, 20);
    image.fill(_color);
    auto* drag = new QDrag(this);
    drag->setMimeData(mimeDataForDrag());
    drag->setPixmap(image);
    drag->exec(Qt::CopyAction);
}

void QVColorWell::dragEnterEvent(QDragEnterEvent* event) {
    // A well never takes its own colour back.
    if (event->source() != this && acceptsDrop(event->mimeData())) event->acceptProposedAction();
    else event->ignore();
}

void QVColorWell::dropEvent(QDropEvent* event) {
    if (event->source() != this && takeDrop(event->mimeData())) event->acceptProposedAction();
    else event->ignore();
}
