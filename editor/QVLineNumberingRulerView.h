// The gutter at the left of the editor: line numbers that count folded lines, fold markers kept
// across edits, the hovered line's band, and clicks that select a line or toggle a marker.
#pragma once

#include "editor/QVCodeFoldingDelegate.h"
#include "editor/QVFoldMarker.h"
#include "editor/QVFoldMarkerList.h"
#include "platform/QVRange.h"
#include "platform/QVTextStorage.h"

#include <QFont>
#include <QList>
#include <QRect>
#include <QString>
#include <QWidget>

#include <array>
#include <optional>
#include <utility>
#include <vector>

class QTimer;
class QVTextView;

// The gutter is a child of its text view placed in the view's left viewport margin (the view's
// gutter width is the gutter's thickness). It knows nothing of fold patterns: its delegate, the
// editor view, says which line needs which marker and does the folding. The host view hands it
// every storage edit (textStorageEdited()).
//
// Line ends are the storage's line index's: "\n", "\r\n" and a lone "\r" alike, for numbering and
// for marker upkeep. A collapsed region counts the line breaks it hides, so the lines after it
// keep the numbers they have in the full text. Numbers above the view come from the line index
// and the hidden-line counts of the collapsed regions above, never from walking the text.
class QVLineNumberingRulerView : public QWidget {
    Q_OBJECT
public:
    static constexpr int DefaultThickness = 40;
    // The marker column: clicks this close to the right edge toggle markers.
    static constexpr int MarkerColumnWidth = 20;

    // A gutter for textView, made its child and shown in its margin; numbers from QVLineNums
    // and folding from QVCodeFoldingEnabled.
    explicit QVLineNumberingRulerView(QVTextView* textView);
    ~QVLineNumberingRulerView() override;

    // Not owned; the delegate outlives the gutter or clears itself. A new delegate rebuilds the
    // markers.
    void setDelegate(QVCodeFoldingDelegate* delegate);
    QVCodeFoldingDelegate* delegate() const { return _delegate; }
    QVTextView* textView() const { return _textView; }

    bool lineNumbersEnabled() const { return _lineNumbersEnabled; }
    void setLineNumbersEnabled(bool flag);
    bool codeFoldingEnabled() const { return _codeFoldingEnabled; }
    // Off drops every marker; on rebuilds them.
    void setCodeFoldingEnabled(bool flag);
    // Thickness DefaultThickness (or what the numbers need) when shown, 0 when not.
    void setRulerVisible(bool flag);
    int thickness() const { return _thickness; }
    // Widens the gutter so that the largest line number fits (never below DefaultThickness).
    void adjustThickness();

    // --- Markers ------------------------------------------------------------------------------
    // Drops every marker and asks the delegate about every line again: the lines in view at
    // the next paint, the rest while the event loop is idle (or when something needs them).
    void updateMarkers();
    // Every marker, in glyph-index order (lines not asked yet are asked first).
    std::vector<QVFoldMarker> foldMarkers() const;
    // The marker registered at a line start; none when none is.
    std::optional<QVFoldMarker> markerAt(qint64 glyphIndex) const;
    // An edit (a new text, a paste, a slice of colouring) over more lines than this asks only
    // the lines in view at once; the others are asked while idle, after colouring, or when
    // something needs them, so opening a big file paints before its markers are known.
    static constexpr qint64 AskAtOnceLines = 1000;
    // The lines not asked yet are asked while idle in slices of about this long, this many
    // lines at a time.
    static constexpr qint64 IdleSliceNs = 2'000'000;
    static constexpr qint64 IdleSliceLines = 100;
    // Lines not asked yet: the stretches of text they cover, carried through edits.
    qint64 unaskedLength() const;
    // Lines longer than this are not asked about on every keystroke: their markers are asked
    // for once typing pauses, so a keystroke on a long line costs what it costs on a short one.
    static constexpr qint64 LongLineLength = 16 * 1024;
    static constexpr int LongLineDelayMs = 300;
    // Asks the lines put off until typing pauses, and every line not asked yet, now.
    void settleMarkers();
    // Asks the lines put off until typing pauses, and those only: the pause after a keystroke
    // in a long line, which must not pay for the unasked lines of the whole text (they are
    // asked in short slices while idle). One pass asks lines of about SettleSliceCharacters (a
    // whole line at least); what is left is asked by the passes right after.
    void settleDeferredLines();
    static constexpr qint64 SettleSliceCharacters = 1 << 20;
    // Work counters: characters of the lines handed to the delegate, and markers moved, removed
    // or added by edits.
    quint64 charactersAsked() const { return _charactersAsked; }
    quint64 markersTouched() const { return _foldMarkers.touched(); }
    // Folds or unfolds the block of the marker registered at marker's index: a collapsed one is
    // expanded, an open or end one collapses with its match (an open one without a match to the
    // end of the text; an end one without an opener folds nothing); an "other" marker does
    // nothing.
    void toggleMarker(const QVFoldMarker& marker);
    // The fold toggling an open or end marker makes, as the delegate's collapseFromGlyphIndex()
    // takes it: the glyph indexes of its two ends (second NotFound: the end of the text), the
    // marker's state and which of its line's folds it is. Nothing for a marker that folds nothing.
    struct Fold {
        qint64 first = 0, second = 0;
        QVFoldMarkerState type = QVFoldMarkerState::Open;
        qint64 offset = 0;
    };
    std::optional<Fold> foldOfMarker(const QVFoldMarker& marker);
    // Toggles the innermost block around the line starting at index (its collapsed marker, or
    // the last open marker before it that nothing closed); false when there is none.
    bool foldBlockForIndex(qint64 index);
    // The markers with that state at a nesting level: the counter starts at level, a marker is
    // taken while it is 0 or -1, an end marker then lowers it and an open one raises it.
    QList<QVFoldMarker> markersWithState(QVFoldMarkerState state, int level) const;
    // One line per marker, "index state lines": the state as open, end, collapsed or other.
    QString markerDump() const;

    // --- Numbers ------------------------------------------------------------------------------
    // Line breaks hidden by collapsed regions that start before position.
    qint64 hiddenLinesBefore(qint64 position) const;
    // What a paint draws, one entry per visible row, top to bottom: the row's band in gutter
    // coordinates, its number ("-" for a wrapped row's continuation, empty with numbers off)
    // and the state of its line's marker (-1: none).
    struct Label {
        QRectF band;
        QString text;
        int markerState = -1;
        qint64 glyphIndex = 0;  // the row's first character
    };
    QList<Label> visibleLabels() const;

    // --- Hover --------------------------------------------------------------------------------
    QRect highlightRect() const { return _highlightRect; }
    void clearHighlight();

    // --- From the host view -------------------------------------------------------------------
    // Every edit of the storage, after the view followed it.
    void textStorageEdited(const QVTextStorage::Edit& edit);
    // The view shows another storage: everything is worked out again.
    void textStorageReplaced();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct HiddenRegion {
        qint64 position;    // of the attachment character
        qint64 lineBreaks;  // in the text it hides
    };
    QVTextStorage& storage() const;
    // Re-derives markers over the lines an edit touched (change: new length minus old).
    void updateMarkersForEdit(QVRange edited, qint64 change);
    // Asks the delegate about lines [firstLine, lastLine] and replaces their markers, the lines
    // before them untouched and those after moved by change (markers at [oldFrom, oldTo) before
    // the edit are the ones replaced). Long lines are put off unless now.
    void askLines(qint64 firstLine, qint64 lastLine, qint64 oldFrom, qint64 oldTo, qint64 change, bool now);
    // Asks the lines of [from, to) not asked yet; true when markers changed.
    bool askUnasked(qint64 from, qint64 to);
    // Asks not-asked lines for a few milliseconds, then again later while any are left; waits
    // while the delegate colours, whose edits ask the lines they colour.
    void askUnaskedWhileIdle();
    // Follows an edit in the list of collapsed regions; true when the list changed.
    bool updateHiddenRegions(QVRange edited, qint64 change, bool characters);
    qint64 hiddenLineBreaksIn(qint64 from, qint64 to) const;
    // The index in _foldMarkers of the marker at glyphIndex; -1 when none.
    qint64 indexOfMarker(qint64 glyphIndex) const;
    // The index of the marker that closes (or opens) marker i's block and which of the several
    // folds on its line is meant; -1 when there is none.
    qint64 indexOfMatch(qint64 i, qint64* offset) const;
    // The row under a y of the gutter, clamped to the text's rows.
    qint64 rowAt(int y) const;
    void placeInMargin();
    void applyVisibility();
    // A paint is due when what the gutter shows moved.
    std::array<qint64, 8> paintSignature() const;

    QVCodeFoldingDelegate* _delegate = nullptr;
    QVTextView* _textView;
    QFont _lineNumberFont;
    bool _codeFoldingEnabled = true;
    bool _lineNumbersEnabled = true;
    bool _visible = true;
    int _thickness = DefaultThickness;
    QVFoldMarkerList _foldMarkers;
    // The long lines put off until typing pauses, each [from, to) over its text, sorted and
    // apart; carried through edits like the markers. Lines apart stay apart: one stretch from the
    // first to the last would ask every line between them.
    std::vector<std::pair<qint64, qint64>> _deferred;
    void deferLine(qint64 from, qint64 to);
    QTimer* _deferredTimer = nullptr;
    // Stretches [from, to) whose lines were not asked yet, sorted and apart, each from a line's
    // start; carried through edits like the markers.
    std::vector<std::pair<qint64, qint64>> _unasked;
    QTimer* _unaskedTimer = nullptr;
    quint64 _charactersAsked = 0;
    std::vector<HiddenRegion> _hiddenRegions;
    qint64 _hiddenLineBreaks = 0;  // of every collapsed region
    QRect _highlightRect;
    std::array<qint64, 8> _paintedSignature{};
    int _measuredDigits = 0;  // the digit count _digitsWidth was measured for
    qreal _digitsWidth = 0;
    quint64 _markerRevision = 0;
};
