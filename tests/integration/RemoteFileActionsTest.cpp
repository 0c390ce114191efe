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
            if (std::string(step.what) == "download a missing file") EXPECT_FALSE(QFile::exists(down + "-missing"));
            if (std::string(step.what) == "upload a tree") {
                const QString remoteTree = s->root + "/d \"q\" -x/tree";
                EXPECT_EQ(readAll(remoteTree + "/sub/-b"), binary);
                EXPECT_FALSE(QFileInfo::exists(remoteTree + "/.svn"));
                EXPECT_FALSE(QFileInfo::exists(remoteTree + "/link-to-sub"));
            }
            if (std::string(step.what) == "download the tree")
                EXPECT_EQ(readAll(local.filePath(QString("tree%1/sub/-b").arg(type))), binary);
        }
        EXPECT_FALSE(QFileInfo::exists(s->root + "/d \"q\" -x"));
        connection->kill();
    }
}
