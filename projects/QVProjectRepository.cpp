// The list of known projects and projects.plist in its current and older forms.
#include "projects/QVProjectRepository.h"

#include "platform/AppBundle.h"
#include "platform/FileName.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"
#include "platform/SystemLog.h"
#include "projects/QVProject.h"
#include "shell/Defaults.h"
#include "shell/FileManagerUtilities.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {

std::unique_ptr<QVProjectRepository>& shared() {
    static std::unique_ptr<QVProjectRepository> instance;
    return instance;
}

const QString CurrentFormat = QStringLiteral("3.0");

}  // namespace

QVProjectRepository& QVProjectRepository::sharedInstance() {
    if (!shared()) shared() = std::make_unique<QVProjectRepository>();
    return *shared();
}

QVProjectRepository* QVProjectRepository::sharedInstanceIfMade() { return shared().get(); }

void QVProjectRepository::resetSharedInstance() { shared().reset(); }

QVProjectRepository::QVProjectRepository() = default;
QVProjectRepository::~QVProjectRepository() = default;

QString QVProjectRepository::projectsPlistPath() {
    return Defaults::appSupportPathForFile(QStringLiteral("projects.plist"), QStringLiteral("data"));
}

QString QVProjectRepository::key(const QString& path) { return path.isEmpty() ? path : QDir::cleanPath(path); }

// --- Reading --------------------------------------------------------------------------------

void QVProjectRepository::loadIfNeeded() {
    if (!_read) loadProjects();
}

void QVProjectRepository::moveAside(const QString& path, const QString& why) {
    const QString aside = FileManagerUtilities::pathForCopyOfFile(path + QStringLiteral(".") + why, QString());
    const bool moved = QFile::rename(path, aside);
    const QString what = moved ? QVLocalized(QStringLiteral("The list of projects %1 was moved to %2 (%3).")).arg(path, aside, why)
                               : QVLocalized(QStringLiteral("The list of projects %1 could not be moved aside (%2).")).arg(path, why);
    SystemLog::warning(what);
    _readNotice = QVError::app(1, QVLocalized(QStringLiteral("The list of projects was set aside")), what);
    _readNotice.setUserInfoValue(QVFilePathErrorKey, moved ? aside : path);
}

void QVProjectRepository::loadProjects() {
    _read = true;
    _loading = true;
    clearRows();
    _pathToProject.clear();
    bool rewrite = false;
    const QString path = projectsPlistPath();
    const QString siteList = Defaults::appSupportPathForFile(QStringLiteral("site_list.plist"), QStringLiteral("data"));
    if (QFileInfo::exists(path)) {
        QVError error;
        const QVariant plist = PropertyList::readFile(path, &error);
        const QVariant projects = plist.toMap().value(QStringLiteral("Projects"));
        if (plist.typeId() != QMetaType::QVariantMap || (projects.isValid() && projects.typeId() != QMetaType::QVariantList)) {
            // The next change would write an empty list over it.
            moveAside(path, QStringLiteral("unreadable"));
        } else {
            const QString format = plist.toMap().value(QStringLiteral("FormatVersion")).toString();
            const QVariantList entries = projects.toList();
            int unusable = 0;
            if (format == QLatin1String("1.0")) readVersionOne(entries);
            else if (format == QLatin1String("2.0")) readVersionTwo(entries);
            else unusable = readCurrent(entries);
            rewrite = format == QLatin1String("1.0") || format == QLatin1String("2.0");
            // The older form stays beside the new list: what it holds that cannot be read here
            // (alias records) is not lost.
            if (rewrite) moveAside(path, QStringLiteral("v") + format);
            // So do entries that cannot be used, which the next write would drop for good.
            if (unusable > 0) {
                moveAside(path, QStringLiteral("unusable"));
                rewrite = true;
            }
        }
    } else if (QFileInfo::exists(siteList)) {
        const QVariant plist = PropertyList::readFile(siteList);
        if (plist.typeId() == QMetaType::QVariantList) {
            readSiteList(plist.toList());
            rewrite = true;
        } else {
            SystemLog::warning(QStringLiteral("The site list %1 could not be read").arg(siteList));
        }
    }
    _loading = false;
    if (std::exchange(_rewriteAfterReading, false)) rewrite = true;
    if (rewrite) commit();
}

int QVProjectRepository::readCurrent(const QVariantList& entries) {
    const bool shared = Defaults::useSharedProjectLocation();
    int unusable = 0;
    for (const QVariant& item : entries) {
        if (item.typeId() != QMetaType::QVariantMap) {
            ++unusable;
            continue;
        }
        const QVariantMap entry = item.toMap();
        const QString uuid = entry.value(QStringLiteral("uuid")).toString();
        const bool validUUID = QVProject::isUUIDString(uuid);
        const QString sharedCopy = QVProject::sharedProjectsFolder() + QLatin1Char('/') + uuid.toUpper() + QStringLiteral(".qvproj");
        QVariant path = entry.value(QStringLiteral("path"));
        // A folder whose name is not UTF-8 is listed by its bytes too (the text is only shown).
        if (const QVariant bytes = entry.value(QStringLiteral("pathBytes")); bytes.typeId() == QMetaType::QByteArray)
            path = FileName::decode(bytes.toByteArray());
        const bool hasPath = path.typeId() == QMetaType::QString && QDir::isAbsolutePath(path.toString());
        // With its folder known, a project reads its file (the shared copy first) when it is
        // first shown: a long list opens without reading every project.
        if (shared && validUUID && !hasPath && QFileInfo::exists(sharedCopy)) {
            std::shared_ptr<QVProject> project = QVProject::createWithProjectFile(sharedCopy);
            if (project->readError().isNull() || !project->rootDirectory().isEmpty() || !project->displayName().isEmpty()) {
                if (project->setUUID(uuid) && project->assignedUUID() != uuid.toUpper()) _rewriteAfterReading = true;
                append(project);
                continue;
            }
        }
        // "alias" records are macOS's; only the stored path leads to the folder here.
        if (!hasPath) {
            ++unusable;
            continue;
        }
        std::shared_ptr<QVProject> project = QVProject::createWithRootDirectory(path.toString());
        // A second folder listed with an identifier already taken gets a fresh one (the list is
        // written again once read).
        if (validUUID && project->setUUID(uuid) && project->assignedUUID() != uuid.toUpper()) _rewriteAfterReading = true;
        append(project);
    }
    return unusable;
}

void QVProjectRepository::readVersionOne(const QVariantList& entries) {
    for (const QVariant& item : entries)
        if (item.typeId() == QMetaType::QVariantMap) {
            std::shared_ptr<QVProject> project = QVProject::createWithRepositoryRepresentation(item.toMap());
            if (!project->rootDirectory().isEmpty() || !project->displayName().isEmpty()) append(project);
        }
}

void QVProjectRepository::readVersionTwo(const QVariantList& entries) {
    // Every entry is an alias record, which nothing here can resolve: each is dropped, and the
    // old file is kept aside.
    if (!entries.isEmpty())
        SystemLog::warning(QStringLiteral("%1 project aliases of an older list cannot be resolved here").arg(entries.size()));
}

void QVProjectRepository::readSiteList(const QVariantList& entries) {
    for (const QVariant& item : entries) {
        const QVariantMap entry = item.toMap();
        const QVariant path = entry.value(QStringLiteral("Path"));
        if (path.typeId() != QMetaType::QString || !QDir::isAbsolutePath(path.toString())) continue;
        const QVariant name = entry.value(QStringLiteral("DisplayName"));
        append(QVProject::createWithRootDirectory(path.toString(), name.typeId() == QMetaType::QString ? name.toString() : QString()));
    }
}

void QVProjectRepository::append(const std::shared_ptr<QVProject>& project) {
    // One folder, one project: a second entry on a listed folder is dropped.
    if (!project->rootDirectory().isEmpty() && _pathToProject.contains(key(project->rootDirectory()))) return;
    insertRow(_projects.size(), project);
    enter(project);
}

void QVProjectRepository::insertRow(qsizetype row, const std::shared_ptr<QVProject>& project) {
    _projects.insert(row, project);
    indexUUID(project.get());
}

std::shared_ptr<QVProject> QVProjectRepository::takeRow(qsizetype row) {
    std::shared_ptr<QVProject> project = _projects.takeAt(row);
    unindexUUID(project.get());
    return project;
}

void QVProjectRepository::clearRows() {
    _projects.clear();
    _listedByUUID.clear();
    _indexedUUID.clear();
}

void QVProjectRepository::indexUUID(const QVProject* project) {
    const QString& uuid = project->assignedUUID();
    _indexedUUID.insert(project, uuid);
    if (!uuid.isEmpty()) _listedByUUID.insert(uuid, project);
}

void QVProjectRepository::unindexUUID(const QVProject* project) {
    const auto it = _indexedUUID.find(project);
    if (it == _indexedUUID.end()) return;
    if (!it->isEmpty()) _listedByUUID.remove(*it, project);
    _indexedUUID.erase(it);
}

void QVProjectRepository::projectUUIDChanged(const QVProject* project) {
    if (!_indexedUUID.contains(project)) return;
    unindexUUID(project);
    indexUUID(project);
}

void QVProjectRepository::enter(const std::shared_ptr<QVProject>& project) {
    if (project->rootDirectory().isEmpty()) return;
    _pathToProject.insert(key(project->rootDirectory()), project);
    _liveProjects.remove(key(project->rootDirectory()));
}

// --- Lookup ---------------------------------------------------------------------------------

std::shared_ptr<QVProject> QVProjectRepository::copyProjectWithPath(const QString& path, bool create) {
    loadIfNeeded();
    if (path.isEmpty()) return nullptr;
    const QFileInfo info(FileName::absolute(path));
    const bool isProjectFile = info.suffix() == QVProject::FileExtension && !FileName::isFolder(path);
    const QString folder = key(isProjectFile ? info.absolutePath() : info.absoluteFilePath());
    std::shared_ptr<QVProject> project = _pathToProject.value(folder);
    if (!project) project = _liveProjects.value(folder).lock();
    if (!project) {
        if (!create) return nullptr;
        project = isProjectFile ? QVProject::createWithProjectFile(info.absoluteFilePath()) : QVProject::createWithRootDirectory(folder);
        // A shared copy names its folder inside: that folder's project, when there is one, is
        // the answer, and the shared folder itself is never a project.
        const QString root = key(project->rootDirectory());
        if (folder == key(QVProject::sharedProjectsFolder()) && root.isEmpty()) return nullptr;
        if (!root.isEmpty() && root != folder) {
            if (std::shared_ptr<QVProject> known = _pathToProject.value(root) ? _pathToProject.value(root) : _liveProjects.value(root).lock())
                return known;
        }
        if (root.isEmpty()) project->setRootDirectory(folder);
        _liveProjects.insert(key(project->rootDirectory()), project);
    }
    if (!project->loadIfNecessary() && create && !project->isReadOnly()) {
        // No readable copy (an unreadable one is aside by now): this project's file is new.
        project->commit(true);
        NotificationCenter::defaultCenter().post(ProjectCreatedNotification, project.get());
    }
    return project;
}

std::shared_ptr<QVProject> QVProjectRepository::projectForRootDirectory(const QString& path) {
    loadIfNeeded();
    return _pathToProject.value(key(path));
}

// --- The list -------------------------------------------------------------------------------

qsizetype QVProjectRepository::addProject(const std::shared_ptr<QVProject>& project) {
    loadIfNeeded();
    if (!project) return NotFound;
    if (std::shared_ptr<QVProject> listed = _pathToProject.value(key(project->rootDirectory())); listed && !project->rootDirectory().isEmpty())
        return _projects.indexOf(listed);
    if (const qsizetype row = _projects.indexOf(project); row >= 0) return row;
    insertRow(0, project);
    enter(project);
    commit();
    return 0;
}

qsizetype QVProjectRepository::insertProjectSorted(const std::shared_ptr<QVProject>& project, bool ascending) {
    loadIfNeeded();
    if (!project) return NotFound;
    if (std::shared_ptr<QVProject> listed = _pathToProject.value(key(project->rootDirectory())); listed && !project->rootDirectory().isEmpty())
        return _projects.indexOf(listed);
    if (const qsizetype row = _projects.indexOf(project); row >= 0) return row;
    qsizetype row = 0;
    project->loadIfNecessary();
    for (; row < _projects.size(); ++row) {
        _projects.at(row)->loadIfNecessary();
        const int c = project->compare(*_projects.at(row));
        if (ascending ? c != 1 : c != -1) break;
    }
    insertRow(row, project);
    enter(project);
    commit();
    return row;
}

qsizetype QVProjectRepository::countOfProjects() {
    loadIfNeeded();
    return _projects.size();
}

std::shared_ptr<QVProject> QVProjectRepository::projectAtIndex(qsizetype row) {
    loadIfNeeded();
    return row >= 0 && row < _projects.size() ? _projects.at(row) : nullptr;
}

qsizetype QVProjectRepository::indexOfProject(const QVProject& project) {
    loadIfNeeded();
    for (qsizetype row = 0; row < _projects.size(); ++row)
        if (_projects.at(row).get() == &project) return row;
    for (qsizetype row = 0; row < _projects.size(); ++row)
        if (_projects.at(row)->loadIfNecessary(), _projects.at(row)->isEqual(project)) return row;
    return NotFound;
}

bool QVProjectRepository::moveProjectFromIndex(qsizetype from, qsizetype to) {
    loadIfNeeded();
    if (from < 0 || from >= _projects.size() || to < 0 || to > _projects.size()) return false;
    std::shared_ptr<QVProject> project = takeRow(from);
    insertRow(from < to ? to - 1 : to, project);
    commit();
    return true;
}

bool QVProjectRepository::removeProjectAtIndex(qsizetype row) {
    loadIfNeeded();
    if (row < 0 || row >= _projects.size()) return false;
    std::shared_ptr<QVProject> project = takeRow(row);
    const QString folder = key(project->rootDirectory());
    if (_pathToProject.value(folder) == project) {
        _pathToProject.remove(folder);
        // Still the folder's project for whoever has it open.
        _liveProjects.insert(folder, project);
    }
    commit();
    return true;
}

void QVProjectRepository::sortProjects(bool ascending) {
    loadIfNeeded();
    for (const auto& project : _projects) project->loadIfNecessary();
    std::stable_sort(_projects.begin(), _projects.end(), [ascending](const auto& a, const auto& b) {
        return ascending ? a->compare(*b) < 0 : a->compare(*b) > 0;
    });
    commit();
}

QList<std::shared_ptr<QVProject>> QVProjectRepository::remoteProjects() {
    loadIfNeeded();
    QList<std::shared_ptr<QVProject>> remote;
    for (const auto& project : _projects)
        if (project->loadIfNecessary(), project->hasRemoteEquivalent()) remote.append(project);
    return remote;
}

bool QVProjectRepository::anotherFolderHoldsUUID(const QString& uuid, const QVProject* project) const {
    const QString folder = key(project->rootDirectory());
    const auto holds = [&](const QVProject* other) {
        ++_projectsExamined;
        return other && other != project && other->assignedUUID() == uuid && key(other->rootDirectory()) != folder;
    };
    for (auto it = _listedByUUID.constFind(uuid); it != _listedByUUID.cend() && it.key() == uuid; ++it)
        if (holds(*it)) return true;
    for (const std::weak_ptr<QVProject>& live : _liveProjects)
        if (std::shared_ptr<QVProject> open = live.lock(); holds(open.get())) return true;
    return false;
}

void QVProjectRepository::projectDetailsChanged(QVProject*) {
    if (!_committing) commit();
}

void QVProjectRepository::projectRootDirectoryChanged(QVProject* project, const QString& oldPath) {
    const QString oldKey = key(oldPath), newKey = key(project->rootDirectory());
    for (auto* map : {&_pathToProject}) {
        auto it = map->find(oldKey);
        if (it == map->end() || it->get() != project) continue;
        std::shared_ptr<QVProject> held = *it;
        map->erase(it);
        if (!newKey.isEmpty()) map->insert(newKey, held);
        commit();
        return;
    }
    auto live = _liveProjects.find(oldKey);
    if (live != _liveProjects.end() && live->lock().get() == project) {
        std::weak_ptr<QVProject> held = *live;
        _liveProjects.erase(live);
        if (!newKey.isEmpty()) _liveProjects.insert(newKey, held);
    }
}

bool QVProjectRepository::commit(QVError* error) {
    // Writing before reading would put an empty list over the user's.
    loadIfNeeded();
    if (_loading) {
        qvSetError(error, QVError::app(1, QVLocalized(QStringLiteral("The list of projects is being read"))));
        return false;
    }
    QVariantList entries;
    const bool wasCommitting = std::exchange(_committing, true);
    for (const auto& project : _projects) {
        QVariantMap entry;
        entry.insert(QStringLiteral("uuid"), project->uuid());
        const QString root = project->rootDirectory();
        if (!root.isEmpty()) entry.insert(QStringLiteral("path"), FileName::displayed(root));
        if (FileName::hasEscapes(root)) entry.insert(QStringLiteral("pathBytes"), FileName::encode(root));
        entries.append(entry);
    }
    _committing = wasCommitting;
    const QVariantMap plist{{QStringLiteral("FormatVersion"), CurrentFormat}, {QStringLiteral("Projects"), entries}};
    const QString path = projectsPlistPath();
    QVError failure;
    if (!FileManagerUtilities::ensureDirectoryExists(QFileInfo(path).absolutePath()))
        failure = QVError::posix(errno ? errno : EACCES, QStringLiteral("mkdir"), QFileInfo(path).absolutePath());
    else if (PropertyList::writeFile(plist, path, PlistFormat::Binary, &failure))
        return true;
    SystemLog::warning(QStringLiteral("The list of projects was not saved: %1").arg(failure.localizedDescription()));
    qvSetError(error, failure);
    return false;
}
