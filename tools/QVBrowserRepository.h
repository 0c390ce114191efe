// The list of preview targets: "data/browsers.plist" (the user's copy, else the shipped one),
// or, when it is missing or empty, the browsers the desktop entries say handle http; the rows
// "Qorvel" and "All" are always there. Loaded on the start-up thread or the main thread; every
// access takes the repository's lock.
#pragma once

#include "tools/QVBrowser.h"
#include "tools/QVOperationRepository.h"

#include <QVariantList>

#include <mutex>

class QVBrowserRepository : public QVOperationRepository {
public:
    // The one repository, made once whichever thread asks first.
    static QVBrowserRepository& sharedInstance();

    QString sourcePath() const override;
    bool usesSingleConfigurationFile() const override { return true; }
    void loadFromConfigurationFile(const QString& path) override;

    // Loads the list when forced or not loaded yet (under the lock); answers whether it read.
    bool reloadList(bool force);
    // The list as it stands, and its menu items, taken under the lock.
    QList<std::shared_ptr<QVBrowser>> browsers();
    QList<MenuItemRep> browserMenuItems();
    // The first browser named name, after loading the list if needed; none when absent.
    std::shared_ptr<QVBrowser> browserWithName(const QString& name);
    std::shared_ptr<QVBrowser> firstBrowser();

    // The entries of the list file at path: its array of dictionaries (other values skipped),
    // the system's browsers when it has none, then "Qorvel" and "All" appended when missing.
    static QVariantList browsersFromConfigFile(const QString& path);
    // The applications the desktop entries list for http, the default one first and Firefox
    // next: {"name", "path" (the entry's file), "version" ("??": entries carry none)}.
    static QVariantList defaultBrowsers();

private:
    std::recursive_mutex _lock;
};
