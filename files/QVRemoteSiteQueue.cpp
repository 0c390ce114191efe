#include "files/QVRemoteSiteQueue.h"
#include "platform/Threads.h"

#include "files/QVFileListingAction.h"
#include "files/QVRemoteFileActions.h"
#include "files/QVProjectRemoteConfiguration.h"
#include "files/QVQueuedRemoteFileRepresentation.h"
#include "platform/FileName.h"
#include "platform/QVNetworkController.h"
#include "platform/UserDefaults.h"

#include <QCoreApplication>

namespace {

QString tr(const char* text) { return QCoreApplication::translate("QVRemoteSiteQueue", text); }

QString lastComponent(const QString& path) {
    const QString name = path.section(u'/', -1, -1, QString::SectionSkipEmpty);
    return name.isEmpty() ? path : name;
}

}  // namespace

std::shared_ptr<QVRemoteSiteQueue> QVRemoteSiteQueue::make(int type,
                                                           const std::shared_ptr<QVRemoteSiteQueueDelegate>& delegate) {
    std::shared_ptr<QVRemoteSiteQueue> queue(new QVRemoteSiteQueue(type));
    queue->setDelegate(delegate);
    return queue;
}

QVRemoteSiteQueue::QVRemoteSiteQueue(int type) : _connection(std::make_shared<QVRemoteFilesConnection>(type)) {}

QVRemoteSiteQueue::~QVRemoteSiteQueue() {
    QVNetworkController::sharedInstance().removeObserver(this);
    {
        std::lock_guard guard(_lock);
        _queue.clear();
        _delegate.reset();
        _dying = true;
        _poked = true;
    }
    _wake.notify_all();
    _connection->kill();
    if (_worker.joinable()) {
        if (_worker.get_id() == std::this_thread::get_id())
            _worker.detach();
        else
            _worker.join();
    }
}

void QVRemoteSiteQueue::setDelegate(const std::shared_ptr<QVRemoteSiteQueueDelegate>& delegate) {
    std::lock_guard guard(_lock);
    _delegate = delegate;
}

std::shared_ptr<QVRemoteSiteQueueDelegate> QVRemoteSiteQueue::delegate() const {
    std::lock_guard guard(_lock);
    return _delegate;
}

void QVRemoteSiteQueue::setInitialWorkingDirectory(const QString& path) {
    std::lock_guard guard(_lock);
    _initialWorkingDirectory = path;
}

void QVRemoteSiteQueue::setLogDelegate(std::function<void(const QString&)> log) {
    _connection->setLogDelegate(std::move(log));
}

QString QVRemoteSiteQueue::statusText() const {
    switch (_state.load()) {
    case Closed: return {};
    case Connecting: return tr("Connecting");
    default: return _networkIsUp ? tr("Connected") : tr("Offline");
    }
}

void QVRemoteSiteQueue::setStatus(const QString& text, bool animate) {
    if (auto d = delegate()) d->queueSetStatus(this, text, animate);
}

void QVRemoteSiteQueue::poke() {
    {
        std::lock_guard guard(_lock);
        _poked = true;
    }
    _wake.notify_all();
}

void QVRemoteSiteQueue::connectToHost(const QString& host, int port, const QString& user, const QString& password,
                                      const QStringList& arguments) {
    auto login = QVConnectAction::make(_connection, host, port, user, password, arguments);
    {
        std::lock_guard guard(_lock);
        _host = host;
        login->setPath(_initialWorkingDirectory);
        _connectAction = std::static_pointer_cast<QVConnectAction>(login->copy());
    }
    {
        std::lock_guard guard(_lock);
        _recentPort = port;
        _recentUser = user;
        _wasConnected = false;
        _loginRetries = 0;
        _notBefore = {};
    }
    _networkIsUp = true;
    insertLoginAtHead();
    startWorker(host);
}

void QVRemoteSiteQueue::insertLoginAtHead() {
    std::lock_guard guard(_lock);
    Entry login{_connectAction, Start::Connect, Finish::Opened, nullptr, 0};
    _connectAction = std::static_pointer_cast<QVConnectAction>(_connectAction->copy());
    _queue.prepend(login);
}

void QVRemoteSiteQueue::startWorker(const QString& reachabilityHost) {
    std::lock_guard guard(_lock);
    _dying = false;
    if (_workerRunning) {
        // A worker that is still there (perhaps on its way out) takes the new work.
        _poked = true;
        _wake.notify_all();
        return;
    }
    if (_worker.joinable()) {
        if (_worker.get_id() == std::this_thread::get_id())
            _worker.detach();
        else
            _worker.join();
    }
    _workerRunning = true;
    _poked = false;
    _worker = Threads::start("QVRemoteQueue", [this, reachabilityHost] { work(reachabilityHost); });
}

void QVRemoteSiteQueue::work(QString reachabilityHost) {
    // The reachability test resolves the name: never on the caller's (main) thread.
    if (!reachabilityHost.isEmpty()) {
        QVError error;
        if (!QVNetworkController::hostIsReachable(reachabilityHost, &error)) {
            {
                std::lock_guard guard(_lock);
                _queue.clear();
            }
            {
                std::lock_guard guard(_lock);
                _workerRunning = false;
            }
            if (auto d = delegate()) {
                if (error) d->queueHadError(this, error);
                d->queueHadFatalFailure(this);
            }
            return;
        }
        int port;
        QString user;
        {
            std::lock_guard guard(_lock);
            port = _recentPort;
            user = _recentUser;
        }
        noteRecentHost(reachabilityHost, port, user);
        std::weak_ptr<QVRemoteSiteQueue> weak = weak_from_this();
        QVNetworkController::sharedInstance().addObserver(
            weak_from_this(), this, reachabilityHost, [weak](const QString& host, bool reachable) {
                if (auto queue = weak.lock()) queue->networkStatusChanged(host, reachable);
            });
    }
    for (;;) {
        std::shared_ptr<QVRemoteFileAction> action;
        Entry entry;
        {
            std::unique_lock guard(_lock);
            // A login tried again waits its turn (a closing queue does not).
            while (!_dying && std::chrono::steady_clock::now() < _notBefore) _wake.wait_until(guard, _notBefore);
            // A queue on its way out is never Idle or Busy again, not even for a moment: the
            // window asks whether it is connected while the failure it was told of travels.
            if (_queue.isEmpty() || !_networkIsUp) {
                if (_state != Closing && !_dying) _state = Idle;
            } else if (_running != _queue.first().action.get()) {
                entry = _queue.first();
                action = entry.action;
                // A new action starts: an earlier cancel's mark no longer applies, and one from
                // now on (before the action has sent anything) reaches it.
                _connection->clearCancelled();
                _running = action.get();
                _runningStatus.clear();
                ++_runs;
                if (_state != Closing)
                    _state = entry.start == Start::Close ? Closing : entry.start == Start::Connect ? Connecting : Busy;
            }
        }
        if (action) {
            // The last owner may let go while an action starts: a queue being destroyed waits
            // for this thread, and one we end up destroying ourselves must not be touched again.
            const std::weak_ptr<QVRemoteSiteQueue> weak = weak_from_this();
            std::shared_ptr<QVRemoteSiteQueue> self = weak.lock();
            if (!self) {
                std::lock_guard guard(_lock);
                _workerRunning = false;
                break;
            }
            performStart(entry);
            action->runWithDelegate(self);
            self.reset();
            if (weak.expired()) return;
        } else {
            setStatus(statusText(), false);
        }
        std::unique_lock guard(_lock);
        if (!_dying) {
            _wake.wait(guard, [&] { return _poked || _dying; });
            _poked = false;
        }
        if (_dying) {
            // Decided under the lock, so a login queued from now on starts a new worker.
            _workerRunning = false;
            break;
        }
    }
    _state = Closed;
    if (auto d = delegate()) d->queueClosedConnection(this);
    setStatus(statusText(), false);
}

void QVRemoteSiteQueue::performStart(const Entry& entry) {
    // A name's control characters pictured, as every message shows them: raw, a CR reads as
    // the neighbour's name.
    const auto shown = [](const QString& name) { return FileName::pictured(name); };
    auto text = [&]() -> QString {
        switch (entry.start) {
        case Start::Connect: _state = Connecting; return {};
        case Start::Close: _state = Closing; return tr("Closing connection");
        case Start::CreateDirectory:
            return tr("Creating directory \"%1\"").arg(shown(lastComponent(static_cast<QVFileAction*>(entry.action.get())->remotePath())));
        case Start::Delete: {
            if (auto* f = dynamic_cast<QVFileAction*>(entry.action.get())) return tr("Deleting \"%1\"").arg(shown(lastComponent(f->remotePath())));
            return tr("Deleting \"%1\"").arg(shown(lastComponent(static_cast<QVDirectoryAction*>(entry.action.get())->remotePath())));
        }
        case Start::Move: {
            auto* m = static_cast<QVFileAction*>(entry.action.get());
            return tr("Moving \"%1\" to \"%2\"").arg(shown(lastComponent(m->remotePath())), shown(lastComponent(m->newPath())));
        }
        case Start::Upload:
        case Start::Download: {
            QString local, remote;
            if (auto* t = dynamic_cast<QVFileTransferAction*>(entry.action.get())) {
                local = t->localPath();
                remote = t->remotePath();
            } else if (auto* d = dynamic_cast<QVDirectoryAction*>(entry.action.get())) {
                local = d->localPath();
                remote = d->remotePath();
            }
            return entry.start == Start::Upload ? tr("Uploading \"%1\"").arg(shown(lastComponent(local)))
                                                : tr("Downloading \"%1\"").arg(shown(lastComponent(remote)));
        }
        case Start::Retrieve: {
            const QString path = static_cast<QVFileListingAction*>(entry.action.get())->path();
            return path.isEmpty() ? tr("Getting file list for the site's top folder")
                                  : tr("Getting file list for \"%1\"").arg(shown(path));
        }
        case Start::None: return {};
        }
        return {};
    }();
    QString waiting;
    {
        std::lock_guard guard(_lock);
        _runningStatus = text;
        // A save waiting behind this action is said while it waits, whatever runs before it.
        for (qsizetype i = 1; i < _queue.size() && waiting.isEmpty(); ++i) {
            if (_queue[i].start != Start::Upload) continue;
            if (auto* t = dynamic_cast<QVFileTransferAction*>(_queue[i].action.get())) waiting = t->localPath();
            else if (auto* d = dynamic_cast<QVDirectoryAction*>(_queue[i].action.get())) waiting = d->localPath();
        }
    }
    if (!text.isEmpty() && !waiting.isEmpty() && entry.start != Start::Upload)
        text = tr("%1 (\"%2\" waits to upload until it ends or is cancelled)").arg(text, shown(lastComponent(waiting)));
    if (!text.isEmpty()) setStatus(text, true);
}

void QVRemoteSiteQueue::performFinish(const Entry& entry) {
    auto* action = entry.action.get();
    if (entry.finish == Finish::Opened) {
        {
            std::lock_guard guard(_lock);
            _wasConnected = true;
            _loginRetries = 0;
        }
        _state = Idle;
        if (auto d = delegate()) d->queueOpenedConnection(this);
        return;
    }
    if (entry.finish == Finish::Closed) {
        _dying = true;
        _connection->close();
        poke();
        return;
    }
    auto receiver = entry.finishDelegate ? entry.finishDelegate : delegate();
    if (!receiver) return;
    switch (entry.finish) {
    case Finish::Retrieved: {
        auto* l = static_cast<QVFileListingAction*>(action);
        receiver->queueRetrievedFiles(this, l->files(), l->path());
        break;
    }
    case Finish::Downloaded:
    case Finish::Uploaded: {
        QString local, remote;
        if (auto* t = dynamic_cast<QVFileTransferAction*>(action)) {
            local = t->localPath();
            remote = t->remotePath();
        } else if (auto* d = dynamic_cast<QVDirectoryAction*>(action)) {
            local = d->localPath();
            remote = d->remotePath();
        }
        if (entry.finish == Finish::Downloaded)
            receiver->queueDownloadedFile(this, remote, local);
        else
            receiver->queueUploadedFile(this, local, remote);
        break;
    }
    case Finish::Moved: {
        auto* m = static_cast<QVFileAction*>(action);
        receiver->queueMovedFile(this, m->remotePath(), m->newPath());
        break;
    }
    case Finish::Deleted:
        if (auto* f = dynamic_cast<QVFileAction*>(action))
            receiver->queueDeletedFile(this, f->remotePath());
        else
            receiver->queueDeletedFile(this, static_cast<QVDirectoryAction*>(action)->remotePath());
        break;
    case Finish::Created: receiver->queueCreatedDirectory(this, static_cast<QVFileAction*>(action)->remotePath()); break;
    case Finish::ChangedDirectory:
        receiver->queueChangedToDirectory(this, static_cast<QVFileAction*>(action)->remotePath());
        break;
    case Finish::Chmod: {
        auto* c = static_cast<QVFileAction*>(action);
        receiver->queueDidChmod(this, c->mode(), c->remotePath());
        break;
    }
    default: break;
    }
}

void QVRemoteSiteQueue::failEntry(const Entry& entry, int statusCode, bool toQueueDelegate, bool loginRefused) {
    QVError error = entry.action->errorWithStatusCode(statusCode);
    if (loginRefused) error.setUserInfoValue(QString::fromLatin1(QVRemoteLoginRefusedKey), true);
    if (toQueueDelegate)
        if (auto d = delegate()) d->queueHadError(this, error);
    if (entry.finishDelegate) entry.finishDelegate->queueActionFailed(this, entry.action.get(), error);
}

void QVRemoteSiteQueue::actionFinished(QVRemoteFileAction* action, bool result, int statusCode) {
    Entry entry;
    {
        std::lock_guard guard(_lock);
        if (_queue.isEmpty() || _queue.first().action.get() != action) return;  // a dropped action
        entry = _queue.first();
        _running = nullptr;
    }
    // A cancelled command may leave the client out of step with its server (a reply still to
    // come, a transfer half aborted): the next action gets a fresh login.
    const bool cancelled = _connection->wasCancelled() && !action->failureIsFatal();
    if (result) {
        performFinish(entry);
        if (cancelled) _connection->kill();
        {
            // One step, so work appended meanwhile never starts on the client being replaced.
            std::lock_guard guard(_lock);
            if (!_queue.isEmpty() && _queue.first().action.get() == action) _queue.removeFirst();
            if (cancelled) queueLogin();
        }
        poke();
        return;
    }
    if (!_networkIsUp) return;  // held at the head until the network returns
    if (action->failureIsFatal()) {
        auto* login = dynamic_cast<QVConnectAction*>(action);
        const bool refused = login && login->credentialsWereSent();
        if (login && !refused && retryLogin(action)) return;
        if (entry.start == Start::Close) {
            // "quit" failed: the client is gone already. Said once, never closed again (a
            // closing that fails would report and close for ever).
            {
                std::lock_guard guard(_lock);
                _queue.clear();
            }
            _dying = true;
            _connection->close();
            poke();
            return;
        }
        const bool credentials = _state == Connecting && refused;
        if (login && !refused) {
            // Known before anyone hears of the failure: a window asks for it as it does.
            const QString why = action->errorWithStatusCode(0).localizedRecoverySuggestion();
            std::lock_guard guard(_lock);
            _closedBecause = why.isEmpty() ? QString() : tr("The login failed: %1").arg(why);
        }
        if (auto d = delegate()) {
            if (credentials)
                d->queueHadCredentialsFailure(this);
            else
                d->queueHadFatalFailure(this);
        }
        dropEverythingAndClose(action, credentials);
        return;
    }
    bool initialFolder;
    {
        std::lock_guard guard(_lock);
        initialFolder = entry.finish == Finish::ChangedDirectory && !_initialWorkingDirectory.isEmpty() &&
                        static_cast<QVFileAction*>(action)->remotePath() == _initialWorkingDirectory;
    }
    if (initialFolder && !_connection->hasTimedOut(statusCode)) {
        // Every path the tree sends is relative to the site's folder: run from the login folder
        // instead, a delete or an upload would reach other files. Nothing more runs.
        failEntry(entry, statusCode, true);
        if (auto d = delegate()) d->queueHadFatalFailure(this);
        dropEverythingAndClose(action);
        return;
    }
    bool repeat = false;
    // A client ended because its answer passed a bound (an FTP listing without end) would only
    // fetch the same answer again: it is refused once, and the next action logs in afresh.
    const bool refusedAnswer = !action->refusal().isEmpty() && _connection->hasTimedOut(statusCode);
    {
        std::lock_guard guard(_lock);
        if (_queue.isEmpty() || _queue.first().action.get() != action) return;  // dropped meanwhile
        if (!cancelled && !refusedAnswer && _connection->hasTimedOut(statusCode) && _queue.first().repeats < MaximumRepeats &&
            _connectAction) {
            ++_queue.first().repeats;
            repeat = true;
        }
    }
    if (repeat) {
        // Log in again (and enter the folder again), then run the action once more.
        reconnect();
        poke();
        return;
    }
    // So may a failed transfer: cadaver leaves the rest of a download it could not write (a full
    // disk) on the wire, and its next request reads that as the answer.
    const bool transfer = dynamic_cast<QVFileTransferAction*>(action) ||
                          (dynamic_cast<QVDirectoryAction*>(action) &&
                           static_cast<QVDirectoryAction*>(action)->kind() != QVDirectoryAction::Delete);
    const bool loginAgain = cancelled || transfer || refusedAnswer;
    if (loginAgain) _connection->kill();
    {
        // Before anyone hears of the failure: work it makes them queue must find the login first.
        std::lock_guard guard(_lock);
        if (!_queue.isEmpty() && _queue.first().action.get() == action) _queue.removeFirst();
        if (loginAgain) queueLogin();
    }
    failEntry(entry, statusCode, true);
    poke();
}

void QVRemoteSiteQueue::actionWaits(QVRemoteFileAction* action, const QString& why) {
    {
        std::lock_guard guard(_lock);
        if (_running != action) return;
        _runningStatus = why;
    }
    setStatus(why, true);
}

void QVRemoteSiteQueue::dropEverythingAndClose(const QVRemoteFileAction* failed, bool loginRefused) {
    QList<Entry> dropped;
    {
        std::lock_guard guard(_lock);
        dropped = std::exchange(_queue, {});
        _state = Closing;
    }
    // Whoever waits for a dropped operation hears that it will not come, and why: a login that
    // could not reach the site says what the client said of it (a refused connection).
    const QString why = failed && !loginRefused && dynamic_cast<const QVConnectAction*>(failed)
                            ? failed->errorWithStatusCode(0).localizedRecoverySuggestion()
                            : QString();
    const QString because = why.isEmpty() ? QString() : tr("The login failed: %1").arg(why);
    {
        std::lock_guard guard(_lock);
        _closedBecause = because;
    }
    for (const Entry& e : dropped) {
        if (e.action.get() == failed) continue;
        if (!because.isEmpty()) e.action->setNotRunBecause(because);
        failEntry(e, 0, false, loginRefused);
    }
    closeConnection();
}

bool QVRemoteSiteQueue::retryLogin(QVRemoteFileAction* failed) {
    std::unique_lock guard(_lock);
    // Only a site reached before: a first login that fails says so at once.
    if (!_wasConnected || _loginRetries >= MaximumLoginRetries || _dying) return false;
    if (_queue.isEmpty() || _queue.first().action.get() != failed) return false;
    const int wait = FirstLoginRetryMilliseconds << _loginRetries;
    ++_loginRetries;
    _queue.removeFirst();
    // A directory entry queued behind the failed login goes: the new login brings its own.
    if (!_queue.isEmpty() && _queue.first().finish == Finish::ChangedDirectory && !_initialWorkingDirectory.isEmpty() &&
        static_cast<QVFileAction*>(_queue.first().action.get())->remotePath() == _initialWorkingDirectory)
        _queue.removeFirst();
    _notBefore = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait);
    // The failed client may still sit at its prompt: it ends without a word to the new login.
    _connection->kill();
    queueLogin();
    _poked = true;
    _wake.notify_all();
    return true;
}

void QVRemoteSiteQueue::reconnect() {
    _connection->kill();
    queueLogin();
}

void QVRemoteSiteQueue::queueLogin() {
    std::lock_guard guard(_lock);
    if (!_connectAction) return;
    const QString folder = _initialWorkingDirectory;
    // A WebDAV login whose address names the folder starts in it; one made before the folder was
    // set (a project's) opens the address's own collection and enters the folder as the first did.
    if (!folder.isEmpty() && (_connection->type() != QVRemoteFilesConnection::WebDAV || _connectAction->path().isEmpty()))
        _queue.prepend({std::make_shared<QVFileAction>(QVFileAction::ChangeDirectory, _connection, folder),
                        Start::None, Finish::ChangedDirectory, nullptr, 0});
    insertLoginAtHead();
}

void QVRemoteSiteQueue::append(Entry entry) {
    QString waitsFor;
    bool appended = false;
    {
        std::lock_guard guard(_lock);
        if (_workerRunning && !_dying) {
            appended = true;
            // A save goes ahead of listings still waiting (a refresh queues one a folder as it
            // walks), so it goes next once the request in front of it ends.
            qsizetype at = _queue.size();
            if (entry.start == Start::Upload)
                for (qsizetype i = 1; i < _queue.size(); ++i)
                    if (_queue[i].start == Start::Retrieve && _queue[i].action.get() != _running) {
                        at = i;
                        break;
                    }
            _queue.insert(at, entry);
            if (_queue.size() == 1) {
                _poked = true;
                _wake.notify_all();
            } else if (entry.start == Start::Upload && _running && !_runningStatus.isEmpty()) {
                waitsFor = _runningStatus;
            }
        }
    }
    if (!waitsFor.isEmpty()) {
        // A save whose upload cannot start yet says so, or it would look lost.
        QString local;
        if (auto* t = dynamic_cast<QVFileTransferAction*>(entry.action.get())) local = t->localPath();
        else if (auto* d = dynamic_cast<QVDirectoryAction*>(entry.action.get())) local = d->localPath();
        setStatus(tr("%1 (\"%2\" waits to upload until it ends or is cancelled)")
                      .arg(waitsFor, FileName::pictured(lastComponent(local))),
                  true);
    }
    if (appended) return;
    {
        std::lock_guard guard(_lock);
        if (!_closedBecause.isEmpty()) entry.action->setNotRunBecause(_closedBecause);
    }
    // Nothing would ever run it: say so now.
    const QVError error = entry.action->errorWithStatusCode(0);
    if (auto d = delegate()) d->queueHadError(this, error);
    if (entry.finishDelegate) entry.finishDelegate->queueActionFailed(this, entry.action.get(), error);
}

void QVRemoteSiteQueue::closeConnection() {
    // A client that is gone cannot be asked to quit: the queue just ends.
    if (_connection->state() == QVRemoteFilesConnection::Killed || !_workerRunning || _connection->clientEnded()) {
        _dying = true;
        _connection->close();
        poke();
        return;
    }
    append({std::make_shared<QVCommandAction>(_connection, QStringLiteral("quit"), true), Start::Close, Finish::Closed,
            nullptr, 0});
}

void QVRemoteSiteQueue::cancel() {
    // Cancel stops what the user started: a refresh is many listings, each queued as its folder's
    // turn comes, so every listing still waiting goes with the running one. With nothing of the
    // user's running yet (a login, or a worker about to start), the operation that would go next
    // is removed before it starts.
    QList<Entry> dropped;
    quint64 run = 0;
    bool interrupt = false;
    {
        std::lock_guard guard(_lock);
        const bool userRuns = _running && _state == Busy;
        const bool retrieving = userRuns && !_queue.isEmpty() && _queue.first().action.get() == _running &&
                                _queue.first().start == Start::Retrieve;
        const qsizetype firstWaiting = _running && !_queue.isEmpty() && _queue.first().action.get() == _running ? 1 : 0;
        if (retrieving || !userRuns) {
            for (qsizetype i = firstWaiting; i < _queue.size();) {
                if (_queue[i].start == Start::Retrieve) dropped.append(_queue.takeAt(i));
                else ++i;
            }
        }
        if (!userRuns && dropped.isEmpty()) {
            for (qsizetype i = firstWaiting; i < _queue.size(); ++i) {
                const Start start = _queue[i].start;
                if (start == Start::Connect || start == Start::Close || start == Start::None) continue;
                dropped.append(_queue.takeAt(i));
                break;
            }
        }
        if (userRuns) {
            interrupt = true;
            run = _runs;
        }
    }
    for (qsizetype i = 0; i < dropped.size(); ++i) {
        const Entry& e = dropped.at(i);
        e.action->setNotRunBecause(tr("It was cancelled before it started."));
        QVError error = e.action->errorWithStatusCode(0);
        // Listings a refresh queued are told once, by the one that ran (or the first of them).
        if (e.start == Start::Retrieve && (interrupt || i > 0))
            error.setUserInfoValue(QString::fromLatin1(QVRemoteCancelledWithOthersKey), true);
        if (e.finishDelegate) e.finishDelegate->queueActionFailed(this, e.action.get(), error);
    }
    if (!dropped.isEmpty() && !interrupt) setStatus(statusText(), false);
    if (!interrupt) return;
    // A request sent to the site itself ends at once; only an interrupted client needs time.
    if (!_connection->cancel()) return;
    // A client waiting on a stalled server may not come back from the interrupt: end it, so
    // the action fails and the queue goes on.
    Threads::start("QVRemoteRun", [weak = weak_from_this(), run] {
        for (int i = 0; i < CancelGraceMilliseconds / 50; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            auto queue = weak.lock();
            if (!queue) return;
            std::lock_guard guard(queue->_lock);
            if (!queue->_running || queue->_runs != run) return;
        }
        auto queue = weak.lock();
        if (!queue) return;
        std::lock_guard guard(queue->_lock);
        if (queue->_running && queue->_runs == run) queue->_connection->terminate();
    }).detach();
}

void QVRemoteSiteQueue::clearActionDelegate(const void* object) {
    std::lock_guard guard(_lock);
    for (Entry& e : _queue)
        if (e.finishDelegate && e.finishDelegate->identity() == object) e.finishDelegate.reset();
}

std::shared_ptr<QVRemoteFileRepresentation> QVRemoteSiteQueue::newRepresentation(const QString& path) {
    return std::make_shared<QVQueuedRemoteFileRepresentation>(path, shared_from_this());
}

bool QVRemoteSiteQueue::isOnline() {
    QString host;
    {
        std::lock_guard guard(_lock);
        host = _host;
    }
    return !host.isEmpty() && QVNetworkController::hostIsReachable(host);
}

void QVRemoteSiteQueue::networkStatusChanged(const QString&, bool reachable) {
    const bool wasUp = _networkIsUp.exchange(reachable);
    setStatus(statusText(), false);
    if (reachable) {
        // Also when an action failed while offline and waits at the head.
        if (!wasUp) poke();
        return;
    }
    QVariantMap info;
    info.insert(QVIsLowPriorityError, true);
    if (auto d = delegate())
        d->queueHadError(this, QVError::app(11, tr("Network Lost"),
                                            tr("Your network connection appears to be down. Remote operations will be "
                                               "queued until your connection is reestablished."),
                                            {}, info));
}

void QVRemoteSiteQueue::noteRecentHost(const QString& host, int port, const QString& user) {
    UserDefaults& defaults = UserDefaults::standard();
    QVariantList hosts = defaults.arrayForKey(RecentHostsKey);
    for (const QVariant& record : hosts)
        if (record.toMap().value(QVRecentRemoteHost).toString() == host) return;
    QVariantMap record;
    record.insert(QVRecentRemoteHost, host.isNull() ? QStringLiteral("") : host);
    record.insert(QVRecentRemoteUser, user.isNull() ? QStringLiteral("") : user);
    record.insert(QVRecentRemoteProtocol, _connection->type());
    if (port > 0) record.insert(QVRecentRemotePort, port);
    hosts.prepend(record);
    while (hosts.size() > MaximumRecentHosts) hosts.removeLast();
    defaults.setObject(hosts, RecentHostsKey);
}

// MARK: operations

void QVRemoteSiteQueue::getFileListing(const QString& path, const std::shared_ptr<QVRemoteSiteQueueDelegate>& d) {
    append({std::make_shared<QVFileListingAction>(_connection, path), Start::Retrieve, Finish::Retrieved, d, 0});
}
void QVRemoteSiteQueue::downloadFile(const QString& remote, const QString& local, const std::shared_ptr<QVRemoteSiteQueueDelegate>& d) {
    append({std::make_shared<QVFileTransferAction>(QVFileTransferAction::Get, _connection, remote, local), Start::Download,
            Finish::Downloaded, d, 0});
}
void QVRemoteSiteQueue::downloadDirectory(const QString& remote, const QString& local, const std::shared_ptr<QVRemoteSiteQueueDelegate>& d) {
    append({std::make_shared<QVDirectoryAction>(QVDirectoryAction::Get, _connection, remote, local), Start::Download,
            Finish::Downloaded, d, 0});
}
void QVRemoteSiteQueue::uploadFile(const QString& local, const QString& remote, const std::shared_ptr<QVRemoteSiteQueueDelegate>& d) {
    append({std::make_shared<QVFileTransferAction>(QVFileTransferAction::Put, _connection, remote, local), Start::Upload,
            Finish::Uploaded, d, 0});
}
void QVRemoteSiteQueue::uploadDirectory(const QString& local, const QString& remote, const std::shared_ptr<QVRemoteSiteQueueDelegate>& d) {
    append({std::make_shared<QVDirectoryAction>(QVDirectoryAction::Put, _connection, remote, local), Start::Upload,
            Finish::Uploaded, d, 0});
}
void QVRemoteSiteQueue::moveFile(const QString& path, const QString& newPath, const std::shared_ptr<QVRemoteSiteQueueDelegate>& d) {
    append({QVFileAction::move(_connection, path, newPath), Start::Move, Finish::Moved, d, 0});
}
void QVRemoteSiteQueue::deleteFile(const QString& path, const std::shared_ptr<QVRemoteSiteQueueDelegate>& d) {
    append({std::make_shared<QVFileAction>(QVFileAction::DeleteFile, _connection, path), Start::Delete, Finish::Deleted, d, 0});
}
void QVRemoteSiteQueue::deleteDirectory(const QString& path, const std::shared_ptr<QVRemoteSiteQueueDelegate>& d) {
    append({std::make_shared<QVDirectoryAction>(QVDirectoryAction::Delete, _connection, path), Start::Delete,
            Finish::Deleted, d, 0});
}
void QVRemoteSiteQueue::createDirectory(const QString& path, const std::shared_ptr<QVRemoteSiteQueueDelegate>& d) {
    append({std::make_shared<QVFileAction>(QVFileAction::MakeDirectory, _connection, path), Start::CreateDirectory,
            Finish::Created, d, 0});
}
void QVRemoteSiteQueue::chmod(const QString& mode, const QString& path) {
    append({QVFileAction::chmod(_connection, path, mode), Start::None, Finish::Chmod, nullptr, 0});
}
void QVRemoteSiteQueue::changeToDirectory(const QString& path) {
    append({std::make_shared<QVFileAction>(QVFileAction::ChangeDirectory, _connection, path), Start::None,
            Finish::ChangedDirectory, nullptr, 0});
}
