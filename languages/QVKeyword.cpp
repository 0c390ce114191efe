// One keyword of a keyword language.
#include "languages/QVKeyword.h"

#include "languages/QVTheme.h"
#include "platform/QVRegex.h"

QVKeyword::QVKeyword(const QString& identifier, const QString& keyword)
    : _keyword(keyword.isNull() ? QStringLiteral("") : keyword), _identifier(identifier) {}

QVKeyword QVKeyword::withPattern(const QString& identifier, const QString& pattern) {
    QVKeyword keyword;
    keyword._pattern = pattern.isNull() ? QStringLiteral("") : pattern;
    keyword._regex = QVRegex::create(keyword._pattern);
    keyword._identifier = identifier;
    return keyword;
}

QVKeyword QVKeyword::fromPlist(const QVariantMap& plist) {
    return withPattern(plist.value(QStringLiteral("id")).toString(), plist.value(QStringLiteral("keyword")).toString());
}

QVariantMap QVKeyword::plistRepresentation() const {
    QVariantMap plist;
    if (!_identifier.isEmpty()) plist.insert(QStringLiteral("id"), _identifier);
    if (isPattern()) plist.insert(QStringLiteral("keyword"), _pattern);
    return plist;
}

void QVKeyword::setTheme(const QVTheme* theme) {
    if (theme) _attributes = theme->attributesForIdentifier(_identifier);
}
