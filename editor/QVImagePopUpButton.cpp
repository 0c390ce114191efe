// The image-only pull-down button.
#include "editor/QVImagePopUpButton.h"

#include <QPainter>

QVImagePopUpButton::QVImagePopUpButton(QWidget* parent) : QToolButton(parent) {
    setPopupMode(QToolButton::InstantPopup);
    setAutoRaise(true);
    setFocusPolicy(Qt::NoFocus);
}

void QVImagePopUpButton::setImage(const QPixmap& image) {
    _image = image;
    updateGeometry();
    update();
}

void QVImagePopUpButton::setAlternateImage(const QPixmap& image) {
    _alternateImage = image;
    update();
}

QSize QVImagePopUpButton::sizeHint() const {
    return _image.isNull() ? QSize(16, 16) : _image.deviceIndependentSize().toSize();
}

void QVImagePopUpButton::paintEvent(QPaintEvent*) {
    const QPixmap& shown = isDown() && !_alternateImage.isNull() ? _alternateImage : _image;
    if (shown.isNull()) return;
    QPainter painter(this);
    const QSizeF size = shown.deviceIndependentSize();
    painter.drawPixmap(QPointF((width() - size.width()) * 0.5, (height() - size.height()) * 0.5), shown);
}
