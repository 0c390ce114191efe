// The editor's side of find: the range searches over the full text, quick search, the
// whole-text replace of the multi-file find, and the seam through which the editor's find
// commands reach the shared find panel.
#pragma once

#include "platform/QVRange.h"
#include "shell/QVSearch.h"

#include <QString>

#include <functional>

class HTMLView;

class HTMLViewFind {
public:
    HTMLViewFind() = delete;

    // The editor's find commands, handed to the panel; Bind only binds it (the editor became
    // active).
    enum class Action { Bind, SingleFileFind, FindNext, FindPrevious, ReplaceAndFind, FindUsingSelection };
    using Panel = std::function<void(HTMLView& view, Action action)>;
    // Installed by the find panel's library; until then the commands do nothing.
    static void setPanel(Panel panel);
    // Binds the panel to the view and runs the command; false when no panel is installed.
    static bool perform(HTMLView& view, Action action);

    // The nearest match after the selection (before it), wrapping around the end (the start),
    // in full-text positions: collapsed regions are searched as the text they hold, in text
    // order, and a pattern sees the text around the selection. NotFound when there is none.
    static QVRange nextRangeForSearch(const HTMLView& view, const QVSearch& search);
    static QVRange previousRangeForSearch(const HTMLView& view, const QVSearch& search);
    // Selects a range of full-text positions and scrolls to it, first expanding every collapsed
    // region it reaches into (a region starting where the range starts included).
    static void showFullRange(HTMLView& view, QVRange fullRange);
    // The full-text position of a visible position.
    static qint64 fullPosition(const HTMLView& view, qint64 visible);
    // The selection in full-text positions.
    static QVRange fullSelectedRange(const HTMLView& view);
    // Whether the selection is exactly one match of the search in the full text.
    static bool selectionIsMatch(const HTMLView& view, const QVSearch& search);

    // Quick search: the field's text changed (refine from the selection's start, falling back to
    // the selection as it was), or Return in it (search on). Ignores case; Shift searches back.
    // A miss beeps, keeps the fallback and sends the owner the error "No match" or "No more
    // matches" (code 8) as not critical.
    static void quickSearch(HTMLView& view, const QString& string);
    static void quickSearchAgain(HTMLView& view, const QString& string);
    // The same with the direction given (the two above read it from the Shift key).
    static bool quickSearch(HTMLView& view, const QString& string, QVRange originalSelection, bool backwards);

    // Replaces the whole text with text as one undo step "Replace All" and redraws.
    static void applyReplaceAll(HTMLView& view, const QString& text);
    // Replaces every match of search in the full text so; answers how many (none on an error).
    static qsizetype replaceAll(HTMLView& view, const QVSearch& search);
};
