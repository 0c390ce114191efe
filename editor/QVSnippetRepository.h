// The one store of snippets: the snippets folder read into a tree, the menus built from it,
// keyword-trigger lookups, adding a snippet and the one-time migration of the older lists.
#pragma once

#include "editor/QVSnippet.h"
#include "platform/QVError.h"

#include <QHash>
#include <QMenu>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class QAction;
class QIcon;
class QVRegex;
class QWidget;

// Posted (object null) on the reloading thread after every reload; observers that touch the
// interface move to the main thread themselves.
inline constexpr const char* QVSnippetsChangedNotification = "QVSnippetsChangedNotification";

// The tree is built aside (on whatever thread reloads, the start-up thread at launch) and swapped
// in whole under a lock, so a lookup on the main thread sees the old tree or the new one, never
// a half-built one. Entries are sorted by name (a Linux listing has no order of its own); names
// beginning with "." or ending with "qvproj" are skipped; each folder is read once, so links
// that loop end. Menus are filled on the main thread, the caller waiting.
class QVSnippetRepository {
public:
    // "snippets" in the application-support folder.
    static QString defaultSnippetsFolder();
    // The folder the user chose (qvSnippetsLocation), the default folder while none is set. The
    // shared store, the snippet file view and Edit Snippets all read snippets from here.
    static QString snippetsLocation();
    static QVSnippetRepository& sharedRepository();
    // A store over folder (tests); the legacy lists are looked for beside it, in its parent
    // (the application-support folder) and its parent's "data" folder.
    explicit QVSnippetRepository(QString folder);

    // The shared store's folder follows snippetsLocation(); a store made for a folder keeps it.
    QString snippetsFolder() const { return _followsLocation ? snippetsLocation() : _folder; }
    // The metadata patterns, compiled once, "^" at every line start.
    static const std::shared_ptr<const QVRegex>& keyComboPattern();
    static const std::shared_ptr<const QVRegex>& keywordTriggerPattern();

    // Drops the tree, builds a new one, refills the main menu's Snippets submenu (when one was
    // given) and posts QVSnippetsChangedNotification.
    void reloadSnippets();
    // Loads the tree when none is loaded, then fills menu from its fifth item on (the first
    // four are the menu's own): submenus for folders when useIndentation is false; with it,
    // only the folders, as one flat list indented by depth (the add-snippet folder list).
    void buildMenu(QMenu* menu, bool useIndentation);
    // The top-level snippets, loading them first when needed.
    std::vector<std::shared_ptr<QVSnippet>> snippets();
    // Loads the tree when none is loaded (the editor's first keyword trigger, when nothing
    // loaded the store at start-up).
    void loadIfNeeded() { tree(); }
    // The snippet whose trigger is word exactly; null before the first load.
    std::shared_ptr<QVSnippet> snippetForKeywordTrigger(const QString& word) const;

    // The main menu's Snippets submenu, refilled at every reload (the application's menu bar
    // sets it; none until then).
    void setMainMenu(QMenu* menu);
    // What a snippet's menu item does (the editor view in front inserts it).
    using InsertHandler = std::function<void(const std::shared_ptr<QVSnippet>&, QAction* item)>;
    static void setInsertHandler(InsertHandler handler);

    // --- Adding -------------------------------------------------------------------------------
    // What opens the add-snippet sheet on sender's window with text; none: adding does nothing.
    using AddSheet = std::function<void(QVSnippetRepository& store, const QString& text, QWidget* sender)>;
    static void setAddSheet(AddSheet sheet);
    void addSnippetWithString(const QString& text, QWidget* sender);
    // The sheet's end. On returnCode 1 text is written, UTF-16, atomically, as a file named by
    // title (made safe: no "/", no leading dot, never "." or "..") in folder (the snippets
    // folder when empty). An existing file is replaced only when replace answers yes for its
    // path (no question: never). Then the store reloads. False with *error on failure, on a
    // refused replacement, or when the return code is not 1 (no error then).
    using ReplaceQuestion = std::function<bool(const QString& path)>;
    bool snippetAddDidFinish(int returnCode, const QString& folder, const QString& title, const QString& text,
                             const ReplaceQuestion& replace, QVError* error = nullptr);
    // A file name made from a title: a line break ends it, path steps join with "-" ("." and
    // ".." dropped), control characters become "-", leading dots and blanks go; an empty
    // result is "Untitled".
    static QString safeFileName(const QString& title);

    // --- Migration ----------------------------------------------------------------------------
    // Once per snippets folder, while its marker ".Qorvel" is missing: writes the older lists'
    // snippets (or the shipped "defaultSnippets") as files, never over an existing one, and
    // writes the marker only when every file was written; false with *error otherwise.
    bool migrate(QVError* error = nullptr);

private:
    struct Tree {
        std::vector<std::shared_ptr<QVSnippet>> snippets;
        QHash<QString, std::shared_ptr<QVSnippet>> keywordTriggers;
    };
    std::shared_ptr<const Tree> tree();
    // The representations of snippets: submenus for folders with contents, or with
    // useIndentation the folders alone as one list indented by depth.
    static QList<MenuItemRep> itemReps(const std::vector<std::shared_ptr<QVSnippet>>& snippets, bool useIndentation);
    std::shared_ptr<const Tree> loadTree();
    void fillMenu(QMenu* menu, bool useIndentation, const Tree& tree);

    QString _folder;
    bool _followsLocation = false;
    mutable std::mutex _lock;  // guards _tree (the pointer)
    std::shared_ptr<const Tree> _tree;
    std::mutex _loadLock;  // one load at a time
    QPointer<QMenu> _mainMenu;
};
