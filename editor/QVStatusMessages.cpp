// Status messages over the status bar.
#include "editor/QVStatusMessages.h"

#include <QApplication>
#include <QGraphicsOpacityEffect>
#include <QPainter>
#include <QParallelAnimationGroup>
#include <QPropertyAnimation>

#include <cmath>

namespace {

std::chrono::milliseconds& duration() {
    static std::chrono::milliseconds value(2500);
    return value;
}

}  // namespace

QPainterPath QVRoundedRectPath(const QRectF& rect, qreal radius) {
    // Qt's y grows downwards: the bottom-left corner of y-up terms is rect's bottom-left here,
    // and counter-clockwise there is clockwise on screen, which arcTo's negative sweeps draw.
    const QRectF inner = rect.adjusted(radius, radius, -radius, -radius);
    const qreal d = 2 * radius;
    QPainterPath path;
    path.arcMoveTo(QRectF(inner.left() - radius, inner.bottom() - radius, d, d), 180);
    path.arcTo(QRectF(inner.left() - radius, inner.bottom() - radius, d, d), 180, 90);
    path.arcTo(QRectF(inner.right() - radius, inner.bottom() - radius, d, d), 270, 90);
    path.arcTo(QRectF(inner.right() - radius, inner.top() - radius, d, d), 0, 90);
    path.arcTo(QRectF(inner.left() - radius, inner.top() - radius, d, d), 90, 90);
    path.closeSubpath();
    return path;
}

// --- Label ------------------------------------------------------------------------------------

QVStatusMessageView::QVStatusMessageView(const QString& message, QWidget* parent) : QWidget(parent), _message(message) {
    _font = QApplication::font();
    _font.setPointSizeF(11.0);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    sizeToFit();
}

QVStatusMessageView* QVStatusMessageView::copy(QWidget* parent) const {
    auto* label = new QVStatusMessageView(_message, parent);
    label->setGeometry(geometry());
    return label;
}

void QVStatusMessageView::sizeToFit() {
    const QFontMetricsF metrics(_font);
    resize(int(std::ceil(metrics.horizontalAdvance(_message))) + 20, LabelHeight);
}

void QVStatusMessageView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    // Room for the shadow at the right and bottom.
    const QRectF body(0, 0, width() - 6.0, height() - 6.0);
    for (int blur = 3; blur >= 1; --blur) {
        painter.fillPath(QVRoundedRectPath(body.translated(2, 2).adjusted(-blur + 1, -blur + 1, blur - 1, blur - 1), 8.0 + blur - 1),
                         QColor(0, 0, 0, 30));
    }
    painter.fillPath(QVRoundedRectPath(body, 8.0), QColor::fromRgbF(0, 0, 0, 0.6));
    painter.setFont(_font);
    painter.setPen(Qt::white);
    const QFontMetricsF metrics(_font);
    const QRectF textRect(7.0, 0, body.width() - 7.0, body.height());
    painter.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter, metrics.elidedText(_message, Qt::ElideRight, textRect.width()));
}

// --- Overlay view -----------------------------------------------------------------------------

std::chrono::milliseconds QVStatusBarOverlayView::messageDuration() { return duration(); }
void QVStatusBarOverlayView::setMessageDuration(std::chrono::milliseconds value) { duration() = value; }

QVStatusBarOverlayView::QVStatusBarOverlayView(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
}

QVStatusBarOverlayView::~QVStatusBarOverlayView() {
    _leave.cancel();
    if (_currentAnimation) _currentAnimation->stop();
}

QRect QVStatusBarOverlayView::slideTarget(const QRect& m, const QRect& e) {
    QRect target;
    if (m.width() < e.width()) {
        target.setX(e.x() + int(std::ceil((e.width() - m.width()) * 0.5)));
        target.setWidth(m.width());
    } else {
        target.setX(e.x());
        target.setWidth(e.width());
    }
    target.setY(e.y() - int(std::ceil((m.height() - e.height()) * 0.5)));
    target.setHeight(m.height());
    return target;
}

void QVStatusBarOverlayView::showStatusMessage(const QString& message, Style style, const QRect& endFrame) {
    _leave.cancel();
    delete _messageView;
    auto* label = new QVStatusMessageView(message, this);
    centre(label);
    label->show();
    _messageView = label;
    if (style == Slide) _translateFrame = slideTarget(label->geometry(), endFrame);
    _leave = MainQueue::after(messageDuration(), [self = QPointer<QVStatusBarOverlayView>(this), style] {
        if (self) self->leave(style);
    });
}

void QVStatusBarOverlayView::centre(QWidget* label) const { label->move(int(std::ceil((width() - label->width()) * 0.5)), 0); }

void QVStatusBarOverlayView::resizeEvent(QResizeEvent*) {
    if (_messageView) centre(_messageView);
}

void QVStatusBarOverlayView::cancelAnimation() {
    _leave.cancel();
    delete _messageView;
}

void QVStatusBarOverlayView::leave(Style style) {
    if (!_messageView) return;
    if (style != Fade && style != Slide) {
        delete _messageView;
        return;
    }
    // A copy leaves, so that a new message can take the label's place at once.
    if (_currentAnimation) _currentAnimation->stop();
    delete _animatingView;
    QVStatusMessageView* leaving = _messageView->copy(this);
    delete _messageView;
    leaving->show();
    _animatingView = leaving;
    auto* effect = new QGraphicsOpacityEffect(leaving);
    leaving->setGraphicsEffect(effect);
    auto* group = new QParallelAnimationGroup(this);
    auto* fade = new QPropertyAnimation(effect, "opacity", group);
    fade->setStartValue(1.0);
    fade->setEndValue(0.0);
    fade->setEasingCurve(QEasingCurve::InQuad);
    fade->setDuration(style == Slide ? 600 : 300);
    group->addAnimation(fade);
    if (style == Slide) {
        auto* slide = new QPropertyAnimation(leaving, "geometry", group);
        slide->setEndValue(_translateFrame);
        slide->setEasingCurve(QEasingCurve::InQuad);
        slide->setDuration(600);
        group->addAnimation(slide);
    }
    connect(group, &QAbstractAnimation::finished, this, &QVStatusBarOverlayView::animationDidEnd);
    _currentAnimation = group;
    group->start(QAbstractAnimation::DeleteWhenStopped);
}

void QVStatusBarOverlayView::animationDidEnd() {
    delete _animatingView;
    _currentAnimation = nullptr;
}

// --- Overlay window ---------------------------------------------------------------------------

QVStatusBarOverlayWindow::QVStatusBarOverlayWindow(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setAutoFillBackground(false);
    _view = new QVStatusBarOverlayView(this);
    _view->setGeometry(rect());
}

void QVStatusBarOverlayWindow::resizeEvent(QResizeEvent*) { _view->setGeometry(rect()); }
