// Property lists (XML and binary) to and from QVariant trees, through libplist.
//
// Mapping: dict <-> QVariantMap, array <-> QVariantList, string <-> QString, true/false <-> bool
// (never an integer), integer <-> qint64 (read as signed), real <-> double, date <-> QDateTime (UTC),
// data <-> QByteArray, uid -> quint64. Writing also accepts QStringList, int/uint/qint64/quint64,
// float, QUrl (as a string) and QColor is refused.
#pragma once

#include "platform/QVError.h"

#include <QByteArray>
#include <QString>
#include <QVariant>

enum class PlistFormat { XML = 100, Binary = 200 };

class PropertyList {
public:
    // Parses XML or binary property-list data (detected). A malformed or empty input gives an
    // invalid QVariant and, when asked, an error that says why; never a crash.
    static QVariant fromData(const QByteArray& data, QVError* error = nullptr,
                             PlistFormat* format = nullptr);
    // Reads a file; a missing or unreadable file is an error like a malformed one.
    static QVariant readFile(const QString& path, QVError* error = nullptr,
                             PlistFormat* format = nullptr);

    // Serializes a tree; an empty QByteArray and an error when a value has no plist form.
    static QByteArray toData(const QVariant& value, PlistFormat format, QVError* error = nullptr);
    // Serializes and writes atomically (see AtomicFile). Returns whether the write succeeded.
    static bool writeFile(const QVariant& value, const QString& path, PlistFormat format,
                          QVError* error = nullptr);
};
