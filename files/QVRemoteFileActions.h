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
    const Kind _kind;
    QString _remotePath;
    QString _argument;
};

class QVFileTransferAction : public QVRemoteFileAction {
public:
    enum Kind { Get, Put };
    QVFileTransferAction(Kind kind, std::shared_ptr<QVRemoteFilesConnection> connection, QString remotePath,
                         QString localPath);
    Kind kind() const { return _kind; }
    const QString& remotePath() const { return _remotePath; }
    const QString& localPath() const { return _localPath; }
    // The hidden name beside the target that an upload of the file named `name` goes to first.
    static QString uploadTemporaryName(const QString& name);

    std::shared_ptr<QVRemoteFileAction> copy() const override;
    void runWithDelegate(const std::shared_ptr<QVRemoteFileActionDelegate>& delegate) override;
    QVError errorWithStatusCode(int statusCode) const override;
    // A silent client leaves no half-written copy behind.
    void connectionTimedOut(QVRemoteFilesConnection* connection) override;

protected:
    void handleReply(const QStringList& lines) override;
    void finish(bool result, int statusCode);
    // A transfer naming what cadaver would read as a pattern: sent as WebDAV requests.
    void transferDirectly();
    const Kind _kind;
    QString _remotePath;
    QString _localPath;
    // A download goes to a hidden name beside the target and replaces it only when complete.
    QString _temporaryPath;
    // So does an upload, on the site: renamed over the target once complete, removed otherwise.
    QString _remoteTemporaryPath;
    QString _transferCommand;
    enum Step { SettingType, Transferring, Renaming, Cleaning };
    Step _step = Transferring;
    bool _transferred = false;  // the last transfer or rename step succeeded
    int _failureCode = 0;
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
};
