#include "tools/QVOperationRepository.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace {
// Deeper than any folder of operations a user makes; stops a loop of linked folders.
constexpr int MaxDepth = 16;
}

std::shared_ptr<QVOperation> QVOperationRepository::createOperationForPath(const QString& path) {
    return std::make_shared<QVOperation>(path);
}

bool QVOperationRepository::reload(bool force) {
    if (!force && _loaded) return false;
    _operations.clear();
    const QString source = sourcePath();
    if (usesSingleConfigurationFile()) loadFromConfigurationFile(source);
    else if (!source.isEmpty()) loadFolder(source, _operations, 0);
    _loaded = true;
    return true;
}

void QVOperationRepository::loadFolder(const QString& folder, QList<std::shared_ptr<QVOperation>>& into, int depth) {
    if (depth > MaxDepth) return;
    const QDir dir(folder);
    // Hidden names (".DS_Store", editors' backups) are never operations.
    const QStringList names = dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System, QDir::NoSort);
    for (const QString& name : names) {
        if (name.isEmpty() || name.startsWith(QLatin1Char('.'))) continue;
        const QString path = dir.filePath(name);
        std::shared_ptr<QVOperation> operation = createOperationForPath(path);
        if (!operation) continue;
        if (operation->isDirectory()) {
            QList<std::shared_ptr<QVOperation>> children;
            loadFolder(path, children, depth + 1);
            operation->setChildren(children);
        }
        into.append(operation);
    }
}

void QVOperationRepository::collect(const QList<std::shared_ptr<QVOperation>>& operations, QList<MenuItemRep>& into) {
    for (const auto& operation : operations) {
        QList<MenuItemRep> reps = operation->menuItemRepresentations();
        if (!operation->children().isEmpty() && !reps.isEmpty()) {
            QList<MenuItemRep> sub;
            collect(operation->children(), sub);
            reps.first().setSubmenuReps(sub);
        }
        into.append(reps);
    }
}

QList<MenuItemRep> QVOperationRepository::menuItemRepresentations() {
    QList<MenuItemRep> reps;
    collect(_operations, reps);
    if (sortsItemsByTitle()) std::stable_sort(reps.begin(), reps.end(), MenuItemRep::titleLessThan);
    return reps;
}

bool QVOperationRepository::commit(QVError* error) {
    bool all = true;
    for (const auto& operation : _operations) {
        QVError failure;
        if (!operation->commit(&failure)) {
            if (all && error) *error = failure;
            all = false;
        }
    }
    return all;
}

bool QVOperationRepository::insertObjectInOperationsAtIndex(const std::shared_ptr<QVOperation>& operation,
                                                            qsizetype index, QVError* error) {
    Q_UNUSED(error)
    if (!operation) return false;
    _operations.insert(std::clamp<qsizetype>(index, 0, _operations.size()), operation);
    return true;
}

bool QVOperationRepository::removeObjectFromOperationsAtIndex(qsizetype index, QVError* error) {
    Q_UNUSED(error)
    if (index < 0 || index >= _operations.size()) return false;
    _operations.removeAt(index);
    return true;
}

bool QVOperationRepository::replaceObjectInOperationsAtIndex(qsizetype index, const std::shared_ptr<QVOperation>& operation,
                                                             QVError* error) {
    if (!removeObjectFromOperationsAtIndex(index, error)) return false;
    return insertObjectInOperationsAtIndex(operation, index, error);
}
