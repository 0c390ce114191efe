// Rows, geometry and drawing of the results outline.
#include "tools/QVSearchResultsOutlineView.h"

#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>
#include <QTextLayout>

#include <cmath>

namespace {

QFont boldFont(qreal points) {
    QFont font;
    font.setPointSizeF(points);
    font.setBold(true);
    return font;
}

}  // namespace

QVSearchResultsOutlineView::QVSearchResultsOutlineView(QWidget* parent) : QAbstractScrollArea(parent) {
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    verticalScrollBar()->setSingleStep(int(MatchRowHeight));
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
}

int QVSearchResultsOutlineView::rowsOfFile(int index) const {
    const File& file = _files[size_t(index)];
    return 1 + (file.expanded ? int(file.node->searchResults().size()) : 0);
}

int QVSearchResultsOutlineView::firstRowOfFile(int index) const {
    if (index >= fileCount()) return rowCount();
    int row = 0;
    for (int i = 0; i < index; ++i) row += rowsOfFile(i);
    return row;
}

void QVSearchResultsOutlineView::insertRowsOfFile(int index) {
    const int first = firstRowOfFile(index);
    QVMultiFileSearchNode* node = _files[size_t(index)].node.get();
    const int n = rowsOfFile(index);
    std::vector<Row> rows(static_cast<size_t>(n));
    std::vector<float> heights(static_cast<size_t>(n), MatchRowHeight);
    heights[0] = FileRowHeight;
    for (int i = 0; i < n; ++i) rows[size_t(i)] = Row{node, i - 1, false};
    _rows.insert(_rows.begin() + first, rows.begin(), rows.end());
    _geometry.insertRows(first, heights);
}

void QVSearchResultsOutlineView::removeRowsOfFile(int index) {
    const int first = firstRowOfFile(index);
    const int n = rowsOfFile(index);
    for (int i = first; i < first + n; ++i)
        if (_rows[size_t(i)].selected) --_selectedCount;
    _rows.erase(_rows.begin() + first, _rows.begin() + first + n);
    _geometry.removeRows(first, n);
    _anchor = -1;
}

void QVSearchResultsOutlineView::insertFile(int index, const std::shared_ptr<QVMultiFileSearchNode>& node, bool expanded) {
    index = std::clamp(index, 0, fileCount());
    _files.insert(_files.begin() + index, File{node, expanded});
    insertRowsOfFile(index);
    changed();
}

void QVSearchResultsOutlineView::reloadFile(int index) {
    const int before = _selectedCount;
    // The rows were counted from the results as they were: remove by the rows' own count.
    const int first = firstRowOfFile(index);
    int n = 1;
    while (first + n < rowCount() && _rows[size_t(first + n)].result >= 0) ++n;
    for (int i = first; i < first + n; ++i)
        if (_rows[size_t(i)].selected) --_selectedCount;
    _rows.erase(_rows.begin() + first, _rows.begin() + first + n);
    _geometry.removeRows(first, n);
    insertRowsOfFile(index);
    changed();
    if (_selectedCount != before) Q_EMIT selectionChanged();
}

void QVSearchResultsOutlineView::removeFile(int index) {
    const int before = _selectedCount;
    removeRowsOfFile(index);
    _files.erase(_files.begin() + index);
    changed();
    if (_selectedCount != before) Q_EMIT selectionChanged();
}

void QVSearchResultsOutlineView::clear() {
    const bool hadSelection = _selectedCount != 0;
    _files.clear();
    _rows.clear();
    _geometry.clear();
    _selectedCount = 0;
    _anchor = -1;
    changed();
    if (hadSelection) Q_EMIT selectionChanged();
}

void QVSearchResultsOutlineView::setExpanded(int index, bool expanded) {
    if (index < 0 || index >= fileCount() || _files[size_t(index)].expanded == expanded) return;
    const int before = _selectedCount;
    removeRowsOfFile(index);
    _files[size_t(index)].expanded = expanded;
    insertRowsOfFile(index);
    changed();
    if (_selectedCount != before) Q_EMIT selectionChanged();
}

void QVSearchResultsOutlineView::setAllExpanded(bool expanded) {
    for (int i = 0; i < fileCount(); ++i) setExpanded(i, expanded);
}

std::pair<int, int> QVSearchResultsOutlineView::itemAtRow(int row) const {
    if (row < 0 || row >= rowCount()) return {-1, -1};
    const Row& r = _rows[size_t(row)];
    int file = 0;
    while (file < fileCount() && _files[size_t(file)].node.get() != r.node) ++file;
    return {file, r.result};
}

QList<QVSearchResult> QVSearchResultsOutlineView::selectedResults() const {
    QList<QVSearchResult> results;
    if (_selectedCount == 0) return results;
    for (const Row& row : _rows)
        if (row.selected && row.result >= 0 && row.result < row.node->searchResults().size())
            results << row.node->searchResults()[row.result];
    return results;
}

void QVSearchResultsOutlineView::selectRow(int row, bool extend) {
    if (row < 0 || row >= rowCount() || _rows[size_t(row)].result < 0) return;
    if (!extend)
        for (Row& r : _rows) r.selected = false;
    _rows[size_t(row)].selected = true;
    _selectedCount = 0;
    for (const Row& r : _rows) _selectedCount += r.selected;
    _anchor = row;
    const QRectF rect = _geometry.rectOfRow(row, viewport()->width());
    const int top = verticalScrollBar()->value();
    if (rect.top() < top) verticalScrollBar()->setValue(int(rect.top()));
    else if (rect.bottom() > top + viewport()->height()) verticalScrollBar()->setValue(int(rect.bottom()) - viewport()->height());
    viewport()->update();
    Q_EMIT selectionChanged();
}

void QVSearchResultsOutlineView::deselectAll() {
    if (_selectedCount == 0) return;
    for (Row& r : _rows) r.selected = false;
    _selectedCount = 0;
    viewport()->update();
    Q_EMIT selectionChanged();
}

void QVSearchResultsOutlineView::changed() {
    verticalScrollBar()->setPageStep(viewport()->height());
    verticalScrollBar()->setRange(0, std::max(0, int(std::ceil(_geometry.totalHeight())) - viewport()->height()));
    viewport()->update();
}

void QVSearchResultsOutlineView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    changed();
}

void QVSearchResultsOutlineView::focusInEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusInEvent(event);
    viewport()->update();
}

void QVSearchResultsOutlineView::focusOutEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusOutEvent(event);
    viewport()->update();
}

void QVSearchResultsOutlineView::paintEvent(QPaintEvent* event) {
    QPainter painter(viewport());
    const int top = verticalScrollBar()->value();
    const QRect exposed = event->rect();
    const auto [first, count] = _geometry.rowsInBand(exposed.top() + top, exposed.height());
    painter.translate(0, -top);
    const qreal width = viewport()->width();
    for (int row = first; row < first + count; ++row) {
        const Row& r = _rows[size_t(row)];
        const QRectF rect = _geometry.rectOfRow(row, width);
        if (r.result < 0) {
            const auto it = std::find_if(_files.begin(), _files.end(), [&](const File& f) { return f.node.get() == r.node; });
            drawFileRow(painter, rect, *r.node, it != _files.end() && it->expanded);
        } else if (r.result < r.node->searchResults().size()) {
            if (r.selected) painter.fillRect(rect, palette().brush(hasFocus() ? QPalette::Active : QPalette::Inactive, QPalette::Highlight));
            drawMatchRow(painter, rect, r.node->searchResults()[r.result], r.selected);
        }
    }
}

void QVSearchResultsOutlineView::drawFileRow(QPainter& painter, const QRectF& rect, const QVMultiFileSearchNode& node,
                                             bool expanded) const {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    // The grey band: white 0.64 with a 0.5-point outline in white 0.24.
    const QRectF band = QVVariableHeightRowGeometry::headerBandRect(QRectF(rect.x(), rect.y(), rect.width(), FileRowHeight));
    painter.setPen(QPen(QColor::fromRgbF(0.24f, 0.24f, 0.24f), 0.5));
    painter.setBrush(QColor::fromRgbF(0.64f, 0.64f, 0.64f));
    painter.drawRect(band);

    // The disclosure triangle, then the content inset 3 by 2 points.
    const qreal midY = band.center().y();
    QPainterPath triangle;
    const qreal tx = band.x() + 6;
    if (expanded) {
        triangle.moveTo(tx, midY - 2.5);
        triangle.lineTo(tx + 8, midY - 2.5);
        triangle.lineTo(tx + 4, midY + 3.5);
    } else {
        triangle.moveTo(tx + 1.5, midY - 4);
        triangle.lineTo(tx + 7.5, midY);
        triangle.lineTo(tx + 1.5, midY + 4);
    }
    triangle.closeSubpath();
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    painter.drawPath(triangle);

    QRectF r = band.adjusted(IndentationPerLevel + 3, 2, -3, -2);
    if (!node.icon().isNull()) painter.drawImage(QRectF(r.x(), r.y() + std::floor((r.height() - 16) / 2), 16, 16), node.icon());
    r.adjust(19, 0, 0, 0);

    // The count badge: a white capsule at the right end.
    const quint64 count = quint64(node.searchResults().size());
    const QString countText = QString::number(count);
    const QFont countFont = boldFont(8.5);
    const QFontMetricsF countMetrics(countFont);
    const QSizeF countSize(countMetrics.horizontalAdvance(countText), countMetrics.height());
    const QRectF badge = QVVariableHeightRowGeometry::countBadgeRect(r, countSize, count);
    const qreal radius = badge.height() / 2;
    painter.setBrush(Qt::white);
    painter.drawRoundedRect(badge.adjusted(-radius + 1, 0, radius - 1, 0), radius, radius);
    painter.setFont(countFont);
    painter.setPen(QColor::fromRgbF(0.3f, 0.3f, 0.3f));
    painter.drawText(QRectF(badge.x() + std::floor((badge.width() - countSize.width()) / 2) + 1, badge.y(), countSize.width(), badge.height()),
                     Qt::AlignLeft | Qt::AlignVCenter, countText);

    // The name, shortened in the middle to the space left of the badge.
    const QFont titleFont = boldFont(9);
    painter.setFont(titleFont);
    painter.setPen(Qt::white);
    const QRectF titleRect(r.x(), r.y(), badge.x() - radius - r.x() - 10, r.height());
    painter.drawText(titleRect, Qt::AlignLeft | Qt::AlignVCenter,
                     QFontMetricsF(titleFont).elidedText(node.readNote().isEmpty() ? node.name()
                                                                                   : node.name() + QStringLiteral(" \u2014 ") + node.readNote(),
                                                         Qt::ElideMiddle, titleRect.width()));
    painter.restore();
}

void QVSearchResultsOutlineView::drawMatchRow(QPainter& painter, const QRectF& rect, const QVSearchResult& result,
                                              bool selected) const {
    // The context on one line: its line breaks and tabs show as blanks, the match keeps its place.
    QVSearchResult::AttributedString context = result.attributedString();
    for (QChar& c : context.string)
        if (c == QLatin1Char('\n') || c == QLatin1Char('\r') || c == QLatin1Char('\t')) c = QLatin1Char(' ');
    QList<QTextLayout::FormatRange> formats = context.formats();
    for (auto& range : formats) {
        // The match stands out by weight; its size stays the row's, so it fits the short row.
        if (range.format.hasProperty(QTextFormat::FontPointSize)) range.format.setFontPointSize(font().pointSizeF());
        if (selected) range.format.setForeground(hasFocus() && isActiveWindow() ? Qt::white : Qt::black);
    }
    QTextLayout layout(context.string, font());
    layout.setFormats(formats);
    QTextOption option;
    option.setWrapMode(QTextOption::NoWrap);
    layout.setTextOption(option);
    layout.beginLayout();
    QTextLine line = layout.createLine();
    layout.endLayout();
    if (!line.isValid()) return;
    const qreal x = rect.x() + 2 * IndentationPerLevel;
    painter.save();
    painter.setClipRect(rect.adjusted(x - rect.x(), 0, 0, 0));
    layout.draw(&painter, QPointF(x, rect.y() + (MatchRowHeight - line.height()) / 2));
    painter.restore();
}

void QVSearchResultsOutlineView::mousePressEvent(QMouseEvent* event) {
    const int row = _geometry.rowAtY(event->position().y() + verticalScrollBar()->value());
    if (row < 0) return deselectAll();
    const Row& r = _rows[size_t(row)];
    if (r.result < 0) {
        // A file row opens or closes; with Alt (the Option key) every file row does.
        const int file = itemAtRow(row).first;
        const bool expand = !_files[size_t(file)].expanded;
        if (event->modifiers() & Qt::AltModifier) setAllExpanded(expand);
        else setExpanded(file, expand);
        return;
    }
    if (event->modifiers() & Qt::ControlModifier) {
        _rows[size_t(row)].selected = !r.selected;
        _selectedCount += _rows[size_t(row)].selected ? 1 : -1;
        _anchor = row;
        viewport()->update();
        Q_EMIT selectionChanged();
    } else if ((event->modifiers() & Qt::ShiftModifier) && _anchor >= 0) {
        for (Row& each : _rows) each.selected = false;
        _selectedCount = 0;
        for (int i = std::min(_anchor, row); i <= std::max(_anchor, row); ++i)
            if (_rows[size_t(i)].result >= 0) {
                _rows[size_t(i)].selected = true;
                ++_selectedCount;
            }
        viewport()->update();
        Q_EMIT selectionChanged();
    } else {
        selectRow(row);
    }
}

void QVSearchResultsOutlineView::keyPressEvent(QKeyEvent* event) {
    const int step = event->key() == Qt::Key_Down ? 1 : event->key() == Qt::Key_Up ? -1 : 0;
    if (step == 0) return QAbstractScrollArea::keyPressEvent(event);
    for (int row = _anchor + step; row >= 0 && row < rowCount(); row += step)
        if (_rows[size_t(row)].result >= 0) return selectRow(row, event->modifiers() & Qt::ShiftModifier);
}
