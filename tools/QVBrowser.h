// One target of the Preview command: a web browser installed here (a desktop entry), the
// built-in preview window (the row "Qorvel"), or the row "All", which previews in every other
// browser of the list at once.
#pragma once

#include "tools/QVOperation.h"

#include <QMetaType>
#include <QString>
#include <QVariantMap>

#include <functional>
#include <memory>

class QVBrowser : public QVOperation {
public:
    static inline const QString BuiltInName = QStringLiteral("Qorvel");
    static inline const QString AllName = QStringLiteral("All");

    // A browser from a list entry ("name", "path", "version"); none when the path is empty (or
    // absent) and the name is neither "Qorvel" nor "All".
    static std::shared_ptr<QVBrowser> fromPlist(const QVariantMap& entry);
    // The first browser of the shared list, none while it is empty or not loaded.
    static std::shared_ptr<QVBrowser> defaultBrowser();

    QString browserName() const { return _browserName; }
    QString browserPath() const { return _browserPath; }
    QString browserVersion() const { return _browserVersion; }
    bool isBuiltIn() const { return _browserName == BuiltInName; }
    // A row that fans out to the others: "All", or any path that names no application file.
    bool fansOut() const { return !isBuiltIn() && !_browserPath.startsWith(QLatin1Char('/')); }

    std::shared_ptr<QVOperation> copy() const override;
    // One item titled with the name, action "previewInBrowser", this browser as represented
    // object; the application's icon for a path, else a document icon.
    QList<MenuItemRep> menuItemRepresentations() override;
    // Opens target (a URL, or an absolute file path) in this browser: the built-in preview
    // shows it (a path as its file URL); a desktop entry runs its command, detached, in
    // startFolder(), and xdg-open takes over when the entry cannot be read or its program cannot start; a row
    // that fans out opens target in every other row of the list that does not fan out, once
    // each, in list order.
    void performActionWithObject(const QVariant& target) override;
    // The same, answering why each browser that was to open target was not used, one line
    // each ("“Name”: its command line …."); the page went to xdg-open instead. Empty when
    // every browser started.
    QStringList open(const QString& target);
    // Why the desktop entry at entryPath would never open a page (unreadable, or its command
    // line refused, as commandFor says); empty when it would.
    static QString refusalForEntry(const QString& entryPath);

    // Where the built-in row shows an address (installed by the preview window; none: nothing).
    using BuiltInPreview = std::function<void(const QString& url)>;
    static void setBuiltInPreview(BuiltInPreview preview);
    // Starts a detached program in folder; answers whether it started. Replaceable for tests
    // that must not start the desktop's browser; none restores the real one.
    using Starter = std::function<bool(const QString& program, const QStringList& arguments, const QString& folder)>;
    static void setStarter(Starter starter);
    // Opens target with the desktop's default handler (xdg-open), started in startFolder().
    static bool openWithDefaultHandler(const QString& target);
    // The working folder every browser starts in: an empty folder of Qorvel's own that only its
    // owner could write to, and not even it while it is in use ("browser-start" in the private
    // runtime folder, else the scratch folder), so that no relative reading of a page's address ("file:/…") names a file. Made
    // again, empty, whenever anything has appeared in it. Empty when none could be had: then
    // nothing is started.
    static QString startFolder();

private:
    QString _browserPath;
    QString _browserName;
    QString _browserVersion;
};

Q_DECLARE_METATYPE(std::shared_ptr<QVBrowser>)
