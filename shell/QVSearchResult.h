// One match of a search: its range in the searched text and, for result lists, a short context.
#pragma once

#include "platform/QVRange.h"

#include <QList>
#include <QString>
#include <QTextLayout>

#include <memory>

class QVSearchResult {
public:
    // The context text of a result: the text around the match with the match emphasised. The
    // emphasis is a range inside the text; formats() gives the drawing attributes for QTextLayout.
    struct AttributedString {
        QString string;
        QVRange emphasis = QVRange(0, 0);

        // Grey (white 0.4) for the whole text, black bold 12-point system font for the match.
        QList<QTextLayout::FormatRange> formats() const;
        bool operator==(const AttributedString&) const = default;
    };

    // How far the context reaches on either side of the match, in characters.
    static constexpr qint64 ContextReach = 40;

    QVSearchResult() = default;
    // A bare range, without context (what range-only enumerations hand out).
    explicit QVSearchResult(QVRange range) : _range(range) {}
    // A match in a string, with its context built once here. A range outside the string gives
    // an empty context.
    QVSearchResult(QVRange range, const QString& string);

    QVRange range() const { return _range; }
    const AttributedString& attributedString() const { return _attributedString; }

    // The object that holds this result (the result node of a find window). Kept weakly, since
    // the holder keeps its results: null once the holder is gone.
    std::shared_ptr<void> parent() const { return _parent.lock(); }
    template <class T> std::shared_ptr<T> parentAs() const { return std::static_pointer_cast<T>(parent()); }
    void setParent(const std::shared_ptr<void>& parent) { _parent = parent; }

    // The context of a match at range in string: it starts after the last line break within
    // ContextReach characters before the match (or ContextReach characters before it), and ends
    // at the first line break after the match, ContextReach characters after it, or at the end of
    // the text, whichever comes first.
    // Never splits a surrogate pair.
    static AttributedString createAttributedStringFromString(const QString& string, QVRange range);

private:
    QVRange _range = QVRange(0, 0);
    AttributedString _attributedString;
    std::weak_ptr<void> _parent;
};

// A result holds nothing that points into itself (a range, an implicitly shared string and the
// two pointers of a weak pointer), so a list of results grows by moving bytes: the lists of a
// multi-file find hold hundreds of thousands.
Q_DECLARE_TYPEINFO(QVSearchResult, Q_RELOCATABLE_TYPE);
