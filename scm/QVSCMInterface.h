// The queue of Subversion actions of one working copy: actions run one at a time, in the order
// asked, each in the working copy; results and errors reach the delegate on the main thread. An
// action refused for want of credentials stays at the head until credentials come (then runs
// again) or are refused (then it fails and the queue goes on). A run cut off by a signal, a
// working copy found locked by the first status, and a command refused because the working copy
// is locked (E155004) are followed by "svn cleanup" of the whole working copy, and the refused
// command runs once more. Every queue in the same working copy (two projects in it) waits for a
// cleanup, and a cleanup waits until no other queue runs a client there.
// Everything here is called on the main thread.
#pragma once

#include "scm/QVSCMAction.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>

class QVSCMInterface;

class QVSCMInterfaceDelegate {
public:
    virtual ~QVSCMInterfaceDelegate() = default;
    virtual void scmInterfaceNeedsCredentials(QVSCMInterface* interface) = 0;
    virtual void scmInterfaceHadError(QVSCMInterface* interface, const QVError& error) = 0;
    virtual void scmInterfaceDidPerformCommand(QVSCMInterface* interface, int type, const QStringList& files) = 0;
    // An update succeeded but left these paths in conflict (told before the command's end).
    virtual void scmInterfaceUpdateLeftConflicts(QVSCMInterface* interface, const QStringList& paths) {
        (void)interface, (void)paths;
    }
    virtual void scmInterfaceDidRetrieveOutput(QVSCMInterface* interface, const QVSCMOutputAction& action) = 0;
    virtual void scmInterfaceDidRetrieveLog(QVSCMInterface* interface, const QVSCMLogAction& action) = 0;
    virtual void scmInterfaceDidRetrieveStatus(QVSCMInterface* interface, const QList<std::shared_ptr<QVSCMStatusEntry>>& entries,
                                               const QString& path, bool recursive) = 0;
};

class QVSCMInterface : public QVSCMActionDelegate, public std::enable_shared_from_this<QVSCMInterface> {
public:
    // A queue for the working copy folder, or nothing when the folder holds no ".svn".
    static std::shared_ptr<QVSCMInterface> scmInterfaceForPath(const QString& path);
    // The working copy that contains path: the nearest folder at or above it holding ".svn".
    static QString workingCopyRootForPath(const QString& path);
    // Made with std::make_shared (results come back through a weak reference to it).
    explicit QVSCMInterface(QString workingCopyPath);
    ~QVSCMInterface() override;

    // The client: the "QVSubversionExecPath" setting; empty when unset.
    static QString executablePath();
    const QString& workingCopyPath() const { return _workingCopyPath; }
    void setDelegate(const std::weak_ptr<QVSCMInterfaceDelegate>& delegate) { _delegate = delegate; }
    QString username() const { return _username; }
    QString password() const { return _password; }
    // New credentials: the action waiting for them runs again with them.
    void setCredentials(const QString& username, const QString& password);
    // None came: the action waiting for them fails quietly and the next one starts.
    void credentialsRefused();
    // Ends the work of every queue that cannot be asked about it (a logout): what waits is
    // dropped, reading clients are ended, and a change that runs gets bound to finish before it
    // is stopped and cleaned up after; done is called once every queue is idle (at the latest
    // some seconds after the bound).
    static void finishAll(std::chrono::milliseconds bound, std::function<void()> done);
    // A termination signal (Process::onTerminationSignal) runs first (what must not wait for the
    // queues), then finishAll with a short bound, then quit; first answering false stays (a
    // second signal ends the process).
    static void quitOnTerminationSignal(std::function<void()> quit, std::function<bool()> first = {});
    // Stops: nothing is queued afterwards and the running client is ended; when it was changing
    // the working copy a cleanup follows all the same, so that no lock is left.
    void die();

    // The command whose client runs now ("Commit"); empty when none runs (one waiting for
    // credentials does not).
    QString runningCommand() const;
    // The first command queued or running that changes the working copy (a commit, an update,
    // a cleanup...; not a status, log or diff); empty when none.
    QString pendingChange() const;
    // Calls done once no client runs and none is waiting to (a command waiting for credentials
    // counts as ended); at once when idle already.
    void whenIdle(std::function<void()> done);
    // Drops what waits, ends the running client and cleans up after it: whenIdle hears once the
    // working copy is clean.
    void stop();
    // Ends the running client (never a cleanup) without an error; the queue goes on. False
    // when no client ran.
    bool cancelRunning();
    // Whether the credentials of the last refusal were given, not missing: the login failed.
    bool loginFailed() const { return _loginFailed; }

    void addFiles(const QStringList& paths);
    void annotateFile(const QString& path, const QString& revision);
    void catFile(const QString& path, const QString& revision);
    void commitFiles(const QStringList& paths, const QString& message);
    void deleteFiles(const QStringList& paths);
    void diffFile(const QString& path, const QString& fromRevision, const QString& toRevision);
    void getLogForFile(const QString& path, const QString& revision, int tag, QObject* context = nullptr);
    void getStatusForFile(const QString& path, bool isDirectory, bool showUpdateInformation, bool recursive);
    void makeDirectory(const QString& path, const QString& message);
    void moveFile(const QString& from, const QString& to);
    void revertFiles(const QStringList& paths);
    void updateFiles(const QStringList& paths, const QString& revision);

    // How many actions wait or run (the head included).
    int queuedCount() const { return int(_queue.size()); }

    void actionFinished(const std::shared_ptr<QVSCMAction>& action, const QVError& error) override;

private:
    void enqueue(const std::shared_ptr<QVSCMAction>& action);
    static void cleanUpAfterCutOff(const QString& workingCopyPath, const QString& root);
    void startHead();
    void handleFinished(const std::shared_ptr<QVSCMAction>& action, const QVError& error);
    void dequeueHead();
    void deliver(const QVSCMAction& action);
    bool isIdle() const;
    void notifyIfIdle();
    // The other queues of the same working copy, and whether one runs a client or has a
    // cleanup to run.
    QList<std::shared_ptr<QVSCMInterface>> siblings() const;
    bool runsClient() const { return _running && !_waitingForCredentials; }
    bool hasCleanupAtHead() const { return !_queue.empty() && _queue.front()->type() == QVSCMAction::Cleanup; }

    QString _workingCopyPath;
    QString _root;  // the working copy's top
    bool _registered = false;
    bool _lockChecked = false;
    bool _waitingForCredentials = false;
    bool _loginFailed = false;
    std::vector<std::function<void()>> _idleCallbacks;
    std::weak_ptr<QVSCMInterfaceDelegate> _delegate;
    QString _username, _password;
    bool _dying = false;
    bool _running = false;  // the head runs or waits for credentials
    std::deque<std::shared_ptr<QVSCMAction>> _queue;
};
