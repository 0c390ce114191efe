// The remote file operations: rename or move, permissions, delete, make and enter a folder,
// download and upload a file, and delete, download or upload a whole folder. Each writes its
// command in the client's syntax and judges the reply by the client's evidence; folder actions
// walk their contents with sub-actions on the same connection and report once, failing with a
// count when any part failed.
#pragma once

#include "files/QVFileListingAction.h"
#include "files/QVRemoteFileAction.h"

#include <QList>

#include <mutex>

class QVFileAction : public QVRemoteFileAction {
public:
    enum Kind { Move, Chmod, DeleteFile, MakeDirectory, ChangeDirectory, DeleteDirectory };
    QVFileAction(Kind kind, std::shared_ptr<QVRemoteFilesConnection> connection, QString remotePath,
                 QString argument = {});
    static std::shared_ptr<QVFileAction> move(std::shared_ptr<QVRemoteFilesConnection> c, const QString& path, const QString& newPath);
    static std::shared_ptr<QVFileAction> chmod(std::shared_ptr<QVRemoteFilesConnection> c, const QString& path, const QString& mode);

    Kind kind() const { return _kind; }
    const QString& remotePath() const { return _remotePath; }
    const QString& newPath() const { return _argument; }
    const QString& mode() const { return _argument; }

    std::shared_ptr<QVRemoteFileAction> copy() const override;
    void runWithDelegate(const std::shared_ptr<QVRemoteFileActionDelegate>& delegate) override;
    QVError errorWithStatusCode(int statusCode) const override;
    // The command line, or empty with the reason when it cannot be written safely.
    QString command(QString* why) const;

protected:
    // cadaver's reply names no resource but the target (it reads some names as patterns).
    bool reachedOnlyTarget(const QStringList& lines) const;
    // A delete, move or new folder whose name cadaver would read as a pattern, sent as one WebDAV
    // request and checked on the site afterwards; false when the kind cannot go that way.
    bool runDirectly();
    void handleReply(const QStringList& lines) override;
    QStringList targetPaths() const override {
        return _kind == Move ? QStringList{_remotePath, _argument} : QStringList{_remotePath};
    }
    const Kind _kind;
    QString _remotePath;
    QString _argument;
};

// A download goes to a hidden name beside its target and replaces it only when complete. An
// upload is a plain put of the file's own path, as any client does it: tnftp's and sftp's put,
// and on a WebDAV site one PUT once the site said (PROPFIND of that one resource) that the path
// names no collection. Nothing is read from a folder listing to decide where the text goes. The
// upload counts only once the client reports the whole transfer (tnftp's 226 and its count of
// the bytes sent, none for an empty file; sftp's put with no failure line, a 2xx answer) and,
// where an FTP server answers SIZE, the site holds that many bytes. Nothing is ever written into
// a folder: sftp is asked what the one target is first (as WebDAV's PROPFIND is), FTP servers
// refuse a STOR onto one. A cut transfer leaves the site's file partial until a
// rerun completes it. Two uploads to one file of one site never run at once in Qorvel: the second
// waits until the first has ended.
class QVFileTransferAction : public QVRemoteFileAction {
public:
    enum Kind { Get, Put };
    QVFileTransferAction(Kind kind, std::shared_ptr<QVRemoteFilesConnection> connection, QString remotePath,
                         QString localPath);
    ~QVFileTransferAction() override;
    Kind kind() const { return _kind; }
    const QString& remotePath() const { return _remotePath; }
    const QString& localPath() const { return _localPath; }
    // The number in tnftp's "N bytes sent in ..." ("1 byte", or received) line of a transfer's
    // reply.
    static std::optional<qint64> bytesInReply(const QStringList& lines);

    std::shared_ptr<QVRemoteFileAction> copy() const override;
    void runWithDelegate(const std::shared_ptr<QVRemoteFileActionDelegate>& delegate) override;
    QVError errorWithStatusCode(int statusCode) const override;
    void connectionFinishedCommand(QVRemoteFilesConnection* connection, const QStringList& lines) override;
    void connectionTimedOut(QVRemoteFilesConnection* connection) override;

protected:
    void handleReply(const QStringList& lines) override;
    QStringList targetPaths() const override { return {_remotePath}; }
    void finish(bool result, int statusCode);
    // A WebDAV upload, and a download whose name cadaver would read as a pattern: sent as
    // WebDAV requests.
    void transferDirectly();
    // While a transfer runs directly, the client's end (a cancel) is no answer to it: the action
    // fails at once on the connection's thread, and from then on the transfer, still running on
    // the queue's, keeps what the site says to itself. False when no transfer runs directly.
    bool abandonDirectTransfer();
    // What the site said to a direct transfer (or why it was refused) becomes the action's
    // unless the action was abandoned; answers whether it did.
    bool keepDirectAnswer(const QString& said, const QString& refusal = {});
    // A download's hidden name beside its target; false (refused) when the target's folder is
    // not there.
    bool chooseTemporary();
    void startTransfer();
    void sendFile();
    // Waits until no other upload of this file of this site runs, then holds it until finish;
    // false when the connection was cancelled or ended meanwhile.
    bool holdTarget();
    void releaseTarget();
    // A put refused after it took its file (a path listed twice) must not hold the file's next
    // delete, rename or save until it is destroyed.
    void willReport() override { releaseTarget(); }

    const Kind _kind;
    QString _remotePath;
    QString _localPath;
    // A download goes to a hidden name beside the target and replaces it only when complete.
    QString _temporaryPath;
    QString _transferCommand;
    QString _returnFolder;  // where sftp stood before its cd to the target, quoted
    QString _held;  // the site's file this upload holds; empty when none
    // The site took the whole upload and did not say what it made of it: it may still save it.
    bool _maySave = false;
    bool _siteTook = false;  // the site answered that it took the upload
    std::mutex _directLock;
    bool _direct = false;     // this run transfers directly
    bool _abandoned = false;  // and the client's end has failed it
    enum Step { AskingFolder, CheckingTarget, CheckingThroughLinks, Returning, SettingType, Transferring, Sizing };
    Step _step = Transferring;
    int _transferCode = 0;
};

// Folder walks: delete, download, upload.
class QVDirectoryAction : public QVRemoteFileAction, public QVRemoteFileActionDelegate {
public:
    enum Kind { Delete, Get, Put };
    QVDirectoryAction(Kind kind, std::shared_ptr<QVRemoteFilesConnection> connection, QString remotePath,
                      QString localPath = {});
    Kind kind() const { return _kind; }
    const QString& remotePath() const { return _remotePath; }
    const QString& localPath() const { return _localPath; }
    // Entries whose part of the walk failed (a nested folder counts its own).
    int failures() const { return _failures; }

    std::shared_ptr<QVRemoteFileAction> copy() const override;
    void runWithDelegate(const std::shared_ptr<QVRemoteFileActionDelegate>& delegate) override;
    QVError errorWithStatusCode(int statusCode) const override;
    void actionFinished(QVRemoteFileAction* action, bool result, int statusCode) override;

protected:
    void handleReply(const QStringList& lines) override;
    QStringList targetPaths() const override { return {_remotePath}; }
    void advance();
    void listingFinished(QVFileListingAction* listing, bool result, int statusCode);
    void queueLocalEntries();
    std::shared_ptr<QVDirectoryAction> self();

    const Kind _kind;
    QString _remotePath;
    QString _localPath;
    QList<std::shared_ptr<QVRemoteFileAction>> _actionQueue;  // the first is running
    QList<std::shared_ptr<QVRemoteFileAction>> _retired;      // finished ones, kept until we go
    int _failures = 0;
    int _finishedCount = 0;
    int _lastStatusCode = 0;
    // advance() runs on the queue's worker (the start) and on the reader thread (each reply):
    // one runs the walk, the other only asks it to go on.
    std::mutex _advanceLock;  // guards _advancing, _again and _actionQueue
    bool _advancing = false;
    bool _again = false;
    bool _checkingExistence = false;
    bool _finalCommandSent = false;
    bool _madeLocalFolder = false;  // this run made the download's local folder
    void dropEmptyMadeFolder();
};
