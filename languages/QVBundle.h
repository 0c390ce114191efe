// A language bundle: one folder of property lists that defines a language's highlighter, code
// navigation, function hints, completion and indexing rules, and the objects built from them.
#pragma once

#include "platform/QVError.h"

#include <QHash>
#include <QImage>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class QVBundleComponent;
class QVCodeHinting;
class QVCodeNavParser;
class QVParser;

// Folder layout: "<Name>.qvbundle/Contents/" holds "Info.plist", "syntax.plist" (the parser),
// "codenav.plist" (code navigation, read only beside "syntax.plist"), "hinting.plist" (function
// hints), "completion.plist" (completion engine), "indexer.plist" (indexing rules) and the folder
// "Resources" (images). XML and binary property lists are read; saving writes binary ones.
//
// Keys of "Info.plist": "CFBundleIdentifier" (required: without it the folder is no bundle),
// "CFBundleName" (title), "CFBundleVersion" ("1.0" when absent), "hide-in-list" (bool),
// "tooltip", "file-categories" (titles of file categories whose extensions the bundle claims)
// and "file-types" (extensions claimed when the categories yield none).
//
// Completion engines and indexers belong to higher subsystems, which register factories for
// them. Until a factory can build one, the bundle keeps the definition it read
// (completionDefinition(), indexerDefinition()), builds the object on the first request once a
// factory is there, and saves the definition back unchanged.
//
// Bundles are made and loaded under the registry's lock on whichever thread first asks for them;
// afterwards the main thread edits and saves them while the code-index thread reads their
// indexer, so every member is guarded by the bundle's own lock and getters hand out shared
// references. Factories and the lookups of file categories run outside that lock.
class QVBundle : public std::enable_shared_from_this<QVBundle> {
public:
    static inline const QString BundleExtension = QStringLiteral("qvbundle");
    static inline const QString InfoFileName = QStringLiteral("Info.plist");
    static inline const QString SyntaxFileName = QStringLiteral("syntax.plist");
    static inline const QString CompletionFileName = QStringLiteral("completion.plist");
    static inline const QString IndexerFileName = QStringLiteral("indexer.plist");
    // Posted by the preferences when their window has closed; every bundle then reloads its
    // indexer from its folder.
    static inline const QString PrefsClosedNotification = QStringLiteral("QorvelPrefsClosed");

    // Makes the completion engine or the indexer of bundle from its definition; may answer null
    // (the definition is refused, and the bundle then has no such object). The indexer's runs on
    // whichever thread loads the bundle (the registry loads on the first thread that asks, which
    // may be the code-index thread), perhaps inside the registry's lock; the engine's on the
    // first thread that asks for the engine. Never inside the bundle's lock.
    using ComponentFactory = std::function<std::shared_ptr<QVBundleComponent>(
        const std::shared_ptr<QVBundle>& bundle, const QVariantMap& definition)>;
    // Completion engines are keyed by type: the definition's "class" when a factory has that
    // name, else its "format-type" ("tag", "keyword"). A later registration under a key
    // replaces the earlier one; an empty factory removes it. Thread-safe.
    static void registerCompletionFactory(const QString& type, ComponentFactory factory);
    // The one indexer factory (an empty one removes it).
    static void registerIndexerFactory(ComponentFactory factory);

    // Opens the bundle folder at path: its Info values and file categories, and, unless lazily,
    // its definitions too. Null, with the reason in error, when "Contents/Info.plist" cannot be
    // read as a dictionary or has no "CFBundleIdentifier" string.
    static std::shared_ptr<QVBundle> bundleWithPath(const QString& path, bool lazily, QVError* error = nullptr);
    // A new bundle that was never saved: the title, a plain parser with that parser identifier,
    // a fresh UUID as bundle identifier, no categories and no extensions.
    static std::shared_ptr<QVBundle> bundleWithTitle(const QString& title, const QString& parserIdentifier);
    ~QVBundle();
    QVBundle(const QVBundle&) = delete;
    QVBundle& operator=(const QVBundle&) = delete;

    // Loads the parser (with its code navigation) and the indexer from the folder; the hints and
    // the completion definition are read on the first request for them (or the next save),
    // under the bundle's lock, so that colouring never pays for them. A missing or unreadable
    // file leaves that object absent: the engine and the indexer are cleared first, the parser
    // and hints keep what they had. A new bundle without a folder loads nothing.
    void loadDefinitions();

    // The bundle's folder; empty for a new bundle that was never saved.
    QString path() const;
    QString title() const;
    QString bundleIdentifier() const;
    QString version() const;
    bool hideInList() const;
    // Null when the bundle has none.
    QString tooltip() const;
    // The parser's identifier ("format-id"); null without a parser.
    QString identifier() const;

    std::shared_ptr<QVParser> parser() const;
    // Replaces the parser in memory (the language editors); nothing reaches disk before commit().
    void setParser(std::shared_ptr<QVParser> parser);
    // Forwarded to the parser; null without one.
    std::shared_ptr<QVCodeNavParser> codeNavParser() const;
    void setCodeNavParser(std::shared_ptr<QVCodeNavParser> codeNavParser);
    std::shared_ptr<QVCodeHinting> codeHinting() const;
    // The engine; built on request when a factory for the kept definition has been registered
    // since. Null when there is none.
    std::shared_ptr<QVBundleComponent> codeCompletion();
    // Replaces the engine; null removes it, and a later save then writes no "completion.plist".
    void setCodeCompletion(std::shared_ptr<QVBundleComponent> completion);
    // A new, empty engine for this bundle of the format type ("keyword", "tag"), made by the
    // registered factory; null when none is registered for it. The bundle keeps its own engine.
    std::shared_ptr<QVBundleComponent> makeCompletion(const QString& formatType);
    std::shared_ptr<QVBundleComponent> codeIndexer();
    // The definitions as read (empty when there was none, or the object was removed).
    QVariantMap completionDefinition() const;
    QVariantMap indexerDefinition() const;

    // Titles of the claimed file categories that exist, in the order given.
    QStringList fileCategories() const;
    // Claims these categories and derives the extensions again at once.
    void setFileCategories(const QStringList& titles);
    // The categories' extensions in category order (duplicates kept), or "file-types" of
    // Info.plist when the categories yield none. Extensions keep their case.
    QStringList fileTypes() const;

    // Case-insensitive comparison of the titles (negative, 0, positive): the order of every
    // bundle list.
    int compareTitle(const QVBundle& other) const;

    // The image "Contents/Resources/<name>" (name with its extension), cached once it loaded.
    // Null when there is no such image, for names that would leave the folder, and for a bundle
    // without a folder.
    QImage imageNamed(const QString& name) const;

    // Saves the whole bundle as "<folder name>" in the user's Bundles folder (the
    // application-support "Bundles"): the existing folder's name, or for a new bundle its title
    // made safe as a file name plus ".qvbundle". The copy is assembled in a hidden temporary
    // folder beside it (resources copied from the previous copy at the target, else from the
    // bundle's own folder; then "Info.plist" and every definition) and only then put in place;
    // a previous copy is moved aside to "<name>.backup" meanwhile and removed once the new one
    // is in place, or put back when that fails. So a failed save leaves the Bundles folder as it
    // was, and never a partial bundle that would shadow the built-in one.
    //
    // A folder of that name that holds another bundle (another identifier, or none) is never
    // replaced: the save goes to the first free "<name> 2.qvbundle", "<name> 3.qvbundle"...
    //
    // Every definition is written merged into the dictionary that was read: keys the program
    // does not edit ("hide-in-list", "tooltip" and unknown keys of Info.plist, unknown keys of
    // the syntax and of the components' definitions) are kept. Definitions the bundle holds no
    // object for ("hinting.plist", a completion or indexer definition no factory builds,
    // "codenav.plist" of a bundle without parser) are written back as read.
    //
    // On success the bundle reads from the saved folder from then on. False, with the reason in
    // error, on any failure.
    bool commit(QVError* error = nullptr);

    // Reloads the indexer from the folder (on "QorvelPrefsClosed", after the preferences saved
    // every changed bundle).
    void prefsChanged();

    // The folder name a title gives: path separators and control characters become "-",
    // leading dots and surrounding blanks go, so the name stays inside its folder; an empty
    // result gives fallback, then "Untitled". Without the ".qvbundle" extension.
    static QString safeFileName(const QString& title, const QString& fallback = {});

private:
    QVBundle();
    void observePreferences();
    // Reads "Contents/Info.plist"; false when the folder is no bundle (lock held).
    bool readInfo(const QString& path, QVError* error);
    void loadFileCategories(const QStringList& titles);
    std::shared_ptr<QVBundleComponent> buildComponent(bool completion, const QVariantMap& definition);
    std::shared_ptr<QVBundleComponent> componentOnRequest(bool completion);
    // What a save writes, made under the lock and written outside it.
    struct Saved;
    Saved savedContents() const;
    // Read what loadDefinitions() deferred, if it is still pending (lock held).
    void readDeferredHinting() const;
    void readDeferredCompletion() const;

    mutable std::recursive_mutex _lock;
    QString _path;  // the folder; empty for a new bundle
    std::shared_ptr<QVParser> _parser;
    bool _hideInList = false;
    QString _title;
    QString _bundleIdentifier;
    QString _tooltip;
    QString _version;
    mutable std::shared_ptr<QVCodeHinting> _codeHinting;
    std::shared_ptr<QVBundleComponent> _codeCompletion;
    std::shared_ptr<QVBundleComponent> _codeIndexer;
    QStringList _fileCategories;
    QStringList _fileTypes;
    QStringList _infoFileTypes;  // "file-types" as read
    mutable QHash<QString, QImage> _imageDict;

    // What was read, kept so that a save carries over what the program does not edit, and
    // writes back what it could not build an object for. Absent when there was no such file.
    QVariantMap _info;
    std::optional<QVariantMap> _syntaxDefinition;
    std::optional<QVariantList> _codeNavDefinition;
    mutable std::optional<QVariantMap> _hintingDefinition;
    mutable std::optional<QVariantMap> _completionDefinition;
    std::optional<QVariantMap> _indexerDefinition;

    // The factory generation at which the kept definitions were last offered to the factories.
    mutable quint64 _completionTried = 0;
    quint64 _indexerTried = 0;

    quint64 _prefsObserver = 0;

    // The hints and completion files loadDefinitions() left to be read on the first request
    // for them (or the next save); empty once read.
    mutable QString _deferredHinting;
    mutable QString _deferredCompletion;
};
