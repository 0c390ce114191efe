// One code-navigation search of a language: a pattern, the template that titles its matches,
// an icon name and bold/italic flags.
#pragma once

#include "shell/QVSearch.h"

#include <QFont>
#include <QImage>
#include <QString>
#include <QVariantMap>

#include <memory>

class QVBundle;

// An entry of "codenav.plist": {"pattern": expression (matched ignoring case), "display":
// template of the search engine ("$1" inserts capture 1; an empty template makes every match a
// separator), "icon": image name, "bold", "italic": booleans}.
//
// Patterns see the searched text as one subject: "^" and "$" match only at its ends unless the
// pattern turns on multi-line mode with "(?m)".
//
// A value: copies share the bundle and the compiled pattern. The loaded icon is kept in the item
// and in one process-wide cache by icon name; icons and fonts are made on the main thread only.
class QVCodeNavItem {
public:
    static inline const QString PatternKey = QStringLiteral("pattern");
    static inline const QString DisplayKey = QStringLiteral("display");
    static inline const QString IconKey = QStringLiteral("icon");
    static inline const QString BoldKey = QStringLiteral("bold");
    static inline const QString ItalicKey = QStringLiteral("italic");

    // An empty search (no pattern, no template, no icon, plain font) of the bundle.
    explicit QVCodeNavItem(std::weak_ptr<QVBundle> bundle);
    // Reads one entry; values of the wrong type count as absent.
    QVCodeNavItem(const QVariantMap& plist, std::weak_ptr<QVBundle> bundle);

    // The pattern as given (also one that does not compile, so that it is saved back as typed);
    // empty when none.
    const QString& searchExpression() const { return _pattern; }
    void setSearchExpression(const QString& pattern);
    // The display template; empty when none.
    QString menuTitle() const { return _search.replaceString(); }
    void setMenuTitle(const QString& title) { _search.setReplaceString(title); }
    const QString& iconName() const { return _iconName; }
    // A different name forgets the loaded icon.
    void setIconName(const QString& name);
    bool isBold() const { return _bold; }
    void setIsBold(bool bold) { _bold = bold; }
    bool isItalic() const { return _italic; }
    void setIsItalic(bool italic) { _italic = italic; }

    const QVSearch& search() const { return _search; }
    // Whether the search can find anything: an empty pattern (or one that does not compile)
    // makes the entry unusable rather than a match at every position.
    bool isUsable() const { return !_pattern.isEmpty() && _search.isRegularExpression(); }
    // Every match of the item is a separator.
    bool isSeparator() const { return menuTitle().isEmpty(); }

    // The bundle's image of that name, else the desktop theme's icon of that name; scaled to
    // 10 by 10 when it is larger either way. Null when neither exists (nothing is cached then).
    QImage icon() const;
    // The item titles' font: the menu font at the small system size, bold or italic as set.
    QFont titleFont() const;
    // Titles of 71 characters or more become their first 35 characters, U+2026 and their last
    // 35 characters.
    static QString truncatedTitleForTitle(const QString& title);

    // {"pattern", "display", "bold" and "italic" only when set, "icon" only when named}.
    QVariantMap plistRepresentation() const;

    std::shared_ptr<QVBundle> bundle() const { return _bundle.lock(); }

    // Longest title left whole, and the length of each end kept of a longer one.
    static constexpr qsizetype MaximumTitleLength = 70;
    static constexpr qsizetype TitleEndLength = 35;
    // Icons larger than this (either way) are scaled down to it.
    static constexpr int IconSize = 10;

private:
    std::weak_ptr<QVBundle> _bundle;
    QString _pattern;
    QVSearch _search;
    QString _iconName;
    bool _bold = false;
    bool _italic = false;
    mutable QImage _icon;
};
