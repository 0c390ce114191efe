// The extensions of the named file categories that language bundles claim.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// Bundles name file categories by title ("file-categories" of their Info.plist) and take the
// categories' extensions as their own. The shared file-category model answers (the first text,
// else the first image category of that title, ignoring case), unless another lookup was
// installed with setLookup(). Thread-safe.
class QVBundleFileCategories {
public:
    // The extensions of the category titled title, in the category's order; nothing when no
    // category has that title.
    using Lookup = std::function<std::optional<QStringList>(const QString& title)>;

    QVBundleFileCategories() = delete;

    static std::optional<QStringList> typesForCategory(const QString& title);
    // Installs the lookup every bundle uses from now on; an empty one restores the shared model.
    static void setLookup(Lookup lookup);
};
