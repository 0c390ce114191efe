#include "files/QVRemoteFileActions.h"
#include "platform/Threads.h"

#include "files/QVWebDAVRequest.h"
#include "platform/FileName.h"
#include "shell/QVFileFilters.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QUrl>
#include <QUuid>

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include <cstdio>

#include <sys/stat.h>
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

// The site files uploads are running to, across every connection of the process: two windows
// saving one file would otherwise mix their texts on the site.
struct HeldTargets {
    std::mutex lock;
    std::condition_variable released;
    QSet<QString> held;
};

HeldTargets& heldTargets() {
    // Never destroyed: an unsettled upload's watcher may release its file while the process ends.
    static HeldTargets* targets = new HeldTargets;
    return *targets;
}

void releaseHeld(const QString& target) {
    HeldTargets& targets = heldTargets();
    {
        std::lock_guard guard(targets.lock);
        targets.held.remove(target);
    }
    targets.released.notify_all();
}

// Waits while an upload holds any of the site's paths (a save running, or one the site has not
// yet answered, which must not land after what comes next), saying so once; false when a cancel
// or the client's end stops the wait. The guard holds the targets' lock, at return too.
bool waitWhileHeld(QVRemoteFileAction* action, const std::weak_ptr<QVRemoteFileActionDelegate>& delegate,
                   const QVRemoteFilesConnection& connection, const QStringList& paths,
                   std::unique_lock<std::mutex>& guard) {
    HeldTargets& targets = heldTargets();
    bool said = false;
    for (;;) {
        const auto held = std::find_if(paths.begin(), paths.end(), [&](const QString& path) {
            return targets.held.contains(connection.siteIdentity() + u'\n' + path);
        });
        if (held == paths.end()) return true;
        if (connection.wasCancelled() || connection.clientEnded()) return false;
        if (!said) {
            said = true;
            if (auto d = delegate.lock()) {
                guard.unlock();
                d->actionWaits(action, tr("Waiting for the site to finish an earlier save of \"%1\"")
                                           .arg(FileName::pictured(lastComponent(*held))));
                guard.lock();
                continue;
            }
        }
        targets.released.wait_for(guard, std::chrono::milliseconds(100));
    }
}

// Whether the server's words (or a WebDAV status) refuse for want of permission: only then is
// the user sent to look at their write access.
bool refusedForPermissions(int type, int statusCode, const QString& said) {
    if (type == C::WebDAV && (statusCode == 401 || statusCode == 403)) return true;
    return said.contains(QStringLiteral("permission"), Qt::CaseInsensitive) ||
           said.contains(QStringLiteral("not permitted"), Qt::CaseInsensitive) ||
           said.contains(QStringLiteral("access denied"), Qt::CaseInsensitive);
}

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
    if (_kind == DeleteFile || _kind == Move) {
        // A save of the file (or of a rename's new name) the site has not yet answered would
        // otherwise land after the delete or the rename, and bring the file back.
        std::unique_lock guard(heldTargets().lock);
        if (!waitWhileHeld(this, _delegate, *_connection, targetPaths(), guard)) {
            guard.unlock();
            refuse(tr("It was cancelled while it waited for the site to finish an earlier save."));
            return;
        }
    }
    if (_connection->type() == C::WebDAV &&
        (QVWebDAVRequest::cadaverMisreads(_remotePath) || (_kind == Move && QVWebDAVRequest::cadaverMisreads(_argument)) ||
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
    const QString name = FileName::pictured(lastComponent(_remotePath));
    switch (_kind) {
    case Move:
        return titledError(statusCode, tr("Could Not Rename File"),
                           tr("The file \"%1\" could not be renamed.").arg(name),
                           tr("It may not exist or you may not have permission to rename the file."));
    case Chmod:
        return titledError(statusCode, tr("Could Not Change Permissions"),
                           tr("The permissions of file \"%1\" could not be changed to \"%2\".").arg(name, _argument),
                           tr("It may not exist or you may not have permission to change the permissions."));
    case DeleteFile:
        return titledError(statusCode, tr("Could Not Delete File"),
                           tr("The file \"%1\" could not be deleted.").arg(name),
                           tr("It may not exist or you may not have permission to delete the file."));
    case MakeDirectory:
        return titledError(statusCode, tr("Could Not Make Remote Directory"),
                           tr("The directory \"%1\" could not be created.").arg(name),
                           tr("A directory with that name may already exist, or you may not have permission to "
                              "make the directory."));
    case ChangeDirectory:
        return titledError(statusCode, tr("Could Not Change Directories"),
                           tr("Could not change to directory \"%1\".").arg(name),
                           tr("It may not exist or you may not have permission to view the directory."));
    case DeleteDirectory:
        return titledError(statusCode, tr("Could Not Delete Directory"),
                           tr("The directory \"%1\" could not be deleted.").arg(name),
                           tr("It may not exist or you may not have permission to delete the directory."));
    }
    return QVRemoteFileAction::errorWithStatusCode(statusCode);
}

// MARK: transfers

QVFileTransferAction::QVFileTransferAction(Kind kind, std::shared_ptr<QVRemoteFilesConnection> connection,
                                           QString remotePath, QString localPath)
    : QVRemoteFileAction(std::move(connection)), _kind(kind), _remotePath(std::move(remotePath)),
      _localPath(std::move(localPath)) {}

QVFileTransferAction::~QVFileTransferAction() { releaseTarget(); }

std::shared_ptr<QVRemoteFileAction> QVFileTransferAction::copy() const {
    return std::make_shared<QVFileTransferAction>(_kind, _connection, _remotePath, _localPath);
}

namespace {

// A hidden name the tree filters out, unique for one download.
QString temporaryName(const QString& name) {
    return QStringLiteral(".tmp_Qorvel-") + QUuid::createUuid().toString(QUuid::Id128).left(12) + u'-' + name;
}

// tnftp's answer to "size": the server's "213 1234", or tnftp's own "PATH<tab>1234".
std::optional<qint64> sizeInReply(const QStringList& lines) {
    for (const QString& raw : lines) {
        QString digits;
        if (raw.startsWith(QStringLiteral("213 "))) digits = raw.mid(4).trimmed();
        else if (const qsizetype tab = raw.lastIndexOf(u'\t'); tab >= 0) digits = raw.mid(tab + 1).trimmed();
        bool ok = false;
        const qint64 size = digits.toLongLong(&ok);
        if (ok && size >= 0) return size;
    }
    return std::nullopt;
}

// A server that knows no SIZE (an extension of FTP) answers it with one of these codes, or left
// it out of its FEAT answer, and tnftp then says so itself without asking.
bool sizeIsUnknown(int code, const QStringList& lines) {
    if (code == 500 || code == 502 || code == 504) return true;
    return code == 0 && lines.contains(QStringLiteral("SIZE is not supported by remote server."));
}

}  // namespace

std::optional<qint64> QVFileTransferAction::bytesInReply(const QStringList& lines) {
    static const QRegularExpression counted(QStringLiteral("^([0-9]+) bytes? (sent|received) in "));
    for (const QString& line : lines)
        if (const auto m = counted.match(line); m.hasMatch()) return m.captured(1).toLongLong();
    return std::nullopt;
}

bool QVFileTransferAction::holdTarget() {
    const QString target = _connection->siteIdentity() + u'\n' + _remotePath;
    HeldTargets& targets = heldTargets();
    std::unique_lock guard(targets.lock);
    if (_held == target) return true;
    // A cancel ends the wait (the other save may be a long one).
    if (!waitWhileHeld(this, _delegate, *_connection, {_remotePath}, guard)) return false;
    targets.held.insert(target);
    _held = target;
    return true;
}

void QVFileTransferAction::releaseTarget() {
    if (_held.isEmpty()) return;
    releaseHeld(std::exchange(_held, QString()));
}

void QVFileTransferAction::runWithDelegate(const std::shared_ptr<QVRemoteFileActionDelegate>& delegate) {
    const int type = _connection->type();
    const bool direct = type == C::WebDAV && (_kind == Put || QVWebDAVRequest::cadaverMisreads(_remotePath) ||
                                              QVWebDAVRequest::cadaverMisreads(_localPath));
    {
        // Before the connection may tell us anything.
        std::lock_guard guard(_directLock);
        _direct = direct;
        _abandoned = false;
    }
    QVRemoteFileAction::runWithDelegate(delegate);
    _temporaryPath.clear();
    _transferCommand.clear();
    _transferCode = 0;
    _maySave = false;
    _siteTook = false;
    if (_kind == Put && (_remotePath.isEmpty() || _remotePath.endsWith(u'/'))) {
        if (keepDirectAnswer({}, tr("\"%1\" names a folder, not a file.").arg(FileName::pictured(_remotePath)))) report(false, 0);
        return;
    }
    if (direct) {
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
        if (!chooseTemporary()) return;
        _transferCommand = QStringLiteral("get ") + *remote + u' ' + *quotedPath(type, _temporaryPath);
    } else {
        if (!FileName::isRegularFile(_localPath)) {
            refuse(tr("The file \"%1\" is not there to upload.").arg(_localPath));
            return;
        }
        _transferCommand = QStringLiteral("put ") + *quotedLocal + u' ' + *remote;
        if (!holdTarget()) {
            finish(false, 0);
            return;
        }
        if (type == C::SFTP) {
            // sftp's put into a folder (or a link to one) writes a file of the local name inside
            // it. What the one target is, is asked first: its cd of the path stats that path
            // alone, following every link, and succeeds only for a folder. cd moves the client,
            // so the folder it stands in is asked before and entered again after.
            _step = AskingFolder;
            write(QStringLiteral("pwd"));
            return;
        }
    }
    startTransfer();
}

bool QVFileTransferAction::chooseTemporary() {
    // QFileInfo's path() is the string's own, escapes kept; the folder is asked by its bytes.
    const QString folder = QFileInfo(_localPath).path();
    if (_localPath.isEmpty() || !FileName::isFolder(folder)) {
        refuse(tr("There is no folder to download \"%1\" into.").arg(FileName::pictured(lastComponent(_remotePath))));
        return false;
    }
    // The target is replaced only by a complete copy.
    _temporaryPath = folder + u'/' + temporaryName(QFileInfo(_localPath).fileName());
    return true;
}

void QVFileTransferAction::startTransfer() {
    _connection->setDelegate(shared_from_this());
    if (_connection->type() != C::FTP) {
        sendFile();
        return;
    }
    // Every file goes as it is: in ASCII mode servers rewrite line ends (one stores LF as CRLF,
    // another drops CRs), and line breaks are the document's business. Said before each
    // transfer, since tnftp keeps whatever type it was last told.
    _step = SettingType;
    write(QStringLiteral("binary"));
}

void QVFileTransferAction::sendFile() {
    _step = Transferring;
    write(_transferCommand);
}

void QVFileTransferAction::handleReply(const QStringList& lines) {
    int code = 0;
    bool ok = replySucceeded(lines, &code);
    const int type = _connection->type();
    switch (_step) {
    case AskingFolder: {
        static const QString said = QStringLiteral("Remote working directory: ");
        std::optional<QString> back;
        for (const QString& line : lines)
            if (ok && line.startsWith(said) && line.size() > said.size()) back = quotedPath(type, line.mid(said.size()));
        if (!back) {
            _refusal = tr("What \"%1\" names could not be told.").arg(FileName::pictured(_remotePath));
            finish(false, 0);
            return;
        }
        _returnFolder = *back;
        _step = CheckingTarget;
        write(QStringLiteral("cd ") + *quotedPath(type, _remotePath));
        return;
    }
    case CheckingTarget:
        if (_connection->clientEnded() || _connection->state() != C::AtPrompt) {
            finish(false, 0);
        } else if (ok) {
            _refusal = tr("\"%1\" names a folder, not a file.").arg(FileName::pictured(_remotePath));
            _step = Returning;
            write(QStringLiteral("cd ") + _returnFolder);
        } else if (type == C::SFTP && std::any_of(lines.begin(), lines.end(), [](const QString& line) {
                       return line.startsWith(QStringLiteral("realpath ")) || line.startsWith(QStringLiteral("expand-path "));
                   })) {
            // The server's resolving of the path gave up on its links (its limit is below the
            // kernel's), so the cd said nothing of the end of the chain. sftp's put follows them
            // as far as the kernel does and writes inside a folder there: a listing of the path
            // as a folder, which follows them alike, tells.
            _step = CheckingThroughLinks;
            write(QStringLiteral("ls -1 -a ") + *quotedPath(type, _remotePath + u'/'));
        } else {
            // Not a folder ("is not a directory"), or nothing there yet: the put goes ahead.
            startTransfer();
        }
        return;
    case CheckingThroughLinks: {
        if (_connection->clientEnded() || _connection->state() != C::AtPrompt) {
            finish(false, 0);
            return;
        }
        // A folder lists itself as "PATH/."; a file, or nothing at the end, is not found.
        bool folder = false, missing = false;
        for (const QString& whole : lines) {
            // sftp's complaint comes through the terminal with its CR.
            const QStringView line = whole.endsWith(u'\r') ? QStringView(whole).chopped(1) : QStringView(whole);
            folder = folder || line.endsWith(QStringLiteral("/."));
            missing = missing || (line.startsWith(QStringLiteral("Can't ls")) && line.endsWith(QStringLiteral("not found")));
        }
        if (missing && !folder) {
            startTransfer();
            return;
        }
        _refusal = folder ? tr("\"%1\" names a folder, not a file.").arg(FileName::pictured(_remotePath))
                          : tr("What \"%1\" names could not be told.").arg(FileName::pictured(_remotePath));
        finish(false, 0);
        return;
    }
    case Returning:
        // Left in the folder, the client would take every later path from there: it ends, and
        // the queue logs in again.
        if (!ok) _connection->terminate();
        finish(false, 0);
        return;
    case SettingType:
        if (!ok) {
            finish(false, code);
            return;
        }
        sendFile();
        return;
    case Transferring: {
        // A cancelled tnftp transfer prints an abort line and still a completion code; so does
        // one whose local write failed (a full disk), with a complaint of its own ("ftp: Writing …").
        // An interrupted sftp transfer ends at the prompt without a word of failure.
        if (type == C::FTP) {
            for (const QString& line : lines)
                ok = ok && !line.contains(QStringLiteral("abort"), Qt::CaseInsensitive) &&
                     !line.startsWith(QStringLiteral("ftp: "));
            if (_kind == Put) {
                // The server's word that the data connection closed complete, and tnftp's count.
                // tnftp prints no count for an empty file: the 226 alone says it went, and the
                // site's SIZE (where answered) is checked next, as for any other.
                const auto sent = bytesInReply(lines);
                const qint64 size = FileName::size(_localPath);
                ok = ok && code == 226 && (sent ? *sent == size : size == 0);
            }
        }
        ok = ok && !_connection->wasCancelled();
        if (!ok || _kind == Get || type != C::FTP) {
            finish(ok, code);
            return;
        }
        _transferCode = code;
        _step = Sizing;
        write(QStringLiteral("size ") + *quotedPath(type, _remotePath));
        return;
    }
    case Sizing: {
        const bool answered = !_connection->clientEnded() && _connection->state() == C::AtPrompt;
        if (answered && sizeIsUnknown(code, lines)) {
            finish(true, _transferCode);
            return;
        }
        const auto size = answered && !statusCodeIsError(code) ? sizeInReply(lines) : std::nullopt;
        const qint64 expected = FileName::size(_localPath);
        if (size != expected) {
            _refusal = size ? tr("The site holds %1 bytes of \"%2\", not %3.").arg(*size).arg(FileName::pictured(_remotePath)).arg(expected)
                            : tr("The site did not say how much of \"%1\" it holds.").arg(FileName::pictured(_remotePath));
            finish(false, code);
            return;
        }
        finish(true, _transferCode);
        return;
    }
    }
}

void QVFileTransferAction::transferDirectly() {
    using R = QVWebDAVRequest;
    if (_kind == Get) {
        if (!chooseTemporary()) return;
        const R::Outcome got = R::perform(*_connection, "GET", _remotePath, {}, {}, _temporaryPath);
        keepDirectAnswer(got.said);
        finish(got.status == 200, got.status);
        return;
    }
    if (!FileName::isRegularFile(_localPath)) {
        if (keepDirectAnswer({}, tr("The file \"%1\" is not there to upload.").arg(_localPath))) report(false, 0);
        return;
    }
    // A PUT onto a collection would fail at best; the site is asked about that one resource.
    R::Outcome asked;
    switch (R::resourceAt(*_connection, _remotePath, &asked)) {
    case R::Missing:
    case R::File: break;
    case R::Collection:
        if (keepDirectAnswer({}, tr("\"%1\" names a folder, not a file.").arg(FileName::pictured(_remotePath)))) report(false, 0);
        return;
    default:
        // The site's answer passed a bound: it says which.
        if (keepDirectAnswer(asked.said, (tr("What \"%1\" names could not be told.").arg(FileName::pictured(_remotePath)) + u' ' + asked.refusal).trimmed()))
            report(false, 0);
        return;
    }
    if (!holdTarget()) {
        finish(false, 0);
        return;
    }
    const R::Outcome outcome = R::perform(*_connection, "PUT", _remotePath, {}, _localPath);
    keepDirectAnswer(outcome.said);
    _maySave = outcome.maySave;
    _siteTook = outcome.succeeded();
    if (outcome.unsettled && !_held.isEmpty()) {
        // The request goes on: this file stays held until it ends, so a later save of it
        // reaches the site only after the site is done with this one, or after the wait's
        // bound, when the request is cut.
        const int bound = R::deadlines().settleMs;
        Threads::start("QVRemoteSettle", [unsettled = outcome.unsettled, held = std::exchange(_held, QString()), bound] {
            if (!unsettled->waitEnded(bound)) unsettled->cut();
            releaseHeld(held);
        }).detach();
    }
    finish(outcome.succeeded(), outcome.status);
}

bool QVFileTransferAction::keepDirectAnswer(const QString& said, const QString& refusal) {
    std::lock_guard guard(_directLock);
    if (_abandoned) return false;
    if (!said.isEmpty()) _lastReply = {said};
    if (!refusal.isEmpty()) _refusal = refusal;
    return true;
}

bool QVFileTransferAction::abandonDirectTransfer() {
    {
        std::lock_guard guard(_directLock);
        if (!_direct || _reported) return _direct;
        _abandoned = true;
    }
    report(false, 0);
    return true;
}

void QVFileTransferAction::connectionFinishedCommand(QVRemoteFilesConnection* connection, const QStringList& lines) {
    if (!abandonDirectTransfer()) QVRemoteFileAction::connectionFinishedCommand(connection, lines);
}

void QVFileTransferAction::connectionTimedOut(QVRemoteFilesConnection*) {
    if (!abandonDirectTransfer() && !_reported) finish(false, 0);
}

void QVFileTransferAction::finish(bool result, int statusCode) {
    // A cancel that came as the site's answer did cannot take back what the site took.
    if (_connection->wasCancelled() && !_siteTook) result = false;
    if (!_temporaryPath.isEmpty()) {
        // The names as bytes: a name that is not UTF-8 too.
        const QByteArray temporary = FileName::encode(_temporaryPath);
        if (result && FileName::exists(_temporaryPath)) {
            // Replace the target only with a complete copy.
            result = ::rename(temporary.constData(), FileName::encode(_localPath).constData()) == 0;
        } else {
            result = false;
        }
        ::unlink(temporary.constData());
    }
    releaseTarget();
    report(result, statusCode);
}

QVError QVFileTransferAction::errorWithStatusCode(int statusCode) const {
    const QString name = FileName::pictured(lastComponent(_remotePath));
    if (_kind == Get)
        return titledError(statusCode, tr("Could Not Download File"),
                           tr("The file \"%1\" could not be downloaded.").arg(name),
                           tr("Please be sure you have read access for the remote server."));
    if (_maySave) {
        // Not "could not be uploaded", nor "cancelled": the site had all of it.
        QString text = tr("The site took the whole of \"%1\" but did not say whether it saved it: the site may "
                          "still save it. A later save of this file waits until the site is done with this one.")
                           .arg(name);
        QVariantMap info;
        if (!_lastReply.isEmpty()) {
            info.insert(QVRemoteClientReplyKey, _lastReply);
            text += u'\n' + tr("The client said: %1").arg(FileName::pictured(_lastReply.join(u' ')));
        }
        return QVError::app(1, tr("Upload Not Confirmed"), text, {}, info);
    }
    // The server's own reason (a full disk, a quota, a refusal) says more than a guess.
    QString said;
    for (const QString& line : _lastReply) {
        // What follows a progress meter redrawn on the line (sftp ends the line in its own "\r").
        QString t = line;
        while (t.endsWith(u'\r')) t.chop(1);
        t = t.section(u'\r', -1).trimmed();
        const bool serverWords = (_connection->type() == C::FTP && statusCodeIsError(statusCodeForLines({t}, false))) ||
                                 (_connection->type() == C::SFTP && linesIndicateError({t}));
        if (serverWords) said = t;
    }
    if (_connection->type() == C::WebDAV && statusCodeIsError(statusCode) && !_lastReply.isEmpty()) said = _lastReply.last();
    // Write access is named only where the server refused for it; a cut transfer, a lost
    // connection or a redirect is told by what the client said (titledError adds it), and our
    // own finding likewise.
    QString text = refusedForPermissions(_connection->type(), statusCode, said)
                       ? tr("The file \"%1\" could not be uploaded. Please be sure you have write access for the "
                            "remote server.")
                             .arg(name)
                       : tr("The file \"%1\" could not be uploaded.").arg(name);
    if (!said.isEmpty()) text += u' ' + tr("The server said: %1").arg(said);
    // An FTP or SFTP server writes what it gets as it gets it: a transfer ended on the way (a
    // cancel, a time-out, a cut connection) may have left some or all of it there.
    const bool underWay = _connection->type() != C::WebDAV && (_step == Transferring || _step == Sizing) && said.isEmpty() &&
                          (_connection->wasCancelled() || _connection->hasTimedOut(statusCode) || statusCode == 0 ||
                           statusCode == 426 || statusCode == 451);
    if (underWay && _connection->cutRefused())
        text += u' ' + tr("The site may now hold some or all of it, and, as the system did not let Qorvel cut its "
                          "connection, may still write what was on its way after a later save: check the file on the site.");
    else if (underWay)
        text += u' ' + tr("The site may now hold some or all of it, until it is saved again.");
    return titledError(statusCode, tr("Could Not Upload File"), text);
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
    // By the name's bytes: a folder listed under a name that is not UTF-8 too.
    _madeLocalFolder = false;
    if (_kind == Get && !FileName::isFolder(_localPath)) {
        if (::mkdir(FileName::encode(_localPath).constData(), 0777) != 0) {
            refuse(tr("The folder \"%1\" could not be made.").arg(_localPath));
            return;
        }
        _madeLocalFolder = true;
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
        dropEmptyMadeFolder();
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

void QVDirectoryAction::dropEmptyMadeFolder() {
    // A refused listing of a folder to download would otherwise leave an empty local folder that
    // reads as the site's folder downloaded. Only the one this run made, and only while empty.
    if (_kind == Get && std::exchange(_madeLocalFolder, false)) ::rmdir(FileName::encode(_localPath).constData());
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
        // Nothing was changed yet, and a download leaves no folder of its own behind.
        _lastReply = listing->lastReply();
        _actionQueue.clear();
        dropEmptyMadeFolder();
        report(false, statusCode);
        return;
    }
    if (listing->unreadableLines() > 0) {
        // The walk would leave out what the listing did not show as entries, and say it was done.
        _lastReply = listing->lastReply();
        _actionQueue.clear();
        dropEmptyMadeFolder();
        refuse(tr("The listing of \"%1\" held %2 lines that read as no file, so the folder was not walked.")
                   .arg(FileName::pictured(lastComponent(_remotePath)))
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
            _actionQueue.append(
                std::make_shared<QVFileTransferAction>(QVFileTransferAction::Put, _connection, remote, entry.filePath()));
    }
}

void QVDirectoryAction::handleReply(const QStringList& lines) {
    if (!_finalCommandSent) return;
    int code = 0;
    const bool ok = replySucceeded(lines, &code);
    report(ok && _failures == 0, code);
}

QVError QVDirectoryAction::errorWithStatusCode(int statusCode) const {
    const QString name = FileName::pictured(lastComponent(_remotePath));
    QVError error;
    switch (_kind) {
    case Delete:
        error = titledError(statusCode, tr("Could Not Delete Directory"),
                            tr("The directory \"%1\" could not be deleted.").arg(name),
                            tr("It may not exist or you may not have permission to delete the directory."));
        break;
    case Get:
        error = titledError(statusCode, tr("Could Not Download Directory"),
                            tr("The directory \"%1\" could not be downloaded.").arg(name),
                            tr("Please be sure you have read access for the remote server."));
        break;
    case Put:
        error = titledError(statusCode, tr("Could Not Upload Directory"),
                            refusedForPermissions(_connection->type(), statusCode, _lastReply.join(u' '))
                                ? tr("The directory \"%1\" could not be uploaded. Please be sure you have write "
                                     "access for the remote server.")
                                      .arg(name)
                                : tr("The directory \"%1\" could not be uploaded.").arg(name));
        break;
    }
    if (_failures > 0)
        error.setUserInfoValue(QVLocalizedRecoverySuggestionKey,
                               error.localizedRecoverySuggestion() + u'\n' +
                                   tr("%1 of the items inside could not be transferred or deleted.").arg(_failures));
    return error;
}
