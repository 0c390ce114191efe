// One dialogue with a site's client: writing a command and judging its reply. The base carries
// the connection, the delegate told the outcome (the site's queue, or a folder action running
// sub-actions), the rules that turn a reply into a status code and a verdict, the quoting of
// paths for each client and the error shown for a failure.
#pragma once

#include "files/QVRemoteFilesConnection.h"
#include "platform/QVError.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>
#include <optional>

class QVRemoteFileAction;

class QVRemoteFileActionDelegate {
public:
    virtual ~QVRemoteFileActionDelegate() = default;
    virtual void actionFinished(QVRemoteFileAction* action, bool result, int statusCode) = 0;
    // The running action waits for something outside its queue before it can go on (why).
    virtual void actionWaits(QVRemoteFileAction*, const QString&) {}
};

// Reply-line keys of a failure's user information: the client's own words.
inline constexpr const char* QVRemoteClientReplyKey = "QVRemoteClientReply";
// Set on the failure of an action dropped because the site refused the login: the login's own
// question says so once, and a listing dropped with it has nothing more to tell.
inline constexpr const char* QVRemoteLoginRefusedKey = "QVRemoteLoginRefused";
// Set on the failure of a listing a cancel removed before it started: the cancelled one's own
// failure says it once, not once a folder.
inline constexpr const char* QVRemoteCancelledWithOthersKey = "QVRemoteCancelledWithOthers";

class QVRemoteFileAction : public QVRemoteFilesConnectionDelegate,
                           public std::enable_shared_from_this<QVRemoteFileAction> {
public:
    explicit QVRemoteFileAction(std::shared_ptr<QVRemoteFilesConnection> connection);
    ~QVRemoteFileAction() override;

    const std::shared_ptr<QVRemoteFilesConnection>& connection() const { return _connection; }
    // A fresh action of the same kind and arguments (the queue reruns its login from one).
    virtual std::shared_ptr<QVRemoteFileAction> copy() const = 0;

    // Keeps the delegate, becomes the connection's delegate; subclasses then write their command.
    virtual void runWithDelegate(const std::shared_ptr<QVRemoteFileActionDelegate>& delegate);
    virtual bool failureIsFatal() const { return false; }
    // The error for a failure with the status code; names what the client said last.
    virtual QVError errorWithStatusCode(int statusCode) const;

    bool connectionWillNeedInput(QVRemoteFilesConnection* connection, const QString& openLine) override;
    void connectionFinishedCommand(QVRemoteFilesConnection* connection, const QStringList& lines) override;
    void connectionTimedOut(QVRemoteFilesConnection* connection) override;

    // The code of a reply: a line starting with three digits (1-5, 0-5, 0-9) and a character
    // that is neither digit nor letter carries one; a "-" after it (the first line of a long
    // reply) ends the walk with that code; 226 wins over any other; otherwise the first found.
    static int statusCodeForLines(const QStringList& lines, bool reversed);
    static bool statusCodeIsError(int statusCode) { return statusCode > 399; }
    // Whether an sftp reply reports a failure (it carries no codes, only words).
    static bool linesIndicateError(const QStringList& lines);

    // A path as one argument of the client's command line, or nothing (with the reason) when it
    // cannot be written safely: empty, holding a control character, or (cadaver, which expands
    // them in every remote name and takes no escape) a wildcard. sftp gets its wildcards escaped
    // in a form every one of its commands reads as the literal name. A relative path starting
    // with "-" gets "./".
    static std::optional<QString> quotedPath(int type, const QString& path, QString* why = nullptr);
    // Permissions as octal digits only.
    static bool isValidMode(const QString& mode);

    const QStringList& lastReply() const { return _lastReply; }
    // Why an action that never ran will not (the login before it failed): its error says that
    // instead of a guess.
    void setNotRunBecause(const QString& reason) { _refusal = reason; }
    // Why the action refused its answer (a bound it passed, a path it cannot write); empty
    // otherwise.
    const QString& refusal() const { return _refusal; }

protected:
    // Reports the outcome once per run; later reports of the same run are dropped.
    void report(bool result, int statusCode);
    // Called once, by the report, before anyone hears the outcome: what the run held ends here,
    // however it ended (a refusal before the transfer too).
    virtual void willReport() {}
    // Writes a command; a refused or failed write ends the action as a failure of a dead client.
    bool write(const QString& command);
    // Fails the action with a reason of ours (a path that cannot be written), without a command.
    void refuse(const QString& reason);
    // The verdict on a finished reply by the evidence each client gives: tnftp a completion code
    // at its prompt, sftp its prompt and no failure line, cadaver its prompt, no error code and
    // its word of success. The code goes to *statusCode.
    bool replySucceeded(const QStringList& lines, int* statusCode, bool needsSuccessWord = true) const;
    // Subclasses judge their reply here.
    virtual void handleReply(const QStringList& lines);
    // The remote paths the action reaches: none reaches a path a listing gave to two entries.
    virtual QStringList targetPaths() const { return {}; }
    // What failed, then a guess at why: the guess is left out where a reason of ours (a
    // refusal) or the user's cancel says why.
    QVError titledError(int statusCode, const QString& description, const QString& failed,
                        const QString& guess = {}) const;

    std::shared_ptr<QVRemoteFilesConnection> _connection;
    std::weak_ptr<QVRemoteFileActionDelegate> _delegate;
    QStringList _lastReply;
    QString _refusal;
    // Set by whichever thread reports first: a failed write (the queue's thread) and the
    // client's end (the reader thread) may both try.
    std::atomic<bool> _reported{false};
    bool _abandoningQuestion = false;
};

// A raw command ("quit").
class QVCommandAction : public QVRemoteFileAction {
public:
    QVCommandAction(std::shared_ptr<QVRemoteFilesConnection> connection, QString command, bool isFatal);
    std::shared_ptr<QVRemoteFileAction> copy() const override;
    void runWithDelegate(const std::shared_ptr<QVRemoteFileActionDelegate>& delegate) override;
    bool failureIsFatal() const override { return _isFatal; }
    const QString& command() const { return _command; }

protected:
    void handleReply(const QStringList& lines) override;

private:
    QString _command;
    bool _isFatal;
};
