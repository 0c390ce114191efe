// The capsule button.
#include "shell/QVCapsuleButton.h"

#include <QApplication>
#include <QEnterEvent>
#include <QFontMetricsF>
#include <QPainter>

QVCapsuleButton::QVCapsuleButton(const QString& title, QWidget* parent) : QAbstractButton(parent) {
    setText(title);
    setAttribute(Qt::WA_Hover);
    setFixedSize(sizeHint());
}

QFont QVCapsuleButton::titleFont() const {
    QFont font = QApplication::font();
    font.setBold(true);
    font.setPointSizeF(10);
    return font;
}

qreal QVCapsuleButton::titleWidth() const {
    return QFontMetricsF(titleFont()).horizontalAdvance(text());
}

QSize QVCapsuleButton::sizeHint() const {
    return QSize(qRound(titleWidth()) + 16, 16);
}

QPainterPath QVCapsuleButton::capsulePath() const {
    const float w = float(titleWidth()) + 8.0f - 4.0f;
    QPainterPath path;
    path.moveTo(8, 16);
    path.arcTo(QRectF(0, 0, 16, 16), 270, -180);
    path.lineTo(w, 0);
    path.arcTo(QRectF(w - 8, 0, 16, 16), 90, -180);
    path.closeSubpath();
    return path;
}

void QVCapsuleButton::setActive(bool active) {
    if (active == _active) return;
    _active = active;
    update();
}

bool QVCapsuleButton::hitButton(const QPoint& position) const {
    return capsulePath().contains(QPointF(position));
}

void QVCapsuleButton::enterEvent(QEnterEvent* event) {
    _hover = true;
    update();
    QAbstractButton::enterEvent(event);
}

void QVCapsuleButton::leaveEvent(QEvent* event) {
    _hover = false;
    update();
    QAbstractButton::leaveEvent(event);
}

void QVCapsuleButton::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange || event->type() == QEvent::LanguageChange) setFixedSize(sizeHint());
    QAbstractButton::changeEvent(event);
}

void QVCapsuleButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const bool enabled = isEnabled();
    if (enabled && (_hover || _active)) {
        const qreal alpha = _active || isDown() ? 0.6 : 0.3;
        painter.fillPath(capsulePath(), QColor::fromRgbF(0, 0, 0, float(alpha)));
    }
    QColor color = QColor::fromRgbF(0.1f, 0.1f, 0.1f, 1.0f);
    if (!enabled) color.setAlphaF(0.5f);
    else if (_hover || _active) color = Qt::white;
    painter.setPen(color);
    painter.setFont(titleFont());
    const QFontMetricsF metrics(titleFont());
    painter.drawText(QPointF(6, (height() - metrics.height()) / 2 + metrics.ascent()), text());
}
