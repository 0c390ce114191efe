// Tinting an image with a colour through a Porter-Duff compositing operation.
#include "shell/ImageTint.h"

#include <QPainter>

#include <optional>

namespace {

std::optional<QPainter::CompositionMode> compositionMode(quint32 operation) {
    switch (operation) {
    case ImageTint::Clear: return QPainter::CompositionMode_Clear;
    case ImageTint::Copy: return QPainter::CompositionMode_Source;
    case ImageTint::SourceOver: return QPainter::CompositionMode_SourceOver;
    case ImageTint::SourceIn: return QPainter::CompositionMode_SourceIn;
    case ImageTint::SourceOut: return QPainter::CompositionMode_SourceOut;
    case ImageTint::SourceAtop: return QPainter::CompositionMode_SourceAtop;
    case ImageTint::DestinationOver: return QPainter::CompositionMode_DestinationOver;
    case ImageTint::DestinationIn: return QPainter::CompositionMode_DestinationIn;
    case ImageTint::DestinationOut: return QPainter::CompositionMode_DestinationOut;
    case ImageTint::DestinationAtop: return QPainter::CompositionMode_DestinationAtop;
    case ImageTint::XOR: return QPainter::CompositionMode_Xor;
    case ImageTint::PlusLighter: return QPainter::CompositionMode_Plus;
    default: return std::nullopt;
    }
}

}  // namespace

QImage ImageTint::tintedImageWithColor(const QImage& source, const QColor& color,
                                       quint32 operation) {
    const std::optional<QPainter::CompositionMode> mode = compositionMode(operation);
    if (source.isNull() || !mode) return {};
    QImage image(source.size(), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(source.devicePixelRatio());
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.drawImage(QPointF(0, 0), source);
    painter.setCompositionMode(*mode);
    painter.fillRect(QRectF(QPointF(0, 0), QSizeF(source.size()) / source.devicePixelRatio()), color);
    painter.end();
    return image;
}
