// The analytics kit without a network: attributes and their bounds, the line format and the
// writer's recovery from partial lines, settings with hostile values, sampling, back-off bounds,
// the crash metadata's rotation, the clean-up of leftovers, and events from many threads.
#include "kits/tidings/TDGEvent.h"
#include "kits/tidings/TDGLogger.h"
#include "kits/tidings/Tidings.h"
#include "kits/tidings/TDGMetadata.h"
#include "kits/tidings/TDGNetworkRetryHandler.h"
#include "kits/tidings/TDGSettings.h"
#include "kits/tidings/TDGWriteEventOperation.h"
#include "platform/AtomicFile.h"
#include "platform/Clock.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestSupport.h"
#include "tests/kits/tidings/TidingsTestSupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <thread>

#include <csignal>

#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

using namespace tidings_test;

namespace {

void writeFile(const QString& path, const QByteArray& data) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(data);
}

QByteArray json(const TDGJsonObject& o) { return TDGJson::write(QVariant::fromValue(o)); }

QList<QByteArray> linesOf(const QString& path) {
    QList<QByteArray> lines = readAll(path).split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    return lines;
}

TEST(TidingsModelTest, AttributesAreBoundedAndWrittenInWireForm) {
    TDGAttributes many;
    for (int i = 0; i < 25; ++i) many.append({QString("k%1").arg(i), QString("v%1").arg(i)});
    EXPECT_EQ(TDGAttributeDictionary(many).dictionaryRepresentation().size(), 21);

    const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80");  // one pair of UTF-16 units
    struct Case {
        QVariant key, value;
        QByteArray expected;  // the dictionary as JSON
    } cases[] = {
        {QString(150, 'k'), "x", "{\"" + QByteArray(100, 'k') + "\":\"x\"}"},
        {"v", QString(100, 'y'), "{\"v\":\"" + QByteArray(100, 'y') + "\"}"},
        // A cut through a surrogate pair would leave text no JSON writer accepts: cut before it.
        {"e", QString(99, 'a') + emoji, "{\"e\":\"" + QByteArray(99, 'a') + "\"}"},
        {QString(99, 'a') + emoji + "tail", "1", "{\"" + QByteArray(99, 'a') + "\":\"1\"}"},
        {"nan", std::nan(""), "{}"},
        {"inf", std::numeric_limits<double>::infinity(), "{}"},
        {"date", QDateTime::currentDateTime(), "{}"},
        {42, "number key", "{}"},
        {"n", 3.25, "{\"n\":3.25}"},
        {"ctl", QString("a\tb\n\"c\"\x01"), "{\"ctl\":\"a\\tb\\n\\\"c\\\"\\u0001\"}"},
    };
    for (const Case& c : cases) {
        TDGAttributeDictionary d;
        d.addAttribute(c.value, c.key);
        EXPECT_EQ(json(d.dictionaryRepresentation()), c.expected) << c.key.toString().left(10).toStdString();
    }

    // Prices: micros from the decimal, not from the nearest binary double.
    struct Price {
        QVariant price;
        std::optional<qint64> micros;
    } prices[] = {{9.99, 9990000}, {"9.99", 9990000}, {1.005, 1005000}, {0.29, 290000}, {"0.0000005", 1}, {"1e3", 1000000000},
                  {"-2.5", -2500000}, {"9223372036855", std::nullopt}, {"abc", std::nullopt}, {std::nan(""), std::nullopt}};
    for (const Price& p : prices) EXPECT_EQ(TDGAttributeDictionary::serializePriceToMicros(p.price), p.micros) << p.price.toString().toStdString();

    auto purchase = TDGPredefinedEvent::purchaseEventWithPrice(9.99, "EUR", true, "book", {}, {}, {{"shelf", 3}});
    const TDGJsonObject payload = purchase->dictionaryRepresentation();
    EXPECT_EQ(json(payload.value("predefined_attributes").value<TDGJsonObject>()), R"({"item_price":9990000,"currency":"EUR","success":"true","item_name":"book"})");
    EXPECT_EQ(json(payload.value("custom_attributes").value<TDGJsonObject>()), R"({"shelf":3})");
    EXPECT_EQ(payload.entries().first().first, "eventId");

    EXPECT_EQ(TDGLifecycleEvent::eventWithNotification("Other")->name(), "unknown-notification");
    EXPECT_TRUE(TDGLifecycleEvent::installEvent()->triggersFlush());
    EXPECT_FALSE(TDGLifecycleEvent::appLaunchedEvent()->triggersFlush());
    TDGCrashEvent crash(1234.5, 0);
    EXPECT_EQ(crash.timestamp(), 1234.5);
    EXPECT_EQ(crash.dictionaryRepresentation().value("crash_state").toString(), "unknown");
}

TEST(TidingsModelTest, SettingsDefaultsAndHostileValues) {
    // A value of the wrong kind counts as missing, and the log says why, once.
    LogCapture log;
    struct Ignored {
        QVariantMap document;
        std::function<bool(const TDGSettings&)> readsTheDefault;
        const char* said;
    } ignored[] = {
        {{{"analytics", QVariantMap{{"flush_interval_secs", "soon-ish"}}}}, [](const TDGSettings& s) { return s.flushInterval() == 0; },
         R"([Tidings] Settings value "analytics.flush_interval_secs" ignored: it should be a number, not the text "soon-ish")"},
        {{{"analytics", QVariantMap{{"url", 6}}}}, [](const TDGSettings& s) { return s.tidingsURL().isEmpty(); },
         R"([Tidings] Settings value "analytics.url" ignored: it should be an https address, not the number 6)"},
        {{{"analytics", QVariantList{1}}}, [](const TDGSettings& s) { return s.maximumPayloadSize() == 8000; },
         R"([Tidings] Settings value "analytics" ignored: it should be an object, not a list)"},
        {{{"features", QVariantMap{{"collect_analytics", "maybe"}}}}, [](const TDGSettings& s) { return s.shouldCollectAnalytics(); },
         R"([Tidings] Settings value "features.collect_analytics" ignored: it should be true or false, not the text "maybe")"},
    };
    for (const Ignored& row : ignored) {
        log.clear();
        const TDGSettings s(row.document);
        EXPECT_TRUE(row.readsTheDefault(s)) << row.said;
        EXPECT_TRUE(row.readsTheDefault(s)) << row.said;
        EXPECT_EQ(log.lines(), QStringList{row.said});
    }

    const TDGSettings none;
    EXPECT_FALSE(none.valid());
    EXPECT_TRUE(none.shouldCollectAnalytics());
    EXPECT_TRUE(none.tidingsURL().isEmpty());  // no built-in host
    EXPECT_EQ(none.maximumPayloadSize(), 8000);
    EXPECT_EQ(none.maxPendingSendFiles(), 100);
    EXPECT_EQ(none.flushInterval(), 0);
    EXPECT_EQ(none.defaultUploadTimeout(), 6 * 3600);
    EXPECT_EQ(none.lowPowerUploadTimeout(), 3600);

    auto make = [](QVariantMap analytics, QVariantMap features = {}) {
        return TDGSettings(QVariantMap{{"analytics", analytics}, {"features", features}});
    };
    EXPECT_FALSE(make({}, {{"collect_analytics", 0}}).shouldCollectAnalytics());
    EXPECT_FALSE(make({}, {{"collect_analytics", "false"}}).shouldCollectAnalytics());
    EXPECT_TRUE(make({}, {{"other", 1}}).shouldCollectAnalytics());
    EXPECT_EQ(make({{"flush_interval_secs", "30"}}).flushInterval(), 30);
    EXPECT_EQ(make({{"flush_interval_secs", 0.001}}).flushInterval(), TDGSettings::kMinimumFlushInterval);
    EXPECT_EQ(make({{"flush_interval_secs", -5}}).flushInterval(), 0);
    EXPECT_EQ(make({{"max_byte_size_per_file", "1e12"}}).maximumPayloadSize(), TDGSettings::kMaximumPayloadSizeBound);
    EXPECT_EQ(make({{"max_byte_size_per_file", 0}}).maximumPayloadSize(), TDGSettings::kMinimumPayloadSize);
    EXPECT_EQ(make({{"max_pending_send_file_count", -3}}).maxPendingSendFiles(), 1);
    EXPECT_EQ(make({{"upload_timeout_secs", 0}}).defaultUploadTimeout(), TDGSettings::kDefaultUploadTimeout);
    EXPECT_EQ(make({{"low_power_upload_timeout_secs", -1}}).lowPowerUploadTimeout(), TDGSettings::kLowPowerUploadTimeout);
    EXPECT_EQ(make({{"upload_timeout_secs", "120"}}).defaultUploadTimeout(), 120);
    EXPECT_EQ(make({{"sampling_rate", "4"}}).samplingRate(), 4);
    EXPECT_EQ(make({{"url", "https://h.example/spi/v2/events"}}).tidingsURL().toString(), "https://h.example/spi/v2/events");
    EXPECT_TRUE(make({{"url", "http://h.example/e"}}).tidingsURL().isEmpty());
    EXPECT_TRUE(make({{"url", 5}}).tidingsURL().isEmpty());
    EXPECT_EQ(TDGSettings(QVariantMap{{"analytics", "not a section"}}).maximumPayloadSize(), 8000);
}

TEST(TidingsModelTest, SamplingTokensAndHash) {
    EXPECT_EQ(TDGEventFilter::javaHashCodeForString("abc"), 96354);
    EXPECT_EQ(TDGEventFilter::javaHashCodeForString("abd"), 96355);
    EXPECT_EQ(TDGEventFilter::javaHashCodeForString(""), 0);
    // Wraps in 32 bits; the remainder takes the hash's sign.
    EXPECT_EQ(TDGEventFilter::javaHashCodeForString("polygenelubricants"), std::numeric_limits<qint32>::min());
    TDGEventFilter f;
    auto launched = TDGLifecycleEvent::appLaunchedEvent();
    TDGCustomEvent custom("x", {});
    EXPECT_FALSE(f.shouldDiscardEvent(launched.get(), std::nullopt, "abc", 2));
    EXPECT_TRUE(f.shouldDiscardEvent(launched.get(), std::nullopt, "abd", 2));
    EXPECT_FALSE(f.shouldDiscardEvent(launched.get(), QString("t"), "abd", 2));
    EXPECT_FALSE(f.shouldDiscardEvent(launched.get(), std::nullopt, "abd", 1));
    EXPECT_FALSE(f.shouldDiscardEvent(&custom, std::nullopt, "abd", 2));
    EXPECT_TRUE(f.shouldDiscardEvent(nullptr, std::nullopt, "abc", 1));
    EXPECT_EQ(TDGMetadata::unwrapBetaToken("2:tok"), QString("tok"));
    for (const char* bad : {"3:tok", "tok", "2:a:b", ""}) EXPECT_EQ(TDGMetadata::unwrapBetaToken(bad), std::nullopt) << bad;
}

TEST(TidingsModelTest, BackOffIsBoundedAndCounted) {
    TDGBackoffTimer timer(2);
    for (quint64 n : {1, 2}) {
        const double d = timer.computeDelayForInitialValue(2, n);
        EXPECT_GE(d, 0.9 * std::pow(2, n));
        EXPECT_LT(d, 1.1 * std::pow(2, n));
    }
    const double second = timer.computeDelayForInitialValue(30, 2);
    EXPECT_GE(second, 810);
    EXPECT_LT(second, 990);
    for (double initial : {2.0, 30.0, 1e300, std::numeric_limits<double>::infinity()})
        for (quint64 n : {11ull, 1000ull, std::numeric_limits<quint64>::max()}) {
            const double d = timer.computeDelayForInitialValue(initial, n);
            EXPECT_TRUE(std::isfinite(d));
            EXPECT_LE(d, TDGBackoffTimer::kMaximumDelay);
            EXPECT_GT(d, 1800);
        }
    EXPECT_EQ(TDGBackoffTimer::saturatedMilliseconds(1e300).count(), std::numeric_limits<qint64>::max() / 2);

    // Retryable answers: counts 0..10 retry, the twelfth failure ends with -6.
    Clock::setSpeed(100000);
    TDGNetworkRetryHandler handler;
    OperationQueue queue("tidings.test.retry");
    handler.setTimerQueue(&queue);
    HttpRequest request;
    request.url = QUrl("https://h.example/e");
    HttpResponse busy;
    busy.status = 503;
    int retries = 0;
    QVError last;
    std::atomic<bool> finished{false};  // set on the queue's thread, read here
    std::function<void()> attempt = [&] {
        handler.handleCompletedRequest(request, busy, "pkg", {}, [&](bool retry, const QVError& e) {
            if (retry) {
                ++retries;
                queue.async(attempt);
            } else {
                last = e;
                finished.store(true);
            }
        });
    };
    queue.async(attempt);
    EXPECT_TRUE(waitFor([&] { return finished.load(); }));
    queue.waitUntilAllOperationsAreFinished(std::chrono::milliseconds(1000));
    EXPECT_EQ(retries, 11);
    EXPECT_FALSE(last.isNull());
    HttpResponse ok;
    ok.status = 202;
    bool again = true;
    queue.sync([&] { handler.handleCompletedRequest(request, ok, "other", {}, [&](bool r, const QVError& e) { again = r || !e.isNull(); }); });
    EXPECT_FALSE(again);
    EXPECT_FALSE(handler.retryTimerMap().contains("other"));
    Clock::setSpeed(1);
}

struct FakeMetadata : TDGMetadataSerializable {
    QByteArray payload = R"({"m":"é"})";
    QByteArray jsonWithStartTime(quint64 start) const override { return payload.isEmpty() ? QByteArray() : payload + QByteArray::number(start); }
};

// Short writes: each call writes at most this many bytes; -1 fails.
std::atomic<int> g_writeLimit{1 << 30};
std::atomic<int> g_writeCalls{0};
ssize_t limitedWrite(int fd, const void* data, size_t n) {
    ++g_writeCalls;
    const int limit = g_writeLimit.load();
    if (limit < 0) {
        errno = ENOSPC;
        return -1;
    }
    return ::write(fd, data, std::min<size_t>(n, size_t(limit)));
}

TEST(TidingsModelTest, LogLinesAndThePartialLinesOfKilledRuns) {
    const QString dir = testSandbox() + "/write";
    QDir().mkpath(dir);
    const QString log = dir + "/A.log";
    FakeMetadata meta;
    struct TimedEvent : TDGCustomEvent {
        TimedEvent() : TDGCustomEvent("ü", {{"k", "ß"}}) { _timestamp = 1.5; }
    };
    auto event = std::make_shared<TimedEvent>();
    auto write = [&] {
        TDGWriteEventOperation op(event, meta, log);
        op.start();
        return op.success();
    };
    ASSERT_TRUE(write());
    ASSERT_TRUE(write());
    QList<QByteArray> lines = linesOf(log);
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[0], QByteArray("1500\tmetadata\t11\t{\"m\":\"é\"}1"));  // é is two bytes
    for (const QByteArray& line : lines) {
        const QList<QByteArray> f = line.split('\t');
        ASSERT_EQ(f.size(), 4);
        EXPECT_EQ(f[2].toInt(), f[3].size());
    }
    EXPECT_EQ(lines[1].split('\t')[1], "custom");

    // A run killed mid-line: the tail is cut before the next line; an empty file gets its
    // metadata line.
    QFile f(log);
    ASSERT_TRUE(f.open(QIODevice::Append));
    f.write("1600\tcustom\t40\t{\"trunc");
    f.close();
    ASSERT_TRUE(write());
    lines = linesOf(log);
    ASSERT_EQ(lines.size(), 4);
    EXPECT_TRUE(lines[3].startsWith("1500\tcustom\t")) << lines[3].toStdString();
    QFile::resize(log, 0);
    ASSERT_TRUE(write());
    EXPECT_EQ(linesOf(log).size(), 2);

    // Short writes continue at most twice; a line that fails is taken back out.
    struct Short {
        int limit;
        bool ok;
        int lines;
    } shorts[] = {{40, true, 3}, {10, false, 2}, {-1, false, 2}};
    TDGWriteEventOperation::setWriteFunctionForTests(&limitedWrite);
    for (const Short& s : shorts) {
        QFile::remove(log);
        g_writeLimit = 1 << 30;
        ASSERT_TRUE(write());
        g_writeLimit = s.limit;
        EXPECT_EQ(write(), s.ok) << s.limit;
        g_writeLimit = 1 << 30;
        EXPECT_EQ(linesOf(log).size(), s.lines) << s.limit;
        EXPECT_TRUE(readAll(log).endsWith('\n'));
    }
    TDGWriteEventOperation::setWriteFunctionForTests(nullptr);

    // Nothing without metadata, nothing into a folder, nothing for a payload JSON cannot hold.
    meta.payload.clear();
    QFile::remove(log);
    EXPECT_FALSE(write());
    EXPECT_TRUE(readAll(log).isEmpty());
    meta.payload = "{}";
    QFile::remove(log);
    QDir().mkpath(log);
    EXPECT_FALSE(write());
    EXPECT_EQ(TDGWriteEventOperation::logLineWithTimestamp(1, "x", {}), QString());
}

TEST(TidingsModelTest, CrashMetadataRotatesWithoutALossWindow) {
    Trellis::sharedSDK().setAPIKey("key-1");
    const QString path = testSandbox() + "/crash_metadata";
    QFile::remove(path);
    TDGMetadata current(Trellis::sharedSDK(), "2:beta");
    TDGRotateCrashMetadataOperation first(path, current);
    first.start();
    EXPECT_TRUE(first.crashMetadata().isEmpty());
    const QJsonObject stored = QJsonDocument::fromJson(readAll(path)).object();
    EXPECT_EQ(stored["api_key"].toString(), "key-1");
    EXPECT_EQ(stored["beta_tester_token"].toString(), "beta");
    EXPECT_FALSE(stored.contains("advertising_id"));
    EXPECT_FALSE(stored["jailbroken"].toBool(true));
    EXPECT_TRUE(readAll(path).startsWith("{\"generator\":\"Tidings Mac SDK/1.3.4\",\"api_key\""));

    // The next start reads back what the last one wrote (its "started_at" is the second the
    // operation was made in, so the file it leaves may differ in that alone).
    const QByteArray written = readAll(path);
    TDGRotateCrashMetadataOperation second(path, current);
    second.start();
    EXPECT_EQ(second.crashMetadata().rawMetadata(), written);
    EXPECT_EQ(QJsonDocument::fromJson(readAll(path))["session_id"], stored["session_id"]);  // the same session wrote both
    // A crafted, pretty-printed file is read back compact, on one line.
    writeFile(path, "{\n\t\"session_id\": \"old\"\n}\n");
    TDGRotateCrashMetadataOperation third(path, current);
    third.start();
    EXPECT_EQ(third.crashMetadata().rawMetadata(), R"({"session_id":"old"})");
    writeFile(path, "not json");
    TDGRotateCrashMetadataOperation fourth(path, current);
    fourth.start();
    EXPECT_TRUE(fourth.crashMetadata().isEmpty());
    EXPECT_FALSE(QDir(testSandbox()).entryList({".crash_metadata*"}, QDir::Hidden | QDir::Files).size());
}

TEST(TidingsModelTest, CleanupSortsLeftoversAndPrunesOldPackages) {
    const QString dir = testSandbox() + "/cleanup";
    QDir(dir).removeRecursively();
    QDir().mkpath(dir + "/sub.log");  // a folder in place of a log
    for (const char* name : {"A.log", "A.gz", "B.gz", "C.multipartmime", "notes.txt", ".A.gz.x1Y2z3"}) writeFile(dir + "/" + name, "x");
    QFile::link(dir + "/A.log", dir + "/L.log");
    QSet<QString> logs, gz, packages;
    TDGCleanupFilesOperation op(dir, 100);
    op.setSuccessBlock([&](auto l, auto c, auto p) { logs = l, gz = c, packages = p; });
    op.start();
    EXPECT_EQ(logs, QSet<QString>{dir + "/A.log"});
    EXPECT_EQ(gz, QSet<QString>{dir + "/B.gz"});
    EXPECT_EQ(packages, QSet<QString>{dir + "/C.multipartmime"});
    EXPECT_EQ(filesIn(dir), (QStringList{dir + "/A.log", dir + "/B.gz", dir + "/C.multipartmime"}));

    QStringList many;
    for (int i = 0; i < 101; ++i) {
        const QString p = dir + QString("/P%1.multipartmime").arg(i, 3, 10, QChar('0'));
        writeFile(p, "x");
        many << p;
        if (i == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // Birth times cannot be set; the file made first is the oldest.
    const QStringList kept = TDGCleanupFilesOperation::URLsByRemovingOldFiles(many, 100);
    EXPECT_EQ(kept.size(), 100);
    EXPECT_FALSE(QFile::exists(many.first()));
    EXPECT_TRUE(QFile::exists(many.last()));
}

TEST(TidingsModelTest, CompressAndPackageOnlyWholeOutputs) {
    const QString dir = testSandbox() + "/stages";
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
    writeFile(dir + "/E.log", "1\tmetadata\t2\t{}\n");
    TDGCompressLogOperation compress(dir + "/E.log", dir + "/E.gz");
    compress.start();
    EXPECT_TRUE(compress.success());
    TDGPackageLogOperation pack(dir + "/E.gz", dir + "/BOUND.multipartmime", "BOUND");
    pack.start();
    EXPECT_TRUE(pack.success());
    const QJsonArray read = readPackages({dir + "/BOUND.multipartmime"});
    ASSERT_EQ(read.size(), 1);
    const QJsonObject part = read[0]["parts"][0].toObject();
    EXPECT_EQ(part["filename"].toString(), "E.gz");
    EXPECT_EQ(part["name"].toString(), "E.gz");
    EXPECT_EQ(part["type"].toString(), "application/vnd.faultline.mac.events");
    EXPECT_EQ(part["lines"][0]["name"].toString(), "metadata");
    EXPECT_TRUE(part["lines"][0]["ok"].toBool());
    // Missing inputs fail and write nothing; an unreadable log fails and stays.
    TDGPackageLogOperation missing(dir + "/none.gz", dir + "/X.multipartmime", "X");
    missing.start();
    EXPECT_FALSE(missing.success());
    EXPECT_FALSE(QFile::exists(dir + "/X.multipartmime"));
    if (::geteuid() != 0) {
        writeFile(dir + "/U.log", "1\tx\t2\t{}\n");
        QFile::setPermissions(dir + "/U.log", QFileDevice::Permissions());
        TDGCompressLogOperation unreadable(dir + "/U.log", dir + "/U.gz");
        unreadable.start();
        EXPECT_FALSE(unreadable.success());
        EXPECT_FALSE(QFile::exists(dir + "/U.gz"));
    }
}

// The start-up pass takes every log and compressed file an earlier run left as one batch whose
// stages are each made durable at once: the syncs stay the same from one log to a hundred.
TEST(TidingsModelTest, LeftoversCostSyncsThatDoNotGrowWithTheirNumber) {
    struct Row {
        int logs, compressed;
    };
    startController(testSandbox() + "/batch-first");  // a first launch writes more once
    std::optional<quint64> first, firstExtraFiles;
    for (const Row& row : {Row{1, 0}, Row{100, 0}, Row{60, 40}}) {
        const QString root = testSandbox() + QString("/batch%1-%2").arg(row.logs).arg(row.compressed), events = root + "/events";
        QDir(root).removeRecursively();
        plantLogs(events, row.compressed, 3, 10000);
        for (const QString& log : filesIn(events, "log")) {
            TDGCompressLogOperation gz(log, TDGCompressLogOperation::compressedURLForUncompressedURL(log));
            gz.start();
            ASSERT_TRUE(gz.success());
            QFile::remove(log);
        }
        plantLogs(events, row.logs, 3);
        const quint64 before = AtomicFile::syncCount(), temporariesBefore = AtomicFile::temporaryCount();
        auto c = startController(root);
        ASSERT_TRUE(c->waitUntilIdle(std::chrono::seconds(30)));
        const quint64 syncs = AtomicFile::syncCount() - before;
        if (!first) first = syncs;
        EXPECT_EQ(syncs, *first) << row.logs << " logs, " << row.compressed << " compressed";
        // One file written per leftover, its package: no compressed file on the way.
        const quint64 extraFiles = AtomicFile::temporaryCount() - temporariesBefore - quint64(row.logs + row.compressed);
        if (!firstExtraFiles) firstExtraFiles = extraFiles;
        EXPECT_EQ(extraFiles, *firstExtraFiles) << row.logs << " logs, " << row.compressed << " compressed";
        // Every leftover became a package that reads whole (the launch's flush adds its own);
        // nothing else remains but this run's new log.
        const QStringList packages = filesIn(events, "multipartmime");
        EXPECT_EQ(packages.size(), row.logs + row.compressed + 1);
        EXPECT_TRUE(filesIn(events, "gz").isEmpty());
        EXPECT_TRUE(filesIn(events, "log").isEmpty() || filesIn(events, "log") == QStringList{c->currentLogPath()});
        const QSet<int> seen = customEventsIn(readPackages(packages));
        EXPECT_EQ(seen.size(), 3 * (row.logs + row.compressed));
        for (int i = 0; i < 3 * row.logs; ++i) EXPECT_TRUE(seen.contains(i)) << i;
        for (int i = 0; i < 3 * row.compressed; ++i) EXPECT_TRUE(seen.contains(10000 + i)) << i;
    }
}

TEST(TidingsModelTest, AFullDiskLosesNothingWritten) {
    const QString dir = testSandbox() + "/full";
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
    const QString log = dir + "/F.log";
    FakeMetadata meta;
    auto event = std::make_shared<TDGCustomEvent>("full", TDGAttributes{{"k", QString(200, 'x')}});
    auto write = [&] {
        TDGWriteEventOperation op(event, meta, log);
        op.start();
        return op.success();
    };
    ASSERT_TRUE(write());
    const QByteArray before = readAll(log);
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = rlim_t(before.size() + 40);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool written = write();
    small.rlim_cur = 16;
    ::setrlimit(RLIMIT_FSIZE, &small);
    // The stages write whole outputs or none: the log stays for a later pass.
    TDGCompressLogOperation compress(log, dir + "/F.gz");
    compress.start();
    ::setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_FALSE(written);
    EXPECT_EQ(readAll(log), before);
    EXPECT_FALSE(compress.success());
    EXPECT_EQ(filesIn(dir), QStringList{log});
}

// A real full disk (a small tmpfs, filled up; mounting needs the superuser): events written then
// are lost, which the log says once, and their empty logs become no package, now or at the next
// launch.
TEST(TidingsModelTest, EventsOnAFullDiskAreLostOnceAndSendNoEmptyPackage) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    const QString mount = testSandbox() + "/tmpfs";
    QDir().mkpath(mount);
    const QByteArray mountPoint = QFile::encodeName(mount);
    if (::mount("qorvel-full", mountPoint.constData(), "tmpfs", 0, "size=512k") != 0) GTEST_SKIP() << "cannot mount a tmpfs here";
    const QString root = mount + "/root", filler = mount + "/filler";
    const QVariantMap settings{{"analytics", QVariantMap{{"url", "https://127.0.0.1:9/e"}}},
                               {"features", QVariantMap{{"collect_analytics", true}}}};
    setConsent(false);  // everything stays on the disk
    LogCapture log;
    {
        auto c = startController(root);
        c->initializeSettingsIfNeededWithTrellisSettings(settings);
        ASSERT_TRUE(c->waitUntilIdle(std::chrono::milliseconds(5000)));
        {
            QFile f(filler);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            while (f.write(QByteArray(4096, 'x')) > 0 && f.flush()) {
            }
        }
        for (int i = 0; i < 3; ++i) {
            c->logEvent(std::make_shared<TDGCustomEvent>("lost", TDGAttributes{{"i", i}}));
            c->applicationLifecycleEvent("NSApplicationDidBecomeActiveNotification");
        }
        ASSERT_TRUE(c->waitUntilIdle(std::chrono::milliseconds(5000)));
    }
    EXPECT_EQ(log.lines().filter("Events are lost").size(), 1) << log.lines().join('\n').toStdString();
    // Space again, and the next launch packages what the folder holds.
    QFile::remove(filler);
    {
        auto c = startController(root);
        ASSERT_TRUE(c->waitUntilIdle(std::chrono::milliseconds(5000)));
    }
    const QStringList packages = filesIn(root + "/events", "multipartmime");
    EXPECT_FALSE(packages.isEmpty());  // the events written before the disk filled
    for (const QJsonValue& package : readPackages(packages)) {
        const QJsonArray lines = package["parts"][0]["lines"].toArray();
        EXPECT_GE(lines.size(), 2);  // a metadata line and at least one event
    }
    setConsent(true);
    ::umount2(mountPoint.constData(), MNT_DETACH);
}

TEST(TidingsModelTest, FlushTimerRotatesOnlyOversizeLogs) {
    setConsent(false);
    Clock::setSpeed(2000);  // ten-second periods pass in five milliseconds
    struct Case {
        double interval;
        bool rotated;
    } cases[] = {{0, false}, {10, true}};
    for (const Case& k : cases) {
        const QString root = testSandbox() + QString("/flush%1").arg(k.interval);
        auto c = startController(root);
        c->initializeSettingsIfNeededWithTrellisSettings(
            QVariantMap{{"analytics", QVariantMap{{"flush_interval_secs", k.interval}, {"max_byte_size_per_file", 256}}}});
        c->applicationLifecycleEvent("NSApplicationDidBecomeActiveNotification");  // a fresh, empty log
        c->waitUntilIdle(std::chrono::milliseconds(5000));
        const int before = filesIn(c->eventDirectory(), "multipartmime").size();
        EXPECT_EQ(c->hasFlushTimer(), k.interval > 0);
        // One event: the metadata line alone passes the limit, but only the timer looks again.
        c->logEvent(std::make_shared<TDGCustomEvent>("one", TDGAttributes{}));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        c->waitUntilIdle(std::chrono::milliseconds(5000));
        EXPECT_EQ(filesIn(c->eventDirectory(), "multipartmime").size() > before, k.rotated) << k.interval;
    }
    Clock::setSpeed(1);
}

TEST(TidingsModelTest, TheKitStartsOnceAndDropsWhatItCannotRecord) {
    setConsent(false);
    Trellis::sharedSDK().setAPIKey("key-1");
    if (qEnvironmentVariableIsSet("TIDINGS_EXIT_CHILD")) {  // the child below: leaves with the kit running
        Tidings::startWithBetaToken("2:child");
        Tidings::logSearchWithQuery("needle", {});
        Tidings::sharedInstance()->tidingsController()->waitUntilIdle(std::chrono::milliseconds(5000));
        return;
    }
    Tidings::logCustomEventWithName("before the start");  // no controller: dropped
    Tidings::startWithBetaToken("2:first");
    auto controller = Tidings::sharedInstance()->tidingsController();
    ASSERT_TRUE(controller);
    Tidings::startWithBetaToken("2:second");
    EXPECT_EQ(Tidings::sharedInstance()->tidingsController(), controller);
    EXPECT_EQ(Tidings::sharedInstance()->bundleIdentifier(), "com.qorvel.kits.tidings.mac");
    controller->waitUntilIdle(std::chrono::milliseconds(5000));
    const QString log = controller->currentLogPath();
    Tidings::logPreviousSessionCrashedOnDate(QDateTime());
    Tidings::logSearchWithQuery("needle", {{"where", "project"}});
    controller->waitUntilIdle(std::chrono::milliseconds(5000));
    const QList<QByteArray> lines = linesOf(log);
    ASSERT_EQ(lines.size(), 3);  // metadata, app_launched, search: no crash, nothing from before
    EXPECT_TRUE(lines[0].contains("\"beta_tester_token\":\"first\""));
    EXPECT_TRUE(lines[2].contains("\"predefined_type\":\"search\""));
    Tidings::resetForTests();

    // The host's Info dictionary: a mal-formed extension entry is no extension.
    EXPECT_FALSE(TDGApplication(QVariantMap{{"NSExtension", "text"}}).isExtension());
    EXPECT_TRUE(TDGApplication(QVariantMap{{"NSExtension", QVariantMap{{"NSExtensionPointIdentifier", "x"}}}}).isExtension());

    // A process that ends with the kit still running ends cleanly.
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TIDINGS_EXIT_CHILD", "1");
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), {"--gtest_filter=TidingsModelTest.TheKitStartsOnceAndDropsWhatItCannotRecord"});
    ASSERT_TRUE(child.waitForFinished(20000));
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(child.exitCode(), 0) << child.readAllStandardError().toStdString();
}

TEST(TidingsModelTest, EventsFromEightThreadsKeepTheirOrder) {
    // Logged while the queue runs, and all at once while it is held (as when the queue is busy or
    // the threads outrun it): either way every file keeps the size rule, each thread's order, and
    // a crash of the previous run its own file under that run's metadata line.
    const qint64 limit = 4000;
    for (const bool held : {false, true}) {
        SCOPED_TRACE(held ? "held" : "running");
        setConsent(false);
        const QString root = testSandbox() + (held ? "/threads-held" : "/threads");
        QDir().mkpath(root);
        writeFile(root + "/crash_metadata", R"({"generator":"Tidings Mac SDK/1.3.4","session_id":"crashed-run","started_at":5})");
        auto controller = startController(root);
        controller->initializeSettingsIfNeededWithTrellisSettings(
            QVariantMap{{"analytics", QVariantMap{{"max_byte_size_per_file", limit}}}});
        controller->eventQueue()->setSuspended(held);
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t)
            threads.emplace_back([&, t] {
                for (int i = 0; i < 50; ++i)
                    controller->logEvent(std::make_shared<TDGCustomEvent>(QString("t%1").arg(t), TDGAttributes{{"i", i}}));
            });
        for (auto& t : threads) t.join();
        // A flush leaves a new log that the next event opens; the crash must not join that one.
        controller->applicationLifecycleEvent("NSApplicationDidBecomeActiveNotification");
        controller->logEvent(std::make_shared<TDGCustomEvent>("after flush", TDGAttributes{}));
        controller->logCrashEvent(std::make_shared<TDGCrashEvent>(1700000000.25, 1));
        controller->eventQueue()->setSuspended(false);
        ASSERT_TRUE(controller->waitUntilIdle(std::chrono::milliseconds(20000)));
        // Without consent nothing went: every event is in a package or the current log.
        QStringList packages = filesIn(controller->eventDirectory(), "multipartmime");
        EXPECT_GT(packages.size(), 8);  // about 50 kB of lines
        QJsonArray currentLines;
        for (const QByteArray& l : linesOf(controller->currentLogPath())) {
            const auto f = l.split('\t');
            ASSERT_EQ(f.size(), 4);
            currentLines.append(QJsonObject{{"name", QString(f[1])},
                                            {"ok", f[2].toInt() == f[3].size()},
                                            {"bytes", l.size() + 1},
                                            {"payload", QJsonDocument::fromJson(f[3]).object()}});
        }
        QList<QJsonArray> lineSets{currentLines};  // the current log first; after the crash it is not made yet
        for (const QJsonValue& p : readPackages(packages)) lineSets.append(p["parts"][0]["lines"].toArray());
        QMap<QString, QSet<int>> perThread;
        int seen = 0, crashes = 0;
        for (qsizetype n = 0; n < lineSets.size(); ++n) {
            const QJsonArray& lines = lineSets[n];
            if (n == 0 && lines.isEmpty()) continue;
            ASSERT_FALSE(lines.isEmpty());
            EXPECT_EQ(lines[0]["name"].toString(), "metadata");
            // The size is tested before each event's line: a file is rotated once it passed the
            // limit, with that event's line as its last, and the current one has not passed it.
            qint64 before = 0;
            for (qsizetype k = 0; k + 1 < lines.size(); ++k) before += lines[k]["bytes"].toInteger();
            const QString lastName = lines.last()["name"].toString();
            if (n == 0) {
                EXPECT_LE(before, limit);
            } else if (lastName == "custom" && lines.size() > 2) {
                EXPECT_GT(before, limit);
                EXPECT_LE(before - lines[lines.size() - 2]["bytes"].toInteger(), limit);
            }
            if (lastName == "app_crashed") {
                ++crashes;
                EXPECT_EQ(lines.size(), 2);
                EXPECT_EQ(lines[0]["payload"]["session_id"].toString(), "crashed-run");
            }
            QMap<QString, int> last;  // within a file each thread's events come in the order logged
            for (const QJsonValue& l : lines) {
                EXPECT_TRUE(l["ok"].toBool());
                if (l["name"].toString() != "custom" || !l["payload"]["custom_attributes"].toObject().contains("i")) continue;
                ++seen;
                const QString thread = l["payload"]["custom_type"].toString();
                const int i = l["payload"]["custom_attributes"]["i"].toInt();
                EXPECT_GT(i, last.value(thread, -1)) << thread.toStdString();
                last[thread] = i;
                perThread[thread].insert(i);
            }
        }
        EXPECT_EQ(crashes, 1);
        EXPECT_EQ(seen, 400);
        EXPECT_EQ(perThread.size(), 8);
        for (const auto& values : perThread) EXPECT_EQ(values.size(), 50);
    }
}

}  // namespace
