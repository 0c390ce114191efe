// Compact UTF-8 JSON from QVariant trees, without any whitespace: the analytics client writes its
// batches with it before they are Base64-encoded for the wire.
//
// Values: an invalid QVariant or nullptr is null; bool is true/false (never a number); integers
// are their digits; floating-point numbers their shortest round-trip text, NaN and the infinities
// null (JSON has no spelling for them); QString and QByteArray (read as UTF-8) are strings;
// QVariantList, QStringList are arrays; QVariantMap, QVariantHash are objects;
// MLCSerializedJSONData is copied as it is; anything else is written as a string of its text.
// Strings escape the quote, the backslash, "/" and every control character below U+0020
// (\b \f \n \r \t, else \u00XX); other characters pass as UTF-8, an unpaired surrogate as U+FFFD,
// so the output is always valid UTF-8 and valid JSON.
#pragma once

#include "platform/QVError.h"

#include <QByteArray>
#include <QVariant>

#include <optional>

class MLCJSONDataSerializer {
public:
    // Containers nested deeper than this are refused: each level is a recursion.
    static constexpr int maximumDepth = 512;
    static QString errorDomain() { return QStringLiteral("MetriclineLib"); }

    // The JSON of the value, or nothing (and error, when given) when it nests too deep.
    std::optional<QByteArray> serializeObject(const QVariant& object, QVError* error = nullptr) const;
    std::optional<QByteArray> serializeArray(const QVariantList& array, QVError* error = nullptr) const;
    std::optional<QByteArray> serializeDictionary(const QVariantMap& dictionary, QVError* error = nullptr) const;
    QByteArray serializeString(const QString& string) const;
    QByteArray serializeNumber(const QVariant& number) const;

    // Appends the JSON of value to out; false when it nests deeper than maximumDepth.
    static bool append(QByteArray& out, const QVariant& value, int depth = 0);
    static void appendString(QByteArray& out, const QChar* text, qsizetype length);
    static void appendNumber(QByteArray& out, const QVariant& number);
};
