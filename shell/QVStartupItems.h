// Start-up items: work that runs once per launch (folders, menus filled from files) or until the
// user has settled something (where the command-line clients are). Items are made from the
// definitions in "StartupItems.plist" by class name, so a higher subsystem adds its own by
// registering a class; a definition naming an unregistered class is skipped.
#pragma once

#include "shell/MenuItemRep.h"

#include <QList>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <functional>
#include <memory>

class QMenu;

class QVStartupItem {
public:
    explicit QVStartupItem(const QVariantMap& plist);
    virtual ~QVStartupItem() = default;
    virtual void run() {}
    QString title() const { return _title; }
    QString identifier() const { return _identifier; }

private:
    QString _title;
    QString _identifier;
};

// An item with a page in the start-up wizard. Its view is made on the main thread from its
// interface name by the wizard; the pane itself may be made on any thread.
class QVStartupPane : public QVStartupItem {
public:
    using QVStartupItem::QVStartupItem;
    virtual void commit() {}
    virtual QString nibName() const { return {}; }
};

// What the controller knows of an item class: the class-level questions and how to make one.
struct QVStartupItemClass {
    std::function<bool()> hasUI = [] { return false; };
    std::function<bool()> needsToRun = [] { return false; };
    std::function<std::shared_ptr<QVStartupItem>(const QVariantMap& plist)> make;
};

// Checks that a command-line client exists and stores its path in a setting.
class QVFileExistsCheckPane : public QVStartupPane {
public:
    struct Client {
        QString executableName;   // as the pane names it
        QStringList searchPaths;  // tried in order
        QString userDefault;      // the setting that holds the path
    };
    QVFileExistsCheckPane(const QVariantMap& plist, Client client);

    // No when the setting has any value, or when a search path exists (it is stored then).
    static bool needsToRun(const Client& client);
    // Stores a path naming an existing file; anything else leaves the setting absent.
    void commit() override;
    QString nibName() const override { return QStringLiteral("CheckFileExistsStartupPane"); }
    QString executableName() const { return _client.executableName; }
    QString path() const { return _path; }
    void setPath(const QString& path) { _path = path; }

    // The four clients Qorvel drives, by class name.
    static Client ftp();
    static Client sftp();
    static Client webDAV();
    static Client subversion();

private:
    Client _client;
    QString _path;
};

// The menus of the main menu that start-up items fill, found by name. The application's menu
// builder records them; an item whose menu is not recorded fills nothing.
class QVMainMenuPlaces {
public:
    static inline const QString SpecialCharacters = QStringLiteral("specialCharactersMenu");
    static inline const QString ReopenWithEncoding = QStringLiteral("reopenWithEncodingMenu");
    static inline const QString LineBreak = QStringLiteral("lineBreakMenu");
    static inline const QString UserScripts = QStringLiteral("userScriptsMenu");
    static void setMenu(const QString& place, QMenu* menu);
    static QMenu* menu(const QString& place);
    // Ticks the item of the line-break menu that QVLineBreak names (0 LF, 1 CR, 2 CR LF).
    static void tickLineBreak();
};

// Fills a main-menu place from representations built on the configuration thread.
class QVMenuSetupItem : public QVStartupItem {
public:
    QVMenuSetupItem(const QVariantMap& plist, QString place) : QVStartupItem(plist), _place(std::move(place)) {}
    QMenu* menu() const { return QVMainMenuPlaces::menu(_place); }
    // Main thread: after the menu's own items / instead of them.
    void addItemsToMenu(const QList<MenuItemRep>& reps);
    void setMenuItems(const QList<MenuItemRep>& reps);

protected:
    // Hands reps to the main thread without waiting.
    void postItems(QList<MenuItemRep> reps);

private:
    QString _place;
};

class QVSetupCharacterEntityMenu : public QVMenuSetupItem {
public:
    explicit QVSetupCharacterEntityMenu(const QVariantMap& plist) : QVMenuSetupItem(plist, QVMainMenuPlaces::SpecialCharacters) {}
    void run() override { postItems(reps(QString())); }
    // A separator, then one submenu per group (case-insensitive order) of the list at path
    // (the shipped one when empty); a missing or malformed list gives the separator alone.
    static QList<MenuItemRep> reps(const QString& path);
};

class QVSetupEncodingsMenu : public QVMenuSetupItem {
public:
    explicit QVSetupEncodingsMenu(const QVariantMap& plist) : QVMenuSetupItem(plist, QVMainMenuPlaces::ReopenWithEncoding) {}
    void run() override { postItems(reps(QString())); }
    // The encodings list at path (the user's copy, else the shipped one, when empty): a string
    // entry is a separator, a dictionary "full (short)" reopening in "short".
    static QList<MenuItemRep> reps(const QString& path);
};
