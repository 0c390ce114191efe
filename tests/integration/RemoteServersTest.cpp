// What servers read their own way, on every FTP, SFTP and WebDAV server the peers start: bytes
// kept in every transfer, folders with blanks listed whole, names a client would read as
// patterns, and saves that leave what a plain put of the same server leaves.
#include "files/QVConnectAction.h"
#include "files/QVRemoteFileActions.h"
#include "tests/files/RemoteActionTestSupport.h"
#include "platform/FileName.h"
#include "tests/support/RemotePeers.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QRegularExpression>
#include <QSet>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <atomic>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

using C = QVRemoteFilesConnection;

struct Server {
    const char* name;
    PeerSite site;
};

// FTP: pyftpdlib, vsftpd and pure-ftpd; SFTP: OpenSSH; WebDAV: Apache and lighttpd. Missing ones
// are named.
std::vector<Server> servers(int type, QStringList* missing) {
    std::vector<Server> all;
    auto add = [&](const char* name, std::optional<PeerSite> site) {
        if (site) all.push_back({name, *site});
        else *missing << name;
    };
    const QString sftpUser = qEnvironmentVariable("QORVEL_SFTP_USER"), sftpRoot = qEnvironmentVariable("QORVEL_SFTP_ROOT");
    auto account = [&](const char* portVariable) -> std::optional<PeerSite> {
        const int port = qEnvironmentVariableIntValue(portVariable);
        if (port <= 0) return std::nullopt;
        return PeerSite{int(C::FTP), port, sftpUser, sftpRoot, sftpRoot + "/", {}};
    };
    if (type == C::FTP) {
        add("pyftpdlib", peerSite(C::FTP));
        add("vsftpd", account("QORVEL_VSFTPD_PORT"));
        add("pure-ftpd", account("QORVEL_PUREFTPD_PORT"));
    } else if (type == C::SFTP) {
        add("OpenSSH", peerSite(C::SFTP));
    } else {
        add("Apache", peerSite(C::WebDAV));
        const int port = qEnvironmentVariableIntValue("QORVEL_LIGHTTPD_PORT");
        add("lighttpd", port > 0 ? std::optional<PeerSite>(PeerSite{int(C::WebDAV), port, qEnvironmentVariable("QORVEL_PEER_USER"),
                                                                    qEnvironmentVariable("QORVEL_LIGHTTPD_ROOT"), "/dav/", {}})
                                 : std::nullopt);
    }
    return all;
}

std::shared_ptr<C> loggedIn(const PeerSite& s) {
    auto connection = std::make_shared<C>(s.type);
    if (qEnvironmentVariableIsSet("QORVEL_REMOTE_LOG"))
        connection->setLogDelegate([](const QString& t) { fprintf(stderr, "%s", qPrintable(t)); });
    auto login = QVConnectAction::make(connection, "127.0.0.1", s.port, s.user, qEnvironmentVariable("QORVEL_PEER_PASSWORD"), s.arguments);
    login->setPath("/dav/");
    auto outcome = runToOutcome(login, std::chrono::seconds(40));
    return outcome && outcome->result ? connection : nullptr;
}

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

QStringList temporaries(const QString& folder) {
    return QDir(folder).entryList({".tmp_Qorvel-*"}, QDir::AllEntries | QDir::Hidden);
}

// Made here as root, given to the site's account as its own file would be.
void own(const QString& path, const QString& like, int mode = -1) {
    struct stat st;
    ASSERT_EQ(::stat(QFile::encodeName(like).constData(), &st), 0);
    ASSERT_EQ(::lchown(QFile::encodeName(path).constData(), st.st_uid, st.st_gid), 0);
    if (mode >= 0) {
        ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), mode_t(mode)), 0);
    }
}

}  // namespace

TEST(RemoteServers, FtpKeepsEveryByteAndListsFoldersWithBlanksWhole) {
    QStringList missing;
    const auto all = servers(C::FTP, &missing);
    EXPECT_TRUE(missing.isEmpty()) << "peers not started: " << missing.join(", ").toStdString();
    QTemporaryDir local;
    // Line ends of every kind in a text page: ASCII mode would rewrite them.
    const QByteArray page("<p>a</p>\nb\r\nc\r\r\n\rlast");
    writeFile(local.filePath("page.html"), page);
    writeFile(local.filePath("newer.html"), page + "\n<!-- newer -->\n");
    for (const Server& server : all) {
        SCOPED_TRACE(server.name);
        const PeerSite& s = server.site;
        const QString folder = s.root + "/a b";
        QDir().mkpath(folder + "/c d");
        writeFile(folder + "/one", "1");
        writeFile(folder + "/c d/two", "2");
        QDir().mkpath(s.root + "/a");  // what a split "a b" would list
        writeFile(s.root + "/a/only-in-a", "x");
        // Made here as root: the site's account writes into them too.
        for (const QString& made : {folder, folder + "/c d", s.root + "/a"})
            QFile::setPermissions(made, QFileDevice::Permissions(0x7777));
        auto connection = loggedIn(s);
        ASSERT_TRUE(connection);
        auto upload = [&](const QString& from) {
            return runToOutcome(std::make_shared<QVFileTransferAction>(QVFileTransferAction::Put, connection,
                                                                       s.base + "a b/page.html", from));
        };

        auto put = upload(local.filePath("page.html"));
        ASSERT_TRUE(put && put->result);
        EXPECT_EQ(readAll(folder + "/page.html"), page);
        put = upload(local.filePath("newer.html"));  // over the first
        ASSERT_TRUE(put && put->result);
        EXPECT_EQ(readAll(folder + "/page.html"), readAll(local.filePath("newer.html")));
        EXPECT_EQ(temporaries(folder), QStringList());

        auto listing = std::make_shared<QVFileListingAction>(connection, s.base + "a b");
        auto listed = runToOutcome(listing);
        ASSERT_TRUE(listed && listed->result);
        QStringList names;
        for (const QVRemoteFile& f : listing->files()) names << f.name();
        names.sort();
        EXPECT_EQ(names, (QStringList{"c d", "one", "page.html"}));

        const QString into = local.filePath(QString("down-%1").arg(server.name));
        auto walk = runToOutcome(std::make_shared<QVDirectoryAction>(QVDirectoryAction::Get, connection, s.base + "a b", into),
                                 std::chrono::seconds(60));
        ASSERT_TRUE(walk && walk->result);
        EXPECT_EQ(readAll(into + "/one"), "1");
        EXPECT_EQ(readAll(into + "/c d/two"), "2");
        EXPECT_EQ(readAll(into + "/page.html"), readAll(local.filePath("newer.html")));

        // Names the listing must give back exactly, whichever way it reaches us: blanks inside and at the
        // end, a reply-like start, an option, shell and FTP quoting characters, UTF-8.
        const QStringList hostile{"x  y", "end ", "end", "226 done", "-rf", "semi;colon", "*.star", "q\"uo\"te",
                                  "back\\slash", QString::fromUtf8("\xC3\xA9t\xC3\xA9 \xE2\x82\xAC")};
        QDir().mkpath(s.root + "/a/odd");
        for (const QString& name : hostile) writeFile(s.root + "/a/odd/" + name, "h");
        auto odd = std::make_shared<QVFileListingAction>(connection, s.base + "a/odd");
        auto oddListed = runToOutcome(odd);
        ASSERT_TRUE(oddListed && oddListed->result);
        QStringList oddNames;
        for (const QVRemoteFile& f : odd->files()) oddNames << f.name();
        oddNames.sort();
        QStringList sortedHostile = hostile;
        sortedHostile.sort();
        EXPECT_EQ(oddNames, sortedHostile);
        EXPECT_EQ(odd->unreadableLines(), 0);
        EXPECT_EQ(QDir(connection->workingFolder()).entryList(QDir::Files), QStringList());
        QDir(s.root + "/a/odd").removeRecursively();

        // Later paths still start where they did: the listing went back to its folder.
        auto again = std::make_shared<QVFileListingAction>(connection, s.base + "a");
        auto relisted = runToOutcome(again);
        ASSERT_TRUE(relisted && relisted->result);
        ASSERT_EQ(again->files().size(), 1);
        EXPECT_EQ(again->files().first().name(), "only-in-a");
        QDir(folder).removeRecursively();
        QDir(s.root + "/a").removeRecursively();
    }
}

TEST(RemoteServers, CadaverNeverTakesANameForAPattern) {
    QStringList missing;
    const auto all = servers(C::WebDAV, &missing);
    EXPECT_TRUE(missing.isEmpty()) << "peers not started: " << missing.join(", ").toStdString();
    QTemporaryDir local;
    writeFile(local.filePath("new.jpg"), "new photo");
    for (const Server& server : all) {
        SCOPED_TRACE(server.name);
        const PeerSite& s = server.site;
        const QStringList names{"star*", "starfish", "photo[1].jpg", "photo1.jpg", "q?x", "qax"};
        for (const QString& name : names) writeFile(s.root + "/" + name, name.toUtf8());
        // Folders, and links to one, where a file is uploaded: a move with "Overwrite: T" would
        // delete a folder whole, or leave the text inside it.
        const QStringList folders{"album[1]", "up/album[2]", "shown"};
        for (const QString& folder : folders) {
            ASSERT_TRUE(QDir().mkpath(s.root + "/" + folder));
            own(s.root + "/" + folder, s.root, 0755);
            writeFile(s.root + "/" + folder + "/inside", "kept");
            own(s.root + "/" + folder + "/inside", s.root, 0644);
        }
        own(s.root + "/up", s.root, 0755);
        for (const QString& link : QStringList{"link[1]", "link1"}) {
            ASSERT_TRUE(QFile::link("shown", s.root + "/" + link));
            own(s.root + "/" + link, s.root);
        }
        QDir().mkpath(local.filePath("up"));
        writeFile(local.filePath("up/album[2]"), "new photo");
        auto connection = loggedIn(s);
        ASSERT_TRUE(connection);
        struct Step {
            const char* what;
            std::shared_ptr<QVRemoteFileAction> action;
            std::optional<bool> result;  // none: the server's own way
        };
        // lighttpd shows a link as a plain resource, whatever it leads to, and a move replaces the
        // link: the folder it led to keeps what it held.
        const bool apache = std::string(server.name) == "Apache";
        const std::optional<bool> refusedOnApache = apache ? std::optional<bool>(false) : std::nullopt;
        auto file = [&](QVFileAction::Kind kind, const QString& name) {
            return std::make_shared<QVFileAction>(kind, connection, s.base + name);
        };
        const Step steps[] = {
            {"delete star*", file(QVFileAction::DeleteFile, "star*"), true},
            {"delete q?x", file(QVFileAction::DeleteFile, "q?x"), true},
            {"move photo[1].jpg", QVFileAction::move(connection, s.base + "photo[1].jpg", s.base + "renamed.jpg"), true},
            {"upload to photo[1].jpg", std::make_shared<QVFileTransferAction>(QVFileTransferAction::Put, connection,
                                                                              s.base + "photo[1].jpg", local.filePath("new.jpg")),
             true},
            {"delete starfish", file(QVFileAction::DeleteFile, "starfish"), true},
            {"upload over photo1.jpg", std::make_shared<QVFileTransferAction>(QVFileTransferAction::Put, connection,
                                                                              s.base + "photo1.jpg", local.filePath("new.jpg")),
             true},
            {"upload onto the folder album[1]", std::make_shared<QVFileTransferAction>(QVFileTransferAction::Put, connection,
                                                                                       s.base + "album[1]", local.filePath("new.jpg")),
             false},
            {"a folder upload onto the folder up/album[2]",
             std::make_shared<QVDirectoryAction>(QVDirectoryAction::Put, connection, s.base + "up", local.filePath("up")), false},
            {"upload onto link[1], a link to a folder", std::make_shared<QVFileTransferAction>(QVFileTransferAction::Put, connection,
                                                                                               s.base + "link[1]", local.filePath("new.jpg")),
             refusedOnApache},
            {"upload onto link1, a link to a folder", std::make_shared<QVFileTransferAction>(QVFileTransferAction::Put, connection,
                                                                                             s.base + "link1", local.filePath("new.jpg")),
             refusedOnApache},
        };
        for (const Step& step : steps) {
            SCOPED_TRACE(step.what);
            auto outcome = runToOutcome(step.action);
            ASSERT_TRUE(outcome);
            if (step.result) {
                EXPECT_EQ(outcome->result, *step.result);
            }
        }
        // Only the one file asked for changed each time.
        for (const QString& name : names) {
            SCOPED_TRACE(name.toStdString());
            if (name == "starfish" || name == "star*" || name == "q?x") EXPECT_FALSE(QFile::exists(s.root + "/" + name));
            else if (name == "photo1.jpg" || name == "photo[1].jpg") EXPECT_EQ(readAll(s.root + "/" + name), "new photo");
            else EXPECT_EQ(readAll(s.root + "/" + name), name.toUtf8());
        }
        EXPECT_EQ(readAll(s.root + "/renamed.jpg"), "photo[1].jpg");
        QFile::remove(s.root + "/renamed.jpg");
        EXPECT_EQ(temporaries(s.root), QStringList());
        for (const QString& name : names) QFile::remove(s.root + "/" + name);
        for (const QString& folder : folders) {
            SCOPED_TRACE(folder.toStdString());
            EXPECT_EQ(QDir(s.root + "/" + folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                      QStringList{"inside"});
            EXPECT_EQ(readAll(s.root + "/" + folder + "/inside"), "kept");
        }
        for (const QString& link : QStringList{"link[1]", "link1"}) {
            if (apache) {
                EXPECT_TRUE(QFileInfo(s.root + "/" + link).isSymLink()) << link.toStdString();
            }
            QFile::remove(s.root + "/" + link);
        }
        for (const QString& folder : QStringList{"album[1]", "up", "shown"}) QDir(s.root + "/" + folder).removeRecursively();
    }
}

// Names holding a quote: renamed and deleted, and a folder of them deleted whole.
TEST(RemoteServers, NamesHoldingAQuoteAreRenamedAndDeleted) {
    QStringList missing;
    std::vector<Server> all;
    for (int type : {C::FTP, C::SFTP, C::WebDAV})
        for (Server& server : servers(type, &missing)) all.push_back(server);
    EXPECT_TRUE(missing.isEmpty()) << "peers not started: " << missing.join(", ").toStdString();
    for (const Server& server : all) {
        SCOPED_TRACE(server.name);
        const PeerSite& s = server.site;
        const QString dir = s.root + "/keep", remote = s.base + "keep/";
        QDir(dir).removeRecursively();
        ASSERT_TRUE(QDir(dir).mkpath("tr'ee/it's"));
        for (const QString& made : {dir, dir + "/tr'ee", dir + "/tr'ee/it's"}) own(made, s.root, 0755);
        for (const QString& name : QStringList{"sq'uote", "tr'ee/it's/don't", "tr'ee/a'b"}) {
            writeFile(dir + "/" + name, "old " + name.toUtf8());
            own(dir + "/" + name, s.root, 0644);
        }
        auto connection = loggedIn(s);
        ASSERT_TRUE(connection);
        const struct {
            const char* what;
            std::shared_ptr<QVRemoteFileAction> action;
            std::function<bool()> done;
        } quoted[] = {
            {"rename", QVFileAction::move(connection, remote + "sq'uote", remote + "sq'uote 2"),
             [&] { return readAll(dir + "/sq'uote 2") == "old sq'uote" && !QFileInfo::exists(dir + "/sq'uote"); }},
            {"delete", std::make_shared<QVFileAction>(QVFileAction::DeleteFile, connection, remote + "sq'uote 2"),
             [&] { return !QFileInfo::exists(dir + "/sq'uote 2"); }},
            {"delete a folder whole", std::make_shared<QVDirectoryAction>(QVDirectoryAction::Delete, connection, remote + "tr'ee"),
             [&] { return !QFileInfo::exists(dir + "/tr'ee"); }},
        };
        for (const auto& step : quoted) {
            SCOPED_TRACE(step.what);
            auto outcome = runToOutcome(step.action, std::chrono::seconds(30));
            ASSERT_TRUE(outcome) << "never reported";
            EXPECT_TRUE(outcome->result) << step.action->lastReply().join(" | ").toStdString();
            EXPECT_TRUE(step.done());
        }
        connection->kill();
        QDir(dir).removeRecursively();
    }
}

namespace {

// Everything a save may change under a folder, as root sees it: per entry its kind, mode, owner,
// group, number of names, extended attributes (the ACL among them) and text (or a link's target).
// Names are taken as the bytes they are.
QStringList stateOf(const QString& root, const QStringList& alsoPaths = {}) {
    QStringList state;
    auto describe = [&](const QString& path, const QString& shown) {
        const QByteArray p = FileName::encode(path);
        struct stat st;
        if (::lstat(p.constData(), &st) != 0) {
            state << shown + " missing";
            return;
        }
        QString what = QString("%1 %2 %3:%4 n%5 ").arg(shown).arg(st.st_mode, 0, 8).arg(st.st_uid).arg(st.st_gid).arg(st.st_nlink);
        char names[4096];
        const ssize_t length = ::llistxattr(p.constData(), names, sizeof names);
        QStringList attributes;
        for (ssize_t at = 0; at < length; at += ssize_t(std::strlen(names + at)) + 1) {
            char value[4096];
            const ssize_t n = ::lgetxattr(p.constData(), names + at, value, sizeof value);
            attributes << QString::fromLatin1(names + at) + "=" + QByteArray(value, std::max<ssize_t>(n, 0)).toHex();
        }
        attributes.sort();
        what += "[" + attributes.join(",") + "] ";
        if (S_ISLNK(st.st_mode)) {
            char to[4096];
            const ssize_t n = ::readlink(p.constData(), to, sizeof to);
            what += "-> " + QString::fromUtf8(to, n > 0 ? n : 0);
        } else if (S_ISREG(st.st_mode)) {
            QFile f;
            const int fd = ::open(p.constData(), O_RDONLY);
            if (fd >= 0 && f.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
                const QByteArray text = f.readAll();
                what += text.size() < 64 ? QString::fromLatin1(text)
                                         : QString("%1 bytes %2").arg(text.size()).arg(QString::fromLatin1(
                                               QCryptographicHash::hash(text, QCryptographicHash::Md5).toHex()));
            }
        }
        state << what;
    };
    std::function<void(const QString&)> walk = [&](const QString& folder) {
        QStringList names = FileName::entries(folder);
        names.sort();
        for (const QString& name : names) {
            const QString path = folder + "/" + name;
            describe(path, FileName::readable(path.mid(root.size())));
            if (!FileName::isSymbolicLink(path) && FileName::isFolder(path)) walk(path);
        }
    };
    walk(root);
    for (const QString& path : alsoPaths) describe(path, path);
    return state;
}

// QDir cannot remove a name that is not UTF-8.
void removeTree(const QString& path) {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(FileName::encode(path).toStdString()), ignored);
}

// A plain put by another client on the same server (curl's STOR, sftp write or PUT), with the
// path's own bytes: whether it succeeded.
bool plainPut(const PeerSite& s, const QString& local, const QString& remote, const QString& password) {
    const QString scheme = s.type == C::FTP ? "ftp" : s.type == C::SFTP ? "sftp" : "http";
    QByteArray path = FileName::encode(remote).toPercentEncoding("/");
    // An FTP path from the top of the account's tree, whatever folder it logs in to.
    if (s.type == C::FTP) path = "/%2F" + path.mid(1);
    QProcess curl;
    curl.start("curl", {"-sS", "-f", "-k", "--ftp-method", "nocwd", "-u", s.user + ":" + password, "-T", local,
                        QString("%1://127.0.0.1:%2").arg(scheme).arg(s.port) + QString::fromLatin1(path)});
    return curl.waitForFinished(30000) && curl.exitStatus() == QProcess::NormalExit && curl.exitCode() == 0;
}

}  // namespace

// A save is a plain put: each case is set up twice on each server and variant, once given a plain
// put by another client and once saved, and both leave the same outcome and the same files, mode,
// owner, group, other names, ACL and extended attributes included. Nothing a folder listing says
// (a neighbour's name may hold a line break and a forged line) changes where the text goes.
TEST(RemoteServers, ASaveLeavesWhatAPlainPutOfTheSameServerLeaves) {
    const QString password = qEnvironmentVariable("QORVEL_PEER_PASSWORD");
    const QString sftpUser = qEnvironmentVariable("QORVEL_SFTP_USER"), sftpRoot = qEnvironmentVariable("QORVEL_SFTP_ROOT");
    const QString limitedUser = qEnvironmentVariable("QORVEL_LIMITED_USER"), limitedRoot = qEnvironmentVariable("QORVEL_LIMITED_ROOT");
    const QString jailedUser = qEnvironmentVariable("QORVEL_JAILED_USER"), jailedRoot = qEnvironmentVariable("QORVEL_JAILED_ROOT");
    const int ftpPort = qEnvironmentVariableIntValue("QORVEL_FTP_PORT"), vsftpdPort = qEnvironmentVariableIntValue("QORVEL_VSFTPD_PORT"),
              purePort = qEnvironmentVariableIntValue("QORVEL_PUREFTPD_PORT"), sftpPort = qEnvironmentVariableIntValue("QORVEL_SFTP_PORT");
    struct Variant {
        const char* name;
        PeerSite site;
        QStringList tags;  // which rows run on it
    };
    const std::vector<Variant> variants = {
        {"pyftpdlib", {C::FTP, ftpPort, "qvpeer", qEnvironmentVariable("QORVEL_FTP_ROOT"), "/", {}}, {"all", "ftp", "unix"}},
        {"pyftpdlib, store only", {C::FTP, ftpPort, "qvstore", qEnvironmentVariable("QORVEL_FTP_STOREONLY_ROOT"), "/", {}}, {"all"}},
        {"pyftpdlib without SIZE", {C::FTP, qEnvironmentVariableIntValue("QORVEL_FTP_NOSIZE_PORT"), "qvpeer",
                                    qEnvironmentVariable("QORVEL_FTP_NOSIZE_ROOT"), "/", {}}, {"all", "unix"}},
        {"vsftpd", {C::FTP, vsftpdPort, sftpUser, sftpRoot, sftpRoot + "/", {}}, {"all", "ftp", "unix", "account"}},
        {"vsftpd without chmod", {C::FTP, vsftpdPort, limitedUser, limitedRoot, limitedRoot + "/", {}}, {"all"}},
        {"pure-ftpd", {C::FTP, purePort, sftpUser, sftpRoot, sftpRoot + "/", {}}, {"all", "ftp", "unix", "account", "pure"}},
        {"pure-ftpd chrooted", {C::FTP, purePort, jailedUser, jailedRoot, "/", {}}, {"all", "account", "chrooted"}},
        {"proftpd", {C::FTP, qEnvironmentVariableIntValue("QORVEL_PROFTPD_PORT"), sftpUser, sftpRoot, sftpRoot + "/", {}},
         {"all", "ftp", "unix", "account"}},
        {"OpenSSH", {C::SFTP, sftpPort, sftpUser, sftpRoot, sftpRoot + "/", {}}, {"all", "unix", "account", "sftp"}},
        {"OpenSSH without setstat", {C::SFTP, sftpPort, limitedUser, limitedRoot, limitedRoot + "/", {}}, {"all"}},
        {"Apache", {C::WebDAV, qEnvironmentVariableIntValue("QORVEL_DAV_PORT"), qEnvironmentVariable("QORVEL_PEER_USER"),
                    qEnvironmentVariable("QORVEL_DAV_ROOT"), "/dav/", {}}, {"all", "dav"}},
        {"lighttpd", {C::WebDAV, qEnvironmentVariableIntValue("QORVEL_LIGHTTPD_PORT"), qEnvironmentVariable("QORVEL_PEER_USER"),
                      qEnvironmentVariable("QORVEL_LIGHTTPD_ROOT"), "/dav/", {}}, {"all", "dav"}},
    };
    auto file = [](const QString& path, const QString& like, int mode, int group = -1) {
        QDir().mkpath(QFileInfo(path).path());
        const QByteArray p = FileName::encode(path);
        const int fd = ::open(p.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0) << path.toStdString();
        const QByteArray text = "old " + FileName::encode(QFileInfo(path).fileName());
        ASSERT_EQ(::write(fd, text.constData(), size_t(text.size())), ssize_t(text.size()));
        ::close(fd);
        struct stat st;
        ASSERT_EQ(::stat(QFile::encodeName(like).constData(), &st), 0);
        ASSERT_EQ(::lchown(p.constData(), st.st_uid, group >= 0 ? gid_t(group) : st.st_gid), 0);
        ASSERT_EQ(::chmod(p.constData(), mode_t(mode)), 0);
    };
    auto folder = [](const QString& path, const QString& like, int mode) {
        QDir().mkpath(path);
        own(path, like, mode);
    };
    auto link = [](const QString& path, const QString& to, const QString& like) {
        ASSERT_TRUE(QFile::link(to, path));
        own(path, like);
    };
    // A neighbour whose name holds a line break and then a line in the listing's own form (for
    // cadaver its start: cadaver's own columns end it).
    auto forged = [&](const QString& d, const PeerSite& s, const QString& line) {
        file(d + "/x\n" + (s.type == C::WebDAV ? "        " + line : line), s.root, 0644);
    };
    const QString latin1 = FileName::decode(QByteArray("caf\xe9.html"));
    std::shared_ptr<C> current;  // the variant's connection
    struct Case {
        const char* what;
        QString tag;    // the variants it runs on
        QString saved;  // below the case's folder
        std::function<void(const QString& folder, const PeerSite&)> make;
        // Variants where the plain put "succeeds" while the file keeps its old text (the server
        // wrote another name): the save says it failed.
        QString failsOn = {};
        bool empty = false;  // the text saved is empty
    };
    const std::vector<Case> cases = {
        {"a 0600 file", "all", "secret.php", [&](const QString& d, const PeerSite& s) { file(d + "/secret.php", s.root, 0600); }},
        {"a new file", "all", "new.html", [](const QString&, const PeerSite&) {}},
        // Owner and group as the server lists them, so that only the mode differs.
        {"a forged line giving the file other permissions", "all", "secret.php",
         [&](const QString& d, const PeerSite& s) {
             file(d + "/secret.php", s.root, 0600);
             QString owner = "nobody nogroup";
             if (s.type != C::WebDAV) {
                 auto listing = std::make_shared<QVFileListingAction>(current, s.base + d.mid(s.root.size() + 1));
                 const auto listed = runToOutcome(listing);
                 ASSERT_TRUE(listed && listed->result && listing->files().size() == 1);
                 owner = listing->files().first().user() + " " + listing->files().first().group();
             }
             forged(d, s, s.type == C::WebDAV ? "secret.php" : "-rw-rw-rw-    1 " + owner + "    4 Dec  7 18:42 secret.php");
         }},
        {"a forged line making the file a link", "unix", "page.html",
         [&](const QString& d, const PeerSite& s) {
             file(d + "/page.html", s.root, 0644);
             file(d + "/other.html", s.root, 0644);
             forged(d, s, "lrwxrwxrwx    1 u g    10 Dec  7 18:42 page.html -> other.html");
         }},
        {"a forged line making the file a folder", "dav", "index.html",
         [&](const QString& d, const PeerSite& s) {
             file(d + "/index.html", s.root, 0644);
             file(d + "/x\nColl:   index.html", s.root, 0644);
         }},
        {"a file with an ACL and an extended attribute", "all", "acl.html",
         [&](const QString& d, const PeerSite& s) {
             file(d + "/acl.html", s.root, 0640);
             ASSERT_EQ(QProcess::execute("setfacl", {"-m", "u:nobody:rw", d + "/acl.html"}), 0);
             ASSERT_EQ(::lsetxattr(QFile::encodeName(d + "/acl.html").constData(), "user.origin", "kept", 4, 0), 0);
         }},
        {"a file of another group", "account", "group.php",
         [&](const QString& d, const PeerSite& s) { file(d + "/group.php", s.root, 0640, 33); }},
        {"a file with a second name", "all", "twin.html",
         [&](const QString& d, const PeerSite& s) {
             file(d + "/twin.html", s.root, 0644);
             ASSERT_EQ(::link(QFile::encodeName(d + "/twin.html").constData(), QFile::encodeName(d + "/other.html").constData()), 0);
         }},
        {"a read-only file", "account", "fixed.html", [&](const QString& d, const PeerSite& s) { file(d + "/fixed.html", s.root, 0444); }},
        {"a file in a folder the account may write but not list", "account", "w/secret.php",
         [&](const QString& d, const PeerSite& s) {
             file(d + "/w/secret.php", s.root, 0600);
             own(d + "/w", s.root, 0300);
         }},
        {"a link through a link", "all", "outer.html",
         [&](const QString& d, const PeerSite& s) {
             file(d + "/real.html", s.root, 0640);
             link(d + "/inner.html", "real.html", s.root);
             link(d + "/outer.html", "inner.html", s.root);
         }},
        {"a name holding \" -> \"", "unix", "r",
         [&](const QString& d, const PeerSite& s) {
             file(d + "/r", s.root, 0644);
             file(d + "/t.html", s.root, 0644);
             file(d + "/s.html -> t.html", s.root, 0644);
             link(d + "/r -> s.html", "t.html", s.root);
         }},
        {"a link climbing above the top of the site", "chrooted", "sub/x.html",
         [&](const QString& d, const PeerSite& s) {
             folder(d + "/sub", s.root, 0755);
             file(d + "/x.html", s.root, 0644);
             link(d + "/sub/x.html", "../../../../x.html", s.root);
         }},
        // pure-ftpd stores "trail.html_" and leaves the user's file as it was.
        {"a name ending in a blank", "pure", "trail.html ",
         [&](const QString& d, const PeerSite& s) { file(d + "/trail.html ", s.root, 0644); }, "pure"},
        {"a brace in the name beside the name it would glob to", "sftp", "{brace}.html",
         [&](const QString& d, const PeerSite& s) {
             file(d + "/{brace}.html", s.root, 0644);
             file(d + "/brace.html", s.root, 0644);
         }},
        // tnftp counts no bytes for an empty file; the server's 226 (and SIZE 0) is the save.
        {"an emptied page", "all", "page.html", [&](const QString& d, const PeerSite& s) { file(d + "/page.html", s.root, 0644); },
         {}, true},
        {"a new empty file", "all", "new.html", [](const QString&, const PeerSite&) {}, {}, true},
        // Nothing is ever written into a folder, nor through links to one.
        {"a folder where the file goes", "all", "page.html",
         [&](const QString& d, const PeerSite& s) {
             folder(d + "/page.html", s.root, 0755);
             file(d + "/page.html/inside.html", s.root, 0644);
         }},
        {"a link to a folder where the file goes", "all", "index.html",
         [&](const QString& d, const PeerSite& s) {
             folder(d + "/othersite", s.root, 0755);
             file(d + "/othersite/index.html", s.root, 0644);
             link(d + "/index.html", "othersite", s.root);
         }},
        {"a chain of links to a folder where the file goes", "all", "page.html",
         [&](const QString& d, const PeerSite& s) {
             folder(d + "/sub", s.root, 0755);
             link(d + "/inner", "sub", s.root);
             link(d + "/page.html", "inner", s.root);
         }},
        // sftp's cd of it fails on the server's limit of links ("realpath ...: No such file"):
        // no folder, so the put goes through the links as curl's does.
        {"a chain of 36 links to a file", "sftp", "page.html",
         [&](const QString& d, const PeerSite& s) {
             file(d + "/real.html", s.root, 0644);
             QString to = "real.html";
             for (int i = 1; i < 36; ++i) {
                 link(d + QString("/l%1").arg(i), to, s.root);
                 to = QString("l%1").arg(i);
             }
             link(d + "/page.html", to, s.root);
         }},
        // The same cd failure at the end of a chain to a folder: sftp's put would write inside it.
        {"a chain of 36 links to a folder", "sftp", "page.html",
         [&](const QString& d, const PeerSite& s) {
             folder(d + "/sub", s.root, 0755);
             file(d + "/sub/inside.html", s.root, 0644);
             QString to = "sub";
             for (int i = 1; i < 36; ++i) {
                 link(d + QString("/l%1").arg(i), to, s.root);
                 to = QString("l%1").arg(i);
             }
             link(d + "/page.html", to, s.root);
         }},
        {"a quote in the name", "all", "don't.html", [&](const QString& d, const PeerSite& s) { file(d + "/don't.html", s.root, 0644); }},
        {"a name that is not UTF-8", "all", latin1, [&](const QString& d, const PeerSite& s) { file(d + "/" + latin1, s.root, 0644); }},
    };
    QTemporaryDir local;
    // 100 kB: a transfer of some length, and the same on every row.
    QByteArray text = "new text\n";
    while (text.size() < 100000) text += text;
    writeFile(local.filePath("source"), text);
    writeFile(local.filePath("empty"), {});
    int rows = 0;
    for (const Variant& variant : variants) {
        SCOPED_TRACE(variant.name);
        const PeerSite& s = variant.site;
        if (s.port <= 0 || s.user.isEmpty() || s.root.isEmpty()) {
            ADD_FAILURE() << "peer not started";
            continue;
        }
        auto connection = loggedIn(s);
        ASSERT_TRUE(connection);
        current = connection;
        QString log;
        std::mutex logLock;
        connection->setLogDelegate([&](const QString& t) {
            std::lock_guard g(logLock);
            log += t;
        });
        for (const Case& c : cases) {
            if (!variant.tags.contains(c.tag)) continue;
            SCOPED_TRACE(c.what);
            ++rows;
            QStringList states[2];
            bool results[2] = {false, false};
            QVError error;
            for (int saving = 0; saving < 2; ++saving) {
                const QString name = saving ? "saved" : "plain";
                const QString d = s.root + "/" + name + "/case";
                removeTree(s.root + "/" + name);
                folder(s.root + "/" + name, s.root, 0755);
                folder(d, s.root, 0755);
                c.make(d, s);
                // What a link climbing above the top may reach: the site's top, or above it.
                const QStringList outside{s.root + "/x.html", QFileInfo(s.root).path() + "/x.html"};
                for (const QString& path : outside) {
                    QFile::remove(path);
                    file(path, s.root, 0644);
                }
                const QString remote = s.base + name + "/case/" + c.saved;
                const QString source = local.filePath(c.empty ? "empty" : "source");
                if (saving) {
                    auto put = std::make_shared<QVFileTransferAction>(QVFileTransferAction::Put, connection, remote, source);
                    const auto outcome = runToOutcome(put, std::chrono::seconds(30));
                    ASSERT_TRUE(outcome) << "never reported";
                    results[1] = outcome->result;
                    if (!outcome->result) error = put->errorWithStatusCode(outcome->statusCode);
                } else if (!(s.type == C::SFTP && c.saved == latin1)) {
                    results[0] = plainPut(s, source, remote, password);
                }
                // sftp's line editor drops the bytes of a name that is not UTF-8: the save is
                // refused, and leaves what nothing at all leaves.
                for (const QString& sub : {d + "/w"})
                    if (QFileInfo::exists(sub)) QFile::setPermissions(sub, QFileDevice::Permissions(0x7755));
                states[saving] = stateOf(s.root + "/" + name, outside);
            }
            EXPECT_EQ(results[1], results[0] && !variant.tags.contains(c.failsOn)) << error.localizedRecoverySuggestion().toStdString();
            EXPECT_EQ(states[1].join("\n").toStdString(), states[0].join("\n").toStdString());
            // Write access is named where the server refused for permissions, and only there.
            if (!results[1]) {
                const QString said = error.localizedRecoverySuggestion();
                EXPECT_EQ(said.contains("Please be sure"), said.contains("Permission denied", Qt::CaseInsensitive)) << said.toStdString();
            }
        }
        {
            std::lock_guard g(logLock);
            EXPECT_FALSE(log.contains("in place")) << log.toStdString();
        }

        // The name that is not UTF-8 is listed, opened, renamed and deleted as the bytes it is
        // (sftp refuses to act on it, and leaves it as it is).
        if (s.user != "qvstore") {
            SCOPED_TRACE("a name that is not UTF-8");
            const QString d = s.root + "/saved/case", remote = s.base + "saved/case/";
            removeTree(d);
            folder(d, s.root, 0755);
            file(d + "/" + latin1, s.root, 0644);
            auto listing = std::make_shared<QVFileListingAction>(connection, s.base + "saved/case");
            auto listed = runToOutcome(listing);
            ASSERT_TRUE(listed && listed->result);
            ASSERT_EQ(listing->files().size(), 1) << FileName::readable(listing->lastReply().join(" | ")).toStdString();
            EXPECT_EQ(listing->files().first().name(), latin1);
            EXPECT_EQ(FileName::readable(latin1), QString::fromUtf8("café.html (not UTF-8)"));
            const QString into = local.filePath("down-" + latin1);
            const bool sftp = s.type == C::SFTP;
            // lighttpd answers a MOVE or DELETE of such a name with 501, as it does any client's.
            const bool changes = !sftp && std::string(variant.name) != "lighttpd";
            auto get = std::make_shared<QVFileTransferAction>(QVFileTransferAction::Get, connection,
                                                              listing->files().first().path(), into);
            auto got = runToOutcome(get);
            ASSERT_TRUE(got);
            EXPECT_EQ(got->result, !sftp) << get->errorWithStatusCode(got->statusCode).localizedRecoverySuggestion().toStdString();
            EXPECT_EQ(FileName::size(into), sftp ? -1 : qint64(strlen("old caf\xe9.html")));
            ::unlink(FileName::encode(into).constData());
            // A folder of that name is downloaded whole, under its bytes (pyftpdlib cannot enter
            // one: "501 can't decode path"; lighttpd answers its listing with 501 too).
            if (!sftp && !QString(variant.name).startsWith("pyftpdlib")) {
                const bool walks = std::string(variant.name) != "lighttpd";
                const QString sub = FileName::decode(QByteArray("d\xe9j\xe0"));
                const QByteArray subBytes = FileName::encode(d + "/" + sub);
                ASSERT_EQ(::mkdir(subBytes.constData(), 0755), 0);
                struct stat top;
                ASSERT_EQ(::stat(QFile::encodeName(s.root).constData(), &top), 0);
                ASSERT_EQ(::chown(subBytes.constData(), top.st_uid, top.st_gid), 0);
                // Not through file(), whose QDir would make a folder of another name first.
                const QByteArray inside = subBytes + "/caf\xe9.html";
                const int fd = ::open(inside.constData(), O_WRONLY | O_CREAT, 0644);
                ASSERT_GE(fd, 0);
                ASSERT_EQ(::write(fd, "old caf\xe9.html", 13), 13);
                ::close(fd);
                ASSERT_EQ(::chown(inside.constData(), top.st_uid, top.st_gid), 0);
                const QString tree = local.filePath("tree-" + sub);
                auto walk = std::make_shared<QVDirectoryAction>(QVDirectoryAction::Get, connection, remote + sub, tree);
                auto walked = runToOutcome(walk);
                ASSERT_TRUE(walked);
                EXPECT_EQ(walked->result, walks) << walk->errorWithStatusCode(walked->statusCode).localizedRecoverySuggestion().toStdString();
                EXPECT_EQ(FileName::size(tree + "/" + latin1), walks ? qint64(strlen("old caf\xe9.html")) : -1);
                removeTree(tree);
                removeTree(d + "/" + sub);
            }
            const QString renamed = FileName::decode(QByteArray("caf\xe9 2.html"));
            auto move = QVFileAction::move(connection, remote + latin1, remote + renamed);
            auto moved = runToOutcome(move);
            ASSERT_TRUE(moved);
            EXPECT_EQ(moved->result, changes) << FileName::readable(move->lastReply().join(" | ")).toStdString();
            EXPECT_EQ(FileName::exists(d + "/" + renamed), changes);
            auto deleted = runToOutcome(std::make_shared<QVFileAction>(QVFileAction::DeleteFile, connection,
                                                                       remote + (changes ? renamed : latin1)));
            ASSERT_TRUE(deleted);
            EXPECT_EQ(deleted->result, changes);
            EXPECT_EQ(FileName::entries(d), changes ? QStringList() : QStringList{latin1});
        }
        // A full disk: the failure says what the server said.
        if (::geteuid() == 0) {
            SCOPED_TRACE("a full disk");
            const QString full = s.root + "/full";
            folder(full, s.root, 0755);
            ASSERT_EQ(QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=64k", "qorvel-full", full}), 0);
            own(full, s.root, 0755);
            auto put = std::make_shared<QVFileTransferAction>(QVFileTransferAction::Put, connection, s.base + "full/big.html",
                                                              local.filePath("source"));
            const auto outcome = runToOutcome(put, std::chrono::seconds(30));
            // The server may hold the file a moment longer.
            for (int i = 0; i < 50 && QProcess::execute("umount", {full}) != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (QProcess::execute("mountpoint", {"-q", full}) == 0) QProcess::execute("umount", {"-l", full});
            QDir(full).removeRecursively();
            ASSERT_TRUE(outcome);
            EXPECT_FALSE(outcome->result);
            const QString said = put->errorWithStatusCode(outcome->statusCode).localizedRecoverySuggestion();
            EXPECT_TRUE(said.contains("The server said: ")) << said.toStdString();
            EXPECT_FALSE(said.contains("Please be sure")) << said.toStdString();
        }
        connection->kill();
        removeTree(s.root + "/plain");
        removeTree(s.root + "/saved");
        QFile::remove(s.root + "/x.html");
        QFile::remove(QFileInfo(s.root).path() + "/x.html");
    }
    EXPECT_GT(rows, 80);
}

// Two windows saving one site file: the saves run one after the other, so the site holds one
// text whole and each save says what happened to it.
TEST(RemoteServers, TwoSavesOfOneFileRunOneAfterTheOther) {
    QStringList missing;
    std::vector<Server> all;
    for (int type : {C::FTP, C::SFTP, C::WebDAV})
        for (Server& server : servers(type, &missing)) all.push_back(server);
    QTemporaryDir local;
    const QByteArray a(8 << 20, 'a'), b(4 << 20, 'b');
    writeFile(local.filePath("a"), a);
    writeFile(local.filePath("b"), b);
    for (const Server& server : all) {
        if (std::string(server.name) == "vsftpd" || std::string(server.name) == "lighttpd") continue;  // one of each kind
        SCOPED_TRACE(server.name);
        const PeerSite& s = server.site;
        auto first = loggedIn(s), second = loggedIn(s);
        ASSERT_TRUE(first && second);
        const QString remote = s.base + "both.html";
        std::optional<OutcomeWaiter::Outcome> outcomes[2];
        std::thread other([&] {
            outcomes[1] = runToOutcome(std::make_shared<QVFileTransferAction>(QVFileTransferAction::Put, second, remote,
                                                                              local.filePath("b")),
                                       std::chrono::seconds(60));
        });
        outcomes[0] = runToOutcome(std::make_shared<QVFileTransferAction>(QVFileTransferAction::Put, first, remote,
                                                                          local.filePath("a")),
                                   std::chrono::seconds(60));
        other.join();
        ASSERT_TRUE(outcomes[0] && outcomes[1]);
        EXPECT_TRUE(outcomes[0]->result && outcomes[1]->result);
        const QByteArray held = readAll(s.root + "/both.html");
        EXPECT_TRUE(held == a || held == b) << held.size() << " bytes, " << held.count('a') << " of them a";
        first->kill();
        second->kill();
        QFile::remove(s.root + "/both.html");
    }
}

namespace {

// Every server of every protocol, proftpd too.
std::vector<Server> everyServer() {
    QStringList missing;
    std::vector<Server> all = servers(C::FTP, &missing);
    const int proftpd = qEnvironmentVariableIntValue("QORVEL_PROFTPD_PORT");
    const QString user = qEnvironmentVariable("QORVEL_SFTP_USER"), root = qEnvironmentVariable("QORVEL_SFTP_ROOT");
    if (proftpd > 0) all.push_back({"proftpd", {C::FTP, proftpd, user, root, root + "/", {}}});
    else missing << "proftpd";
    for (int type : {C::SFTP, C::WebDAV})
        for (Server& server : servers(type, &missing)) all.push_back(server);
    EXPECT_TRUE(missing.isEmpty()) << "peers not started: " << missing.join(", ").toStdString();
    return all;
}

}  // namespace

// A folder upload holding an empty page, a page whose name on the site is a folder and one
// whose name is a link to a folder: the empty page is saved, nothing is written into either
// folder, and the upload says which items failed. lighttpd shows a link as a plain resource,
// and its PUT replaces the link, as any client's does there.
TEST(RemoteServers, AFolderUploadSavesEmptyPagesAndWritesIntoNoFolder) {
    QTemporaryDir local;
    ASSERT_TRUE(QDir().mkpath(local.filePath("up")));
    writeFile(local.filePath("up/empty.html"), {});
    writeFile(local.filePath("up/page.html"), "page");
    writeFile(local.filePath("up/index.html"), "index");
    for (const Server& server : everyServer()) {
        SCOPED_TRACE(server.name);
        const PeerSite& s = server.site;
        const QString dir = s.root + "/up";
        removeTree(dir);
        for (const QString& folder : {dir, dir + "/page.html", dir + "/other"}) {
            ASSERT_TRUE(QDir().mkpath(folder));
            own(folder, s.root, 0755);
        }
        ASSERT_TRUE(QFile::link("other", dir + "/index.html"));
        own(dir + "/index.html", s.root);
        auto connection = loggedIn(s);
        ASSERT_TRUE(connection);
        auto upload = std::make_shared<QVDirectoryAction>(QVDirectoryAction::Put, connection, s.base + "up", local.filePath("up"));
        auto outcome = runToOutcome(upload, std::chrono::seconds(60));
        ASSERT_TRUE(outcome);
        const bool linkIsPlain = std::string(server.name) == "lighttpd";
        EXPECT_FALSE(outcome->result);
        EXPECT_EQ(upload->failures(), linkIsPlain ? 1 : 2);
        EXPECT_EQ(readAll(dir + "/empty.html"), QByteArray());
        EXPECT_EQ(QDir(dir + "/page.html").entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
        EXPECT_EQ(QDir(dir + "/other").entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
        EXPECT_EQ(QFileInfo(dir + "/index.html").isSymLink(), !linkIsPlain);
        connection->kill();
        removeTree(dir);
    }
}

// Names that start or end in a blank, or end in a CR, beside their trimmed twins, on every
// server: each is listed as itself, and a download or delete of one reaches that one file or is
// refused, never its twin. Only a name the client cannot send as it is (a CR) is refused;
// pure-ftpd lists no name holding a CR.
TEST(RemoteServers, EveryListedNameReachesOnlyItself) {
    const std::vector<Server> all = everyServer();
    const QStringList names{" lead.html", "lead.html", "trail.html ", "trail.html", "crend.html\r", "crend.html"};
    QTemporaryDir local;
    for (const Server& server : all) {
        SCOPED_TRACE(server.name);
        const PeerSite& s = server.site;
        const bool pure = std::string(server.name) == "pure-ftpd";
        const QString dir = s.root + "/twins";
        removeTree(dir);
        ASSERT_TRUE(QDir().mkpath(dir));
        own(dir, s.root, 0755);
        for (const QString& name : names) {
            writeFile(dir + "/" + name, "text of " + name.toUtf8());
            own(dir + "/" + name, s.root, 0644);
        }
        auto connection = loggedIn(s);
        ASSERT_TRUE(connection);
        auto listing = std::make_shared<QVFileListingAction>(connection, s.base + "twins");
        auto listed = runToOutcome(listing);
        ASSERT_TRUE(listed && listed->result);
        QStringList expected = names, got;
        if (pure) expected.removeAll("crend.html\r");
        QSet<QString> paths;
        for (const QVRemoteFile& f : listing->files()) {
            got << f.name();
            paths.insert(f.path());
        }
        expected.sort();
        got.sort();
        EXPECT_EQ(got, expected);
        EXPECT_EQ(paths.size(), listing->files().size()) << "two entries map to one path";
        const auto canReach = [](const QString& name) { return !name.contains(u'\r'); };
        for (const QVRemoteFile& f : listing->files()) {
            SCOPED_TRACE(("get " + FileName::readable(f.name())).toStdString());
            const QString into = local.filePath(QString("got-%1").arg(paths.size()));
            auto get = std::make_shared<QVFileTransferAction>(QVFileTransferAction::Get, connection, f.path(), into);
            auto outcome = runToOutcome(get);
            ASSERT_TRUE(outcome);
            EXPECT_EQ(outcome->result, canReach(f.name()));
            // Said with the CR pictured, never as its neighbour's name.
            if (!outcome->result) {
                const QVError error = get->errorWithStatusCode(outcome->statusCode);
                const QString said = error.localizedDescription() + " " + error.localizedRecoverySuggestion();
                EXPECT_TRUE(said.contains(QString::fromUtf8("crend.html\xe2\x90\x8d"))) << said.toStdString();
                EXPECT_FALSE(said.contains(u'\r')) << said.toStdString();
                // The refusal is the reason: no guess at read access comes before it.
                EXPECT_FALSE(said.contains("Please be sure")) << said.toStdString();
            }
            EXPECT_EQ(readAll(into), outcome->result ? "text of " + f.name().toUtf8() : QByteArray("<missing>"));
            QFile::remove(into);
        }
        for (const QVRemoteFile& f : listing->files()) {
            if (f.name() == f.name().trimmed()) continue;  // the twins stay to be reached wrongly
            SCOPED_TRACE(("delete " + FileName::readable(f.name())).toStdString());
            auto outcome = runToOutcome(std::make_shared<QVFileAction>(QVFileAction::DeleteFile, connection, f.path()));
            ASSERT_TRUE(outcome);
            EXPECT_EQ(outcome->result, canReach(f.name()));
            EXPECT_EQ(QFileInfo::exists(dir + "/" + f.name()), !outcome->result);
        }
        for (const QString& name : names) {
            if (name == name.trimmed()) {
                EXPECT_EQ(readAll(dir + "/" + name), "text of " + name.toUtf8()) << name.toStdString();
            }
        }
        {
            // A name that reorders the text around it reads in the order of its characters in
            // the failure, the client's own words about it too.
            SCOPED_TRACE("delete a missing name holding U+202E");
            auto del = std::make_shared<QVFileAction>(QVFileAction::DeleteFile, connection,
                                                      s.base + "twins/" + QString::fromUtf8("gone\u202Elmth.php"));
            auto outcome = runToOutcome(del);
            ASSERT_TRUE(outcome);
            EXPECT_FALSE(outcome->result);
            const QVError error = del->errorWithStatusCode(outcome->statusCode);
            const QString said = error.localizedDescription() + " " + error.localizedRecoverySuggestion();
            EXPECT_FALSE(said.contains(QChar(0x202E))) << said.toStdString();
            EXPECT_TRUE(said.contains("gone<U+202E>lmth.php")) << said.toStdString();
        }
        connection->kill();
        removeTree(dir);
    }
}

// A name holding a line break and then a listing line forges a second entry named like a real
// file. Both entries naming the one path are marked, and every action on that path is refused
// by name: nothing reaches the real file through an entry that may be the forged one.
TEST(RemoteServers, TwoListedEntriesOfOnePathAreRefusedByName) {
    const QString forging = "zz\n-rw-r--r-- 1 u g 10 Dec  8 09:00 two.html";
    QTemporaryDir local;
    writeFile(local.filePath("source"), "new text");
    for (const Server& server : everyServer()) {
        const PeerSite& s = server.site;
        if (s.type == C::WebDAV) continue;  // listed by PROPFIND: each name whole
        SCOPED_TRACE(server.name);
        const QString dir = s.root + "/forged";
        removeTree(dir);
        ASSERT_TRUE(QDir().mkpath(dir));
        own(dir, s.root, 0755);
        for (const QString& name : {QString("two.html"), forging}) {
            writeFile(dir + "/" + name, "text of " + name.toUtf8());
            own(dir + "/" + name, s.root, 0644);
        }
        auto connection = loggedIn(s);
        ASSERT_TRUE(connection);
        auto listing = std::make_shared<QVFileListingAction>(connection, s.base + "forged");
        auto listed = runToOutcome(listing);
        ASSERT_TRUE(listed && listed->result);
        QList<QVRemoteFile> twins;
        for (const QVRemoteFile& f : listing->files())
            if (f.name() == "two.html") twins << f;
        // pure-ftpd lists the line break as a question mark: no twin there.
        const bool forges = std::string(server.name) != "pure-ftpd";
        ASSERT_EQ(twins.size(), forges ? 2 : 1);
        for (const QVRemoteFile& f : twins) {
            EXPECT_EQ(f.isListedTwice(), forges);
            if (!forges) continue;
            const QString into = local.filePath("got");
            const std::vector<std::pair<const char*, std::shared_ptr<QVRemoteFileAction>>> actions = {
                {"get", std::make_shared<QVFileTransferAction>(QVFileTransferAction::Get, connection, f.path(), into)},
                {"put", std::make_shared<QVFileTransferAction>(QVFileTransferAction::Put, connection, f.path(), local.filePath("source"))},
                {"delete", std::make_shared<QVFileAction>(QVFileAction::DeleteFile, connection, f.path())},
                {"rename", QVFileAction::move(connection, f.path(), s.base + "forged/moved.html")},
            };
            for (const auto& [what, action] : actions) {
                SCOPED_TRACE(what);
                auto outcome = runToOutcome(action);
                ASSERT_TRUE(outcome);
                EXPECT_FALSE(outcome->result);
                const QString said = action->errorWithStatusCode(outcome->statusCode).localizedRecoverySuggestion();
                EXPECT_TRUE(said.contains("two entries named \"two.html\"")) << said.toStdString();
                EXPECT_FALSE(said.contains("Please be sure") || said.contains("may not have permission")) << said.toStdString();
            }
            EXPECT_FALSE(QFileInfo::exists(into));
        }
        EXPECT_EQ(readAll(dir + "/two.html"), "text of two.html");
        EXPECT_FALSE(QFileInfo::exists(dir + "/moved.html"));
        // Once the forged name is gone, the next listing gives the path one entry, which acts.
        ASSERT_TRUE(QFile::remove(dir + "/" + forging));
        auto again = std::make_shared<QVFileListingAction>(connection, s.base + "forged");
        const auto relisted = runToOutcome(again);
        ASSERT_TRUE(relisted && relisted->result);
        const auto get = runToOutcome(std::make_shared<QVFileTransferAction>(QVFileTransferAction::Get, connection,
                                                                             s.base + "forged/two.html", local.filePath("got")));
        ASSERT_TRUE(get);
        EXPECT_TRUE(get->result);
        QFile::remove(local.filePath("got"));
        connection->kill();
        removeTree(dir);
    }
}

// A WebDAV server of the test's own, answering PROPFIND as a hostile or odd one may: hrefs
// inside a member's properties (a lock's owner and token), hrefs holding raw UTF-8 (IRIs), hrefs
// outside the folder (an escaped slash, "..", a deeper or other folder), a response with two
// hrefs, and a listing of 300 MB. Only each response's own single href one step inside the
// folder names a member, read as UTF-8; a listing past the bound is refused with a message, and
// never takes the memory of the machine.
TEST(RemoteServers, APropfindListingNamesEachMemberByItsOwnHrefAndIsBounded) {
    QTemporaryDir dir;
    const QString script = dir.filePath("dav.py");
    writeFile(script, R"PY(
import socket, sys
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
def response(href, collection=False, extra=""):
    kind = "<D:collection/>" if collection else ""
    return ("<D:response><D:href>%s</D:href><D:propstat><D:prop><D:resourcetype>%s</D:resourcetype>"
            "<D:getcontentlength>5</D:getcontentlength>%s</D:prop><D:status>HTTP/1.1 200 OK</D:status>"
            "</D:propstat></D:response>" % (href, kind, extra))
HEAD = '<?xml version="1.0" encoding="utf-8"?><D:multistatus xmlns:D="DAV:">'
class Dav(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def log_message(self, *a): pass
    def reply(self, body, status=207):
        data = body.encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", 'application/xml; charset="utf-8"')
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)
    def do_OPTIONS(self):
        self.send_response(200)
        self.send_header("DAV", "1,2")
        self.send_header("Allow", "OPTIONS, GET, PUT, PROPFIND, DELETE, MKCOL, MOVE, COPY, LOCK, UNLOCK")
        self.send_header("Content-Length", "0")
        self.end_headers()
    def do_PUT(self):
        length = int(self.headers.get("Content-Length", "0"))
        if length: self.rfile.read(length)
        self.send_response(201)
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        piece = b"x" * (1 << 20)
        try:
            for i in range(600): self.wfile.write(piece)
        except (BrokenPipeError, ConnectionResetError):
            pass
    def do_PROPFIND(self):
        length = int(self.headers.get("Content-Length", "0"))
        if length: self.rfile.read(length)
        path = self.path
        if self.headers.get("Depth", "1") == "0":
            return self.reply(HEAD + response(path, path.endswith("/")) + "</D:multistatus>")
        if path == "/h/":
            lock = ("<D:lockdiscovery><D:activelock><D:owner><D:href>/h/owner.html</D:href></D:owner>"
                    "<D:locktoken><D:href>opaquelocktoken:1234</D:href></D:locktoken></D:activelock></D:lockdiscovery>")
            return self.reply(HEAD + response("/h/", True) + response("/h/locked.html", extra=lock) +
                              response("/h/caf\u00e9.html") + response("http://127.0.0.1:%d/h/\u65e5\u672c.html" % self.server.server_port) +
                              response("/h/%E2%82%AC.html") + response("/h/x%2Fescaped.html") +
                              response("/h/../outside.html") + response("/h/sub/deep.html") + response("/elsewhere/far.html") +
                              "<D:response><D:href>/h/first.html</D:href><D:href>/h/second.html</D:href>"
                              "<D:status>HTTP/1.1 200 OK</D:status></D:response></D:multistatus>")
        if path == "/big/":
            self.send_response(207)
            self.send_header("Content-Type", "application/xml")
            self.send_header("Connection", "close")
            self.end_headers()
            self.close_connection = True
            piece = "".join(response("/big/f%06d.html" % i) for i in range(1000)).encode()
            try:
                self.wfile.write(HEAD.encode() + response("/big/", True).encode())
                sent = 0
                while sent < 300 * 1024 * 1024:
                    self.wfile.write(piece)
                    sent += len(piece)
                self.wfile.write(b"</D:multistatus>")
            except (BrokenPipeError, ConnectionResetError):
                pass
            return
        self.reply("", 404)
server = ThreadingHTTPServer(("127.0.0.1", 0), Dav)
print(server.server_port, flush=True)
server.serve_forever()
)PY");
    QProcess python;
    python.start("/usr/bin/python3", {script});
    ASSERT_TRUE(python.waitForStarted());
    ASSERT_TRUE(python.waitForReadyRead(10000)) << python.readAllStandardError().toStdString();
    const int port = python.readLine().trimmed().toInt();
    ASSERT_GT(port, 0);

    auto connection = std::make_shared<C>(C::WebDAV);
    auto login = QVConnectAction::make(connection, "127.0.0.1", port, "", "", {});
    login->setPath("/h/");
    const auto in = runToOutcome(login, std::chrono::seconds(40));
    ASSERT_TRUE(in && in->result);

    auto listing = std::make_shared<QVFileListingAction>(connection, "/h/");
    const auto listed = runToOutcome(listing);
    ASSERT_TRUE(listed && listed->result);
    QStringList names;
    for (const QVRemoteFile& f : listing->files()) names << f.name();
    names.sort();
    QStringList expected{"locked.html", QString::fromUtf8("caf\xc3\xa9.html"), QString::fromUtf8("\xe6\x97\xa5\xe6\x9c\xac.html"),
                         QString::fromUtf8("\xe2\x82\xac.html")};
    expected.sort();
    EXPECT_EQ(names, expected);

    // The peak of this process's memory from here on.
    {
        QFile clear("/proc/self/clear_refs");
        ASSERT_TRUE(clear.open(QIODevice::WriteOnly));
        clear.write("5");
    }
    auto big = std::make_shared<QVFileListingAction>(connection, "/big/");
    const auto bigListed = runToOutcome(big, std::chrono::seconds(120));
    ASSERT_TRUE(bigListed);
    EXPECT_FALSE(bigListed->result);
    const QString said = big->errorWithStatusCode(bigListed->statusCode).localizedRecoverySuggestion();
    EXPECT_TRUE(said.contains("longer than")) << said.toStdString();
    qint64 peakKiB = 0;
    {
        QFile status("/proc/self/status");
        ASSERT_TRUE(status.open(QIODevice::ReadOnly));
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("VmHWM:")) peakKiB = line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    EXPECT_LT(peakKiB, 700 * 1024) << "peak " << peakKiB << " kB";
    // Any answer held in memory is bounded alike: a PUT answered with 600 MB.
    {
        QFile clear("/proc/self/clear_refs");
        ASSERT_TRUE(clear.open(QIODevice::WriteOnly));
        clear.write("5");
    }
    writeFile(dir.filePath("small"), "small");
    auto put = std::make_shared<QVFileTransferAction>(QVFileTransferAction::Put, connection, "/h/put.html", dir.filePath("small"));
    const auto putOutcome = runToOutcome(put, std::chrono::seconds(120));
    // The 2xx took the upload, and the site holds its five bytes: the endless rest is not read.
    ASSERT_TRUE(putOutcome);
    EXPECT_TRUE(putOutcome->result);
    {
        QFile status("/proc/self/status");
        ASSERT_TRUE(status.open(QIODevice::ReadOnly));
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("VmHWM:")) peakKiB = line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    EXPECT_LT(peakKiB, 450 * 1024) << "peak " << peakKiB << " kB";
    connection->kill();
    python.kill();
    python.waitForFinished();
}
