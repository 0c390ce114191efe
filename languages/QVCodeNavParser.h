// The code-navigation searches of a language and the menu items they find in a text.
#pragma once

#include "languages/QVCodeNavItem.h"
#include "languages/QVCodeNavMenuItem.h"
#include "platform/QVError.h"
#include "platform/QVRange.h"

#include <QList>
#include <QString>
#include <QVariantList>

#include <memory>

class QVParser;

// Built from "codenav.plist" (an array of QVCodeNavItem entries, in menu-building order) and
// owned by the language's parser, which it refers to weakly. Main thread only.
class QVCodeNavParser {
public:
    static inline const QString FileName = QStringLiteral("codenav.plist");

    // One item per dictionary of plist, in order, for the parser's bundle; entries that are not
    // dictionaries are skipped.
    QVCodeNavParser(const QVariantList& plist, const std::shared_ptr<QVParser>& parser);

    // The menu items of every match inside range of text, grouped by search (in list order) and
    // by position within a search; each carries its match's range in text's coordinates. A
    // search with an empty template, or whose template gives an empty title for a match, yields
    // a separator there. Unusable searches and empty matches yield nothing. The caller orders
    // the items by location.
    QList<QVCodeNavMenuItem> matchesForString(const QString& text, QVRange range) const;

    const QList<QVCodeNavItem>& searches() const { return _searches; }
    void setSearches(const QList<QVCodeNavItem>& searches) { _searches = searches; }

    std::shared_ptr<QVParser> parser() const { return _parser.lock(); }

    // Each item's plistRepresentation(), in order.
    QVariantList plistRepresentation() const;
    // Writes plistRepresentation() as the binary property list "codenav.plist" into
    // contentsFolder, atomically. False, with the reason in error, when the write fails.
    bool commitToPath(const QString& contentsFolder, QVError* error = nullptr) const;

private:
    std::weak_ptr<QVParser> _parser;
    QList<QVCodeNavItem> _searches;
};
