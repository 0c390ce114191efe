#include "tools/QVBrowserRepository.h"

#include "platform/PropertyList.h"
#include "platform/SystemLog.h"
#include "shell/Defaults.h"
#include "tools/QVDesktopEntry.h"

#include <QFileInfo>

namespace {

QVariantMap entry(const QString& name, const QString& path, const QString& version) {
    return {{QStringLiteral("name"), name}, {QStringLiteral("path"), path}, {QStringLiteral("version"), version}};
}

bool containsName(const QVariantList& entries, const QString& name) {
    for (const QVariant& value : entries)
        if (value.toMap().value(QStringLiteral("name")).toString() == name) return true;
    return false;
}

}  // namespace

QVBrowserRepository& QVBrowserRepository::sharedInstance() {
    static QVBrowserRepository shared;
    return shared;
}

QString QVBrowserRepository::sourcePath() const {
    return Defaults::pathForResource(QStringLiteral("browsers"), QStringLiteral("plist"), QStringLiteral("data"));
}

void QVBrowserRepository::loadFromConfigurationFile(const QString& path) {
    for (const QVariant& value : browsersFromConfigFile(path))
        if (auto browser = QVBrowser::fromPlist(value.toMap())) mutableOperations().append(browser);
}

bool QVBrowserRepository::reloadList(bool force) {
    std::lock_guard lock(_lock);
    return reload(force);
}

QList<std::shared_ptr<QVBrowser>> QVBrowserRepository::browsers() {
    std::lock_guard lock(_lock);
    QList<std::shared_ptr<QVBrowser>> list;
    for (const auto& operation : operations())
        if (auto browser = std::dynamic_pointer_cast<QVBrowser>(operation)) list.append(browser);
    return list;
}

QList<MenuItemRep> QVBrowserRepository::browserMenuItems() {
    std::lock_guard lock(_lock);
    return menuItemRepresentations();
}

std::shared_ptr<QVBrowser> QVBrowserRepository::browserWithName(const QString& name) {
    reloadList(false);
    for (const auto& browser : browsers())
        if (browser->browserName() == name) return browser;
    return nullptr;
}

std::shared_ptr<QVBrowser> QVBrowserRepository::firstBrowser() {
    const auto list = browsers();
    return list.isEmpty() ? nullptr : list.first();
}

QVariantList QVBrowserRepository::browsersFromConfigFile(const QString& path) {
    QVariantList entries;
    if (!path.isEmpty() && QFileInfo::exists(path)) {
        QVError error;
        const QVariant list = PropertyList::readFile(path, &error);
        if (list.typeId() == QMetaType::QVariantList) {
            for (const QVariant& value : list.toList())
                if (value.typeId() == QMetaType::QVariantMap) entries.append(value);
                else SystemLog::warning(QStringLiteral("Skipped an entry of the browser list %1 that is no dictionary").arg(path));
        } else {
            SystemLog::warning(QStringLiteral("Skipped the browser list %1: %2")
                                   .arg(path, error ? error.localizedDescription() : QStringLiteral("it holds no array")));
        }
    }
    if (entries.isEmpty()) entries = defaultBrowsers();
    if (!containsName(entries, QVBrowser::BuiltInName)) entries.append(entry(QVBrowser::BuiltInName, {}, {}));
    if (!containsName(entries, QVBrowser::AllName)) entries.append(entry(QVBrowser::AllName, QVBrowser::AllName, {}));
    return entries;
}

QVariantList QVBrowserRepository::defaultBrowsers() {
    const QString http = QStringLiteral("x-scheme-handler/http");
    const QList<QVDesktopEntry> handlers = QVDesktopEntry::entriesHandling(http);
    // The places of the preferred browsers: the desktop's default first, Firefox second.
    QString defaultId;
    for (const QString& id : QVDesktopEntry::defaultIds(http)) {
        if (std::any_of(handlers.begin(), handlers.end(), [&](const QVDesktopEntry& e) { return e.id == id; })) {
            defaultId = id;
            break;
        }
    }
    auto preferredIndex = [&](const QVDesktopEntry& e) -> int {
        if (!defaultId.isEmpty() && e.id == defaultId) return 0;
        if (e.id.startsWith(QLatin1String("firefox"), Qt::CaseInsensitive) ||
            e.id.contains(QLatin1String(".firefox"), Qt::CaseInsensitive))
            return 1;
        return -1;
    };
    QVariantList browsers;
    for (const QVDesktopEntry& handler : handlers) {
        const QVariantMap found = entry(handler.name, handler.path, QStringLiteral("??"));
        const int index = preferredIndex(handler);
        if (index >= 0) browsers.insert(std::min<qsizetype>(index, browsers.size()), found);
        else browsers.append(found);
    }
    return browsers;
}
