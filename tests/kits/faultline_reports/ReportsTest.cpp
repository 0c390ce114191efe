// The report side on real files: the store's folders and its refusal to follow links out, the
// settings' sources and bounds, report metadata read by name, symbolication of real crashes and
// of frames placed at symbols' first bytes, and packages that are whole or absent (checked with
// python's email and gzip), a full disk included.
#include "kits/faultline/FLTContext.h"
#include "kits/faultline/FLTRecordReader.h"
#include "kits/faultline/FLTWebView.h"
#include "kits/faultline/FLTUserLogging.h"
#include "kits/faultline/reports/FLTFileManager.h"
#include "kits/faultline/reports/Faultline.h"
#include "kits/faultline/reports/FLTPackageReportOperation.h"
#include "kits/faultline/reports/FLTReport.h"
#include "kits/faultline/reports/FLTSettings.h"
#include "kits/faultline/reports/FLTSymbolication.h"
#include "tests/kits/faultline_reports/ReportsSupport.h"
#include "tests/support/LogCapture.h"
#include "platform/MainQueue.h"
#include "platform/Paths.h"
#include "platform/PropertyList.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestSupport.h"
#include "kits/trellis/TRLKitRegistry.h"
#include "kits/trellis/TRLHelpers.h"
#include "kits/trellis/Trellis.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <thread>

#include <elf.h>
#include <link.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace reports_test;

// Symbols of this test for frames at known places. Never inlined or folded together.
__attribute__((noinline, used)) int qvReportsFirstSymbol(int x) {
    asm volatile("nop; nop; nop; nop");
    return x * 3 + 1;
}
__attribute__((noinline, used)) int qvReportsSecondSymbol(int x) {
    asm volatile("nop; nop; nop; nop");
    return x * 5 + 2;
}
__attribute__((noinline, used)) unsigned long operator""_qvq(const char* text, unsigned long length) {
    asm volatile("nop; nop; nop; nop");
    return length + (text ? 1 : 0);
}

namespace {

QString writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    f.open(QIODevice::WriteOnly | QIODevice::Truncate);
    f.write(bytes);
    return path;
}

QVariantMap section(const QVariant& line, const QString& name) { return line.toMap().value(name).toMap(); }

// What the package the store makes of a report folder (as the next launch would) says of damaged
// records: its "damaged_records" part, empty without one. The package goes again after.
QString damagedRecordsOfPackage(const QString& folder, const std::shared_ptr<FLTFileManager>& store) {
    auto report = FLTInternalReport::reportWithPath(folder);
    if (!report) {
        ADD_FAILURE() << "no report in " << folder.toStdString();
        return {};
    }
    FLTPackageReportOperation op(report, store);
    op.start();
    if (op.finalPath().isEmpty()) {
        ADD_FAILURE() << "not packaged: " << folder.toStdString();
        return {};
    }
    QString failure;
    const auto packages = parsePackages({op.finalPath()}, &failure);
    store->removeItemAtPath(op.finalPath());
    if (packages.size() != 1) ADD_FAILURE() << "the package does not parse: " << failure.toStdString();
    return packages.size() == 1 ? part(packages[0], "damaged_records").value("text").toString() : QString();
}

// What a web view would take from the kit: its scripts and its handlers by name.
struct WebContent : FLTWebViewUserContent {
    QStringList scripts;
    QMap<QString, std::function<void(const QVariant&)>> handlers;
    void addUserScript(const QString& source) override { scripts << source; }
    void addMessageHandler(const QString& name, std::function<void(const QVariant&)> handler) override { handlers.insert(name, std::move(handler)); }
};

}  // namespace

TEST(FaultlineReports, StoreKeepsToItsFoldersAndNeverFollowsLinksOut) {
    TestDir dir;
    FLTFileManager store(dir.file(QStringLiteral("root")));
    ASSERT_TRUE(store.prepareForNewLaunch());
    for (const QString& p : {store.activePath(), store.processingPath(), store.preparedPath()}) EXPECT_TRUE(QFileInfo(p).isDir()) << p.toStdString();
    EXPECT_FALSE(QFileInfo::exists(store.pendingPath()));

    // Links into a folder outside the store, a hidden file, reports with content.
    const QString outside = writeFile(dir.file(QStringLiteral("outside/keep")), "precious");
    writeFile(store.activePath() + QStringLiteral("/r1/signal.fltrecord"), "{}\n");
    ASSERT_EQ(::symlink(QFileInfo(outside).path().toLocal8Bit().constData(), (store.activePath() + QStringLiteral("/r1/link")).toLocal8Bit().constData()), 0);
    ASSERT_EQ(::symlink(QFileInfo(outside).path().toLocal8Bit().constData(), (store.activePath() + QStringLiteral("/r2")).toLocal8Bit().constData()), 0);
    writeFile(store.preparedPath() + QStringLiteral("/.hidden"), "x");
    EXPECT_EQ(store.activePathContents().size(), 2);
    EXPECT_TRUE(store.preparedPathContents().isEmpty());
    EXPECT_TRUE(store.removeContentsOfAllPaths());
    EXPECT_EQ(readAll(outside), "precious");
    EXPECT_TRUE(store.activePathContents().isEmpty());
    EXPECT_TRUE(QFileInfo::exists(store.preparedPath() + QStringLiteral("/.hidden")));

    // A move stops at the first entry that cannot go; those after it stay.
    for (const char* name : {"a", "b", "c"}) writeFile(store.processingPath() + QLatin1Char('/') + QLatin1String(name) + QStringLiteral("/f"), name);
    QDir().mkpath(store.preparedPath() + QStringLiteral("/b/occupied"));
    EXPECT_FALSE(store.moveProcessingContentsToPrepared());
    EXPECT_TRUE(QFileInfo::exists(store.preparedPath() + QStringLiteral("/a/f")));
    EXPECT_TRUE(QFileInfo::exists(store.processingPath() + QStringLiteral("/b/f")));
    EXPECT_TRUE(QFileInfo::exists(store.processingPath() + QStringLiteral("/c/f")));

    // Identifiers that would leave the active folder make no folder.
    for (const char* bad : {"../escape", ".hidden", ""}) EXPECT_TRUE(store.setupNewPathForExecutionIdentifier(QLatin1String(bad)).isEmpty()) << bad;
    EXPECT_EQ(store.setupNewPathForExecutionIdentifier(QStringLiteral("run")), store.activePath() + QStringLiteral("/run"));

    // The legacy mark removes the whole root, and the new layout is made again after it.
    writeFile(store.rootPath() + QStringLiteral("/sendable"), "");
    store.removeLegacyDirectories();
    EXPECT_FALSE(QFileInfo::exists(store.rootPath()));
    EXPECT_EQ(readAll(outside), "precious");
    EXPECT_TRUE(store.prepareForNewLaunch());
}

TEST(FaultlineReports, SettingsResolveSourcesAndBoundServerValues) {
    TRLSetInfoDictionary(QVariantMap{{"CFBundleIdentifier", "com.qorvel.Qorvel"},
                                     {"Faultline", QVariantMap{{"SubmitReports", true}, {"ReportsEndpoint", "https://info.example"}}}});
    qunsetenv("FaultlineReportsEndpoint");
    qputenv("FaultlineSubmitReports", "NO");
    FLTSettings none;
    EXPECT_FALSE(none.shouldSubmitReports());
    EXPECT_TRUE(none.shouldPackageReports());
    EXPECT_EQ(none.reportsEndpoint(), "https://info.example");
    EXPECT_TRUE(none.betaEndpoint().isEmpty());
    qunsetenv("FaultlineSubmitReports");
    EXPECT_TRUE(none.shouldSubmitReports());
    TRLSetInfoDictionary(QVariantMap{{"CFBundleIdentifier", "com.qorvel.Qorvel"}});
    EXPECT_TRUE(FLTSettings().reportsEndpoint().isEmpty());  // nothing built in: nothing sent

    struct Row {
        const char* what;
        QVariantMap server;
        bool reports, prompt;
        quint32 buffer, keys;
        double suspend;
        QStringList said;  // each value of the wrong kind, logged once
    };
    const Row rows[] = {
        {"nothing downloaded", {}, true, false, 65536, 16, 3600},
        {"collect_reports false", {{"features", QVariantMap{{"collect_reports", false}, {"prompt_enabled", true}}}}, false, true, 65536, 16, 3600},
        {"a switch of the wrong type is missing", {{"features", QVariantMap{{"collect_reports", "no"}}}}, true, false, 65536, 16, 3600,
         {R"([Faultline] Settings value "features.collect_reports" ignored: it should be true or false, not the text "no")"}},
        {"a group of the wrong type is missing", {{"session", QVariantList{1, 2}}}, true, false, 65536, 16, 3600,
         {R"([Faultline] Settings value "session" ignored: it should be an object, not a list)"}},
        {"negative sizes clamp to zero", {{"session", QVariantMap{{"log_buffer_size", -5}, {"max_custom_key_value_pairs", -1}}}}, true, false, 0, 0, 3600},
        {"huge sizes clamp", {{"session", QVariantMap{{"log_buffer_size", 1e12}, {"max_custom_key_value_pairs", 1e9}}}, {"beta", QVariantMap{{"update_suspend_duration", 1e15}}}},
         true, false, 1u << 20, 1024, 7 * 24 * 3600},
        {"numbers as text are missing", {{"session", QVariantMap{{"log_buffer_size", "12"}}}, {"beta", QVariantMap{{"update_suspend_duration", "x"}}}}, true, false, 65536, 16, 3600,
         {R"([Faultline] Settings value "session.log_buffer_size" ignored: it should be a number, not the text "12")",
          R"([Faultline] Settings value "beta.update_suspend_duration" ignored: it should be a number, not the text "x")"}},
    };
    LogCapture log;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        log.clear();
        const FLTSettings s(row.server.isEmpty() ? std::nullopt : std::optional<QVariantMap>(row.server));
        for (int pass = 0; pass < 2; ++pass) {
            EXPECT_EQ(s.crashReportingEnabled(), row.reports);
            EXPECT_EQ(s.userPromptEnabled(), row.prompt);
            EXPECT_EQ(s.logBufferSize(), row.buffer);
            EXPECT_EQ(s.maxCustomKeys(), row.keys);
            EXPECT_EQ(s.betaSuspendDuration(), row.suspend);
        }
        QStringList said = log.lines().filter("Settings value");
        said.sort();
        QStringList expected = row.said;
        expected.sort();
        EXPECT_EQ(said, expected);
    }
    const FLTSettings prompt(QVariantMap{{"prompt", QVariantMap{{"title", "From the server"}, {"message", 7}}}});
    EXPECT_EQ(prompt.interactivePromptTitle(), "From the server");
    EXPECT_EQ(prompt.interactivePromptMessage(), "Looks like we crashed! Please help us fix the problem by sending a crash report.");
    TRLSetInfoDictionary(std::nullopt);
}

TEST(FaultlineReports, ReportMetadataIsReadByNameAndCrashFilesDecide) {
    TestDir dir;
    // "host" dropped, a damaged line, sections out of their usual order.
    const QString folder = dir.file(QStringLiteral("r"));
    writeFile(folder + QStringLiteral("/metadata.fltrecord"),
              "{\"application\":{\"build_version\":\"7\",\"display_version\":\"1.2\"}}\n{\"broken\n"
              "{\"identity\":{\"session_id\":\"abc\",\"api_key\":\"k\",\"started_at\":0}}\n");
    auto report = FLTInternalReport::reportWithPath(folder);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->identifier(), "abc");
    EXPECT_EQ(report->APIKey(), "k");
    EXPECT_EQ(report->bundleShortVersionString(), "1.2");
    EXPECT_TRUE(report->OSVersion().isEmpty());
    EXPECT_EQ(report->dateCreated().toSecsSinceEpoch(), 0);
    EXPECT_FALSE(report->needsToBeSubmitted());

    struct Row {
        const char* what;
        QStringList files;
        bool submit, crash;
        qint64 date;  // -1: none
    };
    const Row rows[] = {
        {"only errors", {"errors_a.fltrecord"}, true, false, -1},
        {"only an exception", {"exception.fltrecord"}, true, true, -1},
        {"signal", {"signal.fltrecord"}, true, true, 200},
        {"mach wins over signal", {"signal.fltrecord", "mach_exception.fltrecord"}, true, true, 100},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const QString f = dir.file(QLatin1String(row.what).toString().replace(' ', '_'));
        writeFile(f + QStringLiteral("/metadata.fltrecord"), "{\"identity\":{\"session_id\":\"x\"}}\n");
        for (const QString& name : row.files)
            writeFile(f + QLatin1Char('/') + name, name.startsWith(QLatin1String("mach")) ? "{\"mach_exception\":{\"time\":100}}\n" : "{\"signal\":{\"time\":200}}\n");
        auto r = FLTInternalReport::reportWithPath(f);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->needsToBeSubmitted(), row.submit);
        EXPECT_EQ(r->isCrash(), row.crash);
        EXPECT_EQ(r->crashedOnDate().isValid() ? r->crashedOnDate().toSecsSinceEpoch() : -1, row.date);
    }
    // No identifier: nothing to open.
    writeFile(dir.file(QStringLiteral("anon/metadata.fltrecord")), "{\"identity\":{\"api_key\":\"k\"}}\n");
    EXPECT_FALSE(FLTInternalReport::reportWithPath(dir.file(QStringLiteral("anon"))));
}

TEST(FaultlineReports, RealCrashesAreSymbolicatedWithTheCrashersFunctions) {
    for (const char* program : {FAULTLINE_CRASHER_FP, FAULTLINE_CRASHER_NOFP}) {
        for (const char* kind : {"null-write", "ud2", "throw-std"}) {
            SCOPED_TRACE(std::string(program) + " " + kind);
            TestDir dir;
            const QString folder = dir.file(QStringLiteral("report"));
            QDir().mkpath(folder);
            runCrasher(program, folder, kind);
            auto report = FLTInternalReport::reportWithPath(folder);
            ASSERT_TRUE(report);
            FLTProcessReportOperation process(report, std::make_shared<FLTSymbolResolver>());
            process.start();
            const QString crashFile = QLatin1String(kind) == QLatin1String("throw-std") ? QStringLiteral("exception.fltrecord") : QStringLiteral("signal.fltrecord");
            const auto sections = FLTFileReadSections(folder + QLatin1Char('/') + crashFile + QStringLiteral(".symbolicated"), false);
            ASSERT_TRUE(sections && sections->size() == 1);
            QStringList names, libraries;
            for (const QVariant& thread : sections->first().toMap().value(QStringLiteral("threads")).toList())
                for (const QVariant& frame : thread.toList()) {
                    names << frame.toMap().value(QStringLiteral("symbol")).toString();
                    libraries << frame.toMap().value(QStringLiteral("library")).toString();
                }
            const QString all = names.join(QLatin1Char('\n'));
            EXPECT_TRUE(all.contains(QStringLiteral("main"))) << all.toStdString();
            if (QLatin1String(kind) == QLatin1String("null-write")) {
                EXPECT_TRUE(all.contains(QStringLiteral("(anonymous namespace)::nullWrite()"))) << all.toStdString();
            }
            if (QLatin1String(kind) == QLatin1String("ud2")) {
                EXPECT_TRUE(all.contains(QStringLiteral("illegalInstruction"))) << all.toStdString();
            }
            EXPECT_TRUE(libraries.contains(QFileInfo(QLatin1String(program)).fileName()));
        }
    }
}

namespace {

struct OwnImage {
    QString uuid;
    quint64 base = 0, size = 0;
};

OwnImage ownImage() {
    OwnImage image;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) -> int {
            if (info->dlpi_name && info->dlpi_name[0]) return 0;  // the executable comes first, unnamed
            auto* out = static_cast<OwnImage*>(data);
            quint64 low = ~0ull, high = 0;
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const auto& ph = info->dlpi_phdr[i];
                if (ph.p_type == PT_LOAD) {
                    low = std::min<quint64>(low, ph.p_vaddr);
                    high = std::max<quint64>(high, ph.p_vaddr + ph.p_memsz);
                }
                if (ph.p_type == PT_NOTE && out->uuid.isEmpty()) {
                    const auto* note = reinterpret_cast<const unsigned char*>(info->dlpi_addr + ph.p_vaddr);
                    quint32 n, d, t;
                    std::memcpy(&n, note, 4), std::memcpy(&d, note + 4, 4), std::memcpy(&t, note + 8, 4);
                    if (t == NT_GNU_BUILD_ID) out->uuid = QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(note + 12 + ((n + 3) & ~3u)), d).toHex());
                }
            }
            out->base = info->dlpi_addr + (low & ~0xFFFull);
            out->size = info->dlpi_addr + high - out->base;
            return 1;
        },
        &image);
    return image;
}

}  // namespace

TEST(FaultlineReports, FramesAtASymbolsFirstByteAndQuotedNamesAreWrittenSoundly) {
    const OwnImage self = ownImage();
    ASSERT_FALSE(self.uuid.isEmpty());
    TestDir dir;
    const QString folder = dir.file(QStringLiteral("report"));
    const QString exe = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    writeFile(folder + QStringLiteral("/binary_images.fltrecord"),
              QStringLiteral("{\"load\":{\"path\":\"%1\",\"uuid\":\"%2\",\"base\":%3,\"size\":%4}}\n"
                             "{\"load\":{\"path\":\"/nonexistent/libgone.so\",\"uuid\":\"00ff\",\"base\":4096,\"size\":4096}}\n")
                  .arg(exe, self.uuid)
                  .arg(self.base)
                  .arg(self.size)
                  .toUtf8());
    const quint64 second = quint64(reinterpret_cast<uintptr_t>(&qvReportsSecondSymbol));
    const quint64 quoted = quint64(reinterpret_cast<uintptr_t>(static_cast<unsigned long (*)(const char*, unsigned long)>(&operator""_qvq)));
    // Thread 1: the crashed frame at a symbol's first byte, then the same address as a return
    // address (a call that was the last instruction before it), then a quoted name.
    // Thread 2: a frame in an image that is not there.
    writeFile(folder + QStringLiteral("/signal.fltrecord"), QStringLiteral("{\"signal\":{\"time\":1}}\n{\"threads\":[{\"stacktrace\":[%1,%1,%2]},{\"stacktrace\":[4200]}]}\n")
                                                                .arg(second)
                                                                .arg(quoted + 2)
                                                                .toUtf8());
    writeFile(folder + QStringLiteral("/metadata.fltrecord"), "{\"identity\":{\"session_id\":\"s\"}}\n");
    auto report = FLTInternalReport::reportWithPath(folder);
    ASSERT_TRUE(report);
    FLTProcessReportOperation process(report, std::make_shared<FLTSymbolResolver>());
    process.start();
    const auto sections = FLTFileReadSections(folder + QStringLiteral("/signal.fltrecord.symbolicated"), false);
    ASSERT_TRUE(sections && sections->size() == 1) << readAll(folder + QStringLiteral("/signal.fltrecord.symbolicated")).toStdString();
    const QVariantList threads = section(sections->first(), QString()).isEmpty() ? sections->first().toMap().value(QStringLiteral("threads")).toList() : QVariantList();
    ASSERT_EQ(threads.size(), 2);
    const QVariantList first = threads[0].toList();
    ASSERT_EQ(first.size(), 3);
    EXPECT_EQ(first[0].toMap().value("symbol").toString(), "qvReportsSecondSymbol(int)");
    EXPECT_EQ(first[0].toMap().value("raw_symbol").toString(), "_Z21qvReportsSecondSymboli");
    EXPECT_EQ(first[0].toMap().value("offset").toULongLong(), 0u);
    EXPECT_NE(first[1].toMap().value("symbol").toString(), "qvReportsSecondSymbol(int)");
    EXPECT_EQ(first[2].toMap().value("symbol").toString(), "operator\"\" _qvq(char const*, unsigned long)");
    EXPECT_EQ(first[2].toMap().value("offset").toULongLong(), 2u);
    EXPECT_EQ(first[2].toMap().value("library").toString(), QFileInfo(exe).fileName());
    const QVariantMap gone = threads[1].toList().value(0).toMap();
    EXPECT_TRUE(gone.value("symbol").isNull());
    EXPECT_TRUE(gone.value("library").isNull());
    EXPECT_EQ(gone.value("offset").toULongLong(), 0u);

    // Demangling by prefix.
    EXPECT_EQ(FLTDemangleOperation::demangleSymbol("__Z21qvReportsSecondSymboli_block_invoke_2"), "qvReportsSecondSymbol(int)_block_invoke_2");
    EXPECT_TRUE(FLTDemangleOperation::demangleSymbol("_TFC4main").isEmpty());
    EXPECT_TRUE(FLTDemangleOperation::demangleSymbol("main").isEmpty());
    EXPECT_TRUE(FLTDemangleOperation::demangleSymbol("_Zbroken!").isEmpty());
}

TEST(FaultlineReports, PackagesAreWholeOrAbsent) {
    TestDir dir;
    auto store = std::make_shared<FLTFileManager>(dir.file(QStringLiteral("root")));
    ASSERT_TRUE(store->prepareForNewLaunch());
    QByteArray big(1 << 20, Qt::Uninitialized);
    for (char& c : big) c = char(QRandomGenerator::global()->generate());

    struct Row {
        const char* what;
        QByteArray metadata;
        bool withBig;
        qint64 fileSizeLimit;  // 0: none
        bool packaged;
    };
    const Row rows[] = {
        {"with an API key", "{\"identity\":{\"session_id\":\"rid\",\"api_key\":\"k1\"}}\n", false, 0, true},
        {"without an API key", "{\"identity\":{\"session_id\":\"rid\"}}\n", false, 0, true},
        // A key the metadata holds is packed even when empty: the server, not the packer, judges it.
        {"with an empty API key", "{\"identity\":{\"session_id\":\"rid\",\"api_key\":\"\"}}\n", false, 0, true},
        {"with a null API key", "{\"identity\":{\"session_id\":\"rid\",\"api_key\":null}}\n", false, 0, true},
        {"a full disk", "{\"identity\":{\"session_id\":\"rid\",\"api_key\":\"k1\"}}\n", true, 256 * 1024, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const QString folder = store->processingPath() + QStringLiteral("/rid");
        writeFile(folder + QStringLiteral("/metadata.fltrecord"), row.metadata);
        writeFile(folder + QStringLiteral("/signal.fltrecord"),
                  "{\"signal\":{\"name\":\"SIGSEGV \\\"quoted\\\"\"}}\n{\"threads\":[]}\n{\"runtime\":{}}\n"
                  "{\"dispatch_queue_names\":[]}\n{\"thread_names\":[]}\n{\"storage\":{}}\n");
        writeFile(folder + QStringLiteral("/signal.fltrecord.gz"), "left by an interrupted run");
        writeFile(folder + QStringLiteral("/errors_a.fltrecord"), "");
        writeFile(folder + QStringLiteral("/.DS_Store"), "hidden");
        writeFile(dir.file(QStringLiteral("secret")), "outside");
        QFile::link(dir.file(QStringLiteral("secret")), folder + QStringLiteral("/link.fltrecord"));
        if (row.withBig) writeFile(folder + QStringLiteral("/binary_images.fltrecord"), big);
        auto report = FLTInternalReport::reportWithPath(folder);
        ASSERT_TRUE(report);

        QString finalPath;
        if (row.fileSizeLimit) {
            // In a child: the limit would bite the test's own files too.
            const pid_t pid = ::fork();
            if (pid == 0) {
                ::signal(SIGXFSZ, SIG_IGN);
                const rlimit limit{rlim_t(row.fileSizeLimit), rlim_t(row.fileSizeLimit)};
                ::setrlimit(RLIMIT_FSIZE, &limit);
                FLTPackageReportOperation op(report, store);
                op.start();
                ::_exit(op.finalPath().isEmpty() ? 0 : 1);
            }
            int status = 0;
            ::waitpid(pid, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        } else {
            FLTPackageReportOperation op(report, store);
            op.start();
            finalPath = op.finalPath();
        }
        // Nothing half-written is left, visible or hidden; the report folder is untouched.
        const QStringList prepared = QDir(store->preparedPath()).entryList(QDir::Files | QDir::Hidden);
        EXPECT_EQ(prepared.size(), row.packaged ? 1 : 0) << prepared.join(' ').toStdString();
        EXPECT_TRUE(QFileInfo::exists(folder + QStringLiteral("/signal.fltrecord")));
        if (!row.packaged) {
            EXPECT_TRUE(finalPath.isEmpty());
            store->removeItemAtPath(folder);
            continue;
        }
        ASSERT_FALSE(finalPath.isEmpty());
        QString failure;
        const auto packages = parsePackages({finalPath}, &failure);
        ASSERT_EQ(packages.size(), 1) << failure.toStdString();
        QStringList names;
        for (const QVariant& p : packages[0]) names << p.toMap().value("name").toString();
        const bool keyed = row.metadata.contains("api_key") && !row.metadata.contains("null");
        const QStringList expected = (keyed ? QStringList{"api_key"} : QStringList()) + QStringList{"report_id", "metadata.fltrecord", "signal.fltrecord"};
        EXPECT_EQ(names, expected);
        EXPECT_EQ(part(packages[0], "report_id").value("text").toString(), "rid");
        if (keyed) {
            EXPECT_EQ(part(packages[0], "api_key").value("text").toString(), row.metadata.contains("k1") ? "k1" : "");
        }
        const QVariantMap signal = part(packages[0], "signal.fltrecord");
        EXPECT_EQ(signal.value("filename").toString(), "signal.fltrecord.gz");
        EXPECT_EQ(signal.value("type").toString(), "application/x-gzip");
        EXPECT_EQ(signal.value("text").toString().toUtf8(), readAll(folder + QStringLiteral("/signal.fltrecord")));
        store->removeItemAtPath(finalPath);
        store->removeItemAtPath(folder);
    }
}

// A crash on a full disk (a small tmpfs, filled once capture has started; mounting needs the
// superuser) leaves its record empty or cut short: the package says so in a part of its own, and
// a crash recorded whole has no such part.
TEST(FaultlineReports, ACrashOnAFullDiskSaysItsRecordIsDamaged) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    TestDir dir;
    const QString mount = dir.file(QStringLiteral("tmpfs"));
    QDir().mkpath(mount);
    const QByteArray mountPoint = QFile::encodeName(mount);
    if (::mount("qorvel-full", mountPoint.constData(), "tmpfs", 0, "size=1m") != 0) GTEST_SKIP() << "cannot mount a tmpfs here";
    auto store = std::make_shared<FLTFileManager>(dir.file(QStringLiteral("root")));
    ASSERT_TRUE(store->prepareForNewLaunch());
    for (const bool full : {true, false}) {
        SCOPED_TRACE(full ? "a full disk" : "room enough");
        const QString folder = mount + QStringLiteral("/report"), filler = mount + QStringLiteral("/filler");
        QDir(folder).removeRecursively();
        QDir().mkpath(folder);
        const QByteArray folderBytes = folder.toUtf8();
        char* argv[] = {const_cast<char*>(FAULTLINE_CRASHER_FP), const_cast<char*>(folderBytes.constData()),
                        const_cast<char*>("null-write-when-told"), nullptr};
        pid_t pid = 0;
        ASSERT_EQ(::posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ), 0);
        for (int i = 0; i < 2000 && !QFile::exists(folder + QStringLiteral("/expect")); ++i) ::usleep(5000);
        ::usleep(100000);  // the start's own files written
        if (full) {
            QFile f(filler);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            while (f.write(QByteArray(4096, 'x')) > 0 && f.flush()) {
            }
        }
        writeFile(folder + QStringLiteral("/go"), {});
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status));
        QFile::remove(filler);
        const QByteArray record = readAll(folder + QStringLiteral("/signal.fltrecord"));
        EXPECT_EQ(record.endsWith('\n'), !full) << record.size();
        // Packaged from the store, as the next launch would.
        const QString moved = store->processingPath() + QStringLiteral("/rid");
        QDir().mkpath(moved);
        for (const QString& name : QDir(folder).entryList(QDir::Files)) QFile::copy(folder + QLatin1Char('/') + name, moved + QLatin1Char('/') + name);
        const QString damaged = damagedRecordsOfPackage(moved, store);
        if (full)
            EXPECT_TRUE(damaged.contains(record.isEmpty() ? "signal.fltrecord is empty" : "signal.fltrecord is cut short")) << damaged.toStdString();
        else
            EXPECT_TRUE(damaged.isEmpty()) << damaged.toStdString();
        store->removeItemAtPath(moved);
    }
    ::umount2(mountPoint.constData(), MNT_DETACH);
}

// A real crash's record, cut at each of its line ends and inside each line, lacks sections the
// crash handler writes: each says so, the whole one and one without the optional process
// statistics do not; packaged, a record cut at a line end carries the part that says it.
TEST(FaultlineReports, ARecordShortOfItsSectionsIsDamagedWhateverByteItEndsOn) {
    TestDir dir;
    const QString crashed = dir.file(QStringLiteral("crashed"));
    QDir().mkpath(crashed);
    ASSERT_TRUE(WIFSIGNALED(runCrasher(FAULTLINE_CRASHER_FP, crashed, "null-write")));
    const QByteArray whole = readAll(crashed + QStringLiteral("/signal.fltrecord"));
    ASSERT_TRUE(whole.endsWith('\n'));
    QList<qsizetype> lineEnds;
    for (qsizetype i = 0; i < whole.size(); ++i)
        if (whole[i] == '\n') lineEnds << i + 1;
    ASSERT_GE(lineEnds.size(), 7);
    struct Row {
        QString what;
        QByteArray bytes;
        QString damage;
    };
    QList<Row> rows{{QStringLiteral("whole"), whole, QString()},
                    {QStringLiteral("empty"), QByteArray(), QStringLiteral("is empty")},
                    {QStringLiteral("a line garbled inside"), QByteArray(whole).replace(lineEnds[1] + 2, 3, "\x01\x02\x03"), QStringLiteral("is cut short")}};
    QByteArray withoutStats;
    for (const QByteArray& line : whole.split('\n'))
        if (!line.isEmpty() && !line.startsWith("{\"process_stats\"")) withoutStats += line + '\n';
    rows.append({QStringLiteral("no process statistics"), withoutStats, QString()});
    for (qsizetype i = 0; i + 1 < lineEnds.size(); ++i) {
        rows.append({QStringLiteral("cut after line %1").arg(i + 1), whole.left(lineEnds[i]), QStringLiteral("is cut short")});
        rows.append({QStringLiteral("cut inside line %1").arg(i + 2), whole.left(lineEnds[i] + 5), QStringLiteral("is cut short")});
    }
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what.toStdString());
        EXPECT_EQ(FLTCrashRecordDamage(row.bytes), row.damage);
    }

    auto store = std::make_shared<FLTFileManager>(dir.file(QStringLiteral("root")));
    ASSERT_TRUE(store->prepareForNewLaunch());
    for (const bool cut : {true, false}) {
        SCOPED_TRACE(cut ? "cut after its threads" : "whole");
        const QString folder = store->processingPath() + (cut ? QStringLiteral("/cut") : QStringLiteral("/whole"));
        writeFile(folder + QStringLiteral("/metadata.fltrecord"), readAll(crashed + QStringLiteral("/metadata.fltrecord")));
        writeFile(folder + QStringLiteral("/signal.fltrecord"), cut ? whole.left(lineEnds[1]) : whole);
        EXPECT_EQ(damagedRecordsOfPackage(folder, store).contains("signal.fltrecord is cut short"), cut);
    }
}

TEST(FaultlineReports, ACrashOfTheLastRunReachesTheAnalyticsKitWithItsStartTime) {
    // The analytics kit as the registry offers it; the two kits never link each other.
    struct Recorder : TRLAnalyticsKit {
        QList<QDateTime> crashes;
        QString kitName() const override { return QStringLiteral("Tidings"); }
        QString bundleIdentifier() const override { return {}; }
        QString kitDisplayVersion() const override { return {}; }
        void startAnalytics(const QString&) override {}
        void logPreviousSessionCrashed(const QDateTime& date) override { crashes << date; }
    };
    auto recorder = std::make_shared<Recorder>();
    TRLKitRegistry::registerKit(recorder);
    TestDir dir;
    for (const auto& [name, crashFile] : {std::pair{"crashed", "signal.fltrecord"}, std::pair{"errors only", "errors_a.fltrecord"}}) {
        const QString folder = dir.file(QString::fromLatin1(name));
        writeFile(folder + QStringLiteral("/metadata.fltrecord"), "{\"identity\":{\"session_id\":\"s\",\"started_at\":1700000000}}\n");
        writeFile(folder + QLatin1Char('/') + QLatin1String(crashFile), "{\"signal\":{\"time\":1700000100}}\n");
        Faultline::sharedInstance()->reportingControllerInternalDidDetectReportForLastExecution(FLTInternalReport::reportWithPath(folder));
    }
    MainQueue::drain();
    ASSERT_EQ(recorder->crashes.size(), 1);
    EXPECT_EQ(recorder->crashes[0].toSecsSinceEpoch(), 1700000000);
    TRLKitRegistry::clear();
}

namespace {

// A delegate implementing the forms its row names, recording what the kit called.
struct FormsDelegate : FaultlineDelegate {
    bool readOnly = false, withCompletion = false, olderWithReport = false, older = false, answer = true;
    int readOnlyCalls = 0, completionCalls = 0, olderWithReportCalls = 0, olderCalls = 0;
    bool readOnlyReportWritable = true, olderReportWritable = false;
    bool implementsDidDetectReport() const override { return readOnly; }
    void faultlineDidDetectReportForLastExecution(const std::shared_ptr<FLTReport>& report) override {
        ++readOnlyCalls;
        readOnlyReportWritable = report->canRecordNewValues();
    }
    bool implementsDidDetectReportWithCompletion() const override { return withCompletion; }
    void faultlineDidDetectReportForLastExecutionWithCompletion(const std::shared_ptr<FLTReport>&, std::function<void(bool)> completion) override {
        ++completionCalls;
        completion(answer);
    }
    bool implementsDidDetectCrashDuringPreviousExecutionWithReport() const override { return olderWithReport; }
    void faultlineDidDetectCrashDuringPreviousExecutionWithReport(Faultline&, const std::shared_ptr<FLTReport>& report) override {
        ++olderWithReportCalls;
        olderReportWritable = report->canRecordNewValues();
    }
    bool implementsDidDetectCrashDuringPreviousExecution() const override { return older; }
    void faultlineDidDetectCrashDuringPreviousExecution(Faultline&) override { ++olderCalls; }
};

}  // namespace

TEST(FaultlineReports, TheDelegateHearsOfTheLastRunInEachFormItImplements) {
    TestDir dir;
    const QString folder = dir.file(QStringLiteral("last"));
    writeFile(folder + QStringLiteral("/metadata.fltrecord"), "{\"identity\":{\"session_id\":\"s\",\"started_at\":1700000000}}\n");
    writeFile(folder + QStringLiteral("/signal.fltrecord"), "{\"signal\":{\"time\":1700000100}}\n");
    struct Row {
        const char* what;
        bool readOnly, withCompletion, olderWithReport, older, answer;
        bool mustInform, submitted;
    };
    const Row rows[] = {
        {"none", false, false, false, false, true, false, true},
        {"told only, read-only", true, false, false, false, true, false, true},
        {"asked, discards", false, true, false, false, false, true, false},
        {"asked, submits", false, true, false, false, true, true, true},
        {"the older form with the report", false, false, true, false, true, true, true},
        {"the older form without", false, false, false, true, true, true, true},
        {"every form, discards", true, true, true, true, false, true, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Faultline::resetSharedForTests();
        const std::shared_ptr<Faultline> kit = Faultline::sharedInstance();
        auto d = std::make_shared<FormsDelegate>();
        d->readOnly = row.readOnly;
        d->withCompletion = row.withCompletion;
        d->olderWithReport = row.olderWithReport;
        d->older = row.older;
        d->answer = row.answer;
        kit->setDelegate(d);
        EXPECT_EQ(kit->reportingControllerMustInformDelegateOfReports(), row.mustInform);
        std::optional<bool> submitted;
        kit->reportingControllerDidDetectReportForLastExecution(FLTInternalReport::reportWithPath(folder), [&](bool submit) { submitted = submit; });
        MainQueue::drain();
        EXPECT_EQ(submitted, std::optional<bool>(row.submitted));
        EXPECT_EQ(d->readOnlyCalls, row.readOnly ? 1 : 0);
        EXPECT_EQ(d->completionCalls, row.withCompletion ? 1 : 0);
        EXPECT_EQ(d->olderWithReportCalls, row.olderWithReport ? 1 : 0);
        EXPECT_EQ(d->olderCalls, row.older ? 1 : 0);
        if (row.readOnly) {
            EXPECT_FALSE(d->readOnlyReportWritable);
        }
        // The older form gets the report the read-only form got, when there was one.
        if (row.olderWithReport) {
            EXPECT_EQ(d->olderReportWritable, !row.readOnly);
        }
    }
    Faultline::resetSharedForTests();
}

TEST(FaultlineReports, TheKitsPublicMembersReachWhatTheyName) {
    // The installation identifier of an earlier kit generation wins when its defaults file is a file.
    const QString earlier = Paths::applicationSupport() + QStringLiteral("/com.qorvel.kits/FLTUserDefaults.plist");
    QDir(QFileInfo(earlier).path()).removeRecursively();
    const QString current = Trellis::sharedSDK().installID();
    EXPECT_FALSE(current.isEmpty());
    EXPECT_EQ(Faultline::sharedInstance()->installID(), current);
    QDir().mkpath(earlier);
    EXPECT_EQ(Faultline::sharedInstance()->installID(), current) << "a folder at the path is no defaults file";
    QDir(earlier).removeRecursively();
    ASSERT_TRUE(PropertyList::writeFile(QVariantMap{{"com.qorvel.kits.iuuid", "EARLIER-ID"}}, earlier, PlistFormat::XML));
    EXPECT_EQ(Faultline::sharedInstance()->installID(), QStringLiteral("EARLIER-ID"));
    EXPECT_EQ(Faultline::sharedInstance()->installIDForCrashReportingController(), QStringLiteral("EARLIER-ID"));
    QDir(QFileInfo(earlier).path()).removeRecursively();

    // Write-only values, and events for the analytics kit when one is registered.
    struct Recorder : TRLAnalyticsKit {
        QList<std::pair<QString, QList<QPair<QVariant, QVariant>>>> events;
        QString kitName() const override { return QStringLiteral("Tidings"); }
        QString bundleIdentifier() const override { return {}; }
        QString kitDisplayVersion() const override { return {}; }
        void startAnalytics(const QString&) override {}
        void logPreviousSessionCrashed(const QDateTime&) override {}
        void logCustomEvent(const QString& name, const QList<QPair<QVariant, QVariant>>& attributes) override { events.append({name, attributes}); }
    };
    {
        LogCapture log;
        EXPECT_TRUE(Faultline::sharedInstance()->developmentPlatformName().isNull());
        EXPECT_TRUE(Faultline::sharedInstance()->developmentPlatformVersion().isNull());
        EXPECT_TRUE(log.contains(QStringLiteral("[Faultline] developmentPlatformName is write-only")));
        EXPECT_TRUE(log.contains(QStringLiteral("[Faultline] developmentPlatformVersion is write-only")));
    }
    // The kit keeps no information and no settings of its own; debug mode is what was asked for last.
    {
        const auto kit = Faultline::sharedInstance();
        kit->setKitInfo(QVariantMap{{"handed", 1}});
        EXPECT_FALSE(kit->kitInfo().has_value());
        EXPECT_FALSE(kit->settingsDictionary().has_value());
        kit->setDebugMode(true);
        EXPECT_TRUE(kit->debugMode() && Trellis::sharedSDK().debug());
        kit->setDebugMode(false);
        EXPECT_FALSE(kit->debugMode() || Trellis::sharedSDK().debug());
    }
    // Web pages: the error script and the "faultline" handler, or a word of why not.
    {
        LogCapture log;
        EXPECT_FALSE(Faultline::sharedInstance()->monitorErrorsForWebView(nullptr));
        EXPECT_TRUE(log.contains(QStringLiteral("[Faultline] Unable to monitor (no web view content)")));
        WebContent content;
        ASSERT_TRUE(Faultline::sharedInstance()->monitorErrorsForWebView(&content));
        EXPECT_EQ(content.scripts, QStringList{FLTWebViewErrorScript()});
        EXPECT_EQ(content.handlers.keys(), QStringList{QStringLiteral("faultline")});
    }
    Faultline::sharedInstance()->logEvent(QStringLiteral("nobody hears this"));
    auto recorder = std::make_shared<Recorder>();
    TRLKitRegistry::registerKit(recorder);
    Faultline::sharedInstance()->logEvent(QStringLiteral("Shared"));
    Faultline::sharedInstance()->logEvent(QStringLiteral("Rated"), {{QStringLiteral("stars"), 4}, {QStringLiteral("by"), QStringLiteral("me")}});
    ASSERT_EQ(recorder->events.size(), 2);
    EXPECT_EQ(recorder->events[0].first, QStringLiteral("Shared"));
    EXPECT_TRUE(recorder->events[0].second.isEmpty());
    EXPECT_EQ(recorder->events[1].second, (QList<QPair<QVariant, QVariant>>{{QStringLiteral("stars"), 4}, {QStringLiteral("by"), QStringLiteral("me")}}));
    TRLKitRegistry::clear();

    // In children, as launches: the start with a key and an older delegate (both warned about),
    // values recorded with the next report, a custom exception with its frames, and the test
    // exception, which nothing catches.
    struct OlderDelegate : FaultlineDelegate {
        bool implementsDidDetectCrashDuringPreviousExecution() const override { return true; }
    };
    TestDir dir;
    // The thrown exception first: the recording row may be skipped on a machine too loaded.
    for (const bool throwing : {true, false}) {
        SCOPED_TRACE(throwing ? "throwing" : "recording");
        const QString facts = dir.file(throwing ? QStringLiteral("thrown") : QStringLiteral("recorded"));
        const pid_t pid = ::fork();
        if (pid == 0) {
            // A launch of its own: a new run identifier, a kit not started yet.
            Trellis::resetSharedForTests();
            Faultline::resetSharedForTests();
            LogCapture log;
            TRLSetInfoDictionary(QVariantMap{{"CFBundleIdentifier", "com.qorvel.Qorvel"}});
            const std::shared_ptr<Faultline> kit = Faultline::startWithAPIKey(QStringLiteral("key-1"), std::make_shared<OlderDelegate>(), 2.5);
            // The start waits a bounded time for the kit's installers; on a machine loaded enough
            // (a sanitizer and three times the cores busy) they end later, and what is recorded
            // before they do is dropped, as the kit means to.
            const bool installedInTime = FLTContextIsInitialized();
            const auto report = kit->crashReportingController() ? kit->crashReportingController()->currentReport() : nullptr;
            writeFile(facts, report ? report->path().toUtf8() : QByteArray());
            // On a thread of its own: the test's body would catch it.
            if (throwing) std::thread([kit] { kit->throwException(); }).join();
            MainQueue::drain();
            // The start and its first turn of the main loop leave their records to the kit's
            // queue: the launch's first paint does not wait for a file or a scan of the images.
            const quint64 launchRecords = FLTUserLoggingRecordsOnThisThread();
            if (kit->crashReportingController())
                kit->crashReportingController()->operationQueue()->waitUntilAllOperationsAreFinished(std::chrono::seconds(10));
            Faultline::setDevelopmentPlatformName(QStringLiteral("Flutter"));
            Faultline::setDevelopmentPlatformVersion(QStringLiteral("3.1"));
            kit->recordCustomException(QStringLiteral("Custom"), QStringLiteral("Why not"), {{0x1234, QStringLiteral("symbol"), 4, QStringLiteral("libx.so"), QStringLiteral("x.cpp"), 12}, {0x5678}});
            // A page's error through the handler the kit gave its web views; a message that is no
            // page error is refused.
            WebContent content;
            kit->monitorErrorsForWebView(&content);
            content.handlers.value(QStringLiteral("faultline"))(QVariantMap{{"msg", "Uncaught Error: late"}, {"line", 3}});
            kit->userContentControllerDidReceiveScriptMessage(QStringLiteral("no page error"));
            // Debug mode after the start: warned about, and off again when asked.
            kit->setDebugMode(true);
            const bool debugOn = kit->debugMode();
            kit->setDebugMode(false);
            // A second start, in the older form with a delay, changes nothing.
            const bool same = Faultline::startWithAPIKey(QStringLiteral("key-2"), 1.0) == kit;
            QStringList lines;
            lines << (same && kit == Faultline::sharedInstance() && kit->isFaultlineStarted() ? "started" : "not started");
            lines << Trellis::sharedSDK().APIKey();
            lines << (debugOn && !kit->debugMode() ? "debug as asked" : "debug stuck");
            lines << QStringLiteral("records on the launching thread: %1").arg(launchRecords);
            lines << (installedInTime ? "installed in time" : "installed late");
            lines << log.lines();
            QFile out(facts);
            out.open(QIODevice::Append);
            out.write("\n" + lines.join(QLatin1Char('\n')).toUtf8());
            out.close();
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        const QStringList lines = QString::fromUtf8(readAll(facts)).split(QLatin1Char('\n'));
        const QString folder = lines.value(0);
        ASSERT_FALSE(folder.isEmpty());
        if (throwing) {
            ASSERT_TRUE(WIFSIGNALED(status));
            EXPECT_EQ(WTERMSIG(status), SIGABRT);
            const auto exception = FLTFileReadSections(folder + QStringLiteral("/exception.fltrecord"), false);
            ASSERT_TRUE(exception.has_value());
            const QVariantMap fields = section(exception->value(0), "exception");
            EXPECT_EQ(FLTFileHexDecodeString(fields.value("name").toByteArray()), QByteArray("FaultlineTestException"));
            continue;
        }
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        EXPECT_EQ(lines.value(1), QStringLiteral("started"));
        EXPECT_EQ(lines.value(2), QStringLiteral("key-2"));
        EXPECT_EQ(lines.value(3), QStringLiteral("debug as asked"));
        EXPECT_TRUE(lines.contains(QStringLiteral("[Faultline] Warning, consider enabling debug mode before starting Faultline")));
        EXPECT_TRUE(lines.contains(QStringLiteral("[Faultline] Unable to record exception from a web view")));
        EXPECT_TRUE(lines.contains(QStringLiteral("[Faultline] Warning, startWithAPIKey:delegate:afterDelay: is deprecated.")));
        EXPECT_TRUE(lines.contains(QStringLiteral("[Faultline] Warning, startWithAPIKey:afterDelay: is deprecated.")));
        EXPECT_EQ(lines.filter(QRegularExpression(QStringLiteral("^\\[Faultline\\] The Faultline delegate '.*::OlderDelegate' implements deprecated "
                                                                 "methods\\.  Please see Faultline\\.h for details\\.$"))).size(),
                  1)
            << lines.join(QLatin1Char('\n')).toStdString();
        if (lines.contains(QStringLiteral("installed late"))) GTEST_SKIP() << "the kit's installers outlasted its start's wait: nothing recorded was kept";
        const QByteArray incremental = (folder + QStringLiteral("/internal_incremental_kv.fltrecord")).toUtf8();
        const QByteArray compacted = (folder + QStringLiteral("/internal_compacted_kv.fltrecord")).toUtf8();
        const FLTKeyValueStore store{incremental.constData(), compacted.constData(), 64, 1000};
        const QVariantMap internal = FLTUserLoggingGetCompactedKVEntries(&store, true);
        EXPECT_EQ(internal.value("com.qorvel.kits.development-platform-name").toString(), QStringLiteral("Flutter"));
        EXPECT_EQ(internal.value("com.qorvel.kits.development-platform-version").toString(), QStringLiteral("3.1"));
        EXPECT_EQ(internal.value("com.qorvel.kits.in-background").toString(), QStringLiteral("0"));
        EXPECT_TRUE(internal.contains("com.qorvel.kits.first-run-loop-time"));
        EXPECT_TRUE(lines.contains(QStringLiteral("records on the launching thread: 0"))) << lines.join(QLatin1Char('\n')).toStdString();
        const auto custom = FLTFileReadSections(folder + QStringLiteral("/custom_exception_a.fltrecord"), false);
        ASSERT_TRUE(custom.has_value());
        ASSERT_EQ(custom->size(), 2);
        const QVariantMap page = section(custom->at(1), "exception");
        EXPECT_EQ(page.value("type").toString(), QStringLiteral("javascript"));
        EXPECT_EQ(FLTFileHexDecodeString(page.value("reason").toByteArray()), QByteArray("Uncaught Error: late"));
        const QVariantMap exception = section(custom->at(0), "exception");
        EXPECT_EQ(exception.value("type").toString(), QStringLiteral("custom"));
        EXPECT_EQ(FLTFileHexDecodeString(exception.value("name").toByteArray()), QByteArray("Custom"));
        EXPECT_EQ(FLTFileHexDecodeString(exception.value("reason").toByteArray()), QByteArray("Why not"));
        const QVariantList frames = exception.value("frames").toList();
        ASSERT_EQ(frames.size(), 2);
        EXPECT_EQ(frames[0].toMap().value("pc").toULongLong(), 0x1234u);
        EXPECT_EQ(FLTFileHexDecodeString(frames[0].toMap().value("symbol").toByteArray()), QByteArray("symbol"));
        EXPECT_EQ(frames[0].toMap().value("line").toInt(), 12);
        EXPECT_FALSE(frames[1].toMap().contains("symbol"));
    }
}
