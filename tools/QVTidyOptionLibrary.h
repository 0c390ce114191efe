// The library of Tidy options the operation editor offers: every option the installed tidy
// knows, by category, with its kind of value, its allowed values, its default and what it does.
// Read once from the program itself ("tidy -help-config" for the options, their kinds and
// values; "tidy -xml-config" for categories, defaults and descriptions), or from a
// "ValidTidyOperations.plist" a user puts in the support folder.
//
// A definition is a dictionary: "flag" (the option name), "action" (what it does), "default"
// (the value a new option gets: a boolean for on/off options, else text), "type" ("Enum": one
// of "values"; "Boolean"; "Combo": one of "values" or free text; "String": free text) and
// "values".
#pragma once

#include "platform/QVError.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>

class QVTidyOptionLibrary {
public:
    // The library the editor uses, loaded on first use by whichever thread asks first (others
    // wait for it). Without a list and without tidy it is empty and error() says why.
    static const QVTidyOptionLibrary& shared();

    // From the program at path (empty: the tidy a run would use).
    static QVTidyOptionLibrary fromProgram(const QString& program = {});
    // From the two outputs of tidy; a missing or unreadable XML output leaves every option in
    // "Miscellaneous", without description, with a default by its kind.
    static QVTidyOptionLibrary fromTidyOutput(const QString& helpConfig, const QString& xmlConfig = {});
    // From a property list: category name to an array of definitions. Entries that are not
    // dictionaries with a "flag" are skipped.
    static QVTidyOptionLibrary fromPlist(const QVariant& plist);

    QStringList categories() const { return _categories; }
    // The definitions of one category in the list's order; an empty name: every definition of
    // every category, sorted by flag without regard to case.
    QList<QVariantMap> definitions(const QString& category = {}) const;
    // The definition of an option (none: an empty map).
    QVariantMap definitionForFlag(const QString& flag) const { return _byFlag.value(flag); }
    qsizetype count() const { return _byFlag.size(); }
    QVError error() const { return _error; }

    // The definitions whose flag contains text, ignoring case (empty text keeps all).
    static QList<QVariantMap> filtered(const QList<QVariantMap>& definitions, const QString& text);

private:
    void add(const QString& category, const QVariantMap& definition);

    QStringList _categories;
    QHash<QString, QList<QVariantMap>> _byCategory;
    QHash<QString, QVariantMap> _byFlag;
    QVError _error;
};
