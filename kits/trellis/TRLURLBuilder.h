// Composes the kits' request addresses: a base, literal pieces, escaped path components and
// query parameters, turned into a URL at the end.
#pragma once

#include <QString>
#include <QUrl>
#include <QVariant>

class TRLURLBuilder {
public:
    static TRLURLBuilder URLWithBase(const QString& base);

    void appendComponent(const QString& piece);  // as given; callers bring their own "/"
    // Escaped as escapeString does, and "?", "#" and "%" besides: a piece holding them stays part
    // of the path instead of starting a query or a fragment or reading as an escape.
    void escapeAndAppendComponent(const QString& component);
    // Nothing for an invalid value; numbers are written in decimal. The value is escaped so that
    // "&", "=", "+", "#" and "%" in it stay part of the value.
    void appendValue(const QVariant& value, const QString& name);
    // Invalid (empty) when the text is not a valid address.
    QUrl URL() const;
    QString URLString() const { return _URLString; }

    // Percent-escapes what may not stand in a URL at all (spaces, controls, non-ASCII, quotes,
    // angle brackets, braces, backslash, caret, grave accent, bar); reserved characters pass.
    static QString escapeString(const QString& text);

private:
    QString _URLString;
    quint64 _queryParams = 0;
};
