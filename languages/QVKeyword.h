// One keyword of a keyword language: a plain word or a regular expression, with its style.
#pragma once

#include "languages/QVParser.h"

#include <QString>
#include <QVariantMap>

#include <memory>

class QVRegex;
class QVTheme;

class QVKeyword {
public:
    // A plain keyword: the word, matched whole.
    QVKeyword(const QString& identifier, const QString& keyword);
    // A pattern keyword; a pattern that does not compile leaves regex() null (it matches nothing).
    static QVKeyword withPattern(const QString& identifier, const QString& pattern);
    // {"id", "keyword"} read as a pattern keyword.
    static QVKeyword fromPlist(const QVariantMap& plist);

    // "id" when set, and "keyword" = the pattern for a pattern keyword.
    QVariantMap plistRepresentation() const;
    // The word, else the pattern.
    QString stringValue() const { return isPattern() ? _pattern : _keyword; }
    // Takes the attributes of its style from theme (with fallback along the dotted style name);
    // a null theme changes nothing.
    void setTheme(const QVTheme* theme);

    bool isPattern() const { return !_pattern.isNull(); }
    const QString& keyword() const { return _keyword; }
    const QString& pattern() const { return _pattern; }
    const std::shared_ptr<const QVRegex>& regex() const { return _regex; }
    const QString& identifier() const { return _identifier; }
    const QVTextAttributes& attributes() const { return _attributes; }

private:
    QVKeyword() = default;

    QString _keyword;  // null for a pattern keyword
    QString _pattern;  // null for a plain keyword
    std::shared_ptr<const QVRegex> _regex;
    QString _identifier;
    QVTextAttributes _attributes;
};
