// The row geometry of an outline whose rows have heights of their own: the top of every row, the
// row under a point and the rows inside a band, without a widget.
#pragma once

#include <QRectF>
#include <QSizeF>

#include <utility>
#include <vector>

// Rows are numbered from 0 down the view; each occupies its height plus the spacing below it.
// Origins are laid out lazily from the first row changed since the last layout, so rows added at
// the end cost only their own layout however many rows stand above them.
class QVVariableHeightRowGeometry {
public:
    // The vertical intercell spacing, added below every row.
    qreal spacing() const { return _spacing; }
    void setSpacing(qreal spacing);

    int count() const { return int(_heights.size()); }
    void clear();
    // Inserts rows with these heights before row at (count(): at the end).
    void insertRows(int at, const std::vector<float>& heights);
    void removeRows(int at, int n);
    void setHeight(int row, float height);

    float heightOfRow(int row) const { return _heights[size_t(row)]; }
    // The top of the row; the top of a row past the end is the bottom of the last row.
    qreal originOfRow(int row) const;
    // The height of every row with its spacing.
    qreal totalHeight() const;

    // A row's rectangle (its height plus the spacing) for a view width; a row at or past the end
    // gets a rectangle directly below the last row with the last row's height, and with no rows
    // the empty rectangle.
    QRectF rectOfRow(int row, qreal width) const;
    // The first row whose bottom (spacing included) lies below y; -1 when there is none.
    int rowAtY(qreal y) const;
    // The rows that a band from top of that height touches: first row and count (0 for none).
    std::pair<int, int> rowsInBand(qreal top, qreal height) const;

    // The count badge of a file row drawn in rect: as wide as the count's text, a point wider for
    // a single digit, inset from the right by its height (which its round ends take).
    static QRectF countBadgeRect(const QRectF& rect, QSizeF countSize, quint64 count);
    // The grey band behind a file row.
    static QRectF headerBandRect(const QRectF& rowRect) { return rowRect.adjusted(4.5, 2.5, -4.5, -2.5); }

private:
    void layout(int upTo) const;

    qreal _spacing = 0;
    std::vector<float> _heights;
    mutable std::vector<double> _origins;
    mutable int _laidOut = 0;  // rows whose origin is current
};
