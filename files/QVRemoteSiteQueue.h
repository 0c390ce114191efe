// The single way to one remote site: it owns the site's client connection, runs remote actions
// strictly one after another on a worker thread of its own, logs in first, logs in again and
// repeats an action whose client timed out or died (a few times at most), holds work while the
// network is down, remembers recently used hosts, and tells its delegate about status, failures
// and each finished operation. Callbacks come on the queue's threads, never on the main thread.
#pragma once

#include "files/QVConnectAction.h"
#include "files/QVRemoteFile.h"
#include "files/QVRemoteFileAction.h"
#include "files/QVRemoteFilesQueue.h"

#include <QList>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class QVRemoteSiteQueue;

// Every callback is optional. The queue's delegate hears status and failures, and the results
// of operations queued without a delegate of their own; a finish delegate hears its results
// and, unlike in a plain status callback, its failures.
class QVRemoteSiteQueueDelegate {
public:
    virtual ~QVRemoteSiteQueueDelegate() = default;
    // The object clearActionDelegate knows this delegate by (a stand-in names its owner).
    virtual const void* identity() const { return this; }
    virtual void queueOpenedConnection(QVRemoteSiteQueue*) {}
    virtual void queueClosedConnection(QVRemoteSiteQueue*) {}
    virtual void queueHadError(QVRemoteSiteQueue*, const QVError&) {}
    virtual void queueHadCredentialsFailure(QVRemoteSiteQueue*) {}
    virtual void queueHadFatalFailure(QVRemoteSiteQueue*) {}
    virtual void queueSetStatus(QVRemoteSiteQueue*, const QString&, bool animate) { (void)animate; }

    virtual void queueRetrievedFiles(QVRemoteSiteQueue*, const QList<QVRemoteFile>&, const QString& path) { (void)path; }
    virtual void queueDownloadedFile(QVRemoteSiteQueue*, const QString& remotePath, const QString& localPath) {
        (void)remotePath, (void)localPath;
    }
    virtual void queueUploadedFile(QVRemoteSiteQueue*, const QString& localPath, const QString& remotePath) {
        (void)localPath, (void)remotePath;
    }
    virtual void queueMovedFile(QVRemoteSiteQueue*, const QString& oldPath, const QString& newPath) {
        (void)oldPath, (void)newPath;
    }
    virtual void queueDeletedFile(QVRemoteSiteQueue*, const QString& path) { (void)path; }
    virtual void queueCreatedDirectory(QVRemoteSiteQueue*, const QString& path) { (void)path; }
    virtual void queueChangedToDirectory(QVRemoteSiteQueue*, const QString& path) { (void)path; }
    virtual void queueDidChmod(QVRemoteSiteQueue*, const QString& mode, const QString& path) { (void)mode, (void)path; }
    // An operation that will not succeed (its error also went to the queue's delegate).
    virtual void queueActionFailed(QVRemoteSiteQueue*, QVRemoteFileAction*, const QVError&) {}
};

class QVRemoteSiteQueue : public QVRemoteFilesQueue,
                          public QVRemoteFileActionDelegate,
                          public std::enable_shared_from_this<QVRemoteSiteQueue> {
public:
    enum State { Closed = 0, Connecting = 1, Idle = 2, Busy = 3, Closing = 4 };
    // How often an action is repeated after its client timed out or died.
    static constexpr int MaximumRepeats = 3;
    // How long a cancelled command may take to come back before its client is ended.
    static constexpr int CancelGraceMilliseconds = 3000;
    // A login that fails once the site was reached (a server restarting, a network blip) is
    // tried again this many times, after waits that double from the first, before it is fatal.
    static constexpr int MaximumLoginRetries = 4;
    static constexpr int FirstLoginRetryMilliseconds = 500;
    // The recent-hosts list never grows past this.
    static constexpr int MaximumRecentHosts = 11;
    static constexpr const char* RecentHostsKey = "QVRecentRemoteHosts";

    static std::shared_ptr<QVRemoteSiteQueue> make(int type, const std::shared_ptr<QVRemoteSiteQueueDelegate>& delegate);
    ~QVRemoteSiteQueue() override;

    void setDelegate(const std::shared_ptr<QVRemoteSiteQueueDelegate>& delegate);
    const std::shared_ptr<QVRemoteFilesConnection>& connection() const { return _connection; }
    int state() const { return _state.load(); }
    bool networkIsUp() const { return _networkIsUp.load(); }
    void setInitialWorkingDirectory(const QString& path);
    // Receives the client's output (the connection log).
    void setLogDelegate(std::function<void(const QString&)> log);

    // Tests reachability (on the worker, off the caller's thread), notes the host among the
    // recent hosts and logs in before anything else runs.
    void connectToHost(const QString& host, int port, const QString& user, const QString& password,
                       const QStringList& arguments);
    // Interrupts the running command while busy; it fails (a transfer leaves no partial copy),
    // is not repeated, and the next action runs on a fresh login.
    void cancel();
    void closeConnection();
    // Queued actions stop reporting to the object (a delegate's identity()).
    void clearActionDelegate(const void* object) override;
    // A remote side for a node of the site's tree, working through this queue.
    std::shared_ptr<QVRemoteFileRepresentation> newRepresentation(const QString& path) override;
    // A fresh reachability test of the login host.
    bool isOnline() override;

    void getFileListing(const QString& path, const std::shared_ptr<QVRemoteSiteQueueDelegate>& delegate);
    void downloadFile(const QString& remote, const QString& local, const std::shared_ptr<QVRemoteSiteQueueDelegate>& delegate);
    void downloadDirectory(const QString& remote, const QString& local, const std::shared_ptr<QVRemoteSiteQueueDelegate>& delegate);
    void uploadFile(const QString& local, const QString& remote, const std::shared_ptr<QVRemoteSiteQueueDelegate>& delegate);
    void uploadDirectory(const QString& local, const QString& remote, const std::shared_ptr<QVRemoteSiteQueueDelegate>& delegate);
    void moveFile(const QString& path, const QString& newPath, const std::shared_ptr<QVRemoteSiteQueueDelegate>& delegate);
    void deleteFile(const QString& path, const std::shared_ptr<QVRemoteSiteQueueDelegate>& delegate);
    void deleteDirectory(const QString& path, const std::shared_ptr<QVRemoteSiteQueueDelegate>& delegate);
    void createDirectory(const QString& path, const std::shared_ptr<QVRemoteSiteQueueDelegate>& delegate);
    void chmod(const QString& mode, const QString& path);
    void changeToDirectory(const QString& path);

    // The reachability news of the login host (also called by tests).
    void networkStatusChanged(const QString& host, bool reachable);
    // "Connecting", "Connected", "Offline" or nothing, by state.
    QString statusText() const;
    // Why a failed login ended the queue (the client's words), empty when it did not or when the
    // site refused the name and password.
    QString closedBecause() const {
        std::lock_guard guard(_lock);
        return _closedBecause;
    }

    void actionFinished(QVRemoteFileAction* action, bool result, int statusCode) override;
    void actionWaits(QVRemoteFileAction* action, const QString& why) override;

private:
    enum class Start { None, Connect, Close, CreateDirectory, Delete, Move, Upload, Download, Retrieve };
    enum class Finish { None, Opened, Retrieved, Downloaded, Uploaded, Moved, Deleted, Created, ChangedDirectory, Chmod, Closed };
    struct Entry {
        std::shared_ptr<QVRemoteFileAction> action;
        Start start = Start::None;
        Finish finish = Finish::None;
        std::shared_ptr<QVRemoteSiteQueueDelegate> finishDelegate;
        int repeats = 0;
    };

    explicit QVRemoteSiteQueue(int type);
    void append(Entry entry);
    void insertLoginAtHead();
    // Kills the client and puts the login (and the entry into the initial folder) at the head.
    void reconnect();
    // The login (and the entry into the initial folder) at the head, under the lock.
    void queueLogin();
    void startWorker(const QString& reachabilityHost);
    void work(QString reachabilityHost);
    void poke();
    void performStart(const Entry& entry);
    void performFinish(const Entry& entry);
    void failEntry(const Entry& entry, int statusCode, bool toQueueDelegate, bool loginRefused = false);
    // Every waiting operation hears it will not come (all but the failed one), and the
    // connection closes.
    void dropEverythingAndClose(const QVRemoteFileAction* failed, bool loginRefused = false);
    // A failed re-login is tried again later; false when it has been tried enough.
    bool retryLogin(QVRemoteFileAction* failed);
    void noteRecentHost(const QString& host, int port, const QString& user);
    void setStatus(const QString& text, bool animate);
    std::shared_ptr<QVRemoteSiteQueueDelegate> delegate() const;

    std::shared_ptr<QVRemoteFilesConnection> _connection;
    mutable std::recursive_mutex _lock;  // guards the fields up to _worker
    QList<Entry> _queue;
    std::shared_ptr<QVRemoteSiteQueueDelegate> _delegate;
    std::shared_ptr<QVConnectAction> _connectAction;
    QString _initialWorkingDirectory;
    QString _host;
    QString _recentUser;  // noted among the recent hosts once the host is reachable
    int _recentPort = 0;
    QVRemoteFileAction* _running = nullptr;  // the head action while it runs
    QString _runningStatus;                  // what the status line says of it
    QString _closedBecause;                  // why a failed login ended the queue, for work after it
    quint64 _runs = 0;                       // actions started, so a late look at one is told apart
    bool _poked = false;
    std::condition_variable_any _wake;
    std::thread _worker;
    std::atomic<bool> _workerRunning{false};
    std::atomic<int> _state{Closed};
    std::atomic<bool> _networkIsUp{true};
    std::atomic<bool> _dying{false};
    bool _wasConnected = false;   // a login succeeded since connectToHost
    int _loginRetries = 0;        // failed re-logins in a row
    std::chrono::steady_clock::time_point _notBefore;  // the next action waits until then
};
