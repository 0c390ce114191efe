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

QString QVTextLayoutManager::displayString(qint64 line, qint64* start, qint64 from, qint64 to) const {
    if (!_storage) {
        if (start) *start = 0;
        return {};
    }
    const QVRange range = _storage->lineRange(line);
    const qint64 contentsEnd = _storage->lineContentsEnd(line);
    const qint64 length = contentsEnd - range.location;
    from = std::clamp<qint64>(from, 0, length);
    to = to < 0 ? length : std::clamp<qint64>(to, from, length);
    if (start) *start = range.location;
    QString text = _storage->substring(QVRange(range.location + from, to - from));
    QChar* chars = text.data();
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = chars[i].unicode();
        if (c == u'\u2028' || c == u'\u2029') chars[i] = QLatin1Char(' ');
        // A byte of a UTF-8 file that is not UTF-8, kept in the text as a low surrogate standing
        // alone (U+DC80-U+DCFF): shown as the replacement mark, one cell, as the byte is saved back.
        else if (c >= 0xDC80 && c <= 0xDCFF &&
                 !(i > 0 ? chars[i - 1].isHighSurrogate()
                         : range.location + from > 0 && _storage->characterAt(range.location + from - 1).isHighSurrogate()))
            chars[i] = QChar(0xFFFD);
        else if (c == QVTextAttachment::Character && _storage->attachmentAt(range.location + from + i)) chars[i] = QChar(Ellipsis);
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

bool QVTextLayoutManager::isLong(qint64 line) const {
    if (wraps() || !_storage) return false;
    const QVRange range = _storage->lineRange(line);
    return !range.isNotFound() && range.length > LongLineLength &&
           _storage->lineContentsEnd(line) - range.location > LongLineLength;
}

std::unique_ptr<QVTextLayoutManager::LineLayout> QVTextLayoutManager::makeLayout(qint64 line, qint64 first, qint64 last) {
    auto made = std::make_unique<LineLayout>();
    const qint64 lineStart = _storage ? _storage->lineStart(line) : 0;
    made->length = _storage ? _storage->lineContentsEnd(line) - lineStart : 0;
    made->to = made->length;
    if (isLong(line)) {
        // A part around [first, last], on a grid so that nearby requests share it, never
        // splitting a surrogate pair.
        first = std::clamp<qint64>(first, 0, made->length);
        last = std::clamp<qint64>(std::max(first, last), first, made->length);
        const qint64 span = std::max(PartLength, last - first + PartLength / 2);
        const qint64 grid = PartLength / 4;
        qint64 from = std::max<qint64>(0, (first + last) / 2 - span / 2) / grid * grid;
        qint64 to = std::min(made->length, from + span + grid);
        if (to < last) to = last;
        auto lowSurrogateAt = [&](qint64 column) {
            return column > 0 && column < made->length && _storage->characterAt(lineStart + column).isLowSurrogate();
        };
        if (lowSurrogateAt(from)) --from;
        if (lowSurrogateAt(to)) ++to;
        made->from = from;
        made->to = to;
    }
    qint64 start = 0;
    made->text = displayString(line, &start, made->from, made->to);
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
        buildFormats(start + made->from, made->text, formats);
        layout.setFormats(formats);
    }
    const qreal partX = made->from * _spaceWidth;
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
    if (made->partial()) width = partX + width + (made->length - made->to) * _spaceWidth;
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

QVTextLayoutManager::LineLayout& QVTextLayoutManager::laidOut(qint64 line, qint64 first, qint64 last) {
    const qint64 lines = _storage ? _storage->lineCount() : 1;
    line = std::clamp<qint64>(line, 0, lines - 1);
    auto it = _cache.find(line);
    if (it != _cache.end()) {
        const LineLayout& laid = *it->second;
        if (!laid.partial() || first < 0) return *it->second;
        const qint64 low = std::clamp<qint64>(first, 0, laid.length);
        const qint64 high = std::clamp<qint64>(std::max(first, last), 0, laid.length);
        if (laid.from <= low && high <= laid.to) return *it->second;
        it->second = makeLayout(line, first, last);
        return *it->second;
    }
    return *_cache.emplace(line, makeLayout(line, std::max<qint64>(first, 0), std::max(first, last))).first->second;
}

const QTextLayout& QVTextLayoutManager::layoutForLine(qint64 line) { return laidOut(line).layout; }

QVRange QVTextLayoutManager::partOfLine(qint64 line) const {
    const auto it = _cache.find(line);
    if (it == _cache.end()) return QVRange(0, 0);
    return QVRange(it->second->from, it->second->to - it->second->from);
}

qint64 QVTextLayoutManager::columnOfX(qreal x) const { return qint64(std::max<qreal>(0, std::round(x / _spaceWidth))); }

QPointF QVTextLayoutManager::endOfLineText(qint64 line) {
    const LineLayout& laid = laidOut(line);
    const QTextLine last = laid.layout.lineAt(std::max(0, laid.layout.lineCount() - 1));
    if (!last.isValid()) return QPointF(partX(laid), 0);
    return QPointF(partX(laid) + last.naturalTextWidth() + (laid.length - laid.to) * _spaceWidth, last.y());
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
    const LineLayout& laid = laidOut(line, column, column);
    const int inPart = int(column - laid.from);
    QTextLine row = laid.layout.lineForTextPosition(inPart);
    if (!row.isValid()) row = laid.layout.lineAt(std::max(0, laid.layout.lineCount() - 1));
    const qreal x = partX(laid) + (row.isValid() ? row.cursorToX(inPart) : 0);
    const qint64 rowIndex = firstRowOfLine(line) + (row.isValid() ? row.lineNumber() : 0);
    return QRectF(x, rowIndex * _lineHeight, 1, _lineHeight);
}

qint64 QVTextLayoutManager::positionForPoint(const QPointF& point) {
    if (!_storage) return 0;
    const qint64 row = std::clamp<qint64>(qint64(std::floor(point.y() / _lineHeight)), 0, rowCount() - 1);
    qint64 inLine = 0;
    const qint64 line = lineOfRow(row, &inLine);
    const qint64 start = _storage->lineStart(line);
    const qint64 guess = isLong(line) ? columnOfX(point.x()) : -1;
    const LineLayout& laid = laidOut(line, guess, guess);
    const QTextLayout& layout = laid.layout;
    const QTextLine textRow = layout.lineAt(int(std::min<qint64>(inLine, layout.lineCount() - 1)));
    if (!textRow.isValid()) return start;
    const qint64 column = laid.from + textRow.xToCursor(point.x() - partX(laid));
    return std::clamp<qint64>(start + column, start, _storage->lineContentsEnd(line));
}

QVRange QVTextLayoutManager::characterRangeOfRow(qint64 row) {
    if (!_storage) return QVRange(0, 0);
    qint64 inLine = 0;
    const qint64 line = lineOfRow(row, &inLine);
    const qint64 start = _storage->lineStart(line);
    const qint64 contentsEnd = _storage->lineContentsEnd(line);
    if (isLong(line)) return QVRange(start, contentsEnd - start);  // one row: the whole line
    const QTextLayout& layout = layoutForLine(line);
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
    if (isLong(line)) return firstRowOfLine(line);
    const qint64 column = std::min(position, _storage->lineContentsEnd(line)) - _storage->lineStart(line);
    const QTextLayout& layout = layoutForLine(line);
    const QTextLine row = layout.lineForTextPosition(int(column));
    return firstRowOfLine(line) + (row.isValid() ? row.lineNumber() : 0);
}

// --- Drawing ----------------------------------------------------------------------------------

void QVTextLayoutManager::drawLine(QPainter& painter, qint64 line, const QPointF& origin,
                                   const QList<QTextLayout::FormatRange>& selections, const QRectF& clip) {
    qint64 first = -1, last = -1;
    if (isLong(line)) {
        // Only the part that shows through the clip.
        first = columnOfX(clip.left() - origin.x()) - 1;
        last = columnOfX(clip.right() - origin.x()) + 1;
    }
    const LineLayout& laid = laidOut(line, std::max<qint64>(first, 0), std::max<qint64>(last, 0));
    const QTextLayout& layout = laid.layout;
    QList<QTextLayout::FormatRange> inPart = selections;
    if (laid.partial()) {
        inPart.clear();
        for (QTextLayout::FormatRange range : selections) {
            const qint64 from = std::max<qint64>(range.start, laid.from);
            const qint64 to = std::min<qint64>(qint64(range.start) + range.length, laid.to);
            if (to <= from) continue;
            range.start = int(from - laid.from);
            range.length = int(to - from);
            inPart << range;
        }
    }
    // The part's own x stays small: Qt's fixed-point text positions end at 2^25 pixels.
    const QPointF partOrigin = origin + QPointF(partX(laid), 0);
    painter.setPen(_textColor);
    layout.draw(&painter, partOrigin, inPart, clip);
    if (!_storage) return;
    const QString& text = laid.text;
    const qint64 start = _storage->lineStart(std::clamp<qint64>(line, 0, _storage->lineCount() - 1)) + laid.from;
    for (qsizetype i = text.indexOf(QChar(Ellipsis)); i >= 0; i = text.indexOf(QChar(Ellipsis), i + 1)) {
        std::shared_ptr<QVTextAttachment> attachment = _storage->attachmentAt(start + i);
        if (!attachment) continue;
        const QTextLine row = layout.lineForTextPosition(int(i));
        if (!row.isValid()) continue;
        const QRectF cell(partOrigin.x() + row.cursorToX(int(i)), origin.y() + row.y(), attachmentWidth(), _lineHeight);
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
        const QString shown = displayString(line, nullptr, layout->from, layout->to);
        if (layout->text != shown)
            return QStringLiteral("cached line %1 is \"%2\", the text has \"%3\"").arg(line).arg(layout->text, shown);
        if (wraps() && rowsOfLine(line) != layout->rows)
            return QStringLiteral("line %1 has %2 rows, laid out %3").arg(line).arg(rowsOfLine(line)).arg(layout->rows);
    }
    return {};
}
