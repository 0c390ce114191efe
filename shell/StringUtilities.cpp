// General string helpers.
#include "shell/StringUtilities.h"

#include "platform/AppBundle.h"
#include "platform/Paths.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"

#include <QHash>
#include <QStringView>

#include <algorithm>

QString StringUtilities::tabSpaces() {
    UserDefaults& defaults = UserDefaults::standard();
    if (!defaults.boolForKey(QLatin1String(QVTabsAreSpaces))) return QStringLiteral("\t");
    const qint64 size = defaults.integerForKey(QLatin1String(QVTabSizeKey));
    // A size no editor would use is a damaged setting; keep the unit to something sensible.
    return QString(qsizetype(std::clamp<qint64>(size, 0, 64)), QLatin1Char(' '));
}

QString StringUtilities::lineBreak() {
    switch (UserDefaults::standard().integerForKey(QLatin1String(QVLineBreak))) {
    case 2: return QStringLiteral("\r\n");
    case 1: return QStringLiteral("\r");
    default: return QStringLiteral("\n");
    }
}

QString StringUtilities::tildePath() { return Paths::applicationSupport(); }

QString StringUtilities::switchLineBreaks(const QString& text, const QString&, const QString& name) {
    QString target;
    if (name.isNull()) {
        switch (UserDefaults::standard().integerForKey(QLatin1String(QVLineBreak))) {
        case 0: target = QStringLiteral("\n"); break;
        case 1: target = QStringLiteral("\r"); break;
        case 2: target = QStringLiteral("\r\n"); break;
        default: return text;
        }
    } else if (name == QLatin1String("Unix")) {
        target = QStringLiteral("\n");
    } else if (name == QLatin1String("Mac")) {
        target = QStringLiteral("\r");
    } else {
        target = QStringLiteral("\r\n");
    }
    const qsizetype n = text.size();
    // A text whose every break is already the target is not copied.
    qsizetype other = 0;
    for (; other < n; ++other) {
        const QChar c = text[other];
        if (c != QLatin1Char('\n') && c != QLatin1Char('\r')) continue;
        const qsizetype breakLength = c == QLatin1Char('\r') && other + 1 < n && text[other + 1] == QLatin1Char('\n') ? 2 : 1;
        if (QStringView(text).sliced(other, breakLength) != target) break;
        other += breakLength - 1;
    }
    if (other >= n) return text;
    QString result;
    result.reserve(text.size() + text.size() / 16);
    qsizetype runStart = 0;
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = text[i];
        if (c != QLatin1Char('\n') && c != QLatin1Char('\r')) continue;
        result.append(QStringView(text).mid(runStart, i - runStart));
        result.append(target);
        if (c == QLatin1Char('\r') && i + 1 < n && text[i + 1] == QLatin1Char('\n')) ++i;
        runStart = i + 1;
    }
    result.append(QStringView(text).mid(runStart));
    return result;
}

QString StringUtilities::camelString(const QString& text) {
    QString result;
    for (const QString& word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QChar first = word[0];
        if (first >= QLatin1Char('a') && first <= QLatin1Char('z')) {
            result.append(first.toUpper());
            result.append(QStringView(word).mid(1));
        } else {
            result.append(word);
        }
    }
    return result;
}

QVRange StringUtilities::myLineRangeForRange(const QString& text, QVRange range) {
    const qint64 length = text.size();
    const qint64 start = std::clamp<qint64>(range.location, 0, length);
    const qint64 end = std::clamp<qint64>(start + std::max<qint64>(range.length, 0), start, length);
    const auto isBreak = [](QChar c) { return c == QLatin1Char('\n') || c == QLatin1Char('\r'); };
    qint64 lineStart = start;
    while (lineStart > 0 && !isBreak(text[lineStart - 1])) --lineStart;
    qint64 lineEnd = end;
    while (lineEnd < length && !isBreak(text[lineEnd])) ++lineEnd;
    return {lineStart, lineEnd - lineStart};
}

QString StringUtilities::actualKeyWithModifier(const QString& text, quint64* modifiers) {
    quint64 flags = 0;
    qsizetype i = 0;
    for (; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == QLatin1Char('@')) flags |= CommandKeyMask;
        else if (c == QLatin1Char('~')) flags |= OptionKeyMask;
        else if (c == QLatin1Char('^')) flags |= ControlKeyMask;
        else if (c == QLatin1Char('$')) flags |= ShiftKeyMask;
        else break;
    }
    if (modifiers) *modifiers = flags;
    QString key = text.mid(i);
    key.remove(QLatin1Char('\\'));
    return key;
}

quint32 StringUtilities::keyboardModifiersForMask(quint64 mask) {
    Qt::KeyboardModifiers modifiers;
    if (mask & CommandKeyMask) modifiers |= Qt::ControlModifier;
    if (mask & ControlKeyMask) modifiers |= Qt::MetaModifier;
    if (mask & OptionKeyMask) modifiers |= Qt::AltModifier;
    if (mask & ShiftKeyMask) modifiers |= Qt::ShiftModifier;
    return quint32(modifiers.toInt());
}

QString StringUtilities::stringWithNoLeadingSpaces(const QString& text) {
    qsizetype i = 0;
    while (i < text.size() && text[i] == QLatin1Char(' ')) ++i;
    return text.mid(i);
}

QString StringUtilities::stringWithNoTrailingSpaces(const QString& text) {
    qsizetype n = text.size();
    while (n > 0 && text[n - 1] == QLatin1Char(' ')) --n;
    return text.left(n);
}

QString StringUtilities::stringWithNoEdgeSpaces(const QString& text) {
    return stringWithNoTrailingSpaces(stringWithNoLeadingSpaces(text));
}

QString StringUtilities::stringByReducingToCharactersFromSet(const QString& text,
                                                             const std::function<bool(char32_t)>& inSet) {
    QString result;
    const auto units = QStringView(text);
    for (qsizetype i = 0; i < units.size(); ++i) {
        char32_t c = units[i].unicode();
        qsizetype width = 1;
        if (QChar::isHighSurrogate(c) && i + 1 < units.size() && units[i + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(units[i], units[i + 1]);
            width = 2;
        }
        const bool space = QChar::isSpace(c) || c == 0x2028 || c == 0x2029 || c == 0x85;
        if (!space && inSet && inSet(c)) result.append(units.mid(i, width));
        i += width - 1;
    }
    return result;
}

QString StringUtilities::stringWithTrailingSlash(const QString& path) {
    if (path.isEmpty() || path.endsWith(QLatin1Char('/'))) return path;
    return path + QLatin1Char('/');
}

QString StringUtilities::shrinkToSize(const QString& text, qint64 n) {
    if (n < 0 || text.size() < n) return text;
    return text.left(qsizetype(n)) + QStringLiteral("...");
}

QString StringUtilities::stringWithoutLeadingSlash(const QString& path) {
    return path.startsWith(QLatin1Char('/')) ? path.mid(1) : path;
}

QString StringUtilities::ellipsedPath(const QString& path) {
    const QString name = path.section(QLatin1Char('/'), -1);
    const QString folder = path.section(QLatin1Char('/'), -2, -2);
    return QStringLiteral("%1 %2 %3/%4").arg(name, QString(QChar(0x2014)), QString(QChar(0x2026)), folder);
}

QString StringUtilities::stringWithSpecialCharacters(const QString& text) {
    const QString path = AppBundle::main().pathForResource(QStringLiteral("specialCharacters"),
                                                           QStringLiteral("plist"));
    if (path.isEmpty()) return text;
    return stringWithSpecialCharacters(text, PropertyList::readFile(path).toMap());
}

QString StringUtilities::stringWithSpecialCharacters(const QString& text, const QVariantMap& specialCharacters) {
    QHash<QString, QString> appearances;
    for (auto group = specialCharacters.cbegin(); group != specialCharacters.cend(); ++group) {
        if (group.key() == QLatin1String("Accents")) continue;
        for (const QVariant& entry : group.value().toList()) {
            const QVariantMap map = entry.toMap();
            const QString value = map.value(QStringLiteral("value")).toString();
            if (!value.isEmpty() && !appearances.contains(value))
                appearances.insert(value, map.value(QStringLiteral("appearance")).toString());
        }
    }
    if (appearances.isEmpty()) return text;
    QString result;
    qsizetype i = 0;
    while (i < text.size()) {
        const qsizetype amp = text.indexOf(QLatin1Char('&'), i);
        if (amp < 0) break;
        const qsizetype semi = text.indexOf(QLatin1Char(';'), amp + 1);
        if (semi < 0) break;
        result.append(QStringView(text).mid(i, amp - i));
        const QString entity = text.mid(amp, semi - amp + 1);
        const auto found = appearances.constFind(entity);
        if (found != appearances.cend()) {
            result.append(found.value());
            i = semi + 1;
        } else {
            // Not an entity of the list: keep the "&" and look for the next one after it.
            result.append(QLatin1Char('&'));
            i = amp + 1;
        }
    }
    result.append(QStringView(text).mid(i));
    return result;
}
