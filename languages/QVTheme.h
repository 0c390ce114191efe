// One colour scheme of the editor: five global colours and styles keyed by dotted identifiers,
// looked up with fallback to their parents, stored as one property list per theme.
#pragma once

#include "platform/QVError.h"

#include <QColor>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

#include <memory>

// A theme file is an XML property list: "id", "format-title", "format-version" ("1.0"),
// "global-settings" ({"background", "foreground", "insertion-point", "invisibles", "selection"}:
// colour strings "#rrggbb[aa]") and "styles" ([{"id", "foreground", "background"}]).
// A style's attributes hold QVTextStorage::ForegroundColorAttribute and/or
// BackgroundColorAttribute as QColor.
class QVTheme {
public:
    // A new theme: title "New Theme", white background, black text, caret and invisibles, the
    // palette's highlight as selection, no styles; modified.
    QVTheme();
    // Read from a theme file's dictionary; colours that do not parse are left out, as are
    // styles without "id" or without any colour. Not modified.
    explicit QVTheme(const QVariantMap& plist);

    // A new theme read from this one's plistRepresentation() with no identifier (so it gets a
    // fresh one); not modified.
    std::shared_ptr<QVTheme> copy() const;

    void loadStylesFromPlist(const QVariantList& styles);
    QVariantMap plistRepresentation() const;
    // {"id", "foreground", "background"} of one style; empty for an identifier not defined.
    QVariantMap stylePlistForIdentifier(const QString& identifier) const;

    // When modified, writes plistRepresentation() atomically as an XML property list to
    // "Themes/<identifier>.plist" in the application-support folder and clears modified only
    // when the write succeeded; when not modified, succeeds without writing. An identifier
    // that would leave the folder (holding "/", or empty) is refused.
    bool commit(QVError* error = nullptr);

    bool modified() const { return _modified; }
    const QString& title() const { return _title; }
    void setTitle(const QString& title) { _title = title; }
    // Made (a new UUID) and kept on the first request when none is set.
    QString identifier() const;
    void setIdentifier(const QString& identifier) { _identifier = identifier; }

    // The direct setters leave modified alone; setValue() is the editing path.
    QColor backgroundColor() const { return _backgroundColor; }
    QColor textColor() const { return _textColor; }
    QColor insertionPointColor() const { return _insertionPointColor; }
    QColor invisiblesColor() const { return _invisiblesColor; }
    QColor selectionColor() const { return _selectionColor; }
    void setBackgroundColor(const QColor& color) { _backgroundColor = color; }
    void setTextColor(const QColor& color) { _textColor = color; }
    void setInsertionPointColor(const QColor& color) { _insertionPointColor = color; }
    void setInvisiblesColor(const QColor& color) { _invisiblesColor = color; }
    void setSelectionColor(const QColor& color) { _selectionColor = color; }

    // Sets a property by its name ("title", "identifier", "backgroundColor", "textColor",
    // "insertionPointColor", "invisiblesColor", "selectionColor") and marks the theme modified.
    // False, changing nothing, for another key or a value of the wrong type.
    bool setValue(const QVariant& value, const QString& key);

    // Orders by title ignoring case (negative, 0, positive).
    int compareTitle(const QVTheme& other) const;

    // The attributes of identifier, else of its parents ("comment.block.html", then
    // "comment.block", then "comment"); empty when none is defined.
    QVariantMap attributesForIdentifier(const QString& identifier) const;
    // Whether identifier itself is defined (no fallback).
    bool containsIdentifier(const QString& identifier) const { return _styles.contains(identifier); }
    QStringList styleIdentifiers() const { return _styles.keys(); }
    const QMap<QString, QVariantMap>& styles() const { return _styles; }

    // Stores attributes under a new, non-empty identifier and marks modified; nothing when
    // the identifier is defined already.
    void addStyle(const QString& identifier, const QVariantMap& attributes);
    // Moves the attributes of oldIdentifier (with fallback) to newIdentifier (dropped when
    // that is empty) and marks modified.
    void changeIdentifier(const QString& oldIdentifier, const QString& newIdentifier);
    // Stores attributes under a non-empty identifier and marks modified.
    void changeStyle(const QString& identifier, const QVariantMap& attributes);
    void removeStyle(const QString& identifier);

private:
    QString _title;
    mutable QString _identifier;
    bool _modified = false;
    QColor _backgroundColor;
    QColor _textColor;
    QColor _insertionPointColor;
    QColor _invisiblesColor;
    QColor _selectionColor;
    QMap<QString, QVariantMap> _styles;
};
