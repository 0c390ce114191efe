// The editor's range searches, quick search and the find commands' seam.
#include "editor/HTMLViewFind.h"

#include "editor/HTMLView.h"
#include "editor/QVBeep.h"
#include "editor/QVFoldingTextStorage.h"
#include "platform/AppBundle.h"
#include "platform/QVError.h"

#include <QGuiApplication>

namespace {

HTMLViewFind::Panel& panelHook() {
    static HTMLViewFind::Panel panel;
    return panel;
}

bool isNotFound(QVRange range) { return range.location == QVRange::NotFound; }

// Every match in the full text (a pattern too complex for it gives those found before).
QList<QVSearchResult> matchesIn(const QString& text, const QVSearch& search) {
    return search.findAllForString(text, false);
}

}  // namespace

void HTMLViewFind::setPanel(Panel panel) { panelHook() = std::move(panel); }

bool HTMLViewFind::perform(HTMLView& view, Action action) {
    if (!panelHook()) return false;
    panelHook()(view, action);
    return true;
}

void HTMLViewFind::showFullRange(HTMLView& view, QVRange full) {
    const qint64 end = full.location + full.length;
    for (;;) {
        qint64 hidden = 0;
        qint64 index = 0;
        bool expanded = false;
        for (;;) {
            QVRange run;
            const auto region = view.foldingStorage().nextAttachmentAfterIndex(index, &run);
            if (!region) break;
            const qint64 fullStart = run.location + hidden;
            const qint64 regionEnd = fullStart + region->string().size();
            // An empty range reaches into a region only strictly inside it.
            if (full.length > 0 ? fullStart >= end : fullStart >= full.location) break;
            if (regionEnd > full.location) {
                expanded = view.expandRegion(run.location);
                break;
            }
            hidden += region->string().size() - 1;
            index = run.location + 1;
        }
        if (!expanded) {
            const QVRange visible(full.location - hidden, full.length);
            view.setSelectedRange(visible);
            view.scrollRangeToVisible(visible);
            return;
        }
    }
}

qint64 HTMLViewFind::fullPosition(const HTMLView& view, qint64 visible) {
    if (visible <= 0) return 0;
    return view.foldingStorage().fullStringInRange(QVRange(0, visible)).size();
}

QVRange HTMLViewFind::fullSelectedRange(const HTMLView& view) {
    const QVRange selection = view.selectedRange();
    const qint64 start = fullPosition(view, selection.location);
    const qint64 length = view.foldingStorage().fullStringInRange(selection).size();
    return QVRange(start, length);
}

QVRange HTMLViewFind::nextRangeForSearch(const HTMLView& view, const QVSearch& search) {
    const QString text = view.fullString();
    const QVRange selection = fullSelectedRange(view);
    const qint64 end = selection.location + selection.length;
    const auto matches = matchesIn(text, search);
    for (const QVSearchResult& match : matches) {
        const QVRange r = match.range();
        // An empty match where an empty selection stands is the place we are at, not the next.
        if (r.location >= end && (r.length > 0 || r.location > selection.location || selection.length > 0)) return r;
    }
    // Wrapped: a match before the selection, never the selected one itself.
    if (!matches.isEmpty()) {
        const QVRange first = matches.first().range();
        if (first.location + first.length <= selection.location && !(first.location == selection.location && first.length == 0))
            return first;
    }
    return QVRange(QVRange::NotFound, 0);
}

QVRange HTMLViewFind::previousRangeForSearch(const HTMLView& view, const QVSearch& search) {
    const QString text = view.fullString();
    const QVRange selection = fullSelectedRange(view);
    const qint64 end = selection.location + selection.length;
    const auto matches = matchesIn(text, search);
    for (auto it = matches.crbegin(); it != matches.crend(); ++it) {
        const QVRange r = it->range();
        if (r.location + r.length <= selection.location && !(r.location == selection.location && r.length == 0))
            return r;
    }
    if (!matches.isEmpty()) {
        const QVRange last = matches.last().range();
        if (last.location >= end && !(last.length == 0 && last.location == end)) return last;
    }
    return QVRange(QVRange::NotFound, 0);
}

bool HTMLViewFind::selectionIsMatch(const HTMLView& view, const QVSearch& search) {
    const QVRange selection = fullSelectedRange(view);
    if (selection.length == 0) return false;
    for (const QVSearchResult& match : matchesIn(view.fullString(), search)) {
        if (match.range().location > selection.location) break;
        if (match.range().location == selection.location && match.range().length == selection.length) return true;
    }
    return false;
}

void HTMLViewFind::quickSearch(HTMLView& view, const QString& string) {
    if (string.isEmpty()) return;
    const QVRange original = view.selectedRange();
    view.QVTextView::setSelectedRange(QVRange(original.location, 0));
    quickSearch(view, string, original, QGuiApplication::keyboardModifiers() & Qt::ShiftModifier);
}

void HTMLViewFind::quickSearchAgain(HTMLView& view, const QString& string) {
    if (string.isEmpty()) return;
    quickSearch(view, string, view.selectedRange(), QGuiApplication::keyboardModifiers() & Qt::ShiftModifier);
}

bool HTMLViewFind::quickSearch(HTMLView& view, const QString& string, QVRange originalSelection, bool backwards) {
    const QVSearch search = QVSearch::withSearchString(string);
    const QVRange found = backwards ? previousRangeForSearch(view, search) : nextRangeForSearch(view, search);
    if (!isNotFound(found)) {
        showFullRange(view, found);
        return true;
    }
    QVBeep::beep();
    const QString message = view.selectedRange().length > 0 ? QStringLiteral("No more matches") : QStringLiteral("No match");
    view.QVTextView::setSelectedRange(originalSelection);
    if (const auto owner = view.delegate()) owner->htmlViewHadError(&view, QVError::app(8, QVLocalized(message)), false);
    return false;
}

void HTMLViewFind::applyReplaceAll(HTMLView& view, const QString& text) {
    view.undoableSetString(text, QVLocalized(QStringLiteral("Replace All")));
    view.viewport()->update();
}

qsizetype HTMLViewFind::replaceAll(HTMLView& view, const QVSearch& search) {
    // Without collapsed regions the full text shares the storage's characters (an edited text's
    // pieces joined into one, the old ones let go), and undo keeps them as they are: beside the
    // text before, only the text after is made.
    QString text = view.fullString();
    const qsizetype count = search.replaceAllInString(text);
    if (count != 0) applyReplaceAll(view, text);
    return count;
}

void HTMLView::quickSearch(const QString& string) { HTMLViewFind::quickSearch(*this, string); }

void HTMLView::quickSearchAgain(const QString& string) { HTMLViewFind::quickSearchAgain(*this, string); }
