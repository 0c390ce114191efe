// One comment form of a keyword language: a begin string and an optional end string.
#pragma once

#include "languages/QVParser.h"

#include <QString>
#include <QVariantMap>

class QVTheme;

class QVComment {
public:
    // {"begin", "end", "id"}; no attributes until setTheme().
    explicit QVComment(const QVariantMap& plist);

    // Each of "begin", "end" and "id" that is set.
    QVariantMap plistRepresentation() const;
    // Takes its style's attributes from theme; a comment with an end adds "multi-line" = true.
    // A null theme changes nothing.
    void setTheme(const QVTheme* theme);

    const QString& begin() const { return _begin; }
    const QString& end() const { return _end; }  // null for a comment that runs to the line end
    bool hasEnd() const { return !_end.isEmpty(); }
    const QString& identifier() const { return _identifier; }
    const QVTextAttributes& attributes() const { return _attributes; }

private:
    QString _begin;
    QString _end;
    QString _identifier;
    QVTextAttributes _attributes;
};
