#include "kits/metricline/MLCJSONDataSerializer.h"

#include "kits/metricline/MLCSerializedJSONData.h"

#include <QDateTime>
#include <QLocale>
#include <QStringList>
#include <QUrl>

#include <cmath>
#include <cstring>

namespace {

// For each ASCII code: 0 passes as it is, 'u' needs \u00XX, any other letter is its short escape.
constexpr auto asciiEscapes = [] {
    struct Table {
        char code[128] = {};
    } t;
    for (int c = 0; c < 0x20; ++c) t.code[c] = 'u';
    t.code[int('\b')] = 'b';
    t.code[int('\f')] = 'f';
    t.code[int('\n')] = 'n';
    t.code[int('\r')] = 'r';
    t.code[int('\t')] = 't';
    t.code[int('"')] = '"';
    t.code[int('\\')] = '\\';
    t.code[int('/')] = '/';
    return t;
}();

bool isNumberType(int type) {
    switch (type) {
    case QMetaType::Int: case QMetaType::UInt: case QMetaType::LongLong: case QMetaType::ULongLong:
    case QMetaType::Long: case QMetaType::ULong: case QMetaType::Short: case QMetaType::UShort:
    case QMetaType::Char: case QMetaType::SChar: case QMetaType::UChar: case QMetaType::Double:
    case QMetaType::Float:
        return true;
    default:
        return false;
    }
}

QVError depthError() {
    return QVError::make(MLCJSONDataSerializer::errorDomain(), -1,
                         QStringLiteral("Cannot serialize data nested deeper than %1 levels.").arg(MLCJSONDataSerializer::maximumDepth));
}

}  // namespace

void MLCJSONDataSerializer::appendString(QByteArray& out, const QChar* text, qsizetype length) {
    static const char hex[] = "0123456789abcdef";
    const char16_t* s = reinterpret_cast<const char16_t*>(text);
    const char16_t* end = s + length;
    qsizetype used = out.size();
    out.resize(used + 1);
    out.data()[used++] = '"';
    while (s < end) {
        // Room for a block at its worst (six bytes a unit for \u00XX), trimmed after the block.
        const qsizetype block = std::min<qsizetype>(end - s, 4096);
        out.resize(used + block * 6 + 1);
        char* w = out.data() + used;
        const char16_t* blockEnd = s + block;
        while (s < blockEnd) {
            const char16_t c = *s++;
            if (c < 0x80) {
                const char code = asciiEscapes.code[c];
                if (!code) {
                    *w++ = char(c);
                } else if (code == 'u') {
                    std::memcpy(w, "\\u00", 4);
                    w[4] = hex[c >> 4];
                    w[5] = hex[c & 15];
                    w += 6;
                } else {
                    w[0] = '\\';
                    w[1] = code;
                    w += 2;
                }
            } else if (c < 0x800) {
                *w++ = char(0xC0 | (c >> 6));
                *w++ = char(0x80 | (c & 0x3F));
            } else if (c >= 0xD800 && c <= 0xDFFF) {
                char32_t point = 0xFFFD;
                // A high surrogate takes its low partner even across the block's end.
                if (c < 0xDC00 && s < end && *s >= 0xDC00 && *s <= 0xDFFF) {
                    point = 0x10000 + ((char32_t(c) - 0xD800) << 10) + (char32_t(*s) - 0xDC00);
                    ++s;
                    if (s > blockEnd) blockEnd = s;
                }
                if (point == 0xFFFD) {
                    std::memcpy(w, "\xEF\xBF\xBD", 3);
                    w += 3;
                } else {
                    *w++ = char(0xF0 | (point >> 18));
                    *w++ = char(0x80 | ((point >> 12) & 0x3F));
                    *w++ = char(0x80 | ((point >> 6) & 0x3F));
                    *w++ = char(0x80 | (point & 0x3F));
                }
            } else {
                *w++ = char(0xE0 | (c >> 12));
                *w++ = char(0x80 | ((c >> 6) & 0x3F));
                *w++ = char(0x80 | (c & 0x3F));
            }
        }
        used = w - out.data();
    }
    out.resize(used + 1);
    out.data()[used] = '"';
}

void MLCJSONDataSerializer::appendNumber(QByteArray& out, const QVariant& number) {
    switch (number.typeId()) {
    case QMetaType::Bool:
        out.append(number.toBool() ? "true" : "false");
        return;
    case QMetaType::Double: case QMetaType::Float: {
        const double value = number.toDouble();
        if (!std::isfinite(value)) {
            out.append("null");
            return;
        }
        // Whole values print without an exponent up to 2^53, like their integers.
        if (value == std::trunc(value) && std::fabs(value) < 9007199254740992.0) {
            out.append(QByteArray::number(qint64(value)));
            return;
        }
        out.append(QByteArray::number(value, 'g', QLocale::FloatingPointShortest));
        return;
    }
    case QMetaType::ULongLong: case QMetaType::ULong: case QMetaType::UInt: case QMetaType::UShort: case QMetaType::UChar:
        out.append(QByteArray::number(number.toULongLong()));
        return;
    default:
        out.append(QByteArray::number(number.toLongLong()));
        return;
    }
}

bool MLCJSONDataSerializer::append(QByteArray& out, const QVariant& value, int depth) {
    const int type = value.typeId();
    switch (type) {
    case QMetaType::UnknownType: case QMetaType::Nullptr: case QMetaType::Void:
        out.append("null");
        return true;
    case QMetaType::Bool:
        appendNumber(out, value);
        return true;
    case QMetaType::QString: {
        const QString& text = *static_cast<const QString*>(value.constData());
        appendString(out, text.constData(), text.size());
        return true;
    }
    case QMetaType::QByteArray: {
        const QString text = QString::fromUtf8(*static_cast<const QByteArray*>(value.constData()));
        appendString(out, text.constData(), text.size());
        return true;
    }
    case QMetaType::QVariantList: case QMetaType::QStringList: {
        if (depth >= maximumDepth) return false;
        out.append('[');
        bool first = true;
        if (type == QMetaType::QStringList) {
            for (const QString& item : *static_cast<const QStringList*>(value.constData())) {
                if (!first) out.append(',');
                first = false;
                appendString(out, item.constData(), item.size());
            }
        } else {
            for (const QVariant& item : *static_cast<const QVariantList*>(value.constData())) {
                if (!first) out.append(',');
                first = false;
                if (!append(out, item, depth + 1)) return false;
            }
        }
        out.append(']');
        return true;
    }
    case QMetaType::QVariantMap: case QMetaType::QVariantHash: {
        if (depth >= maximumDepth) return false;
        out.append('{');
        bool first = true;
        auto member = [&](const QString& key, const QVariant& item) {
            if (!first) out.append(',');
            first = false;
            appendString(out, key.constData(), key.size());
            out.append(':');
            return append(out, item, depth + 1);
        };
        if (type == QMetaType::QVariantMap) {
            const auto& map = *static_cast<const QVariantMap*>(value.constData());
            for (auto it = map.cbegin(); it != map.cend(); ++it)
                if (!member(it.key(), it.value())) return false;
        } else {
            const auto& hash = *static_cast<const QVariantHash*>(value.constData());
            for (auto it = hash.cbegin(); it != hash.cend(); ++it)
                if (!member(it.key(), it.value())) return false;
        }
        out.append('}');
        return true;
    }
    default:
        break;
    }
    if (isNumberType(type)) {
        appendNumber(out, value);
        return true;
    }
    if (type == QMetaType::fromType<MLCSerializedJSONData>().id()) {
        out.append(static_cast<const MLCSerializedJSONData*>(value.constData())->data());
        return true;
    }
    // Anything else as a string of its text; types without one by their name.
    QString text;
    if (type == QMetaType::QDateTime) text = value.toDateTime().toUTC().toString(Qt::ISODate);
    else if (type == QMetaType::QUrl) text = value.toUrl().toString(QUrl::FullyEncoded);
    else if (value.canConvert<QString>()) text = value.toString();
    else text = QString::fromLatin1(value.typeName());
    appendString(out, text.constData(), text.size());
    return true;
}

std::optional<QByteArray> MLCJSONDataSerializer::serializeObject(const QVariant& object, QVError* error) const {
    QByteArray out;
    if (append(out, object)) return out;
    if (error) *error = depthError();
    return std::nullopt;
}

std::optional<QByteArray> MLCJSONDataSerializer::serializeArray(const QVariantList& array, QVError* error) const {
    return serializeObject(QVariant(array), error);
}

std::optional<QByteArray> MLCJSONDataSerializer::serializeDictionary(const QVariantMap& dictionary, QVError* error) const {
    return serializeObject(QVariant(dictionary), error);
}

QByteArray MLCJSONDataSerializer::serializeString(const QString& string) const {
    QByteArray out;
    appendString(out, string.constData(), string.size());
    return out;
}

QByteArray MLCJSONDataSerializer::serializeNumber(const QVariant& number) const {
    QByteArray out;
    appendNumber(out, number);
    return out;
}
