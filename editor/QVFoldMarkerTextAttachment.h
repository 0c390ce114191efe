// The attachment of one collapsed region: the region's full text behind one U+FFFC.
#pragma once

#include "platform/QVTextAttachment.h"

#include <QImage>
#include <QString>

// Holds the text a collapsed region hides, nested collapsed regions already expanded, so its
// text never contains an attachment character. The image is what the editor draws for it.
class QVFoldMarkerTextAttachment : public QVTextAttachment {
public:
    // An attachment with no text yet, shown with image.
    explicit QVFoldMarkerTextAttachment(QImage image = {});

    const QString& string() const { return _string; }
    // Sets the hidden text and counts its lines again.
    void setString(const QString& text);
    // 0 for an empty text, else its lines (a last line without a break counts; a final break
    // starts no further line).
    quint64 numberOfLines() const { return _numberOfLines; }
    // What the region counts as in a text of visible positions: one blank.
    static QString emptyRepresentation() { return QStringLiteral(" "); }
    const QImage& image() const { return _image; }

private:
    QString _string;
    quint64 _numberOfLines = 0;
    QImage _image;
};
