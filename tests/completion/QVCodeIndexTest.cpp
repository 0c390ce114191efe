// The code-index thread over real folders and a real "index.db": its lifecycle and wake-ups, the
// walk of folders, when a file is indexed again, the switch, and rules swapped while it runs.
#include "CodeIndexFixtures.h"

#include "completion/QVCodeIndex.h"
#include "completion/QVCodeIndexDatabase.h"
#include "languages/QVBundle.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "shell/StringHashing.h"

#include <QDirIterator>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <mutex>
#include <random>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace codeindex;

namespace {

constexpr int kWait = 30000;

QVariantMap languageRules(const QString& type = u"function"_qs) {
    return {{u"keys"_qs, QVariantList{keyRule(u"def (\\w+)"_qs, type)}},
            {u"external-files"_qs, QStringList{u"use '([^']+)'"_qs}},
            {u"tags"_qs, QStringList{u"module (\\w+)"_qs}}};
}

bool setModificationTime(const QString& path, time_t seconds, long nanoseconds) {
    const timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

// The paths of QVFileIndexInvalidated posts, in order, and whether any came off the main thread.
class Recorder {
public:
    explicit Recorder(const void* index) {
        _token = NotificationCenter::defaultCenter().addObserver(
            QString::fromLatin1(QVFileIndexInvalidated), index, [this](const Notification& note) {
                std::lock_guard locker(_lock);
                const QVariant path = note.userInfo.value(QString::fromLatin1(QVFileIndexInvalidatedPathKey));
                _paths << (path.isValid() ? path.toString() : u"<switched on>"_qs);
                if (!MainQueue::isMainThread()) ++_offMainThread;
            });
    }
    ~Recorder() { NotificationCenter::defaultCenter().removeObserver(_token); }
    // What was delivered once the main queue has run.
    QStringList take() {
        MainQueue::drain();
        std::lock_guard locker(_lock);
        return std::exchange(_paths, {});
    }
    int offMainThread() {
        std::lock_guard locker(_lock);
        return _offMainThread;
    }

private:
    NotificationCenter::Token _token = 0;
    std::mutex _lock;
    QStringList _paths;
    int _offMainThread = 0;
};

}  // namespace

class QVCodeIndexTest : public CodeIndexSandbox {
protected:
    void SetUp() override {
        CodeIndexSandbox::SetUp();
        writeBundle(u"Lang"_qs, u"text.t"_qs, {u"t"_qs}, languageRules());
        repository = makeRepository();
    }
    void TearDown() override {
        index.reset();
        CodeIndexSandbox::TearDown();
    }
    void makeIndex(const QString& path = {}) {
        index = std::make_unique<QVCodeIndex>(path.isEmpty() ? indexPath() : path, defaults.get(), repository.get());
    }
    // The sorted key texts visible from the file.
    QStringList keysOf(const QString& file) {
        const auto keys = index->keysForType(QString(), u"text.t"_qs, file);
        if (!keys) return {u"NONE"_qs};
        QStringList texts;
        for (const QVCodeIndexKey& k : *keys) texts << k.key();
        texts.sort();
        return texts;
    }
    QString lastUpdate(const QString& file) {
        RawDatabase raw(indexPath());
        return raw.value(QStringLiteral("SELECT last_update FROM files WHERE path='%1'")
                             .arg(StringHashing::md5(QDir::cleanPath(file)).value_or(QString())));
    }

    std::unique_ptr<QVBundleRepository> repository;
    std::unique_ptr<QVCodeIndex> index;
};

TEST_F(QVCodeIndexTest, IndexesQueuedFilesOnItsOwnThreadFromStartToStop) {
    makeIndex();
    Recorder recorder(index.get());
    const QString a = files.write(u"a.t"_qs, "def alpha\nuse 'b.t'\n");
    const QString b = files.write(u"b.t"_qs, "def beta\n");
    index->indexFile(a);
    index->indexFile(QString());  // ignored
    EXPECT_EQ(index->queueCount(), 1);
    EXPECT_FALSE(index->isRunning());
    EXPECT_FALSE(index->keysForType(QString(), u"text.t"_qs, a));  // nothing open yet

    index->start();
    index->start();
    EXPECT_TRUE(index->isRunning());
    ASSERT_TRUE(index->waitUntilIdle(kWait));
    // A referred-to file gets its row, but is not indexed for that.
    EXPECT_EQ(keysOf(a), QStringList{u"alpha"_qs});
    EXPECT_EQ(lastUpdate(b), u"NULL"_qs);
    index->indexFile(b);
    ASSERT_TRUE(index->waitUntilIdle(kWait));
    EXPECT_EQ(keysOf(a), QStringList({u"alpha"_qs, u"beta"_qs}));
    EXPECT_EQ(recorder.take(), QStringList({a, b}));
    EXPECT_EQ(recorder.offMainThread(), 0);

    // Its scheduling priority is the lowest there is.
    bool lowest = false;
    for (const QString& task : QDir(u"/proc/self/task"_qs).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QList<QByteArray> fields = readAll(u"/proc/self/task/"_qs + task + u"/stat"_qs).split(')').last().split(' ');
        if (fields.size() > 17 && fields.at(17) == "19") lowest = true;
    }
    EXPECT_TRUE(lowest);

    // Stopped, it keeps what is queued for the next start.
    index->stop();
    EXPECT_FALSE(index->isRunning());
    files.write(u"a.t"_qs, "def alpha2\nuse 'b.t'\n");
    setModificationTime(a, 2000000000, 0);
    index->indexFile(a);
    EXPECT_EQ(index->queueCount(), 1);
    index->start();
    ASSERT_TRUE(index->waitUntilIdle(kWait));
    EXPECT_EQ(index->queueCount(), 0);
    EXPECT_EQ(keysOf(a), QStringList({u"alpha2"_qs, u"beta"_qs}));
    EXPECT_EQ(recorder.take(), QStringList{a});
}

// A quit ends the process while the index thread, never stopped, waits after opening its file
// (or still opens it): the exit's static destructors must leave alone what that thread reads. In a
// child of its own.
TEST_F(QVCodeIndexTest, AQuitWhileTheThreadRunsEndsCleanly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            makeIndex();
            index->start();
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(QVCodeIndexTest, NoWakeUpIsLost) {
    makeIndex();
    index->start();
    ASSERT_TRUE(index->waitUntilIdle(kWait));
    constexpr int kThreads = 4;
    constexpr int kFilesPerThread = 60;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            std::mt19937 random{unsigned(t)};
            for (int i = 0; i < kFilesPerThread; ++i) {
                const QString path = files.write(QStringLiteral("w%1/f%2.t").arg(t).arg(i),
                                                 QStringLiteral("def k%1_%2\n").arg(t).arg(i).toUtf8());
                index->indexFile(path);
                // Sometimes right after the thread went to sleep, sometimes while it works.
                if (random() % 3 == 0) std::this_thread::sleep_for(std::chrono::microseconds(random() % 500));
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    ASSERT_TRUE(index->waitUntilIdle(kWait));
    const auto all = index->keysForType(QString(), u"text.t"_qs, QString());
    ASSERT_TRUE(all);
    EXPECT_EQ(all->size(), kThreads * kFilesPerThread);
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kFilesPerThread; i += 7)
            EXPECT_EQ(keysOf(files.file(QStringLiteral("w%1/f%2.t").arg(t).arg(i))),
                      QStringList{QStringLiteral("k%1_%2").arg(t).arg(i)});
}

TEST_F(QVCodeIndexTest, WalksFoldersBreadthFirstAndSkipsTheirOwnNames) {
    const QStringList indexed = {u"a.t"_qs,         u".hidden.t"_qs,       u"sub/b.t"_qs,
                                 u".hidden/d.t"_qs, u"sub/deep/c.t"_qs,    u"sub/deep/deeper/e.t"_qs};
    const QStringList skipped = {u".svn/s.t"_qs, u"CVS/c.t"_qs, u"ABCVS/g.t"_qs, u"sub/.tmp_Qorvel1234.t"_qs,
                                 u"x.svn/h.t"_qs};
    for (const QString& name : indexed + skipped)
        files.write(u"root/"_qs + name, QStringLiteral("def %1\n").arg(QFileInfo(name).baseName().remove(u'.')).toUtf8());
    files.write(u"root/notes.txt"_qs, "def notes\n");

    makeIndex();
    Recorder recorder(index.get());
    index->start();
    index->indexDirectory(files.file(u"root/"_qs));
    ASSERT_TRUE(index->waitUntilIdle(kWait));

    const QStringList posted = recorder.take();
    QStringList relative;
    int depth = 0;
    for (const QString& path : posted) {
        const QString name = path.mid(files.file(u"root/"_qs).size());
        relative << name;
        EXPECT_GE(name.count(u'/'), depth) << "not breadth first: " << name.toStdString();
        depth = int(name.count(u'/'));
    }
    QStringList expected = indexed;
    expected.sort();
    relative.sort();
    EXPECT_EQ(relative, expected);
    for (const QString& name : skipped) EXPECT_EQ(lastUpdate(files.file(u"root/"_qs + name)), QString()) << name.toStdString();
    EXPECT_EQ(lastUpdate(files.file(u"root/notes.txt"_qs)), QString());
    EXPECT_TRUE(QVCodeIndex::skipsPath(u"/x/ABCVS"_qs));
    EXPECT_FALSE(QVCodeIndex::skipsPath(u"/x/.tmp_Qorvel/a.t"_qs));
}

TEST_F(QVCodeIndexTest, SymbolicLinkLoopsAreWalkedOnce) {
    const QString root = files.file(u"root"_qs);
    files.write(u"root/x.t"_qs, "def x\n");
    files.write(u"root/sub/y.t"_qs, "def y\n");
    ASSERT_EQ(::symlink("..", QFile::encodeName(root + u"/sub/up"_qs).constData()), 0);
    ASSERT_EQ(::symlink(".", QFile::encodeName(root + u"/sub/self"_qs).constData()), 0);
    ASSERT_EQ(::symlink("missing", QFile::encodeName(root + u"/dead.t"_qs).constData()), 0);
    ASSERT_EQ(::symlink("loop2.t", QFile::encodeName(root + u"/loop1.t"_qs).constData()), 0);
    ASSERT_EQ(::symlink("loop1.t", QFile::encodeName(root + u"/loop2.t"_qs).constData()), 0);
    ASSERT_EQ(::symlink("x.t", QFile::encodeName(root + u"/alias.t"_qs).constData()), 0);

    makeIndex();
    Recorder recorder(index.get());
    index->start();
    index->indexDirectory(root);
    ASSERT_TRUE(index->waitUntilIdle(kWait));
    QStringList posted = recorder.take();
    posted.sort();
    EXPECT_EQ(posted, QStringList({root + u"/alias.t"_qs, root + u"/sub/y.t"_qs, root + u"/x.t"_qs}));
    EXPECT_EQ(index->queueCount(), 0);

    // A later walk of the same tree is a walk of its own.
    files.write(u"root/sub/y.t"_qs, "def y2\n");
    setModificationTime(root + u"/sub/y.t"_qs, 2000000000, 1);
    index->indexDirectory(root);
    ASSERT_TRUE(index->waitUntilIdle(kWait));
    EXPECT_EQ(recorder.take(), QStringList{root + u"/sub/y.t"_qs});
}

TEST_F(QVCodeIndexTest, AnyChangeOfTheModificationTimeIndexesTheFileAgain) {
    const QString a = files.write(u"a.t"_qs, "def first\n");
    makeIndex();
    Recorder recorder(index.get());
    index->start();
    struct Step {
        const char* name;
        QByteArray text;  // empty: left as it is
        time_t seconds;
        long nanoseconds;
        bool reindexed;
        QStringList keys;
    };
    const Step steps[] = {
        {"first time", "def first\n", 1700000000, 500, true, {u"first"_qs}},
        {"queued again unchanged", {}, 1700000000, 500, false, {u"first"_qs}},
        {"saved again 100 ns later, same second", "def second\n", 1700000000, 600, true, {u"second"_qs}},
        {"changed, time put back exactly", "def hidden\n", 1700000000, 600, false, {u"second"_qs}},
        {"an older time", "def older\n", 1600000000, 0, true, {u"older"_qs}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        if (!step.text.isEmpty()) files.write(u"a.t"_qs, step.text);
        ASSERT_TRUE(setModificationTime(a, step.seconds, step.nanoseconds));
        index->indexFile(a);
        ASSERT_TRUE(index->waitUntilIdle(kWait));
        EXPECT_EQ(recorder.take().size(), step.reindexed ? 1 : 0);
        EXPECT_EQ(keysOf(a), step.keys);
        EXPECT_EQ(lastUpdate(a), QString::number(qint64(step.seconds) * 1000000000LL + step.nanoseconds));
    }
}

TEST_F(QVCodeIndexTest, SwitchedOffItQueuesButNeitherIndexesNorAnswers) {
    const QString a = files.write(u"a.t"_qs, "def alpha\n");
    makeIndex();
    Recorder recorder(index.get());
    index->start();
    ASSERT_TRUE(index->waitUntilIdle(kWait));
    index->setEnabled(false);
    EXPECT_FALSE(defaults->boolForKey(QString::fromLatin1(QVCodeIndexingEnabled)));
    EXPECT_FALSE(index->keysForType(QString(), QString(), a));
    for (int i = 0; i < 3; ++i) index->indexFile(a);
    ASSERT_TRUE(index->waitUntilIdle(kWait));
    EXPECT_EQ(index->queueCount(), 3);
    EXPECT_EQ(lastUpdate(a), QString());
    index->setEnabled(false);
    EXPECT_EQ(recorder.take(), QStringList());

    // The preference turned back on reaches the index, which works off its queue.
    defaults->setBool(true, QString::fromLatin1(QVCodeIndexingEnabled));
    EXPECT_TRUE(index->enabled());
    ASSERT_TRUE(index->waitUntilIdle(kWait));
    EXPECT_EQ(index->queueCount(), 0);
    // Processed three times; only the first found it changed.
    EXPECT_EQ(recorder.take(), QStringList({u"<switched on>"_qs, a}));
    EXPECT_EQ(keysOf(a), QStringList{u"alpha"_qs});
}

TEST_F(QVCodeIndexTest, OnlyRegularFilesAreRead) {
    const QString pipe = files.file(u"pipe.t"_qs);
    ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    const QString after = files.write(u"after.t"_qs, "def after\n");
    makeIndex();
    index->start();
    index->indexFile(pipe);
    index->indexFile(after);
    ASSERT_TRUE(index->waitUntilIdle(kWait));
    EXPECT_EQ(keysOf(after), QStringList{u"after"_qs});
    EXPECT_EQ(lastUpdate(pipe), QString());
}

TEST_F(QVCodeIndexTest, AFileWhoseTransactionFailsIsNotMarkedCurrent) {
    const QString a = files.write(u"a.t"_qs, "def good\ndef poison\ndef later\nmodule M\n");
    makeIndex();
    Recorder recorder(index.get());
    index->start();
    ASSERT_TRUE(index->waitUntilIdle(kWait));
    {
        RawDatabase raw(indexPath());
        ASSERT_TRUE(raw.exec(u"CREATE TRIGGER poison BEFORE INSERT ON keys WHEN NEW.key='poison' "
                             "BEGIN SELECT RAISE(ABORT, 'poisoned key'); END"_qs));
    }
    index->indexFile(a);
    ASSERT_TRUE(index->waitUntilIdle(kWait));
    EXPECT_EQ(recorder.take(), QStringList());
    EXPECT_EQ(keysOf(a), QStringList());
    EXPECT_EQ(lastUpdate(a), QString());  // not even its row was kept
    {
        RawDatabase raw(indexPath());
        EXPECT_EQ(raw.value(u"SELECT count(*) FROM tags"_qs), u"0"_qs);
        ASSERT_TRUE(raw.exec(u"DROP TRIGGER poison"_qs));
    }
    // Unchanged on disk, but not current in the index: queued again, it is indexed.
    index->indexFile(a);
    ASSERT_TRUE(index->waitUntilIdle(kWait));
    EXPECT_EQ(recorder.take(), QStringList{a});
    EXPECT_EQ(keysOf(a), QStringList({u"good"_qs, u"later"_qs, u"poison"_qs}));
}

TEST_F(QVCodeIndexTest, ADatabaseThatCannotBeMadeIsTriedAgainLater) {
    // The folder of the database cannot be made while a file stands where it should be.
    const QString blocker = files.write(u"support"_qs, "in the way");
    const QString database = blocker + u"/index.db"_qs;
    const QString a = files.write(u"a.t"_qs, "def alpha\n");
    makeIndex(database);
    index->start();
    index->indexFile(a);
    ASSERT_TRUE(index->waitUntilIdle(kWait));
    EXPECT_FALSE(index->database().isOpen());
    EXPECT_FALSE(index->keysForType(QString(), u"text.t"_qs, a));

    ASSERT_TRUE(QFile::remove(blocker));
    index->indexFile(a);
    ASSERT_TRUE(index->waitUntilIdle(kWait));
    EXPECT_TRUE(index->database().isOpen());
    EXPECT_EQ(keysOf(a), QStringList{u"alpha"_qs});
}

TEST_F(QVCodeIndexTest, RulesSwappedWhileTheThreadRunsThemStayWhole) {
    constexpr int kFiles = 150;
    constexpr int kKeys = 25;
    QStringList paths;
    for (int f = 0; f < kFiles; ++f) {
        QByteArray text;
        for (int k = 0; k < kKeys; ++k) text += QStringLiteral("def f%1k%2\n").arg(f).arg(k).toUtf8();
        paths << files.write(QStringLiteral("swap/f%1.t").arg(f), text);
    }
    makeIndex();
    index->start();
    const auto bundle = repository->bundleForIdentifier(u"text.t"_qs);
    ASSERT_TRUE(bundle);

    index->indexDirectory(files.file(u"swap"_qs));
    // The preferences save new rules and tell the bundles, again and again, while files are
    // being indexed with the rules in hand.
    int swaps = 0;
    for (int round = 0; round < 4; ++round) {
        while (index->queueCount() > 0 || swaps < 20 * (round + 1)) {
            writeRules(u"Lang"_qs, languageRules(swaps % 2 ? u"one"_qs : u"two"_qs));
            NotificationCenter::defaultCenter().post(QVBundle::PrefsClosedNotification);
            ++swaps;
        }
        ASSERT_TRUE(index->waitUntilIdle(kWait));
        for (int f = 0; f < kFiles; ++f) setModificationTime(paths.at(f), 1700000000 + round, f);
        index->indexDirectory(files.file(u"swap"_qs));
    }
    ASSERT_TRUE(index->waitUntilIdle(kWait));
    EXPECT_GT(swaps, 20);

    // Every file's keys come from one set of rules, whole.
    for (const QString& path : paths) {
        const auto keys = index->keysForType(QString(), u"text.t"_qs, path);
        ASSERT_TRUE(keys);
        ASSERT_EQ(keys->size(), kKeys) << path.toStdString();
        QSet<QString> types;
        for (const QVCodeIndexKey& k : *keys) types.insert(k.type());
        EXPECT_EQ(types.size(), 1) << path.toStdString();
    }
}
