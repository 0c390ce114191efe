// A node's remote side through a real FTP site's queue: requests queued, results and failures
// reported on the main thread.
#include "files/QVQueuedRemoteFileRepresentation.h"
#include "files/QVRemoteSiteQueue.h"
#include "platform/MainQueue.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <functional>

namespace {

class Node : public QVFileRepresentationDelegate {
public:
    QString local, remote;
    QVFileType type = QVFileTypeFile;
    QStringList events;
    QVFileRepresentationList children;
    bool mainThreadOnly = true;

    void note(const QString& e) {
        mainThreadOnly = mainThreadOnly && MainQueue::isMainThread();
        events << e;
    }
    QVFileType typeForFileRepresentation(QVFileRepresentation*) override { return type; }
    QString pathForFileRepresentation(QVFileRepresentation*) override { return local; }
    QString pathFromRootForFileRepresentation(QVFileRepresentation*) override { return remote; }
    QString pathFromRootForPath(const QString& p) override { return p; }
    QString pathForRemoteFileRepresentation(QVFileRepresentation*, QVError*) override { return local; }
    void fileRepresentationContentBecameAvailable(QVFileRepresentation*) override { note("available"); }
    void fileRepresentationContentChangeFinished(QVFileRepresentation*) override { note("changed"); }
    void fileRepresentationHadError(QVFileRepresentation*, const QVError&) override { note("error"); }
    void fileRepresentationDidDelete(QVFileRepresentation*, bool ok) override { note(QString("delete %1").arg(ok)); }
    void fileRepresentationDidDuplicate(QVFileRepresentation*, const std::shared_ptr<QVFileRepresentation>&) override {}
    void fileRepresentationDidMove(QVFileRepresentation*, bool ok, const QVFileContext&) override { note(QString("move %1").arg(ok)); }
    void fileRepresentationDidMoveToTrash(QVFileRepresentation*, bool) override {}
    void fileRepresentationDidRename(QVFileRepresentation*, bool ok, const QVFileContext&) override {
        note(QString("rename %1").arg(ok));
    }
    void fileRepresentationDidLoadChildren(QVFileRepresentation*, const QVFileRepresentationList& list) override {
        children = list;
        note(QString("load %1").arg(list.size()));
    }
    void fileRepresentationDidReloadChildren(QVFileRepresentation*, const QVFileRepresentationList& list) override {
        children = list;
        note(QString("reload %1").arg(list.size()));
    }
    void fileRepresentationFailed(QVFileRepresentation*, QVFileOperation operation, const QVError&) override {
        note(QString("failed %1").arg(int(operation)));
    }
    bool await(int count) {
        return MainQueue::runUntil([&] { return events.size() >= count; }, std::chrono::seconds(30));
    }
};

}  // namespace

TEST(RemoteRepresentation, NodeRequestsGoThroughTheQueueAndReportOnTheMainThread) {
    const int port = qEnvironmentVariableIntValue("QORVEL_FTP_PORT");
    ASSERT_GT(port, 0);
    const QString root = qEnvironmentVariable("QORVEL_FTP_ROOT");
    QDir(root).mkpath("r/sub");
    QFile f(root + "/r/a.txt");
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("remote text");
    f.close();
    QTemporaryDir local;

    auto queue = QVRemoteSiteQueue::make(QVRemoteFilesConnection::FTP, nullptr);
    queue->connectToHost("127.0.0.1", port, qEnvironmentVariable("QORVEL_PEER_USER"),
                         qEnvironmentVariable("QORVEL_PEER_PASSWORD"), {});
    std::shared_ptr<QVRemoteFilesQueue> filesQueue = queue;

    auto folderNode = std::make_shared<Node>();
    folderNode->remote = "r";
    folderNode->type = QVFileTypeFolder;
    auto folder = filesQueue->newRepresentation(local.filePath("r"));
    folder->setDelegate(folderNode);
    folder->reloadChildren();
    folder->loadChildren();
    ASSERT_TRUE(folderNode->await(2));
    EXPECT_EQ(folderNode->events, (QStringList{"reload 2", "load 2"}));  // the reload mark answers once
    std::shared_ptr<QVRemoteFileRepresentation> file;
    for (const auto& c : folderNode->children)
        if (c->name() == "a.txt") file = std::static_pointer_cast<QVRemoteFileRepresentation>(c);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->size(), 11);

    auto fileNode = std::make_shared<Node>();
    fileNode->remote = "r/a.txt";
    fileNode->local = local.filePath("mirror/r/a.txt");
    file->setDelegate(fileNode);
    file->download();
    file->rename("b.txt", nullptr);
    ASSERT_TRUE(fileNode->await(2));
    EXPECT_EQ(fileNode->events, (QStringList{"available", "rename 1"}));
    QFile copy(fileNode->local);
    ASSERT_TRUE(copy.open(QIODevice::ReadOnly));
    EXPECT_EQ(copy.readAll(), "remote text");
    EXPECT_TRUE(QFile::exists(root + "/r/b.txt"));
    EXPECT_EQ(file->name(), "b.txt");

    // A failure settles the node instead of leaving it waiting.
    fileNode->remote = "r/missing";
    file->deleteFile();
    ASSERT_TRUE(fileNode->await(3));
    EXPECT_EQ(fileNode->events.last(), QString("failed %1").arg(int(QVFileOperation::Delete)));
    EXPECT_TRUE(folderNode->mainThreadOnly && fileNode->mainThreadOnly);
    queue->closeConnection();
    QDir(root + "/r").removeRecursively();
}

TEST(RemoteRepresentation, RequestsWithoutAQueueFailInsteadOfLeavingTheCallerWaiting) {
    struct Case {
        const char* what;
        std::function<void(QVRemoteFileRepresentation&)> request;
        QVFileOperation expected;
    };
    const Case cases[] = {
        {"upload", [](QVRemoteFileRepresentation& r) { r.upload(); }, QVFileOperation::Upload},
        {"download", [](QVRemoteFileRepresentation& r) { r.download(); }, QVFileOperation::Download},
        {"make folder", [](QVRemoteFileRepresentation& r) { r.makeDirectory(); }, QVFileOperation::MakeDirectory},
        {"delete", [](QVRemoteFileRepresentation& r) { r.deleteFile(); }, QVFileOperation::Delete},
        {"move", [](QVRemoteFileRepresentation& r) { EXPECT_TRUE(r.moveToPath("/elsewhere/a.txt", nullptr)); },
         QVFileOperation::Move},
        {"rename", [](QVRemoteFileRepresentation& r) { r.rename("b.txt", nullptr); }, QVFileOperation::Rename},
    };
    QTemporaryDir local;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // A side whose site went away (the window reconnected and detached the old queue).
        auto side = std::make_shared<QVQueuedRemoteFileRepresentation>(local.filePath("a.txt"), nullptr);
        auto node = std::make_shared<Node>();
        node->remote = "a.txt";
        node->local = local.filePath("a.txt");
        side->setDelegate(node);
        c.request(*side);
        EXPECT_TRUE(node->events.isEmpty()) << "reported inside the request";
        ASSERT_TRUE(node->await(1));
        EXPECT_EQ(node->events, QStringList{QString("failed %1").arg(int(c.expected))});
    }
}
