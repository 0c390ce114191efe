// Canonical text dump of a QVariant tree with its types, so tests compare whole trees and a
// failure shows the entire state (a bool that became an integer shows as such).
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariant>

inline QString variantDump(const QVariant& v) {
    switch (v.typeId()) {
    case QMetaType::Bool:
        return v.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QMetaType::LongLong:
        return QStringLiteral("int:") + QString::number(v.toLongLong());
    case QMetaType::ULongLong:
        return QStringLiteral("uid:") + QString::number(v.toULongLong());
    case QMetaType::Double:
        return QStringLiteral("real:") + QString::number(v.toDouble(), 'g', 17);
    case QMetaType::QString: {
        QString s = v.toString();
        s.replace(QLatin1Char('\\'), QStringLiteral("\\\\")).replace(QLatin1Char('"'), QStringLiteral("\\\""));
        s.replace(QLatin1Char('\n'), QStringLiteral("\\n")).replace(QLatin1Char('\r'), QStringLiteral("\\r"));
        return QStringLiteral("str:\"") + s + QLatin1Char('"');
    }
    case QMetaType::QByteArray:
        return QStringLiteral("data:") + QString::fromLatin1(v.toByteArray().toHex());
    case QMetaType::QDateTime: {
        const QDateTime dt = v.toDateTime();
        return QStringLiteral("date:") + dt.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")) +
               (dt.timeSpec() == Qt::UTC ? QStringLiteral("Z") : QStringLiteral("(local)"));
    }
    case QMetaType::QVariantList: {
        QStringList items;
        for (const QVariant& item : v.toList()) items.append(variantDump(item));
        return QLatin1Char('[') + items.join(QStringLiteral(", ")) + QLatin1Char(']');
    }
    case QMetaType::QVariantMap: {
        QStringList items;
        const QVariantMap map = v.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            items.append(it.key() + QStringLiteral(": ") + variantDump(it.value()));
        return QLatin1Char('{') + items.join(QStringLiteral(", ")) + QLatin1Char('}');
    }
    default:
        return v.isValid() ? QStringLiteral("<%1>").arg(QString::fromLatin1(v.typeName())) : QStringLiteral("<invalid>");
    }
}

inline std::string dumpOf(const QVariant& v) { return variantDump(v).toStdString(); }
