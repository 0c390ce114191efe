// The extensions of the named file categories that language bundles claim.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// Bundles name file categories by title ("file-categories" of their Info.plist) and take the
// categories' extensions as their own. The file-category model answers through a lookup it
// installs with setLookup(); until then the categories are read from the store
// "data/fileCategories.plist" (the application-support copy shadowing the built-in one): the
// first text category whose title equals the one asked ignoring case, else the first such
// image category, in title order. Thread-safe.
class QVBundleFileCategories {
public:
    // The extensions of the category titled title, in the category's order; nothing when no
    // category has that title.
    using Lookup = std::function<std::optional<QStringList>(const QString& title)>;

    QVBundleFileCategories() = delete;

    static std::optional<QStringList> typesForCategory(const QString& title);
    // Installs the lookup every bundle uses from now on; an empty one restores the store reader.
    static void setLookup(Lookup lookup);
};
