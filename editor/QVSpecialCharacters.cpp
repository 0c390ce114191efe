// The character-entity table from the "specialCharacters" resource.
#include "editor/QVSpecialCharacters.h"

#include "platform/AppBundle.h"
#include "platform/PropertyList.h"

#include <QSet>
#include <QVariant>

const QVSpecialCharacters& QVSpecialCharacters::shared() {
    static const QVSpecialCharacters table =
        fromFile(AppBundle::main().pathForResource(QStringLiteral("specialCharacters"), QStringLiteral("plist")));
    return table;
}

QVSpecialCharacters QVSpecialCharacters::fromFile(const QString& path) {
    QVSpecialCharacters result;
    const QVariantMap groups = PropertyList::readFile(path).toMap();
    QSet<QString> seen;
    for (auto it = groups.constBegin(); it != groups.constEnd(); ++it) {
        Group group{it.key(), {}};
        for (const QVariant& item : it.value().toList()) {
            const QVariantMap entry = item.toMap();
            const QString appearance = entry.value(QStringLiteral("appearance")).toString();
            const QString value = entry.value(QStringLiteral("value")).toString();
            if (appearance.isEmpty() || value.isEmpty()) continue;
            group.entries.append({appearance, value});
            const bool ascii = std::all_of(appearance.begin(), appearance.end(), [](QChar c) { return c.unicode() < 0x80; });
            if (it.key() == QStringLiteral("Accents") || ascii || seen.contains(appearance)) continue;
            seen.insert(appearance);
            result._table.append({appearance, value});
            result._entities.insert(appearance, value);
        }
        result._groups.append(std::move(group));
    }
    return result;
}

QString QVSpecialCharacters::entityFor(const QString& appearance) const {
    return _entities.value(appearance);
}
