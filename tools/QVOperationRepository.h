// A tree of file-backed operations loaded from a source folder (or one configuration file):
// the list behind a menu of operations and the Tidy window. Subclasses choose the source, the
// operation class, sorting and placement in the menu. The menu itself is filled on the main
// thread by QVOperationMenus from menuItemRepresentations().
#pragma once

#include "tools/QVOperation.h"

#include <QList>
#include <QString>

#include <memory>

class QVOperationRepository {
public:
    virtual ~QVOperationRepository() = default;

    // --- Override points ---------------------------------------------------------------------
    // The folder (or file) to load; empty: nothing.
    virtual QString sourcePath() const { return {}; }
    virtual std::shared_ptr<QVOperation> createOperationForPath(const QString& path);
    virtual bool usesSingleConfigurationFile() const { return false; }
    virtual void loadFromConfigurationFile(const QString& path) { Q_UNUSED(path) }
    virtual bool sortsItemsByTitle() const { return false; }
    virtual bool addsItemsAtBeginning() const { return true; }

    // Loads the list when forced or when nothing is loaded yet; answers whether it read the disk.
    bool reload(bool force);
    bool isLoaded() const { return _loaded; }
    // The menu items of every operation in order, a folder's children as the submenu of its
    // first item; sorted by title when the repository sorts.
    QList<MenuItemRep> menuItemRepresentations();

    // Asks every operation to commit (none skipped); true only if all succeeded. error holds
    // the first failure.
    bool commit(QVError* error = nullptr);

    // --- The list ----------------------------------------------------------------------------
    const QList<std::shared_ptr<QVOperation>>& operations() const { return _operations; }
    qsizetype countOfOperations() const { return _operations.size(); }
    std::shared_ptr<QVOperation> objectInOperationsAtIndex(qsizetype index) const { return _operations.at(index); }
    // Subclasses hook these (the Tidy list writes and deletes files); false: nothing changed.
    virtual bool insertObjectInOperationsAtIndex(const std::shared_ptr<QVOperation>& operation, qsizetype index,
                                                 QVError* error = nullptr);
    virtual bool removeObjectFromOperationsAtIndex(qsizetype index, QVError* error = nullptr);
    // Removes the operation at index, then inserts the replacement there.
    virtual bool replaceObjectInOperationsAtIndex(qsizetype index, const std::shared_ptr<QVOperation>& operation,
                                          QVError* error = nullptr);

protected:
    // The list as loading builds it, for loadFromConfigurationFile().
    QList<std::shared_ptr<QVOperation>>& mutableOperations() { return _operations; }

private:
    void loadFolder(const QString& folder, QList<std::shared_ptr<QVOperation>>& into, int depth);
    static void collect(const QList<std::shared_ptr<QVOperation>>& operations, QList<MenuItemRep>& into);

    QList<std::shared_ptr<QVOperation>> _operations;
    bool _loaded = false;
};
