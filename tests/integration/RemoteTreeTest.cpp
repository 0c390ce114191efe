// A project tree on a real FTP site: a local folder and the site's folder merged into one tree,
// a save uploaded, rename and delete carried out on both sides, a refused rename settling the node.
#include "files/QVRemoteSiteQueue.h"
#include "files/QVRootFile.h"
#include "platform/MainQueue.h"
#include "tests/files/FilesTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>

namespace {

void put(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

bool await(const std::function<bool()>& done) { return MainQueue::runUntil(done, std::chrono::seconds(30)); }

}  // namespace

TEST(RemoteTree, LocalFolderAndFtpSiteWorkAsOneTree) {
    const int port = qEnvironmentVariableIntValue("QORVEL_FTP_PORT");
    ASSERT_GT(port, 0) << "peer not started";
    const QString site = qEnvironmentVariable("QORVEL_FTP_ROOT");
    // The site's files go however the test ends: one failure leaves nothing for the next run.
    const auto tidy = qScopeGuard([&] {
        for (const QString& f : QStringList{"both.txt", "renamed.txt", "remote-only.txt", "sub", "occupied"})
            QFileInfo(site + "/" + f).isDir() ? QDir(site + "/" + f).removeRecursively() : QFile::remove(site + "/" + f);
    });
    for (const QString& f : QStringList{"both.txt", "remote-only.txt", "sub/deep.txt"}) put(site + "/" + f, "remote " + f.toUtf8());
    TestDir local;
    for (const QString& f : QStringList{"both.txt", "local-only.txt", "sub/mine.txt"}) local.write(f, "local " + f.toUtf8());

    auto delegate = std::make_shared<RecordingTreeDelegate>();
    delegate->shouldUpload = true;
    auto root = QVRootFile::create(local.path(), false);
    root->setDelegate(delegate);
    root->children(true);
    auto queue = QVRemoteSiteQueue::make(QVRemoteFilesConnection::FTP, nullptr);
    queue->connectToHost("127.0.0.1", port, qEnvironmentVariable("QORVEL_PEER_USER"),
                         qEnvironmentVariable("QORVEL_PEER_PASSWORD"), {});
    root->setRemoteQueue(queue);
    auto sub = root->childWithName("sub", false);
    ASSERT_TRUE(sub);
    sub->children(true);
    const QString merged = "both.txt[]\nlocal-only.txt[L]\nremote-only.txt[R]\nsub[]\n  deep.txt[R]\n  mine.txt[L]\n";
    ASSERT_TRUE(await([&] { return dumpTree(root) == merged; })) << dumpTree(root).toStdString();

    // A save of a local-only file uploads it; the document hears the save finished only then,
    // and a second save queued behind the first hears of its own upload. The second save writes
    // the file while the first one's transfer may still run, which then fails for want of a
    // whole copy; the second carries the text either way.
    auto doc = std::make_shared<RecordingDocument>();
    auto mine = sub->childWithName("mine.txt", false);
    mine->setDocument(doc);
    local.write("sub/mine.txt", "first text");
    mine->contentsDidChange(1);
    local.write("sub/mine.txt", "saved text");
    mine->contentsDidChange(2);
    ASSERT_TRUE(await([&] { return doc->events.size() == 2 && !mine->hasPendingOperation(); })) << doc->events.join(", ").toStdString();
    EXPECT_TRUE(doc->events[0] == "finished 1" || doc->events[0] == "failed 1") << doc->events[0].toStdString();
    EXPECT_EQ(doc->events[1], "finished 2");
    EXPECT_EQ(readAll(site + "/sub/mine.txt"), "saved text");
    EXPECT_EQ(mine->indicator(), "");

    // Rename of a two-sided file happens on both sides; the document follows.
    auto both = root->childWithName("both.txt", false);
    both->setDocument(doc);
    doc->events.clear();
    both->rename("renamed.txt");
    ASSERT_TRUE(await([&] { return !both->hasPendingOperation() && both->name() == "renamed.txt"; }));
    EXPECT_EQ(readAll(site + "/renamed.txt"), "remote both.txt");
    EXPECT_EQ(readAll(local.file("renamed.txt")), "local both.txt");
    EXPECT_FALSE(QFile::exists(site + "/both.txt") || QFile::exists(local.file("both.txt")));
    EXPECT_EQ(both->indicator(), "");
    EXPECT_EQ(doc->events, QStringList({"path"}));

    // The site refuses a rename onto a name the tree has not seen: nothing moves on either
    // side, the node settles and the user is told.
    QDir(site).mkpath("occupied/inside");
    delegate->events.clear();
    doc->events.clear();
    both->rename("occupied");
    ASSERT_TRUE(await([&] { return !both->hasPendingOperation(); }));
    EXPECT_TRUE(delegate->events.filter("error").size() == 1) << delegate->events.join(", ").toStdString();
    EXPECT_EQ(both->name(), "renamed.txt");
    EXPECT_TRUE(QFile::exists(site + "/renamed.txt") && QFile::exists(local.file("renamed.txt")));
    EXPECT_FALSE(QFile::exists(local.file("occupied")));
    EXPECT_TRUE(doc->events.isEmpty());

    // Delete removes both sides and the node.
    delegate->events.clear();
    both->deleteFile();
    ASSERT_TRUE(await([&] { return delegate->events.filter("removed").size() == 1; })) << delegate->events.join(", ").toStdString();
    EXPECT_FALSE(QFile::exists(site + "/renamed.txt") || QFile::exists(local.file("renamed.txt")));
    EXPECT_FALSE(root->childWithName("renamed.txt", false));

    queue->closeConnection();
}
