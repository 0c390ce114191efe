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

// A download goes to a hidden name beside its target and replaces it only when complete. An
// upload to a WebDAV site goes the same way (a copy moved over the file); one to an FTP site only
// where the copy is known to keep everything a plain put keeps: the folder's listing (or the one
// a folder walk already has) shows the target as a plain file with one name, writable by its
// owner; the account may rename it; an empty copy beside it, given its permission bits, shows
// the same mode, owner and group in a fresh listing. Only then does the text go into that copy,
// renamed over the target once complete. Anywhere else (sftp, which shows no link counts; a
// folder that cannot be listed; a link whose target the listing does not name exactly; a refused
// chmod or rename; another group) the text is put in place, as a plain put does, the site log
// says why, and the save counts only once the site reports the whole size. A failure removes
// only what the upload made; a rerun after a cut transfer first removes the copy the cut one left.
class QVFileTransferAction : public QVRemoteFileAction, public QVRemoteFileActionDelegate {
public:
    enum Kind { Get, Put };
    QVFileTransferAction(Kind kind, std::shared_ptr<QVRemoteFilesConnection> connection, QString remotePath,
                         QString localPath);
    Kind kind() const { return _kind; }
    const QString& remotePath() const { return _remotePath; }
    const QString& localPath() const { return _localPath; }
    // The hidden name an upload of the file named `name` goes to first: ".tmp_Qorvel-", the
    // upload's token, "-" and as much of the name as keeps it within 255 bytes of UTF-8, and
    // within the name's own length when that is over 64 bytes.
    static QString uploadTemporaryName(const QString& name, const QString& token);
    // The permission bits of a listed plain file ("-rwxr-x---" gives "750"); empty for anything
    // else (a folder, a link, no mode listed).
    static QString permissionBits(const QString& modeString);
    // Where sftp's cd found that a path leads ("Can't change directory: \"/a/b\" is not a
    // directory": a link to a file, resolved by the server); nothing for any other reply.
    static std::optional<QString> resolvedPathInReply(const QStringList& lines);
    // The entries of the upload's folder as a folder walk has just listed them.
    void setFolderListing(const QList<QVRemoteFile>& files) { _knownFolder = files; }

    std::shared_ptr<QVRemoteFileAction> copy() const override;
    void runWithDelegate(const std::shared_ptr<QVRemoteFileActionDelegate>& delegate) override;
    QVError errorWithStatusCode(int statusCode) const override;
    // A silent client leaves no half-written copy behind.
    void connectionTimedOut(QVRemoteFilesConnection* connection) override;
    void actionFinished(QVRemoteFileAction* action, bool result, int statusCode) override;

protected:
    void handleReply(const QStringList& lines) override;
    void finish(bool result, int statusCode);
    // A transfer naming what cadaver would read as a pattern: sent as WebDAV requests.
    void transferDirectly();
    // Upload steps.
    void survey();
    void surveyed(const QList<QVRemoteFile>* files);
    void startTransfer();
    // After the transfer type is set: a download starts, an upload surveys its folder.
    void begin();
    void sendFile();
    void renameOverTarget();
    // Puts the text straight over the path asked for, after saying why in the site log.
    void writeInPlace(const QString& why);
    // Removes what this upload made, then fails or (with a reason) writes in place.
    void clean(const QString& thenInPlace = {});
    void cleanNext();
    // The copy a cut earlier run of this upload left in the surveyed folder goes first.
    bool removeStale(const QList<QVRemoteFile>& files);
    void runSubAction(const std::shared_ptr<QVRemoteFileAction>& action);
    std::shared_ptr<QVFileListingAction> listingOf(const QString& folder) const;
    QString folderOf(const QString& path) const;
    QString temporaryPrefix() const;
    static QString prefixOfToken(const QString& token);

    const Kind _kind;
    QString _remotePath;
    QString _localPath;
    // A download goes to a hidden name beside the target and replaces it only when complete.
    QString _temporaryPath;
    // An upload's copy on the site, and the file it replaces: the remote path, or where the
    // links on the way lead.
    QString _remoteTemporaryPath;
    QString _targetPath;
    QString _token;
    QString _mode;  // the target's permission bits, when a copy replaces it
    bool _executable = false;  // WebDAV: the target's executable property
    std::optional<QList<QVRemoteFile>> _knownFolder;
    int _linksFollowed = 0;
    QString _returnFolder;  // sftp's working folder while a link is resolved
    QStringList _leftovers;  // what the failed upload made, still to remove
    QString _inPlaceAfterCleaning;  // why the text goes in place once the copy is gone
    QVRemoteFile _target;  // the listed file a copy replaces
    QList<QVRemoteFile> _surveyedFiles;
    // Temporary copies of earlier runs that may still be on the site, and whether this run's may.
    QStringList _staleTemporaries;
    bool _temporaryMayRemain = false;
    QList<std::shared_ptr<QVRemoteFileAction>> _subActions;  // kept until the next run
    QString _transferCommand;
    enum Step {
        Surveying, StaleDeleting, AskingFolder, Resolving, Returning, SettingType, Probing, Placing, Guarding,
        Checking, Transferring, Renaming, CleanListing, CleanDeleting, InPlace, Sizing
    };
    Step _step = Transferring;
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
    // Put: what the remote folder held when the walk began (nothing when it made the folder).
    QList<QVRemoteFile> _remoteEntries;

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
