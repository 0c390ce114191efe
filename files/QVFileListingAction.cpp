#include "files/QVFileListingAction.h"

#include <QCoreApplication>
#include <QRegularExpression>

namespace {

QString tr(const char* text) { return QCoreApplication::translate("QVFileListingAction", text); }

struct Patterns {
    // sftp prints "?" as the link count.
    QRegularExpression mode{QStringLiteral("([-bcdlpsw?]([-rw]{2}[-SsTtx]){3})( +([0-9]+|\\?))?")};
    QRegularExpression skip{QStringLiteral("^(([1-5][0-5][0-9][^0-9])|(ls)|(total)|(Listing))")};
    QRegularExpression unixDate{QStringLiteral("[A-Z][a-z]{2} {1,2}[0-9]{1,2} {1,2}[0-9:]{4,6}")};
    QRegularExpression windowsDate{QStringLiteral("[0-9]{2}-[0-9]{2}-[0-9]{2} {2,}[0-9]{2}:[0-9]{2}(A|P)M")};
    QRegularExpression ownerGroup{QStringLiteral("([a-zA-Z0-9@\\.\\?_\\(\\)-]+) {1,}([a-zA-Z0-9@\\.\\?_\\(\\)-]+)")};
    QRegularExpression size{QStringLiteral(" ([0-9]+) ")};
    QRegularExpression name{QStringLiteral("[^ ].*$")};
    QRegularExpression linkTarget{QStringLiteral(" -> [^ ].*$")};
    // cadaver's columns, read from the end: size, then the date.
    QRegularExpression webDAVTail{
        QStringLiteral("\\s+([0-9]+)\\s+([A-Z][a-z]{2} {1,2}[0-9]{1,2} {1,2}[0-9:]{4,6})\\s*$")};
};

const Patterns& patterns() {
    static const Patterns p;
    return p;
}

// Cuts the first match out of the text; answers it.
QRegularExpressionMatch cut(QString& text, const QRegularExpression& pattern) {
    QRegularExpressionMatch m = pattern.match(text);
    if (m.hasMatch()) text.remove(m.capturedStart(), m.capturedLength());
    return m;
}

bool addressable(const QString& name) {
    return !name.isEmpty() && name != u'.' && name != QStringLiteral("..") && !name.contains(u'/') &&
           !name.contains(QChar(0));
}

std::optional<QVRemoteFile> named(QVRemoteFile file, QString name, const QString& directory) {
    if (!addressable(name)) return std::nullopt;
    file.setName(name);
    file.setPath(QVRemoteFile::appendPath(directory, name));
    return file;
}

}  // namespace

QVFileListingAction::QVFileListingAction(std::shared_ptr<QVRemoteFilesConnection> connection, QString path)
    : QVRemoteFileAction(std::move(connection)), _remotePath(std::move(path)) {}

std::shared_ptr<QVRemoteFileAction> QVFileListingAction::copy() const {
    return std::make_shared<QVFileListingAction>(_connection, _remotePath);
}

QString QVFileListingAction::command() const {
    const int type = _connection->type();
    const QString path = _remotePath.isEmpty() && type == QVRemoteFilesConnection::SFTP ? QStringLiteral(".") : _remotePath;
    const QString ls = type == QVRemoteFilesConnection::SFTP ? QStringLiteral("ls -la") : QStringLiteral("ls");
    // An empty path would make tnftp ask for it: the working folder is listed without one.
    if (path.isEmpty()) return ls;
    const auto quoted = quotedPath(type, path);
    return quoted ? ls + u' ' + *quoted : QString();
}

void QVFileListingAction::runWithDelegate(const std::shared_ptr<QVRemoteFileActionDelegate>& delegate) {
    QVRemoteFileAction::runWithDelegate(delegate);
    _files.clear();
    _unreadableLines = 0;
    _returnFolder.clear();
    const QString c = command();
    if (c.isEmpty()) {
        QString why;
        quotedPath(_connection->type(), _remotePath, &why);
        refuse(why);
        return;
    }
    if (_connection->type() == QVRemoteFilesConnection::FTP && !_remotePath.isEmpty()) {
        _step = AskingFolder;
        write(QStringLiteral("pwd"));
        return;
    }
    _step = Listing;
    write(c);
}

std::optional<QString> QVFileListingAction::parseWorkingFolder(const QStringList& lines) {
    // tnftp words its answer itself when the server's was of the usual form.
    static const QString tnftpWords = QStringLiteral("Remote directory: ");
    for (const QString& line : lines)
        if (line.startsWith(tnftpWords) && line.size() > tnftpWords.size()) return line.mid(tnftpWords.size());
    for (const QString& line : lines) {
        if (!line.startsWith(QStringLiteral("257 "))) continue;
        const qsizetype open = line.indexOf(u'"');
        if (open < 0) return std::nullopt;
        QString folder;
        for (qsizetype i = open + 1; i < line.size(); ++i) {
            if (line[i] != u'"') {
                folder += line[i];
            } else if (i + 1 < line.size() && line[i + 1] == u'"') {
                folder += u'"';
                ++i;
            } else {
                if (folder.isEmpty()) return std::nullopt;
                return folder;
            }
        }
        return std::nullopt;
    }
    return std::nullopt;
}

QVError QVFileListingAction::errorWithStatusCode(int statusCode) const {
    return titledError(statusCode, tr("Could Not Retrieve File Listing"),
                       tr("Qorvel could not retrieve the file listing for directory \"%1\". The directory may not "
                          "exist, you may not have permission to access it, or Qorvel failed to parse the listing.")
                           .arg(_remotePath.section(u'/', -1, -1, QString::SectionSkipEmpty)));
}

void QVFileListingAction::listed(const QStringList& lines, bool* ok, int* code) {
    const int type = _connection->type();
    if (type == QVRemoteFilesConnection::FTP) {
        replySucceeded(lines, code);
        *ok = *code == 226 && _connection->state() == QVRemoteFilesConnection::AtPrompt && !_connection->clientEnded();
    } else if (type == QVRemoteFilesConnection::WebDAV) {
        *ok = replySucceeded(lines, code, false);
        bool listing = false;
        for (const QString& line : lines) listing = listing || line.startsWith(QStringLiteral("Listing collection"));
        *ok = *ok && listing;
    } else {
        *ok = replySucceeded(lines, code);
    }
    if (*ok) _files = parseLines(type, _remotePath, lines, &_unreadableLines);
}

void QVFileListingAction::handleReply(const QStringList& lines) {
    int code = 0;
    bool ok = false;
    if (_connection->clientEnded()) {
        report(false, 0);
        return;
    }
    switch (_step) {
    case Listing:
        listed(lines, &ok, &code);
        report(ok, code);
        return;
    case AskingFolder: {
        replySucceeded(lines, &code);
        const bool answered = _connection->state() == QVRemoteFilesConnection::AtPrompt && !statusCodeIsError(code);
        const std::optional<QString> folder = answered ? parseWorkingFolder(lines) : std::nullopt;
        const std::optional<QString> quoted = folder ? quotedPath(QVRemoteFilesConnection::FTP, *folder) : std::nullopt;
        if (!quoted) {
            report(false, code);
            return;
        }
        _returnFolder = *quoted;
        _step = Entering;
        write(QStringLiteral("cd ") + *quotedPath(QVRemoteFilesConnection::FTP, _remotePath));
        return;
    }
    case Entering:
        // Nothing changed yet: a missing folder fails here (one server would list it as empty).
        if (!replySucceeded(lines, &code)) {
            report(false, code);
            return;
        }
        _step = ListingEntered;
        write(QStringLiteral("ls"));
        return;
    case ListingEntered:
        listed(lines, &_listedOK, &_listedCode);
        _step = Returning;
        write(QStringLiteral("cd ") + _returnFolder);
        return;
    case Returning:
        if (!replySucceeded(lines, &code)) {
            // Left in the listed folder, the client would take every later path from there: it
            // ends, and the queue logs in again.
            _connection->terminate();
            return;
        }
        report(_listedOK, _listedCode);
        return;
    }
}

QList<QVRemoteFile> QVFileListingAction::parseLines(int type, const QString& directory, const QStringList& lines,
                                                    int* unreadable) {
    const Patterns& p = patterns();
    QList<QVRemoteFile> files;
    if (unreadable) *unreadable = 0;
    // sftp puts the listed path before every name.
    QString prefix = directory.isEmpty() ? QStringLiteral(".") : directory;
    if (!prefix.endsWith(u'/')) prefix += u'/';
    for (const QString& line : lines) {
        if (line.trimmed().isEmpty() || p.skip.match(line).hasMatch()) continue;
        std::optional<QVRemoteFile> file;
        if (type == QVRemoteFilesConnection::SFTP) {
            file = parseUnixLine(line, directory);
        } else if (type == QVRemoteFilesConnection::WebDAV) {
            file = parseWebDAVLine(line, directory);
        } else {
            const int blank = line.indexOf(u' ');
            const bool unix = !line.contains(QStringLiteral("<DIR>")) && !line.startsWith(QStringLiteral("Coll:")) &&
                              blank > 0 && p.mode.match(line.left(blank)).hasMatch();
            file = unix ? parseUnixLine(line, directory) : parseWindowsLine(line, directory);
            // A line of neither form: a heading of several listings in one ("a:"), a message.
            const bool readable = file && (unix || p.windowsDate.match(line).hasMatch());
            if (!readable && unreadable) ++*unreadable;
        }
        if (!file) continue;
        if (type == QVRemoteFilesConnection::SFTP && file->name().startsWith(prefix)) {
            file = named(*file, file->name().mid(prefix.size()), directory);
            if (!file) continue;
        }
        if (addressable(file->name())) files.append(*file);
    }
    return files;
}

std::optional<QVRemoteFile> QVFileListingAction::parseUnixLine(const QString& line, const QString& directory) {
    const Patterns& p = patterns();
    QString rest = line;
    QVRemoteFile file;
    const auto mode = cut(rest, p.mode);
    if (mode.hasMatch()) file.setModeString(mode.captured(1));
    const auto date = cut(rest, p.unixDate);
    if (date.hasMatch()) file.setDateString(date.captured(0));
    const auto owner = cut(rest, p.ownerGroup);
    if (owner.hasMatch()) {
        file.setUser(owner.captured(1));
        file.setGroup(owner.captured(2));
    }
    const auto size = p.size.match(rest);
    if (size.hasMatch()) {
        file.setSize(size.captured(1).toLongLong());
        rest.remove(size.capturedStart(), size.capturedLength());
    }
    // Only a link's name carries its target; " -> " in any other name is part of it.
    if (file.isSymlink()) cut(rest, p.linkTarget);
    const auto name = p.name.match(rest);
    if (!name.hasMatch()) return std::nullopt;
    // sftp names keep the listed path until parseLines strips it, so "/" is checked there.
    QString n = name.captured(0).trimmed();
    if (n.isEmpty()) return std::nullopt;
    file.setName(n);
    file.setPath(QVRemoteFile::appendPath(directory, n));
    return file;
}

std::optional<QVRemoteFile> QVFileListingAction::parseWindowsLine(const QString& line, const QString& directory) {
    const Patterns& p = patterns();
    QString rest = line;
    QVRemoteFile file;
    const auto date = cut(rest, p.windowsDate);
    if (date.hasMatch()) file.setDateString(date.captured(0));
    const int dir = rest.indexOf(QStringLiteral("<DIR>"));
    if (dir >= 0) {
        file.setIsDirectory(true);
        rest.remove(dir, 5);
    }
    const auto size = p.size.match(rest);
    if (size.hasMatch()) {
        file.setSize(size.captured(1).toLongLong());
        rest.remove(size.capturedStart(), size.capturedLength());
    }
    const auto name = p.name.match(rest);
    if (!name.hasMatch()) return std::nullopt;
    return named(file, name.captured(0).trimmed(), directory);
}

std::optional<QVRemoteFile> QVFileListingAction::parseWebDAVLine(const QString& line, const QString& directory) {
    // "Coll:   NAME   0  Dec  7 04:08" for a folder, "        NAME   3  Dec  7 04:08" for a file,
    // "       *NAME ..." for an executable one: the name starts in the ninth column and ends
    // where the size and date columns begin, so digits inside names never count.
    const auto tail = patterns().webDAVTail.match(line);
    if (!tail.hasMatch() || line.size() < 9) return std::nullopt;
    QVRemoteFile file;
    file.setIsDirectory(line.startsWith(QStringLiteral("Coll:")));
    file.setSize(tail.captured(1).toLongLong());
    file.setDateString(tail.captured(2));
    QString name = line.mid(8, tail.capturedStart() - 8);
    while (name.endsWith(u' ')) name.chop(1);
    return named(file, name.trimmed().isEmpty() ? QString() : name, directory);
}
