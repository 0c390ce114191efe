// The gradient bar: fill, gradient and four borders.
#include "shell/QVGradientBar.h"

#include <QLinearGradient>
#include <QPaintEvent>
#include <QPainter>
#include <QPen>

#include <algorithm>

QVGradientBar::QVGradientBar(QWidget* parent) : QWidget(parent) {}

void QVGradientBar::setWidth(float& field, float width) {
    width = std::max(0.0f, width);
    if (field == width) return;
    field = width;
    update();
}

void QVGradientBar::setColor(QColor& field, const QColor& color) {
    if (field == color) return;
    field = color;
    update();
}

void QVGradientBar::setTopBorderWidth(float width) { setWidth(_topBorderWidth, width); }
void QVGradientBar::setRightBorderWidth(float width) { setWidth(_rightBorderWidth, width); }
void QVGradientBar::setBottomBorderWidth(float width) { setWidth(_bottomBorderWidth, width); }
void QVGradientBar::setLeftBorderWidth(float width) { setWidth(_leftBorderWidth, width); }

void QVGradientBar::setAllBorderWidths(float width) {
    setTopBorderWidth(width);
    setRightBorderWidth(width);
    setBottomBorderWidth(width);
    setLeftBorderWidth(width);
}

void QVGradientBar::setTopBorderColor(const QColor& color) { setColor(_topBorderColor, color); }
void QVGradientBar::setRightBorderColor(const QColor& color) { setColor(_rightBorderColor, color); }
void QVGradientBar::setBottomBorderColor(const QColor& color) { setColor(_bottomBorderColor, color); }
void QVGradientBar::setLeftBorderColor(const QColor& color) { setColor(_leftBorderColor, color); }

void QVGradientBar::setAllBorderColors(const QColor& color) {
    setTopBorderColor(color);
    setBottomBorderColor(color);
    setRightBorderColor(color);
    setLeftBorderColor(color);
}

void QVGradientBar::setBackgroundColor(const QColor& color) { setColor(_backgroundColor, color.toRgb()); }

void QVGradientBar::setBackgroundColor2(const QColor& color) {
    std::optional<QColor> value;
    if (color.isValid()) value = color.toRgb();
    if (value == _backgroundColor2) return;
    _backgroundColor2 = value;
    update();
}

QRectF QVGradientBar::fillRect() const {
    const qreal w = width(), h = height();
    return QRectF(_leftBorderWidth, _topBorderWidth, std::max<qreal>(0, w - _leftBorderWidth - _rightBorderWidth),
                  std::max<qreal>(0, h - _topBorderWidth - _bottomBorderWidth));
}

void QVGradientBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRectF inner = fillRect();
    if (!_backgroundColor2) {
        painter.fillRect(inner, _backgroundColor);
    } else {
        // Widget coordinates grow downwards: the background colour sits at the fill's bottom.
        QLinearGradient gradient(QPointF(0, inner.bottom()), QPointF(0, inner.top()));
        gradient.setColorAt(0, _backgroundColor);
        gradient.setColorAt(1, *_backgroundColor2);
        painter.fillRect(inner, gradient);
    }
    const qreal w = width(), h = height();
    // Each border is a line of its width down the middle of its strip, so it covers the strip.
    const auto border = [&](float lineWidth, const QColor& color, QPointF from, QPointF to) {
        if (lineWidth <= 0) return;
        painter.setPen(QPen(color, lineWidth, Qt::SolidLine, Qt::FlatCap));
        painter.drawLine(from, to);
    };
    border(_topBorderWidth, _topBorderColor, QPointF(0, _topBorderWidth / 2.0), QPointF(w, _topBorderWidth / 2.0));
    border(_rightBorderWidth, _rightBorderColor, QPointF(w - _rightBorderWidth / 2.0, 0), QPointF(w - _rightBorderWidth / 2.0, h));
    border(_bottomBorderWidth, _bottomBorderColor, QPointF(w, h - _bottomBorderWidth / 2.0), QPointF(0, h - _bottomBorderWidth / 2.0));
    border(_leftBorderWidth, _leftBorderColor, QPointF(_leftBorderWidth / 2.0, h), QPointF(_leftBorderWidth / 2.0, 0));
}
