// Short messages of a document window, shown over its status bar: a dark rounded label that
// leaves after a while by vanishing, fading, or fading while it slides onto the control it
// concerns.
#pragma once

#include "platform/MainQueue.h"

#include <QPainterPath>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QWidget>

#include <chrono>

#include <QAbstractAnimation>

// The rounded rectangle the labels fill: corner arcs of radius around centres inset by the
// radius, from the bottom-left corner counter-clockwise in y-up terms.
QPainterPath QVRoundedRectPath(const QRectF& rect, qreal radius);

// One label: the message in white on 60% black, truncated at the tail when the label is
// narrower than the text.
class QVStatusMessageView : public QWidget {
    Q_OBJECT
public:
    static constexpr int LabelHeight = 32;
    explicit QVStatusMessageView(const QString& message, QWidget* parent = nullptr);
    const QString& message() const { return _message; }
    // A new label for the same message with the same frame.
    QVStatusMessageView* copy(QWidget* parent) const;
    // Text width + 20 by 32.
    void sizeToFit();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString _message;
    QFont _font;
};

// The overlay's content: at most one label on display, centred at its top; a new message
// replaces it and cancels its leave, while a copy already leaving goes on leaving.
class QVStatusBarOverlayView : public QWidget {
    Q_OBJECT
public:
    enum Style { Vanish = 0, Fade = 1, Slide = 2 };
    static constexpr int DefaultHeight = 60;
    static int defaultHeight() { return DefaultHeight; }
    // How long a message stays (2.5 seconds); tests shorten it and let the main queue run it.
    static std::chrono::milliseconds messageDuration();
    static void setMessageDuration(std::chrono::milliseconds duration);

    explicit QVStatusBarOverlayView(QWidget* parent = nullptr);
    ~QVStatusBarOverlayView() override;

    void showStatusMessage(const QString& message, Style style = Vanish, const QRect& endFrame = {});
    // Cancels the scheduled leave and removes the label at once.
    void cancelAnimation();

    QVStatusMessageView* messageView() const { return _messageView; }
    QVStatusMessageView* animatingView() const { return _animatingView; }
    QAbstractAnimation* currentAnimation() const { return _currentAnimation; }
    // Where a sliding label ends (overlay coordinates).
    QRect translateFrame() const { return _translateFrame; }
    // The end frame of a label at frame sliding onto endFrame: centred in it when narrower,
    // its full width otherwise, centred on it vertically.
    static QRect slideTarget(const QRect& frame, const QRect& endFrame);

protected:
    // The label on display stays centred: a message shown while its window is still being laid
    // out would otherwise sit where the overlay's first width put it.
    void resizeEvent(QResizeEvent* event) override;

private:
    void leave(Style style);
    void animationDidEnd();
    void centre(QWidget* label) const;

    QPointer<QAbstractAnimation> _currentAnimation;
    QPointer<QVStatusMessageView> _messageView;
    QPointer<QVStatusMessageView> _animatingView;
    QRect _translateFrame;
    MainQueue::DelayedCall _leave;
};

// The transparent layer over a status bar: a child of the bar's window raised over everything,
// as wide as the bar and DefaultHeight high with its bottom on the bar's bottom, so labels show
// above the bar. It never takes the mouse.
class QVStatusBarOverlayWindow : public QWidget {
    Q_OBJECT
public:
    explicit QVStatusBarOverlayWindow(QWidget* parent);
    QVStatusBarOverlayView* view() const { return _view; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    QVStatusBarOverlayView* _view;
};
