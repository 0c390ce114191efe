// Where a window opens on the screen. Until the window manager has framed a window Qt knows only
// its inside, so a place worked out at show time lets the title bar land above the screen: the
// place is worked out again once the frame is known.
#pragma once

#include <QRect>

#include <functional>

class QWidget;

namespace QVScreenPlacement {

// frame moved into available, made no larger than it first.
QRect inside(const QRect& frame, const QRect& available);
// The available area of the screen the window is on (the primary screen's when none is).
QRect availableArea(const QWidget* window);
// Runs place each time window is shown, and once more when its frame becomes known (a window
// manager frames it a moment later, or never where there is none).
void placeWhenShown(QWidget* window, std::function<void()> place);
// Every showing of window opens inside its screen's available area, frame included.
void keepInside(QWidget* window);

}  // namespace QVScreenPlacement
