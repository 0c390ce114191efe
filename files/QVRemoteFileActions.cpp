#include "files/QVRemoteFileActions.h"

#include "files/QVWebDAVRequest.h"
#include "platform/FileName.h"
#include "shell/QVFileFilters.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QUrl>
#include <QUuid>

#include <cstdio>

namespace {

QString tr(const char* text) { return QCoreApplication::translate("QVRemoteFileActions", text); }

QString lastComponent(const QString& path) {
    const QString name = path.section(u'/', -1, -1, QString::SectionSkipEmpty);
    return name.isEmpty() ? path : name;
}

// The top of the site is never made or removed remotely.
bool isRoot(const QString& path) {
    const QString p = path.trimmed();
    return p.isEmpty() || p == u'/' || p == u'.' || p == QStringLiteral("./") || p == QStringLiteral("~");
}

using C = QVRemoteFilesConnection;

}  // namespace

// MARK: single commands

QVFileAction::QVFileAction(Kind kind, std::shared_ptr<QVRemoteFilesConnection> connection, QString remotePath,
                           QString argument)
    : QVRemoteFileAction(std::move(connection)), _kind(kind), _remotePath(std::move(remotePath)),
      _argument(std::move(argument)) {}

std::shared_ptr<QVFileAction> QVFileAction::move(std::shared_ptr<QVRemoteFilesConnection> c, const QString& path,
                                                 const QString& newPath) {
    return std::make_shared<QVFileAction>(Move, std::move(c), path, newPath);
}

std::shared_ptr<QVFileAction> QVFileAction::chmod(std::shared_ptr<QVRemoteFilesConnection> c, const QString& path,
                                                  const QString& mode) {
    return std::make_shared<QVFileAction>(Chmod, std::move(c), path, mode);
}

std::shared_ptr<QVRemoteFileAction> QVFileAction::copy() const {
    return std::make_shared<QVFileAction>(_kind, _connection, _remotePath, _argument);
}

QString QVFileAction::command(QString* why) const {
    const int type = _connection->type();
    const QString path = _kind == ChangeDirectory && _remotePath.isEmpty() ? QStringLiteral(".") : _remotePath;
    if ((_kind == MakeDirectory || _kind == DeleteDirectory) && isRoot(path)) {
        if (why) *why = tr("The top folder of the site cannot be made or removed.");
        return {};
    }
    const auto quoted = quotedPath(type, path, why);
    if (!quoted) return {};
    switch (_kind) {
    case Move: {
        const auto to = quotedPath(type, _argument, why);
        if (!to) return {};
        return (type == C::WebDAV ? QStringLiteral("move ") : QStringLiteral("rename ")) + *quoted + u' ' + *to;
    }
    case Chmod:
        if (type == C::WebDAV) {
            if (why) *why = tr("WebDAV sites have no permissions to change.");
            return {};
        }
        if (!isValidMode(_argument)) {
            if (why) *why = tr("\"%1\" is not a mode in octal digits.").arg(_argument);
            return {};
        }
        return QStringLiteral("chmod ") + _argument + u' ' + *quoted;
    case DeleteFile: return (type == C::SFTP ? QStringLiteral("rm ") : QStringLiteral("delete ")) + *quoted;
    case MakeDirectory: return QStringLiteral("mkdir ") + *quoted;
    case ChangeDirectory: return QStringLiteral("cd ") + *quoted;
    case DeleteDirectory: return (type == C::WebDAV ? QStringLiteral("rmcol ") : QStringLiteral("rmdir ")) + *quoted;
    }
    return {};
}

void QVFileAction::runWithDelegate(const std::shared_ptr<QVRemoteFileActionDelegate>& delegate) {
    QVRemoteFileAction::runWithDelegate(delegate);
    if (_connection->type() == C::WebDAV &&
        (QVWebDAVRequest::holdsPattern(_remotePath) || (_kind == Move && QVWebDAVRequest::holdsPattern(_argument))) &&
        runDirectly())
        return;
    QString why;
    const QString c = command(&why);
    if (c.isEmpty())
        refuse(why);
    else
        write(c);
}

void QVFileAction::handleReply(const QStringList& lines) {
    int code = 0;
    // cadaver says nothing when it enters a folder.
    bool ok = replySucceeded(lines, &code, !(_kind == ChangeDirectory && _connection->type() == C::WebDAV));
    if (_connection->type() == C::WebDAV && (_kind == DeleteFile || _kind == Move || _kind == DeleteDirectory))
        ok = ok && reachedOnlyTarget(lines);
    report(ok, code);
}

bool QVFileAction::runDirectly() {
    using R = QVWebDAVRequest;
    QVWebDAVRequest::Outcome outcome;
    bool ok = false;
    switch (_kind) {
    case Move:
        outcome = R::perform(*_connection, "MOVE", _remotePath, _argument);
        // One resource left its name and one arrived at the new one.
        ok = outcome.succeeded() && R::exists(*_connection, _remotePath) == false &&
             R::exists(*_connection, _argument) == true;
        break;
    case DeleteFile:
    case DeleteDirectory:
        if (isRoot(_remotePath)) return false;
        outcome = R::perform(*_connection, "DELETE", _remotePath);
        ok = outcome.succeeded() && R::exists(*_connection, _remotePath) == false;
        break;
    case MakeDirectory:
        if (isRoot(_remotePath)) return false;
        outcome = R::perform(*_connection, "MKCOL", _remotePath);
        ok = outcome.succeeded() && R::exists(*_connection, _remotePath) == true;
        break;
    case Chmod:
    case ChangeDirectory: return false;  // no permissions; cadaver's cd would still read a pattern
    }
    _lastReply = {outcome.said};
    report(ok, outcome.status);
    return true;
}

bool QVFileAction::reachedOnlyTarget(const QStringList& lines) const {
    // cadaver names each resource it deletes or moves ("Deleting `x': succeeded.", "Moving
    // `/dav/x' to `/dav/y':"): exactly one, and ours, or it took the name for a pattern.
    const QString name = lastComponent(_remotePath);
    int named = 0;
    for (const QString& line : lines) {
        if (line.startsWith(QStringLiteral("[Matching"))) return false;
        for (const QString& verb : {QStringLiteral("Deleting `"), QStringLiteral("Moving `")}) {
            if (!line.startsWith(verb)) continue;
            const qsizetype end = line.indexOf(u'\'', verb.size());
            const QString target = line.mid(verb.size(), end < 0 ? -1 : end - verb.size());
            ++named;
            // Moves name the address, escaped.
            if (lastComponent(target) != name && lastComponent(QUrl::fromPercentEncoding(target.toUtf8())) != name)
                return false;
        }
    }
    return named <= 1;
}

QVError QVFileAction::errorWithStatusCode(int statusCode) const {
    const QString name = lastComponent(_remotePath);
    switch (_kind) {
    case Move:
        return titledError(statusCode, tr("Could Not Rename File"),
                           tr("The file \"%1\" could not be renamed. It may not exist or you may not have permission "
                              "to rename the file")
                               .arg(name));
    case Chmod:
        return titledError(statusCode, tr("Could Not Change Permissions"),
                           tr("The permissions of file \"%1\" could not be changed to \"%2\". It may not exist or you "
                              "may not have permission to change the permissions.")
                               .arg(name, _argument));
    case DeleteFile:
        return titledError(statusCode, tr("Could Not Delete File"),
                           tr("The file \"%1\" could not be deleted. It may not exist or you may not have permission "
                              "to delete the file.")
                               .arg(name));
    case MakeDirectory:
        return titledError(statusCode, tr("Could Not Make Remote Directory"),
                           tr("The directory \"%1\" could not be created. A directory with that name may already "
                              "exist, or you may not have permission to make the directory.")
                               .arg(name));
    case ChangeDirectory:
        return titledError(statusCode, tr("Could Not Change Directories"),
                           tr("Could not change to directory \"%1\". It may not exist or you may not have permission "
                              "to view the directory.")
                               .arg(name));
    case DeleteDirectory:
        return titledError(statusCode, tr("Could Not Delete Directory"),
                           tr("The directory \"%1\" could not be deleted. It may not exist or you may not have "
                              "permission to delete the directory.")
                               .arg(name));
    }
    return QVRemoteFileAction::errorWithStatusCode(statusCode);
}

// MARK: transfers

QVFileTransferAction::QVFileTransferAction(Kind kind, std::shared_ptr<QVRemoteFilesConnection> connection,
                                           QString remotePath, QString localPath)
    : QVRemoteFileAction(std::move(connection)), _kind(kind), _remotePath(std::move(remotePath)),
      _localPath(std::move(localPath)) {}

std::shared_ptr<QVRemoteFileAction> QVFileTransferAction::copy() const {
    return std::make_shared<QVFileTransferAction>(_kind, _connection, _remotePath, _localPath);
}

namespace {

// A hidden name the tree filters out, unique for one download.
QString temporaryName(const QString& name) {
    return QStringLiteral(".tmp_Qorvel-") + QUuid::createUuid().toString(QUuid::Id128).left(12) + u'-' + name;
}

}  // namespace

// One name per target: when Qorvel itself was killed mid-upload (no failure path ran to remove
// the partial copy), the next upload of the file writes over that leftover and renames it away
// instead of adding another. The site's queue runs one action at a time, so no two uploads of
// one target share it.
QString QVFileTransferAction::uploadTemporaryName(const QString& name) {
    return QStringLiteral(".tmp_Qorvel-") + name;
}

void QVFileTransferAction::runWithDelegate(const std::shared_ptr<QVRemoteFileActionDelegate>& delegate) {
    QVRemoteFileAction::runWithDelegate(delegate);
    const int type = _connection->type();
    _temporaryPath.clear();
    _remoteTemporaryPath.clear();
    _transferCommand.clear();
    _transferred = false;
    _failureCode = 0;
    if (type == C::WebDAV && (QVWebDAVRequest::holdsPattern(_remotePath) || QVWebDAVRequest::holdsPattern(_localPath))) {
        transferDirectly();
        return;
    }
    QString why;
    const auto remote = quotedPath(type, _remotePath, &why);
    if (!remote) {
        refuse(why);
        return;
    }
    QString local = _localPath;
    QString target = *remote;
    if (_kind == Get) {
        const QFileInfo targetFile(_localPath);
        if (_localPath.isEmpty() || !targetFile.dir().exists()) {
            refuse(tr("There is no folder to download \"%1\" into.").arg(lastComponent(_remotePath)));
            return;
        }
        // The target is replaced only by a complete copy.
        _temporaryPath = targetFile.dir().filePath(temporaryName(targetFile.fileName()));
        local = _temporaryPath;
    } else {
        // An interrupted upload must leave the site's copy whole: the file goes up under a
        // hidden name beside it and is renamed over it once complete.
        const qsizetype slash = _remotePath.lastIndexOf(u'/');
        const QString name = _remotePath.mid(slash + 1);
        if (name.isEmpty()) {
            refuse(tr("\"%1\" names a folder, not a file.").arg(_remotePath));
            return;
        }
        _remoteTemporaryPath = _remotePath.left(slash + 1) + uploadTemporaryName(name);
        const auto quotedTemporary = quotedPath(type, _remoteTemporaryPath, &why);
        if (!quotedTemporary) {
            refuse(why);
            return;
        }
        target = *quotedTemporary;
    }
    const auto quotedLocal = quotedPath(type, local, &why);
    if (!quotedLocal) {
        refuse(why);
        return;
    }
    _transferCommand = _kind == Get ? QStringLiteral("get ") + *remote + u' ' + *quotedLocal
                                    : QStringLiteral("put ") + *quotedLocal + u' ' + target;
    if (type != C::FTP) {
        _step = Transferring;
        write(_transferCommand);
        return;
    }
    // Every file goes as it is: in ASCII mode servers rewrite line ends (one stores LF as CRLF,
    // another drops CRs), and line breaks are the document's business. Said before each
    // transfer, since tnftp keeps whatever type it was last told.
    _step = SettingType;
    write(QStringLiteral("binary"));
}

void QVFileTransferAction::handleReply(const QStringList& lines) {
    int code = 0;
    bool ok = replySucceeded(lines, &code);
    switch (_step) {
    case SettingType:
        if (!ok) {
            finish(false, code);
            return;
        }
        _step = Transferring;
        write(_transferCommand);
        return;
    case Transferring:
        // A cancelled tnftp transfer prints an abort line and still a completion code; so does
        // one whose local write failed (a full disk), with a complaint of its own ("ftp: Writing …").
        if (_connection->type() == C::FTP)
            for (const QString& line : lines)
                ok = ok && !line.contains(QStringLiteral("abort"), Qt::CaseInsensitive) &&
                     !line.startsWith(QStringLiteral("ftp: "));
        // An interrupted sftp transfer ends at the prompt without a word of failure.
        ok = ok && !_connection->wasCancelled();
        if (_remoteTemporaryPath.isEmpty()) {
            finish(ok, code);
            return;
        }
        _transferred = ok;
        _failureCode = code;
        if (ok) {
            _step = Renaming;
            const int type = _connection->type();
            write((type == C::WebDAV ? QStringLiteral("move ") : QStringLiteral("rename ")) +
                  *quotedPath(type, _remoteTemporaryPath) + u' ' + *quotedPath(type, _remotePath));
            return;
        }
        break;
    case Renaming:
        _transferred = ok;
        _failureCode = code;
        if (ok) {
            finish(true, code);
            return;
        }
        break;
    case Cleaning:
        // Whatever the removal of the partial copy answered, the upload failed.
        finish(false, _failureCode);
        return;
    }
    // The transfer or the rename failed: the partial copy goes, the target stays as it was.
    _step = Cleaning;
    const int type = _connection->type();
    if (!_connection->writeCommand((type == C::SFTP ? QStringLiteral("rm ") : QStringLiteral("delete ")) +
                                   *quotedPath(type, _remoteTemporaryPath)))
        finish(false, _failureCode);
}

void QVFileTransferAction::transferDirectly() {
    using R = QVWebDAVRequest;
    if (_kind == Get) {
        const QFileInfo targetFile(_localPath);
        if (_localPath.isEmpty() || !targetFile.dir().exists()) {
            refuse(tr("There is no folder to download \"%1\" into.").arg(lastComponent(_remotePath)));
            return;
        }
        _temporaryPath = targetFile.dir().filePath(temporaryName(targetFile.fileName()));
        const R::Outcome got = R::perform(*_connection, "GET", _remotePath, {}, {}, _temporaryPath);
        _lastReply = {got.said};
        finish(got.status == 200, got.status);
        return;
    }
    // As through the client: up under a hidden name beside the target, renamed over it once
    // complete, removed otherwise.
    const qsizetype slash = _remotePath.lastIndexOf(u'/');
    const QString name = _remotePath.mid(slash + 1);
    if (name.isEmpty()) {
        refuse(tr("\"%1\" names a folder, not a file.").arg(_remotePath));
        return;
    }
    if (!QFileInfo(_localPath).isFile()) {
        refuse(tr("The file \"%1\" is not there to upload.").arg(_localPath));
        return;
    }
    _remoteTemporaryPath = _remotePath.left(slash + 1) + temporaryName(name);
    R::Outcome outcome = R::perform(*_connection, "PUT", _remoteTemporaryPath, {}, _localPath);
    bool ok = outcome.succeeded() && !_connection->wasCancelled();
    if (ok) {
        outcome = R::perform(*_connection, "MOVE", _remoteTemporaryPath, _remotePath);
        ok = outcome.succeeded() && R::exists(*_connection, _remotePath) == true;
    }
    _lastReply = {outcome.said};
    if (!ok) R::perform(*_connection, "DELETE", _remoteTemporaryPath);
    finish(ok, outcome.status);
}

void QVFileTransferAction::connectionTimedOut(QVRemoteFilesConnection*) {
    if (!_reported) finish(false, 0);
}

void QVFileTransferAction::finish(bool result, int statusCode) {
    if (_connection->wasCancelled()) result = false;
    if (!_temporaryPath.isEmpty()) {
        if (result && QFileInfo::exists(_temporaryPath)) {
            // Replace the target only with a complete copy.
            result = ::rename(FileName::encode(_temporaryPath).constData(), FileName::encode(_localPath).constData()) == 0;
        } else {
            result = false;
        }
        QFile::remove(_temporaryPath);
    }
    report(result, statusCode);
}

QVError QVFileTransferAction::errorWithStatusCode(int statusCode) const {
    if (_kind == Get)
        return titledError(statusCode, tr("Could Not Download File"),
                           tr("The file \"%1\" could not be downloaded. Please be sure you have read access for the "
                              "remote server.")
                               .arg(lastComponent(_remotePath)));
    return titledError(statusCode, tr("Could Not Upload File"),
                       tr("The file \"%1\" could not be uploaded. Please be sure you have write access for the remote "
                          "server.")
                           .arg(lastComponent(_remotePath)));
}

// MARK: folder walks

QVDirectoryAction::QVDirectoryAction(Kind kind, std::shared_ptr<QVRemoteFilesConnection> connection,
                                     QString remotePath, QString localPath)
    : QVRemoteFileAction(std::move(connection)), _kind(kind), _remotePath(std::move(remotePath)),
      _localPath(std::move(localPath)) {}

std::shared_ptr<QVRemoteFileAction> QVDirectoryAction::copy() const {
    return std::make_shared<QVDirectoryAction>(_kind, _connection, _remotePath, _localPath);
}

std::shared_ptr<QVDirectoryAction> QVDirectoryAction::self() {
    return std::static_pointer_cast<QVDirectoryAction>(shared_from_this());
}

void QVDirectoryAction::runWithDelegate(const std::shared_ptr<QVRemoteFileActionDelegate>& delegate) {
    QVRemoteFileAction::runWithDelegate(delegate);
    _actionQueue.clear();
    _failures = 0;
    _finishedCount = 0;
    _lastStatusCode = 0;
    _checkingExistence = false;
    _finalCommandSent = false;
    if (_kind != Get && isRoot(_remotePath)) {
        refuse(tr("The top folder of the site cannot be made or removed."));
        return;
    }
    if (_kind == Get && !QFileInfo(_localPath).isDir() && !QDir().mkdir(_localPath)) {
        refuse(tr("The folder \"%1\" could not be made.").arg(_localPath));
        return;
    }
    if (_kind == Put)
        _actionQueue.append(std::make_shared<QVFileAction>(QVFileAction::MakeDirectory, _connection, _remotePath));
    else
        _actionQueue.append(std::make_shared<QVFileListingAction>(_connection, _remotePath));
    advance();
}

void QVDirectoryAction::advance() {
    // Sub-actions that end at once (a refused name) report inside their run, and replies arrive
    // on the reader thread while the worker may still be here: one caller runs the walk, a
    // second one only tells it to go on (never lost: decided under the lock).
    {
        std::lock_guard guard(_advanceLock);
        if (_advancing) {
            _again = true;
            return;
        }
        _advancing = true;
        _again = false;
    }
    for (;;) {
        std::shared_ptr<QVRemoteFileAction> next;
        bool finalStep = false;
        {
            std::lock_guard guard(_advanceLock);
            _again = false;
            if (!_reported) {
                if (_actionQueue.isEmpty()) finalStep = true;
                else next = _actionQueue.first();
            }
        }
        if (finalStep) {
            if (_kind == Delete) {
                // The folder itself, now empty unless something inside failed.
                _finalCommandSent = true;
                _connection->setDelegate(shared_from_this());
                QString why;
                const QString c = QVFileAction(QVFileAction::DeleteDirectory, _connection, _remotePath).command(&why);
                if (c.isEmpty())
                    refuse(why);
                else
                    write(c);
            } else {
                report(_failures == 0, _lastStatusCode);
            }
        } else if (next) {
            next->runWithDelegate(self());
        }
        std::lock_guard guard(_advanceLock);
        if (!_again || finalStep || !next) {
            _advancing = false;
            return;
        }
    }
}

void QVDirectoryAction::actionFinished(QVRemoteFileAction* action, bool result, int statusCode) {
    _connection->setDelegate(shared_from_this());
    {
        std::lock_guard guard(_advanceLock);
        if (_actionQueue.isEmpty() || _actionQueue.first().get() != action) return;
        _retired.append(_actionQueue.takeFirst());
    }
    _lastStatusCode = statusCode;
    if (_connection->wasCancelled()) {
        // The user stopped the walk: nothing more is started.
        if (!result) ++_failures;
        _actionQueue.clear();
        report(false, statusCode);
        return;
    }
    const bool first = ++_finishedCount == 1 || _checkingExistence;
    if (auto* listing = dynamic_cast<QVFileListingAction*>(action); listing && first) {
        listingFinished(listing, result, statusCode);
    } else if (_kind == Put && _finishedCount == 1) {
        if (result) {
            queueLocalEntries();
        } else {
            // Refused: go on only if the folder is there already (every client words it its way).
            _checkingExistence = true;
            _actionQueue.append(std::make_shared<QVFileListingAction>(_connection, _remotePath));
        }
    } else if (!result) {
        auto* folder = dynamic_cast<QVDirectoryAction*>(action);
        _failures += folder ? std::max(1, folder->failures()) : 1;
    }
    if (!_reported) advance();
}

void QVDirectoryAction::listingFinished(QVFileListingAction* listing, bool result, int statusCode) {
    if (_checkingExistence) {
        _checkingExistence = false;
        if (result) {
            queueLocalEntries();
        } else {
            _actionQueue.clear();
            report(false, statusCode);
        }
        return;
    }
    if (!result) {
        // Nothing was changed yet.
        _lastReply = listing->lastReply();
        _actionQueue.clear();
        report(false, statusCode);
        return;
    }
    if (listing->unreadableLines() > 0) {
        // The walk would leave out what the listing did not show as entries, and say it was done.
        _lastReply = listing->lastReply();
        _actionQueue.clear();
        refuse(tr("The listing of \"%1\" held %2 lines that read as no file, so the folder was not walked.")
                   .arg(lastComponent(_remotePath))
                   .arg(listing->unreadableLines()));
        return;
    }
    for (const QVRemoteFile& file : listing->files()) {
        const bool folder = file.isDirectory() && !file.isSymlink();
        if (_kind == Delete) {
            if (folder)
                _actionQueue.append(std::make_shared<QVDirectoryAction>(Delete, _connection, file.path()));
            else
                _actionQueue.append(std::make_shared<QVFileAction>(QVFileAction::DeleteFile, _connection, file.path()));
        } else {
            const QString local = QDir(_localPath).filePath(file.name());
            if (folder)
                _actionQueue.append(std::make_shared<QVDirectoryAction>(Get, _connection, file.path(), local));
            else
                _actionQueue.append(std::make_shared<QVFileTransferAction>(QVFileTransferAction::Get, _connection,
                                                                           file.path(), local));
        }
    }
}

void QVDirectoryAction::queueLocalEntries() {
    const auto filters = QVFileFilters::sharedFilters();
    const QFileInfoList entries = QDir(_localPath).entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo& entry : entries) {
        // What the tree hides is not published; a link to a folder could lead anywhere.
        if (filters && filters->stringMatchesFilters(entry.fileName())) continue;
        if (entry.isSymLink() && entry.isDir()) continue;
        const QString remote = QVRemoteFile::appendPath(_remotePath, entry.fileName());
        if (entry.isDir())
            _actionQueue.append(std::make_shared<QVDirectoryAction>(Put, _connection, remote, entry.filePath()));
        else
            _actionQueue.append(std::make_shared<QVFileTransferAction>(QVFileTransferAction::Put, _connection, remote,
                                                                       entry.filePath()));
    }
}

void QVDirectoryAction::handleReply(const QStringList& lines) {
    if (!_finalCommandSent) return;
    int code = 0;
    const bool ok = replySucceeded(lines, &code);
    report(ok && _failures == 0, code);
}

QVError QVDirectoryAction::errorWithStatusCode(int statusCode) const {
    const QString name = lastComponent(_remotePath);
    QVError error;
    switch (_kind) {
    case Delete:
        error = titledError(statusCode, tr("Could Not Delete Directory"),
                            tr("The directory \"%1\" could not be deleted. It may not exist or you may not have "
                               "permission to delete the directory.")
                                .arg(name));
        break;
    case Get:
        error = titledError(statusCode, tr("Could Not Download Directory"),
                            tr("The directory \"%1\" could not be downloaded. Please be sure you have read access "
                               "for the remote server.")
                                .arg(name));
        break;
    case Put:
        error = titledError(statusCode, tr("Could Not Upload Directory"),
                            tr("The directory \"%1\" could not be uploaded. Please be sure you have write access for "
                               "the remote server.")
                                .arg(name));
        break;
    }
    if (_failures > 0)
        error.setUserInfoValue(QVLocalizedRecoverySuggestionKey,
                               error.localizedRecoverySuggestion() + u'\n' +
                                   tr("%1 of the items inside could not be transferred or deleted.").arg(_failures));
    return error;
}
