#include "files/QVLocalFileRepresentation.h"
#include "files/QVRootFile.h"
#include "shell/ScratchFolder.h"
#include "tests/files/FilesTestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

namespace {

struct Project {
    TestDir dir;
    std::shared_ptr<RecordingTreeDelegate> delegate = std::make_shared<RecordingTreeDelegate>();
    std::shared_ptr<FakeQueue> queue = std::make_shared<FakeQueue>();
    std::shared_ptr<RecordingDocument> doc = std::make_shared<RecordingDocument>();
    std::shared_ptr<QVRootFile> root;
    explicit Project(const QStringList& files) {
        for (const QString& f : files) dir.write(f, f.toUtf8());
        root = QVRootFile::create(dir.path(), false);
        root->setDelegate(delegate);
        root->children(true);
    }
    std::shared_ptr<QVFile> node(const QString& path) { return root->childWithPath(path.split('/'), true); }
    FakeRemote* remote(const std::shared_ptr<QVFile>& n) { return static_cast<FakeRemote*>(n->remoteRepresentation().get()); }
    // Connects the site and lists the root remotely with the given entries.
    void connect(const QVFileRepresentationList& entries) {
        root->setRemoteQueue(queue);
        for (const auto& entry : entries) static_cast<FakeRemote*>(entry.get())->setRemoteQueue(queue);
        remote(root)->delegate()->fileRepresentationDidLoadChildren(remote(root), entries);
        queue->requests.clear();
        delegate->events.clear();
    }
};

QVError remoteError() { return QVError::app(9, "File Operation Error", "550 refused"); }

}  // namespace

TEST(QVFileOperations, LocalOperationsRefuseOccupiedNamesAndSettleTheTree) {
    Project p({"a.txt", "b.txt", "sub/inside.txt", "zeta.txt"});
    auto a = p.node("a.txt");
    a->setDocument(p.doc);
    a->rename("b.txt");
    EXPECT_EQ(p.delegate->events, QStringList({"error 9"}));
    EXPECT_FALSE(a->hasPendingOperation());
    EXPECT_EQ(readAll(p.dir.file("b.txt")), "b.txt");

    p.delegate->events.clear();
    a->rename("z.txt");
    EXPECT_EQ(dumpTree(p.root), "b.txt[L]\nsub[L]\nz.txt[L]\nzeta.txt[L]\n");
    EXPECT_EQ(p.doc->events, QStringList({"path"}));
    EXPECT_EQ(readAll(p.dir.file("z.txt")), "a.txt");

    auto sub = p.node("sub");
    auto z = p.node("z.txt");
    EXPECT_TRUE(z->moveToFile(sub));
    EXPECT_EQ(z->path(), p.dir.file("sub/z.txt"));
    EXPECT_EQ(z->parent(), sub);
    p.dir.write("zeta-again", "");
    auto zeta = p.node("zeta.txt");
    p.dir.write("sub/zeta.txt", "occupied");
    sub->refresh(true);
    EXPECT_FALSE(zeta->moveToFile(sub));  // refused before anything moves
    EXPECT_EQ(zeta->parent(), p.root);
    EXPECT_EQ(readAll(p.dir.file("sub/zeta.txt")), "occupied");

    p.delegate->events.clear();
    zeta->duplicate();
    ASSERT_TRUE(p.delegate->lastCopy);
    EXPECT_EQ(p.delegate->lastCopy->name(), "zeta copy.txt");
    EXPECT_EQ(p.delegate->events, QStringList({"refresh " + p.root->name(), "duplicated zeta.txt zeta copy.txt"}));

    p.delegate->events.clear();
    p.node("zeta copy.txt")->moveToTrash();
    EXPECT_TRUE(runCommand("trash-list").contains(p.dir.file("zeta copy.txt")));
    QFile::link(p.dir.file("sub"), p.dir.file("link-to-sub"));
    p.root->refresh(true);
    p.node("link-to-sub")->deleteFile();
    EXPECT_EQ(p.delegate->events.filter("removed"), QStringList({"removed " + p.root->name() + "/zeta copy.txt",
                                                                 "removed " + p.root->name() + "/link-to-sub"}));
    EXPECT_TRUE(QFileInfo::exists(p.dir.file("sub/inside.txt")));  // the link went, not what it named
}

TEST(QVFileOperations, TwoSidedOperationsGoRemoteFirstAndSettleHalfFailures) {
    Project p({"both.html", "x.txt", "a/b/c.html", "moving.txt", "dest/keep"});
    p.connect({remoteEntry("both.html"), remoteEntry("y.txt"), remoteEntry("moving.txt"), remoteEntry("dest", true)});
    p.delegate->shouldUpload = true;

    // Saving a file in folders the site lacks makes them top down before the transfer.
    auto c = p.node("a/b/c.html");
    c->setDocument(p.doc);
    c->contentsDidChange();
    EXPECT_EQ(p.queue->requests, QStringList({"mkdir a", "mkdir a/b", "put a/b/c.html"}));
    EXPECT_TRUE(c->hasPendingOperation());
    EXPECT_EQ(c->indicator(), "");
    // The upload fails: the save ends with the document still edited, nothing shows as uploaded.
    c->remoteRepresentation()->delegate()->fileRepresentationFailed(c->remoteRepresentation().get(), QVFileOperation::Upload, remoteError());
    EXPECT_EQ(p.doc->events, QStringList({"failed 9"}));
    EXPECT_FALSE(c->hasPendingOperation());
    EXPECT_EQ(c->indicator(), "L");
    EXPECT_TRUE(p.delegate->events.contains("error 9"));

    // Two saves, the second made while the first one's transfer ran, which fails for it: the side
    // made for them stays for the second upload, whose end still reaches the document.
    p.doc->events.clear();
    c->contentsDidChange(1);
    c->contentsDidChange(2);
    const auto side = c->remoteRepresentation();
    side->delegate()->fileRepresentationFailed(side.get(), QVFileOperation::Upload, remoteError());
    ASSERT_TRUE(c->remoteRepresentation() == side);
    side->delegate()->fileRepresentationContentChangeFinished(side.get());
    EXPECT_EQ(p.doc->events, QStringList({"failed 9", "finished 2"}));
    EXPECT_FALSE(c->hasPendingOperation());
    EXPECT_EQ(c->indicator(), "");

    // Offline: the upload is queued, the save finishes at once and error 18 is shown.
    p.queue->requests.clear();
    p.delegate->events.clear();
    p.doc->events.clear();
    p.queue->online = false;
    auto both = p.node("both.html");
    both->setDocument(p.doc);
    both->contentsDidChange();
    EXPECT_EQ(p.queue->requests, QStringList({"put both.html"}));
    EXPECT_EQ(p.doc->events, QStringList({"finished"}));
    EXPECT_EQ(p.delegate->events, QStringList({"error 18"}));
    p.queue->online = true;

    // Download targets: a private folder per run for a two-sided file, the node's path when asked.
    QVError error;
    const QString target = both->pathForRemoteFileRepresentation(both->remoteRepresentation().get(), &error);
    EXPECT_EQ(target, QVFile::downloadFolder() + "/" + both->uuid() + "/both.html");
    EXPECT_TRUE(target.startsWith(ScratchFolder::path() + "/"));
    EXPECT_EQ(QFileInfo(QVFile::downloadFolder()).permissions() & 0x0077, 0);
    p.delegate->overwrite = true;
    EXPECT_EQ(both->pathForRemoteFileRepresentation(both->remoteRepresentation().get(), &error), both->path());
    p.delegate->overwrite.reset();

    // Rename x.txt (local only) onto y.txt (remote only): one node with both sides.
    auto x = p.node("x.txt");
    x->rename("y.txt");
    EXPECT_EQ(p.node("y.txt")->indicator(), "");
    EXPECT_EQ(p.root->childWithName("x.txt", false), nullptr);
    // A two-sided rename goes to the site first, then to the disk.
    p.queue->requests.clear();
    both->rename("renamed.html");
    EXPECT_EQ(p.queue->requests, QStringList({"rename both.html renamed.html"}));
    EXPECT_TRUE(QFileInfo::exists(p.dir.file("both.html")));
    p.remote(both)->renamed();
    EXPECT_TRUE(QFileInfo::exists(p.dir.file("renamed.html")));
    EXPECT_FALSE(both->hasPendingOperation());

    // Move: the disk first, then the site; the site refuses and the tree keeps one node per side.
    auto moving = p.node("moving.txt");
    auto dest = p.node("dest");
    p.queue->requests.clear();
    EXPECT_TRUE(moving->moveToFile(dest));
    EXPECT_EQ(p.queue->requests, QStringList({"move moving.txt dest/moving.txt"}));
    EXPECT_FALSE(moving->moveToFile(p.root));  // one move at a time
    moving->remoteRepresentation()->delegate()->fileRepresentationFailed(moving->remoteRepresentation().get(), QVFileOperation::Move,
                                                                         remoteError());
    EXPECT_EQ(p.node("moving.txt")->indicator(), "R");
    EXPECT_EQ(p.node("dest/moving.txt")->indicator(), "L");
    EXPECT_FALSE(moving->hasPendingOperation());
    EXPECT_TRUE(moving->moveToFile(p.root));  // the failed move no longer blocks

    // Delete: the site first; the local copy then goes to the Trash and the node leaves.
    p.queue->requests.clear();
    p.delegate->events.clear();
    auto renamed = p.node("renamed.html");
    renamed->deleteFile();
    EXPECT_EQ(p.queue->requests, QStringList({"rm renamed.html"}));
    EXPECT_TRUE(p.delegate->events.isEmpty());
    renamed->remoteRepresentation()->delegate()->fileRepresentationDidDelete(renamed->remoteRepresentation().get(), true);
    EXPECT_EQ(p.delegate->events, QStringList({"removed " + p.root->name() + "/renamed.html"}));
    EXPECT_TRUE(runCommand("trash-list").contains(p.dir.file("renamed.html")));
    EXPECT_FALSE(QFileInfo::exists(p.dir.file("renamed.html")));
}
