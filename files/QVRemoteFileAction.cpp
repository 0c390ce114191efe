#include "files/QVRemoteFileAction.h"

#include "platform/FileName.h"

#include <QCoreApplication>
#include <QRegularExpression>

namespace {

QString tr(const char* text) { return QCoreApplication::translate("QVRemoteFileAction", text); }

bool isDigit(QChar c) { return c >= u'0' && c <= u'9'; }

// The code a line carries, or 0; *continued when a "-" follows it.
int lineStatusCode(const QString& line, bool* continued) {
    if (line.size() < 4) return 0;
    const QChar a = line[0], b = line[1], c = line[2], after = line[3];
    if (a < u'1' || a > u'5' || b < u'0' || b > u'5' || !isDigit(c)) return 0;
    if (isDigit(after) || after.isLetter()) return 0;
    *continued = after == u'-';
    return (a.unicode() - '0') * 100 + (b.unicode() - '0') * 10 + (c.unicode() - '0');
}

// How OpenSSH's sftp words its failures (it gives no codes); a line starting with one of these
// reports one.
const QStringList& sftpFailureStarts() {
    static const QStringList starts = {
        QStringLiteral("remote "),       // remote delete/mkdir/rmdir/rename/setstat/open
        QStringLiteral("stat "),         // a missing local file on put; cd to a missing folder
        QStringLiteral("File \""),       // get of a missing file
        QStringLiteral("dest open"),
        QStringLiteral("open local"),
        QStringLiteral("Can't"),
        QStringLiteral("Couldn't"),
        QStringLiteral("Invalid flag"),
        QStringLiteral("Invalid command"),
        QStringLiteral("Connection closed"),
        QStringLiteral("write remote"),  // a full disk on put
        QStringLiteral("write local"),   // a full disk on get
        QStringLiteral("read local"),
        QStringLiteral("close local"),
        QStringLiteral("close remote"),
        QStringLiteral("Download of file"),
        QStringLiteral("Upload of file"),
        QStringLiteral("Unable to"),
        QStringLiteral("Unsafe"),
        QStringLiteral("Could not"),
        QStringLiteral("Cannot"),
        QStringLiteral("cannot"),
        // cd of a path whose links go past the server's limit (some forty): "realpath PATH: No
        // such file", a failure though no other word says so.
        QStringLiteral("realpath "),
        QStringLiteral("expand-path "),
    };
    return starts;
}

}  // namespace

QVRemoteFileAction::QVRemoteFileAction(std::shared_ptr<QVRemoteFilesConnection> connection)
    : _connection(std::move(connection)) {}

QVRemoteFileAction::~QVRemoteFileAction() {
    if (_connection) _connection->clearDelegate(this);
}

void QVRemoteFileAction::runWithDelegate(const std::shared_ptr<QVRemoteFileActionDelegate>& delegate) {
    _delegate = delegate;
    _reported = false;
    _abandoningQuestion = false;
    _refusal.clear();
    _lastReply.clear();
    _connection->setDelegate(shared_from_this());
}

void QVRemoteFileAction::report(bool result, int statusCode) {
    if (_reported.exchange(true)) return;
    willReport();
    // Whoever hears the outcome may drop its last reference to us.
    auto self = shared_from_this();
    if (auto delegate = _delegate.lock()) delegate->actionFinished(this, result, statusCode);
}

bool QVRemoteFileAction::write(const QString& command) {
    for (const QString& path : targetPaths())
        if (!path.isEmpty() && _connection->isListedTwin(path)) {
            refuse(tr("The site's listing shows two entries named \"%1\" (one may be part of a name holding a line "
                      "break): which one this would reach cannot be told. Rename or remove it on the server.")
                       .arg(FileName::shown(path.section(u'/', -1))));
            return false;
        }
    if (_connection->writeCommand(command)) return true;
    report(false, 0);
    return false;
}

void QVRemoteFileAction::refuse(const QString& reason) {
    _refusal = reason;
    report(false, 0);
}

bool QVRemoteFileAction::connectionWillNeedInput(QVRemoteFilesConnection* connection, const QString& openLine) {
    // tnftp asking for a missing argument: the action must hear it to fail (see below).
    static const QRegularExpression missingArgument(QStringLiteral("^\\([a-z -]+\\) $"));
    return connection->type() == QVRemoteFilesConnection::FTP && missingArgument.match(openLine).hasMatch();
}

void QVRemoteFileAction::connectionFinishedCommand(QVRemoteFilesConnection* connection, const QStringList& lines) {
    if (_reported) return;
    if (_abandoningQuestion) {
        report(false, 0);
        return;
    }
    _lastReply = lines;
    if (connection->state() == QVRemoteFilesConnection::Asked && !connection->clientEnded()) {
        // Whatever is typed next would be taken as the answer: answer with nothing, wait for
        // the client's prompt, then fail.
        _abandoningQuestion = true;
        if (!_connection->writeCommand(QString())) report(false, 0);
        return;
    }
    handleReply(lines);
}

void QVRemoteFileAction::connectionTimedOut(QVRemoteFilesConnection*) { report(false, 0); }

void QVRemoteFileAction::handleReply(const QStringList&) {}

int QVRemoteFileAction::statusCodeForLines(const QStringList& lines, bool reversed) {
    int result = 0;
    const qsizetype n = lines.size();
    for (qsizetype i = 0; i < n; ++i) {
        bool continued = false;
        const int code = lineStatusCode(lines[reversed ? n - 1 - i : i], &continued);
        if (code == 0) continue;
        if (continued) return code;
        if (code == 226)
            result = 226;
        else if (result == 0)
            result = code;
    }
    return result;
}

bool QVRemoteFileAction::linesIndicateError(const QStringList& lines) {
    for (const QString& raw : lines) {
        const QString line = raw.trimmed();
        if (line.contains(QStringLiteral("Couldn't")) || line.contains(QStringLiteral("not found"))) return true;
        for (const QString& start : sftpFailureStarts())
            if (line.startsWith(start)) return true;
    }
    return false;
}

bool QVRemoteFileAction::replySucceeded(const QStringList& lines, int* statusCode, bool needsSuccessWord) const {
    const int type = _connection->type();
    const int code = type == QVRemoteFilesConnection::SFTP ? 0 : statusCodeForLines(lines, true);
    if (statusCode) *statusCode = code;
    // A reply cut by the client's end proves nothing.
    if (_connection->clientEnded() || _connection->state() != QVRemoteFilesConnection::AtPrompt) return false;
    switch (type) {
    case QVRemoteFilesConnection::SFTP: return !linesIndicateError(lines);
    case QVRemoteFilesConnection::FTP:
        // tnftp's own complaints ("Not connected.", local errors) carry no code: no success.
        return code > 0 && !statusCodeIsError(code);
    case QVRemoteFilesConnection::WebDAV: {
        if (statusCodeIsError(code) || !QVRemoteFilesConnection::isConnectedPrompt(_connection->lastPromptLine()))
            return false;
        bool succeeded = !needsSuccessWord;
        for (const QString& line : lines) {
            if (line.contains(QStringLiteral("failed:")) || line.startsWith(QStringLiteral("Unrecognised command")) ||
                line.startsWith(QStringLiteral("Could not")))
                return false;
            succeeded = succeeded || line.contains(QStringLiteral("succeeded."));
        }
        return succeeded;
    }
    default: return false;
    }
}

std::optional<QString> QVRemoteFileAction::quotedPath(int type, const QString& path, QString* why) {
    auto refuse = [why](const QString& reason) -> std::optional<QString> {
        if (why) *why = reason;
        return std::nullopt;
    };
    if (path.isEmpty()) return refuse(tr("The path is empty."));
    for (QChar c : path)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return refuse(tr("The name \"%1\" holds a control character.").arg(FileName::pictured(path)));
    if (path.contains(QChar::ReplacementCharacter))
        return refuse(tr("The name \"%1\" is not valid UTF-8 and cannot be addressed.").arg(path));
    // sftp's line editor drops the bytes of a name that are not UTF-8: the command would reach
    // another name, or make a second file.
    // cadaver's ls and cd drop them too (every other WebDAV action on such a name goes as a
    // request of its own).
    if (type == QVRemoteFilesConnection::WebDAV && FileName::hasEscapes(path))
        return refuse(tr("The name \"%1\" is not UTF-8, and the WebDAV client cannot list or enter it as it is.")
                          .arg(FileName::readable(path)));
    if (type == QVRemoteFilesConnection::SFTP && FileName::hasEscapes(path))
        return refuse(tr("The name \"%1\" is not UTF-8, and sftp cannot send it as it is. Rename it on the server, "
                         "or reach the site over FTP.")
                          .arg(FileName::readable(path)));
    // cadaver reads "*", "?" and "[" as patterns even inside quotes and takes no escape: a
    // delete or a move would reach every file that matches.
    if (type == QVRemoteFilesConnection::WebDAV && (path.contains(u'*') || path.contains(u'?') || path.contains(u'[')))
        return refuse(tr("The name \"%1\" holds a wildcard character, which the client would expand.").arg(path));
    QString p = path;
    if (p.startsWith(u'-')) p.prepend(QStringLiteral("./"));
    if (type == QVRemoteFilesConnection::FTP) {
        // tnftp knows no escape inside double quotes: close them, escape the quote, reopen.
        p.replace(u'"', QStringLiteral("\"\\\"\""));
    } else {
        p.replace(u'\\', QStringLiteral("\\\\"));
        p.replace(u'"', QStringLiteral("\\\""));
        if (type == QVRemoteFilesConnection::SFTP) {
            // sftp globs the names of rm, chmod, ls, get, put (the local one) and cd even inside
            // quotes, and a backslash there reaches the pattern doubled. Outside the quotes a
            // backslash before "*", "?" or "[" is one escape: the commands that glob match the
            // literal character, and those that do not (rename, mkdir, rmdir, ln, put's target)
            // drop the backslash. So each of them steps out of the quotes, escaped.
            for (QChar wild : {u'*', u'?', u'['})
                p.replace(wild, QStringLiteral("\"\\") + wild + u'"');
        }
    }
    return u'"' + p + u'"';
}

bool QVRemoteFileAction::isValidMode(const QString& mode) {
    static const QRegularExpression octal(QStringLiteral("^[0-7]{3,4}$"));
    return octal.match(mode).hasMatch();
}

QVError QVRemoteFileAction::titledError(int, const QString& description, const QString& failed,
                                        const QString& guess) const {
    QString text = failed;
    const bool cancelled = _connection->wasCancelled();
    const bool late = !cancelled && _refusal.isEmpty() && _connection->directRequestWasLate();
    if (!guess.isEmpty() && _refusal.isEmpty() && !cancelled && !late) text += u' ' + guess;
    if (!_refusal.isEmpty()) text += u'\n' + _refusal;
    if (late) text += u'\n' + tr("The site did not finish its answer in time.");
    if (cancelled) text += u'\n' + tr("It was cancelled.");
    QStringList said;
    for (const QString& line : _lastReply) {
        const QString t = line.trimmed();
        if (!t.isEmpty()) said.append(t);
    }
    QVariantMap info;
    if (!said.isEmpty()) {
        while (said.size() > 3) said.removeFirst();
        info.insert(QVRemoteClientReplyKey, said);
        // The client echoes names: one that reorders text would reorder the message around it.
        for (QString& line : said) line = FileName::pictured(line);
        text += u'\n' + tr("The client said: %1").arg(said.join(u' '));
    }
    return QVError::app(1, description, text, {}, info);
}

QVError QVRemoteFileAction::errorWithStatusCode(int statusCode) const {
    return titledError(statusCode, tr("Remote Connection Error"),
                       statusCode != 0
                           ? tr("Qorvel received error code %1. Please try your operation again.").arg(statusCode)
                           : tr("Qorvel experienced an unknown error. Please try your operation again"));
}

QVCommandAction::QVCommandAction(std::shared_ptr<QVRemoteFilesConnection> connection, QString command, bool isFatal)
    : QVRemoteFileAction(std::move(connection)), _command(std::move(command)), _isFatal(isFatal) {}

std::shared_ptr<QVRemoteFileAction> QVCommandAction::copy() const {
    return std::make_shared<QVCommandAction>(_connection, _command, _isFatal);
}

void QVCommandAction::runWithDelegate(const std::shared_ptr<QVRemoteFileActionDelegate>& delegate) {
    QVRemoteFileAction::runWithDelegate(delegate);
    write(_command);
}

void QVCommandAction::handleReply(const QStringList& lines) {
    const int code = statusCodeForLines(lines, false);
    // "quit" ends the client: its end is the answer.
    if (_command == QStringLiteral("quit") && _connection->clientEnded()) {
        report(!statusCodeIsError(code), code);
        return;
    }
    int verdictCode = 0;
    report(replySucceeded(lines, &verdictCode, false), code);
}
