// What the line-number gutter asks of the editor view about folds. The gutter knows nothing of
// fold patterns: the view decides which line needs which marker and does the folding itself.
#pragma once

#include "platform/QVRange.h"

#include <QtGlobal>

class QVLineNumberingRulerView;

// A marker's state on its line.
enum class QVFoldMarkerState : qint32 {
    Open = 0,      // the line opens a block it does not close
    End = 1,       // the line closes a block
    Collapsed = 2, // the line holds a collapsed region
    Other = 3,     // the line's closer comes before its opener: it closes one block and opens another
};

class QVCodeFoldingDelegate {
public:
    virtual ~QVCodeFoldingDelegate() = default;
    // Number of fold-pattern matches on index's line: 1 for Collapsed, the opener's matches for
    // Open, the closer's otherwise.
    virtual qint64 countForState(QVFoldMarkerState state, qint64 index) = 0;
    // Lines hidden by the collapsed region on index's line for Collapsed; else 0.
    virtual qint64 numberOfLinesForState(QVFoldMarkerState state, qint64 index) = 0;
    // Whether lineRange needs a marker, and which.
    virtual bool rangeNeedsMarker(QVRange lineRange, QVFoldMarkerState* state) = 0;
    // Fold the block between the two marker lines; type is the toggled marker's state (Open or
    // End). Without a matching marker the far end is QVRange::NotFound. False when nothing was
    // folded (no opener on the first line, an empty block): the marker keeps its state.
    virtual bool collapseFromGlyphIndex(qint64 first, qint64 second, QVFoldMarkerState type, qint64 offset) = 0;
    // Expand the collapsed region on index's line, at or after index; false when that line
    // holds none (a region further down is never touched).
    virtual bool expandForMarkerWithGlyphIndex(qint64 index) = 0;
    // Whether colouring is still under way; its edits re-ask the lines they colour, so the
    // gutter waits for it before asking lines itself in idle time.
    virtual bool colouringUnderWay() const { return false; }
    // Select the line that holds index.
    virtual void selectLineForGlyphIndex(qint64 index, QVLineNumberingRulerView* ruler) = 0;
};
