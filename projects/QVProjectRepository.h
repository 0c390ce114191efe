// The one list of the projects the user knows, in the order the project manager shows them, kept
// in data/projects.plist of the application-support folder. It hands out the project of a
// folder or project file: a folder has one live QVProject however it is reached, listed or not.
//
// The list is read on first use (every operation reads it first). A projects.plist that cannot
// be read, or one in an older form that is rewritten, is first moved aside beside itself, so
// nothing the user had is lost. Every change writes the list at once.
#pragma once

#include "platform/QVError.h"

#include <QHash>
#include <QList>
#include <QString>

#include <memory>

class QVProject;

class QVProjectRepository {
public:
    // Posted with the new project as object (a project made for a new folder, or by a settings
    // window or the open-remote panel).
    static inline const QString ProjectCreatedNotification = QStringLiteral("QVProjectCreatedNotification");
    // Posted with the project as object when its details were edited.
    static inline const QString ProjectEditedNotification = QStringLiteral("QVProjectEditedNotification");
    static constexpr qsizetype NotFound = -1;

    static QVProjectRepository& sharedInstance();
    // The shared list when it has been made (a project asks without making it).
    static QVProjectRepository* sharedInstanceIfMade();
    // Forgets the shared list (tests: the next use reads projects.plist again).
    static void resetSharedInstance();

    QVProjectRepository();
    ~QVProjectRepository();

    // The project of a folder, or of a project file (its folder is the key). A listed or live
    // project is handed out as it is. Otherwise, with create, a new one is made; when no copy of
    // its project file can be read it is written at once and ProjectCreatedNotification is
    // posted. The list itself does not change. Null without create for an unknown folder.
    std::shared_ptr<QVProject> copyProjectWithPath(const QString& path, bool create = true);

    // At the top; a project whose root folder is listed answers that row and changes nothing.
    qsizetype addProject(const std::shared_ptr<QVProject>& project);
    // Before the first row it does not come after (equals: before them).
    qsizetype insertProjectSorted(const std::shared_ptr<QVProject>& project, bool ascending);
    qsizetype countOfProjects();
    // Null for a row out of range.
    std::shared_ptr<QVProject> projectAtIndex(qsizetype row);
    // By isEqual; NotFound when absent.
    qsizetype indexOfProject(const QVProject& project);
    // The listed project of the root folder (none: null).
    std::shared_ptr<QVProject> projectForRootDirectory(const QString& path);
    // to counts rows before the removal; rows out of range change nothing (false).
    bool moveProjectFromIndex(qsizetype from, qsizetype to);
    // The project's files stay on disk. A row out of range changes nothing (false).
    bool removeProjectAtIndex(qsizetype row);
    void sortProjects(bool ascending);
    // The listed projects with a remote site, in list order.
    QList<std::shared_ptr<QVProject>> remoteProjects();
    // Whether a listed or open project of another folder than project's holds the identifier.
    // Listed projects are found through an index by identifier, so reading a long list (each
    // entry asks this) stays linear.
    bool anotherFolderHoldsUUID(const QString& uuid, const QVProject* project) const;
    // A project's identifier was assigned: the index follows when it is listed.
    void projectUUIDChanged(const QVProject* project);
    // How many projects anotherFolderHoldsUUID has looked at so far (tests count the work).
    qint64 projectsExaminedForUUIDs() const { return _projectsExamined; }
    // A project made its identifier: the list is saved.
    void projectDetailsChanged(QVProject* project);
    // A listed project's root folder changed: its key follows.
    void projectRootDirectoryChanged(QVProject* project, const QString& oldPath);
    // Writes projects.plist (binary) from the list; reads the list first when it has not been.
    // False (error says why) when the write failed or the list is being read.
    bool commit(QVError* error = nullptr);
    // What reading the list moved aside or could not read; null when nothing.
    const QVError& readNotice() const { return _readNotice; }

    // Where the list lives.
    static QString projectsPlistPath();

private:
    void loadIfNeeded();
    void loadProjects();
    // Answers how many entries could not be used (no absolute path, another type).
    int readCurrent(const QVariantList& entries);
    void readVersionOne(const QVariantList& entries);
    void readVersionTwo(const QVariantList& entries);
    void readSiteList(const QVariantList& entries);
    void append(const std::shared_ptr<QVProject>& project);
    void enter(const std::shared_ptr<QVProject>& project);
    // Every change to the rows goes through these, which keep the identifier index.
    void insertRow(qsizetype row, const std::shared_ptr<QVProject>& project);
    std::shared_ptr<QVProject> takeRow(qsizetype row);
    void clearRows();
    void indexUUID(const QVProject* project);
    void unindexUUID(const QVProject* project);
    void moveAside(const QString& path, const QString& why);
    static QString key(const QString& path);

    QList<std::shared_ptr<QVProject>> _projects;
    // Listed projects by the identifier they had when last indexed, and that identifier.
    QMultiHash<QString, const QVProject*> _listedByUUID;
    QHash<const QVProject*, QString> _indexedUUID;
    mutable qint64 _projectsExamined = 0;
    bool _read = false;
    QHash<QString, std::shared_ptr<QVProject>> _pathToProject;
    // Projects handed out but not listed, so a second lookup finds the same object.
    QHash<QString, std::weak_ptr<QVProject>> _liveProjects;
    bool _loading = false;
    bool _rewriteAfterReading = false;  // an identifier read was replaced
    bool _committing = false;  // a project making its identifier while the list is written
    QVError _readNotice;
};
