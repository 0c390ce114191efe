#include "files/QVFileListingAction.h"

#include "files/QVWebDAVRequest.h"
#include "platform/FileName.h"

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>

#include <fcntl.h>
#include <unistd.h>

namespace {

QString tr(const char* text) { return QCoreApplication::translate("QVFileListingAction", text); }

// Listings of ten thousand lines are read while the user waits: the long form's columns are
// found by hand, each search giving what a leftmost regular-expression match would.
struct Span {
    qsizetype start = -1;
    qsizetype length = 0;
    bool found() const { return start >= 0; }
};

bool isDigit(QChar c) { return c >= u'0' && c <= u'9'; }

qsizetype countWhile(QStringView s, qsizetype from, qsizetype limit, bool (*accept)(QChar)) {
    qsizetype n = 0;
    while (from + n < s.size() && n < limit && accept(s[from + n])) ++n;
    return n;
}

bool isBlank(QChar c) { return c == u' '; }

// The permission column, "([-bcdlpsw?]([-rw]{2}[-SsTtx]){3})( +([0-9]+|\?))?": sftp prints "?"
// as the link count. The mode itself is the first ten characters of the span.
Span findMode(QStringView s) {
    const auto in = [](QChar c, const char16_t* set) {
        for (; *set; ++set)
            if (c == QChar(*set)) return true;
        return false;
    };
    for (qsizetype i = 0; i + 10 <= s.size(); ++i) {
        if (!in(s[i], u"-bcdlpsw?")) continue;
        bool ok = true;
        for (int k = 0; k < 3 && ok; ++k)
            ok = in(s[i + 1 + 3 * k], u"-rw") && in(s[i + 2 + 3 * k], u"-rw") && in(s[i + 3 + 3 * k], u"-SsTtx");
        if (!ok) continue;
        qsizetype end = i + 10;
        const qsizetype blanks = countWhile(s, end, s.size(), isBlank);
        if (blanks > 0 && end + blanks < s.size()) {
            const qsizetype at = end + blanks;
            if (s[at] == u'?') end = at + 1;
            else if (const qsizetype digits = countWhile(s, at, s.size(), isDigit)) end = at + digits;
        }
        return {i, end - i};
    }
    return {};
}

// "[A-Z][a-z]{2} {1,2}[0-9]{1,2} {1,2}[0-9:]{4,6}": "Dec  7 09:10", "Jan 15  2023".
Span findUnixDate(QStringView s) {
    const auto timeChar = [](QChar c) { return isDigit(c) || c == u':'; };
    for (qsizetype i = 0; i + 3 <= s.size(); ++i) {
        if (!(s[i] >= u'A' && s[i] <= u'Z') || !(s[i + 1] >= u'a' && s[i + 1] <= u'z') || !(s[i + 2] >= u'a' && s[i + 2] <= u'z'))
            continue;
        qsizetype j = i + 3;
        const qsizetype blanks = countWhile(s, j, 3, isBlank);
        if (blanks < 1 || blanks > 2) continue;
        j += blanks;
        const qsizetype day = countWhile(s, j, 3, isDigit);
        if (day < 1 || day > 2) continue;
        j += day;
        const qsizetype gap = countWhile(s, j, 3, isBlank);
        if (gap < 1 || gap > 2) continue;
        j += gap;
        const qsizetype time = countWhile(s, j, 6, timeChar);
        if (time < 4) continue;
        return {i, j + time - i};
    }
    return {};
}

bool isNameChar(QChar c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || isDigit(c) || c == u'@' || c == u'.' || c == u'?' ||
           c == u'_' || c == u'(' || c == u')' || c == u'-';
}

// "([a-zA-Z0-9@.?_()-]+) {1,}([a-zA-Z0-9@.?_()-]+)": owner and group. A match can only begin
// where a run of those characters begins: inside a run it would end where the run's own does.
Span findOwnerGroup(QStringView s, qsizetype* ownerLength, qsizetype* groupStart) {
    for (qsizetype i = 0; i < s.size(); ++i) {
        if (!isNameChar(s[i]) || (i > 0 && isNameChar(s[i - 1]))) continue;
        const qsizetype owner = countWhile(s, i, s.size(), isNameChar);
        const qsizetype blanks = countWhile(s, i + owner, s.size(), isBlank);
        if (blanks == 0) continue;
        const qsizetype group = countWhile(s, i + owner + blanks, s.size(), isNameChar);
        if (group == 0) continue;
        *ownerLength = owner;
        *groupStart = i + owner + blanks;
        return {i, owner + blanks + group};
    }
    return {};
}

// " ([0-9]+) ": the size, digits between blanks.
Span findSize(QStringView s) {
    for (qsizetype i = 0; i + 2 < s.size(); ++i) {
        if (s[i] != u' ') continue;
        const qsizetype digits = countWhile(s, i + 1, s.size(), isDigit);
        if (digits > 0 && i + 1 + digits < s.size() && s[i + 1 + digits] == u' ') return {i, digits + 2};
    }
    return {};
}

// " -> [^ ].*$": a link's target, to the end of the line.
Span findLinkTarget(QStringView s) {
    for (qsizetype i = 0; i + 4 < s.size(); ++i)
        if (s.mid(i, 4) == u" -> " && s[i + 4] != u' ') return {i, s.size() - i};
    return {};
}

// Reply lines, the echoed command and headings: "^([1-5][0-5][0-9][^0-9]|ls|total|Listing)".
bool isSkipped(QStringView s) {
    if (s.size() >= 4 && s[0] >= u'1' && s[0] <= u'5' && s[1] >= u'0' && s[1] <= u'5' && isDigit(s[2]) && !isDigit(s[3])) return true;
    return s.startsWith(u"ls") || s.startsWith(u"total") || s.startsWith(u"Listing");
}

struct Patterns {
    QRegularExpression windowsDate{QStringLiteral("[0-9]{2}-[0-9]{2}-[0-9]{2} {2,}[0-9]{2}:[0-9]{2}(A|P)M")};
};

const Patterns& patterns() {
    static const Patterns p;
    return p;
}

// sftp prints a byte of a name that is not UTF-8 (and a control character) as "\ooo". Such a
// name comes back as its bytes, which quotedPath() then refuses for sftp: its line editor drops
// them. Only a result that is not valid UTF-8 is taken for escapes: anything else may be a name
// that holds a backslash and digits itself, and must not be read as another file's.
QString sftpName(const QString& listed) {
    if (!listed.contains(u'\\')) return listed;
    QByteArray bytes;
    const QByteArray raw = FileName::encode(listed);
    bool escaped = false;
    for (qsizetype i = 0; i < raw.size(); ++i) {
        const auto octal = [&](qsizetype at) { return at < raw.size() && raw[at] >= '0' && raw[at] <= '7'; };
        if (raw[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3) && raw[i + 1] <= '3') {
            const int value = (raw[i + 1] - '0') * 64 + (raw[i + 2] - '0') * 8 + (raw[i + 3] - '0');
            if (value < 0x20 || value >= 0x7f) {
                bytes.append(char(value));
                escaped = true;
                i += 3;
                continue;
            }
        }
        bytes.append(raw[i]);
    }
    if (!escaped) return listed;
    const QString decoded = FileName::decode(bytes);
    bool control = false;
    for (QChar c : decoded) control = control || c.unicode() < 0x20 || c.unicode() == 0x7f;
    return FileName::hasEscapes(decoded) || control ? decoded : listed;
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
    auto listing = std::make_shared<QVFileListingAction>(_connection, _remotePath);
    listing->setIncludesHidden(_includesHidden);
    return listing;
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
    _budget = QVListingBudget();
    if (_connection->type() == QVRemoteFilesConnection::WebDAV) {
        listMembers();
        return;
    }
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
    write(_connection->type() == QVRemoteFilesConnection::FTP ? ftpListCommand() : c);
}

QString QVFileListingAction::ftpListCommand() {
    _listingFile.clear();
    const QString folder = _connection->workingFolder();
    if (!folder.isEmpty()) {
        // Made here, empty and readable by this user alone, never through a link: the client
        // truncates and fills it, keeping its mode.
        const QString file = folder + u'/' + QLatin1String(ListingFileName);
        const int fd = ::open(QFile::encodeName(file).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::close(fd);
            _listingFile = file;
            // A listing without end would fill the disk: past its bound the client is ended.
            _connection->watchOutputFile(file, QVListingBudget::MaxAnswerBytes);
            // "." is the folder entered (or the working one); the file's bare name is taken
            // in the client's folder, and holds nothing a client would read as a pipe or "-".
            // "-a" is read as an option, before any name, by every server here.
            return (_includesHidden ? QStringLiteral("ls -a ") : QStringLiteral("ls . ")) + QLatin1String(ListingFileName);
        }
    }
    return _includesHidden ? QStringLiteral("ls -a") : QStringLiteral("ls");
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
    const QString last = _remotePath.section(u'/', -1, -1, QString::SectionSkipEmpty);
    const QString folder = last.isEmpty() ? tr("the site's top folder") : tr("directory \"%1\"").arg(FileName::pictured(last));
    return titledError(statusCode, tr("Could Not Retrieve File Listing"),
                       tr("Qorvel could not retrieve the file listing for %1.").arg(folder),
                       tr("The directory may not exist, you may not have permission to access it, or Qorvel failed "
                          "to parse the listing."));
}

void QVFileListingAction::listed(const QStringList& lines, bool* ok, int* code) {
    const int type = _connection->type();
    if (type == QVRemoteFilesConnection::FTP) {
        replySucceeded(lines, code);
        *ok = *code == 226 && _connection->state() == QVRemoteFilesConnection::AtPrompt && !_connection->clientEnded();
        if (!_listingFile.isEmpty()) {
            QFile file(std::exchange(_listingFile, QString()));
            // Past its bound the listing is not read at all; within it, a line at a time from
            // the file, never held whole beside the entries it makes.
            const bool read = file.open(QIODevice::ReadOnly) && _budget.takeAnswer(file.size());
            const auto eachLine = [&](auto&& take) {
                if (!file.seek(0)) return;
                while (!file.atEnd()) {
                    QByteArray line = file.readLine(QVListingBudget::MaxTextBytes + 2);
                    if (line.endsWith('\n')) {
                        line.chop(1);
                    } else if (!file.atEnd()) {
                        _budget.takeText(QVListingBudget::MaxTextBytes + 1);  // a line past its bound
                        return;
                    }
                    if (!take(QByteArrayView(line))) return;
                }
            };
            *ok = *ok && read && !_budget.refused();
            if (!*ok) {
                file.close();
                file.remove();
                return;
            }
            // Only the listing's lines, decoded as the terminal's lines are: tnftp's own words
            // on the terminal ("WARNING! 1 bare linefeeds received in ASCII mode", "File may not
            // have transferred correctly.") are no entries.
            // tnftp turns the server's "\r\n" into "\n": a "\r" left before it is the last byte
            // of a name ("crend.html\r"). Only a listing whose every line ends in "\r" came
            // through unturned, and loses one from each.
            bool allEndInCR = true;
            eachLine([&](QByteArrayView line) { return allEndInCR = line.endsWith('\r'); });
            LineReader reader(type, _remotePath, &_budget);
            eachLine([&](QByteArrayView line) {
                return reader.take(QVRemoteFilesConnection::decodeOutputLine(allEndInCR ? line.chopped(1) : line));
            });
            file.close();
            file.remove();
            _files = reader.finish(&_unreadableLines);
            *ok = !_budget.refused();
            return;
        }
    } else {
        *ok = replySucceeded(lines, code);
    }
    // The client's reply was cut short of the listing's end: held whole it would have passed
    // its bound.
    if (_connection->lastReplyCut()) _budget.takeAnswer(QVListingBudget::MaxAnswerBytes + 1);
    if (*ok) _files = parseLines(type, _remotePath, lines, &_unreadableLines, &_budget);
    *ok = *ok && !_budget.refused();
}

void QVFileListingAction::keepRefusal() {
    if (_budget.refused()) {
        _refusal = _budget.refusal();
        _files.clear();
    }
}

void QVFileListingAction::recordTwins() {
    QStringList twins;
    for (const QVRemoteFile& file : _files)
        if (file.isListedTwice() && !twins.contains(file.path())) twins.append(file.path());
    _connection->setListedTwins(_remotePath, twins);
}

void QVFileListingAction::handleReply(const QStringList& lines) {
    int code = 0;
    bool ok = false;
    if (_connection->clientEnded()) {
        if (!_listingFile.isEmpty()) QFile::remove(std::exchange(_listingFile, QString()));
        if (_connection->lastReplyCut()) {
            _budget.takeAnswer(QVListingBudget::MaxAnswerBytes + 1);
            keepRefusal();
        }
        report(false, 0);
        return;
    }
    switch (_step) {
    case Listing:
        listed(lines, &ok, &code);
        keepRefusal();
        if (ok) recordTwins();
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
        write(ftpListCommand());
        return;
    case ListingEntered:
        listed(lines, &_listedOK, &_listedCode);
        keepRefusal();
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
        if (_listedOK) recordTwins();
        report(_listedOK, _listedCode);
        return;
    }
}

QVFileListingAction::LineReader::LineReader(int type, QString directory, QVListingBudget* budget)
    : _type(type), _directory(std::move(directory)), _budget(budget) {
    // sftp puts the listed path before every name.
    _prefix = _directory.isEmpty() ? QStringLiteral(".") : _directory;
    if (!_prefix.endsWith(u'/')) _prefix += u'/';
}

bool QVFileListingAction::LineReader::take(const QString& line) {
    if (_budget && !_budget->takeText(line.size())) return false;
    std::optional<QVRemoteFile> file = read(line);
    if (!file) return true;
    if (_budget &&
        !_budget->takeEntry(QVListingBudget::cost(file->name().size(), file->dateString().size() + file->user().size() +
                                                                           file->group().size() + file->linkTarget().size())))
        return false;
    _files.append(std::move(*file));
    return true;
}

std::optional<QVRemoteFile> QVFileListingAction::LineReader::read(const QString& line) {
    using C = QVRemoteFilesConnection;
    if (line.trimmed().isEmpty() || isSkipped(line)) return std::nullopt;
    std::optional<QVRemoteFile> file;
    if (_type == C::SFTP) {
        file = parseUnixLine(line, _directory);
    } else {
        const int blank = line.indexOf(u' ');
        const bool unix = !line.contains(QStringLiteral("<DIR>")) && !line.startsWith(QStringLiteral("Coll:")) &&
                          blank > 0 && findMode(QStringView(line).left(blank)).found();
        file = unix ? parseUnixLine(line, _directory) : parseWindowsLine(line, _directory);
        // A line of neither form (a heading of several listings in one, "a:", a message) is
        // no file.
        if (!file) ++_unreadable;
    }
    if (!file) return std::nullopt;
    if (_type == C::SFTP && file->isSymlink() && !file->linkTarget().isEmpty()) {
        // sftp never prints a link's target: " -> " in its line is part of the name.
        file->setName(file->name() + QStringLiteral(" -> ") + file->linkTarget());
        file->setPath(QVRemoteFile::appendPath(_directory, file->name()));
    }
    // A link's target is read only to tell it from the name: nothing uses it, and a server's
    // targets may be kilobytes each.
    file->setLinkTarget({});
    if (_type == C::SFTP && file->name().startsWith(_prefix)) {
        file = named(*file, file->name().mid(_prefix.size()), _directory);
        if (!file) return std::nullopt;
    }
    if (_type == C::SFTP) {
        file = named(*file, sftpName(file->name()), _directory);
        if (!file) return std::nullopt;
    }
    if (!addressable(file->name())) return std::nullopt;
    return file;
}

QList<QVRemoteFile> QVFileListingAction::LineReader::finish(int* unreadable) {
    if (unreadable) *unreadable = _unreadable;
    // Two entries naming one path: one of them is a line of a name holding a line break, and
    // nothing tells which is the file the name reaches.
    QHash<QString, int> seen;
    for (const QVRemoteFile& file : _files) ++seen[file.name()];
    for (QVRemoteFile& file : _files)
        if (seen.value(file.name()) > 1) file.setIsListedTwice(true);
    return std::move(_files);
}

QList<QVRemoteFile> QVFileListingAction::parseLines(int type, const QString& directory, const QStringList& lines,
                                                    int* unreadable, QVListingBudget* budget) {
    LineReader reader(type, directory, budget);
    for (const QString& line : lines)
        if (!reader.take(line)) break;
    return reader.finish(unreadable);
}

std::optional<QVRemoteFile> QVFileListingAction::parseUnixLine(const QString& line, const QString& directory) {
    // Each column is cut out of what is left, in this order, so a later search sees the text
    // joined where an earlier column was.
    QString rest = line;
    QVRemoteFile file;
    if (const Span mode = findMode(rest); mode.found()) {
        file.setModeString(rest.mid(mode.start, 10));
        rest.remove(mode.start, mode.length);
    }
    // The name starts one blank after the time or year, whatever it starts with: the other
    // columns are looked for before the date only.
    std::optional<QString> listedName;
    if (const Span date = findUnixDate(rest); date.found()) {
        file.setDateString(rest.mid(date.start, date.length));
        const qsizetype after = date.start + date.length;
        if (after >= rest.size() || rest[after] != u' ') return std::nullopt;
        listedName = rest.mid(after + 1);
        rest.truncate(date.start);
    }
    qsizetype ownerLength = 0, groupStart = 0;
    if (const Span owner = findOwnerGroup(rest, &ownerLength, &groupStart); owner.found()) {
        file.setUser(rest.mid(owner.start, ownerLength));
        file.setGroup(rest.mid(groupStart, owner.start + owner.length - groupStart));
        rest.remove(owner.start, owner.length);
    }
    if (const Span size = findSize(rest); size.found()) {
        file.setSize(QStringView(rest).mid(size.start + 1, size.length - 2).toLongLong());
        rest.remove(size.start, size.length);
    }
    if (!listedName) {
        // A line without a date: the name is what is left, from its first non-blank.
        qsizetype first = 0;
        while (first < rest.size() && rest[first] == u' ') ++first;
        listedName = rest.mid(first);
    }
    // Only a link's name carries its target; " -> " in any other name is part of it.
    if (file.isSymlink())
        if (const Span target = findLinkTarget(*listedName); target.found()) {
            file.setLinkTarget(listedName->mid(target.start + 4));
            listedName->truncate(target.start);
        }
    // sftp names keep the listed path until parseLines strips it, so "/" is checked there.
    // Every byte belongs to the name: " lead.html", "end " and "crend.html\r" are not their
    // neighbours "lead.html", "end" and "crend.html", and trimming would point a delete at
    // another file.
    // A copy of its own size: the line's buffer, as long as a link's target makes it, is not
    // kept with every entry.
    const QString n(listedName->constData(), listedName->size());
    if (n.trimmed().isEmpty()) return std::nullopt;
    file.setName(n);
    file.setPath(QVRemoteFile::appendPath(directory, n));
    return file;
}

std::optional<QVRemoteFile> QVFileListingAction::parseWindowsLine(const QString& line, const QString& directory) {
    // "01-15-24  03:45PM       <DIR>          images", "01-15-24  03:45PM   1234 index.html": the
    // name starts one blank after the size, or where the padding after "<DIR>" ends (ten blanks
    // in IIS's columns, where a file's name starts too), so blanks it starts or ends with are
    // its own. The pattern reads a copy in which each byte of a name that is not UTF-8 is one
    // U+FFFD (a regular expression takes no lone surrogate): the same places, so the name is
    // cut from the line itself.
    const QString seen = FileName::displayed(line);
    const auto date = patterns().windowsDate.match(seen);
    if (!date.hasMatch()) return std::nullopt;
    QVRemoteFile file;
    file.setDateString(date.captured(0));
    qsizetype at = date.capturedEnd();
    at += countWhile(seen, at, seen.size(), isBlank);
    static const QString folderMark = QStringLiteral("<DIR>");
    if (QStringView(seen).mid(at).startsWith(folderMark)) {
        file.setIsDirectory(true);
        at += folderMark.size();
        at += countWhile(seen, at, 10, isBlank);
    } else {
        const qsizetype digits = countWhile(seen, at, seen.size(), isDigit);
        if (digits == 0 || at + digits >= seen.size() || seen[at + digits] != u' ') return std::nullopt;
        file.setSize(QStringView(seen).mid(at, digits).toLongLong());
        at += digits + 1;
    }
    return named(file, line.mid(at), directory);
}

void QVFileListingAction::listMembers() {
    QVWebDAVRequest::Outcome outcome;
    const auto members = QVWebDAVRequest::members(*_connection, _remotePath, &outcome);
    _lastReply = {outcome.said};
    if (!members) {
        _refusal = outcome.refusal;
        report(false, outcome.status);
        return;
    }
    for (const QVWebDAVRequest::Member& member : *members) {
        QVRemoteFile file;
        file.setIsDirectory(member.collection);
        file.setIsExecutable(member.executable);
        file.setSize(member.size);
        file.setDateString(member.modified);
        if (auto entry = named(file, member.name, _remotePath)) _files.append(std::move(*entry));
    }
    report(true, outcome.status);
}
