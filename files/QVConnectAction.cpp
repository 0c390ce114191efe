#include "files/QVConnectAction.h"
#include "files/QVWebDAVRequest.h"

#include "files/QVClientOptions.h"
#include "platform/Paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QUrl>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
QString tr(const char* text) { return QCoreApplication::translate("QVConnectAction", text); }

// ssh finds the user's own files through the password database, Qorvel through $HOME: where the
// two differ, the known hosts of the home Qorvel uses (its folder made if need be). Empty where
// they agree, or where the home holds what ssh would read as quoting, a token or a variable.
QString knownHostsOfHome() {
    const QString home = QDir::cleanPath(Paths::home());
    const passwd* entry = getpwuid(getuid());
    if (home.isEmpty() || !entry || home == QDir::cleanPath(QFile::decodeName(entry->pw_dir))) return {};
    for (QChar c : home)
        if (c.unicode() < 0x20 || QStringView(u"\"'\\%$").contains(c)) return {};
    ::mkdir(QFile::encodeName(home + QStringLiteral("/.ssh")).constData(), 0700);
    return home + QStringLiteral("/.ssh/known_hosts");
}
}  // namespace

std::shared_ptr<QVConnectAction> QVConnectAction::make(std::shared_ptr<QVRemoteFilesConnection> connection,
                                                       const QString& host, int port, const QString& user,
                                                       const QString& password, const QStringList& arguments) {
    return std::shared_ptr<QVConnectAction>(new QVConnectAction(std::move(connection), host, port,
                                                                user.isNull() ? QStringLiteral("") : user,
                                                                password.isNull() ? QStringLiteral("") : password,
                                                                arguments));
}

QVConnectAction::QVConnectAction(std::shared_ptr<QVRemoteFilesConnection> connection, QString host, int port,
                                 QString user, QString password, QStringList arguments)
    : QVRemoteFileAction(std::move(connection)), _host(std::move(host)), _port(port), _user(std::move(user)),
      _password(std::move(password)), _arguments(std::move(arguments)) {}

std::shared_ptr<QVRemoteFileAction> QVConnectAction::copy() const {
    auto c = make(_connection, _host, _port, _user, _password, _arguments);
    c->_path = _path;
    return c;
}

QVError QVConnectAction::errorWithStatusCode(int statusCode) const {
    return titledError(statusCode, tr("Could Not Connect"),
                       tr("Qorvel could not connect to remote host \"%1\".").arg(_host),
                       tr("The host may not exist or may be unreachable."));
}

QStringList QVConnectAction::launchArguments() const {
    // tnftp without questions before a command writes a local file: a listing goes to a file
    // in the client's folder rather than through the terminal; and without its line editor,
    // which drops the bytes of a name that are not UTF-8 (the command would reach another name).
    if (_connection->type() == QVRemoteFilesConnection::FTP)
        return QStringList{QStringLiteral("-i"), QStringLiteral("-e")} + _arguments;
    if (_connection->type() != QVRemoteFilesConnection::SFTP) return _arguments;
    // A new host's key question ends in no colon and would wait for ever: Qorvel answers it
    // itself, first (ssh keeps the first value it reads), accepting a new key into the user's own
    // known hosts under the site's checked host name; a changed key still fails. No site option
    // can name the file or the host the line is written under. A server that takes the
    // connection and never answers, or goes silent later, must end the client too. The site's
    // port comes before the options too, so that it is the one ssh keeps.
    QStringList args{QStringLiteral("-oStrictHostKeyChecking=accept-new")};
    if (const QString known = knownHostsOfHome(); !known.isEmpty())
        args << QStringLiteral("-oUserKnownHostsFile=\"%1\"").arg(known);
    args.append(QStringLiteral("-oPort=%1").arg(_port < 1 ? 22 : _port));
    args << _arguments;
    const auto decided = [&](const QString& key) {
        for (const QString& a : _arguments)
            if (a.contains(key, Qt::CaseInsensitive)) return true;
        return false;
    };
    if (!decided(QStringLiteral("ConnectTimeout"))) args.append(QStringLiteral("-oConnectTimeout=%1").arg(ConnectTimeoutSeconds));
    if (!decided(QStringLiteral("ServerAliveInterval"))) args.append(QStringLiteral("-oServerAliveInterval=%1").arg(ServerAliveSeconds));
    if (!decided(QStringLiteral("ServerAliveCountMax"))) args.append(QStringLiteral("-oServerAliveCountMax=3"));
    args.append(QStringLiteral("--"));
    args.append(_user.isEmpty() ? _host : _user + u'@' + _host);
    return args;
}

QString QVConnectAction::openCommand() const {
    if (_connection->type() == QVRemoteFilesConnection::FTP)
        return QStringLiteral("open %1 %2").arg(_host).arg(_port < 1 ? 21 : _port);
    // cadaver takes a bare host to port 80 and its root: the address names scheme, port and
    // collection.
    QUrl url = _host.contains(QStringLiteral("://")) ? QUrl(_host) : QUrl(QStringLiteral("http://") + _host);
    if (_port > 0) url.setPort(_port);
    if (!_path.isEmpty()) url.setPath(_path.startsWith(u'/') ? _path : u'/' + _path);
    // A doubled slash or a dot step in the site's folder ("127.0.0.1/dav//t9/") is resolved as
    // curl resolves it: the site answers in that spelling, and cadaver would take its answer for
    // no collection.
    const QString folder = url.path() + u'/';
    url.setPath(QVWebDAVRequest::normalPath(folder).value_or(folder));
    return QStringLiteral("open ") + url.toString(QUrl::FullyEncoded);
}

void QVConnectAction::runWithDelegate(const std::shared_ptr<QVRemoteFileActionDelegate>& delegate) {
    QVRemoteFileAction::runWithDelegate(delegate);
    _state = Started;
    _answeredPastLogin = false;
    _setupCommands.clear();
    // Host and user reach the client's command line: nothing there may split it or read as an
    // option.
    for (const QString& value : {_host, _user, _password}) {
        for (QChar c : value)
            if (c.unicode() < 0x20 || c.unicode() == 0x7f) {
                refuse(tr("The site settings hold a control character."));
                return;
            }
    }
    if (_host.isEmpty() || _host.startsWith(u'-') || _host.contains(u' ') || _user.startsWith(u'-')) {
        refuse(tr("The host or user name cannot be passed to the client."));
        return;
    }
    // Site settings reach this point from more than one place: the client never sees an option
    // it would read as more than harmless.
    const QStringList refused = QVClientOptions::check(_arguments, _connection->type()).refused;
    if (!refused.isEmpty()) {
        refuse(tr("These options could make the client run a program, read or write files the settings name, or "
                  "connect elsewhere, and are not passed: %1.")
                   .arg(QVClientOptions::describe(refused)));
        return;
    }
    _connection->setSiteIdentity(QStringLiteral("%1 %2@%3:%4").arg(_connection->type()).arg(_user, _host).arg(_port));
    _connection->launchWithArguments(launchArguments());
}

bool QVConnectAction::connectionWillNeedInput(QVRemoteFilesConnection*, const QString& openLine) {
    return openLine.endsWith(QStringLiteral(": "));
}

void QVConnectAction::sendPassword() {
    if (_connection->writeSecret(_password)) return;
    // Never typed into an echoing terminal; the client is left asking: end it.
    _connection->kill();
    report(false, 0);
}

void QVConnectAction::connectionFinishedCommand(QVRemoteFilesConnection* connection, const QStringList& lines) {
    if (_reported) return;
    _lastReply = lines;
    if (connection->clientEnded()) {
        // The client ended (or never started) before a prompt: the login failed.
        const int code = statusCodeForLines(lines, false);
        report(false, code ? code : _errorCode);
        return;
    }
    switch (connection->type()) {
    case QVRemoteFilesConnection::FTP: ftpReply(lines); break;
    case QVRemoteFilesConnection::SFTP: sftpReply(lines); break;
    default: webDAVReply(lines); break;
    }
}

void QVConnectAction::sftpReply(const QStringList&) {
    const int connectionState = _connection->state();
    if (connectionState == QVRemoteFilesConnection::Asked) {
        if (_state != PasswordSent) {
            _state = PasswordSent;
            sendPassword();
        } else {
            // Asked again after the password: refused.
            _connection->kill();
            report(false, 0);
        }
        return;
    }
    if (connectionState == QVRemoteFilesConnection::AtPrompt) {
        _state = LoggedIn;
        report(true, 0);
        return;
    }
    report(false, 0);
}

void QVConnectAction::webDAVReply(const QStringList& lines) {
    const int code = statusCodeForLines(lines, false);
    const bool asked = _connection->state() == QVRemoteFilesConnection::Asked;
    const bool atPrompt = _connection->state() == QVRemoteFilesConnection::AtPrompt;
    if (_errorCode && atPrompt) {
        report(false, _errorCode);
    } else if (statusCodeIsError(code)) {
        _errorCode = code;
        // cadaver asks for the name again when the password is refused; any other failing
        // answer (a folder the site does not have) came once the login was taken.
        _answeredPastLogin = code != 401 && code != 407;
        if (atPrompt) report(false, code);
    } else if (_state == Started && atPrompt) {
        _state = Opening;
        write(openCommand());
    } else if (asked && _state == Opening) {
        _state = UserSent;
        write(_user);
    } else if (asked && _state == UserSent) {
        _state = PasswordSent;
        sendPassword();
    } else if (asked && _state == PasswordSent) {
        // Asked for the name again: the password was refused. Leave the state for the queue
        // to tell a credentials failure, and end the client that waits for an answer.
        _connection->kill();
        report(false, 401);
    } else if (!asked) {
        // "could not connect" ends at the unconnected prompt ("dav:!>") with no code.
        const bool connected = atPrompt && QVRemoteFilesConnection::isConnectedPrompt(_connection->lastPromptLine());
        if (connected) {
            _state = LoggedIn;
            const QUrl url(openCommand().mid(5));
            _connection->setWebDAVSite({url.scheme(), url.host(), url.port(url.scheme() == QStringLiteral("https") ? 443 : 80),
                                        _user, _password});
        }
        report(connected, code);
    }
}

void QVConnectAction::ftpReply(const QStringList& lines) {
    const int code = statusCodeForLines(lines, false);
    const bool atPrompt = _connection->state() == QVRemoteFilesConnection::AtPrompt;
    if (_state == Started && atPrompt) {
        _state = Opening;
        write(openCommand());
        return;
    }
    if (_errorCode && atPrompt) {
        report(false, _errorCode);
        return;
    }
    if (!statusCodeIsError(code) && (code != 0 || _state >= UserSent)) {
        if (code == 331) {
            _state = PasswordSent;
            sendPassword();
        } else if (code == 230) {
            _state = SettingUp;
            bool active = _arguments.contains(QStringLiteral("-A"));
            // No progress bars (bare carriage returns) and no wildcards in local names.
            _setupCommands = {active ? QStringLiteral("passive off") : QStringLiteral("passive auto"),
                              QStringLiteral("epsv4 off"), QStringLiteral("preserve on"),
                              QStringLiteral("progress off"), QStringLiteral("glob off")};
            write(_setupCommands.first());
        } else if (code == 220) {
            _state = UserSent;
            write(_user);
        } else if (_setupCommands.size() >= 2) {
            _setupCommands.removeFirst();
            write(_setupCommands.first());
        } else if (_errorCode) {
        } else {
            if (atPrompt && _state == SettingUp) _state = LoggedIn;
            report(atPrompt && _state == LoggedIn, code);
        }
        return;
    }
    _errorCode = code;
    if (atPrompt) report(false, code);
}
