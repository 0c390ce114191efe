#include "files/QVRemoteFileActions.h"

#include "files/QVWebDAVRequest.h"
#include "platform/FileName.h"
#include "shell/QVFileFilters.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>
#include <QRandomGenerator>
#include <QUuid>

#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

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

// cadaver's rmcol takes a collection whose name holds a quote for no collection (Apache escapes
// the quote in its answer): such a folder is removed by a request of its own.
bool rmcolMisreads(const QString& path) { return path.contains(u'\''); }

// One DELETE, checked on the site afterwards.
bool deleteDirectly(const QVRemoteFilesConnection& connection, const QString& path, QVWebDAVRequest::Outcome* outcome) {
    *outcome = QVWebDAVRequest::perform(connection, "DELETE", path);
    return outcome->succeeded() && QVWebDAVRequest::exists(connection, path) == false;
}

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
        (QVWebDAVRequest::holdsPattern(_remotePath) || (_kind == Move && QVWebDAVRequest::holdsPattern(_argument)) ||
         (_kind == DeleteDirectory && rmcolMisreads(_remotePath))) &&
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
        ok = deleteDirectly(*_connection, _remotePath, &outcome);
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
    // cadaver names each resource it deletes or moves, framed by its words: "Deleting `x':
    // succeeded.", "Moving `/dav/x' to `/dav/y': succeeded." (or "failed:"): exactly one, and
    // ours, or it took the name for a pattern. Names may hold quotes, so the frame is read
    // from its ends: the resource ends at the line's last "':", a move's source at a "' to `"
    // that leaves a source of our name.
    const QString name = lastComponent(_remotePath);
    const auto ours = [&name](const QString& target) {
        // Moves name the address, escaped.
        return lastComponent(target) == name || lastComponent(QUrl::fromPercentEncoding(target.toUtf8())) == name;
    };
    static const QString deleting = QStringLiteral("Deleting `"), moving = QStringLiteral("Moving `"),
                         between = QStringLiteral("' to `");
    int named = 0;
    for (const QString& line : lines) {
        if (line.startsWith(QStringLiteral("[Matching"))) return false;
        const bool isMove = line.startsWith(moving);
        if (!isMove && !line.startsWith(deleting)) continue;
        ++named;
        const qsizetype open = (isMove ? moving : deleting).size();
        const qsizetype close = line.lastIndexOf(QStringLiteral("':"));
        if (close < open) return false;
        const QString framed = line.mid(open, close - open);
        bool found = !isMove && ours(framed);
        for (qsizetype at = isMove ? framed.indexOf(between) : -1; at >= 0 && !found; at = framed.indexOf(between, at + 1))
            found = ours(framed.left(at));
        if (!found) return false;
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

QString newToken() { return QString::number(QRandomGenerator::global()->generate(), 16).rightJustified(8, u'0'); }

constexpr qsizetype MaximumNameBytes = 255;
constexpr int MaximumLinks = 8;

}  // namespace

QString QVFileTransferAction::uploadTemporaryName(const QString& name, const QString& token) {
    // No longer than a long name: a server that keeps a body under the name and a suffix of
    // its own until it is complete (lighttpd) then takes the copy wherever it takes the name.
    const QString head = QStringLiteral(".tmp_Qorvel-") + token + u'-';
    qsizetype room = std::clamp(name.toUtf8().size(), qsizetype(64), MaximumNameBytes) - head.toUtf8().size();
    // Whole characters only: a cut sequence would be another name, or none.
    QString kept;
    for (qsizetype i = 0; i < name.size();) {
        const qsizetype length = name[i].isHighSurrogate() && i + 1 < name.size() ? 2 : 1;
        const qsizetype bytes = name.mid(i, length).toUtf8().size();
        if (bytes > room) break;
        room -= bytes;
        kept += name.mid(i, length);
        i += length;
    }
    return head + kept;
}

QString QVFileTransferAction::permissionBits(const QString& mode) {
    if (mode.size() < 10 || mode[0] != u'-') return {};
    QString bits;
    for (int who = 0; who < 3; ++who) {
        const QChar r = mode[1 + 3 * who], w = mode[2 + 3 * who], x = mode[3 + 3 * who];
        bits += QChar(u'0' + (r == u'r' ? 4 : 0) + (w == u'w' ? 2 : 0) + (x == u'x' || x == u's' || x == u't' ? 1 : 0));
    }
    return bits;
}

std::optional<QString> QVFileTransferAction::resolvedPathInReply(const QStringList& lines) {
    // The path is framed by the words around it, and may hold quotes itself.
    static const QString opening = QStringLiteral("Can't change directory: \""), closing = QStringLiteral("\" is not a directory");
    for (const QString& line : lines) {
        const QString t = line.trimmed();
        if (t.startsWith(opening) && t.endsWith(closing) && t.size() > opening.size() + closing.size())
            return t.mid(opening.size(), t.size() - opening.size() - closing.size());
    }
    return std::nullopt;
}

QString QVFileTransferAction::folderOf(const QString& path) const {
    const qsizetype slash = path.lastIndexOf(u'/');
    if (slash < 0) return {};
    return slash == 0 ? QStringLiteral("/") : path.left(slash);
}

QString QVFileTransferAction::prefixOfToken(const QString& token) { return QStringLiteral(".tmp_Qorvel-") + token + u'-'; }

QString QVFileTransferAction::temporaryPrefix() const { return prefixOfToken(_token); }

namespace {

// Where a relative link in `folder` leads, by name; nothing when the walk climbs above the top
// of the path (above "/", or above the login folder for a relative path): a chrooted account's
// "/" is not the server's, and what lies above it is no path of the site.
std::optional<QString> followedPath(const QString& folder, const QString& target) {
    const bool absolute = folder.startsWith(u'/');
    QStringList parts;
    for (const QString& part : (folder + u'/' + target).split(u'/', Qt::SkipEmptyParts)) {
        if (part == u'.') continue;
        if (part == QStringLiteral("..")) {
            if (parts.isEmpty()) return std::nullopt;
            parts.removeLast();
        } else {
            parts << part;
        }
    }
    if (parts.isEmpty()) return std::nullopt;
    return (absolute ? QStringLiteral("/") : QString()) + parts.join(u'/');
}

// The size in tnftp's answer to "size" ("PATH<tab>1234", or the server's "213 1234").
std::optional<qint64> sizeInReply(const QStringList& lines) {
    for (const QString& raw : lines) {
        QString line = raw.trimmed();
        QString digits;
        if (const qsizetype tab = raw.lastIndexOf(u'\t'); tab >= 0) digits = raw.mid(tab + 1).trimmed();
        else if (line.startsWith(QStringLiteral("213 "))) digits = line.mid(4).trimmed();
        bool ok = false;
        const qint64 size = digits.toLongLong(&ok);
        if (ok && size >= 0) return size;
    }
    return std::nullopt;
}

}  // namespace

void QVFileTransferAction::runWithDelegate(const std::shared_ptr<QVRemoteFileActionDelegate>& delegate) {
    QVRemoteFileAction::runWithDelegate(delegate);
    const int type = _connection->type();
    // Run again after a cut transfer: the copy the cut run was writing may still be there.
    if (_temporaryMayRemain && !_remoteTemporaryPath.isEmpty()) _staleTemporaries << _remoteTemporaryPath;
    _temporaryMayRemain = false;
    _temporaryPath.clear();
    _remoteTemporaryPath.clear();
    _targetPath = _remotePath;
    _token.clear();
    _mode.clear();
    _executable = false;
    _linksFollowed = 0;
    _leftovers.clear();
    _inPlaceAfterCleaning.clear();
    _target = QVRemoteFile();
    _surveyedFiles.clear();
    _subActions.clear();
    _transferCommand.clear();
    _failureCode = 0;
    if (type == C::WebDAV && (QVWebDAVRequest::holdsPattern(_remotePath) || QVWebDAVRequest::holdsPattern(_localPath))) {
        transferDirectly();
        return;
    }
    QString why;
    const auto remote = quotedPath(type, _remotePath, &why);
    const auto quotedLocal = remote ? quotedPath(type, _localPath, &why) : std::nullopt;
    if (!quotedLocal) {
        refuse(why);
        return;
    }
    if (_kind == Get) {
        const QFileInfo targetFile(_localPath);
        if (_localPath.isEmpty() || !targetFile.dir().exists()) {
            refuse(tr("There is no folder to download \"%1\" into.").arg(lastComponent(_remotePath)));
            return;
        }
        // The target is replaced only by a complete copy.
        _temporaryPath = targetFile.dir().filePath(temporaryName(targetFile.fileName()));
        _transferCommand = QStringLiteral("get ") + *remote + u' ' + *quotedPath(type, _temporaryPath);
        startTransfer();
        return;
    }
    if (_remotePath.endsWith(u'/')) {
        refuse(tr("\"%1\" names a folder, not a file.").arg(_remotePath));
        return;
    }
    startTransfer();
}

void QVFileTransferAction::runSubAction(const std::shared_ptr<QVRemoteFileAction>& action) {
    _subActions.append(action);
    action->runWithDelegate(std::static_pointer_cast<QVFileTransferAction>(shared_from_this()));
}

std::shared_ptr<QVFileListingAction> QVFileTransferAction::listingOf(const QString& folder) const {
    auto listing = std::make_shared<QVFileListingAction>(_connection, folder);
    listing->setIncludesHidden(true);
    return listing;
}

void QVFileTransferAction::survey() {
    _step = Surveying;
    runSubAction(listingOf(folderOf(_targetPath)));
}

bool QVFileTransferAction::removeStale(const QList<QVRemoteFile>& files) {
    if (_staleTemporaries.isEmpty()) return false;
    QStringList elsewhere;
    _leftovers.clear();
    for (const QString& stale : std::exchange(_staleTemporaries, {})) {
        if (folderOf(stale) != folderOf(_targetPath)) {
            elsewhere << stale;
            continue;
        }
        // Its run's prefix, which no entry started with when that run chose it.
        const QString prefix = lastComponent(stale).left(prefixOfToken(QString(8, u'0')).size());
        for (const QVRemoteFile& file : files)
            if (file.name().startsWith(prefix) && !file.isDirectory()) _leftovers << file.path();
    }
    _staleTemporaries = elsewhere;
    if (_leftovers.isEmpty()) return false;
    _surveyedFiles = files;
    _step = StaleDeleting;
    runSubAction(std::make_shared<QVFileAction>(QVFileAction::DeleteFile, _connection, _leftovers.takeFirst()));
    return true;
}

void QVFileTransferAction::surveyed(const QList<QVRemoteFile>* files) {
    const int type = _connection->type();
    const QString name = _targetPath.mid(_targetPath.lastIndexOf(u'/') + 1);
    if (files && removeStale(*files)) return;
    if (!files && type != C::WebDAV) {
        // A name not seen is not a new file: it may be a link, a file of another group, one
        // with another name.
        writeInPlace(tr("The folder of \"%1\" cannot be listed, so the file is written in place.").arg(_targetPath));
        return;
    }
    QStringList names;
    const QVRemoteFile* target = nullptr;
    if (files) {
        for (const QVRemoteFile& file : *files) {
            names << file.name();
            if (file.isSymlink() && file.linkIsAmbiguous() &&
                (file.name() + QStringLiteral(" -> ") + file.linkTarget()).startsWith(name + QStringLiteral(" -> "))) {
                writeInPlace(tr("A line of the listing of \"%1\" can be read more than one way, so the file is "
                                "written in place.")
                                 .arg(_targetPath));
                return;
            }
            if (file.name() == name) target = &file;
        }
    }
    // Apache lists no link at all: a name missing from the listing may still lead to a folder.
    if (type == C::WebDAV && !names.contains(name) &&
        QVWebDAVRequest::resourceAt(*_connection, _targetPath) == QVWebDAVRequest::Collection) {
        refuse(tr("\"%1\" names a folder, not a file.").arg(_targetPath));
        return;
    }
    if (target && target->isSymlink()) {
        // The link stays; the file it leads to gets the text.
        if (++_linksFollowed > MaximumLinks) {
            refuse(tr("\"%1\" leads through more than %2 links.").arg(lastComponent(_remotePath)).arg(MaximumLinks));
            return;
        }
        if (type == C::SFTP) {
            // sftp shows no link's target, but its cd says where a path leads.
            _step = AskingFolder;
            write(QStringLiteral("pwd"));
            return;
        }
        const QString linkTarget = target->linkTarget();
        if (linkTarget.isEmpty()) {
            writeInPlace(tr("The listing does not say where the link \"%1\" leads, so it is written in place.").arg(_targetPath));
            return;
        }
        // An FTP account's "/" may be a chroot: an absolute target is a path of the server's.
        const std::optional<QString> to =
            linkTarget.startsWith(u'/') ? std::nullopt : followedPath(folderOf(_targetPath), linkTarget);
        if (!to) {
            writeInPlace(tr("\"%1\" is a link to \"%2\", a path the site's names may not reach, so it is written in "
                            "place.")
                             .arg(_targetPath, linkTarget));
            return;
        }
        _connection->logNote(tr("\"%1\" is a link to \"%2\": its text goes there.").arg(_targetPath, *to));
        _targetPath = *to;
        survey();
        return;
    }
    if (target && target->isDirectory()) {
        refuse(tr("\"%1\" names a folder, not a file.").arg(_targetPath));
        return;
    }
    if (type != C::WebDAV) {
        // The copy replaces the file only where it is known to keep what a plain put keeps.
        const QString& path = _targetPath;
        QString why;
        if (!target) why = tr("\"%1\" is not in its folder's listing, so it is written in place.").arg(path);
        else if (type == C::SFTP)
            why = tr("sftp does not show how many names (hard links) \"%1\" has, so it is written in place.").arg(path);
        else if (target->linkCount() > 1)
            why = tr("\"%1\" has %2 names (hard links), so it is written in place.").arg(path).arg(target->linkCount());
        else if (target->linkCount() != 1)
            why = tr("The listing does not say how many names (hard links) \"%1\" has, so it is written in place.").arg(path);
        else if (permissionBits(target->modeString()).isEmpty() || target->user().isEmpty() || target->group().isEmpty())
            why = tr("The listing does not show the permissions, owner and group of \"%1\", so it is written in place.")
                      .arg(path);
        else if ((permissionBits(target->modeString())[0].digitValue() & 2) == 0)
            why = tr("\"%1\" is read-only for its owner, so it is written in place.").arg(path);
        if (!why.isEmpty()) {
            writeInPlace(why);
            return;
        }
        _mode = permissionBits(target->modeString());
        _target = *target;
    } else if (target) {
        _executable = target->isExecutable();
    }
    // A name no entry of the folder starts with: the clean-up after a failure removes only
    // entries starting with it, so it never reaches a file the upload did not make.
    for (;;) {
        _token = newToken();
        bool taken = false;
        for (const QString& n : names) taken = taken || n.startsWith(temporaryPrefix());
        if (!taken) break;
    }
    _remoteTemporaryPath = _targetPath.left(_targetPath.lastIndexOf(u'/') + 1) + uploadTemporaryName(name, _token);
    QString why;
    const auto temporary = quotedPath(type, _remoteTemporaryPath, &why);
    const auto quotedTarget = quotedPath(type, _targetPath, &why);
    if (!temporary || !quotedTarget) {
        refuse(why);
        return;
    }
    _transferCommand = QStringLiteral("put ") + *quotedPath(type, _localPath) + u' ' + *temporary;
    if (type == C::WebDAV) {
        sendFile();
        return;
    }
    // The account may rename the file (a store-only account may not): asked with the file's own
    // name, which changes nothing, before anything is made.
    _step = Probing;
    write(QStringLiteral("rename ") + *quotedTarget + u' ' + *quotedTarget);
}

void QVFileTransferAction::writeInPlace(const QString& why) {
    _connection->logNote(why);
    _step = InPlace;
    const int type = _connection->type();
    write(QStringLiteral("put ") + *quotedPath(type, _localPath) + u' ' + *quotedPath(type, _remotePath));
}

void QVFileTransferAction::startTransfer() {
    _connection->setDelegate(shared_from_this());
    if (_connection->type() != C::FTP) {
        begin();
        return;
    }
    // Every file goes as it is: in ASCII mode servers rewrite line ends (one stores LF as CRLF,
    // another drops CRs), and line breaks are the document's business. Said before each
    // transfer, since tnftp keeps whatever type it was last told.
    _step = SettingType;
    write(QStringLiteral("binary"));
}

void QVFileTransferAction::begin() {
    if (_kind == Get) {
        sendFile();
    } else if (_knownFolder) {
        const QList<QVRemoteFile> files = *std::exchange(_knownFolder, std::nullopt);
        surveyed(&files);
    } else {
        survey();
    }
}

void QVFileTransferAction::sendFile() {
    _step = Transferring;
    if (_kind == Put) _temporaryMayRemain = true;
    write(_transferCommand);
}

void QVFileTransferAction::handleReply(const QStringList& lines) {
    int code = 0;
    bool ok = replySucceeded(lines, &code);
    // A cancelled tnftp transfer prints an abort line and still a completion code; so does
    // one whose local write failed (a full disk), with a complaint of its own ("ftp: Writing …").
    // An interrupted sftp transfer ends at the prompt without a word of failure.
    const auto transferred = [&] {
        if (_connection->type() == C::FTP)
            for (const QString& line : lines)
                ok = ok && !line.contains(QStringLiteral("abort"), Qt::CaseInsensitive) &&
                     !line.startsWith(QStringLiteral("ftp: "));
        return ok && !_connection->wasCancelled();
    };
    switch (_step) {
    case AskingFolder: {
        static const QString said = QStringLiteral("Remote working directory: ");
        _returnFolder.clear();
        for (const QString& line : lines)
            if (line.startsWith(said)) _returnFolder = line.mid(said.size());
        if (!ok || _returnFolder.isEmpty()) {
            finish(false, code);
            return;
        }
        _step = Resolving;
        write(QStringLiteral("cd ") + *quotedPath(C::SFTP, _targetPath));
        return;
    }
    case Resolving:
        if (const auto to = resolvedPathInReply(lines)) {
            _connection->logNote(tr("\"%1\" is a link to \"%2\": its text goes there.").arg(_targetPath, *to));
            _targetPath = *to;
            survey();
            return;
        }
        if (ok) {
            // A link to a folder: sftp stands in it now.
            _refusal = tr("\"%1\" leads to a folder, not a file.").arg(_targetPath);
            _step = Returning;
            const auto back = quotedPath(C::SFTP, _returnFolder);
            if (!back || !_connection->writeCommand(QStringLiteral("cd ") + *back)) finish(false, 0);
            return;
        }
        _refusal = tr("The link \"%1\" leads to no file.").arg(_targetPath);
        finish(false, code);
        return;
    case Returning: finish(false, 0); return;
    case SettingType:
        if (!ok) {
            finish(false, code);
            return;
        }
        begin();
        return;
    case Probing: {
        if (_connection->wasCancelled()) {
            finish(false, code);
            return;
        }
        if (!ok) {
            writeInPlace(tr("The site does not let the account rename \"%1\", so it is written in place.").arg(_targetPath));
            return;
        }
        // The copy starts empty and shows the file's permissions, owner and group before any text
        // goes into it.
        const QString folder = _connection->workingFolder();
        const QString empty = folder + QStringLiteral("/empty");
        const int fd = folder.isEmpty() ? -1
                                        : ::open(QFile::encodeName(empty).constData(),
                                                 O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            writeInPlace(tr("No empty copy of \"%1\" could be prepared, so it is written in place.").arg(_targetPath));
            return;
        }
        ::close(fd);
        _step = Placing;
        _temporaryMayRemain = true;
        write(QStringLiteral("put ") + *quotedPath(C::FTP, empty) + u' ' + *quotedPath(C::FTP, _remoteTemporaryPath));
        return;
    }
    case Placing:
        QFile::remove(_connection->workingFolder() + QStringLiteral("/empty"));
        _failureCode = code;
        if (_connection->wasCancelled()) {
            clean();
            return;
        }
        if (!ok) {
            clean(tr("The folder of \"%1\" takes no new file, so the file is written in place.").arg(_targetPath));
            return;
        }
        _step = Guarding;
        runSubAction(QVFileAction::chmod(_connection, _remoteTemporaryPath, _mode));
        return;
    case Transferring:
        ok = transferred();
        if (_kind == Get) {
            finish(ok, code);
            return;
        }
        _failureCode = code;
        if (!ok) {
            clean();
            return;
        }
        if (_connection->type() == C::WebDAV && _executable) {
            // The one permission a WebDAV site may carry (Apache's): the owner's execute bit.
            QVWebDAVRequest::Outcome marked;
            if (!QVWebDAVRequest::markExecutable(*_connection, _remoteTemporaryPath, &marked))
                _connection->logNote(tr("\"%1\" could not be kept executable: %2").arg(_targetPath, marked.said));
        }
        renameOverTarget();
        return;
    case InPlace: {
        if (!transferred()) {
            finish(false, code);
            return;
        }
        // Saved only once the site holds the whole text.
        _step = Sizing;
        const int type = _connection->type();
        write((type == C::SFTP ? QStringLiteral("ls -la ") : QStringLiteral("size ")) + *quotedPath(type, _remotePath));
        return;
    }
    case Sizing: {
        std::optional<qint64> size;
        if (_connection->type() == C::SFTP) {
            const QList<QVRemoteFile> listed = QVFileListingAction::parseLines(C::SFTP, folderOf(_remotePath), lines);
            if (ok && listed.size() == 1) size = listed.first().size();
        } else if (!statusCodeIsError(code) && _connection->state() == C::AtPrompt && !_connection->clientEnded()) {
            size = sizeInReply(lines);
        }
        const qint64 expected = QFileInfo(_localPath).size();
        if (size != expected) {
            _refusal = size ? tr("The site holds %1 bytes of \"%2\", not %3.").arg(*size).arg(_remotePath).arg(expected)
                            : tr("The site did not say how much of \"%1\" it holds.").arg(_remotePath);
            finish(false, code);
            return;
        }
        finish(true, code);
        return;
    }
    default: return;
    }
}

void QVFileTransferAction::renameOverTarget() {
    _step = Renaming;
    runSubAction(QVFileAction::move(_connection, _remoteTemporaryPath, _targetPath));
}

void QVFileTransferAction::clean(const QString& thenInPlace) {
    // What the server made of the name sent may differ from it (one stores a trailing blank as
    // "_"): the folder is listed and what starts with this upload's prefix goes.
    _inPlaceAfterCleaning = thenInPlace;
    _step = CleanListing;
    runSubAction(listingOf(folderOf(_remoteTemporaryPath)));
}

void QVFileTransferAction::cleanNext() {
    if (_leftovers.isEmpty()) {
        if (!_inPlaceAfterCleaning.isEmpty() && !_connection->wasCancelled()) {
            writeInPlace(std::exchange(_inPlaceAfterCleaning, QString()));
            return;
        }
        finish(false, _failureCode);
        return;
    }
    _step = CleanDeleting;
    runSubAction(std::make_shared<QVFileAction>(QVFileAction::DeleteFile, _connection, _leftovers.takeFirst()));
}

void QVFileTransferAction::actionFinished(QVRemoteFileAction* action, bool result, int statusCode) {
    if (_reported || _subActions.isEmpty() || _subActions.last().get() != action) return;
    _connection->setDelegate(shared_from_this());
    if (!result && (_connection->clientEnded() || _connection->hasTimedOut(statusCode))) {
        // Nothing more can be said to the site.
        _lastReply = action->lastReply();
        finish(false, statusCode);
        return;
    }
    if ((_step == Surveying || _step == StaleDeleting) && _connection->wasCancelled()) {
        // Cancelled before anything was made: nothing more starts.
        finish(false, statusCode);
        return;
    }
    switch (_step) {
    case Surveying: {
        auto* listing = static_cast<QVFileListingAction*>(action);
        surveyed(result ? &listing->files() : nullptr);
        return;
    }
    case StaleDeleting:
        if (!_leftovers.isEmpty()) {
            runSubAction(std::make_shared<QVFileAction>(QVFileAction::DeleteFile, _connection, _leftovers.takeFirst()));
            return;
        }
        surveyed(&_surveyedFiles);
        return;
    case Guarding:
        if (_connection->wasCancelled()) {
            clean();
            return;
        }
        // Never text in a copy looser than its target.
        if (!result) {
            clean(tr("The site refused the permissions %1 to a copy of \"%2\", so the file is written in place.")
                      .arg(_mode, _targetPath));
            return;
        }
        _step = Checking;
        runSubAction(listingOf(folderOf(_remoteTemporaryPath)));
        return;
    case Checking: {
        if (_connection->wasCancelled()) {
            clean();
            return;
        }
        auto* listing = static_cast<QVFileListingAction*>(action);
        const QString copyName = lastComponent(_remoteTemporaryPath);
        const QVRemoteFile* copy = nullptr;
        if (result)
            for (const QVRemoteFile& file : listing->files())
                if (file.name() == copyName && !file.isSymlink()) copy = &file;
        if (!copy || copy->modeString() != _target.modeString() || copy->user() != _target.user() ||
            copy->group() != _target.group()) {
            clean(copy ? tr("A copy of \"%1\" would be %2 %3:%4 where the file is %5 %6:%7, so the file is written in "
                            "place.")
                             .arg(_targetPath, copy->modeString(), copy->user(), copy->group(), _target.modeString(),
                                  _target.user(), _target.group())
                       : tr("A copy of \"%1\" does not show in its folder, so the file is written in place.").arg(_targetPath));
            return;
        }
        sendFile();
        return;
    }
    case Renaming:
        if (result) {
            _temporaryMayRemain = false;
            // Replaced: a cancel that came too late still reads as a failure (finish says so).
            finish(true, statusCode);
            return;
        }
        _lastReply = action->lastReply();
        _failureCode = statusCode;
        clean(_connection->type() == C::WebDAV || _connection->wasCancelled()
                  ? QString()
                  : tr("The copy could not be renamed over \"%1\", so the file is written in place.").arg(_targetPath));
        return;
    case CleanListing: {
        auto* listing = static_cast<QVFileListingAction*>(action);
        _leftovers.clear();
        if (result) {
            for (const QVRemoteFile& file : listing->files())
                if (file.name().startsWith(temporaryPrefix())) _leftovers << file.path();
        } else {
            _leftovers << _remoteTemporaryPath;
        }
        cleanNext();
        return;
    }
    case CleanDeleting: cleanNext(); return;
    default: return;
    }
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
    // As through the client: up under a hidden name no resource has beside the target, renamed
    // over it once complete, removed otherwise.
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
    // A move onto a collection with "Overwrite: T" would delete it and everything in it.
    R::Outcome asked;
    switch (R::resourceAt(*_connection, _remotePath, &asked)) {
    case R::Missing:
    case R::File: break;
    case R::Collection: refuse(tr("\"%1\" names a folder, not a file.").arg(_remotePath)); return;
    default: refuse(tr("What \"%1\" names could not be told: %2").arg(_remotePath, asked.said)); return;
    }
    // Only a name the site says is free is removed again after a failure.
    bool free = false;
    for (int tries = 0; !free && tries < 8; ++tries) {
        _token = newToken();
        _remoteTemporaryPath = _remotePath.left(slash + 1) + uploadTemporaryName(name, _token);
        free = R::exists(*_connection, _remoteTemporaryPath) == false;
    }
    R::Outcome outcome = R::perform(*_connection, "PUT", _remoteTemporaryPath, {}, _localPath);
    bool ok = outcome.succeeded() && !_connection->wasCancelled();
    if (ok) {
        outcome = R::perform(*_connection, "MOVE", _remoteTemporaryPath, _remotePath);
        ok = outcome.succeeded() && R::exists(*_connection, _remotePath) == true;
    }
    _lastReply = {outcome.said};
    if (!ok && free) R::perform(*_connection, "DELETE", _remoteTemporaryPath);
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
    _remoteEntries.clear();
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
                if (_connection->type() == C::WebDAV && rmcolMisreads(_remotePath)) {
                    QVWebDAVRequest::Outcome outcome;
                    const bool removed = deleteDirectly(*_connection, _remotePath, &outcome);
                    _lastReply = {outcome.said};
                    report(removed && _failures == 0, outcome.status);
                    std::lock_guard guard(_advanceLock);
                    _advancing = false;
                    return;
                }
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
            // Its entries tell each upload what it replaces, hidden ones too.
            auto listing = std::make_shared<QVFileListingAction>(_connection, _remotePath);
            listing->setIncludesHidden(true);
            _actionQueue.append(std::move(listing));
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
            _remoteEntries = listing->files();
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
        else {
            auto upload = std::make_shared<QVFileTransferAction>(QVFileTransferAction::Put, _connection, remote,
                                                                 entry.filePath());
            upload->setFolderListing(_remoteEntries);
            _actionQueue.append(std::move(upload));
        }
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
