// A project: names, root, type, settings, coalesced saves, the connection and its callbacks.
#include "projects/QVProject.h"

#include "editor/QVProjectSCMController.h"
#include "files/QVRemoteSiteQueue.h"
#include "files/QVRootFile.h"
#include "platform/AppBundle.h"
#include "platform/FileName.h"
#include "platform/Paths.h"
#include "platform/PropertyList.h"
#include "platform/SystemLog.h"
#include "projects/QVProjectRepository.h"
#include "shell/FileManagerUtilities.h"
#include "shell/StringHashing.h"
#include "shell/StringUtilities.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <mutex>

namespace {

QVProject::SCMControllerFactory& scmFactory() {
    static QVProject::SCMControllerFactory factory;
    return factory;
}

// Projects whose save is pending, written when the application quits.
QList<std::weak_ptr<QVProject>>& pendingProjects() {
    static QList<std::weak_ptr<QVProject>> list;
    return list;
}

void watchForQuit() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (QCoreApplication* app = QCoreApplication::instance())
            QObject::connect(app, &QCoreApplication::aboutToQuit, [] { QVProject::flushAllPendingCommits(); });
    });
}

QString cleanPath(const QString& path) { return path.isEmpty() ? path : QDir::cleanPath(path); }

}  // namespace

// Receives the remote queue's callbacks on the queue's threads and hands each to the main thread
// without waiting. It outlives neither its project's interest (weak) nor touches its fields.
class QVProject::QueueForwarder : public QVRemoteSiteQueueDelegate {
public:
    explicit QueueForwarder(const std::shared_ptr<QVProject>& project) : _project(project), _identity(project.get()) {}
    const void* identity() const override { return _identity; }

    void queueOpenedConnection(QVRemoteSiteQueue* queue) override {
        forward(queue, [](QVProject& p, QVRemoteSiteQueue* q) { p.queueOpenedConnection(q); });
    }
    void queueClosedConnection(QVRemoteSiteQueue* queue) override {
        forward(queue, [](QVProject& p, QVRemoteSiteQueue* q) { p.queueClosedConnection(q); });
    }
    void queueHadError(QVRemoteSiteQueue* queue, const QVError& error) override {
        forward(queue, [error](QVProject& p, QVRemoteSiteQueue* q) { p.queueHadError(q, error); });
    }
    void queueHadCredentialsFailure(QVRemoteSiteQueue* queue) override {
        forward(queue, [](QVProject& p, QVRemoteSiteQueue* q) { p.queueHadCredentialsFailure(q); });
    }
    void queueHadFatalFailure(QVRemoteSiteQueue* queue) override {
        forward(queue, [](QVProject& p, QVRemoteSiteQueue* q) { p.queueHadFatalFailure(q); });
    }
    void queueSetStatus(QVRemoteSiteQueue* queue, const QString& status, bool animate) override {
        forward(queue, [status, animate](QVProject& p, QVRemoteSiteQueue* q) { p.queueSetStatus(q, status, animate); });
    }

private:
    template <typename Step>
    void forward(QVRemoteSiteQueue* queue, Step step) {
        // The queue is held weakly too: a queue already let go reports nothing.
        std::weak_ptr<QVRemoteSiteQueue> weakQueue = queue ? queue->weak_from_this() : std::weak_ptr<QVRemoteSiteQueue>();
        MainQueue::post([project = _project, weakQueue, step] {
            std::shared_ptr<QVProject> p = project.lock();
            std::shared_ptr<QVRemoteSiteQueue> q = weakQueue.lock();
            // Only the current queue speaks for the project: a replaced one's late news would
            // describe a connection the project no longer has.
            if (p && q && p->_remoteQueue == q) step(*p, q.get());
        });
    }

    std::weak_ptr<QVProject> _project;
    const void* _identity;
};

// --- Creation -------------------------------------------------------------------------------

void QVProject::setSCMControllerFactory(SCMControllerFactory factory) { scmFactory() = std::move(factory); }

QVProject::QVProject(Passkey) {
    _configurationValues.insert(OpenFilesKey, QVariantList());
    setDefaultConfiguration();
}

QVProject::~QVProject() {
    _pendingCommit.cancel();
    if (_remoteQueue) {
        _remoteQueue->clearActionDelegate(this);
        _remoteQueue->setDelegate(nullptr);
        _remoteQueue->closeConnection();
    }
}

std::shared_ptr<QVProject> QVProject::create() { return std::make_shared<QVProject>(Passkey()); }

std::shared_ptr<QVProject> QVProject::createWithProjectFile(const QString& path) {
    std::shared_ptr<QVProject> project = create();
    const QFileInfo file(path);
    // A copy in a project's own folder names its root by where it is: a folder that was moved
    // keeps a stale path inside the file.
    if (QDir::cleanPath(file.absolutePath()) != QDir::cleanPath(sharedProjectsFolder()))
        project->setRootDirectory(QDir::cleanPath(file.absolutePath()));
    QVError error;
    const QVariant plist = PropertyList::readFile(path, &error);
    if (plist.typeId() != QMetaType::QVariantMap) {
        project->_readError = error ? error
                                    : QVError::app(1, QVLocalized(QStringLiteral("The project file could not be read")),
                                                   QVLocalized(QStringLiteral("It does not hold a project.")));
        project->_readError.setUserInfoValue(QVFilePathErrorKey, path);
        SystemLog::warning(QStringLiteral("Project file %1 could not be read: %2").arg(path, project->_readError.localizedDescription()));
        return project;
    }
    project->loadFromPlistRepresentation(plist.toMap());
    return project;
}

std::shared_ptr<QVProject> QVProject::createWithRootDirectory(const QString& path, const QString& displayName) {
    std::shared_ptr<QVProject> project = create();
    project->setRootDirectory(path);
    if (!displayName.isNull()) project->setDisplayName(displayName);
    return project;
}

std::shared_ptr<QVProject> QVProject::createWithRepositoryRepresentation(const QVariantMap& entry) {
    std::shared_ptr<QVProject> project = create();
    const QVariant name = entry.value(QStringLiteral("DisplayName"));
    const QVariant root = entry.value(QStringLiteral("RootDirectory"));
    if (name.typeId() == QMetaType::QString) project->setDisplayName(name.toString());
    if (root.typeId() == QMetaType::QString && QDir::isAbsolutePath(root.toString())) project->setRootDirectory(root.toString());
    project->_hasRemoteEquivalent = entry.value(QStringLiteral("HasRemoteEquivalent")).toBool();
    return project;
}

void QVProject::setDefaultConfiguration() {
    const bool wasLoading = std::exchange(_loading, true);
    setBoolConfigurationValue(true, ConnectAutomaticallyKey);
    setBoolConfigurationValue(true, UploadAutomaticallyKey);
    _loading = wasLoading;
}

// --- Names ----------------------------------------------------------------------------------

QString QVProject::safeFileName(const QString& text) {
    QString name;
    name.reserve(text.size());
    for (QChar c : text) {
        if (c == QLatin1Char('/')) name += QLatin1Char('-');
        else if (c.unicode() >= 0x20 && c.unicode() != 0x7F && c.category() != QChar::Other_Control) name += c;
    }
    name = name.trimmed();
    // Most file systems refuse names past 255 bytes; cut at a character boundary.
    while (name.toUtf8().size() > 255) name.chop(name.back().isLowSurrogate() ? 2 : 1);
    if (name == QLatin1String(".") || name == QLatin1String("..")) return {};
    return name;
}

bool QVProject::isUUIDString(const QString& text) {
    // 8-4-4-4-12 hexadecimal digits; asked once for every entry of a long list of projects.
    if (text.size() != 36) return false;
    for (qsizetype i = 0; i < 36; ++i) {
        const char16_t c = text[i].unicode();
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        const bool hex = (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
        if (dash ? c != u'-' : !hex) return false;
    }
    return true;
}

void QVProject::setDisplayName(const QString& name) {
    _displayName = name;
    if (_originalDisplayName.isNull()) _originalDisplayName = name;
}

void QVProject::setRootDirectory(const QString& path) {
    const QString clean = cleanPath(path);
    if (clean == _rootDirectory) return;
    const QString old = std::exchange(_rootDirectory, clean);
    _rootFile.reset();
    // The name is a label: bytes of the folder's name that are not UTF-8 show as U+FFFD.
    if (_displayName.isEmpty() && !clean.isEmpty()) setDisplayName(FileName::displayed(QFileInfo(clean).completeBaseName()));
    _scmController.reset();
    if (QVProjectRepository* repository = QVProjectRepository::sharedInstanceIfMade())
        repository->projectRootDirectoryChanged(this, old);
}

QString QVProject::uuid() {
    if (_uuid.isEmpty()) {
        _uuid = StringHashing::uuid();
        uuidAssigned();
        if (!_loading)
            if (QVProjectRepository* repository = QVProjectRepository::sharedInstanceIfMade())
                repository->projectDetailsChanged(this);
    }
    return _uuid;
}

bool QVProject::setUUID(const QString& uuid) {
    if (!isUUIDString(uuid)) return false;
    _uuid = uuid.toUpper();
    uuidAssigned();
    keepUUIDOwn();
    return true;
}

void QVProject::uuidAssigned() {
    if (QVProjectRepository* repository = QVProjectRepository::sharedInstanceIfMade()) repository->projectUUIDChanged(this);
}

void QVProject::keepUUIDOwn() {
    // Without a folder yet the holder cannot be told from this project: decided once it has one.
    if (_uuid.isEmpty() || _rootDirectory.isEmpty()) return;
    QVProjectRepository* repository = QVProjectRepository::sharedInstanceIfMade();
    if (!repository || !repository->anotherFolderHoldsUUID(_uuid, this)) return;
    // A copied project folder, or a list naming two folders with one identifier: saving one would
    // rewrite the other's file (and its site). The newcomer takes a fresh identifier.
    SystemLog::warning(QStringLiteral("Project \"%1\" (%2) shared its identifier %3 with another folder and got a new one")
                           .arg(_displayName, _rootDirectory, _uuid));
    _uuid = StringHashing::uuid();
    uuidAssigned();
    _uuidReplaced = true;
}

bool QVProject::isEqual(const QVProject& other) const {
    if (this == &other) return true;
    if (_type != other._type) return false;
    if (_displayName.isNull() || _displayName != other._displayName) return false;
    if (!_rootDirectory.isEmpty() && !other._rootDirectory.isEmpty() && _rootDirectory != other._rootDirectory) return false;
    return _remoteConfig.isEqual(other._remoteConfig);
}

int QVProject::compare(const QVProject& other) const {
    const int c = QString::compare(_displayName, other._displayName, Qt::CaseInsensitive);
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

// --- Type, state, tree ----------------------------------------------------------------------

void QVProject::setType(qint32 type) {
    _type = type;
    if (_rootFile) _rootFile->setRemoteOnly(type == RemoteOnly);
}

void QVProject::setIsOpen(bool open) { _open = open; }

std::shared_ptr<QVRootFile> QVProject::rootFile() {
    if (!_rootFile && _open && !_rootDirectory.isEmpty()) {
        _rootFile = QVRootFile::create(_rootDirectory);
        if (_rootFile) {
            _rootFile->setRemoteOnly(_type == RemoteOnly);
            _rootFile->setRemoteQueue(_remoteQueue);
        }
    }
    return _open ? _rootFile : nullptr;
}

QVProjectSCMController* QVProject::scmController() {
    if (!_scmController && !_rootDirectory.isEmpty() && scmFactory()) _scmController = scmFactory()(*this);
    return _scmController.get();
}

bool QVProject::hasRemoteEquivalent() const { return _hasRemoteEquivalent || !_remoteConfig.host().isEmpty(); }

bool QVProject::hasRemoteConnection() const {
    if (!_remoteQueue) return false;
    const int state = _remoteQueue->state();
    return state == QVRemoteSiteQueue::Idle || state == QVRemoteSiteQueue::Busy;
}

void QVProject::setRemoteConfig(QVProjectRemoteConfiguration config) { _remoteConfig = std::move(config); }

// --- Delegate -------------------------------------------------------------------------------

void QVProject::setDelegate(const std::shared_ptr<QVProjectDelegate>& delegate) {
    _delegate = delegate;
    _respondsTo = delegate ? delegate->respondsTo() & QVProjectDelegate::AllResponses : 0;
}

void QVProject::clearDelegate(const QVProjectDelegate* delegate) {
    if (delegate && _delegate.lock().get() == delegate) setDelegate(nullptr);
}

// --- Settings -------------------------------------------------------------------------------

bool QVProject::boolConfigurationValueForKey(const QString& key) const {
    const QVariant value = _configurationValues.value(key);
    return value.isValid() && value.toBool();
}

void QVProject::setConfigurationValue(const QVariant& value, const QString& key) {
    if (!value.isNull() && !key.isEmpty()) _configurationValues.insert(key, value);
    if (key != OpenFilesKey) commit(false);
}

void QVProject::setBoolConfigurationValue(bool value, const QString& key) { setConfigurationValue(QVariant(value), key); }

void QVProject::setAllConfigurationValues(const QVariantMap& values) { _configurationValues = values; }

void QVProject::mergeConfigurationValues(const QVariantMap& values) {
    for (auto it = values.constBegin(); it != values.constEnd(); ++it)
        if (!it.value().isNull() && !it.key().isEmpty()) _configurationValues.insert(it.key(), it.value());
    commit(false);
}

QVariant QVProject::configurationValueForKey(const QString& key, const QString& file) const {
    const QVariantMap entry = _fileConfigurationValues.value(file).toMap();
    if (key.isEmpty()) return _fileConfigurationValues.contains(file) ? QVariant(entry) : QVariant();
    return entry.value(key);
}

void QVProject::setConfigurationValue(const QVariant& value, const QString& key, const QString& file) {
    if (!key.isEmpty()) {
        if (!value.isNull()) {
            QVariantMap entry = _fileConfigurationValues.value(file).toMap();
            entry.insert(key, value);
            _fileConfigurationValues.insert(file, entry);
        } else if (_fileConfigurationValues.contains(file)) {
            QVariantMap entry = _fileConfigurationValues.value(file).toMap();
            entry.remove(key);
            _fileConfigurationValues.insert(file, entry);
        }
    } else if (value.typeId() == QMetaType::QVariantMap) {
        _fileConfigurationValues.insert(file, value.toMap());
    } else if (value.isNull()) {
        _fileConfigurationValues.remove(file);
    }
    commit(false);
}

// --- Saving ---------------------------------------------------------------------------------

bool QVProject::commit(bool now) {
    if (_loading) return true;
    _pendingCommit.cancel();
    _pendingCommit = {};
    if (now) return reallyCommit();
    watchForQuit();
    pendingProjects().append(weak_from_this());
    std::weak_ptr<QVProject> weak = weak_from_this();
    _pendingCommit = MainQueue::after(std::chrono::milliseconds(CommitDelayMilliseconds), [weak] {
        if (std::shared_ptr<QVProject> project = weak.lock()) {
            project->_pendingCommit = {};
            project->reallyCommit();
        }
    });
    return true;
}

bool QVProject::flushPendingCommit() {
    if (!_pendingCommit.isValid()) return true;
    return commit(true);
}

void QVProject::flushAllPendingCommits() {
    const QList<std::weak_ptr<QVProject>> pending = std::exchange(pendingProjects(), {});
    for (const std::weak_ptr<QVProject>& weak : pending)
        if (std::shared_ptr<QVProject> project = weak.lock()) project->flushPendingCommit();
}

void QVProject::reportCommitFailure(const QVError& error) {
    SystemLog::warning(QStringLiteral("Project \"%1\" was not saved: %2").arg(_displayName, error.localizedDescription()));
    if (_respondsTo & QVProjectDelegate::PresentError)
        if (std::shared_ptr<QVProjectDelegate> delegate = _delegate.lock()) delegate->presentErrorAlert(error);
}

// --- Remote connection ----------------------------------------------------------------------

void QVProject::connectToRemoteSite() {
    std::shared_ptr<QVProjectDelegate> delegate = _delegate.lock();
    const unsigned bits = _respondsTo;
    if (delegate && (bits & QVProjectDelegate::Status))
        delegate->projectSetStatusString(this, QVLocalized(QStringLiteral("Connecting to remote site")));
    if (delegate && (bits & QVProjectDelegate::Progress)) delegate->projectShowProgress(this, true);

    if (_remoteQueue) {
        _remoteQueue->clearActionDelegate(this);
        _remoteQueue->setDelegate(nullptr);
        _remoteQueue->closeConnection();
    }
    _queueForwarder = std::make_shared<QueueForwarder>(shared_from_this());
    _remoteQueue = QVRemoteSiteQueue::make(_remoteConfig.protocol(), _queueForwarder);
    _remoteQueue->connectToHost(_remoteConfig.host(), _remoteConfig.port().toInt(), _remoteConfig.user(),
                                _remoteConfig.password(), _remoteConfig.arguments());
    if (!_remoteConfig.initialDirectory().isEmpty()) {
        _remoteQueue->setInitialWorkingDirectory(_remoteConfig.initialDirectory());
        _remoteQueue->changeToDirectory(_remoteConfig.initialDirectory());
    }
    if (_rootFile && _open) _rootFile->setRemoteQueue(_remoteQueue);
}

void QVProject::closeRemoteConnection() {
    if (_remoteQueue) _remoteQueue->closeConnection();
}

void QVProject::dropRemoteConnection() {
    if (!_remoteQueue) return;
    _remoteQueue->clearActionDelegate(this);
    _remoteQueue->setDelegate(nullptr);
    _remoteQueue->closeConnection();
    _remoteQueue.reset();
    if (_rootFile) _rootFile->setRemoteQueue(nullptr);
}

void QVProject::connectionReport() {
    const bool connected = hasRemoteConnection();
    std::shared_ptr<QVProjectDelegate> delegate = _delegate.lock();
    const unsigned bits = _respondsTo;
    if (delegate && (bits & QVProjectDelegate::Progress)) delegate->projectShowProgress(this, false);
    if (delegate && (bits & QVProjectDelegate::Status))
        delegate->projectSetStatusString(this, QVLocalized(connected ? QStringLiteral("Connected") : QStringLiteral("Failed to connect")));
    if (delegate && (bits & QVProjectDelegate::ConnectionOpen)) delegate->projectDidConnectToRemoteSite(this, connected);
    if (!connected && _rootFile) _rootFile->setRemoteQueue(nullptr);
}

void QVProject::queueOpenedConnection(QVRemoteSiteQueue*) { connectionReport(); }

void QVProject::queueClosedConnection(QVRemoteSiteQueue*) {
    if (_respondsTo & QVProjectDelegate::ConnectionClose)
        if (std::shared_ptr<QVProjectDelegate> delegate = _delegate.lock()) delegate->projectClosedRemoteConnection(this);
}

void QVProject::queueHadError(QVRemoteSiteQueue*, const QVError& error) {
    if (_respondsTo & QVProjectDelegate::PresentError)
        if (std::shared_ptr<QVProjectDelegate> delegate = _delegate.lock()) delegate->presentErrorAlert(error);
}

void QVProject::queueHadCredentialsFailure(QVRemoteSiteQueue*) {
    if (_respondsTo & QVProjectDelegate::RemoteCredentials)
        if (std::shared_ptr<QVProjectDelegate> delegate = _delegate.lock()) delegate->projectNeedsRemoteCredentials(this);
    connectionReport();
}

void QVProject::queueHadFatalFailure(QVRemoteSiteQueue* queue) {
    // A connected queue carries on after a failed action; any other failure (the queue may be
    // closing already by the time this runs) is a failed connection.
    const int state = queue->state();
    if (state != QVRemoteSiteQueue::Idle && state != QVRemoteSiteQueue::Busy) connectionReport();
}

void QVProject::queueSetStatus(QVRemoteSiteQueue*, const QString& status, bool animate) {
    std::shared_ptr<QVProjectDelegate> delegate = _delegate.lock();
    if (delegate && (_respondsTo & QVProjectDelegate::Status)) delegate->projectSetStatusString(this, status);
    if (delegate && (_respondsTo & QVProjectDelegate::Progress)) delegate->projectShowProgress(this, animate);
}

void QVProject::close() {
    flushPendingCommit();
    setIsOpen(false);
    setDelegate(nullptr);
    closeRemoteConnection();
    if (_remoteQueue) {
        _remoteQueue->clearActionDelegate(this);
        _remoteQueue->setDelegate(nullptr);
        _remoteQueue.reset();
    }
    _queueForwarder.reset();
    _scmController.reset();
    _rootFile.reset();
}

// --- Folder of a new remote-only project ----------------------------------------------------

QString QVProject::projectDirectoryForProject(const std::shared_ptr<QVProject>& project, QVError* error) {
    const QString base = Paths::home() + QStringLiteral("/Sites/Qorvel");
    if (!FileManagerUtilities::ensureDirectoryExists(base)) {
        qvSetError(error, QVError::posix(errno ? errno : EACCES, QStringLiteral("mkdir"), base));
        return {};
    }
    QString name = project ? project->displayName() : QString();
    if (name.contains(QLatin1Char(' '))) name = StringUtilities::camelString(name);
    name = safeFileName(name);
    if (name.isEmpty()) name = safeFileName(QVLocalized(QStringLiteral("Untitled")));
    QString candidate = base + QLatin1Char('/') + name;
    if (QFileInfo::exists(candidate)) {
        // Look up only: a folder that is nobody's project must not become one on the way.
        std::shared_ptr<QVProject> owner = QVProjectRepository::sharedInstance().copyProjectWithPath(candidate, false);
        if (owner && project && (owner == project || owner->isEqual(*project))) return candidate;
        candidate = FileManagerUtilities::pathForCopyOfFile(candidate, QString(), true);
    }
    if (!QDir().mkdir(candidate)) {
        qvSetError(error, QVError::posix(errno ? errno : EEXIST, QStringLiteral("mkdir"), candidate));
        return {};
    }
    return candidate;
}
