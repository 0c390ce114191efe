// One comment form of a keyword language.
#include "languages/QVComment.h"

#include "languages/QVTheme.h"
#include "platform/QVTextStorage.h"

namespace {
QString stringValue(const QVariantMap& plist, const char* key) {
    const QVariant value = plist.value(QLatin1String(key));
    return value.metaType() == QMetaType::fromType<QString>() ? value.toString() : QString();
}
}  // namespace

QVComment::QVComment(const QVariantMap& plist)
    : _begin(stringValue(plist, "begin")), _end(stringValue(plist, "end")), _identifier(stringValue(plist, "id")) {
    // A comment with an end may run over lines; the editor must know that even before (or
    // without) a colour for it, or re-colouring one line would cut the comment short.
    if (hasEnd()) _attributes.insert(QVTextStorage::MultiLineAttribute, true);
}

QVariantMap QVComment::plistRepresentation() const {
    QVariantMap plist;
    if (!_begin.isNull()) plist.insert(QStringLiteral("begin"), _begin);
    if (!_end.isNull()) plist.insert(QStringLiteral("end"), _end);
    if (!_identifier.isNull()) plist.insert(QStringLiteral("id"), _identifier);
    return plist;
}

void QVComment::setTheme(const QVTheme* theme) {
    if (!theme) return;
    _attributes = theme->attributesForIdentifier(_identifier);
    if (hasEnd()) _attributes.insert(QVTextStorage::MultiLineAttribute, true);
}
