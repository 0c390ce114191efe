#include "files/QVFileEnumerator.h"
#include "files/QVLocalFileRepresentation.h"
#include "files/QVRootFile.h"
#include "files/NodePool.h"
#include "platform/FileName.h"
#include "platform/MainQueue.h"
#include "tests/files/FilesTestSupport.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#if !QORVEL_SANITIZED
// The heap allocations this thread makes while counting: the program's malloc, handing on to the
// C library's own.
extern "C" void* __libc_malloc(size_t size);
namespace {
thread_local bool countingAllocations = false;
thread_local quint64 allocations = 0;
}  // namespace
extern "C" void* malloc(size_t size) {
    if (countingAllocations) ++allocations;
    return __libc_malloc(size);
}
#endif

namespace {

struct Tree {
    TestDir dir;
    std::shared_ptr<RecordingTreeDelegate> delegate = std::make_shared<RecordingTreeDelegate>();
    std::shared_ptr<FakeQueue> queue = std::make_shared<FakeQueue>();
    std::shared_ptr<QVRootFile> root;
    explicit Tree(const QStringList& files, bool watch = false) {
        for (const QString& f : files) {
            if (f.endsWith('/')) QDir().mkpath(dir.file(f));
            else dir.write(f, f.toUtf8());
        }
        root = QVRootFile::create(dir.path(), watch);
        root->setDelegate(delegate);
    }
    FakeRemote* remoteOf(const std::shared_ptr<QVFile>& node) { return static_cast<FakeRemote*>(node->remoteRepresentation().get()); }
};

class StatusEntry : public QVSCMStatusEntry {
public:
    StatusEntry(QString p, qint32 s, QString l) : _p(std::move(p)), _s(s), _l(std::move(l)) {}
    QString path() const override { return _p; }
    qint32 workingCopyStatus() const override { return _s; }
    QString workingCopyStatusLetter() const override { return _l; }
    QString _p;
    qint32 _s;
    QString _l;
};

}  // namespace

TEST(QVFileTree, MergesBothSidesByExactNameInCaseInsensitiveOrderUnderTheFilters) {
    Tree t({"c", "a", "B", "Index.html", ".git/HEAD", "css/site.css", "gone.txt", "both.txt", "old/inner.txt"});
    EXPECT_EQ(t.root->countOfChildren(), 8);
    t.root->setRemoteQueue(t.queue);
    EXPECT_EQ(t.queue->requests, QStringList({"list "}));
    auto* remote = t.remoteOf(t.root);
    remote->delegate()->fileRepresentationDidLoadChildren(
        remote, {remoteEntry("index.html"), remoteEntry("b"), remoteEntry("both.txt"), remoteEntry(".svn", true), remoteEntry("css", true)});
    EXPECT_EQ(dumpTree(t.root), "a[L]\nB[L]\nb[R]\nboth.txt[]\nc[L]\ncss[]\ngone.txt[L]\nIndex.html[L]\nindex.html[R]\nold[L]\n");
    EXPECT_EQ(t.root->childWithName("Index.html", false)->indicator(), "L");
    EXPECT_EQ(t.root->childWithName("INDEX.HTML", false), nullptr);
    EXPECT_EQ(t.delegate->events.count("refresh " + t.root->name()), 1);  // a remote listing redraws, a local one not

    // Reloads: a name gone locally leaves the tree unless the site still has it; its document hears.
    auto doc = std::make_shared<RecordingDocument>();
    t.root->childWithName("gone.txt", false)->setDocument(doc);
    auto both = t.root->childWithName("both.txt", false);
    QFile::remove(t.dir.file("gone.txt"));
    QFile::remove(t.dir.file("both.txt"));
    t.dir.write("new.txt", "n");
    t.dir.write(".DS_Store", "hidden");
    auto old = t.root->childWithName("old", false);
    old->children(true);
    QDir(t.dir.file("old")).removeRecursively();
    t.dir.write("old", "now a file");
    t.root->refresh(true);
    EXPECT_FALSE(old->isFolder());
    EXPECT_EQ(old->countOfChildren(), 0);
    EXPECT_EQ(doc->events, QStringList({"disappeared"}));
    EXPECT_EQ(t.root->childWithName("gone.txt", false), nullptr);
    EXPECT_EQ(both->indicator(), "R");
    EXPECT_EQ(both->activeRepresentation(), 1);
    EXPECT_TRUE(t.root->childWithName("new.txt", false) != nullptr);
    EXPECT_EQ(t.root->childWithName(".DS_Store", false), nullptr);
    remote->delegate()->fileRepresentationDidReloadChildren(remote, {remoteEntry("b"), remoteEntry("css", true)});
    EXPECT_EQ(t.root->childWithName("both.txt", false), nullptr);
    EXPECT_EQ(t.root->childWithName("index.html", false), nullptr);
    EXPECT_EQ(t.root->childWithName("css", false)->indicator(), "");

    // In a remote-only tree a local listing never adds a local side.
    t.root->setRemoteOnly(true);
    t.dir.write("b", "now local");
    t.root->refresh(true);
    EXPECT_EQ(t.root->childWithName("b", false)->indicator(), "R");

    // Paths, status entries, and the inert root of an untitled window.
    auto site = t.root->childWithPath({"css", "site.css"}, false);
    ASSERT_TRUE(site);
    EXPECT_EQ(site->pathFromRoot(), "css/site.css");
    EXPECT_EQ(site->pathFromRootForPath("/elsewhere/x"), "/elsewhere/x");
    EXPECT_EQ(t.root->pathFromRoot(), "");
    t.root->setChildrenSCMStatusFromEntries({std::make_shared<StatusEntry>("css/site.css", 5, "M"),
                                             std::make_shared<StatusEntry>("new.txt", 8, "?")});
    EXPECT_TRUE(site->hasLocalModifications());
    EXPECT_EQ(site->scmStatusLetter(), "M");
    EXPECT_FALSE(t.root->childWithName("new.txt", false)->isInRepository());
    t.root->clearSCMStatus(false);
    EXPECT_EQ(site->scmStatusLetter(), "M");
    t.root->clearSCMStatus(true);
    EXPECT_TRUE(site->scmStatusLetter().isEmpty());
    EXPECT_TRUE(site->isInRepository());

    auto inert = QVRootFile::createInert();
    EXPECT_TRUE(inert->path().isEmpty());
    EXPECT_EQ(inert->countOfChildren(), 0);
    EXPECT_EQ(inert->childWithPath({"a"}, true), nullptr);
    EXPECT_EQ(inert->fileWatcher(), nullptr);
}

// Names in ASCII and beyond it sort together by their case-folded form, whatever their first
// eight units (by which most are ordered) have in common, and whether or not those fit in a byte.
TEST(QVFileTree, NamesSortByTheirFoldedFormWhateverTheirFirstUnits) {
    const std::vector<QStringList> sorted = {
        {"alpha", "ALPHA2", "sSa", "Zeta", QStringLiteral("Ébène"), QStringLiteral("éclair")},
        {"abcdefgh", "abcdefgha", "ABCDEFGHb", "abcdefghZ", "abcdefgI"},
        {"z", QStringLiteral("þz"), QStringLiteral("ÿa"), QStringLiteral("āz"), QStringLiteral("Ăa"), QStringLiteral("ąb")},
        {"Zeta", FileName::decode(QByteArray("\xfe" "a")), FileName::decode(QByteArray("\xff" "b")), FileName::decode(QByteArray("\xff" "c"))},
    };
    for (const QStringList& expected : sorted) {
        TestDir dir;
        // Made in reverse, so that an order kept from the making would show.
        for (qsizetype i = expected.size(); i-- > 0;)
            ASSERT_TRUE(writeBytes(FileName::encode(dir.file(expected[i])), "x"));
        const auto root = QVRootFile::create(dir.path(), false);
        QStringList names;
        for (const auto& child : root->children(true)) names << child->name();
        EXPECT_EQ(names, expected);
    }
}

TEST(QVFileTree, RootLookupWalkAndQueueChanges) {
    Tree t({"a/x", "b", "css/site.css"});
    const QStringList rootParts = t.dir.path().split('/');
    struct Case {
        QStringList components;
        QString found;
    };
    const std::vector<Case> cases = {
        {rootParts, t.root->name()},
        {rootParts + QStringList{"css", "site.css"}, ""},  // not listed, not loaded, and not left empty
        {QStringList{"css", "site.css"}, "site.css"},      // relative paths always load
        {rootParts + QStringList{"css", "site.css"}, "site.css"},
        {QStringList{"", "elsewhere"} + rootParts.mid(1) + QStringList{"b"}, ""},  // holds the root's path, not inside it
        {rootParts + QStringList{"missing"}, ""},
    };
    for (const Case& c : cases) {
        auto node = t.root->childWithPath(c.components, false);
        EXPECT_EQ(node ? node->name() : QString(), c.found) << c.components.join('/').toStdString();
    }

    // Breadth first; a link back to an ancestor is met once and not entered.
    Tree walk({"a/x", "b"});
    QFile::link("..", walk.dir.file("a/loop"));
    QVFileEnumerator enumerator(walk.root);
    QStringList names;
    // The path the walk puts together is the one the node gives, the root's and "/"'s too.
    while (auto node = enumerator.nextObject()) {
        names << node->name();
        EXPECT_EQ(enumerator.path(), node->path());
    }
    EXPECT_EQ(names, QStringList({walk.root->name(), "a", "b", "loop", "x"}));
    EXPECT_TRUE(enumerator.path().isEmpty());
    QVFileEnumerator top(QVRootFile::create(QStringLiteral("/"), false));
    for (int i = 0; i < 3; ++i)
        if (auto node = top.nextObject()) {
            EXPECT_EQ(top.path(), node->path());
        }
    QVFileEnumerator skipping(walk.root);
    names.clear();
    while (auto node = skipping.nextObject()) {
        if (node->name() == "a") skipping.skipDescendants();
        names << skipping.path().mid(walk.root->path().size());
    }
    EXPECT_EQ(names, QStringList({"", "/a", "/b"}));

    // A new queue takes every remote side of the loaded tree along, files too.
    walk.root->setRemoteQueue(walk.queue);
    EXPECT_EQ(walk.queue->requests, QStringList({"list ", "list a"}));
    walk.root->setRemoteQueue(walk.queue);
    EXPECT_EQ(walk.queue->requests.size(), 2);
    auto* remote = walk.remoteOf(walk.root);
    remote->delegate()->fileRepresentationDidLoadChildren(remote, {remoteEntry("b")});
    auto other = std::make_shared<FakeQueue>();
    walk.root->setRemoteQueue(other);
    EXPECT_EQ(walk.root->childWithName("b", false)->remoteRepresentation()->remoteQueue(), other);
    EXPECT_EQ(walk.root->remoteRepresentation()->remoteQueue(), other);
    EXPECT_EQ(other->requests, QStringList({"relist ", "relist a"}));
    EXPECT_GE(walk.queue->detached, 1);

    // A tree never listed loads nothing; a plain file or an unwatched root gets no watcher.
    Tree fresh({"f"});
    fresh.root->setRemoteQueue(fresh.queue);
    EXPECT_TRUE(fresh.queue->requests.isEmpty());
    EXPECT_EQ(fresh.root->fileWatcher(), nullptr);
    EXPECT_EQ(QVRootFile::create(fresh.dir.file("f"))->fileWatcher(), nullptr);
    EXPECT_NE(QVRootFile::create(fresh.dir.path())->fileWatcher(), nullptr);
}

// The walk's cost in the file system: each folder is looked up once, to be opened (its identity
// read from the open folder), and no plain file or folder is looked up on its own; only a link
// is, for the type it leads to, and a link to a folder is opened to learn whether it was entered.
TEST(QVFileTree, WalkLooksUpEachFolderOnceAndNoPlainEntry) {
    QStringList files;
    for (int i = 0; i < 20; ++i) files << QStringLiteral("s%1/p.html").arg(i) << QStringLiteral("s%1/q.css").arg(i)
                                       << QStringLiteral("s%1/inner/x.js").arg(i);
    Tree t(files);
    QFile::link("..", t.dir.file("s0/up"));
    QFile::link("p.html", t.dir.file("s1/link.html"));
    const int folders = 1 + 20 + 20, folderLinks = 1, fileLinks = 1;
    const quint64 before = QVLocalFolder::pathLookups();
    QVFileEnumerator walk(QVRootFile::create(t.dir.path(), false));
    int nodes = 0;
    while (walk.nextObject()) ++nodes;
    EXPECT_EQ(nodes, 1 + 20 * 5 + folderLinks + fileLinks);
    // The root's own type, one opening per folder, and the links.
    EXPECT_EQ(QVLocalFolder::pathLookups() - before, quint64(1 + folders + 2 * folderLinks + fileLinks));

    // Listing a folder of links looks up the folder alone: a link's type is read when asked.
    const auto s1 = QVRootFile::create(t.dir.file("s1"), false);
    const quint64 listed = QVLocalFolder::pathLookups();
    EXPECT_EQ(s1->countOfChildren(), 4);
    EXPECT_EQ(QVLocalFolder::pathLookups() - listed, 1u);
}

// What a walk asks of the heap: an entry's name alone, the node and its local side coming from
// the pools' blocks (a few per thousand entries), and a few allocations per folder.
TEST(QVFileTree, WalkAllocatesLittleMoreThanEachEntrysName) {
    if (!NodePool::Pooled) GTEST_SKIP() << "the sanitizers' heap";
#if !QORVEL_SANITIZED
    struct Case {
        int folders, files;
        const char* name;  // of each file; %1 its number
    };
    for (const Case& c : {Case{1, 120, "page-%1.html"}, Case{4, 30, "Section-%1.CSS"}, Case{12, 2, "a%1"}}) {
        TestDir dir;
        for (int f = 0; f < c.folders; ++f) {
            QDir().mkpath(dir.file(QStringLiteral("f%1").arg(f)));
            for (int i = 0; i < c.files; ++i)
                ASSERT_TRUE(writeBytes(FileName::encode(dir.file(QStringLiteral("f%1/").arg(f) + QString::fromLatin1(c.name).arg(i))), {}));
        }
        const quint64 blocks = NodePool::blocks.load();
        QVFileEnumerator walk(QVRootFile::create(dir.path(), false));
        int entries = 0;
        allocations = 0;
        countingAllocations = true;
        while (walk.nextObject()) ++entries;
        countingAllocations = false;
        ASSERT_EQ(entries, 1 + c.folders * (1 + c.files));
        // A capital in a name costs its folded copy, to sort by.
        const bool capitals = QString::fromLatin1(c.name).toLower() != QString::fromLatin1(c.name);
        // The walk's queue takes a block for every ten entries or so.
        const quint64 perEntry = capitals ? 2 : 1, perFolder = 10;
        EXPECT_LE(allocations, perEntry * quint64(entries) + quint64(entries) / 8 + perFolder * quint64(c.folders + 1)) << c.name;
        // Taken from the system whole, and only as the pools run out: nodes let go are used again.
        EXPECT_LE(NodePool::blocks.load() - blocks, quint64(entries) / 500 + 2) << c.name;
    }
#endif
}

TEST(QVFileTree, FollowsOutsideChangesAndSavesBelowAnyChild) {
    Tree t({"sub/old.txt", "page.html"}, true);
    t.root->setExpanded(true);
    t.root->startWatching();
    auto sub = t.root->childWithName("sub", true);
    sub->setExpanded(true);
    sub->children(true);
    sub->startWatching();
    auto doc = std::make_shared<RecordingDocument>();
    auto page = t.root->childWithName("page.html", false);
    page->setDocument(doc);

    t.dir.write("sub/new.txt", "n");
    QFile::remove(t.dir.file("sub/old.txt"));
    t.dir.write("page.html", "edited outside");
    EXPECT_TRUE(MainQueue::runUntil([&] { return sub->childWithName("new.txt", false) && !sub->childWithName("old.txt", false) &&
                                                 doc->events.contains("changed"); },
                                    std::chrono::seconds(10)))
        << dumpTree(t.root).toStdString() << doc->events.join(',').toStdString();

    // A node let go while its hop to the main queue waits is simply not called.
    {
        auto doomed = QVFile::create(t.dir.file("page.html"), nullptr);
        doomed->watcherNoticedChange(QVFileWatcherEventWrite);
    }
    MainQueue::drain();

    // A file saved in folders the tree has not seen gets the folder nodes between.
    doc->events.clear();
    t.dir.write("deep/er/saved.html", "s");
    auto saved = t.root->addFileAtPath(t.dir.file("deep/er/saved.html"));
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->path(), t.dir.file("deep/er/saved.html"));
    EXPECT_EQ(t.root->childWithPath({"deep", "er", "saved.html"}, false), saved);
    EXPECT_EQ(t.root->addFileAtPath(t.dir.file("deep/er/saved.html")), saved);
    EXPECT_EQ(t.root->addFileAtPath("/outside/x"), nullptr);
    page->contentsDidChange();
    EXPECT_EQ(doc->events, QStringList({"finished"}));
}
