#include "scm/QVProjectSubversionController.h"

#include "platform/AppBundle.h"
#include "platform/Keychain.h"
#include "platform/SystemLog.h"
#include "platform/UserDefaults.h"
#include "projects/QVProject.h"
#include "projects/QVProjectDelegate.h"
#include "scm/QVSCMPanels.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cstdlib>

namespace {

const QString UsernameKey = QStringLiteral("QVSCMUsernameKey");
const QString UseKeychainKey = QStringLiteral("QVSCMUseKeychainKey");

std::function<void(const QString&, const QString&)>& resultOpener() {
    static std::function<void(const QString&, const QString&)> open;
    return open;
}

}  // namespace

// Hears the working copy's queue for the controller (the queue holds it weakly).
class QVProjectSubversionController::Listener : public QVSCMInterfaceDelegate {
public:
    explicit Listener(QVProjectSubversionController* owner) : _owner(owner) {}
    QVProjectSubversionController* _owner;

    std::shared_ptr<QVProjectDelegate> delegate(unsigned bit) const {
        const auto delegate = _owner->_project.delegate();
        return delegate && (_owner->_project.delegateResponse() & bit) ? delegate : nullptr;
    }
    void scmInterfaceNeedsCredentials(QVSCMInterface*) override { _owner->needsCredentials(); }
    void scmInterfaceHadError(QVSCMInterface*, const QVError& error) override { _owner->presentError(error); }
    void scmInterfaceDidPerformCommand(QVSCMInterface*, int type, const QStringList& files) override {
        if (const auto told = delegate(QVProjectDelegate::SCMCommand)) told->projectFinishedSCMCommand(_owner, type, files);
    }
    void scmInterfaceUpdateLeftConflicts(QVSCMInterface*, const QStringList& paths) override {
        // The client succeeds with conflicts: the user hears which files need resolving, and
        // their rows (and the copies the client left beside them) are shown afresh.
        _owner->presentError(QVError::app(0, QVLocalized(QStringLiteral("The update left conflicts")),
                                          QVLocalized(QStringLiteral("Resolve the conflicts in these files before committing them:\n%1")).arg(paths.join(u'\n'))));
        if (const auto told = delegate(QVProjectDelegate::SCMCommand)) told->projectFinishedSCMCommand(_owner, QVSCMAction::Update, paths);
    }
    void scmInterfaceDidRetrieveOutput(QVSCMInterface*, const QVSCMOutputAction& action) override {
        if (action.type() == QVSCMAction::Cat) return _owner->openInCompareTool(action.path(), action.revision1(), action.outputBytes());
        if (resultOpener()) resultOpener()(resultTitle(action), action.outputString());
    }
    void scmInterfaceDidRetrieveLog(QVSCMInterface*, const QVSCMLogAction& action) override {
        auto* window = qobject_cast<QWidget*>(action.context.data());
        if (!window) return;
        // The sheet carries its own path and tag: two sheets never mix up their commands.
        auto* sheet = new QVSCMRevisionPanel(action.path(), action.tag(), window);
        QVProjectSubversionController* owner = _owner;
        std::weak_ptr<Listener> alive = owner->_listener;
        sheet->displayEntries(action.logEntries(), [owner, alive](QVSCMRevisionPanel* panel, std::optional<QString> revision, int tag) {
            if (alive.lock() && revision) owner->runForRevision(panel->path(), *revision, tag);
        });
    }
    void scmInterfaceDidRetrieveStatus(QVSCMInterface*, const QList<std::shared_ptr<QVSCMStatusEntry>>& entries, const QString& path,
                                       bool recursive) override {
        if (const auto told = delegate(QVProjectDelegate::SCMStatus)) told->projectRetrievedStatus(_owner, entries, path, recursive);
    }
};

std::unique_ptr<QVProjectSCMController> QVProjectSubversionController::create(QVProject& project) {
    std::shared_ptr<QVSCMInterface> interface = QVSCMInterface::scmInterfaceForPath(project.rootDirectory());
    if (!interface) return nullptr;
    return std::make_unique<QVProjectSubversionController>(project, std::move(interface));
}

void QVProjectSubversionController::setResultOpener(std::function<void(const QString&, const QString&)> open) { resultOpener() = std::move(open); }

QString QVProjectSubversionController::resultTitle(const QVSCMOutputAction& action) {
    const QString name = action.path().isEmpty() || action.path() == QLatin1String(".") ? QStringLiteral(".") : QFileInfo(action.path()).fileName();
    QString revision = action.revision1().isEmpty() ? QStringLiteral("BASE") : action.revision1();
    if (!revision.isEmpty() && revision.front().isDigit()) revision.prepend(u'r');
    const QString what = action.type() == QVSCMAction::Diff ? QVLocalized(QStringLiteral("Diff with %1")) : QVLocalized(QStringLiteral("Annotate %1"));
    return name + QStringLiteral(" \u2014 ") + what.arg(revision);
}

QString QVProjectSubversionController::compareTool() {
    const QString chosen = UserDefaults::standard().stringForKey(QStringLiteral("QVSCMCompareTool"));
    if (!chosen.isEmpty()) return QFileInfo(chosen).isExecutable() ? chosen : QStandardPaths::findExecutable(chosen);
    for (const char* tool : {"meld", "kdiff3", "kompare"})
        if (const QString found = QStandardPaths::findExecutable(QString::fromLatin1(tool)); !found.isEmpty()) return found;
    return {};
}

QVProjectSubversionController::QVProjectSubversionController(QVProject& project, std::shared_ptr<QVSCMInterface> interface)
    : _project(project), _interface(std::move(interface)), _listener(std::make_shared<Listener>(this)) {
    _useKeychain = _project.boolConfigurationValueForKey(UseKeychainKey);
    _interface->setDelegate(_listener);
}

QVProjectSubversionController::~QVProjectSubversionController() { _interface->die(); }

void QVProjectSubversionController::getStatusForPath(const QString& path, bool isDirectory, bool recursive) {
    _interface->getStatusForFile(path, isDirectory, false, recursive);
}

void QVProjectSubversionController::addFilesToRepository(const QStringList& paths) { _interface->addFiles(paths); }

void QVProjectSubversionController::commitFiles(const QStringList& paths, QWidget* windowForSheet) {
    if (!windowForSheet) return;
    auto* sheet = new QVSCMMessagePanel(QVSCMAction::Commit, windowForSheet);
    std::weak_ptr<Listener> alive = _listener;
    // The files travel with their sheet.
    sheet->display([this, alive, paths](QVSCMMessagePanel*, std::optional<QString> message, int tag) {
        if (alive.lock() && message && tag == QVSCMAction::Commit) _interface->commitFiles(paths, *message);
    });
}

void QVProjectSubversionController::revertPath(const QString& path) { _interface->revertFiles({path}); }

void QVProjectSubversionController::diffPath(const QString& path, const QString& revision) {
    _interface->diffFile(path, revision, {});
}

void QVProjectSubversionController::comparePath(const QString& path, const QString& revision) {
    _interface->catFile(path, revision);
}

void QVProjectSubversionController::annotatePath(const QString& path, const QString& revision) {
    _interface->annotateFile(path, revision);
}

void QVProjectSubversionController::updatePath(const QString& path, const QString& revision) {
    _interface->updateFiles({path}, revision.isEmpty() ? QStringLiteral("HEAD") : revision);
}

void QVProjectSubversionController::getLogForPath(const QString& path, const QString& revision, LogTag tag, QWidget* window) {
    _interface->getLogForFile(path, revision, tag, window);
}

void QVProjectSubversionController::runForRevision(const QString& path, const QString& revision, int tag) {
    switch (tag) {
    case AnnotateLog: return annotatePath(path, revision);
    case CompareLog: return comparePath(path, revision);
    case DiffLog: return diffPath(path, revision);
    case UpdateLog: return updatePath(path, revision);
    default: return;
    }
}

QString QVProjectSubversionController::username() {
    if (_username.isEmpty()) _username = _project.configurationValueForKey(UsernameKey).toString();
    return _username;
}

QString QVProjectSubversionController::password() {
    if (!_password.isEmpty() || !_useKeychain || username().isEmpty()) return _password;
    qint32 status = 0;
    char* stored = GetPasswordFromKeychain(_project.rootDirectory().toUtf8().constData(), _username.toUtf8().constData(), &status);
    if (stored && status == QVKeychainNoError) _password = QString::fromUtf8(stored);
    std::free(stored);
    return _password;
}

void QVProjectSubversionController::setCredentials(const QString& username, const QString& password, bool useKeychain) {
    _useKeychain = useKeychain;
    _project.setBoolConfigurationValue(useKeychain, UseKeychainKey);
    if (username != _username) {
        _username = username;
        _project.setConfigurationValue(username, UsernameKey);
    }
    if (password != _password) {
        _password = password;
        if (useKeychain && !username.isEmpty())
            AddPasswordToKeychain(_project.rootDirectory().toUtf8().constData(), username.toUtf8().constData(), password.toUtf8().constData());
    }
    _interface->setCredentials(_username, _password);
}

void QVProjectSubversionController::credentialsCancelled() { _interface->credentialsRefused(); }

void QVProjectSubversionController::finishCommands(bool stop, std::function<void()> done) {
    if (stop) _interface->stop();
    _interface->whenIdle(std::move(done));
}

void QVProjectSubversionController::needsCredentials() {
    // The stored name and keyring password are offered once before anyone is asked.
    if (!_sentCachedCredentials) {
        _sentCachedCredentials = true;
        if (!username().isEmpty() && !password().isEmpty()) return _interface->setCredentials(_username, _password);
    }
    const auto delegate = _project.delegate();
    if (delegate && (_project.delegateResponse() & QVProjectDelegate::SCMCredentials)) delegate->projectNeedsSCMCredentials(this);
    else _interface->credentialsRefused();
}

void QVProjectSubversionController::presentError(const QVError& error) {
    const auto delegate = _project.delegate();
    if (delegate && (_project.delegateResponse() & QVProjectDelegate::PresentError)) delegate->presentErrorAlert(error);
    else SystemLog::warning(error.localizedDescription() + QStringLiteral(": ") + error.localizedRecoverySuggestion());
}

void QVProjectSubversionController::openInCompareTool(const QString& path, const QString& revision, const QByteArray& bytes) {
    const QString tool = compareTool();
    if (tool.isEmpty()) {
        return presentError(QVError::app(0, QVLocalized(QStringLiteral("Could not find a compare tool")),
                                         QVLocalized(QStringLiteral("Install meld, kdiff3 or kompare, or name a compare tool in the setting QVSCMCompareTool."))));
    }
    // The repository's bytes in a folder only the user can read, removed once the tool ends.
    QTemporaryDir folder(QDir::tempPath() + QStringLiteral("/Qorvel-compare-XXXXXX"));
    if (!folder.isValid()) return presentError(QVError::posix(errno, QStringLiteral("mkdtemp"), QDir::tempPath()));
    QFile::setPermissions(folder.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QString name = QFileInfo(path).fileName() + QStringLiteral(" (") + (revision.isEmpty() ? QStringLiteral("HEAD") : revision) + u')';
    QSaveFile copy(QDir(folder.path()).filePath(name));
    if (!copy.open(QIODevice::WriteOnly) || copy.write(bytes) != bytes.size() || !copy.commit())
        return presentError(QVError::app(0, QVLocalized(QStringLiteral("SCM Error")), copy.errorString()));
    // A small shell waits for the tool and removes the folder, whatever becomes of Qorvel; the
    // paths are its arguments, never part of its script.
    const QStringList arguments = {QStringLiteral("-c"), QStringLiteral("\"$1\" \"$2\" \"$3\"; rm -rf -- \"$4\""), QStringLiteral("sh"),
                                   tool, QDir(_project.rootDirectory()).filePath(path), copy.fileName(), folder.path()};
    if (QProcess::startDetached(QStringLiteral("/bin/sh"), arguments)) folder.setAutoRemove(false);
    else presentError(QVError::app(0, QVLocalized(QStringLiteral("SCM Error")), QVLocalized(QStringLiteral("The compare tool could not be started."))));
}
