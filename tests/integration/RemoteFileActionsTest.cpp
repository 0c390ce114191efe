// File actions end to end on each real client and server: names that would split or steer a
// command, binary content, folder walks, and failures that must be reported as failures.
#include "files/QVConnectAction.h"
#include "tests/support/RemotePeers.h"
#include "files/QVRemoteFileActions.h"
#include "tests/files/RemoteActionTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <functional>

#include <unistd.h>

namespace {

using C = QVRemoteFilesConnection;

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

// The peers by number: pyftpdlib, sshd, Apache, and vsftpd (FTP again, in the SFTP account's home).
constexpr int VSFTPD = 3;

std::optional<PeerSite> site(int peer) {
    if (peer != VSFTPD) return peerSite(peer);
    PeerSite s{int(C::FTP), qEnvironmentVariableIntValue("QORVEL_VSFTPD_PORT"),
               qEnvironmentVariable("QORVEL_SFTP_USER"), qEnvironmentVariable("QORVEL_SFTP_ROOT"), {}, {}};
    s.base = s.root + "/";
    if (s.port <= 0) return std::nullopt;
    return s;
}

}  // namespace

TEST(RemoteFileActions, EveryActionOnEveryClientSucceedsOnlyWhenItDid) {
    QTemporaryDir local;
    // Bytes a text-mode transfer would change.
    const QByteArray binary("line\r\nline\n\0\xff\x1a end", 19);
    writeFile(local.filePath("bin.dat"), binary);
    QDir(local.path()).mkpath("tree/sub");
    writeFile(local.filePath("tree/a.txt"), "a");
    writeFile(local.filePath("tree/sub/-b"), binary);
    QDir(local.path()).mkpath("tree/.svn");  // hidden by the tree's filters: not published
    writeFile(local.filePath("tree/.svn/entries"), "x");
    QFile::link(local.filePath("tree/sub"), local.filePath("tree/link-to-sub"));  // not followed

    for (int type : {0, 1, 2, VSFTPD}) {
        auto s = site(type);
        SCOPED_TRACE(type);
        if (!s) {
            ADD_FAILURE() << "peer not started";
            continue;
        }
        auto connection = std::make_shared<C>(s->type);
        if (qEnvironmentVariableIsSet("QORVEL_REMOTE_LOG"))
            connection->setLogDelegate([](const QString& t) { fprintf(stderr, "%s", qPrintable(t)); });
        auto login = QVConnectAction::make(connection, "127.0.0.1", s->port, s->user,
                                           qEnvironmentVariable("QORVEL_PEER_PASSWORD"), s->arguments);
        login->setPath("/dav/");
        auto l = runToOutcome(login, std::chrono::seconds(40));
        ASSERT_TRUE(l && l->result);

        const QString dir = s->base + "d \"q\" -x";
        const QString file = dir + "/-bin 1.dat";
        const QString renamed = dir + "/re named";
        const QString down = local.filePath(QString("down%1").arg(type));
        struct Step {
            const char* what;
            std::shared_ptr<QVRemoteFileAction> action;
            bool result;
        };
        auto fileAction = [&](QVFileAction::Kind k, const QString& p, const QString& a = {}) {
            return std::make_shared<QVFileAction>(k, connection, p, a);
        };
        auto transfer = [&](QVFileTransferAction::Kind k, const QString& r, const QString& lp) {
            return std::make_shared<QVFileTransferAction>(k, connection, r, lp);
        };
        auto folder = [&](QVDirectoryAction::Kind k, const QString& r, const QString& lp = {}) {
            return std::make_shared<QVDirectoryAction>(k, connection, r, lp);
        };
        const Step steps[] = {
            {"make a folder", fileAction(QVFileAction::MakeDirectory, dir), true},
            {"make it again", fileAction(QVFileAction::MakeDirectory, dir), false},
            {"make the top", fileAction(QVFileAction::MakeDirectory, "/"), false},
            {"upload binary", transfer(QVFileTransferAction::Put, file, local.filePath("bin.dat")), true},
            {"upload a missing file", transfer(QVFileTransferAction::Put, dir + "/x", local.filePath("none")), false},
            {"rename", QVFileAction::move(connection, file, renamed), true},
            {"rename a missing file", QVFileAction::move(connection, file, renamed + "2"), false},
            {"chmod", QVFileAction::chmod(connection, renamed, "600"), s->type != C::WebDAV},
            {"chmod with a word", QVFileAction::chmod(connection, renamed, "u+x"), false},
            {"download", transfer(QVFileTransferAction::Get, renamed, down), true},
            {"download a missing file", transfer(QVFileTransferAction::Get, dir + "/missing", down + "-missing"), false},
            {"enter a missing folder", fileAction(QVFileAction::ChangeDirectory, dir + "/missing"), false},
            {"delete a missing file", fileAction(QVFileAction::DeleteFile, dir + "/missing"), false},
            {"upload a tree", folder(QVDirectoryAction::Put, dir + "/tree", local.filePath("tree")), true},
            {"upload it again over itself", folder(QVDirectoryAction::Put, dir + "/tree", local.filePath("tree")), true},
            {"download the tree", folder(QVDirectoryAction::Get, dir + "/tree", local.filePath(QString("tree%1").arg(type))), true},
            {"delete a missing folder", folder(QVDirectoryAction::Delete, dir + "/missing"), false},
            {"delete the whole folder", folder(QVDirectoryAction::Delete, dir), true},
        };
        for (const Step& step : steps) {
            SCOPED_TRACE(step.what);
            auto outcome = runToOutcome(step.action, std::chrono::seconds(30));
            ASSERT_TRUE(outcome) << "never reported";
            EXPECT_EQ(outcome->result, step.result) << step.action->lastReply().join(" | ").toStdString();
            if (std::string(step.what) == "download") {
                EXPECT_EQ(readAll(down), binary);
                const QStringList left = QDir(local.path()).entryList(QDir::Hidden | QDir::Files);
                for (const QString& n : left) EXPECT_FALSE(n.startsWith(".tmp_Qorvel")) << n.toStdString();
            }
            if (std::string(step.what) == "download a missing file") {
                EXPECT_FALSE(QFile::exists(down + "-missing"));
            }
            if (std::string(step.what) == "upload a tree") {
                const QString remoteTree = s->root + "/d \"q\" -x/tree";
                EXPECT_EQ(readAll(remoteTree + "/sub/-b"), binary);
                EXPECT_FALSE(QFileInfo::exists(remoteTree + "/.svn"));
                EXPECT_FALSE(QFileInfo::exists(remoteTree + "/link-to-sub"));
            }
            if (std::string(step.what) == "download the tree") {
                EXPECT_EQ(readAll(local.filePath(QString("tree%1/sub/-b").arg(type))), binary);
            }
        }
        EXPECT_FALSE(QFileInfo::exists(s->root + "/d \"q\" -x"));
        connection->kill();
    }
}

TEST(RemoteFileActions, WildcardNamesReachOnlyTheirTarget) {
    // sftp globs most of its commands' names and cadaver all of its deletes, moves and new
    // folders: a name read as a pattern would take its neighbours along.
    const QStringList names = {"star*", "q?", "photo[1].jpg", "a]b", "back\\slash*"};
    const QStringList decoys = {"starfish", "qx", "photo1.jpg", "ab", "back\\slashX", "backslashX", "backslash*"};
    QTemporaryDir local;
    // Put's local name is a pattern too: the decoys lie beside the sources.
    for (const QString& n : names + decoys) writeFile(local.filePath(n), ("local " + n).toUtf8());

    const int LIGHTTPD = 4;
    for (int peer : {int(C::SFTP), int(C::WebDAV), LIGHTTPD}) {
        std::optional<PeerSite> s = peer == LIGHTTPD ? peerSite(C::WebDAV) : peerSite(peer);
        if (s && peer == LIGHTTPD) {
            s->port = qEnvironmentVariableIntValue("QORVEL_LIGHTTPD_PORT");
            s->root = qEnvironmentVariable("QORVEL_LIGHTTPD_ROOT");
        }
        SCOPED_TRACE(peer);
        if (!s || s->port <= 0) {
            ADD_FAILURE() << "peer not started";
            continue;
        }
        const bool sftp = s->type == C::SFTP;
        const QString dir = s->root + "/wild";
        QDir(dir).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(dir));
        QFile::setPermissions(dir, QFile::Permissions(0x7777));
        // Owned by the site's account, so a chmod or delete that strays could change them.
        const QFileInfo owner(s->root);
        ASSERT_EQ(::chown(QFile::encodeName(dir).constData(), owner.ownerId(), owner.groupId()), 0);
        for (const QString& d : decoys) {
            writeFile(dir + "/" + d, ("remote " + d).toUtf8());
            ASSERT_EQ(::chown(QFile::encodeName(dir + "/" + d).constData(), owner.ownerId(), owner.groupId()), 0);
        }
        auto decoysUntouched = [&] {
            for (const QString& d : decoys) {
                EXPECT_EQ(readAll(dir + "/" + d), ("remote " + d).toUtf8()) << d.toStdString();
                EXPECT_EQ(QFileInfo(dir + "/" + d).permissions() & QFile::ReadOther, QFile::ReadOther) << d.toStdString();
            }
        };

        auto connection = std::make_shared<C>(s->type);
        auto login = QVConnectAction::make(connection, "127.0.0.1", s->port, s->user,
                                           qEnvironmentVariable("QORVEL_PEER_PASSWORD"), s->arguments);
        login->setPath("/dav/");
        auto l = runToOutcome(login, std::chrono::seconds(40));
        ASSERT_TRUE(l && l->result);

        for (const QString& n : names) {
            SCOPED_TRACE(n.toStdString());
            const QString remote = s->base + "wild/" + n, renamed = s->base + "wild/re" + n;
            const QString onDisk = dir + "/" + n, renamedOnDisk = dir + "/re" + n, down = local.filePath("down " + n);
            struct Step {
                const char* what;
                std::shared_ptr<QVRemoteFileAction> action;
                // What must hold on the server afterwards when the step succeeded.
                std::function<void()> check;
            };
            const Step steps[] = {
                {"upload", std::make_shared<QVFileTransferAction>(QVFileTransferAction::Put, connection, remote, local.filePath(n)),
                 [&] { EXPECT_EQ(readAll(onDisk), ("local " + n).toUtf8()); }},
                {"rename", QVFileAction::move(connection, remote, renamed),
                 [&] {
                     EXPECT_FALSE(QFileInfo::exists(onDisk));
                     EXPECT_EQ(readAll(renamedOnDisk), ("local " + n).toUtf8());
                 }},
                {"chmod", QVFileAction::chmod(connection, renamed, "600"),
                 [&] { EXPECT_EQ(QFileInfo(renamedOnDisk).permissions() & QFile::ReadOther, 0); }},
                {"download", std::make_shared<QVFileTransferAction>(QVFileTransferAction::Get, connection, renamed, down),
                 [&] { EXPECT_EQ(readAll(down), ("local " + n).toUtf8()); }},
                {"delete", std::make_shared<QVFileAction>(QVFileAction::DeleteFile, connection, renamed),
                 [&] { EXPECT_FALSE(QFileInfo::exists(renamedOnDisk)); }},
                {"make a folder", std::make_shared<QVFileAction>(QVFileAction::MakeDirectory, connection, remote),
                 [&] { EXPECT_TRUE(QFileInfo(onDisk).isDir()); }},
                {"remove the folder", std::make_shared<QVFileAction>(QVFileAction::DeleteDirectory, connection, remote),
                 [&] { EXPECT_FALSE(QFileInfo::exists(onDisk)); }},
            };
            for (const Step& step : steps) {
                SCOPED_TRACE(step.what);
                auto outcome = runToOutcome(step.action, std::chrono::seconds(30));
                ASSERT_TRUE(outcome) << "never reported";
                // WebDAV has no permissions to change.
                EXPECT_EQ(outcome->result, sftp || std::string(step.what) != "chmod")
                    << step.action->lastReply().join(" | ").toStdString();
                if (outcome->result) step.check();
                decoysUntouched();
            }
        }
        QStringList left = QDir(dir).entryList(QDir::Files | QDir::Hidden);
        left.sort();
        QStringList expected = decoys;
        expected.sort();
        EXPECT_EQ(left, expected);
        QDir(dir).removeRecursively();
        connection->kill();
    }
}
