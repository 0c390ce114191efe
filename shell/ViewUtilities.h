// Pictures of widgets: what the tab bar drags when a tab is moved.
#pragma once

#include <QImage>

class QWidget;

class ViewUtilities {
public:
    // The widget as it draws itself, at alpha opacity over transparency; an alpha outside 0 to 1
    // draws it fully opaque.
    static QImage imageWithAlpha(QWidget* view, double alpha);
};
