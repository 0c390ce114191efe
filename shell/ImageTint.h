// Tinting an image with a colour through a Porter-Duff compositing operation.
#pragma once

#include <QColor>
#include <QImage>

class ImageTint {
public:
    ImageTint() = delete;

    // Compositing operations by their stored numbers.
    enum Operation : quint32 {
        Clear = 0,
        Copy = 1,
        SourceOver = 2,
        SourceIn = 3,
        SourceOut = 4,
        SourceAtop = 5,
        DestinationOver = 6,
        DestinationIn = 7,
        DestinationOut = 8,
        DestinationAtop = 9,
        XOR = 10,
        PlusLighter = 13,
    };

    // A new image of the source's size: the source drawn over transparency, then the whole
    // rectangle filled with the colour through the operation. With SourceAtop the colour covers
    // exactly the drawn pixels and keeps their transparency. The source is never changed.
    // A null image for a null source or an operation number without a counterpart.
    static QImage tintedImageWithColor(const QImage& source, const QColor& color,
                                       quint32 operation = SourceAtop);
};
