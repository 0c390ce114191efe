// One fold marker of the gutter: the start of a line that opens, closes or hides a block.
#pragma once

#include "editor/QVCodeFoldingDelegate.h"

#include <QtGlobal>

// The editor maps one glyph to one character, so a marker's glyph index is the character index
// of its line's start. Markers compare by that index only; states are no sort key.
class QVFoldMarker {
public:
    QVFoldMarker() = default;
    QVFoldMarker(qint64 glyphIndex, QVFoldMarkerState state) : _glyphIndex(glyphIndex), _state(state) {}

    qint64 glyphIndex() const { return _glyphIndex; }
    void setGlyphIndex(qint64 index) { _glyphIndex = index; }
    // For a collapsed marker, the lines hidden on its line; else 0.
    qint64 numberOfLines() const { return _numberOfLines; }
    void setNumberOfLines(qint64 lines) { _numberOfLines = lines; }
    QVFoldMarkerState state() const { return _state; }
    void setState(QVFoldMarkerState state) { _state = state; }

    // -1, 0 or 1 as this marker's index is before, at or after other's.
    int compareIndex(const QVFoldMarker& other) const {
        return _glyphIndex < other._glyphIndex ? -1 : _glyphIndex > other._glyphIndex ? 1 : 0;
    }
    bool operator==(const QVFoldMarker&) const = default;

private:
    qint64 _glyphIndex = 0;
    qint64 _numberOfLines = 0;
    QVFoldMarkerState _state = QVFoldMarkerState::Open;
};
