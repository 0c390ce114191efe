// Line layouts of a text storage, cached per line, with rows, hit-testing and drawing.
#include "platform/QVTextLayoutManager.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QTextOption>

#include <algorithm>
#include <cmath>

namespace {

// Wide enough that no line wraps when wrapping is off.
constexpr qreal UnwrappedWidth = 1.0e7;
constexpr char16_t Ellipsis = u'\u2026';

}  // namespace

QVTextLayoutManager::QVTextLayoutManager() { fontChanged(); }

QVTextLayoutManager::~QVTextLayoutManager() { setTextStorage(nullptr); }

void QVTextLayoutManager::setTextStorage(QVTextStorage* storage) {
    if (_storage) _storage->removeObserver(_observer);
    _storage = storage;
    _observer = 0;
    _lineCount = storage ? storage->lineCount() : 1;
    if (storage) _observer = storage->addObserver([this](const QVTextStorage::Edit& edit) { storageEdited(edit); });
    _scrollWidth = 0;
    invalidateAll();
}

void QVTextLayoutManager::setFont(const QFont& font) {
    _font = font;
    fontChanged();
    _scrollWidth = 0;
    invalidateAll();
}

void QVTextLayoutManager::fontChanged() {
    const QFontMetricsF metrics(_font);
    _lineHeight = std::max<qreal>(1, std::ceil(metrics.lineSpacing()));
    _spaceWidth = std::max<qreal>(1, metrics.horizontalAdvance(QLatin1Char(' ')));
    _ellipsisWidth = metrics.horizontalAdvance(QChar(Ellipsis));
}

void QVTextLayoutManager::setTabWidth(int spaces) {
    // A tab stop distance of 0 would make every tab stop at the same place.
    const int width = std::max(1, spaces);
    if (width == _tabWidth) return;
    _tabWidth = width;
    invalidateAll();
}

void QVTextLayoutManager::setWrapWidth(qreal width) {
    const qreal w = width > 0 ? width : 0;
    if (w == _wrapWidth) return;
    _wrapWidth = w;
    invalidateAll();
}

void QVTextLayoutManager::setBackgroundColor(const QColor& color) {
    const QColor opaque = color.isValid() && color.alpha() == 255 ? color : QColor();
    if (opaque == _backgroundColor) return;
    _backgroundColor = opaque;
    invalidateAll();
}

qreal QVTextLayoutManager::attachmentWidth() const { return std::max(_ellipsisWidth + 4, std::ceil(_spaceWidth * 3)); }

// --- Rows -------------------------------------------------------------------------------------

qint64 QVTextLayoutManager::rowCount() const {
    if (wraps()) return std::max<qint64>(1, _rows.length());
    return _storage ? _storage->lineCount() : 1;
}

qint64 QVTextLayoutManager::firstRowOfLine(qint64 line) const {
    const qint64 lines = _storage ? _storage->lineCount() : 1;
    line = std::clamp<qint64>(line, 0, lines);
    if (!wraps()) return line;
    return _rows.positionOf(std::min<qint64>(line, _rows.partitions()));
}

qint64 QVTextLayoutManager::lineOfRow(qint64 row, qint64* rowInLine) const {
    row = std::clamp<qint64>(row, 0, rowCount() - 1);
    qint64 line = row;
    qint64 inLine = 0;
    if (wraps()) {
        line = _rows.partitionOf(row);
        inLine = row - _rows.positionOf(line);
    }
    if (rowInLine) *rowInLine = inLine;
    return line;
}

qint64 QVTextLayoutManager::rowsOfLine(qint64 line) const {
    if (!wraps()) return 1;
    if (line < 0 || line >= _rows.partitions()) return 1;
    return _rows.positionOf(line + 1) - _rows.positionOf(line);
}

void QVTextLayoutManager::resetRows() {
    _rows.clear();
    if (!wraps()) return;
    const qint64 lines = _storage ? _storage->lineCount() : 1;
    _rows.grow(0, lines);
    for (qint64 i = 1; i < lines; ++i) _rows.insertBoundary(i, i);
}

void QVTextLayoutManager::setRowsOfLine(qint64 line, qint64 rows) {
    if (!wraps() || line < 0 || line >= _rows.partitions()) return;
    const qint64 current = _rows.positionOf(line + 1) - _rows.positionOf(line);
    if (current != rows) _rows.grow(line, rows - current);
}

// --- Layouts ----------------------------------------------------------------------------------

QString QVTextLayoutManager::displayString(qint64 line, qint64* start) const {
    if (!_storage) {
        if (start) *start = 0;
        return {};
    }
    const QVRange range = _storage->lineRange(line);
    const qint64 contentsEnd = _storage->lineContentsEnd(line);
    if (start) *start = range.location;
    QString text = _storage->substring(QVRange(range.location, contentsEnd - range.location));
    QChar* chars = text.data();
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = chars[i].unicode();
        if (c == u'\u2028' || c == u'\u2029') chars[i] = QLatin1Char(' ');
        else if (c == QVTextAttachment::Character && _storage->attachmentAt(range.location + i)) chars[i] = QChar(Ellipsis);
    }
    return text;
}

void QVTextLayoutManager::buildFormats(qint64 start, const QString& text,
                                       QList<QTextLayout::FormatRange>& formats) const {
    const qint64 end = start + text.size();
    // apply() sets the run's format, or answers false when the run needs none.
    auto walk = [&](const QString& name, const std::function<bool(QTextCharFormat&, const QVariant&)>& apply) {
        qint64 i = start;
        while (i < end) {
            QVRange run;
            const QVariant value = _storage->attribute(name, i, &run);
            if (run.length <= 0) break;
            const qint64 runEnd = std::min(run.end(), end);
            if (value.isValid()) {
                QTextLayout::FormatRange range;
                range.start = int(i - start);
                range.length = int(runEnd - i);
                if (apply(range.format, value)) formats << range;
            }
            i = runEnd;
        }
    };
    walk(QVTextStorage::ForegroundColorAttribute, [](QTextCharFormat& f, const QVariant& v) {
        f.setForeground(v.value<QColor>());
        return true;
    });
    const QVariant underText = _backgroundColor.isValid() ? QVariant(_backgroundColor) : QVariant();
    walk(QVTextStorage::BackgroundColorAttribute, [&](QTextCharFormat& f, const QVariant& v) {
        if (RunArray::sameValue(v, underText)) return false;
        f.setBackground(v.value<QColor>());
        return true;
    });
    walk(QVTextStorage::UnderlineAttribute, [](QTextCharFormat& f, const QVariant& v) {
        f.setFontUnderline(v.toBool());
        return true;
    });
    // An attachment's character only reserves its cell; drawAttachment() fills it.
    for (qsizetype i = text.indexOf(QChar(Ellipsis)); i >= 0; i = text.indexOf(QChar(Ellipsis), i + 1)) {
        if (!_storage->attachmentAt(start + i)) continue;
        QTextLayout::FormatRange range;
        range.start = int(i);
        range.length = 1;
        range.format.setForeground(Qt::transparent);
        range.format.setFontLetterSpacingType(QFont::AbsoluteSpacing);
        range.format.setFontLetterSpacing(attachmentWidth() - _ellipsisWidth);
        formats << range;
    }
}

std::unique_ptr<QVTextLayoutManager::LineLayout> QVTextLayoutManager::makeLayout(qint64 line) {
    auto made = std::make_unique<LineLayout>();
    qint64 start = 0;
    made->text = displayString(line, &start);
    QTextLayout& layout = made->layout;
    layout.setText(made->text);
    layout.setFont(_font);
    layout.setCacheEnabled(true);
    QTextOption option;
    option.setTabStopDistance(_tabWidth * _spaceWidth);
    option.setWrapMode(wraps() ? QTextOption::WrapAtWordBoundaryOrAnywhere : QTextOption::NoWrap);
    layout.setTextOption(option);
    if (_storage) {
        QList<QTextLayout::FormatRange> formats;
        buildFormats(start, made->text, formats);
        layout.setFormats(formats);
    }
    layout.beginLayout();
    qint64 rows = 0;
    qreal width = 0;
    for (;;) {
        QTextLine row = layout.createLine();
        if (!row.isValid()) break;
        row.setLineWidth(wraps() ? _wrapWidth : UnwrappedWidth);
        row.setPosition(QPointF(0, rows * _lineHeight));
        width = std::max(width, row.naturalTextWidth());
        ++rows;
    }
    layout.endLayout();
    made->rows = std::max<qint64>(1, rows);
    bool grew = false;
    if (!wraps() && width > _scrollWidth) {
        _scrollWidth = width;
        grew = true;
    }
    if (wraps() && rowsOfLine(line) != made->rows) {
        setRowsOfLine(line, made->rows);
        grew = true;
    }
    if (grew) changed();
    return made;
}

const QTextLayout& QVTextLayoutManager::layoutForLine(qint64 line) {
    const qint64 lines = _storage ? _storage->lineCount() : 1;
    line = std::clamp<qint64>(line, 0, lines - 1);
    auto it = _cache.find(line);
    if (it == _cache.end()) it = _cache.emplace(line, makeLayout(line)).first;
    return it->second->layout;
}

void QVTextLayoutManager::ensureLayout(qint64 firstLine, qint64 lastLine) {
    const qint64 lines = _storage ? _storage->lineCount() : 1;
    for (qint64 line = std::max<qint64>(0, firstLine); line <= std::min(lastLine, lines - 1); ++line)
        layoutForLine(line);
}

void QVTextLayoutManager::invalidateAll() {
    _cache.clear();
    resetRows();
    changed();
}

void QVTextLayoutManager::invalidateLines(qint64 firstLine, qint64 lastLine) {
    if (_cache.size() < std::size_t(lastLine - firstLine + 1)) {
        std::erase_if(_cache, [&](const auto& entry) { return entry.first >= firstLine && entry.first <= lastLine; });
    } else {
        for (qint64 line = firstLine; line <= lastLine; ++line) _cache.erase(line);
    }
}

void QVTextLayoutManager::pruneCache(qint64 firstLine, qint64 lastLine, qint64 margin) {
    std::erase_if(_cache, [&](const auto& entry) {
        return entry.first < firstLine - margin || entry.first > lastLine + margin;
    });
}

void QVTextLayoutManager::storageEdited(const QVTextStorage::Edit& edit) {
    if (!_storage) return;
    const qint64 length = _storage->length();
    const qint64 location = std::clamp<qint64>(edit.editedRange.location, 0, length);
    const qint64 end = std::clamp<qint64>(edit.editedRange.end(), location, length);
    if (!(edit.editedMask & QVTextStorage::EditedCharacters)) {
        invalidateLines(_storage->lineOfPosition(location), _storage->lineOfPosition(end > location ? end - 1 : end));
        return;
    }
    const qint64 newCount = _storage->lineCount();
    const qint64 delta = newCount - _lineCount;
    // A "\n" put after a "\r", or taken from behind one, changes the line before the edit.
    const qint64 from = location > 0 && _storage->characterAt(location - 1) == u'\r' ? location - 1 : location;
    const qint64 first = _storage->lineOfPosition(from);
    const qint64 lastNew = _storage->lineOfPosition(end);
    const qint64 lastOld = lastNew - delta;
    _lineCount = newCount;
    if (lastOld < first || (wraps() && lastOld >= _rows.partitions())) {
        invalidateAll();
        return;
    }
    // The edited lines go; the lines after them keep their layouts under their new numbers,
    // moved node by node (no allocation), the farthest first when lines were added, so that a
    // new number never meets a line still waiting to move.
    std::erase_if(_cache, [&](const auto& entry) { return entry.first >= first && entry.first <= lastOld; });
    if (delta != 0) {
        std::vector<qint64> moving;
        for (const auto& entry : _cache)
            if (entry.first > lastOld) moving.push_back(entry.first);
        if (delta > 0) std::sort(moving.begin(), moving.end(), std::greater<>());
        else std::sort(moving.begin(), moving.end());
        for (const qint64 line : moving) {
            auto node = _cache.extract(line);
            node.key() = line + delta;
            _cache.insert(std::move(node));
        }
    }
    if (wraps()) {
        if (delta > 0) {
            for (qint64 k = 0; k < delta; ++k) _rows.insertBoundary(first + 1, _rows.positionOf(first + 1));
        } else if (delta < 0) {
            _rows.removeBoundaries(first + 1, -delta);
        }
        for (qint64 line = first; line <= lastNew; ++line) setRowsOfLine(line, 1);
    }
    changed();
}

void QVTextLayoutManager::changed() {
    if (_layoutChanged) _layoutChanged();
}

// --- Geometry ---------------------------------------------------------------------------------

QRectF QVTextLayoutManager::caretRect(qint64 position) {
    if (!_storage) return QRectF(0, 0, 1, _lineHeight);
    position = std::clamp<qint64>(position, 0, _storage->length());
    const qint64 line = _storage->lineOfPosition(position);
    const qint64 start = _storage->lineStart(line);
    const qint64 column = std::min(position, _storage->lineContentsEnd(line)) - start;
    const QTextLayout& layout = layoutForLine(line);
    QTextLine row = layout.lineForTextPosition(int(column));
    if (!row.isValid()) row = layout.lineAt(std::max(0, layout.lineCount() - 1));
    const qreal x = row.isValid() ? row.cursorToX(int(column)) : 0;
    const qint64 rowIndex = firstRowOfLine(line) + (row.isValid() ? row.lineNumber() : 0);
    return QRectF(x, rowIndex * _lineHeight, 1, _lineHeight);
}

qint64 QVTextLayoutManager::positionForPoint(const QPointF& point) {
    if (!_storage) return 0;
    const qint64 row = std::clamp<qint64>(qint64(std::floor(point.y() / _lineHeight)), 0, rowCount() - 1);
    qint64 inLine = 0;
    const qint64 line = lineOfRow(row, &inLine);
    const QTextLayout& layout = layoutForLine(line);
    const QTextLine textRow = layout.lineAt(int(std::min<qint64>(inLine, layout.lineCount() - 1)));
    const qint64 start = _storage->lineStart(line);
    if (!textRow.isValid()) return start;
    const qint64 column = textRow.xToCursor(point.x());
    return std::clamp<qint64>(start + column, start, _storage->lineContentsEnd(line));
}

QVRange QVTextLayoutManager::characterRangeOfRow(qint64 row) {
    if (!_storage) return QVRange(0, 0);
    qint64 inLine = 0;
    const qint64 line = lineOfRow(row, &inLine);
    const QTextLayout& layout = layoutForLine(line);
    const qint64 start = _storage->lineStart(line);
    const qint64 contentsEnd = _storage->lineContentsEnd(line);
    const QTextLine textRow = layout.lineAt(int(std::min<qint64>(inLine, layout.lineCount() - 1)));
    if (!textRow.isValid()) return QVRange(start, contentsEnd - start);
    const qint64 from = start + textRow.textStart();
    const qint64 to = std::min(contentsEnd, from + textRow.textLength());
    return QVRange(from, to - from);
}

qint64 QVTextLayoutManager::rowOfPosition(qint64 position) {
    if (!_storage) return 0;
    position = std::clamp<qint64>(position, 0, _storage->length());
    const qint64 line = _storage->lineOfPosition(position);
    const qint64 column = std::min(position, _storage->lineContentsEnd(line)) - _storage->lineStart(line);
    const QTextLayout& layout = layoutForLine(line);
    const QTextLine row = layout.lineForTextPosition(int(column));
    return firstRowOfLine(line) + (row.isValid() ? row.lineNumber() : 0);
}

// --- Drawing ----------------------------------------------------------------------------------

void QVTextLayoutManager::drawLine(QPainter& painter, qint64 line, const QPointF& origin,
                                   const QList<QTextLayout::FormatRange>& selections, const QRectF& clip) {
    const QTextLayout& layout = layoutForLine(line);
    painter.setPen(_textColor);
    layout.draw(&painter, origin, selections, clip);
    if (!_storage) return;
    const QString& text = _cache.at(std::clamp<qint64>(line, 0, _storage->lineCount() - 1))->text;
    const qint64 start = _storage->lineStart(std::clamp<qint64>(line, 0, _storage->lineCount() - 1));
    for (qsizetype i = text.indexOf(QChar(Ellipsis)); i >= 0; i = text.indexOf(QChar(Ellipsis), i + 1)) {
        std::shared_ptr<QVTextAttachment> attachment = _storage->attachmentAt(start + i);
        if (!attachment) continue;
        const QTextLine row = layout.lineForTextPosition(int(i));
        if (!row.isValid()) continue;
        const QRectF cell(origin.x() + row.cursorToX(int(i)), origin.y() + row.y(), attachmentWidth(), _lineHeight);
        drawAttachment(painter, attachment, cell.adjusted(1, 1, -1, -1));
    }
}

void QVTextLayoutManager::drawAttachment(QPainter& painter, const std::shared_ptr<QVTextAttachment>&,
                                         const QRectF& cell) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    QColor frame = _textColor;
    frame.setAlphaF(0.45f);
    painter.setPen(QPen(frame, 1));
    QColor fill = _textColor;
    fill.setAlphaF(0.08f);
    painter.setBrush(fill);
    painter.drawRoundedRect(cell, 4, 4);
    painter.setFont(_font);
    painter.setPen(_textColor);
    painter.drawText(cell, Qt::AlignCenter, QString(QChar(Ellipsis)));
    painter.restore();
}

QString QVTextLayoutManager::check() {
    if (!_storage) return {};
    const qint64 lines = _storage->lineCount();
    if (_lineCount != lines) return QStringLiteral("line count %1, storage has %2").arg(_lineCount).arg(lines);
    if (wraps()) {
        if (QString problem = _rows.check(); !problem.isEmpty()) return QStringLiteral("rows: ") + problem;
        if (_rows.partitions() != lines)
            return QStringLiteral("rows for %1 lines, storage has %2").arg(_rows.partitions()).arg(lines);
    }
    for (const auto& [line, layout] : _cache) {
        if (line < 0 || line >= lines) return QStringLiteral("cached line %1 of %2").arg(line).arg(lines);
        if (layout->text != displayString(line))
            return QStringLiteral("cached line %1 is \"%2\", the text has \"%3\"").arg(line).arg(layout->text, displayString(line));
        if (wraps() && rowsOfLine(line) != layout->rows)
            return QStringLiteral("line %1 has %2 rows, laid out %3").arg(line).arg(rowsOfLine(line)).arg(layout->rows);
    }
    return {};
}
