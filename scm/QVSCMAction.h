// One run of the Subversion client: its type, its argument list, the run on an interactive task
// in the working copy, the result it keeps and the error made from the client's output. The
// client always runs non-interactive with English messages; a password goes in on its standard
// input (never in the argument vector or a log line), and every path follows "--" (or is one
// word with its option, "--old=PATH@").
#pragma once

#include "platform/QVError.h"
#include "scm/QVInteractiveTask.h"
#include "scm/QVSCMEntries.h"

#include <QByteArray>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <memory>

class QVSCMAction;

// Who hears that an action finished (the working copy's queue); on the main thread.
class QVSCMActionDelegate {
public:
    virtual ~QVSCMActionDelegate() = default;
    virtual void actionFinished(const std::shared_ptr<QVSCMAction>& action, const QVError& error) = 0;
};

// What a run needs of its working copy, copied when it starts.
struct QVSCMRunSettings {
    QString executablePath;
    QString workingCopyPath;
    QString username;
    QString password;
};

class QVSCMAction : public QVInteractiveTaskDelegate, public std::enable_shared_from_this<QVSCMAction> {
public:
    enum Type { NoType = 0, Add, Annotate, Commit, Cat, Delete, Diff, Log, Mkdir, Move, Revert, Status, Update, Cleanup };

    ~QVSCMAction() override;
    static QString humanReadableStringForActionType(int type);
    // The error of a failed run: "SCM Error", the client's warnings and its whole error (from
    // the first "svn: E" line to the end, lines without the prefix too) as the recovery
    // suggestion, code 1 when the client's error codes say credentials are wanted, else 0.
    static QVError errorForOutput(const QStringList& lines);
    // Whether a path can be handed to the client at all (a line break cannot be).
    static bool acceptablePath(const QString& path);

    int type() const { return _type; }
    void setType(int type) { _type = type; }
    // The full argument list for these settings (the password never in it).
    virtual QStringList arguments(const QVSCMRunSettings& settings) const;
    QStringList authenticationArguments(const QVSCMRunSettings& settings) const;
    virtual QString workingDirectory(const QVSCMRunSettings& settings) const { return settings.workingCopyPath; }
    // Whether the client is handed the credentials; commands that never reach the repository
    // (add, revert, a local status) run without them.
    virtual bool needsCredentials() const { return true; }
    // The working-copy paths the action names.
    virtual QStringList paths() const = 0;

    // Starts the client; returns at once. The delegate hears once, on the reader thread.
    void run(const QVSCMRunSettings& settings, const std::weak_ptr<QVSCMActionDelegate>& delegate);
    // Ends a running client (SIGKILL); its finish still comes, as a failure.
    void kill();
    // Ends it at the user's word: the failure is not an error to show.
    void cancel() {
        _cancelled = true;
        kill();
    }
    bool wasCancelled() const { return _cancelled; }
    // Whether the last run ended by a signal or was stopped: the working copy may be locked.
    bool wasInterrupted() const { return _interrupted; }
    // Whether the action already ran again after a cleanup of a locked working copy.
    bool retriedAfterCleanup() const { return _retriedAfterCleanup; }
    void setRetriedAfterCleanup() { _retriedAfterCleanup = true; }
    // Whether an error is the client's "working copy locked" (E155004).
    static bool isLockedError(const QVError& error);
    // Whatever the caller wants carried to the result (the window of a log's sheet).
    QPointer<QObject> context;

    void taskFinishedCommand(QVInteractiveTask* task, const QStringList& lines, const QByteArray& bytes,
                             bool hadError) override;

protected:
    explicit QVSCMAction(int type) : _type(type) {}
    // Keeps what the action needs of the output; answers an error of its own, if any, when the
    // client said it succeeded.
    virtual QVError keepResult(const QStringList& lines, const QByteArray& bytes, bool hadError) {
        (void)lines, (void)bytes, (void)hadError;
        return {};
    }
    // The path as the client reads it. Where the client looks for a peg revision (every
    // command but a diff that never leaves the working copy, and a move's destination) a path
    // containing "@" gets an empty one; where it takes names literally the path goes as it is,
    // a name beginning with "@" after "./" (the client would read it as a peg revision alone).
    // A path beginning with "^" goes after "./" too: the client would read it as an address
    // below the repository's root.
    static QString pathArgument(const QString& path, bool literal = false);

private:
    int _type;
    bool _retriedAfterCleanup = false;
    bool _cancelled = false;
    std::shared_ptr<QVInteractiveTask> _task;
    std::weak_ptr<QVSCMActionDelegate> _delegate;
    bool _interrupted = false;
};

class QVSCMLogAction : public QVSCMAction {
public:
    static std::shared_ptr<QVSCMLogAction> make(const QString& path, const QString& revision, int tag);
    QStringList arguments(const QVSCMRunSettings& settings) const override;
    QStringList paths() const override { return {_path}; }
    const QList<QVSCMLogEntry>& logEntries() const { return _logEntries; }
    const QString& path() const { return _path; }
    const QString& revision() const { return _revision; }
    int tag() const { return _tag; }

protected:
    QVError keepResult(const QStringList& lines, const QByteArray& bytes, bool hadError) override;

private:
    QVSCMLogAction(QString path, QString revision, int tag)
        : QVSCMAction(Log), _path(std::move(path)), _revision(std::move(revision)), _tag(tag) {}
    QString _path, _revision;
    int _tag;
    QList<QVSCMLogEntry> _logEntries;
};

// annotate, cat and diff: the client's text.
class QVSCMOutputAction : public QVSCMAction {
public:
    static std::shared_ptr<QVSCMOutputAction> make(const QString& command, const QString& path, const QString& revision1,
                                                   const QString& revision2, int type);
    QStringList arguments(const QVSCMRunSettings& settings) const override;
    QStringList paths() const override { return {_path}; }
    const QString& command() const { return _command; }
    const QString& path() const { return _path; }
    const QString& revision1() const { return _revision1; }
    const QString& revision2() const { return _revision2; }
    const QString& outputString() const { return _outputString; }
    // The client's bytes as it wrote them (a cat's file as it is in the repository).
    const QByteArray& outputBytes() const { return _outputBytes; }

protected:
    QVError keepResult(const QStringList& lines, const QByteArray& bytes, bool hadError) override;

private:
    QVSCMOutputAction(int type, QString command, QString path, QString revision1, QString revision2)
        : QVSCMAction(type), _command(std::move(command)), _path(std::move(path)), _revision1(std::move(revision1)),
          _revision2(std::move(revision2)) {}
    QString _command, _path, _revision1, _revision2;
    QString _outputString;
    QByteArray _outputBytes;
};

// add, commit, delete, mkdir, move, revert, update, cleanup over files.
class QVSCMSimpleAction : public QVSCMAction {
public:
    static std::shared_ptr<QVSCMSimpleAction> add(const QStringList& files);
    static std::shared_ptr<QVSCMSimpleAction> commit(const QStringList& files, const QString& message);
    static std::shared_ptr<QVSCMSimpleAction> remove(const QStringList& files);
    // A folder made in the repository: "-m" goes only with URLs, which a local mkdir refuses.
    static std::shared_ptr<QVSCMSimpleAction> mkdir(const QStringList& files, const QString& message);
    static std::shared_ptr<QVSCMSimpleAction> move(const QString& from, const QString& to);
    // Reverts what was chosen with all it holds.
    static std::shared_ptr<QVSCMSimpleAction> revert(const QStringList& files);
    static std::shared_ptr<QVSCMSimpleAction> update(const QStringList& files, const QString& revision);
    // Cleans up the working copy at path (its top).
    static std::shared_ptr<QVSCMSimpleAction> cleanup(const QString& path);

    QStringList arguments(const QVSCMRunSettings& settings) const override;
    QString workingDirectory(const QVSCMRunSettings& settings) const override;
    bool needsCredentials() const override;
    QStringList paths() const override { return _files; }
    const QString& command() const { return _command; }
    const QStringList& files() const { return _files; }
    // The paths an update left in conflict (text, properties or tree), as the client names them.
    const QStringList& conflictedPaths() const { return _conflicted; }

protected:
    QVError keepResult(const QStringList& lines, const QByteArray& bytes, bool hadError) override;

private:
    QVSCMSimpleAction(int type, QString command, QStringList files, QStringList postArguments)
        : QVSCMAction(type), _command(std::move(command)), _files(std::move(files)), _postArguments(std::move(postArguments)) {}
    QString _command;
    QStringList _files;
    QStringList _postArguments;
    QStringList _conflicted;
    // A move whose destination, inside a folder, begins with "@": run from that folder.
    bool movesIntoFolderByName() const;
};

class QVSCMStatusAction : public QVSCMAction {
public:
    static std::shared_ptr<QVSCMStatusAction> make(const QString& path, bool isDirectory, bool showUpdate, bool recursive);
    QStringList arguments(const QVSCMRunSettings& settings) const override;
    QString workingDirectory(const QVSCMRunSettings& settings) const override;
    QStringList paths() const override { return {_path}; }
    const QList<std::shared_ptr<QVSCMStatusEntry>>& statusEntries() const { return _statusEntries; }
    const QString& path() const { return _path; }
    bool isRecursive() const { return _recursive; }
    bool isDirectory() const { return _isDirectory; }
    // Whether the client reported a working-copy lock (a client cut off, or one running now).
    bool foundLock() const { return _foundLock; }

protected:
    QVError keepResult(const QStringList& lines, const QByteArray& bytes, bool hadError) override;

private:
    QVSCMStatusAction(QString path, bool isDirectory, bool showUpdate, bool recursive)
        : QVSCMAction(Status), _path(std::move(path)), _showUpdate(showUpdate), _isDirectory(isDirectory), _recursive(recursive) {}
    QString _path;
    bool _showUpdate, _isDirectory, _recursive;
    bool _foundLock = false;
    QList<std::shared_ptr<QVSCMStatusEntry>> _statusEntries;
};
