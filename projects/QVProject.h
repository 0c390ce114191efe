// One project: a local root folder, a remote site, or both, with its names, settings, the
// settings of its files, its project file, the connection to its site and the Subversion
// controller of its folder. Used on the main thread; only the remote queue's callbacks come from
// another thread, and each is handed to the main thread before anything happens.
//
// Projects are shared objects: ask the list of known projects (QVProjectRepository) for the
// project of a folder or project file, so one folder has one live QVProject however it is
// reached. Setting changes are written to the project file 0.5 s after the last of a burst
// (commit(false)); a pending write is flushed on close() and when the application quits.
#pragma once

#include "files/QVProjectRemoteConfiguration.h"
#include "platform/MainQueue.h"
#include "platform/QVError.h"
#include "projects/QVProjectDelegate.h"

#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

#include <atomic>
#include <functional>
#include <memory>

class QVProjectSCMController;
class QVRemoteSiteQueue;
class QVRootFile;

class QVProject : public std::enable_shared_from_this<QVProject> {
    struct Passkey {};

public:
    enum Type : qint32 { Local = 0, RemoteOnly = 1, LocalAndRemote = 2 };

    // Project-wide settings kept by the project itself; other parts keep further keys.
    static inline const QString OpenFilesKey = QStringLiteral("QVOpenFiles");
    static inline const QString ConnectAutomaticallyKey = QStringLiteral("QVConnectAutomaticallyKey");
    static inline const QString UploadAutomaticallyKey = QStringLiteral("QVUploadAutomaticallyKey");
    static inline const QString RemotePreviewURLKey = QStringLiteral("QVRemotePreviewURL");
    static inline const QString FileExtension = QStringLiteral("qvproj");
    static constexpr int CommitDelayMilliseconds = 500;

    // Makes the Subversion controller of a project with a root folder (registered by the
    // Subversion subsystem; without a factory a project has none).
    using SCMControllerFactory = std::function<std::unique_ptr<QVProjectSCMController>(QVProject& project)>;
    static void setSCMControllerFactory(SCMControllerFactory factory);

    // A new project: open files empty, connect and upload automatically on; no save scheduled.
    static std::shared_ptr<QVProject> create();
    // A project read from the project file at path. A root-folder copy's folder is the root,
    // whatever the file says (the folder may have moved). A file that cannot be read leaves the
    // project as new, and readError() says why.
    static std::shared_ptr<QVProject> createWithProjectFile(const QString& path);
    static std::shared_ptr<QVProject> createWithRootDirectory(const QString& path, const QString& displayName = {});
    // One entry of the oldest list of known projects: "DisplayName", "RootDirectory" and the
    // boolean "HasRemoteEquivalent".
    static std::shared_ptr<QVProject> createWithRepositoryRepresentation(const QVariantMap& entry);

    // The local folder of a new remote-only project: ~/Sites/Qorvel/<name>, the name made of
    // the display name (camel-cased when it holds blanks) as one safe file name. A folder that
    // exists and belongs to another project (or to none) is not taken: the next "<name> N" is.
    // Empty (error says why) when the folder cannot be made.
    static QString projectDirectoryForProject(const std::shared_ptr<QVProject>& project, QVError* error = nullptr);
    // The text as one file name: "/" becomes "-", NUL and control characters go, blanks at
    // both ends go, at most 255 UTF-8 bytes; "", "." and ".." give "".
    static QString safeFileName(const QString& text);
    // Whether the text is a UUID in the 8-4-4-4-12 hexadecimal form.
    static bool isUUIDString(const QString& text);

    explicit QVProject(Passkey);
    ~QVProject();
    QVProject(const QVProject&) = delete;
    QVProject& operator=(const QVProject&) = delete;

    // --- Names and identity ------------------------------------------------------------------
    const QString& displayName() const { return _displayName; }
    // The first name given is kept as the original display name (the root-folder copy's name).
    void setDisplayName(const QString& name);
    const QString& originalDisplayName() const { return _originalDisplayName; }
    const QString& rootDirectory() const { return _rootDirectory; }
    // A new folder drops the file tree and the Subversion controller; a project without a name
    // takes the folder's name without its extension. The list of known projects re-keys a
    // listed project.
    void setRootDirectory(const QString& path);
    // Made on first request (the list of known projects is then saved).
    QString uuid();
    // Only a UUID-shaped identifier is taken (it names the shared project file); false when not.
    // One already held by a listed or open project of another folder is not: two folders with
    // one identifier would share one project file, so this project gets a fresh one instead.
    bool setUUID(const QString& uuid);
    // The identifier without making one (empty when none is set yet).
    const QString& assignedUUID() const { return _uuid; }
    // Same object, or same type, display name, root folder (when both have one) and site.
    bool isEqual(const QVProject& other) const;
    // Case-insensitive order of the display names: -1, 0 or 1.
    int compare(const QVProject& other) const;

    // --- Type, state, tree ---------------------------------------------------------------------
    qint32 type() const { return _type; }
    void setType(qint32 type);
    bool isOpen() const { return _open; }
    void setIsOpen(bool open);
    // The root node of the file tree, made on first request while the project is open.
    std::shared_ptr<QVRootFile> rootFile();
    // Made on first request when there is a root folder and a factory.
    QVProjectSCMController* scmController();
    bool hasRemoteEquivalent() const;
    bool hasRemoteConnection() const;
    std::shared_ptr<QVRemoteSiteQueue> remoteQueue() const { return _remoteQueue; }
    QVProjectRemoteConfiguration& remoteConfig() { return _remoteConfig; }
    const QVProjectRemoteConfiguration& remoteConfig() const { return _remoteConfig; }
    void setRemoteConfig(QVProjectRemoteConfiguration config);

    // --- Delegate ----------------------------------------------------------------------------
    // Held weakly; its respondsTo() is read now.
    void setDelegate(const std::shared_ptr<QVProjectDelegate>& delegate);
    // Lets go of the delegate only when it is the one given.
    void clearDelegate(const QVProjectDelegate* delegate);
    std::shared_ptr<QVProjectDelegate> delegate() const { return _delegate.lock(); }
    unsigned delegateResponse() const { return _respondsTo.load(); }

    // --- Settings ----------------------------------------------------------------------------
    const QVariantMap& allConfigurationValues() const { return _configurationValues; }
    QVariant configurationValueForKey(const QString& key) const { return _configurationValues.value(key); }
    bool boolConfigurationValueForKey(const QString& key) const;
    // A null value or empty key stores nothing, yet a save is still scheduled (except for the
    // open-files list, which never schedules one).
    void setConfigurationValue(const QVariant& value, const QString& key);
    void setBoolConfigurationValue(bool value, const QString& key);
    // Replaces every project-wide setting; schedules no save.
    void setAllConfigurationValues(const QVariantMap& values);
    // Every given key set, the others kept (what a settings window's OK does); schedules a save.
    void mergeConfigurationValues(const QVariantMap& values);
    // A file's setting by its path from the root; an empty key answers the file's whole entry.
    QVariant configurationValueForKey(const QString& key, const QString& file) const;
    // Value and key set the key; no value removes it; no key makes the value (a map) the
    // whole entry; neither removes the entry. Always schedules a save.
    void setConfigurationValue(const QVariant& value, const QString& key, const QString& file);
    const QVariantMap& fileConfigurationValues() const { return _fileConfigurationValues; }

    // --- Project file --------------------------------------------------------------------------
    // Schedules the write of the project file 0.5 s after the last request, or writes at once
    // (now). Nothing while reading. Answers whether a write made now succeeded (scheduled: true).
    bool commit(bool now);
    bool hasPendingCommit() const { return _pendingCommit.isValid(); }
    // Writes a pending save now (close, quit).
    bool flushPendingCommit();
    // Every project with a pending save writes it (the application quits).
    static void flushAllPendingCommits();
    // Why the last write of the first copy failed; null after a success.
    const QVError& lastCommitError() const { return _lastCommitError; }
    // Reads the first readable copy once. A copy that exists but cannot be read is moved aside
    // ("<name>.unreadable"), never overwritten, and readError() says so. Where it cannot be moved
    // aside either, the project stays as it is (defaults, when nothing else was read) and is
    // read-only: nothing is ever written over that copy.
    bool loadIfNecessary();
    bool isLoaded() const { return _loaded; }
    bool isReadOnly() const { return _readOnly; }
    // Whether a copy could not be read (moved aside, or kept under a read-only project).
    bool foundUnreadableCopy() const { return _foundUnreadableCopy; }
    // Whether reading dropped site settings (client options, host, user) it would not pass on.
    bool refusedSiteSettings() const { return _refusedSiteSettings; }
    // Why reading failed or what reading refused (dangerous site options); null when nothing.
    const QVError& readError() const { return _readError; }
    // A project file's dictionary into the project; nothing read schedules a save.
    void loadFromPlistRepresentation(const QVariantMap& plist);
    // The project file's dictionary (asks the delegate for the open files).
    QVariantMap plistRepresentation();
    // Where the copies are, the one always written first.
    QStringList projectFileSearchPaths();
    // The shared copies' folder: the application-support folder's "Projects".
    static QString sharedProjectsFolder();

    // --- Remote connection ---------------------------------------------------------------------
    // A new queue logs in with the site's settings; status goes to the delegate.
    void connectToRemoteSite();
    void closeRemoteConnection();
    // Closes the connection and forgets its queue at once: whoever opens the project next
    // (its window) makes a connection of its own instead of sharing a closing one.
    void dropRemoteConnection();

    // Not open, no delegate, connection closed and dropped, tree and controller dropped; a
    // pending save is written.
    void close();

private:
    class QueueForwarder;
    friend class QueueForwarder;

    void setDefaultConfiguration();
    bool reallyCommit();
    void loadFromModernPlist(const QVariantMap& plist);
    void loadFromVersionFourBetaPlist(const QVariantMap& plist);
    void loadLocalMetadata(const QVariantMap& metadata);
    void loadConfigurations(const QVariantMap& plist);
    void loadRemoteMetadata(const QVariantMap& metadata);
    QString rootFolderCopyPath() const;
    void noteReadProblem(const QString& what, const QString& title = {});
    void reportCommitFailure(const QVError& error);
    // Main-thread steps of the queue's callbacks.
    void queueOpenedConnection(QVRemoteSiteQueue* queue);
    void queueClosedConnection(QVRemoteSiteQueue* queue);
    void queueHadError(QVRemoteSiteQueue* queue, const QVError& error);
    void queueHadCredentialsFailure(QVRemoteSiteQueue* queue);
    void queueHadFatalFailure(QVRemoteSiteQueue* queue);
    void queueSetStatus(QVRemoteSiteQueue* queue, const QString& status, bool animate);
    void connectionReport();

    std::weak_ptr<QVProjectDelegate> _delegate;
    std::atomic<unsigned> _respondsTo{0};
    QString _uuid;
    // The identifier read was another folder's and was replaced: the file is written again.
    bool _uuidReplaced = false;
    QString _rootDirectory;
    QString _displayName;
    QString _originalDisplayName;
    std::shared_ptr<QVRootFile> _rootFile;
    QVariantMap _configurationValues;
    QVariantMap _fileConfigurationValues;
    std::shared_ptr<QVRemoteSiteQueue> _remoteQueue;
    std::shared_ptr<QueueForwarder> _queueForwarder;
    QVProjectRemoteConfiguration _remoteConfig;
    std::unique_ptr<QVProjectSCMController> _scmController;
    qint32 _type = Local;
    bool _hasRemoteEquivalent = false;
    bool _loaded = false;
    bool _readOnly = false;
    bool _foundUnreadableCopy = false;
    bool _refusedSiteSettings = false;
    bool _loading = false;
    // Replaces an identifier another folder's project holds.
    void keepUUIDOwn();
    // Tells the list of projects, which finds projects by identifier.
    void uuidAssigned();
    bool _open = false;
    MainQueue::DelayedCall _pendingCommit;
    QVError _lastCommitError;
    QVError _readError;
};
