// Lazy origins, binary-searched.
#include "tools/QVVariableHeightRowGeometry.h"

#include <algorithm>
#include <cmath>

void QVVariableHeightRowGeometry::setSpacing(qreal spacing) {
    if (spacing == _spacing) return;
    _spacing = spacing;
    _laidOut = 0;
}

void QVVariableHeightRowGeometry::clear() {
    _heights.clear();
    _origins.clear();
    _laidOut = 0;
}

void QVVariableHeightRowGeometry::insertRows(int at, const std::vector<float>& heights) {
    at = std::clamp(at, 0, count());
    _heights.insert(_heights.begin() + at, heights.begin(), heights.end());
    _laidOut = std::min(_laidOut, at);
}

void QVVariableHeightRowGeometry::removeRows(int at, int n) {
    at = std::clamp(at, 0, count());
    n = std::clamp(n, 0, count() - at);
    _heights.erase(_heights.begin() + at, _heights.begin() + at + n);
    _laidOut = std::min(_laidOut, at);
}

void QVVariableHeightRowGeometry::setHeight(int row, float height) {
    if (row < 0 || row >= count() || _heights[size_t(row)] == height) return;
    _heights[size_t(row)] = height;
    _laidOut = std::min(_laidOut, row + 1);
}

void QVVariableHeightRowGeometry::layout(int upTo) const {
    upTo = std::min(upTo, count());
    if (upTo <= _laidOut) return;
    _origins.resize(_heights.size());
    double y = _laidOut == 0 ? 0.0 : _origins[size_t(_laidOut - 1)] + _heights[size_t(_laidOut - 1)] + _spacing;
    for (int row = _laidOut; row < upTo; ++row) {
        _origins[size_t(row)] = y;
        y += _heights[size_t(row)] + _spacing;
    }
    _laidOut = upTo;
}

qreal QVVariableHeightRowGeometry::originOfRow(int row) const {
    if (row <= 0 || count() == 0) return 0;
    if (row >= count()) return originOfRow(count() - 1) + _heights.back();
    layout(row + 1);
    return _origins[size_t(row)];
}

qreal QVVariableHeightRowGeometry::totalHeight() const {
    return count() == 0 ? 0 : originOfRow(count() - 1) + _heights.back() + _spacing;
}

QRectF QVVariableHeightRowGeometry::rectOfRow(int row, qreal width) const {
    if (row < 0 || count() == 0) return {};
    if (row >= count()) return QRectF(0, originOfRow(count()), width, _heights.back());
    return QRectF(0, originOfRow(row), width, _heights[size_t(row)] + _spacing);
}

int QVVariableHeightRowGeometry::rowAtY(qreal y) const {
    if (count() == 0) return -1;
    layout(count());
    // The first row whose bottom with spacing is below y.
    int low = 0, high = count();
    while (low < high) {
        const int mid = low + (high - low) / 2;
        if (_origins[size_t(mid)] + _heights[size_t(mid)] + _spacing > y) high = mid;
        else low = mid + 1;
    }
    return low < count() ? low : -1;
}

std::pair<int, int> QVVariableHeightRowGeometry::rowsInBand(qreal top, qreal height) const {
    const int first = rowAtY(top);
    if (first < 0) return {0, 0};
    // The last row that starts above the band's bottom.
    const double bottom = top + height;
    int low = first, high = count() - 1;
    while (low < high) {
        const int mid = low + (high - low + 1) / 2;
        if (_origins[size_t(mid)] < bottom) low = mid;
        else high = mid - 1;
    }
    return {first, low - first + 1};
}

QRectF QVVariableHeightRowGeometry::countBadgeRect(const QRectF& rect, QSizeF countSize, quint64 count) {
    const qreal w = countSize.width() + (count < 10 ? 1 : 0);
    const qreal h = countSize.height();
    return QRectF(rect.x() + rect.width() - w - h, rect.y() + std::floor((rect.height() - h) / 2), w, h);
}
