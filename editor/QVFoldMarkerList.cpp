// Fold markers held around a gap at the last edit.
#include "editor/QVFoldMarkerList.h"

#include <algorithm>

QVFoldMarker QVFoldMarkerList::at(qsizetype i) const {
    if (size_t(i) < _before.size()) return _before[size_t(i)];
    QVFoldMarker marker = _after[_after.size() - 1 - (size_t(i) - _before.size())];
    marker.setGlyphIndex(marker.glyphIndex() + _shift);
    return marker;
}

qsizetype QVFoldMarkerList::lowerBound(qint64 position) const {
    const auto inBefore = std::lower_bound(_before.begin(), _before.end(), position,
                                           [](const QVFoldMarker& m, qint64 p) { return m.glyphIndex() < p; });
    if (inBefore != _before.end() || _after.empty()) return qsizetype(inBefore - _before.begin());
    // _after runs backwards: the markers at or after position are a prefix of it.
    const qint64 relative = position - _shift;
    const auto firstBelow = std::partition_point(_after.begin(), _after.end(),
                                                 [relative](const QVFoldMarker& m) { return m.glyphIndex() >= relative; });
    return qsizetype(_before.size() + size_t(_after.end() - firstBelow));
}

void QVFoldMarkerList::clear() {
    _before.clear();
    _after.clear();
    _before.shrink_to_fit();
    _after.shrink_to_fit();
    _shift = 0;
}

void QVFoldMarkerList::moveGapTo(qint64 position) {
    while (!_before.empty() && _before.back().glyphIndex() >= position) {
        QVFoldMarker marker = _before.back();
        _before.pop_back();
        marker.setGlyphIndex(marker.glyphIndex() - _shift);
        _after.push_back(marker);
        ++_touched;
    }
    while (!_after.empty() && _after.back().glyphIndex() + _shift < position) {
        QVFoldMarker marker = _after.back();
        _after.pop_back();
        marker.setGlyphIndex(marker.glyphIndex() + _shift);
        _before.push_back(marker);
        ++_touched;
    }
}

bool QVFoldMarkerList::replace(qint64 from, qint64 to, qint64 change, const std::vector<QVFoldMarker>& found) {
    moveGapTo(from);
    std::vector<QVFoldMarker> removed;
    while (!_after.empty() && _after.back().glyphIndex() + _shift < to) {
        QVFoldMarker marker = _after.back();
        marker.setGlyphIndex(marker.glyphIndex() + _shift);
        removed.push_back(marker);
        _after.pop_back();
        ++_touched;
    }
    _shift += change;
    // The new markers go after the gap, which stays at the edit for the next keystroke there.
    for (auto it = found.rbegin(); it != found.rend(); ++it) {
        QVFoldMarker marker = *it;
        marker.setGlyphIndex(marker.glyphIndex() - _shift);
        _after.push_back(marker);
    }
    _touched += found.size();
    return removed != found;
}

std::vector<QVFoldMarker> QVFoldMarkerList::all() const {
    std::vector<QVFoldMarker> markers;
    markers.reserve(size_t(size()));
    for (qsizetype i = 0; i < size(); ++i) markers.push_back(at(i));
    return markers;
}
