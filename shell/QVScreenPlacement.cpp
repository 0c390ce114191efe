#include "shell/QVScreenPlacement.h"

#include <QEvent>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <QWidget>

#include <algorithm>

namespace {

// Watches one window's showings; goes with the window.
class PlacementWatch : public QObject {
public:
    PlacementWatch(QWidget* window, std::function<void()> place) : QObject(window), _window(window), _place(std::move(place)) {
        window->installEventFilter(this);
        _poll.setInterval(25);
        connect(&_poll, &QTimer::timeout, this, [this] { placeIfFramed(); });
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched != _window) return false;
        if (event->type() == QEvent::Show) {
            _place();
            // A frame is known when it differs from the inside; give the window manager a few
            // seconds to put one on (none comes without a window manager).
            _framed = _window->frameGeometry() != _window->geometry();
            _tries = 0;
            if (!_framed) _poll.start();
        } else if (event->type() == QEvent::Hide) {
            _poll.stop();
        } else if (event->type() == QEvent::Move || event->type() == QEvent::Resize) {
            if (!_framed && _window->isVisible()) placeIfFramed();
        }
        return false;
    }

private:
    void placeIfFramed() {
        if (_framed || ++_tries > 120) return _poll.stop();
        if (_window->frameGeometry() == _window->geometry()) return;
        _framed = true;
        _poll.stop();
        _place();
    }

    QWidget* _window;
    std::function<void()> _place;
    QTimer _poll;
    bool _framed = true;
    int _tries = 0;
};

}  // namespace

QRect QVScreenPlacement::inside(const QRect& frame, const QRect& available) {
    QRect placed(frame.topLeft(), frame.size().boundedTo(available.size()));
    placed.moveLeft(std::clamp(placed.left(), available.left(), available.left() + available.width() - placed.width()));
    placed.moveTop(std::clamp(placed.top(), available.top(), available.top() + available.height() - placed.height()));
    return placed;
}

QRect QVScreenPlacement::availableArea(const QWidget* window) {
    const QRect frame = window->frameGeometry();
    const QScreen* screen = QGuiApplication::screenAt(frame.center());
    if (!screen) screen = window->screen();
    if (!screen) screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect();
}

void QVScreenPlacement::placeWhenShown(QWidget* window, std::function<void()> place) {
    if (window && place) new PlacementWatch(window, std::move(place));
}

void QVScreenPlacement::keepInside(QWidget* window) {
    placeWhenShown(window, [window] {
        const QRect available = availableArea(window);
        if (available.isEmpty()) return;
        const QRect frame = window->frameGeometry();
        const QRect placed = inside(frame, available);
        // The frame's own width and height stay around the smaller inside.
        if (placed.size() != frame.size()) window->resize(window->size() - (frame.size() - placed.size()));
        if (placed.topLeft() != window->frameGeometry().topLeft()) window->move(placed.topLeft());
    });
}
