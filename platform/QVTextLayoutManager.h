// Lays out the lines of a text storage with cached QTextLayouts and draws them: one font, tab
// stops, wrapping, rows, hit-testing and attachment cells.
#pragma once

#include "platform/Partitioning.h"
#include "platform/QVRange.h"
#include "platform/QVTextStorage.h"

#include <QColor>
#include <QFont>
#include <QList>
#include <QPointF>
#include <QRectF>
#include <QTextLayout>

#include <functional>
#include <memory>
#include <unordered_map>

class QPainter;

// The text is drawn line by line (lines as the storage's line index has them). A line's
// QTextLayout holds the line without its break, with two substitutions that keep one display
// character per text character, so a character index of the line is also its glyph index: an
// attachment character (U+FFFC with an attachment) becomes a cell as wide as attachmentWidth()
// that drawAttachment() fills, and a line or paragraph separator (U+2028, U+2029), which would
// break the layout, is laid out as a blank.
//
// Coordinates are the document's: x from the left edge of the text, y from the top of the first
// row. Every row (a line, or one wrapped piece of it) is lineHeight() high. Without wrapping a
// line is one row. With wrapping, a line that was never laid out counts as one row until it is;
// rows change as lines are laid out, and the layout-changed handler is called.
//
// Layouts are cached per line and follow edits: the lines an edit touches are dropped, the
// lines after it keep their layouts under their new numbers. The manager observes the storage;
// install it before any observer that could edit the storage while an edit is reported.
//
// Without wrapping, a line longer than LongLineLength (a minified page) is laid out only in part:
// some PartLength characters around what is drawn, hit or asked for. The part stands where its
// first character would stand if every character before it were a blank wide (its QTextLayout
// itself starts at x 0; partOfLine() says where), and x positions after it are estimated the same
// way. In a fixed-pitch font without tabs or wide characters the
// estimate is exact; otherwise a line's far parts may move a little when they are laid out.
class QVTextLayoutManager {
public:
    static constexpr qint64 LongLineLength = 16 * 1024;
    static constexpr qint64 PartLength = 4 * 1024;

    QVTextLayoutManager();
    virtual ~QVTextLayoutManager();
    QVTextLayoutManager(const QVTextLayoutManager&) = delete;
    QVTextLayoutManager& operator=(const QVTextLayoutManager&) = delete;

    // The storage laid out; null detaches. The storage must outlive its attachment here.
    void setTextStorage(QVTextStorage* storage);
    QVTextStorage* textStorage() const { return _storage; }

    void setFont(const QFont& font);
    const QFont& font() const { return _font; }
    // Tab stops every n blanks of the font; n below 1 is taken as 1.
    void setTabWidth(int spaces);
    int tabWidth() const { return _tabWidth; }
    // Wraps rows at width; 0 or less lays every line out as one row.
    void setWrapWidth(qreal width);
    qreal wrapWidth() const { return _wrapWidth; }
    bool wraps() const { return _wrapWidth > 0; }
    // The colour of text without a foreground attribute.
    void setTextColor(const QColor& color) { _textColor = color; }
    QColor textColor() const { return _textColor; }
    // The opaque colour the view fills under the text: a background run of exactly that colour
    // is not painted again (the pixels are the same), which spares every line a fill per run.
    void setBackgroundColor(const QColor& color);
    QColor backgroundColor() const { return _backgroundColor; }

    qreal lineHeight() const { return _lineHeight; }
    qreal spaceWidth() const { return _spaceWidth; }
    // The width of an attachment's cell.
    qreal attachmentWidth() const;

    // --- Rows ---------------------------------------------------------------------------------
    qint64 rowCount() const;
    qint64 firstRowOfLine(qint64 line) const;
    // The line holding row (clamped to the rows) and, when asked, the row's index in its line.
    qint64 lineOfRow(qint64 row, qint64* rowInLine = nullptr) const;
    // How many rows line takes (its layout's row count once laid out).
    qint64 rowsOfLine(qint64 line) const;
    // The widest line laid out so far (without wrapping); at least 0.
    qreal scrollWidth() const { return _scrollWidth; }

    // --- Layouts ------------------------------------------------------------------------------
    // The layout of line (clamped to the lines), made and cached when missing. For a line laid
    // out in part, the part laid out last (the one at the line's start when there was none),
    // whose characters start at partOfLine() (its rows start at x 0, the part at its first
    // column times spaceWidth()).
    const QTextLayout& layoutForLine(qint64 line);
    // The characters of line that its cached layout holds, [start, end) counted from the line's
    // start; the whole line's text unless it is laid out in part. (0, 0) when not laid out.
    QVRange partOfLine(qint64 line) const;
    // Where the text of line's last row ends: x in the document, y from the line's first row.
    QPointF endOfLineText(qint64 line);
    bool isLaidOut(qint64 line) const { return _cache.count(line) != 0; }
    // Lays out lines [first, last] that are missing.
    void ensureLayout(qint64 firstLine, qint64 lastLine);
    void invalidateAll();
    void invalidateLines(qint64 firstLine, qint64 lastLine);
    // Drops cached layouts farther than margin lines from [first, last].
    void pruneCache(qint64 firstLine, qint64 lastLine, qint64 margin = 200);
    qsizetype cachedLineCount() const { return qsizetype(_cache.size()); }
    // Called when rows or the scroll width changed by laying out, editing or invalidating.
    void setLayoutChangedHandler(std::function<void()> handler) { _layoutChanged = std::move(handler); }

    // --- Geometry -----------------------------------------------------------------------------
    // The caret's rectangle at position (clamped to the text; inside a line break it stands at
    // the end of the line's text), one pixel wide and one row high.
    QRectF caretRect(qint64 position);
    // The character boundary nearest to point (rows above the first give the first, below the
    // last give the last).
    qint64 positionForPoint(const QPointF& point);
    // The characters shown on row: from its first character to the start of the next row (for
    // the last row of a line, to the end of the line's text, without its break).
    QVRange characterRangeOfRow(qint64 row);
    // The row that holds position (on a soft wrap, the row it starts).
    qint64 rowOfPosition(qint64 position);

    // --- Drawing ------------------------------------------------------------------------------
    // Draws line with the top-left corner of its first row at origin: the text with its colours,
    // selections (ranges inside the line's text, with their formats), and attachment cells.
    // Subclasses draw their own marks before or after.
    virtual void drawLine(QPainter& painter, qint64 line, const QPointF& origin,
                          const QList<QTextLayout::FormatRange>& selections, const QRectF& clip);
    // Fills an attachment's cell; the default draws a rounded frame around an ellipsis.
    virtual void drawAttachment(QPainter& painter, const std::shared_ptr<QVTextAttachment>& attachment,
                                const QRectF& cell);

    // Empty when the rows match the lines and every cached layout matches its line's text.
    QString check();

protected:
    // The text of line as laid out: its characters without the break, substituted as above;
    // with a part, only columns [from, to) of it.
    QString displayString(qint64 line, qint64* start = nullptr, qint64 from = 0, qint64 to = -1) const;

private:
    struct LineLayout {
        QTextLayout layout;
        qint64 rows = 1;
        QString text;  // the display string of [from, to), to check the cache against the storage
        qint64 from = 0;    // the characters laid out, counted from the line's start
        qint64 to = 0;
        qint64 length = 0;  // the line's text without its break
        bool partial() const { return from > 0 || to < length; }
    };
    void storageEdited(const QVTextStorage::Edit& edit);
    // The cached layout of line holding columns [first, last] of it, made or moved there when
    // it does not; a negative first keeps any part there is.
    LineLayout& laidOut(qint64 line, qint64 first = -1, qint64 last = -1);
    std::unique_ptr<LineLayout> makeLayout(qint64 line, qint64 first, qint64 last);
    // Whether line is laid out in part (long, and not wrapped).
    bool isLong(qint64 line) const;
    // The column an x of a line laid out in part is estimated to fall on.
    qint64 columnOfX(qreal x) const;
    // Where a part's layout stands: its rows are laid out from x 0.
    qreal partX(const LineLayout& laid) const { return laid.from * _spaceWidth; }
    void buildFormats(qint64 start, const QString& text, QList<QTextLayout::FormatRange>& formats) const;
    void resetRows();
    void setRowsOfLine(qint64 line, qint64 rows);
    void fontChanged();
    void changed();

    QVTextStorage* _storage = nullptr;
    QVTextStorage::ObserverToken _observer = 0;
    qint64 _lineCount = 1;
    QFont _font;
    int _tabWidth = 4;
    qreal _wrapWidth = 0;
    QColor _textColor = Qt::black;
    QColor _backgroundColor;
    qreal _lineHeight = 16;
    qreal _spaceWidth = 8;
    qreal _ellipsisWidth = 8;
    qreal _scrollWidth = 0;
    // Rows per line while wrapping: partition i is line i, its length the line's rows.
    Partitioning _rows;
    std::unordered_map<qint64, std::unique_ptr<LineLayout>> _cache;
    std::function<void()> _layoutChanged;
};
