// The capsule label.
#include "shell/QVCapsuleTextField.h"

#include <QPainter>
#include <QPainterPath>

QVCapsuleTextField::QVCapsuleTextField(QWidget* parent) : QLabel(parent) {
    setAlignment(Qt::AlignCenter);
}

void QVCapsuleTextField::setCapsuleColor(const QColor& color) {
    if (color == _capsuleColor) return;
    _capsuleColor = color;
    setActiveColor(color);
}

void QVCapsuleTextField::setActiveColor(const QColor& color) {
    _activeColor = color;
    update();
}

void QVCapsuleTextField::invert(bool inverted) {
    QPalette p = palette();
    p.setColor(QPalette::WindowText, inverted ? palette().color(QPalette::Active, QPalette::Highlight) : QColor(Qt::white));
    setPalette(p);
    setActiveColor(inverted ? QColor(Qt::white) : _capsuleColor);
}

void QVCapsuleTextField::paintEvent(QPaintEvent* event) {
    if (_activeColor.isValid()) {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const qreal w = fontMetrics().horizontalAdvance(text()) + 2;
        const qreal h = height();
        const qreal x = (width() - w) / 2;
        const float r = float(h / 2);
        QPainterPath pill;
        pill.addRect(QRectF(x, 0, w, h));
        pill.addEllipse(QPointF(x + 1, r), r, r);
        pill.addEllipse(QPointF(x + w - 1, r), r, r);
        pill.setFillRule(Qt::WindingFill);
        painter.fillPath(pill, _activeColor);
    }
    QLabel::paintEvent(event);
}
