// The extensions of the file categories that language bundles claim.
#include "languages/QVBundleFileCategories.h"

#include "shell/QVFileCategories.h"

#include <mutex>

namespace {

struct State {
    std::mutex lock;
    QVBundleFileCategories::Lookup lookup;
};

State& state() {
    static State shared;
    return shared;
}

}  // namespace

std::optional<QStringList> QVBundleFileCategories::typesForCategory(const QString& title) {
    State& s = state();
    Lookup lookup;
    {
        std::lock_guard locker(s.lock);
        lookup = s.lookup;
    }
    // Asked outside the lock: the lookup and the model take their own.
    if (lookup) return lookup(title);
    const std::shared_ptr<QVFileCategory> category = QVFileCategories::sharedCategories()->categoryForTitle(title);
    if (!category) return std::nullopt;
    return category->typeTitles();
}

void QVBundleFileCategories::setLookup(Lookup lookup) {
    State& s = state();
    std::lock_guard locker(s.lock);
    s.lookup = std::move(lookup);
}
