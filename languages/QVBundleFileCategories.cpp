// The extensions of the file categories that language bundles claim.
#include "languages/QVBundleFileCategories.h"

#include "platform/PropertyList.h"
#include "shell/Defaults.h"

#include <QDateTime>
#include <QFileInfo>
#include <QMutex>
#include <QVariantMap>

#include <algorithm>

namespace {

struct Category {
    QString title;
    QStringList types;
};

struct State {
    QMutex lock;
    QVBundleFileCategories::Lookup lookup;
    // The store as last read, and which file at which time it came from.
    QString storePath;
    QDateTime storeModified;
    qint64 storeSize = -1;
    QList<Category> text;
    QList<Category> image;
};

State& state() {
    static State shared;
    return shared;
}

QList<Category> categoriesOf(const QVariant& kind) {
    QList<Category> categories;
    const QVariantMap map = kind.toMap();
    for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
        Category category{it.key(), {}};
        for (const QVariant& type : it.value().toMap().value(QStringLiteral("types")).toList())
            if (type.typeId() == QMetaType::QString) category.types.append(type.toString());
        categories.append(category);
    }
    std::stable_sort(categories.begin(), categories.end(), [](const Category& a, const Category& b) {
        return a.title.compare(b.title, Qt::CaseInsensitive) < 0;
    });
    return categories;
}

// Re-reads the store when it is another file or changed since it was read (lock held).
void refreshStore(State& s) {
    const QString path = Defaults::pathForResource(QStringLiteral("fileCategories"), QStringLiteral("plist"),
                                                   QStringLiteral("data"));
    const QFileInfo info(path);
    const QDateTime modified = path.isEmpty() ? QDateTime() : info.lastModified();
    const qint64 size = path.isEmpty() ? -1 : info.size();
    if (path == s.storePath && modified == s.storeModified && size == s.storeSize && !path.isEmpty()) return;
    s.storePath = path;
    s.storeModified = modified;
    s.storeSize = size;
    const QVariantMap store = path.isEmpty() ? QVariantMap() : PropertyList::readFile(path).toMap();
    s.text = categoriesOf(store.value(QStringLiteral("Text")));
    s.image = categoriesOf(store.value(QStringLiteral("Image")));
}

std::optional<QStringList> find(const QList<Category>& categories, const QString& title) {
    for (const Category& category : categories)
        if (category.title.compare(title, Qt::CaseInsensitive) == 0) return category.types;
    return std::nullopt;
}

}  // namespace

std::optional<QStringList> QVBundleFileCategories::typesForCategory(const QString& title) {
    State& s = state();
    Lookup lookup;
    {
        QMutexLocker locker(&s.lock);
        lookup = s.lookup;
        if (!lookup) {
            refreshStore(s);
            if (std::optional<QStringList> types = find(s.text, title)) return types;
            return find(s.image, title);
        }
    }
    // Outside the lock: the model takes its own.
    return lookup(title);
}

void QVBundleFileCategories::setLookup(Lookup lookup) {
    State& s = state();
    QMutexLocker locker(&s.lock);
    s.lookup = std::move(lookup);
}
