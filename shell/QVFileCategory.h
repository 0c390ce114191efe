// One named file category: a title, its list of extensions and an opaque drag setting.
#pragma once

#include "shell/QVFileCategoryType.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <memory>
#include <mutex>

class QVFileCategories;

// A category belongs to at most one model, fixed when it is made. Edits tell that model which
// extensions were added or removed, so its extension map follows; a category the model no longer
// lists (removed, or a detached copy) may still be edited but never claims an extension there.
// Every method may be called from any thread: edits take the model's lock first, then the
// category's own.
class QVFileCategory : public std::enable_shared_from_this<QVFileCategory> {
public:
    // From a store definition ("types": array of extensions, kept in the store's order;
    // "insertWhenDragged": dictionary kept as it is). Strings only: other elements are skipped.
    static std::shared_ptr<QVFileCategory> create(const QString& title,
                                                  const QVariantMap& definition = {},
                                                  const std::weak_ptr<QVFileCategories>& model = {});
    // A detached copy made from the title and the store form; it belongs to no model.
    std::shared_ptr<QVFileCategory> copy() const;

    QString title() const;
    void setTitle(const QString& title);
    QList<QVFileCategoryType> types() const;
    QStringList typeTitles() const;
    QVariantMap insertWhenDragged() const;
    // {"types": [...]} plus "insertWhenDragged" when the category has one.
    QVariantMap plistRepresentation() const;

    // Inserts the extension before the first entry that sorts after it (case-insensitively), or
    // at the end, and answers the new entry. The same extension may be listed twice.
    QVFileCategoryType addType(const QString& extension);

    // List access for the preferences editor. Indexes out of range change nothing and answer false.
    int countOfTypes() const;
    // The entry at index; an empty entry (no title, no parent) out of range.
    QVFileCategoryType objectInTypesAtIndex(int index) const;
    // An entry of another category is taken as this category's own.
    bool insertObject(const QVFileCategoryType& type, int index);
    bool insertObject(const QString& extension, int index);
    bool removeObjectFromTypesAtIndex(int index);
    // The first entry with the same title; false when there is none.
    bool removeObjectFromTypes(const QVFileCategoryType& type);
    bool replaceObjectInTypesAtIndex(int index, const QVFileCategoryType& type);
    bool replaceObjectInTypesAtIndex(int index, const QString& extension);

    // Titles compared case-insensitively: negative, zero or positive.
    int compare(const QVFileCategory& other) const;

    QVFileCategory(const QVFileCategory&) = delete;
    QVFileCategory& operator=(const QVFileCategory&) = delete;

private:
    friend class QVFileCategories;
    QVFileCategory(const QString& title, const QVariantMap& insertWhenDragged,
                   const std::weak_ptr<QVFileCategories>& model);

    // The model's lock when the model still exists (taken before the category's own).
    std::unique_lock<std::recursive_mutex> lockModel(std::shared_ptr<QVFileCategories>& model) const;
    bool containsType(const QString& extension) const;

    const std::weak_ptr<QVFileCategories> _model;
    mutable std::mutex _mutex;  // guards the fields below
    QString _title;
    QVariantMap _insertWhenDragged;
    QList<QVFileCategoryType> _types;
};
