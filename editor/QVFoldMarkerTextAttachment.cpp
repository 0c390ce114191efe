// The attachment of one collapsed region.
#include "editor/QVFoldMarkerTextAttachment.h"

#include "shell/StringLines.h"

QVFoldMarkerTextAttachment::QVFoldMarkerTextAttachment(QImage image) : _image(std::move(image)) {}

void QVFoldMarkerTextAttachment::setString(const QString& text) {
    _string = text;
    _numberOfLines = quint64(StringLines::numberOfLines(text));
}
