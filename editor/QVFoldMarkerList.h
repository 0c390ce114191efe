// The gutter's fold markers in text order, kept like a gap buffer: the markers before the last
// edit hold their glyph indexes, those after it hold them counted from a shared offset. An edit
// moves the gap to itself and changes the offset, so typing touches only the markers of the
// lines it edits (and, the first time after a jump, those it passes over on the way), never
// every marker after it.
#pragma once

#include "editor/QVFoldMarker.h"

#include <vector>

class QVFoldMarkerList {
public:
    qsizetype size() const { return qsizetype(_before.size() + _after.size()); }
    bool empty() const { return _before.empty() && _after.empty(); }
    // Marker i, its glyph index in the text's present coordinates.
    QVFoldMarker at(qsizetype i) const;
    // The index of the first marker at or after position (size() when none).
    qsizetype lowerBound(qint64 position) const;
    void clear();
    // One edit: markers at [from, to) in the coordinates before it go, those at or after to move
    // by change, and found (sorted, in the coordinates after it, none before from) come in.
    // True when the markers differ from those before.
    bool replace(qint64 from, qint64 to, qint64 change, const std::vector<QVFoldMarker>& found);
    std::vector<QVFoldMarker> all() const;
    // Markers moved across the gap, removed or added so far: the work the edits cost.
    quint64 touched() const { return _touched; }

private:
    void moveGapTo(qint64 position);

    std::vector<QVFoldMarker> _before;  // ascending, glyph indexes as they are
    std::vector<QVFoldMarker> _after;   // descending (the nearest last), glyph index minus _shift
    qint64 _shift = 0;
    quint64 _touched = 0;
};
