// The process-wide registry of language bundles: found once in the user's and the
// application's Bundles folders, looked up by bundle identifier, parser identifier and extension.
#pragma once

#include "languages/QVBundle.h"
#include "languages/QVParser.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

#include <functional>
#include <memory>
#include <mutex>

class UserDefaults;

// User default: identifiers of the bundles the user removed (an array of strings).
inline constexpr const char* QVHiddenBundles = "QVHiddenBundles";
// Posted by the preferences when a bundle's file extensions were edited; editor views choose
// their bundle again.
inline constexpr const char* QVBundleFileCategoriesChanged = "QVBundleFileCategoriesChanged";

// Loading walks every "*.qvbundle" folder of the application-support "Bundles" folder (at any
// depth, in path order), then of the application's resources "Bundles" folder (in name order).
// The first folder seen for a bundle identifier wins, so a user copy overrides the built-in
// bundle; folders that are no bundle, later duplicates and hidden bundles are skipped. Every
// bundle kept has its definitions loaded, and once all are registered each parser is told to
// finish loading (tag parsers resolve their embedded languages through this registry).
//
// Which bundle an extension belongs to, when several claim it: user bundles (found in the
// user's folder, or added and not yet loaded from the built-in folder) before built-in ones,
// and within each of the two the bundle whose identifier sorts first (code-unit order).
// Extensions are compared exactly, case included.
//
// When two bundles have the same parser identifier, the one loaded later answers for it.
//
// Used from the main thread and the code-index thread: one recursive lock guards everything,
// and the first lookup from either thread loads all bundles inside it while the other waits.
class QVBundleRepository {
public:
    static QVBundleRepository& sharedRepository();
    // A registry over the given settings store (the standard one by default); tests make their
    // own. The hidden bundles are read from it now.
    explicit QVBundleRepository(UserDefaults* defaults = nullptr);
    ~QVBundleRepository();
    QVBundleRepository(const QVBundleRepository&) = delete;
    QVBundleRepository& operator=(const QVBundleRepository&) = delete;

    // Compares two bundles (negative, 0, positive), as QVBundle::compareTitle does.
    using Comparison = std::function<int(const QVBundle&, const QVBundle&)>;
    // Every registered bundle, sorted with compare when one is given (after the lock is
    // released), otherwise in no particular order.
    QList<std::shared_ptr<QVBundle>> bundles(const Comparison& compare = {});
    // Null when no registered bundle has the identifier.
    std::shared_ptr<QVBundle> bundleForBundleIdentifier(const QString& bundleIdentifier);
    // The bundle whose parser has the identifier ("text.html"); null for a null or unknown
    // identifier (a null one loads nothing).
    std::shared_ptr<QVBundle> bundleForIdentifier(const QString& parserIdentifier);
    // The bundle that claims the extension exactly as given; category plays no part.
    std::shared_ptr<QVBundle> bundleForFileCategory(const QString& category, const QString& extension);

    // The registered bundle titled title ignoring case; else, when no bundle has the parser
    // identifier, a new unsaved user bundle registered under its new identifier and its parser
    // identifier (it claims no extensions); else null.
    std::shared_ptr<QVBundle> addBundleWithTitle(const QString& title, const QString& parserIdentifier);
    // Hides the bundle from now on and across launches (its identifier joins QVHiddenBundles; its
    // folder stays) and unregisters it. Another bundle that claims the same extension or has
    // the same parser identifier then answers for it. True.
    bool removeBundle(const std::shared_ptr<QVBundle>& bundle);
    // Rebuilds the extension map from every bundle's current extensions.
    void refreshBundleFileTypes();

    // The parser of the bundle with that parser identifier, for parsers that resolve embedded
    // languages; null when there is none.
    std::shared_ptr<QVParser> parserForIdentifier(const QString& parserIdentifier);

private:
    UserDefaults& defaults() const;
    // Loads when nothing was loaded yet, or when the map about to be read is empty (a folder
    // added since may fill it).
    void loadIfNeeded(bool mapIsEmpty);
    void loadBundles();
    void registerParser(const std::shared_ptr<QVBundle>& bundle);
    bool ranksBefore(const std::shared_ptr<QVBundle>& a, const std::shared_ptr<QVBundle>& b) const;

    UserDefaults* _defaults;
    std::recursive_mutex _lock;
    QSet<QString> _hiddenBundles;
    QHash<QString, std::shared_ptr<QVBundle>> _bundlesByID;
    QHash<QString, std::shared_ptr<QVBundle>> _bundlesByFileType;
    QHash<QString, std::shared_ptr<QVBundle>> _bundlesByParser;
    // Identifiers of the bundles loaded from the application's own resources.
    QSet<QString> _builtInBundles;
    // Order in which bundles were registered, by identifier: the later one of two with the
    // same parser identifier answers for it.
    QHash<QString, quint64> _registrationOrder;
    quint64 _nextRegistration = 0;
    bool _loaded = false;
};
