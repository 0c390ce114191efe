// What servers read their own way, on every FTP and WebDAV server the peers start: bytes kept in
// every transfer, folders with blanks listed whole, names a client would read as patterns, and
// uploads that replace a file only once complete.
#include "files/QVConnectAction.h"
#include "files/QVRemoteFileActions.h"
#include "tests/files/RemoteActionTestSupport.h"
#include "tests/support/RemotePeers.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace {

using C = QVRemoteFilesConnection;

struct Server {
    const char* name;
    PeerSite site;
};

// FTP: pyftpdlib, vsftpd and pure-ftpd; WebDAV: Apache and lighttpd. Missing ones are named.
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
        auto connection = loggedIn(s);
        ASSERT_TRUE(connection);
        struct Step {
            const char* what;
            std::shared_ptr<QVRemoteFileAction> action;
            bool result;
        };
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
        };
        for (const Step& step : steps) {
            SCOPED_TRACE(step.what);
            auto outcome = runToOutcome(step.action);
            ASSERT_TRUE(outcome);
            EXPECT_EQ(outcome->result, step.result);
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
    }
}
