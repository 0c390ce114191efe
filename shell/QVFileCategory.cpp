// One named file category: its extensions in order, kept in step with the model's extension map.
#include "shell/QVFileCategory.h"

#include "shell/QVFileCategories.h"

#include <algorithm>

namespace {

const QString kTypesKey = QStringLiteral("types");
const QString kInsertWhenDraggedKey = QStringLiteral("insertWhenDragged");

}  // namespace

QVFileCategory::QVFileCategory(const QString& title, const QVariantMap& insertWhenDragged,
                               const std::weak_ptr<QVFileCategories>& model)
    : _model(model), _title(title), _insertWhenDragged(insertWhenDragged) {}

std::shared_ptr<QVFileCategory> QVFileCategory::create(const QString& title,
                                                       const QVariantMap& definition,
                                                       const std::weak_ptr<QVFileCategories>& model) {
    const QVariant dragged = definition.value(kInsertWhenDraggedKey);
    std::shared_ptr<QVFileCategory> category(new QVFileCategory(
        title, dragged.typeId() == QMetaType::QVariantMap ? dragged.toMap() : QVariantMap(), model));
    const QVariant types = definition.value(kTypesKey);
    if (types.typeId() == QMetaType::QVariantList || types.typeId() == QMetaType::QStringList) {
        // No lock: nobody else can see the category yet.
        for (const QVariant& type : types.toList())
            if (type.typeId() == QMetaType::QString)
                category->_types.append(QVFileCategoryType(type.toString(), category));
    }
    return category;
}

std::shared_ptr<QVFileCategory> QVFileCategory::copy() const {
    return create(title(), plistRepresentation());
}

std::unique_lock<std::recursive_mutex> QVFileCategory::lockModel(
    std::shared_ptr<QVFileCategories>& model) const {
    model = _model.lock();
    if (!model) return {};
    return std::unique_lock<std::recursive_mutex>(model->_lock);
}

QString QVFileCategory::title() const {
    std::lock_guard guard(_mutex);
    return _title;
}

void QVFileCategory::setTitle(const QString& title) {
    std::shared_ptr<QVFileCategories> model;
    const auto modelLock = lockModel(model);
    std::lock_guard guard(_mutex);
    _title = title;
}

QList<QVFileCategoryType> QVFileCategory::types() const {
    std::lock_guard guard(_mutex);
    return {_types.cbegin(), _types.cend()};
}

QStringList QVFileCategory::typeTitles() const {
    std::lock_guard guard(_mutex);
    QStringList titles;
    titles.reserve(_types.size());
    for (const QVFileCategoryType& type : _types) titles.append(type.title());
    return titles;
}

QVariantMap QVFileCategory::insertWhenDragged() const {
    std::lock_guard guard(_mutex);
    return _insertWhenDragged;
}

QVariantMap QVFileCategory::plistRepresentation() const {
    std::lock_guard guard(_mutex);
    QVariantList titles;
    titles.reserve(_types.size());
    for (const QVFileCategoryType& type : _types) titles.append(type.title());
    QVariantMap plist{{kTypesKey, titles}};
    if (!_insertWhenDragged.isEmpty()) plist.insert(kInsertWhenDraggedKey, _insertWhenDragged);
    return plist;
}

bool QVFileCategory::containsType(const QString& extension) const {
    std::lock_guard guard(_mutex);
    for (const QVFileCategoryType& type : _types)
        if (type.title() == extension) return true;
    return false;
}

QVFileCategoryType QVFileCategory::addType(const QString& extension) {
    std::shared_ptr<QVFileCategories> model;
    const auto modelLock = lockModel(model);
    QVFileCategoryType entry(extension, shared_from_this());
    {
        std::lock_guard guard(_mutex);
        qsizetype index = 0;
        while (index < _types.size() && _types[index].compare(entry) <= 0) ++index;
        _types.insert(index, entry);
    }
    if (model) model->noteExtensionAddedToCategory(extension, shared_from_this());
    return entry;
}

int QVFileCategory::countOfTypes() const {
    std::lock_guard guard(_mutex);
    return int(_types.size());
}

QVFileCategoryType QVFileCategory::objectInTypesAtIndex(int index) const {
    std::lock_guard guard(_mutex);
    if (index < 0 || index >= _types.size()) return {};
    return _types[index];
}

bool QVFileCategory::insertObject(const QString& extension, int index) {
    return insertObject(QVFileCategoryType(extension, shared_from_this()), index);
}

bool QVFileCategory::insertObject(const QVFileCategoryType& type, int index) {
    std::shared_ptr<QVFileCategories> model;
    const auto modelLock = lockModel(model);
    {
        std::lock_guard guard(_mutex);
        if (index < 0 || index > _types.size()) return false;
        _types.insert(index, QVFileCategoryType(type.title(), shared_from_this()));
    }
    if (model) model->noteExtensionAddedToCategory(type.title(), shared_from_this());
    return true;
}

bool QVFileCategory::removeObjectFromTypesAtIndex(int index) {
    std::shared_ptr<QVFileCategories> model;
    const auto modelLock = lockModel(model);
    QString extension;
    {
        std::lock_guard guard(_mutex);
        if (index < 0 || index >= _types.size()) return false;
        extension = _types.takeAt(index).title();
    }
    // The entry is gone before the model looks for another category still listing it.
    if (model) model->noteExtensionRemovedFromCategory(extension, shared_from_this());
    return true;
}

bool QVFileCategory::removeObjectFromTypes(const QVFileCategoryType& type) {
    std::shared_ptr<QVFileCategories> model;
    const auto modelLock = lockModel(model);
    {
        std::lock_guard guard(_mutex);
        const auto found = std::find_if(_types.begin(), _types.end(), [&](const QVFileCategoryType& entry) {
            return entry.title() == type.title();
        });
        if (found == _types.end()) return false;
        _types.erase(found);
    }
    if (model) model->noteExtensionRemovedFromCategory(type.title(), shared_from_this());
    return true;
}

bool QVFileCategory::replaceObjectInTypesAtIndex(int index, const QString& extension) {
    return replaceObjectInTypesAtIndex(index, QVFileCategoryType(extension, shared_from_this()));
}

bool QVFileCategory::replaceObjectInTypesAtIndex(int index, const QVFileCategoryType& type) {
    std::shared_ptr<QVFileCategories> model;
    const auto modelLock = lockModel(model);
    QString old;
    {
        std::lock_guard guard(_mutex);
        if (index < 0 || index >= _types.size()) return false;
        old = _types[index].title();
        _types[index] = QVFileCategoryType(type.title(), shared_from_this());
    }
    if (model) {
        model->noteExtensionRemovedFromCategory(old, shared_from_this());
        model->noteExtensionAddedToCategory(type.title(), shared_from_this());
    }
    return true;
}

int QVFileCategory::compare(const QVFileCategory& other) const {
    if (&other == this) return 0;
    const QString mine = title();
    const QString theirs = other.title();
    return mine.compare(theirs, Qt::CaseInsensitive);
}
