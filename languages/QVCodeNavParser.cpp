// The code-navigation searches of a language and the menu items they find.
#include "languages/QVCodeNavParser.h"

#include "languages/QVParser.h"
#include "platform/PropertyList.h"
#include "platform/SystemLog.h"
#include "shell/Defaults.h"

#include <QDir>

QVCodeNavParser::QVCodeNavParser(const QVariantList& plist, const std::shared_ptr<QVParser>& parser)
    : _parser(parser) {
    const std::weak_ptr<QVBundle> bundle = parser ? parser->bundle() : std::shared_ptr<QVBundle>();
    for (const QVariant& entry : plist)
        if (entry.typeId() == QMetaType::QVariantMap) _searches.append(QVCodeNavItem(entry.toMap(), bundle));
}

QList<QVCodeNavMenuItem> QVCodeNavParser::matchesForString(const QString& text, QVRange range) const {
    QList<QVCodeNavMenuItem> items;
    if (range.isNotFound() || range.location < 0 || range.location > text.size() || range.length <= 0)
        return items;
    const qint64 end = std::min<qint64>(range.end(), text.size());
    const bool whole = range.location == 0 && end == text.size();
    const QString searched = whole ? text : text.mid(range.location, end - range.location);

    for (const QVCodeNavItem& item : _searches) {
        if (!item.isUsable()) continue;
        const QVSearch& search = item.search();
        const bool separator = item.isSeparator();
        // Made once per search, and only for searches that title their matches.
        QFont font;
        QImage icon;
        if (!separator) {
            font = item.titleFont();
            icon = item.icon();
        }
        QVError error;
        const QList<QVSearchResult> found = search.findAllForString(searched, false, &error);
        // A pattern too complex for the text gives the items found before it; said once.
        if (error)
            SystemLog::warningOnce(QStringLiteral("Code navigation skips the rest of a text the pattern \"%1\" is too "
                                                  "complex for.").arg(search.searchString()));
        for (const QVSearchResult& result : found) {
            const QVRange match = result.range();
            // A pattern that matches nothing at all would otherwise flood the menu with one
            // entry per character.
            if (match.isNotFound() || match.length <= 0) continue;
            const QVRange place(match.location + range.location, match.length);
            if (separator) {
                items.append(QVCodeNavMenuItem::separator(place));
                continue;
            }
            const QString title = QVCodeNavItem::truncatedTitleForTitle(
                search.replacementForString(searched.mid(match.location, match.length)));
            items.append(title.isEmpty() ? QVCodeNavMenuItem::separator(place)
                                         : QVCodeNavMenuItem::item(title, font, icon, place));
        }
    }
    return items;
}

QVariantList QVCodeNavParser::plistRepresentation() const {
    QVariantList plist;
    plist.reserve(_searches.size());
    for (const QVCodeNavItem& item : _searches) plist.append(item.plistRepresentation());
    return plist;
}

bool QVCodeNavParser::commitToPath(const QString& contentsFolder, QVError* error) const {
    return Defaults::writePlist(plistRepresentation(), QDir(contentsFolder).filePath(FileName),
                                static_cast<int>(PlistFormat::Binary), error);
}
