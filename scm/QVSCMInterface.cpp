#include "scm/QVSCMInterface.h"

#include "platform/AppBundle.h"
#include "platform/MainQueue.h"
#include "platform/UserDefaults.h"

#include <QDir>
#include <QFileInfo>

std::shared_ptr<QVSCMInterface> QVSCMInterface::scmInterfaceForPath(const QString& path) {
    if (path.isEmpty() || workingCopyRootForPath(path).isEmpty()) return nullptr;
    return std::make_shared<QVSCMInterface>(path);
}

QString QVSCMInterface::workingCopyRootForPath(const QString& path) {
    // A working copy keeps ".svn" at its top only: look upward from the project's folder.
    QDir folder(QFileInfo(path).absoluteFilePath());
    for (int depth = 0; depth < 64; ++depth) {
        if (QFileInfo(folder.filePath(QStringLiteral(".svn"))).isDir()) return folder.absolutePath();
        if (folder.isRoot() || !folder.cdUp()) break;
    }
    return {};
}

QVSCMInterface::QVSCMInterface(QString workingCopyPath) : _workingCopyPath(std::move(workingCopyPath)) {}

QVSCMInterface::~QVSCMInterface() { die(); }

QString QVSCMInterface::executablePath() {
    return UserDefaults::standard().stringForKey(QStringLiteral("QVSubversionExecPath"));
}

void QVSCMInterface::setCredentials(const QString& username, const QString& password) {
    _username = username;
    _password = password;
    // The head waited for these.
    if (!_queue.empty()) {
        _running = false;
        startHead();
    }
}

void QVSCMInterface::credentialsRefused() {
    if (_queue.empty() || !_running) return;
    dequeueHead();
}

void QVSCMInterface::die() {
    _dying = true;
    for (const auto& action : _queue) action->kill();
    _queue.clear();
    _running = false;
}

void QVSCMInterface::enqueue(const std::shared_ptr<QVSCMAction>& action) {
    if (_dying) return;
    _queue.push_back(action);
    startHead();
}

void QVSCMInterface::startHead() {
    if (_running || _queue.empty() || _dying) return;
    _running = true;
    const std::shared_ptr<QVSCMAction> head = _queue.front();
    const QString program = executablePath();
    if (program.isEmpty()) {
        // Said at once rather than tried: without a client nothing can run.
        return handleFinished(head, QVError::app(0, QVLocalized(QStringLiteral("SCM Error")),
                                                 QVLocalized(QStringLiteral("Subversion (svn) was not found. Choose where it is in the start-up check."))));
    }
    head->run({program, _workingCopyPath, _username, _password}, weak_from_this());
}

void QVSCMInterface::actionFinished(const std::shared_ptr<QVSCMAction>& action, const QVError& error) {
    // The reader thread of the action's client: the rest happens on the main thread, which
    // holds the queue.
    MainQueue::post([weak = weak_from_this(), action, error] {
        if (const auto self = weak.lock()) self->handleFinished(action, error);
    });
}

void QVSCMInterface::handleFinished(const std::shared_ptr<QVSCMAction>& action, const QVError& error) {
    if (_dying || _queue.empty() || _queue.front() != action) return;
    const auto delegate = _delegate.lock();
    // A client cut off may leave the working copy locked: clean up before the next action.
    if (action->wasInterrupted() && action->type() != QVSCMAction::Cleanup)
        _queue.insert(_queue.begin() + 1, QVSCMSimpleAction::cleanup());
    if (error && error.code() == 1) {
        // Credentials wanted: the action stays at the head until they come or are refused.
        if (delegate) delegate->scmInterfaceNeedsCredentials(this);
        else dequeueHead();
        return;
    }
    if (error) {
        if (delegate && action->type() != QVSCMAction::Cleanup) delegate->scmInterfaceHadError(this, error);
    } else {
        deliver(*action);
    }
    dequeueHead();
}

void QVSCMInterface::deliver(const QVSCMAction& action) {
    const auto delegate = _delegate.lock();
    if (!delegate) return;
    if (const auto* log = dynamic_cast<const QVSCMLogAction*>(&action)) {
        delegate->scmInterfaceDidRetrieveLog(this, *log);
    } else if (const auto* output = dynamic_cast<const QVSCMOutputAction*>(&action)) {
        delegate->scmInterfaceDidRetrieveOutput(this, *output);
    } else if (const auto* status = dynamic_cast<const QVSCMStatusAction*>(&action)) {
        delegate->scmInterfaceDidRetrieveStatus(this, status->statusEntries(), status->path(), status->isRecursive());
    } else if (const auto* simple = dynamic_cast<const QVSCMSimpleAction*>(&action)) {
        if (simple->type() == QVSCMAction::Cleanup) return;
        delegate->scmInterfaceDidPerformCommand(this, simple->type(),
                                                simple->type() == QVSCMAction::Move ? QStringList() : simple->files());
    }
}

void QVSCMInterface::dequeueHead() {
    if (!_queue.empty()) _queue.pop_front();
    _running = false;
    startHead();
}

void QVSCMInterface::addFiles(const QStringList& paths) { enqueue(QVSCMSimpleAction::add(paths)); }

void QVSCMInterface::annotateFile(const QString& path, const QString& revision) {
    enqueue(QVSCMOutputAction::make(QStringLiteral("annotate"), path, revision, {}, QVSCMAction::Annotate));
}

void QVSCMInterface::catFile(const QString& path, const QString& revision) {
    enqueue(QVSCMOutputAction::make(QStringLiteral("cat"), path, revision, {}, QVSCMAction::Cat));
}

void QVSCMInterface::commitFiles(const QStringList& paths, const QString& message) {
    enqueue(QVSCMSimpleAction::commit(paths, message));
}

void QVSCMInterface::deleteFiles(const QStringList& paths) { enqueue(QVSCMSimpleAction::remove(paths)); }

void QVSCMInterface::diffFile(const QString& path, const QString& fromRevision, const QString& toRevision) {
    enqueue(QVSCMOutputAction::make(QStringLiteral("diff"), path, fromRevision, toRevision, QVSCMAction::Diff));
}

void QVSCMInterface::getLogForFile(const QString& path, const QString& revision, int tag, QObject* context) {
    const auto action = QVSCMLogAction::make(path, revision, tag);
    action->context = context;
    enqueue(action);
}

void QVSCMInterface::getStatusForFile(const QString& path, bool isDirectory, bool showUpdateInformation, bool recursive) {
    enqueue(QVSCMStatusAction::make(path, isDirectory, showUpdateInformation, recursive));
}

void QVSCMInterface::makeDirectory(const QString& path, const QString& message) {
    enqueue(QVSCMSimpleAction::mkdir({path}, message));
}

void QVSCMInterface::moveFile(const QString& from, const QString& to) { enqueue(QVSCMSimpleAction::move(from, to)); }

void QVSCMInterface::revertFiles(const QStringList& paths) { enqueue(QVSCMSimpleAction::revert(paths)); }

void QVSCMInterface::updateFiles(const QStringList& paths, const QString& revision) {
    enqueue(QVSCMSimpleAction::update(paths, revision));
}
