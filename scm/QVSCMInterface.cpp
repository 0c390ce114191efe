#include "scm/QVSCMInterface.h"

#include "platform/AppBundle.h"
#include "platform/MainQueue.h"
#include "platform/Process.h"
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

namespace {

// Every queue that has run something, by its working copy: queues in one working copy share its
// lock.
std::vector<std::weak_ptr<QVSCMInterface>>& registry() {
    static std::vector<std::weak_ptr<QVSCMInterface>> queues;
    return queues;
}

}  // namespace

QVSCMInterface::QVSCMInterface(QString workingCopyPath)
    : _workingCopyPath(std::move(workingCopyPath)), _root(workingCopyRootForPath(_workingCopyPath)) {}

QVSCMInterface::~QVSCMInterface() { die(); }

QString QVSCMInterface::executablePath() {
    return UserDefaults::standard().stringForKey(QStringLiteral("QVSubversionExecPath"));
}

void QVSCMInterface::setCredentials(const QString& username, const QString& password) {
    _username = username;
    _password = password;
    // The head waited for these.
    if (!_queue.empty() && _waitingForCredentials) {
        _running = false;
        _waitingForCredentials = false;
        startHead();
    }
}

void QVSCMInterface::credentialsRefused() {
    if (_queue.empty() || !_running) return;
    dequeueHead();
}

namespace {

// The queues left to clean up a working copy after a client that was cut off: each lives until
// its cleanup has run.
std::vector<std::shared_ptr<QVSCMInterface>>& leftCleanups() {
    static std::vector<std::shared_ptr<QVSCMInterface>> queues;
    return queues;
}

}  // namespace

void QVSCMInterface::cleanUpAfterCutOff(const QString& workingCopyPath, const QString& root) {
    auto queue = std::make_shared<QVSCMInterface>(workingCopyPath);
    leftCleanups().push_back(queue);
    queue->enqueue(QVSCMSimpleAction::cleanup(root));
    queue->whenIdle([raw = queue.get()] {
        std::erase_if(leftCleanups(), [raw](const auto& kept) { return kept.get() == raw; });
    });
}

void QVSCMInterface::die() {
    if (_dying) return;
    _dying = true;
    // A client cut off while it changes the working copy leaves it locked: as Stop does, a
    // cleanup follows, on a queue of its own that outlives this one.
    const bool cutChange = runsClient() && dynamic_cast<const QVSCMSimpleAction*>(_queue.front().get());
    for (const auto& action : _queue) action->kill();
    _queue.clear();
    _running = false;
    _waitingForCredentials = false;
    _idleCallbacks.clear();
    if (cutChange) cleanUpAfterCutOff(_workingCopyPath, _root);
    for (const auto& sibling : siblings()) sibling->startHead();
}

void QVSCMInterface::finishAll(std::chrono::milliseconds bound, std::function<void()> done) {
    QList<std::shared_ptr<QVSCMInterface>> queues;
    for (const auto& weak : registry())
        if (const auto queue = weak.lock(); queue && !queue->_dying && !queue->isIdle()) queues << queue;
    struct Finish {
        std::function<void()> done;
        int left = 0;
        void once() {
            if (done) std::exchange(done, nullptr)();
        }
    };
    const auto finish = std::make_shared<Finish>(Finish{std::move(done), int(queues.size())});
    if (queues.isEmpty()) return finish->once();
    for (const auto& queue : queues) {
        // What waits never starts; a client that only reads is ended now, one that writes gets
        // the bound to finish.
        queue->_queue.erase(queue->_queue.begin() + 1, queue->_queue.end());
        if (!dynamic_cast<const QVSCMSimpleAction*>(queue->_queue.front().get())) queue->stop();
        queue->whenIdle([finish] {
            if (--finish->left == 0) finish->once();
        });
    }
    // Past the bound the writes still running are stopped and cleaned up after; a cleanup that
    // hangs does not keep the end waiting for ever.
    MainQueue::after(bound, [queues] {
        for (const auto& queue : queues) queue->stop();
    });
    MainQueue::after(bound + std::chrono::seconds(20), [finish] { finish->once(); });
}

void QVSCMInterface::quitOnTerminationSignal(std::function<void()> quit, std::function<bool()> first) {
    Process::onTerminationSignal([quit = std::move(quit), first = std::move(first)] {
        if (first && !first()) return;
        finishAll(std::chrono::seconds(4), quit);
    });
}

QString QVSCMInterface::runningCommand() const {
    return runsClient() ? QVSCMAction::humanReadableStringForActionType(_queue.front()->type()) : QString();
}

QString QVSCMInterface::pendingChange() const {
    if (_waitingForCredentials) return {};
    for (const auto& action : _queue)
        if (dynamic_cast<const QVSCMSimpleAction*>(action.get())) return QVSCMAction::humanReadableStringForActionType(action->type());
    return {};
}

bool QVSCMInterface::isIdle() const { return _queue.empty() || _waitingForCredentials || _dying; }

void QVSCMInterface::whenIdle(std::function<void()> done) {
    if (!done) return;
    if (isIdle()) return done();
    _idleCallbacks.push_back(std::move(done));
}

void QVSCMInterface::notifyIfIdle() {
    if (!isIdle()) return;
    for (const auto& done : std::exchange(_idleCallbacks, {})) done();
}

void QVSCMInterface::stop() {
    if (_queue.empty()) return notifyIfIdle();
    // What waits is dropped; the running client ends and its cleanup follows (a cleanup that
    // runs is left to finish).
    _queue.erase(_queue.begin() + 1, _queue.end());
    if (_waitingForCredentials) return dequeueHead();
    if (_running && _queue.front()->type() != QVSCMAction::Cleanup) _queue.front()->kill();
}

bool QVSCMInterface::cancelRunning() {
    if (!runsClient() || _queue.front()->type() == QVSCMAction::Cleanup) return false;
    _queue.front()->cancel();
    return true;
}

QList<std::shared_ptr<QVSCMInterface>> QVSCMInterface::siblings() const {
    QList<std::shared_ptr<QVSCMInterface>> found;
    for (const auto& weak : registry())
        if (const auto queue = weak.lock(); queue && queue.get() != this && !queue->_dying && queue->_root == _root) found << queue;
    return found;
}

void QVSCMInterface::enqueue(const std::shared_ptr<QVSCMAction>& action) {
    if (_dying) return;
    if (!_registered) {
        _registered = true;
        auto& queues = registry();
        std::erase_if(queues, [](const auto& weak) { return weak.expired(); });
        queues.push_back(weak_from_this());
    }
    _queue.push_back(action);
    startHead();
}

void QVSCMInterface::startHead() {
    if (_running || _queue.empty() || _dying) return;
    const std::shared_ptr<QVSCMAction> head = _queue.front();
    // A cleanup waits for every client in the working copy to end, and nothing starts there
    // while one waits or runs; the queue that ends a run starts the others again.
    const QList<std::shared_ptr<QVSCMInterface>> others = siblings();
    const bool blocked = head->type() == QVSCMAction::Cleanup
                             ? std::any_of(others.begin(), others.end(), [](const auto& q) { return q->runsClient(); })
                             : std::any_of(others.begin(), others.end(), [](const auto& q) { return q->hasCleanupAtHead(); });
    if (blocked) return;
    _running = true;
    _waitingForCredentials = false;
    const QString program = executablePath();
    if (program.isEmpty()) {
        // Said at once rather than tried: without a client nothing can run.
        return handleFinished(head, QVError::app(0, QVLocalized(QStringLiteral("SCM Error")),
                                                 QVLocalized(QStringLiteral("Subversion (svn) was not found. Choose where it is in the start-up check."))));
    }
    head->run({program, _workingCopyPath, _username, _password}, weak_from_this());
}

void QVSCMInterface::actionFinished(const std::shared_ptr<QVSCMAction>& action, const QVError& error) {
    // Later, not inside the call that started the action (a refusal is told at once).
    MainQueue::post([weak = weak_from_this(), action, error] {
        if (const auto self = weak.lock()) self->handleFinished(action, error);
    });
}

void QVSCMInterface::handleFinished(const std::shared_ptr<QVSCMAction>& action, const QVError& error) {
    if (_dying || _queue.empty() || _queue.front() != action) return;
    const auto delegate = _delegate.lock();
    const bool cleanup = action->type() == QVSCMAction::Cleanup;
    if (!cleanup && QVSCMAction::isLockedError(error) && !action->retriedAfterCleanup()) {
        // Locked by a client that is gone: clean up, then the same command once more.
        action->setRetriedAfterCleanup();
        _queue.push_front(QVSCMSimpleAction::cleanup(_root));
        _running = false;
        startHead();
        for (const auto& sibling : siblings()) sibling->startHead();
        return;
    }
    // A client cut off while changing the working copy may leave it locked (reading ones take no
    // lock), and so may one of an earlier run that the first status finds: clean up before the
    // next action.
    const auto* status = dynamic_cast<const QVSCMStatusAction*>(action.get());
    const bool foundLock = status && !std::exchange(_lockChecked, true) && status->foundLock();
    const bool changes = !cleanup && dynamic_cast<const QVSCMSimpleAction*>(action.get());
    if ((changes && action->wasInterrupted()) || foundLock)
        _queue.insert(_queue.begin() + 1, QVSCMSimpleAction::cleanup(_root));
    if (error && error.code() == 1) {
        // Credentials wanted: the action stays at the head until they come or are refused.
        _waitingForCredentials = true;
        _loginFailed = !_password.isEmpty();
        for (const auto& sibling : siblings()) sibling->startHead();
        if (delegate) delegate->scmInterfaceNeedsCredentials(this);
        else dequeueHead();
        notifyIfIdle();
        return;
    }
    if (error) {
        if (delegate && !cleanup && !action->wasCancelled()) delegate->scmInterfaceHadError(this, error);
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
        if (!simple->conflictedPaths().isEmpty()) delegate->scmInterfaceUpdateLeftConflicts(this, simple->conflictedPaths());
        delegate->scmInterfaceDidPerformCommand(this, simple->type(),
                                                simple->type() == QVSCMAction::Move ? QStringList() : simple->files());
    }
}

void QVSCMInterface::dequeueHead() {
    if (!_queue.empty()) _queue.pop_front();
    _running = false;
    _waitingForCredentials = false;
    startHead();
    for (const auto& sibling : siblings()) sibling->startHead();
    notifyIfIdle();
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
