// The inotify file watcher on real files: event bits per watch type, storms, stop and lifetime races.
//
// "Reported" below means: one watcherNoticedChange call on a watched object. A change is reported
// when a call carrying its bit reaches the object after the change; it is reported twice when one
// kernel change leads to two calls. Every test ends with a fence (a change to a control file,
// waited for) so that whatever the watcher would still deliver has been delivered.
#include "platform/QVKQueue.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QUuid>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <sys/mount.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class Probe : public QVWatchedFile {
public:
    explicit Probe(QString path) : _path(std::move(path)), _uuid(QUuid::createUuid().toString()) {}

    QString path() const override {
        std::lock_guard<std::mutex> locker(_mutex);
        return _path;
    }
    QString uuid() const override { return _uuid; }
    void watcherNoticedChange(quint64 events) override {
        if (onChange) onChange(events);
        std::lock_guard<std::mutex> locker(_mutex);
        _calls.push_back(events);
        _last = Clock::now();
        _changed.notify_all();
    }

    void setPath(const QString& path) {
        std::lock_guard<std::mutex> locker(_mutex);
        _path = path;
    }
    bool waitForCalls(size_t count, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock<std::mutex> locker(_mutex);
        return _changed.wait_for(locker, timeout, [&] { return _calls.size() >= count; });
    }
    std::vector<quint64> calls() const {
        std::lock_guard<std::mutex> locker(_mutex);
        return _calls;
    }
    quint64 allBits() const {
        quint64 bits = 0;
        for (quint64 c : calls()) bits |= c;
        return bits;
    }
    Clock::time_point lastCall() const {
        std::lock_guard<std::mutex> locker(_mutex);
        return _last;
    }

    std::function<void(quint64)> onChange;  // runs first, on the watcher's thread

private:
    mutable std::mutex _mutex;
    std::condition_variable _changed;
    QString _path;
    const QString _uuid;
    std::vector<quint64> _calls;
    Clock::time_point _last{};
};

void appendTo(const QString& path, const QByteArray& bytes = "x") {
    // One write(2), so one kernel modification event.
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(fd, 0) << path.toStdString();
    ASSERT_EQ(::write(fd, bytes.constData(), size_t(bytes.size())), bytes.size());
    ::close(fd);
}

// Waits until everything the watcher read before now has been delivered: events of one watcher
// come through one kernel queue in order, and are delivered in the order they were read.
void fence(QVKQueue& watcher) {
    TestDir dir;
    auto control = std::make_shared<Probe>(dir.write(QStringLiteral("control"), "c"));
    ASSERT_TRUE(watcher.watchFile(control, QVFileWatcherTypeWrite));
    appendTo(control->path());
    ASSERT_TRUE(control->waitForCalls(1)) << "the control file's change never arrived";
    watcher.stopWatchingFile(control.get());
}

int watcherThreads() {
    int count = 0;
    for (const QString& task : QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        if (readAll(QStringLiteral("/proc/self/task/%1/comm").arg(task)).trimmed() == "QVKQueue") ++count;
    return count;
}

std::unique_ptr<QVKQueue> makeWatcher() {
    QVError error;
    auto watcher = QVKQueue::create(&error);
    EXPECT_NE(watcher, nullptr) << error.localizedDescription().toStdString();
    return watcher;
}

TEST(QVKQueue, EventBitsFollowTheWatchType) {
    enum Op { WriteFile, RenameFile, DeleteFile, AddEntry, ChangeEntry, RemoveEntry, RenameFolder };
    struct Case {
        const char* name;
        QVFileWatcherType type;
        Op op;
        quint64 expected;  // 0: nothing may be reported
    };
    const std::vector<Case> cases = {
        {"type 0 write", 0, WriteFile, QVFileWatcherEventWrite},
        {"type 0 rename", 0, RenameFile, 0},
        {"type 0 delete", 0, DeleteFile, 0},
        {"type 1 write", 1, WriteFile, QVFileWatcherEventWrite},
        {"type 1 rename", 1, RenameFile, 0},
        {"type 1 delete", 1, DeleteFile, 0},
        {"type 2 write", 2, WriteFile, QVFileWatcherEventWrite},
        {"type 2 rename", 2, RenameFile, QVFileWatcherEventRename},
        {"type 2 delete", 2, DeleteFile, QVFileWatcherEventDelete},
        {"type 9 rename", 9, RenameFile, QVFileWatcherEventRename},
        {"folder type 1 entry added", 1, AddEntry, QVFileWatcherEventWrite},
        {"folder type 1 entry changed", 1, ChangeEntry, 0},
        {"folder type 1 entry removed", 1, RemoveEntry, QVFileWatcherEventWrite},
        {"folder type 2 renamed", 2, RenameFolder, QVFileWatcherEventRename},
        {"folder type 0 renamed", 0, RenameFolder, 0},
    };
    auto watcher = makeWatcher();
    ASSERT_TRUE(watcher);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestDir dir;
        const QString file = dir.write(QStringLiteral("folder/file.txt"), "hello");
        const QString folder = dir.file(QStringLiteral("folder"));
        const bool onFolder = c.op >= AddEntry;
        auto probe = std::make_shared<Probe>(onFolder ? folder : file);
        ASSERT_TRUE(watcher->watchFile(probe, c.type));
        switch (c.op) {
        case WriteFile:
        case ChangeEntry:
            appendTo(file);
            break;
        case RenameFile:
            ASSERT_TRUE(QFile::rename(file, dir.file(QStringLiteral("folder/moved.txt"))));
            break;
        case DeleteFile:
        case RemoveEntry:
            ASSERT_TRUE(QFile::remove(file));
            break;
        case AddEntry:
            dir.write(QStringLiteral("folder/new.txt"), "new");
            break;
        case RenameFolder:
            ASSERT_TRUE(QDir().rename(folder, dir.file(QStringLiteral("renamed"))));
            break;
        }
        fence(*watcher);
        const auto calls = probe->calls();
        if (c.expected == 0) {
            EXPECT_TRUE(calls.empty()) << "reported bits " << probe->allBits();
        } else {
            ASSERT_EQ(calls.size(), 1u) << "bits " << probe->allBits();
            EXPECT_EQ(calls[0], c.expected);
        }
        watcher->stopWatchingFile(probe.get());
    }
}

TEST(QVKQueue, WatchTwiceKeepsOneRegistrationAndTheFirstType) {
    auto watcher = makeWatcher();
    ASSERT_TRUE(watcher);
    TestDir dir;
    auto probe = std::make_shared<Probe>(dir.write(QStringLiteral("a.txt"), "a"));
    ASSERT_TRUE(watcher->watchFile(probe, QVFileWatcherTypeWrite));
    EXPECT_TRUE(watcher->watchFile(probe, QVFileWatcherTypeAll));
    appendTo(probe->path());
    ASSERT_TRUE(QFile::rename(probe->path(), dir.file(QStringLiteral("b.txt"))));
    fence(*watcher);
    EXPECT_EQ(probe->calls(), std::vector<quint64>{QVFileWatcherEventWrite});
}

TEST(QVKQueue, UnwatchablePathsAndUnknownObjectsAnswerNo) {
    auto watcher = makeWatcher();
    ASSERT_TRUE(watcher);
    TestDir dir;
    auto missing = std::make_shared<Probe>(dir.file(QStringLiteral("missing")));
    EXPECT_FALSE(watcher->watchFile(missing, QVFileWatcherTypeAll));
    EXPECT_FALSE(watcher->watchFile(nullptr, QVFileWatcherTypeAll));

    // Reset of an object never watched answers NO and does not start watching it.
    auto never = std::make_shared<Probe>(dir.write(QStringLiteral("never.txt"), "n"));
    EXPECT_FALSE(watcher->resetForFile(never.get(), QVFileWatcherTypeWrite));
    appendTo(never->path());
    watcher->stopWatchingFile(nullptr);
    watcher->stopWatchingFile(never.get());
    fence(*watcher);
    EXPECT_TRUE(never->calls().empty());
}

TEST(QVKQueue, StopAndResetChangeWhatIsHeard) {
    auto watcher = makeWatcher();
    ASSERT_TRUE(watcher);
    TestDir dir;
    auto stopped = std::make_shared<Probe>(dir.write(QStringLiteral("stopped.txt"), "s"));
    ASSERT_TRUE(watcher->watchFile(stopped, QVFileWatcherTypeAll));
    watcher->stopWatchingFile(stopped.get());
    appendTo(stopped->path());
    fence(*watcher);
    EXPECT_TRUE(stopped->calls().empty());

    // A save that replaces the file (new inode at the same path) is not seen by the old
    // registration; after a reset the new file is watched.
    const QString path = dir.write(QStringLiteral("saved.txt"), "v1");
    auto saved = std::make_shared<Probe>(path);
    ASSERT_TRUE(watcher->watchFile(saved, QVFileWatcherTypeWrite));
    const QString temp = dir.write(QStringLiteral("saved.txt.tmp"), "v2");
    ASSERT_EQ(::rename(QFile::encodeName(temp).constData(), QFile::encodeName(path).constData()), 0);
    appendTo(path);
    fence(*watcher);
    EXPECT_TRUE(saved->calls().empty()) << "type 0 heard a replaced file";
    EXPECT_TRUE(watcher->resetForFile(saved.get(), QVFileWatcherTypeAll));
    appendTo(path);
    ASSERT_TRUE(QFile::rename(path, dir.file(QStringLiteral("elsewhere.txt"))));
    fence(*watcher);
    EXPECT_EQ(saved->allBits(), QVFileWatcherEventWrite | QVFileWatcherEventRename);

    // A reset whose new path cannot be opened leaves the object watched but deaf.
    saved->setPath(dir.file(QStringLiteral("gone.txt")));
    EXPECT_FALSE(watcher->resetForFile(saved.get(), QVFileWatcherTypeAll));
    saved->setPath(dir.file(QStringLiteral("elsewhere.txt")));
    EXPECT_TRUE(watcher->watchFile(saved, QVFileWatcherTypeAll)) << "still in the table: answers YES";
    const size_t before = saved->calls().size();
    appendTo(dir.file(QStringLiteral("elsewhere.txt")));
    fence(*watcher);
    EXPECT_EQ(saved->calls().size(), before);
}

TEST(QVKQueue, DestroyStopsEverythingAndEndsTheThread) {
    const int threadsBefore = watcherThreads();
    auto watcher = makeWatcher();
    ASSERT_TRUE(watcher);
    auto deadline = Clock::now() + 5s;  // the thread names itself once it runs
    while (watcherThreads() == threadsBefore && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(watcherThreads(), threadsBefore + 1);
    TestDir dir;
    auto probe = std::make_shared<Probe>(dir.write(QStringLiteral("f.txt"), "f"));
    ASSERT_TRUE(watcher->watchFile(probe, QVFileWatcherTypeAll));
    watcher->destroy();
    appendTo(probe->path());
    EXPECT_FALSE(watcher->watchFile(probe, QVFileWatcherTypeAll)) << "a destroyed watcher watches nothing";
    deadline = Clock::now() + 30s;
    while (watcherThreads() > threadsBefore && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(watcherThreads(), threadsBefore);
    EXPECT_TRUE(probe->calls().empty());
    watcher.reset();
}

// Many files created, renamed, written and deleted from several threads: every watched file is
// reported exactly once with exactly its change, every touched folder is reported after its last
// change, and an untouched folder hears nothing.
TEST(QVKQueue, StormsLoseNothingAndReportNothingTwice) {
    auto watcher = makeWatcher();
    ASSERT_TRUE(watcher);
    TestDir dir;
    constexpr int kThreads = 4;
    constexpr int kFilesPerThread = 120;
    constexpr int kNewPerThread = 150;

    std::vector<std::shared_ptr<Probe>> folders;
    for (int t = 0; t <= kThreads; ++t) {  // the last one stays untouched
        const QString folder = dir.file(QStringLiteral("sub%1").arg(t));
        ASSERT_TRUE(QDir().mkpath(folder));
        folders.push_back(std::make_shared<Probe>(folder));
        ASSERT_TRUE(watcher->watchFile(folders.back(), QVFileWatcherTypeWriteRevoke));
    }
    std::vector<std::shared_ptr<Probe>> files;
    std::vector<quint64> expected;
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kFilesPerThread; ++i) {
            files.push_back(std::make_shared<Probe>(
                dir.write(QStringLiteral("sub%1/file%2.txt").arg(t).arg(i), "content")));
            ASSERT_TRUE(watcher->watchFile(files.back(), QVFileWatcherTypeAll));
            expected.push_back(i % 3 == 0 ? QVFileWatcherEventWrite
                               : i % 3 == 1 ? QVFileWatcherEventRename
                                            : QVFileWatcherEventDelete);
        }

    std::vector<Clock::time_point> lastChange(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            const QString sub = dir.file(QStringLiteral("sub%1/").arg(t));
            for (int i = 0; i < kNewPerThread; ++i) {
                QFile created(sub + QStringLiteral("new%1").arg(i));
                if (created.open(QIODevice::WriteOnly)) created.write("n");
            }
            for (int i = 0; i < kFilesPerThread; ++i) {
                const QString path = sub + QStringLiteral("file%1.txt").arg(i);
                if (i % 3 == 0)
                    appendTo(path);
                else if (i % 3 == 1)
                    QFile::rename(path, sub + QStringLiteral("renamed%1.txt").arg(i));
                else
                    QFile::remove(path);
            }
            for (int i = 0; i < kNewPerThread; i += 2) {
                lastChange[size_t(t)] = Clock::now();  // taken before the change it stands for
                QFile::remove(sub + QStringLiteral("new%1").arg(i));
            }
        });
    for (auto& th : threads) th.join();
    fence(*watcher);

    for (size_t i = 0; i < files.size(); ++i) {
        const auto calls = files[i]->calls();
        ASSERT_EQ(calls.size(), 1u) << "file " << i << " was reported " << calls.size() << " times";
        EXPECT_EQ(calls[0], expected[i]) << "file " << i;
    }
    for (int t = 0; t < kThreads; ++t) {
        const auto calls = folders[size_t(t)]->calls();
        ASSERT_FALSE(calls.empty()) << "folder " << t;
        // Coalescing may join kernel events, never add any: at most one call per entry event
        // since the folder was watched (its files written, new files made, a rename counting
        // twice, deletions).
        const int renames = kFilesPerThread / 3, deletions = kFilesPerThread / 3;
        EXPECT_LE(calls.size(), size_t(kFilesPerThread + kNewPerThread + 2 * renames + deletions + kNewPerThread / 2));
        EXPECT_EQ(folders[size_t(t)]->allBits(), QVFileWatcherEventWrite) << "folder " << t;
        EXPECT_GE(folders[size_t(t)]->lastCall(), lastChange[size_t(t)])
            << "folder " << t << " heard nothing after its last change";
    }
    EXPECT_TRUE(folders[kThreads]->calls().empty());
}

// Stopping an object while the watcher is calling it: the stop waits for that call, and no call
// starts after it.
TEST(QVKQueue, StopWaitsForARunningCallbackAndBlocksLaterOnes) {
    auto watcher = makeWatcher();
    ASSERT_TRUE(watcher);
    TestDir dir;

    // One slow callback, stopped from this thread while it runs.
    auto slow = std::make_shared<Probe>(dir.write(QStringLiteral("slow.txt"), "s"));
    std::atomic<bool> entered{false}, left{false};
    slow->onChange = [&](quint64) {
        entered = true;
        std::this_thread::sleep_for(300ms);
        left = true;
    };
    ASSERT_TRUE(watcher->watchFile(slow, QVFileWatcherTypeWrite));
    appendTo(slow->path());
    const auto deadline = Clock::now() + 5s;
    while (!entered && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(entered);
    watcher->stopWatchingFile(slow.get());
    EXPECT_TRUE(left) << "stopWatchingFile returned while the callback was still running";

    // Many objects written continuously while they are stopped one by one.
    constexpr int kObjects = 40;
    std::vector<std::shared_ptr<Probe>> probes;
    std::vector<std::unique_ptr<std::atomic<bool>>> stoppedFlags;
    std::atomic<int> lateCalls{0};
    for (int i = 0; i < kObjects; ++i) {
        probes.push_back(std::make_shared<Probe>(dir.write(QStringLiteral("busy%1.txt").arg(i), "b")));
        stoppedFlags.push_back(std::make_unique<std::atomic<bool>>(false));
        std::atomic<bool>* flag = stoppedFlags.back().get();
        probes.back()->onChange = [flag, &lateCalls](quint64) {
            if (*flag) ++lateCalls;
            std::this_thread::sleep_for(200us);
        };
        ASSERT_TRUE(watcher->watchFile(probes.back(), QVFileWatcherTypeWrite));
    }
    std::atomic<bool> writing{true};
    std::thread writer([&] {
        while (writing)
            for (int i = 0; i < kObjects; ++i) appendTo(dir.file(QStringLiteral("busy%1.txt").arg(i)));
    });
    for (int i = 0; i < kObjects; ++i) {
        std::this_thread::sleep_for(5ms);
        watcher->stopWatchingFile(probes[size_t(i)].get());
        *stoppedFlags[size_t(i)] = true;
    }
    writing = false;
    writer.join();
    fence(*watcher);
    EXPECT_EQ(lateCalls.load(), 0);
    int heard = 0;
    for (const auto& p : probes) heard += p->calls().empty() ? 0 : 1;
    EXPECT_GT(heard, 0) << "the writer's changes were never delivered at all";
}

// An object released (without stopping) while its change is pending is never called; a twin
// that lives is.
TEST(QVKQueue, ReleasedObjectWithPendingEventsIsNeverCalled) {
    auto watcher = makeWatcher();
    ASSERT_TRUE(watcher);
    TestDir dir;
    static std::atomic<int> callsAfterRelease{0};
    class Doomed : public Probe {
    public:
        using Probe::Probe;
        ~Doomed() override { released = true; }
        void watcherNoticedChange(quint64 events) override {
            if (released) ++callsAfterRelease;
            Probe::watcherNoticedChange(events);
        }
        bool released = false;
    };

    // Hold the watcher's thread inside a callback while the other changes queue up.
    auto gate = std::make_shared<Probe>(dir.write(QStringLiteral("gate.txt"), "g"));
    std::mutex gateLock;
    std::condition_variable gateOpen;
    bool open = false;
    std::atomic<bool> inGate{false};
    gate->onChange = [&](quint64) {
        inGate = true;
        std::unique_lock<std::mutex> locker(gateLock);
        gateOpen.wait_for(locker, 10s, [&] { return open; });
    };
    ASSERT_TRUE(watcher->watchFile(gate, QVFileWatcherTypeWrite));

    auto doomed = std::make_shared<Doomed>(dir.write(QStringLiteral("doomed.txt"), "d"));
    auto twin = std::make_shared<Probe>(dir.write(QStringLiteral("twin.txt"), "t"));
    ASSERT_TRUE(watcher->watchFile(doomed, QVFileWatcherTypeWrite));
    ASSERT_TRUE(watcher->watchFile(twin, QVFileWatcherTypeWrite));

    appendTo(gate->path());
    const auto deadline = Clock::now() + 5s;
    while (!inGate && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(inGate);
    appendTo(doomed->path());
    appendTo(twin->path());
    doomed.reset();  // gone while its change waits
    {
        std::lock_guard<std::mutex> locker(gateLock);
        open = true;
    }
    gateOpen.notify_all();
    fence(*watcher);
    EXPECT_EQ(callsAfterRelease.load(), 0);
    EXPECT_EQ(twin->calls().size(), 1u);
}

TEST(QVKQueue, UnmountRevokes) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    TestDir dir;
    const QString mountPoint = dir.file(QStringLiteral("mnt"));
    ASSERT_TRUE(QDir().mkpath(mountPoint));
    if (::mount("qorvel-test", QFile::encodeName(mountPoint).constData(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    auto watcher = makeWatcher();
    ASSERT_TRUE(watcher);
    auto folder = std::make_shared<Probe>(mountPoint);
    ASSERT_TRUE(watcher->watchFile(folder, QVFileWatcherTypeWriteRevoke));
    auto writesOnly = std::make_shared<Probe>(mountPoint);
    ASSERT_TRUE(watcher->watchFile(writesOnly, QVFileWatcherTypeWrite));
    ASSERT_EQ(::umount2(QFile::encodeName(mountPoint).constData(), 0), 0) << std::strerror(errno);
    fence(*watcher);
    EXPECT_EQ(folder->allBits(), QVFileWatcherEventRevoke);
    EXPECT_TRUE(writesOnly->calls().empty());
}

TEST(QVKQueue, NetworkFileSystemsAreRecognised) {
    struct Case {
        quint64 type;
        const char* mountType;
        bool network;
    };
    const std::vector<Case> cases = {
        {0x6969, "nfs4", true},         {0x517B, "smbfs", true},      {0xFF534D42, "cifs", true},
        {0xFE534D42, "smb3", true},     {0x5346414F, "afs", true},    {0x01021997, "9p", true},
        {0x65735546, "fuse.sshfs", true}, {0x65735546, "fuse.rclone", true},
        {0x65735546, "fuse.bindfs", false}, {0x65735546, "fuse", false},
        {0xEF53, "ext4", false},        {0x01021994, "tmpfs", false}, {0x9123683E, "btrfs", false},
        {0xFFFFFFFFFF534D42ull, "cifs", true},  // a sign-extended f_type
    };
    for (const Case& c : cases)
        EXPECT_EQ(QVKQueue::isNetworkFileSystem(c.type, QString::fromLatin1(c.mountType)), c.network)
            << std::hex << c.type << " " << c.mountType;
    TestDir dir;
    EXPECT_FALSE(QVKQueue::isOnNetworkVolume(dir.path()));
    EXPECT_FALSE(QVKQueue::isOnNetworkVolume(dir.file(QStringLiteral("missing"))));
}

}  // namespace
