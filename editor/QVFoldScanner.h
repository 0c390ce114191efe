// Fold patterns matched over one line. The element folds of markup bundles ("an opening tag
// not closed later on the line", "a closing tag before any opening one", and the same for
// comments) are written as patterns whose lookahead rescans the rest of the line for every tag,
// which makes a long line quadratic. For exactly those patterns the scanner answers the same
// matches in one pass that collects the closers first and then walks the openers; any other
// pattern is matched as written.
#pragma once

#include "platform/QVRange.h"

#include <QList>
#include <QString>
#include <QStringView>

#include <memory>
#include <optional>
#include <vector>

class QVRegex;

class QVFoldScanner {
public:
    // The scanner of one parser's patterns, shared while the patterns live; either may be null.
    static std::shared_ptr<const QVFoldScanner> forPatterns(const std::shared_ptr<const QVRegex>& opener,
                                                            const std::shared_ptr<const QVRegex>& closer);

    bool hasOpener() const { return bool(_opener); }
    bool hasCloser() const { return bool(_closer); }
    // Whether the patterns were recognised and are matched in one pass.
    bool scansTags() const { return !_names.empty(); }
    // The first opener match starting at or after from (the text before from stays visible).
    std::optional<QVRange> firstOpener(QStringView line, qint64 from = 0) const;
    // Every opener match, each search going on from the previous match's end.
    QList<QVRange> openers(QStringView line) const;
    // The first closer match in the line cut at limit, starting at or after from.
    std::optional<QVRange> firstCloser(QStringView line, qint64 limit, qint64 from = 0) const;
    QList<QVRange> closers(QStringView line) const;

    // Characters every scanner has looked at so far, for tests that count work.
    static quint64 charactersScanned();

private:
    QVFoldScanner(std::shared_ptr<const QVRegex> opener, std::shared_ptr<const QVRegex> closer);
    // The index of the element name at line[at, end) in _names, -1 when it is none.
    int nameIndex(QStringView name) const;
    // The openers from from on; only the first when first.
    QList<QVRange> scanOpeners(QStringView line, qint64 from, bool first) const;
    std::optional<QVRange> scanCloser(QStringView line) const;
    static std::optional<QVRange> regexMatch(const QVRegex& pattern, QStringView line, qint64 limit, qint64 from);

    std::shared_ptr<const QVRegex> _opener;
    std::shared_ptr<const QVRegex> _closer;
    std::vector<QString> _names;  // sorted; empty when the patterns are matched as written
};
