// The settings store: typed reads, persistence, observers, threads and a damaged file.
#include "platform/UserDefaults.h"

#include "platform/AppBundle.h"
#include "platform/Process.h"
#include "platform/PropertyList.h"
#include "platform/SystemLog.h"
#include "tests/platform/VariantDump.h"
#include "tests/support/TestSupport.h"

#include <QColor>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Captures what the store logs for the length of a test.
class LogCapture {
public:
    LogCapture() {
        SystemLog::setSink([this](int priority, const QString& message) {
            std::lock_guard<std::mutex> guard(_mutex);
            _lines.append(QString::number(priority) + QLatin1Char(' ') + message);
        });
    }
    ~LogCapture() { SystemLog::setSink({}); }
    QStringList lines() {
        std::lock_guard<std::mutex> guard(_mutex);
        return _lines;
    }

private:
    std::mutex _mutex;
    QStringList _lines;
};

TEST(UserDefaults, TypedReadsConvertWhatConvertsAndAnswerZeroOtherwise) {
    TestDir dir;
    UserDefaults store(dir.file(QStringLiteral("d.plist")));
    store.setBool(true, QStringLiteral("bool"));
    store.setInteger(-42, QStringLiteral("int"));
    store.setDouble(2.75, QStringLiteral("double"));
    store.setString(QStringLiteral("YES"), QStringLiteral("yes"));
    store.setString(QStringLiteral("12.9"), QStringLiteral("numeric text"));
    store.setString(QStringLiteral("hello"), QStringLiteral("text"));
    store.setObject(QVariantList{qint64(1), QStringLiteral("a")}, QStringLiteral("list"));
    store.setObject(QVariantMap{{QStringLiteral("k"), true}}, QStringLiteral("map"));
    store.setObject(QByteArray("\x01\x02", 2), QStringLiteral("data"));

    struct Row {
        const char* key;
        bool b;
        qint64 i;
        double d;
        const char* s;
        int listSize, mapSize;
    };
    const Row rows[] = {
        {"bool", true, 1, 1.0, "1", 0, 0},
        {"int", true, -42, -42.0, "-42", 0, 0},
        {"double", true, 2, 2.75, "2.75", 0, 0},
        {"yes", true, 0, 0.0, "YES", 0, 0},
        {"numeric text", true, 12, 12.9, "12.9", 0, 0},
        {"text", false, 0, 0.0, "hello", 0, 0},
        {"list", false, 0, 0.0, "", 2, 0},
        {"map", false, 0, 0.0, "", 0, 1},
        {"data", false, 0, 0.0, "", 0, 0},
        {"missing", false, 0, 0.0, "", 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.key);
        const QString key = QLatin1String(row.key);
        EXPECT_EQ(store.boolForKey(key), row.b);
        EXPECT_EQ(store.integerForKey(key), row.i);
        EXPECT_DOUBLE_EQ(store.doubleForKey(key), row.d);
        EXPECT_EQ(store.stringForKey(key), QString::fromUtf8(row.s));
        EXPECT_EQ(store.arrayForKey(key).size(), row.listSize);
        EXPECT_EQ(store.dictionaryForKey(key).size(), row.mapSize);
        EXPECT_EQ(store.contains(key), std::string(row.key) != "missing");
    }
    EXPECT_FALSE(store.objectForKey(QStringLiteral("missing")).isValid());
    // Values are held as they will read back from the file.
    EXPECT_EQ(store.objectForKey(QStringLiteral("int")).typeId(), QMetaType::LongLong);
    store.setObject(QStringList{QStringLiteral("x")}, QStringLiteral("strings"));
    EXPECT_EQ(dumpOf(store.objectForKey(QStringLiteral("strings"))), "[str:\"x\"]");
}

TEST(UserDefaults, PersistsAcrossInstancesAndWritesPendingChangesOnDestruction) {
    TestDir dir;
    const QString path = dir.file(QStringLiteral("sub/folder/d.plist"));  // folders made on demand
    const QVariantMap expected = {
        {QStringLiteral("flag"), true},
        {QStringLiteral("count"), qint64(3)},
        {QStringLiteral("name"), QStringLiteral("ü ✓")},
        {QStringLiteral("when"), QDateTime(QDate(2024, 2, 29), QTime(8, 0), Qt::UTC)},
        {QStringLiteral("nested"), QVariantMap{{QStringLiteral("list"), QVariantList{1.5, false}}}},
    };
    {
        UserDefaults store(path);
        for (auto it = expected.cbegin(); it != expected.cend(); ++it) store.setObject(it.value(), it.key());
        store.setString(QStringLiteral("gone"), QStringLiteral("removed"));
        store.removeObject(QStringLiteral("removed"));
        EXPECT_TRUE(store.synchronize());
        store.setInteger(4, QStringLiteral("count"));  // pending when the store goes away
    }
    QVariantMap after = expected;
    after.insert(QStringLiteral("count"), qint64(4));
    UserDefaults reloaded(path);
    EXPECT_EQ(dumpOf(reloaded.dictionaryRepresentation()), dumpOf(after));
    // The file is an XML property list that anyone can read.
    PlistFormat format = PlistFormat::Binary;
    EXPECT_EQ(dumpOf(PropertyList::readFile(path, nullptr, &format)), dumpOf(after));
    EXPECT_EQ(format, PlistFormat::XML);
}

TEST(UserDefaults, ChangesReachTheFileSoonWithoutSynchronize) {
    ASSERT_NE(QCoreApplication::instance(), nullptr);
    TestDir dir;
    const QString path = dir.file(QStringLiteral("d.plist"));
    UserDefaults store(path);
    store.setInteger(1, QStringLiteral("a"));
    store.setInteger(2, QStringLiteral("b"));
    QElapsedTimer timer;
    timer.start();
    QVariantMap onDisk;
    while (timer.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        onDisk = PropertyList::readFile(path).toMap();
        if (onDisk.size() == 2) break;
    }
    EXPECT_EQ(dumpOf(onDisk), "{a: int:1, b: int:2}");
}

TEST(UserDefaults, StandardStoreLivesInTheConfigurationFolderAndReloads) {
    const QByteArray savedConfig = qgetenv("XDG_CONFIG_HOME");
    TestDir dir;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.path()));
    UserDefaults::resetStandard();
    const QString expectedPath =
        dir.path() + QStringLiteral("/Glimbo/") + AppBundle::main().bundleIdentifier() + QStringLiteral(".plist");
    EXPECT_EQ(UserDefaults::standard().path(), expectedPath);
    EXPECT_FALSE(UserDefaults::standard().contains(QStringLiteral("QVTestKey")));

    UserDefaults& before = UserDefaults::standard();
    before.setString(QStringLiteral("kept"), QStringLiteral("QVTestKey"));
    UserDefaults::resetStandard();  // writes what was pending, then reads the file afresh
    EXPECT_EQ(UserDefaults::standard().stringForKey(QStringLiteral("QVTestKey")), QStringLiteral("kept"));
    EXPECT_TRUE(QFileInfo::exists(expectedPath));
    EXPECT_EQ(before.stringForKey(QStringLiteral("QVTestKey")), QStringLiteral("kept"));  // still usable

    // Closing writes what is pending; after it no store writes, so its folder can go away.
    UserDefaults& last = UserDefaults::standard();
    last.setString(QStringLiteral("closing"), QStringLiteral("QVTestKey"));
    UserDefaults::closeStandard();
    EXPECT_EQ(PropertyList::readFile(expectedPath).toMap().value(QStringLiteral("QVTestKey")), QStringLiteral("closing"));
    ASSERT_TRUE(QDir(dir.path()).removeRecursively());
    last.setString(QStringLiteral("late"), QStringLiteral("QVTestKey"));
    before.setString(QStringLiteral("late"), QStringLiteral("QVTestKey"));
    EXPECT_FALSE(last.synchronize());
    QCoreApplication::processEvents();
    EXPECT_FALSE(QFileInfo::exists(dir.path()));

    qputenv("XDG_CONFIG_HOME", savedConfig);
    UserDefaults::resetStandard();
    EXPECT_FALSE(UserDefaults::standard().path().startsWith(dir.path()));
}

TEST(UserDefaults, ObserversHearRealChangesWithOldAndNewValues) {
    TestDir dir;
    UserDefaults store(dir.file(QStringLiteral("d.plist")));
    QStringList heard;
    const auto token = store.addObserver(QStringLiteral("watched"), [&](const QString& key, const QVariant& oldValue,
                                                                         const QVariant& newValue) {
        heard.append(key + QLatin1Char(' ') + variantDump(oldValue) + QStringLiteral(" -> ") + variantDump(newValue));
        // Called outside the store's lock: the store is usable from here.
        store.setBool(store.contains(QStringLiteral("watched")), QStringLiteral("echo"));
    });
    store.setInteger(1, QStringLiteral("watched"));
    store.setInteger(1, QStringLiteral("watched"));            // unchanged: no call
    store.setObject(QVariant(int(1)), QStringLiteral("watched"));  // same number, other C++ type: no call
    store.setBool(true, QStringLiteral("watched"));            // a boolean is not the integer 1
    store.setInteger(5, QStringLiteral("other"));              // another key: no call
    store.setObject(QVariantList{qint64(1)}, QStringLiteral("watched"));
    store.setObject(QVariantList{true}, QStringLiteral("watched"));
    store.setObject(QColor(Qt::red), QStringLiteral("watched"));  // refused: no change, no call
    store.removeObject(QStringLiteral("watched"));
    store.removeObject(QStringLiteral("watched"));  // nothing to remove: no call
    store.setString(QStringLiteral("x"), QStringLiteral("watched"));
    store.setObject(QVariant(), QStringLiteral("watched"));  // an invalid value removes
    store.removeObserver(token);
    store.setString(QStringLiteral("y"), QStringLiteral("watched"));

    const QStringList expected = {
        QStringLiteral("watched <invalid> -> int:1"),
        QStringLiteral("watched int:1 -> true"),
        QStringLiteral("watched true -> [int:1]"),
        QStringLiteral("watched [int:1] -> [true]"),
        QStringLiteral("watched [true] -> <invalid>"),
        QStringLiteral("watched <invalid> -> str:\"x\""),
        QStringLiteral("watched str:\"x\" -> <invalid>"),
    };
    EXPECT_EQ(heard, expected);
    EXPECT_FALSE(store.boolForKey(QStringLiteral("echo")));
    EXPECT_EQ(store.stringForKey(QStringLiteral("watched")), QStringLiteral("y"));
}

TEST(UserDefaults, EightThreadsSettingAtOnce) {
    TestDir dir;
    const QString path = dir.file(QStringLiteral("d.plist"));
    constexpr int kThreads = 8, kRounds = 200;
    std::atomic<int> sharedCalls{0}, unchangedCalls{0};
    {
        UserDefaults store(path);
        store.addObserver(QStringLiteral("shared"), [&](const QString&, const QVariant& oldValue, const QVariant& newValue) {
            ++sharedCalls;
            if (oldValue.isValid() && oldValue.toLongLong() == newValue.toLongLong()) ++unchangedCalls;
        });
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&store, t] {
                for (int i = 0; i < kRounds; ++i) {
                    store.setInteger(i, QStringLiteral("t%1").arg(t));
                    store.setInteger(qint64(t) * 1000 + i, QStringLiteral("shared"));
                    (void)store.integerForKey(QStringLiteral("shared"));
                    if (i % 50 == 0) store.synchronize();
                }
            });
        }
        for (std::thread& th : threads) th.join();
        EXPECT_EQ(sharedCalls.load(), kThreads * kRounds);  // every set changed the value
        EXPECT_EQ(unchangedCalls.load(), 0);
        for (int t = 0; t < kThreads; ++t) EXPECT_EQ(store.integerForKey(QStringLiteral("t%1").arg(t)), kRounds - 1);
        EXPECT_TRUE(store.synchronize());
    }
    UserDefaults reloaded(path);
    EXPECT_EQ(reloaded.dictionaryRepresentation().size(), kThreads + 1);
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(reloaded.integerForKey(QStringLiteral("t%1").arg(t)), kRounds - 1);
}

// Damage after damage: each damaged file is kept under a number of its own (none written over),
// logged, and handed over once to be told; where it cannot be moved, it is not written over.
TEST(UserDefaults, EveryDamagedFileIsLoggedKeptAsideUnderItsOwnNameAndToldOnce) {
    struct Row {
        const char* name;
        QByteArray contents;
        const char* aside;
    };
    const Row rows[] = {
        {"garbage", "this is not a property list", ".bad"},
        {"truncated XML", "<?xml version=\"1.0\"?><plist><dict><key>a</key><string>b", ".bad2"},
        {"not a dictionary", "<plist><array><string>a</string></array></plist>", ".bad3"},
        {"binary magic only", "bplist00", ".bad4"},
    };
    TestDir dir;
    const QString path = dir.file(QStringLiteral("d.plist"));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        dir.write(QStringLiteral("d.plist"), row.contents);
        LogCapture log;
        {
            UserDefaults store(path);
            EXPECT_TRUE(store.dictionaryRepresentation().isEmpty());
            const std::optional<UserDefaults::SetAside> told = store.takeSetAside();
            ASSERT_TRUE(told);
            EXPECT_EQ(told->path, path);
            EXPECT_EQ(told->movedTo, path + QLatin1String(row.aside));
            EXPECT_FALSE(told->reason.isEmpty());
            EXPECT_FALSE(store.takeSetAside());
            store.setBool(true, QStringLiteral("fresh"));
            EXPECT_TRUE(store.synchronize());
        }
        for (const Row& earlier : rows) {
            EXPECT_EQ(readAll(path + QLatin1String(earlier.aside)), earlier.contents) << earlier.aside;
            if (&earlier == &row) break;
        }
        EXPECT_EQ(dumpOf(PropertyList::readFile(path)), "{fresh: true}");
        const QStringList lines = log.lines();
        ASSERT_EQ(lines.size(), 1) << lines.join(QLatin1Char('\n')).toStdString();
        EXPECT_TRUE(lines.first().startsWith(QStringLiteral("3 "))) << lines.first().toStdString();
        EXPECT_TRUE(lines.first().contains(path)) << lines.first().toStdString();
    }
    EXPECT_FALSE(UserDefaults(path).takeSetAside());

    // A folder that lets nothing in it be renamed (the superuser renames in any folder it may not
    // write, but not in an immutable one): told, and the damaged file is never written over.
    dir.write(QStringLiteral("d.plist"), rows[0].contents);
    const bool root = ::geteuid() == 0;
    const auto shut = [&](bool closed) {
        return root ? Process::run(QStringLiteral("chattr"), {closed ? "+i" : "-i", dir.path()}).succeeded()
                    : ::chmod(QFile::encodeName(dir.path()).constData(), closed ? 0555 : 0755) == 0;
    };
    ASSERT_TRUE(shut(true)) << "chattr (package e2fsprogs) failed";
    std::optional<UserDefaults::SetAside> told;
    bool written = true;
    {
        LogCapture log;
        UserDefaults store(path);
        told = store.takeSetAside();
        store.setBool(true, QStringLiteral("fresh"));
        written = store.synchronize();
    }
    ASSERT_TRUE(shut(false));
    ASSERT_TRUE(told);
    EXPECT_EQ(told->movedTo, QString());
    EXPECT_FALSE(written);
    EXPECT_EQ(readAll(path), rows[0].contents);
}

TEST(UserDefaults, AValueWithoutAPlistFormIsRefusedAndTheRestStillSaves) {
    TestDir dir;
    const QString path = dir.file(QStringLiteral("d.plist"));
    LogCapture log;
    UserDefaults store(path);
    store.setInteger(7, QStringLiteral("good"));
    store.setObject(QVariantMap{{QStringLiteral("colour"), QColor(Qt::red)}}, QStringLiteral("bad"));
    EXPECT_FALSE(store.contains(QStringLiteral("bad")));
    EXPECT_TRUE(store.synchronize());
    EXPECT_EQ(dumpOf(PropertyList::readFile(path)), "{good: int:7}");
    ASSERT_EQ(log.lines().size(), 1);
    EXPECT_TRUE(log.lines().first().contains(QStringLiteral("\"bad\""))) << log.lines().first().toStdString();
}

}  // namespace
