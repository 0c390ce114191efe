#include "shell/QVStartupItems.h"

#include "platform/AppBundle.h"
#include "platform/MainQueue.h"
#include "platform/PropertyList.h"
#include "platform/SystemLog.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"
#include "shell/MenuConstruction.h"
#include "shell/QVMainMenu.h"
#include "shell/QVNoTextNotice.h"

#include <QFileInfo>
#include <QAction>
#include <QHash>
#include <QMenu>
#include <QMutex>

#include <algorithm>

QVStartupItem::QVStartupItem(const QVariantMap& plist)
    : _title(QVLocalized(plist.value(QStringLiteral("title")).toString())),
      _identifier(plist.value(QStringLiteral("identifier")).toString()) {}

QVFileExistsCheckPane::QVFileExistsCheckPane(const QVariantMap& plist, Client client)
    : QVStartupPane(plist), _client(std::move(client)) {}

bool QVFileExistsCheckPane::needsToRun(const Client& client) {
    UserDefaults& defaults = UserDefaults::standard();
    if (defaults.objectForKey(client.userDefault).isValid()) return false;
    for (const QString& path : client.searchPaths) {
        if (!path.isEmpty() && QFileInfo::exists(path)) {
            defaults.setString(path, client.userDefault);
            return false;
        }
    }
    return true;
}

void QVFileExistsCheckPane::commit() {
    if (!_path.isEmpty() && QFileInfo(_path).isFile()) UserDefaults::standard().setString(_path, _client.userDefault);
}

QVFileExistsCheckPane::Client QVFileExistsCheckPane::ftp() {
    return {QStringLiteral("FTP"), {QStringLiteral("/usr/bin/ftp"), QStringLiteral("/usr/local/bin/ftp")}, QString::fromLatin1(QVFTPExecPath)};
}

QVFileExistsCheckPane::Client QVFileExistsCheckPane::sftp() {
    return {QStringLiteral("SFTP"), {QStringLiteral("/usr/bin/sftp"), QStringLiteral("/usr/local/bin/sftp")}, QString::fromLatin1(QVSFTPExecPath)};
}

QVFileExistsCheckPane::Client QVFileExistsCheckPane::webDAV() {
    return {QStringLiteral("cadaver"),
            {QStringLiteral("/usr/bin/cadaver"), QStringLiteral("/usr/local/bin/cadaver"),
             AppBundle::main().pathForAuxiliaryExecutable(QStringLiteral("cadaver"))},
            QString::fromLatin1(QVWebDAVExecPath)};
}

QVFileExistsCheckPane::Client QVFileExistsCheckPane::subversion() {
    return {QStringLiteral("svn"), {QStringLiteral("/usr/bin/svn"), QStringLiteral("/usr/local/bin/svn"), QStringLiteral("/sw/bin/svn")},
            QStringLiteral("QVSubversionExecPath")};
}

namespace {

QMutex placesLock;
QHash<QString, QPointer<QMenu>>& places() {
    static QHash<QString, QPointer<QMenu>> menus;
    return menus;
}

// A list read for a menu; a missing or malformed one is logged and gives nothing.
QVariant readList(const QString& path, const QString& what) {
    if (path.isEmpty() || !QFileInfo::exists(path)) {
        SystemLog::warning(QStringLiteral("No %1 list: its menu stays empty").arg(what));
        return {};
    }
    QVError error;
    QVariant list = PropertyList::readFile(path, &error);
    if (!list.isValid()) SystemLog::warning(QStringLiteral("Skipped the %1 list %2: %3").arg(what, path, error.localizedDescription()));
    return list;
}

}  // namespace

void QVMainMenuPlaces::setMenu(const QString& place, QMenu* menu) {
    QMutexLocker lock(&placesLock);
    places().insert(place, menu);
}

QMenu* QVMainMenuPlaces::menu(const QString& place) {
    QMutexLocker lock(&placesLock);
    return places().value(place);
}

void QVMainMenuPlaces::tickLineBreak() {
    QMenu* lineBreaks = menu(LineBreak);
    if (!lineBreaks) return;
    const qint64 chosen = UserDefaults::standard().integerForKey(QString::fromLatin1(QVLineBreak));
    const QList<QAction*> items = lineBreaks->actions();
    for (qsizetype i = 0; i < items.size(); ++i) {
        items[i]->setCheckable(true);
        items[i]->setChecked(i == chosen);
    }
}

void QVMenuSetupItem::addItemsToMenu(const QList<MenuItemRep>& reps) {
    // The items act on the front window's text (inserting a character, reopening the file).
    if (QMenu* target = menu())
        target->addActions(MenuConstruction::menuItemsFromReps(reps, target, [](const QString& action, QAction* item) {
            if (!QVMainMenu::shared().perform(action, item->data())) QVNoTextNotice::show(item->text());
        }));
}

void QVMenuSetupItem::setMenuItems(const QList<MenuItemRep>& reps) {
    QMenu* target = menu();
    if (!target) return;
    target->clear();
    addItemsToMenu(reps);
}

void QVMenuSetupItem::postItems(QList<MenuItemRep> reps) {
    // The item itself may be gone by then; only the place is needed.
    const QString place = _place;
    MainQueue::post([place, reps = std::move(reps)] {
        QVMenuSetupItem item({}, place);
        item.addItemsToMenu(reps);
    });
}

QList<MenuItemRep> QVSetupCharacterEntityMenu::reps(const QString& path) {
    QList<MenuItemRep> result{MenuItemRep::separatorItem()};
    const QString listPath = path.isEmpty() ? AppBundle::main().pathForResource(QStringLiteral("specialCharacters"), QStringLiteral("plist")) : path;
    const QVariantMap groups = readList(listPath, QStringLiteral("special characters")).toMap();
    QStringList names = groups.keys();
    std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) < 0; });
    const AppBundle& bundle = AppBundle::main();
    const QString table = QStringLiteral("SpecialCharacters");
    for (const QString& group : names) {
        MenuItemRep groupRep = MenuItemRep::withTitle(bundle.localizedString(group, group, table), {}, QString(""));
        QList<MenuItemRep> entries;
        for (const QVariant& value : groups.value(group).toList()) {
            const QVariantMap entry = value.toMap();
            const QString name = entry.value(QStringLiteral("name")).toString();
            const QString inserted = entry.value(QStringLiteral("value")).toString();
            // Entries without a name show what they insert, so the item still says what it is.
            const QString label = name.isEmpty() ? inserted : bundle.localizedString(name, name, table);
            MenuItemRep item = MenuItemRep::withTitle(QStringLiteral("%1  %2").arg(entry.value(QStringLiteral("appearance")).toString(), label),
                                                      QStringLiteral("insertSpecialCharacter:"), QString(""));
            item.setRepresentedObject(inserted);
            entries.append(item);
        }
        groupRep.setSubmenuReps(entries);
        result.append(groupRep);
    }
    return result;
}

QList<MenuItemRep> QVSetupEncodingsMenu::reps(const QString& path) {
    const QString listPath = path.isEmpty() ? Defaults::pathForResource(QStringLiteral("charsets"), QStringLiteral("plist"), QString()) : path;
    QList<MenuItemRep> result;
    for (const QVariant& entry : readList(listPath, QStringLiteral("encodings")).toList()) {
        if (entry.typeId() == QMetaType::QString) {
            result.append(MenuItemRep::separatorItem());
            continue;
        }
        const QVariantMap encoding = entry.toMap();
        const QString shortName = encoding.value(QStringLiteral("short")).toString();
        MenuItemRep item = MenuItemRep::withTitle(QStringLiteral("%1 (%2)").arg(encoding.value(QStringLiteral("full")).toString(), shortName),
                                                  QStringLiteral("reopenUsingEncoding:"), QString(""));
        item.setRepresentedObject(shortName);
        result.append(item);
    }
    return result;
}
