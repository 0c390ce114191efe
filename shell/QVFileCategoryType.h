// One extension of a file category, with a weak reference back to the category that holds it.
#pragma once

#include <QString>

#include <memory>

class QVFileCategory;

class QVFileCategoryType {
public:
    QVFileCategoryType() = default;
    QVFileCategoryType(const QString& title, const std::shared_ptr<QVFileCategory>& parent)
        : _title(title), _parent(parent) {}
    static QVFileCategoryType typeWithTitle(const QString& title,
                                            const std::shared_ptr<QVFileCategory>& parent) {
        return QVFileCategoryType(title, parent);
    }

    const QString& title() const { return _title; }
    // The category holding the entry; null once that category is gone.
    std::shared_ptr<QVFileCategory> parent() const { return _parent.lock(); }

    // Titles compared case-insensitively: negative, zero or positive.
    int compare(const QVFileCategoryType& other) const {
        return _title.compare(other._title, Qt::CaseInsensitive);
    }

private:
    QString _title;
    std::weak_ptr<QVFileCategory> _parent;
};
