// The Subversion controller of a project as a file document calls it. Paths are from the
// project's root. The controller runs its commands on its own and reports to the project.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class QWidget;

class QVProjectSCMController {
public:
    // Tags of the log sheet: the command run on the revision picked from the log.
    enum LogTag { AnnotateLog = 2, CompareLog = 4, DiffLog = 6, ViewLog = 7, UpdateLog = 12 };

    virtual ~QVProjectSCMController() = default;

    // Queues a status of the path ("." or empty: the root); the document asks after every save
    // with false, false.
    virtual void getStatusForPath(const QString& path, bool isDirectory, bool recursive) = 0;
    virtual void addFilesToRepository(const QStringList& paths) = 0;
    // windowForSheet: the window the commit message sheet shows on.
    virtual void commitFiles(const QStringList& paths, QWidget* windowForSheet) = 0;
    virtual void revertPath(const QString& path) = 0;
    // revision: "HEAD" or "BASE".
    virtual void diffPath(const QString& path, const QString& revision) = 0;
    virtual void comparePath(const QString& path, const QString& revision) = 0;
    virtual void annotatePath(const QString& path, const QString& revision) = 0;
    // An empty revision updates to the latest.
    virtual void updatePath(const QString& path, const QString& revision) = 0;
    // Shows the log (revision empty) to pick a revision, then runs the command of tag on it.
    virtual void getLogForPath(const QString& path, const QString& revision, LogTag tag, QWidget* window) = 0;

    // The credentials, as the project window's login sheet shows and answers them.
    virtual QString username() = 0;
    virtual void setCredentials(const QString& username, const QString& password, bool useKeychain) = 0;
    // The login sheet was cancelled: the command that asked fails, the next ones run.
    virtual void credentialsCancelled() = 0;
    // Whether the server refused the name and password last given (the sheet says so).
    virtual bool loginFailed() const { return false; }

    // The command whose client runs now ("Commit"); empty when none does.
    virtual QString runningCommand() const { return {}; }
    // The first command running or waiting to run that changes the working copy; empty when
    // none (reading commands may be cut off at any time).
    virtual QString pendingChange() const { return {}; }
    // Calls done once no command runs or waits to run. stop: what waits is dropped and the
    // running command is ended, the working copy cleaned up after it, before done.
    virtual void finishCommands(bool stop, std::function<void()> done) {
        (void)stop;
        if (done) done();
    }
    // Ends the running command without an error; the commands after it run. False when none ran.
    virtual bool cancelCommand() { return false; }
};
