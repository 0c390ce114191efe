// Property lists (XML and binary) to and from QVariant trees, through libplist.
//
// Mapping: dict <-> QVariantMap, array <-> QVariantList, string <-> QString, true/false <-> bool
// (never an integer), integer <-> qint64 (read as signed), real <-> double, date <-> QDateTime (UTC),
// data <-> QByteArray, uid -> quint64. Writing also accepts QVariantHash, QStringList,
// int/uint/qint64/quint64 (up to the qint64 maximum), float and QUrl (as a string); anything else
// (QColor, a null QVariant, a string holding NUL) is refused with an error.
// Dates keep milliseconds in binary lists and whole seconds in XML ones (the format's own
// precision); dates outside 1933-2068 keep whole seconds in both.
#pragma once

#include "platform/QVError.h"

#include <QByteArray>
#include <QString>
#include <QVariant>

enum class PlistFormat { XML = 100, Binary = 200 };

class PropertyList {
public:
    // Errors made here (not those of the file system, which are posixDomain() ones).
    static QString errorDomain() { return QStringLiteral("PropertyList"); }
    enum ErrorCode {
        MalformedError = 1,         // not a property list, or a damaged one
        UnsupportedValueError = 2,  // a value with no plist form (QColor, null, NUL in a string...)
        NestingTooDeepError = 3,    // more than maximumDepth levels of containers
        TooLargeError = 4,          // beyond what the format or the library can hold
    };
    // Containers nested deeper than this are refused on reading and on writing: the underlying
    // library recurses once per level and would run out of stack on hostile input.
    static constexpr int maximumDepth = 512;

    // Parses XML or binary property-list data (detected). A malformed or empty input gives an
    // invalid QVariant and, when asked, an error that says why; never a crash.
    static QVariant fromData(const QByteArray& data, QVError* error = nullptr,
                             PlistFormat* format = nullptr);
    // Reads a file; a missing or unreadable file is an error like a malformed one.
    static QVariant readFile(const QString& path, QVError* error = nullptr,
                             PlistFormat* format = nullptr);

    // Whether a value is a number: any integer or floating-point type (a boolean is not).
    static bool isNumber(const QVariant& value) { return isInteger(value) || isFloatingPoint(value); }
    static bool isInteger(const QVariant& value);
    static bool isFloatingPoint(const QVariant& value);
    // Whether a value can stand for YES or NO: a boolean, or a number as hand-written lists have it.
    static bool isFlag(const QVariant& value) { return value.typeId() == QMetaType::Bool || isNumber(value); }

    // Serializes a tree; an empty QByteArray and an error when a value has no plist form.
    static QByteArray toData(const QVariant& value, PlistFormat format, QVError* error = nullptr);
    // Serializes and writes atomically (see AtomicFile). Returns whether the write succeeded.
    static bool writeFile(const QVariant& value, const QString& path, PlistFormat format,
                          QVError* error = nullptr);
};
