// Fuzzing entry points for what the remote sites and shared project files hand Qorvel: listings,
// the clients' status and failure lines, path quoting, client options, project files and the
// list of projects.
#include "fuzz/FuzzTargets.h"

#include "files/QVClientOptions.h"
#include "files/QVFileListingAction.h"
#include "files/QVListingBudget.h"
#include "files/QVProjectRemoteConfiguration.h"
#include "files/QVRemoteFileAction.h"
#include "files/QVRemoteFilesConnection.h"
#include "files/QVWebDAVRequest.h"
#include "platform/FileName.h"
#include "platform/Paths.h"
#include "platform/PropertyList.h"
#include "projects/QVProject.h"
#include "projects/QVProjectRepository.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QXmlStreamReader>

namespace fuzz {

namespace {

using C = QVRemoteFilesConnection;

QStringList linesOf(const QByteArray& bytes) {
    return QString::fromUtf8(bytes).split(u'\n');
}

// A command line's words as each client reads them. tnftp: a backslash outside quotes takes
// the next character as it is, nothing escapes inside them. sftp and cadaver: inside quotes a
// backslash takes a quote or a backslash as it is.
// *bareWildcard: sftp would see a "*", "?" or "[" as a pattern (inside the quotes, or outside
// them without a backslash).
QStringList readWords(int type, const QString& line, bool* bareWildcard = nullptr) {
    QStringList words;
    QString word;
    bool inWord = false, quoted = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QChar c = line[i];
        if (!quoted && (c == u' ' || c == u'\t')) {
            if (inWord) words << word;
            word.clear();
            inWord = false;
            continue;
        }
        inWord = true;
        if (c == u'"') {
            quoted = !quoted;
        } else if (c == u'\\' && type == C::FTP && !quoted && i + 1 < line.size()) {
            word += line[++i];
        } else if (c == u'\\' && type != C::FTP && quoted && i + 1 < line.size() && (line[i + 1] == u'"' || line[i + 1] == u'\\')) {
            word += line[++i];
        } else if (c == u'\\' && type == C::SFTP && !quoted && i + 1 < line.size() &&
                   (line[i + 1] == u'*' || line[i + 1] == u'?' || line[i + 1] == u'[')) {
            word += line[++i];
        } else {
            if (bareWildcard && type == C::SFTP && (c == u'*' || c == u'?' || c == u'[')) *bareWildcard = true;
            word += c;
        }
    }
    if (inWord) words << word;
    return words;
}

// What each client does with an option of the input's choosing that reads, writes or runs
// something, loads a library, connects elsewhere (a proxy, a port) or as someone else, or changes
// how an upload writes (appends, the local mode): the letters (long names for cadaver) and the
// ssh keys, aliases included, from the clients' own manuals.
bool readsWritesOrRuns(int protocol, const QString& name) {
    switch (protocol) {
    case C::FTP: return QStringList{"N", "o", "u", "a"}.contains(name);
    case C::SFTP: return QStringList{"A", "b", "D", "F", "J", "S", "s", "P", "a", "p"}.contains(name);
    default: return QStringList{"r", "rcfile", "p", "proxy"}.contains(name);
    }
}

const QSet<QString>& sshKeysThatWriteOrRun() {
    static const QSet<QString> keys = {
        "proxycommand", "proxyjump", "proxyusefdpass", "localcommand", "permitlocalcommand", "remotecommand",
        "knownhostscommand", "pkcs11provider", "smartcarddevice", "securitykeyprovider", "include", "match", "host",
        "userknownhostsfile", "userknownhostsfile2", "globalknownhostsfile", "globalknownhostsfile2", "hostkeyalias",
        "updatehostkeys", "stricthostkeychecking", "checkhostip", "hashknownhosts", "hostname", "controlmaster",
        "controlpath", "controlpersist", "localforward", "remoteforward", "dynamicforward", "forwardagent",
        "forwardx11", "forwardx11trusted", "gatewayports", "permitremoteopen", "streamlocalbindunlink", "tunnel",
        "tunneldevice", "identityagent", "certificatefile", "revokedhostkeys", "xauthlocation", "sendenv", "setenv",
        "enablesshkeysign", "hostbasedauthentication", "identityfile2", "addkeystoagent", "user", "port"};
    return keys;
}

// A key file ssh would read: "~" expanded, no token, variable, quote or the blanks ssh splits a
// line at (a vertical tab is part of a name), no "..", inside the home's ssh folder.
bool outsideUserSSHFolder(const QString& path) {
    static const QRegularExpression plain(QStringLiteral("^[^ \\t\\r\\n\"'\\\\%$#]+$"));
    if (!plain.match(path).hasMatch() || path.split(u'/').contains(QStringLiteral(".."))) return true;
    const QString expanded = path.startsWith(QStringLiteral("~/")) ? Paths::home() + path.mid(1) : path;
    const QString folder = QDir::cleanPath(Paths::home() + QStringLiteral("/.ssh"));
    return !QDir::cleanPath(expanded).startsWith(folder + u'/');
}

QString checkOptions(const QStringList& arguments, int protocol, const char* where) {
    const QVClientOptions::Verdict verdict = QVClientOptions::check(arguments, protocol);
    // What passes passes again, whole: nothing refused hides in it.
    const QVClientOptions::Verdict again = QVClientOptions::check(verdict.arguments, protocol);
    if (!again.isClean() || again.arguments != verdict.arguments)
        return QStringLiteral("%1: passed options are refused when read again: %2").arg(QLatin1String(where), again.refused.join(u' '));
    // What passed, read as the client reads it: no word it would take for a host or path, and
    // no option that reads, writes or runs what the input names.
    const auto stop = [&](const QString& why, const QString& what) {
        return QStringLiteral("%1: %2 passed: %3").arg(QLatin1String(where), why, what);
    };
    for (const QVClientOptions::Option& option : QVClientOptions::read(verdict.arguments, protocol)) {
        if (option.name.isEmpty()) return stop(QStringLiteral("what the client reads as no option"), option.value);
        if (readsWritesOrRuns(protocol, option.name)) return stop(QStringLiteral("an option that reads, writes, runs or connects elsewhere"), option.name);
        if (protocol != C::SFTP || !option.hasValue) continue;
        if (option.name == u'i' && outsideUserSSHFolder(option.value)) return stop(QStringLiteral("a key file"), option.value);
        if (option.name != u'o') continue;
        const QVClientOptions::SSHOption ssh = QVClientOptions::sshOption(option.value);
        const QString key = ssh.key.toLower();
        if (sshKeysThatWriteOrRun().contains(key)) return stop(QStringLiteral("an ssh option that writes, runs or connects elsewhere"), option.value);
        if (key == QStringLiteral("identityfile") && outsideUserSSHFolder(ssh.value))
            return stop(QStringLiteral("an ssh key file"), option.value);
    }
    return {};
}

QString checkSite(QVProjectRemoteConfiguration& site, const char* where) {
    if (site.host().startsWith(u'-') || site.user().startsWith(u'-'))
        return QStringLiteral("%1: a host or user read as an option came out").arg(QLatin1String(where));
    const QVClientOptions::Verdict verdict = QVClientOptions::check(site.arguments(), site.protocol());
    if (!verdict.isClean())
        return QStringLiteral("%1: options a client would run came out: %2").arg(QLatin1String(where), verdict.refused.join(u' '));
    return {};
}

}  // namespace

QString listings(const QByteArray& bytes) {
    if (bytes.isEmpty()) return {};
    const int type = quint8(bytes[0]) % 3;
    const QString directory = (quint8(bytes[0]) & 4) ? QStringLiteral("/site/a b") : QString();
    int unreadable = -1;
    const QList<QVRemoteFile> files = QVFileListingAction::parseLines(type, directory, linesOf(bytes.mid(1)), &unreadable);
    if (unreadable < 0) return QStringLiteral("the unreadable lines were not counted");
    for (const QVRemoteFile& f : files) {
        const QString name = f.name();
        if (name.isEmpty() || name == u'.' || name == QStringLiteral("..") || name.contains(u'/') || name.contains(QChar(0)))
            return QStringLiteral("an entry that is no child of the folder: \"%1\"").arg(name);
        if (f.path() != QVRemoteFile::appendPath(directory, name))
            return QStringLiteral("an entry's path is not in the folder: %1").arg(f.path());
    }
    return {};
}

namespace {

// What a 207 answer holds, read here on its own: whole, without bounds, by the plain reader.
struct Multistatus {
    bool wellFormed = false;
    bool documentType = false;
    int depth = 0;
    qsizetype responses = 0;
    qsizetype longestText = 0;  // the longest run of text between two tags, in UTF-16 units
    bool typed = false;       // a DAV:resourcetype is there
    bool collection = false;  // a DAV:collection inside one
    // Each response's own hrefs, as decoded steps (none for one that climbs past the root).
    QList<QList<std::optional<QByteArrayList>>> hrefs;
};

// An href's path as decoded steps: the path of a full address, escapes undone, empty and "."
// steps dropped, ".." taking one back; nothing when it climbs past the root.
std::optional<QByteArrayList> hrefSteps(const QString& href) {
    QString path = href.trimmed();
    if (const QUrl url(path); url.isValid() && !url.scheme().isEmpty()) path = url.path(QUrl::FullyEncoded);
    QByteArrayList steps;
    for (const QByteArray& raw : path.toUtf8().split('/')) {
        const QByteArray step = QByteArray::fromPercentEncoding(raw);
        if (step.isEmpty() || step == ".") continue;
        if (step == "..") {
            if (steps.isEmpty()) return std::nullopt;
            steps.removeLast();
            continue;
        }
        steps.append(step);
    }
    return steps;
}

Multistatus readMultistatus(const QByteArray& body) {
    Multistatus m;
    QXmlStreamReader xml(body);
    int depth = 0, responseDepth = -1, typeDepth = 0;
    qsizetype run = 0;
    QString text;
    while (!xml.atEnd()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        const bool dav = xml.namespaceUri() == QLatin1String("DAV:");
        if (token == QXmlStreamReader::DTD) m.documentType = true;
        if (token == QXmlStreamReader::Characters) {
            run += xml.text().size();
            text += xml.text();
            m.longestText = std::max(m.longestText, run);
            continue;
        }
        if (token == QXmlStreamReader::Comment || token == QXmlStreamReader::ProcessingInstruction) continue;
        run = 0;
        if (token == QXmlStreamReader::StartElement) {
            m.depth = std::max(m.depth, ++depth);
            text.clear();
            if (dav && xml.name() == QLatin1String("resourcetype") && !typeDepth) {
                typeDepth = depth;
                m.typed = true;
            }
            if (dav && xml.name() == QLatin1String("collection") && typeDepth && depth > typeDepth) m.collection = true;
            if (dav && xml.name() == QLatin1String("response")) {
                ++m.responses;
                responseDepth = depth;
                m.hrefs.append(QList<std::optional<QByteArrayList>>());
            }
        } else if (token == QXmlStreamReader::EndElement) {
            if (dav && xml.name() == QLatin1String("href") && depth == responseDepth + 1 && !m.hrefs.isEmpty())
                m.hrefs.last().append(hrefSteps(text));
            if (dav && xml.name() == QLatin1String("response")) responseDepth = -1;
            if (depth == typeDepth) typeDepth = 0;
            --depth;
            text.clear();
        }
    }
    m.wellFormed = !xml.hasError();
    return m;
}

QString looseStep(const QByteArray& step) { return QString::fromUtf8(step).normalized(QString::NormalizationForm_C).toCaseFolded(); }

// What an answer taken within limits must be, as read apart: whole, and inside every bound.
QString withinBounds(const Multistatus& read, const QByteArray& body, const QVListingBudget::Limits& limits, const char* reader,
                     qsizetype own = 0) {
    const auto taken = [&](const QString& what) { return QStringLiteral("%1: %2 was taken").arg(QLatin1String(reader), what); };
    if (!read.wellFormed) return taken(QStringLiteral("an answer that is no well-formed document"));
    if (read.documentType) return taken(QStringLiteral("an answer with a document type"));
    if (body.size() > limits.answerBytes) return taken(QStringLiteral("an answer of %1 bytes").arg(body.size()));
    if (read.depth > limits.depth) return taken(QStringLiteral("an answer nesting %1 elements").arg(read.depth));
    if (read.longestText > limits.textBytes) return taken(QStringLiteral("an answer with a text of %1").arg(read.longestText));
    if (read.responses - own > limits.entries) return taken(QStringLiteral("an answer of %1 responses").arg(read.responses));
    return {};
}

// Whether one of the answer's responses names the folder itself alone (its one own href, in any
// spelling alike): that response is no entry of the listing.
bool namesTheFolder(const Multistatus& read, const QString& folderPath) {
    const QByteArrayList folder = hrefSteps(folderPath).value_or(QByteArrayList());
    const auto key = [](const QByteArray& step) { return FileName::decode(step).normalized(QString::NormalizationForm_C).toCaseFolded(); };
    for (const QList<std::optional<QByteArrayList>>& hrefs : read.hrefs) {
        if (hrefs.size() != 1 || !hrefs.first() || hrefs.first()->size() != folder.size()) continue;
        bool same = true;
        for (qsizetype i = 0; i < folder.size() && same; ++i)
            same = (*hrefs.first())[i] == folder[i] || key((*hrefs.first())[i]) == key(folder[i]);
        if (same) return true;
    }
    return false;
}

}  // namespace

QString multistatus(const QByteArray& bytes) {
    if (bytes.isEmpty()) return {};
    static const char* const folders[] = {"/", "/dav/", "/dav/a%20b/", "/dav/%C3%A9t%C3%A9/"};
    const QString folderPath = QLatin1String(folders[quint8(bytes[0]) % 4]);
    QVListingBudget::Limits limits;
    if (quint8(bytes[0]) & 4) limits = {32 << 10, 10, 512, 16, 12 << 10};
    const QByteArray body = bytes.mid(1);
    const Multistatus read = readMultistatus(body);

    // The same answer to a save's question about one resource.
    QVListingBudget one(limits);
    const QVWebDAVRequest::Resource resource = QVWebDAVRequest::readResource(body, one);
    if (resource == QVWebDAVRequest::Missing) return QStringLiteral("a resource missing by its answer's body");
    if (resource != QVWebDAVRequest::Unknown) {
        if (const QString failure = withinBounds(read, body, limits, "resource"); !failure.isEmpty()) return failure;
        if (read.responses != 1) return QStringLiteral("resource: an answer of %1 responses named one").arg(read.responses);
        if (!read.typed || (resource == QVWebDAVRequest::Collection && !read.collection))
            return QStringLiteral("resource: a type no resourcetype says");
    }

    QVListingBudget budget(limits);
    QString refusal;
    const auto members = QVWebDAVRequest::readMembers(body, folderPath, budget, &refusal);
    if (!members) {
        if (budget.refused() && refusal.isEmpty()) return QStringLiteral("a bound passed without saying which");
        return {};
    }
    // Taken: it was within every bound, as read apart.
    if (const QString failure = withinBounds(read, body, limits, "listing", namesTheFolder(read, folderPath) ? 1 : 0);
        !failure.isEmpty())
        return failure;
    qint64 kept = 0;
    for (const QVWebDAVRequest::Member& m : *members) kept += QVListingBudget::cost(m.modified.size());
    if (kept > limits.entryMemory) return QStringLiteral("members keeping %1 bytes were taken").arg(kept);
    if (members->size() > read.responses) return QStringLiteral("more members than responses");
    // Each member is a response's own href one step inside the folder, as the folder is spelled
    // or in its Unicode form or case.
    const QByteArrayList folder = hrefSteps(folderPath).value_or(QByteArrayList());
    for (const QVWebDAVRequest::Member& m : *members) {
        const QString name = m.name;
        if (name.isEmpty() || name == u'.' || name == QStringLiteral("..") || name.contains(u'/') || name.contains(QChar(0)))
            return QStringLiteral("a member that is no child of the folder: \"%1\"").arg(name);
        bool named = false;
        for (const QList<std::optional<QByteArrayList>>& hrefs : read.hrefs) {
            // A response of several hrefs names no one member.
            if (hrefs.size() != 1 || !hrefs.first()) continue;
            const QByteArrayList& steps = *hrefs.first();
            if (steps.size() != folder.size() + 1 || FileName::decode(steps.last()) != name) continue;
            bool inside = true;
            for (qsizetype i = 0; i < folder.size() && inside; ++i) inside = looseStep(steps[i]) == looseStep(folder[i]);
            named = named || inside;
        }
        if (!named) return QStringLiteral("a member no response names inside %1: \"%2\"").arg(folderPath, name);
    }
    return {};
}

QString replies(const QByteArray& bytes) {
    const QStringList lines = linesOf(bytes);
    for (bool reversed : {false, true}) {
        const int code = QVRemoteFileAction::statusCodeForLines(lines, reversed);
        if (code != 0 && (code < 100 || code > 559)) return QStringLiteral("a status code out of range: %1").arg(code);
    }
    if (const auto folder = QVFileListingAction::parseWorkingFolder(lines)) {
        if (folder->isEmpty()) return QStringLiteral("an empty working folder");
        if (folder->contains(u'\n')) return QStringLiteral("a working folder across lines");
    }
    (void)QVRemoteFileAction::linesIndicateError(lines);
    return {};
}

QString quoting(const QByteArray& bytes) {
    if (bytes.isEmpty()) return {};
    const int type = quint8(bytes[0]) % 3;
    const QString path = QString::fromUtf8(bytes.mid(1));
    QString why;
    const std::optional<QString> quoted = QVRemoteFileAction::quotedPath(type, path, &why);
    if (!quoted) {
        if (why.isEmpty()) return QStringLiteral("a path refused without a reason");
        return {};
    }
    for (QChar c : *quoted)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) return QStringLiteral("a control character in a quoted path");
    if (type == C::WebDAV)
        for (QChar c : path)
            if (c == u'*' || c == u'?' || c == u'[') return QStringLiteral("a pattern character passed to a client that expands it");
    bool bareWildcard = false;
    const QStringList words = readWords(type, QStringLiteral("cmd ") + *quoted, &bareWildcard);
    if (bareWildcard) return QStringLiteral("a pattern character sftp would expand in %1").arg(*quoted);
    const QString expected = path.startsWith(u'-') ? QStringLiteral("./") + path : path;
    if (words.size() != 2 || words[1] != expected)
        return QStringLiteral("\"%1\" quoted as %2 reads back as %3 words: %4")
            .arg(path, *quoted)
            .arg(words.size() - 1)
            .arg(words.mid(1).join(QStringLiteral(" | ")));
    return {};
}

QString options(const QByteArray& bytes) {
    if (bytes.isEmpty()) return {};
    const int protocol = quint8(bytes[0]) % 3;
    const QStringList arguments = QString::fromUtf8(bytes.mid(1)).split(QChar(0));
    return checkOptions(arguments, protocol, "options");
}

QString projects(const QByteArray& bytes) {
    if (bytes.isEmpty()) return {};
    const QByteArray body = bytes.mid(1);
    if (quint8(bytes[0]) % 2 == 0) {
        // A project file: no option that starts a program ever comes out.
        QVError error;
        const QVariant plist = PropertyList::fromData(body, &error);
        if (plist.typeId() != QMetaType::QVariantMap) return {};
        auto project = QVProject::create();
        project->loadFromPlistRepresentation(plist.toMap());
        if (!QVProject::isUUIDString(project->uuid())) return QStringLiteral("a project without a UUID");
        return checkSite(project->remoteConfig(), "project file");
    }
    // The list of projects, and what its older form carries of each project's site.
    const QString path = QVProjectRepository::projectsPlistPath();
    QDir().mkpath(QFileInfo(path).absolutePath());
    for (const QString& aside : QDir(QFileInfo(path).absolutePath()).entryList({QStringLiteral("projects.plist*")}, QDir::Files))
        QFile::remove(QFileInfo(path).absolutePath() + u'/' + aside);
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly)) return {};
        file.write(body);
    }
    QVProjectRepository::resetSharedInstance();
    QVProjectRepository& list = QVProjectRepository::sharedInstance();
    QString failure;
    QStringList uuids;
    for (qsizetype row = 0; row < list.countOfProjects() && failure.isEmpty(); ++row) {
        const std::shared_ptr<QVProject> project = list.projectAtIndex(row);
        failure = checkSite(project->remoteConfig(), "projects.plist");
        if (!project->rootDirectory().isEmpty() && !QDir::isAbsolutePath(project->rootDirectory()))
            failure = QStringLiteral("a listed project with a relative folder");
        const QString uuid = project->assignedUUID();
        if (!uuid.isEmpty() && uuids.contains(uuid)) failure = QStringLiteral("two listed projects with one identifier");
        uuids << uuid;
    }
    QVProjectRepository::resetSharedInstance();
    return failure;
}

}  // namespace fuzz
