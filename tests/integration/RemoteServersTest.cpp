// What servers read their own way, on every FTP, SFTP and WebDAV server the peers start: bytes
// kept in every transfer, folders with blanks listed whole, names a client would read as
// patterns, and saves that replace a file only once complete and change nothing else.
#include "files/QVConnectAction.h"
#include "files/QVRemoteFileActions.h"
#include "tests/files/RemoteActionTestSupport.h"
#include "tests/support/RemotePeers.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QRegularExpression>
#include <QFile>
#include <QTemporaryDir>

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include <sys/stat.h>
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

// The permission bits, or -1 when nothing is there; a link's own answer for a link.
int modeOf(const QString& path) {
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

// Made here as root, given to the site's account as its own file would be.
void own(const QString& path, const QString& like, int mode = -1) {
    struct stat st;
    ASSERT_EQ(::stat(QFile::encodeName(like).constData(), &st), 0);
    ASSERT_EQ(::lchown(QFile::encodeName(path).constData(), st.st_uid, st.st_gid), 0);
    if (mode >= 0) ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), mode_t(mode)), 0);
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
        put = upload(local.filePath("newer.html"));  // over the first: renamed over it
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
        for (const QString& link : {"link[1]", "link1"}) {
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
            if (step.result) EXPECT_EQ(outcome->result, *step.result);
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
        for (const QString& link : {"link[1]", "link1"}) {
            if (apache) EXPECT_TRUE(QFileInfo(s.root + "/" + link).isSymLink()) << link.toStdString();
            QFile::remove(s.root + "/" + link);
        }
        for (const QString& folder : {"album[1]", "up", "shown"}) QDir(s.root + "/" + folder).removeRecursively();
    }
}

TEST(RemoteServers, SavingReplacesTheFileAndChangesNothingElse) {
    QStringList missing;
    std::vector<Server> all;
    for (int type : {C::FTP, C::SFTP, C::WebDAV})
        for (Server& server : servers(type, &missing)) all.push_back(server);
    EXPECT_TRUE(missing.isEmpty()) << "peers not started: " << missing.join(", ").toStdString();
    QTemporaryDir local;
    const QString longName = QString(244, u'n') + ".htm";  // 248 bytes
    ASSERT_EQ(longName.toUtf8().size(), 248);
    for (const Server& server : all) {
        SCOPED_TRACE(server.name);
        const PeerSite& s = server.site;
        const bool webDAV = s.type == C::WebDAV, pureFtpd = std::string(server.name) == "pure-ftpd",
                   lighttpd = std::string(server.name) == "lighttpd",
                   apache = std::string(server.name) == "Apache";
        const QString dir = s.root + "/keep", remote = s.base + "keep/";
        QDir(dir).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(dir));
        own(dir, s.root, 0755);
        auto existing = [&](const QString& name, int mode) {
            writeFile(dir + "/" + name, "old " + name.toUtf8());
            own(dir + "/" + name, s.root, mode);
        };
        auto link = [&](const QString& name, const QString& to) {
            ASSERT_TRUE(QFile::link(to, dir + "/" + name));
            own(dir + "/" + name, s.root);
        };
        existing(".tmp_Qorvel-index.html", 0644);  // the user's own file, named like a temporary
        auto connection = loggedIn(s);
        ASSERT_TRUE(connection);
        struct Case {
            const char* what;
            QString name;                  // uploaded to
            std::function<void()> before;  // what the site holds first
            bool result;
            std::function<void()> check;   // what it holds after
        };
        auto text = [&](const QString& name) { return readAll(dir + "/" + name); };
        auto saved = [&](const QString& name, const QString& into, int mode) {
            EXPECT_EQ(text(into), "new " + name.toUtf8()) << into.toStdString();
            // WebDAV moves no permissions: the server gives its own to every file it stores.
            if (!webDAV) EXPECT_EQ(modeOf(dir + "/" + into), mode) << into.toStdString();
        };
        const Case cases[] = {
            {"a 0600 file", "secret.php", [&] { existing("secret.php", 0600); }, true, [&] { saved("secret.php", "secret.php", 0600); }},
            // Apache's WebDAV carries one permission: the owner's execute bit, as its "executable".
            {"a 0750 file", "run.cgi", [&] { existing("run.cgi", 0750); }, true,
             [&] {
                 saved("run.cgi", "run.cgi", 0750);
                 if (apache) EXPECT_EQ(modeOf(dir + "/run.cgi") & 0100, 0100);
             }},
            {"a 0644 file", "page.html", [&] { existing("page.html", 0644); }, true, [&] { saved("page.html", "page.html", 0644); }},
            {"a new file", "new.html", [] {}, true, [&] { EXPECT_EQ(text("new.html"), "new new.html"); }},
            {"a neighbour named like the temporary", "index.html", [&] { existing("index.html", 0644); }, true,
             [&] {
                 saved("index.html", "index.html", 0644);
                 EXPECT_EQ(text(".tmp_Qorvel-index.html"), "old .tmp_Qorvel-index.html");
             }},
            {"a 244-byte name", longName.mid(4), [&] { existing(longName.mid(4), 0640); }, true,
             [&] { saved(longName.mid(4), longName.mid(4), 0640); }},
            // lighttpd keeps a body under the name and a suffix of its own, so it stores no name of
            // more than 245 bytes however it is sent: the old copy stays.
            {"a 248-byte name", longName, [&] { existing(longName, 0640); }, !lighttpd,
             [&] {
                 if (lighttpd) EXPECT_EQ(text(longName), "old " + longName.toUtf8());
                 else saved(longName, longName, 0640);
             }},
            {"a quote in the name", "don't.html", [&] { existing("don't.html", 0644); }, true,
             [&] { saved("don't.html", "don't.html", 0644); }},
            // Two links, one to the other: both stay links, the file at the end gets the text.
            // (WebDAV shows no links, and both servers replace one with any file put there.)
            {"a link through a link", "outer.html",
             [&] {
                 existing("real.html", 0640);
                 link("inner.html", "real.html");
                 link("outer.html", "inner.html");
             },
             true,
             [&] {
                 if (webDAV) return;
                 EXPECT_EQ(QFileInfo(dir + "/outer.html").symLinkTarget(), dir + "/inner.html");
                 EXPECT_EQ(QFileInfo(dir + "/inner.html").symLinkTarget(), dir + "/real.html");
                 saved("outer.html", "real.html", 0640);
             }},
            // An absolute target is a path of the server's, which an FTP account may see under
            // another name: the text goes in place, where the server follows the link or, as
            // pure-ftpd does, refuses it.
            {"a link to an absolute path", "absolute.html", [&] { link("absolute.html", dir + "/real.html"); }, !pureFtpd,
             [&] {
                 if (webDAV) return;
                 EXPECT_EQ(QFileInfo(dir + "/absolute.html").symLinkTarget(), dir + "/real.html");
                 if (pureFtpd) EXPECT_EQ(text("real.html"), "new outer.html");
                 else saved("absolute.html", "real.html", 0640);
             }},
            // pure-ftpd stores a trailing blank as "_": the save fails, and leaves nothing.
            {"a trailing blank", "trail space ", [] {}, !pureFtpd,
             [&] { EXPECT_EQ(text("trail space "), pureFtpd ? "<missing>" : "new trail space "); }},
        };
        // Seen on the site while a big 0600 file goes up: never a copy with text that others may read.
        std::atomic<bool> watching{false}, leaked{false};
        std::thread watcher;
        const Case big{"a big 0600 file", "big.php", [&] { existing("big.php", 0600); }, true,
                       [&] {
                           watching = false;
                           watcher.join();
                           if (!webDAV) EXPECT_FALSE(leaked);
                           EXPECT_EQ(modeOf(dir + "/big.php") & 077, webDAV ? 044 : 0);
                       }};
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            c.before();
            writeFile(local.filePath("source"), "new " + c.name.toUtf8());
            auto put = std::make_shared<QVFileTransferAction>(QVFileTransferAction::Put, connection, remote + c.name,
                                                              local.filePath("source"));
            auto outcome = runToOutcome(put, std::chrono::seconds(30));
            ASSERT_TRUE(outcome) << "never reported";
            EXPECT_EQ(outcome->result, c.result) << put->lastReply().join(" | ").toStdString();
            c.check();
            EXPECT_EQ(temporaries(dir), QStringList{".tmp_Qorvel-index.html"});
        }
        {
            SCOPED_TRACE(big.what);
            big.before();
            writeFile(local.filePath("big"), QByteArray(32 << 20, 'x'));
            watching = true;
            watcher = std::thread([&] {
                while (watching)
                    for (const QString& t : temporaries(dir)) {
                        if (t == ".tmp_Qorvel-index.html") continue;
                        struct stat st;
                        if (::lstat(QFile::encodeName(dir + "/" + t).constData(), &st) == 0 && st.st_size > 0 &&
                            (st.st_mode & 044) != 0)
                            leaked = true;
                    }
            });
            auto outcome = runToOutcome(std::make_shared<QVFileTransferAction>(QVFileTransferAction::Put, connection,
                                                                               remote + big.name, local.filePath("big")),
                                        std::chrono::seconds(60));
            ASSERT_TRUE(outcome && outcome->result);
            big.check();
        }

        // Names holding a quote: renamed and deleted, and a folder of them deleted whole.
        existing("sq'uote", 0644);
        ASSERT_TRUE(QDir(dir).mkpath("tr'ee/it's"));
        for (const QString& made : {dir + "/tr'ee", dir + "/tr'ee/it's"}) own(made, s.root, 0755);
        existing("tr'ee/it's/don't", 0644);
        existing("tr'ee/a'b", 0644);
        const struct {
            const char* what;
            std::shared_ptr<QVRemoteFileAction> action;
            std::function<bool()> done;
        } quoted[] = {
            {"rename", QVFileAction::move(connection, remote + "sq'uote", remote + "sq'uote 2"),
             [&] { return text("sq'uote 2") == "old sq'uote" && !QFileInfo::exists(dir + "/sq'uote"); }},
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
// group, number of names and text (or a link's target).
QStringList stateOf(const QString& root, const QStringList& alsoPaths = {}) {
    QStringList state;
    auto describe = [&](const QString& path, const QString& shown) {
        struct stat st;
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0) {
            state << shown + " missing";
            return;
        }
        QString what = QString("%1 %2 %3:%4 n%5 ").arg(shown).arg(st.st_mode, 0, 8).arg(st.st_uid).arg(st.st_gid).arg(st.st_nlink);
        if (S_ISLNK(st.st_mode)) {
            char to[4096];
            const ssize_t n = ::readlink(QFile::encodeName(path).constData(), to, sizeof to);
            what += "-> " + QString::fromUtf8(to, n > 0 ? n : 0);
        } else if (S_ISREG(st.st_mode)) {
            what += QString::fromUtf8(readAll(path));
        }
        state << what;
    };
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    QStringList paths;
    while (it.hasNext()) paths << it.next();
    paths.sort();
    for (const QString& path : paths) describe(path, path.mid(root.size()));
    for (const QString& path : alsoPaths) describe(path, path);
    return state;
}

}  // namespace

// Where a copy renamed over the file could not keep everything a plain put keeps (its mode, owner,
// group, other names, the link it is reached through) or could not be made at all, the save is a
// plain put: each case is set up twice on each server, once given a plain put and once saved,
// and both leave the same outcome and the same files.
TEST(RemoteServers, SavesGoInPlaceWhereACopyWouldNotKeepWhatAPlainPutKeeps) {
    const QString sftpUser = qEnvironmentVariable("QORVEL_SFTP_USER"), sftpRoot = qEnvironmentVariable("QORVEL_SFTP_ROOT");
    const QString limitedUser = qEnvironmentVariable("QORVEL_LIMITED_USER"), limitedRoot = qEnvironmentVariable("QORVEL_LIMITED_ROOT");
    const QString jailedUser = qEnvironmentVariable("QORVEL_JAILED_USER"), jailedRoot = qEnvironmentVariable("QORVEL_JAILED_ROOT");
    const int ftpPort = qEnvironmentVariableIntValue("QORVEL_FTP_PORT"), vsftpdPort = qEnvironmentVariableIntValue("QORVEL_VSFTPD_PORT"),
              purePort = qEnvironmentVariableIntValue("QORVEL_PUREFTPD_PORT"), sftpPort = qEnvironmentVariableIntValue("QORVEL_SFTP_PORT");
    // What each server variant is: the "refuses chmod", "store only", "chrooted" tags pick the rows.
    struct Variant {
        const char* name;
        PeerSite site;
        QStringList tags;
    };
    const std::vector<Variant> variants = {
        {"pyftpdlib", {C::FTP, ftpPort, "qvpeer", qEnvironmentVariable("QORVEL_FTP_ROOT"), "/", {}}, {"plain", "chrooted"}},
        {"pyftpdlib without chmod", {C::FTP, ftpPort, "qvnochmod", qEnvironmentVariable("QORVEL_FTP_NOCHMOD_ROOT"), "/", {}}, {"no chmod", "chrooted"}},
        {"pyftpdlib, store only", {C::FTP, ftpPort, "qvstore", qEnvironmentVariable("QORVEL_FTP_STOREONLY_ROOT"), "/", {}}, {"store only"}},
        {"vsftpd", {C::FTP, vsftpdPort, sftpUser, sftpRoot, sftpRoot + "/", {}}, {"plain"}},
        {"vsftpd without chmod", {C::FTP, vsftpdPort, limitedUser, limitedRoot, limitedRoot + "/", {}}, {"no chmod"}},
        {"vsftpd chrooted", {C::FTP, vsftpdPort, jailedUser, jailedRoot, "/", {}}, {"chrooted"}},
        {"pure-ftpd", {C::FTP, purePort, sftpUser, sftpRoot, sftpRoot + "/", {}}, {"plain"}},
        {"pure-ftpd chrooted", {C::FTP, purePort, jailedUser, jailedRoot, "/", {}}, {"chrooted"}},
        {"OpenSSH", {C::SFTP, sftpPort, sftpUser, sftpRoot, sftpRoot + "/", {}}, {"plain"}},
        {"OpenSSH without setstat", {C::SFTP, sftpPort, limitedUser, limitedRoot, limitedRoot + "/", {}}, {"no chmod"}},
    };
    struct Case {
        const char* what;
        QStringList tags;  // the variants it runs on
        QString saved;     // below the case's folder
        std::function<void(const QString& folder, const PeerSite&)> make;
        // pyftpdlib's accounts act as root: every folder may be listed and written.
        bool inPlaceForRoot = true;
    };
    auto file = [](const QString& path, const QString& like, int mode, int group = -1) {
        QDir().mkpath(QFileInfo(path).path());
        writeFile(path, "old " + QFileInfo(path).fileName().toUtf8());
        own(path, like, mode);
        if (group >= 0) ASSERT_EQ(::lchown(QFile::encodeName(path).constData(), uid_t(-1), gid_t(group)), 0);
    };
    auto folder = [](const QString& path, const QString& like, int mode) {
        QDir().mkpath(path);
        own(path, like, mode);
    };
    auto link = [](const QString& path, const QString& to, const QString& like) {
        ASSERT_TRUE(QFile::link(to, path));
        own(path, like);
    };
    const std::vector<Case> cases = {
        {"a 0600 file where chmod is refused", {"no chmod"}, "secret.php",
         [&](const QString& d, const PeerSite& s) { file(d + "/secret.php", s.root, 0600); }},
        {"a 0750 script where chmod is refused", {"no chmod"}, "run.cgi",
         [&](const QString& d, const PeerSite& s) { file(d + "/run.cgi", s.root, 0750); }},
        {"a 0600 file in a folder the account may write but not list", {"plain"}, "w/secret.php",
         [&](const QString& d, const PeerSite& s) {
             file(d + "/w/secret.php", s.root, 0600);
             own(d + "/w", s.root, 0300);
         },
         false},
        {"a link in a folder the account may write but not list", {"plain"}, "w/link.html",
         [&](const QString& d, const PeerSite& s) {
             file(d + "/w/real.html", s.root, 0640);
             link(d + "/w/link.html", "real.html", s.root);
             own(d + "/w", s.root, 0300);
         },
         false},
        {"a file of another group", {"plain"}, "group.php",
         [&](const QString& d, const PeerSite& s) { file(d + "/group.php", s.root, 0640, 33); }},
        {"a file with a second name", {"plain"}, "twin.html",
         [&](const QString& d, const PeerSite& s) {
             file(d + "/twin.html", s.root, 0644);
             ASSERT_EQ(::link(QFile::encodeName(d + "/twin.html").constData(), QFile::encodeName(d + "/other.html").constData()), 0);
         }},
        {"a writable file in a folder the account may not write", {"plain"}, "ro/page.html",
         [&](const QString& d, const PeerSite& s) {
             file(d + "/ro/page.html", s.root, 0644);
             own(d + "/ro", s.root, 0555);
         },
         false},
        {"a read-only file", {"plain"}, "fixed.html",
         [&](const QString& d, const PeerSite& s) { file(d + "/fixed.html", s.root, 0444); }},
        {"a store-only account", {"store only"}, "page.html",
         [&](const QString& d, const PeerSite& s) { file(d + "/page.html", s.root, 0644); }},
        // "r -> s.html" leading to t.html beside a plain file r and a plain file "s.html -> t.html":
        // one listing line, two readings.
        {"a name holding \" -> \"", {"plain"}, "r",
         [&](const QString& d, const PeerSite& s) {
             file(d + "/r", s.root, 0644);
             file(d + "/t.html", s.root, 0644);
             file(d + "/s.html -> t.html", s.root, 0644);
             link(d + "/r -> s.html", "t.html", s.root);
         }},
        {"a link climbing above the top of the site", {"chrooted"}, "sub/x.html",
         [&](const QString& d, const PeerSite& s) {
             folder(d + "/sub", s.root, 0755);
             file(d + "/x.html", s.root, 0644);
             link(d + "/sub/x.html", "../../../../x.html", s.root);
         }},
    };
    QTemporaryDir local;
    for (const Variant& variant : variants) {
        SCOPED_TRACE(variant.name);
        const PeerSite& s = variant.site;
        if (s.port <= 0 || s.user.isEmpty() || s.root.isEmpty()) {
            ADD_FAILURE() << "peer not started";
            continue;
        }
        auto connection = loggedIn(s);
        ASSERT_TRUE(connection);
        QString log;
        std::mutex logLock;
        connection->setLogDelegate([&](const QString& t) {
            std::lock_guard g(logLock);
            log += t;
        });
        for (const Case& c : cases) {
            bool applies = false;
            for (const QString& tag : c.tags) applies = applies || variant.tags.contains(tag);
            if (!applies) continue;
            SCOPED_TRACE(c.what);
            writeFile(local.filePath("source"), "new text\n");
            QStringList states[2];
            std::optional<OutcomeWaiter::Outcome> outcomes[2];
            QStringList replies[2];
            for (int saving = 0; saving < 2; ++saving) {
                const QString name = saving ? "saved" : "plain";
                const QString d = s.root + "/" + name + "/case";
                QDir(s.root + "/" + name).removeRecursively();
                folder(s.root + "/" + name, s.root, 0755);
                folder(d, s.root, 0755);
                c.make(d, s);
                // What a link climbing above the top may reach: the site's top, or above it.
                const QStringList outside{s.root + "/x.html", QFileInfo(s.root).path() + "/x.html"};
                for (const QString& path : outside) {
                    QFile::remove(path);
                    writeFile(path, "old outside");
                    own(path, s.root, 0644);
                }
                const QString remote = s.base + name + "/case/" + c.saved;
                if (saving) {
                    {
                        std::lock_guard g(logLock);
                        log.clear();
                    }
                    auto put = std::make_shared<QVFileTransferAction>(QVFileTransferAction::Put, connection, remote,
                                                                      local.filePath("source"));
                    outcomes[1] = runToOutcome(put, std::chrono::seconds(30));
                    replies[1] = put->lastReply();
                } else {
                    if (s.type == C::FTP) runToOutcome(std::make_shared<QVCommandAction>(connection, "binary", false));
                    auto put = std::make_shared<QVCommandAction>(
                        connection, "put " + *QVRemoteFileAction::quotedPath(s.type, local.filePath("source")) + " " +
                                        *QVRemoteFileAction::quotedPath(s.type, remote),
                        false);
                    outcomes[0] = runToOutcome(put, std::chrono::seconds(30));
                    replies[0] = put->lastReply();
                }
                // Folders the account may not list are opened again for the comparison.
                for (const QString& sub : {d + "/w", d + "/ro"})
                    if (QFileInfo::exists(sub)) QFile::setPermissions(sub, QFileDevice::Permissions(0x7755));
                states[saving] = stateOf(s.root + "/" + name, outside);
            }
            ASSERT_TRUE(outcomes[0] && outcomes[1]) << "never reported";
            EXPECT_EQ(outcomes[1]->result, outcomes[0]->result) << replies[1].join(" | ").toStdString();
            EXPECT_EQ(states[1].join("\n").toStdString(), states[0].join("\n").toStdString());
            if (!outcomes[0]->result) {
                // The server's own reason, as the plain put heard it.
                const QString reason = replies[0].filter(QRegularExpression("^(5[0-9][0-9] |remote |.*denied)")).join(" ");
                EXPECT_FALSE(reason.isEmpty()) << replies[0].join(" | ").toStdString();
                EXPECT_TRUE(replies[1].join(" ").contains(reason.left(3))) << replies[1].join(" | ").toStdString();
            }
            std::lock_guard g(logLock);
            if (c.inPlaceForRoot || s.user != "qvpeer") EXPECT_TRUE(log.contains("written in place")) << log.toStdString();
        }
        connection->kill();
        QDir(s.root + "/plain").removeRecursively();
        QDir(s.root + "/saved").removeRecursively();
        QFile::remove(s.root + "/x.html");
        QFile::remove(QFileInfo(s.root).path() + "/x.html");
    }
}
