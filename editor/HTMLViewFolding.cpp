// Code folding in the editor view: which lines open and close foldable blocks, and the
// collapse and expand edits the gutter asks for.
#include "editor/HTMLView.h"
#include "editor/HTMLViewTypingAids.h"

#include "editor/QVBeep.h"
#include "editor/QVLineNumberingRulerView.h"
#include "languages/QVParser.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"
#include "platform/QVRegex.h"

#include <QMouseEvent>

namespace {

// The line holding position, without its break (LF, CR or CR LF, as the storage counts lines).
QVRange contentsOfLineAt(const QVTextStorage& text, qint64 position) {
    const qint64 line = text.lineOfPosition(position);
    const qint64 start = text.lineStart(line);
    return QVRange(start, text.lineContentsEnd(line) - start);
}

// The matches of pattern in text, in order; an empty match moves the search on by one.
QList<QVRange> allMatches(const QVRegex& pattern, const QString& text) {
    QList<QVRange> found;
    qint64 from = 0;
    const QVRange whole(0, text.size());
    while (from <= text.size()) {
        std::optional<QVRegexMatch> match = pattern.copyMatchForString(text, whole, QVRegex::MatchNone, from);
        if (!match) break;
        const QVRange range = match->rangeForCapture(0);
        found.append(range);
        from = range.length > 0 ? range.end() : range.location + 1;
    }
    return found;
}

// The match number n of pattern in text (the first when there are not that many).
std::optional<QVRange> matchNumber(const QVRegex& pattern, const QString& text, qint64 n) {
    if (n <= 0) {
        std::optional<QVRegexMatch> match = pattern.copyMatchForString(text);
        if (!match) return std::nullopt;
        return match->rangeForCapture(0);
    }
    const QList<QVRange> found = allMatches(pattern, text);
    if (found.isEmpty()) return std::nullopt;
    return n < found.size() ? found[n] : found.first();
}

}  // namespace

namespace {

// The parser whose fold patterns rule position: the one that coloured it, else the main one.
const QVParser* foldParserAt(const HTMLView& view, qint64 position) {
    if (position < view.length()) {
        if (const QVParser* parser =
                QVTextStorage::objectOf<QVParser>(view.textStorage().attribute(QVTextStorage::ParserAttribute, position)))
            return parser;
    }
    return view.parser().get();
}

}  // namespace

bool HTMLView::rangeNeedsMarker(QVRange lineRange, QVFoldMarkerState* state) {
    QVFoldMarkerState found = QVFoldMarkerState::Open;
    bool needs = false;
    if (_textStorage->firstAttachmentInRange(lineRange)) {
        found = QVFoldMarkerState::Collapsed;
        needs = true;
    } else if (const QVParser* parser = foldParserAt(*this, lineRange.location)) {
        const std::shared_ptr<const QVRegex> opener = parser->foldOpener();
        const std::shared_ptr<const QVRegex> closer = parser->foldCloser();
        const QString line = _textStorage->stringWithoutAttachmentsInRange(lineRange);
        const QVRange whole(0, line.size());
        std::optional<QVRegexMatch> open = opener ? opener->copyMatchForString(line) : std::nullopt;
        if (open) {
            const QVRange openRange = open->rangeForCapture(0);
            // A closer after the opener, seen with the line before it, so "^" does not match there.
            if (closer && closer->copyMatchForString(line, whole, QVRegex::MatchNone, openRange.end())) {
                needs = false;
            } else if (closer && closer->copyMatchForString(line, QVRange(0, openRange.location), QVRegex::MatchNone)) {
                found = QVFoldMarkerState::Other;
                needs = true;
            } else {
                found = QVFoldMarkerState::Open;
                needs = true;
            }
        } else if (closer && closer->copyMatchForString(line)) {
            found = QVFoldMarkerState::End;
            needs = true;
        }
    }
    if (needs && state) *state = found;
    return needs;
}

qint64 HTMLView::countForState(QVFoldMarkerState state, qint64 index) {
    if (state == QVFoldMarkerState::Collapsed) return 1;
    const QVParser* parser = foldParserAt(*this, index);
    if (!parser) return 0;
    const std::shared_ptr<const QVRegex> pattern = state == QVFoldMarkerState::Open ? parser->foldOpener() : parser->foldCloser();
    if (!pattern) return 0;
    return allMatches(*pattern, _textStorage->stringWithoutAttachmentsInRange(contentsOfLineAt(textStorage(), index))).size();
}

qint64 HTMLView::numberOfLinesForState(QVFoldMarkerState state, qint64 index) {
    if (state != QVFoldMarkerState::Collapsed) return 0;
    const std::shared_ptr<QVFoldMarkerTextAttachment> region =
        _textStorage->firstAttachmentInRange(contentsOfLineAt(textStorage(), index));
    return region ? qint64(region->numberOfLines()) : 0;
}

bool HTMLView::collapseFromGlyphIndex(qint64 first, qint64 second, QVFoldMarkerState type, qint64 offset) {
    if (first < 0 || first > length()) return false;
    const QVParser* parser = foldParserAt(*this, first);
    if (!parser || !parser->foldOpener()) return false;
    const QVRange startLine = contentsOfLineAt(textStorage(), first);
    const QString startText = _textStorage->stringWithoutAttachmentsInRange(startLine);
    const std::optional<QVRange> open =
        matchNumber(*parser->foldOpener(), startText, type == QVFoldMarkerState::Open ? 0 : offset);
    if (!open) return false;

    const QVRange endLine = second == QVRange::NotFound || second < 0 || second > length()
                                ? QVRange(length(), 0)
                                : contentsOfLineAt(textStorage(), second);
    const QString endText = _textStorage->stringWithoutAttachmentsInRange(endLine);
    std::optional<QVRange> close;
    if (parser->foldCloser())
        close = matchNumber(*parser->foldCloser(), endText, type == QVFoldMarkerState::End ? 0 : offset);
    const qint64 start = startLine.location + open->end();
    const qint64 end = endLine.location + (close ? close->location : 0);
    return collapseRange(QVRange(start, end - start));
}

bool HTMLView::expandForMarkerWithGlyphIndex(qint64 index) {
    if (index < 0 || index >= length()) return false;
    const QVRange line = contentsOfLineAt(textStorage(), index);
    QVRange run;
    if (!_textStorage->nextAttachmentAfterIndex(index, &run) || run.location >= line.end()) return false;
    return expandRegion(run.location);
}

void HTMLView::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        const QPointF point = event->position() + scrollOffset();
        const qint64 position = positionForViewportPoint(event->position().toPoint());
        // The click lands before or after the region's one character, by the half it hit.
        for (const qint64 at : {position, position - 1}) {
            if (at < 0 || at >= length() || !_textStorage->foldMarkerAt(at)) continue;
            const QRectF before = layoutManager().caretRect(at);
            const QRectF after = layoutManager().caretRect(at + 1);
            if (point.x() >= before.left() && point.x() <= after.left() && point.y() >= before.top() &&
                point.y() <= before.bottom()) {
                expandRegion(at);
                event->accept();
                return;
            }
        }
        if (_aids->mouseDoubleClick(position)) return;
    }
    QVSyntaxHighlightingTextView::mouseDoubleClickEvent(event);
}

// --- Commands -----------------------------------------------------------------------------------

void HTMLView::toggleAll(QVFoldMarkerState state, int level) {
    if (!_gutter) return;
    const QList<QVFoldMarker> markers = _gutter->markersWithState(state, level);
    if (markers.isEmpty()) return;
    // From the last to the first: each fold changes the text after its marker only, so the
    // markers before it, and the match of an outermost block inside it, keep their places.
    // The gutter is told once at the end instead of shifting every marker after every fold.
    _foldingAll = true;
    for (auto it = markers.crbegin(); it != markers.crend(); ++it) _gutter->toggleMarker(*it);
    _foldingAll = false;
    _gutter->textStorageReplaced();
}

void HTMLView::collapseAllBlocks() { toggleAll(QVFoldMarkerState::Open, 0); }

void HTMLView::expandAllBlocks() { toggleAll(QVFoldMarkerState::Collapsed, -1); }

void HTMLView::foldCurrentBlock() {
    const qint64 line = textStorage().lineStart(textStorage().lineOfPosition(selectedRange().location));
    if (!_gutter || !_gutter->foldBlockForIndex(line)) QVBeep::beep();
}

void HTMLView::updateGutter() {
    if (!active()) {
        _updateGutterOnActivate = true;
        return;
    }
    if (!_gutter) return;
    UserDefaults& defaults = UserDefaults::standard();
    _gutter->setCodeFoldingEnabled(defaults.boolForKey(QVCodeFoldingEnabled));
    _gutter->setLineNumbersEnabled(defaults.boolForKey(QVLineNums));
    if (_gutter->codeFoldingEnabled()) _gutter->updateMarkers();
    _gutter->adjustThickness();
}
