#include "kits/tidings/TDGJson.h"

#include <QLocale>

#include <cmath>

void TDGJsonObject::set(const QString& key, const QVariant& value) {
    for (auto& entry : _entries)
        if (entry.first == key) {
            entry.second = value;
            return;
        }
    _entries.append({key, value});
}

void TDGJsonObject::remove(const QString& key) {
    _entries.removeIf([&](const QPair<QString, QVariant>& e) { return e.first == key; });
}

bool TDGJsonObject::contains(const QString& key) const {
    for (const auto& e : _entries)
        if (e.first == key) return true;
    return false;
}

QVariant TDGJsonObject::value(const QString& key) const {
    for (const auto& e : _entries)
        if (e.first == key) return e.second;
    return {};
}

namespace TDGJson {

QByteArray quote(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    QByteArray out;
    out.reserve(utf8.size() + 2);
    out += '"';
    for (const char c : utf8) {
        const unsigned char u = static_cast<unsigned char>(c);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
            if (u < 0x20 || u == 0x7f) {
                char buffer[8];
                std::snprintf(buffer, sizeof buffer, "\\u%04x", u);
                out += buffer;
            } else {
                out += c;
            }
        }
    }
    out += '"';
    return out;
}

static bool writeValue(const QVariant& v, QByteArray& out) {
    switch (v.typeId()) {
    case QMetaType::QString: out += quote(v.toString()); return true;
    case QMetaType::Bool: out += v.toBool() ? "true" : "false"; return true;
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
        out += QByteArray::number(v.toLongLong());
        return true;
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
    case QMetaType::UShort:
        out += QByteArray::number(v.toULongLong());
        return true;
    case QMetaType::Double:
    case QMetaType::Float: {
        const double d = v.toDouble();
        if (!std::isfinite(d)) return false;
        out += QLocale::c().toString(d, 'g', QLocale::FloatingPointShortest).toLatin1();
        return true;
    }
    case QMetaType::QVariantList: {
        out += '[';
        bool first = true;
        for (const QVariant& item : v.toList()) {
            if (!first) out += ',';
            first = false;
            if (!writeValue(item, out)) return false;
        }
        out += ']';
        return true;
    }
    case QMetaType::QVariantMap: {
        const QVariantMap map = v.toMap();
        out += '{';
        bool first = true;
        for (auto it = map.begin(); it != map.end(); ++it) {
            if (!first) out += ',';
            first = false;
            out += quote(it.key());
            out += ':';
            if (!writeValue(it.value(), out)) return false;
        }
        out += '}';
        return true;
    }
    default:
        break;
    }
    if (v.canConvert<TDGJsonObject>() && v.metaType() == QMetaType::fromType<TDGJsonObject>()) {
        out += '{';
        bool first = true;
        // The object is held by name: entries() refers into it, and a temporary in the range
        // would be gone before the first entry is read.
        const TDGJsonObject object = v.value<TDGJsonObject>();
        for (const auto& e : object.entries()) {
            if (!first) out += ',';
            first = false;
            out += quote(e.first);
            out += ':';
            if (!writeValue(e.second, out)) return false;
        }
        out += '}';
        return true;
    }
    return false;
}

QByteArray write(const QVariant& value, bool* ok) {
    QByteArray out;
    const bool written = writeValue(value, out);
    if (ok) *ok = written;
    return written ? out : QByteArray();
}

}  // namespace TDGJson
