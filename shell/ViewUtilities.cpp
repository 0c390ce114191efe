// Pictures of widgets.
#include "shell/ViewUtilities.h"

#include <QPainter>
#include <QPixmap>
#include <QWidget>

QImage ViewUtilities::imageWithAlpha(QWidget* view, double alpha) {
    if (!view) return {};
    if (alpha < 0.0 || alpha > 1.0) alpha = 1.0;
    const QPixmap picture = view->grab();
    QImage image(picture.size(), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(picture.devicePixelRatio());
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setOpacity(alpha);
    painter.drawPixmap(0, 0, picture);
    painter.end();
    return image;
}
