// Children linked with crash capture crash in every way the capture handles; each must die by its
// own signal and leave a record that reads back whole: the crash line, every thread with the
// crashed one flagged and starting in the faulting function, and the common sections.
#include "kits/faultline/FLTFile.h"
#include "kits/faultline/FLTRecordReader.h"
#include "kits/faultline/FLTUserLogging.h"
#include "kits/trellis/TRLElfImage.h"
#include "kits/trellis/TRLHelpers.h"
#include "tests/support/Sanitizers.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

#include <climits>

#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

struct Child {
    pid_t pid = 0;
    int status = 0;
    bool hung = false;  // still there after two minutes: killed
};

// With sendSegv, this process sends SIGSEGV to the thread the child names in its file "tid".
Child runChild(const char* program, const QString& folder, const char* kind, bool sendSegv = false) {
    const QByteArray folderBytes = folder.toUtf8();
    char* argv[] = {const_cast<char*>(program), const_cast<char*>(folderBytes.constData()), const_cast<char*>(kind), nullptr};
    pid_t pid = 0;
    Child child;
    if (::posix_spawn(&pid, program, nullptr, nullptr, argv, environ) != 0) return child;
    child.pid = pid;
    if (sendSegv) {
        QFile tid(folder + QStringLiteral("/tid"));
        for (int i = 0; i < 2000 && !tid.exists(); ++i) ::usleep(5000);
        if (tid.open(QIODevice::ReadOnly)) ::syscall(SYS_tgkill, pid, tid.readAll().trimmed().toInt(), SIGSEGV);
        else ::kill(pid, SIGKILL);
    }
    // A hang ends the row with its name rather than the whole test at its limit. How fast a child
    // records is bench/crashrecord's figure.
    for (int i = 0; i < 24000 && ::waitpid(pid, &child.status, WNOHANG) == 0; ++i) ::usleep(5000);
    if (::waitpid(pid, &child.status, WNOHANG) == 0) {
        child.hung = true;
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &child.status, 0);
    }
    return child;
}

QVariantMap section(const QVariant& line, const QString& name) { return line.toMap().value(name).toMap(); }

struct Case {
    const char* kind;
    int signal;
    const char* record;
    bool faultingFirst;      // the crashed thread's first frame lies in the faulting function
    const char* exceptionName;  // for uncaught exceptions: the recorded name
    int minimumThreads;
    int leftOut = 0;  // threads past those a record holds, counted in it
    int code = INT_MIN;  // the signal's code, when the row knows it
    // Who sent the signal: nobody for a fault, which has an address instead; the child itself
    // (kill, raise), or this test with tgkill to one thread of the child.
    enum { Fault, ByChild, ByTest } sender = Fault;
    // The crashed thread's stack pointer smashed: its walk is the faulting address alone.
    bool smashedStack = false;
    const char* logLine = nullptr;  // what sdk.log must hold
    // Kernels differ on a fault at a non-canonical address: SIGBUS on some, SIGSEGV on others,
    // and some raise the other one when the fault comes again after the handler: either, for the
    // death and for the record.
    bool eitherFault = false;
};

}  // namespace

TEST(CrashCapture, ChildrenDieByTheirOwnSignalWithWholeRecords) {
    static constexpr const char* kOnSpareStack = "No stack could be mapped for the recorder: it records on the spare crash stack";
    const Case cases[] = {
        {"null-write", SIGSEGV, "signal.fltrecord", true, nullptr, 3},
        {"bus", SIGBUS, "signal.fltrecord", true, nullptr, 1},
        {"abort", SIGABRT, "signal.fltrecord", false, nullptr, 1, 0, SI_TKILL, Case::ByChild},
        {"ud2", SIGILL, "signal.fltrecord", true, nullptr, 1},
        {"divide", SIGFPE, "signal.fltrecord", true, nullptr, 1},
        {"int3", SIGTRAP, "signal.fltrecord", true, nullptr, 1, 0, SI_KERNEL},
        {"kill-segv", SIGSEGV, "signal.fltrecord", false, nullptr, 1, 0, SI_USER, Case::ByChild},
        {"throw-std", SIGABRT, "exception.fltrecord", false, "std::runtime_error", 1},
        {"throw-cstring", SIGABRT, "exception.fltrecord", false, "const char *", 1},
        {"throw-other", SIGABRT, "exception.fltrecord", false, "int", 1},
        {"overflow-main", SIGSEGV, "signal.fltrecord", true, nullptr, 1},
        {"overflow-thread", SIGSEGV, "signal.fltrecord", true, nullptr, 2},
        {"two-threads", SIGSEGV, "signal.fltrecord", true, nullptr, 3},
        {"callback-fault", SIGSEGV, "signal.fltrecord", true, nullptr, 3},
        {"malloc", SIGSEGV, "signal.fltrecord", true, nullptr, 2},
        {"threads-32", SIGSEGV, "signal.fltrecord", true, nullptr, 33},
        {"prior-handler", SIGSEGV, "signal.fltrecord", true, nullptr, 3},
        {"prior-handler-own-stack", SIGSEGV, "signal.fltrecord", true, nullptr, 3},
        {"blocked-thread", SIGSEGV, "signal.fltrecord", true, nullptr, 2},
        {"blocked-threads-8", SIGSEGV, "signal.fltrecord", true, nullptr, 11},
        {"vfork", SIGSEGV, "signal.fltrecord", true, nullptr, 3},
        {"vfork-blocked", SIGSEGV, "signal.fltrecord", true, nullptr, 3},
        {"traced-thread", SIGSEGV, "signal.fltrecord", true, nullptr, 3},
        {"sigstopped-thread", SIGSEGV, "signal.fltrecord", true, nullptr, 3},
        {"threads-600", SIGSEGV, "signal.fltrecord", true, nullptr, 601},
        {"threads-1100", SIGSEGV, "signal.fltrecord", true, nullptr, 1024, 1101 - 1024},
        {"threads-1100-late", SIGSEGV, "signal.fltrecord", true, nullptr, 1024, 1102 - 1024},
        {"small-stack", SIGSEGV, "signal.fltrecord", true, nullptr, 2},
        // Threads a library started, none with a signal stack: the record holds the signal as it
        // came, not as the handler raised it again from a stack of its own.
        {"tgkill-qt", SIGSEGV, "signal.fltrecord", false, nullptr, 2, 0, SI_TKILL, Case::ByTest},
        {"tgkill-glib", SIGSEGV, "signal.fltrecord", false, nullptr, 2, 0, SI_TKILL, Case::ByTest},
        {"tgkill-std", SIGSEGV, "signal.fltrecord", false, nullptr, 2, 0, SI_TKILL, Case::ByTest},
        {"int3-qt", SIGTRAP, "signal.fltrecord", true, nullptr, 2, 0, SI_KERNEL},
        {"int3-glib", SIGTRAP, "signal.fltrecord", true, nullptr, 2, 0, SI_KERNEL},
        {"int3-std", SIGTRAP, "signal.fltrecord", true, nullptr, 2, 0, SI_KERNEL},
        // A thread's own signal stack too small for the recorder.
        {"own-stack-4k", SIGSEGV, "signal.fltrecord", true, nullptr, 2},
        {"two-threads-own-stack", SIGSEGV, "signal.fltrecord", true, nullptr, 3},
        // The stack pointer smashed, on signal stacks of the thread's own, roomy or small.
        {"smashed-sp-zero-256k", SIGSEGV, "signal.fltrecord", true, nullptr, 2, 0, SEGV_MAPERR, Case::Fault, true},
        {"smashed-sp-zero-16k", SIGSEGV, "signal.fltrecord", true, nullptr, 2, 0, SEGV_MAPERR, Case::Fault, true},
        {"smashed-sp-noncanonical-256k", SIGBUS, "signal.fltrecord", true, nullptr, 2, 0, SI_KERNEL, Case::Fault, true, nullptr, true},
        {"smashed-sp-noncanonical-16k", SIGBUS, "signal.fltrecord", true, nullptr, 2, 0, SI_KERNEL, Case::Fault, true, nullptr, true},
        // Nothing more can be mapped when the crash comes.
        {"small-stack-no-room", SIGSEGV, "signal.fltrecord", true, nullptr, 2, 0, SEGV_MAPERR, Case::Fault, false, kOnSpareStack},
        {"own-stack-4k-no-room", SIGSEGV, "signal.fltrecord", true, nullptr, 2, 0, SEGV_MAPERR, Case::Fault, false, kOnSpareStack},
        {"two-threads-own-stack-4k-no-room", SIGSEGV, "signal.fltrecord", true, nullptr, 3, 0, SEGV_MAPERR, Case::Fault, false, kOnSpareStack},
    };
    for (const char* program : {FAULTLINE_CRASHER_FP, FAULTLINE_CRASHER_NOFP}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(program) + " " + c.kind);
            QTemporaryDir folder;
            ASSERT_TRUE(folder.isValid());
            const Child child = runChild(program, folder.path(), c.kind, c.sender == Case::ByTest);
            ASSERT_FALSE(child.hung) << "the child never ended";
            ASSERT_TRUE(WIFSIGNALED(child.status)) << "exit status " << WEXITSTATUS(child.status);
            const auto expected = [&](int got) { return c.eitherFault && (got == SIGSEGV || got == SIGBUS) ? got : c.signal; };
            EXPECT_EQ(WTERMSIG(child.status), expected(WTERMSIG(child.status)));

            const auto lines = FLTFileReadSections(folder.filePath(QString::fromLatin1(c.record)), false);
            ASSERT_TRUE(lines.has_value());
            QFile recordFile(folder.filePath(QString::fromLatin1(c.record)));
            ASSERT_TRUE(recordFile.open(QIODevice::ReadOnly));
            EXPECT_EQ(FLTCrashRecordDamage(recordFile.readAll()), QString());
            QStringList names;
            for (const QVariant& line : *lines) names << line.toMap().firstKey();
            const QString first = c.exceptionName ? QStringLiteral("exception") : QStringLiteral("signal");
            QStringList expectedNames{first, "threads", "runtime", "dispatch_queue_names", "thread_names", "process_stats", "storage"};
            if (c.leftOut) expectedNames.insert(2, "threads_left_out");
            ASSERT_EQ(names, expectedNames);
            QFile sdkLog(folder.filePath("sdk.log"));
            ASSERT_TRUE(sdkLog.open(QIODevice::ReadOnly));
            const QByteArray logText = sdkLog.readAll();
            // No line about what this system has not.
            EXPECT_FALSE(logText.contains("mach exception"));
            if (c.logLine) {
                EXPECT_TRUE(logText.contains(c.logLine));
            }
            if (c.leftOut) {
                // Past the record's threads the rest are counted, in the record and the log.
                const QVariantMap leftOut = section(lines->at(2), "threads_left_out");
                EXPECT_EQ(leftOut.value("count").toInt(), c.leftOut);
                EXPECT_FALSE(leftOut.value("reason").toString().isEmpty());
                EXPECT_TRUE(logText.contains(QByteArray::number(c.leftOut) + " threads left out of the record"));
            }
            if (c.exceptionName) {
                const QVariantMap exception = section(lines->at(0), "exception");
                EXPECT_EQ(exception.value("type").toString(), "c++");
                EXPECT_EQ(FLTFileHexDecodeString(exception.value("name").toByteArray()), QByteArray(c.exceptionName));
            } else {
                const QVariantMap signal = section(lines->at(0), "signal");
                EXPECT_EQ(signal.value("number").toInt(), expected(signal.value("number").toInt()));
                if (c.code != INT_MIN) {
                    EXPECT_EQ(uint32_t(signal.value("code").toLongLong()), uint32_t(c.code));
                }
                // A fault has an address; a sent signal has its sender, whose pid is no address.
                if (c.sender != Case::Fault) {
                    EXPECT_FALSE(signal.contains("address"));
                    EXPECT_EQ(signal.value("sender_pid").toLongLong(), c.sender == Case::ByTest ? ::getpid() : child.pid);
                } else {
                    EXPECT_TRUE(signal.contains("address"));
                    EXPECT_FALSE(signal.contains("sender_pid"));
                }
            }

            const QVariantList threads = lines->at(1).toMap().value("threads").toList();
            const QVariantList threadNames = lines->at(c.leftOut ? 5 : 4).toMap().value("thread_names").toList();
            if (c.leftOut) EXPECT_EQ(threads.size(), c.minimumThreads);
            else EXPECT_GE(threads.size(), c.minimumThreads);
            EXPECT_EQ(threads.size(), threadNames.size());
            int crashed = 0;
            QVariantList crashedStack;
            for (const QVariant& thread : threads) {
                const QVariantMap entry = thread.toMap();
                if (entry.value("crashed").toBool()) {
                    ++crashed;
                    crashedStack = entry.value("stacktrace").toList();
                    EXPECT_EQ(entry.value("registers").toMap().size(), 21);
                }
            }
            EXPECT_EQ(crashed, 1);
            // The crashed thread comes first, however many threads were listed before it.
            ASSERT_FALSE(threads.isEmpty());
            EXPECT_TRUE(threads.first().toMap().value("crashed").toBool());
            ASSERT_FALSE(crashedStack.isEmpty());
            QFile expect(folder.filePath("expect"));
            if (expect.open(QIODevice::ReadOnly)) {
                const quint64 function = expect.readAll().trimmed().toULongLong();
                auto inFunction = [&](const QVariant& pc) {
                    return pc.toULongLong() >= function && pc.toULongLong() < function + 1024;
                };
                if (c.faultingFirst) {
                    EXPECT_TRUE(inFunction(crashedStack.first())) << crashedStack.first().toULongLong() << " " << function;
                } else {
                    EXPECT_TRUE(std::any_of(crashedStack.begin(), crashedStack.end(), inFunction));
                }
            }
            // Every thread has its registers and was walked past its first frame (a sleeping
            // thread stands in the kernel's wait, several calls deep), those whose mask blocks
            // every signal but the faults, or all of them, too.
            for (qsizetype i = 0; i < threads.size(); ++i) {
                const QVariantMap thread = threads[i].toMap();
                EXPECT_EQ(thread.value("registers").toMap().size(), 21);
                const qsizetype frames = thread.value("stacktrace").toList().size();
                if (c.smashedStack && thread.value("crashed").toBool()) {
                    EXPECT_EQ(frames, 1);
                } else {
                    EXPECT_GE(frames, 2) << "thread " << i << " \"" << threadNames.value(i).toString().toStdString() << "\" at "
                                         << thread.value("registers").toMap().value("rip").toULongLong() << "\n"
                                         << logText.toStdString();
                }
            }
            // AddressSanitizer's vfork takes its caller's return address off the stack into the
            // runtime's own memory until the child execs, so a walk of the waiting thread ends in
            // the runtime's frame, short of the function that called vfork.
            const bool walkEndsInSanitizer = underAddressSanitizer() && QByteArray(c.kind).startsWith("vfork");
            QFile blocked(folder.filePath("expect-blocked"));
            if (!walkEndsInSanitizer && blocked.open(QIODevice::ReadOnly)) {
                const QList<QByteArray> expected = blocked.readAll().trimmed().split(' ');
                const quint64 function = expected.value(0).toULongLong();
                // Among the threads not named "sleeper": the sleepers' code may lie just after.
                int index = 0;
                const auto passing = std::count_if(threads.begin(), threads.end(), [&](const QVariant& t) {
                    if (threadNames.value(index++).toString() == QLatin1String("sleeper")) return false;
                    const QVariantList stack = t.toMap().value("stacktrace").toList();
                    return std::any_of(stack.begin(), stack.end(), [&](const QVariant& pc) {
                        return pc.toULongLong() >= function && pc.toULongLong() < function + 256;
                    });
                });
                EXPECT_EQ(passing, expected.value(1).toInt());
            }
            // Nobody waits for a thread that cannot answer (its mask blocks the stop signal, it
            // waits in vfork where no signal reaches it, a tracer holds it stopped), nor for
            // hundreds of threads: the crash records in one pass, not after the stop signal's
            // time limit, which would name the thread it waited for. (bench/crashrecord times it.)
            const QString kind = QString::fromLatin1(c.kind);
            if (kind.startsWith("blocked") || kind.startsWith("vfork") || kind == "traced-thread" || kind == "sigstopped-thread" || kind.startsWith("threads-")) {
                EXPECT_FALSE(logText.contains("did not stop in time"));
            }
            if (QString(c.kind).startsWith("prior-handler")) {
                QFile prior(folder.filePath("prior"));
                ASSERT_TRUE(prior.open(QIODevice::ReadOnly));
                // The earlier handler runs on the stack the program gave it.
                EXPECT_EQ(prior.readAll(), QString(c.kind).endsWith("own-stack") ? QByteArray("ran own\n") : QByteArray("ran other\n"));
                QFile log(folder.filePath("sdk.log"));
                ASSERT_TRUE(log.open(QIODevice::ReadOnly));
                EXPECT_FALSE(log.readAll().contains("Unable to setup stack"));
            }

            const auto metadata = FLTFileReadSections(folder.filePath("metadata.fltrecord"), false);
            ASSERT_TRUE(metadata.has_value());
            ASSERT_EQ(metadata->size(), 4);
            EXPECT_EQ(metadata->at(0).toMap().firstKey(), "identity");
            EXPECT_EQ(metadata->at(3).toMap().firstKey(), "executable");
            // What a server reads keeps its forms: identifiers of 32 hex digits (the build id's
            // first 16 bytes), versions of three numbers, one platform name.
            const auto identity = TRLElfReadIdentityOfFile(QString::fromUtf8(program));
            ASSERT_TRUE(identity.has_value());
            const QString uuid = QString::fromLatin1(identity->uuidBytes().toHex());
            const QVariantMap executable = section(metadata->at(3), "executable");
            EXPECT_EQ(executable.value("uuid").toString(), uuid);
            ASSERT_TRUE(identity->hasAbiTag);
            EXPECT_EQ(executable.value("minimum_sdk_version").toString(),
                      QStringLiteral("%1.%2.%3").arg(identity->abiMajor).arg(identity->abiMinor).arg(identity->abiPatch));
            EXPECT_EQ(executable.value("built_sdk_version").toString(), TRLElfBuiltLibraryVersion());
            const QVariantMap host = section(metadata->at(1), "host");
            EXPECT_EQ(host.value("platform").toString(), QStringLiteral("mac"));
            EXPECT_EQ(host.value("os_display_version").toString(), TRLOSDisplayVersion());
            const auto images = FLTFileReadSections(folder.filePath("binary_images.fltrecord"), false);
            ASSERT_TRUE(images.has_value());
            EXPECT_GE(images->size(), 3);
            const QRegularExpression identifier(QStringLiteral("^[0-9a-f]{32}$"));
            int own = 0;
            for (const QVariant& image : *images) {
                const QVariantMap load = section(image, "load");
                const QString id = load.value("uuid").toString();
                EXPECT_TRUE(id.isEmpty() || identifier.match(id).hasMatch()) << id.toStdString();
                if (load.value("path").toString() == QString::fromUtf8(program)) own += id == uuid;
            }
            EXPECT_EQ(own, 1);
        }
    }
}

TEST(CrashCapture, KeysSurviveAKillDuringCompaction) {
    // Killed at moments spread over the compactions: every key set before stays readable.
    for (int delay : {3, 7, 11, 17, 23, 31, 41, 53}) {
        SCOPED_TRACE(delay);
        QTemporaryDir folder;
        const QByteArray path = folder.path().toUtf8();
        char* argv[] = {const_cast<char*>(FAULTLINE_CRASHER_NOFP), const_cast<char*>(path.constData()),
                        const_cast<char*>("compact-forever"), nullptr};
        pid_t pid = 0;
        ASSERT_EQ(::posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ), 0);
        for (int i = 0; i < 5000 && !QFile::exists(folder.filePath("expect")); ++i) ::usleep(2000);
        ::usleep(useconds_t(delay) * 1000);
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(QFile::exists(folder.filePath("expect")));
        const QByteArray incremental = folder.filePath("user_incremental_kv.fltrecord").toUtf8();
        const QByteArray compacted = folder.filePath("user_compacted_kv.fltrecord").toUtf8();
        const FLTKeyValueStore store{incremental.constData(), compacted.constData(), 64, 1000};
        const QVariantMap keys = FLTUserLoggingGetCompactedKVEntries(&store, true);
        EXPECT_EQ(keys.size(), 200);
    }
}

TEST(CrashCapture, ATracedProcessKeepsItsFaultsToTheTracer) {
    // Under a tracer no handler is installed: the fault ends the child at once, yet the metadata
    // and the image list are written.
    const QString strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
    ASSERT_FALSE(strace.isEmpty()) << "strace is missing: scripts/setup installs it";
    QTemporaryDir folder;
    const QByteArray tracer = strace.toUtf8(), path = folder.path().toUtf8();
    char* argv[] = {const_cast<char*>(tracer.constData()), const_cast<char*>("-o"), const_cast<char*>("/dev/null"),
                    const_cast<char*>(FAULTLINE_CRASHER_FP), const_cast<char*>(path.constData()),
                    const_cast<char*>("null-write"), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ), 0);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_FALSE(QFile::exists(folder.filePath("signal.fltrecord")));
    const auto metadata = FLTFileReadSections(folder.filePath("metadata.fltrecord"), false);
    ASSERT_TRUE(metadata.has_value());
    EXPECT_EQ(metadata->size(), 4);
    EXPECT_TRUE(QFile::exists(folder.filePath("binary_images.fltrecord")));
    QFile log(folder.filePath("sdk.log"));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    EXPECT_TRUE(log.readAll().contains("Debugger present - not installing handlers"));
}

TEST(CrashCapture, AChildsCrashBeforeExecIsNeverTheProgramsAndEachRecordIsOneCrash) {
    // The program makes a child that crashes before it would exec (by fork, vfork, or the clone
    // a spawn makes, sharing the memory), then crashes itself; it is then launched again (a new
    // report folder, as the store gives each launch) and does the same, the first record unsent.
    struct Row {
        const char* kind;
        int childSignal;
    };
    // Also: a child that aborts; one that runs a program of ours which records its own crash as
    // its own; children crashing while the program records; and a child that is the first of a
    // PID namespace of its own while the program is the first of its own (the same number).
    const Row rows[] = {{"fork-child", SIGSEGV},  {"fork-child-throws", SIGABRT},           {"fork-child-aborts", SIGABRT},
                        {"exec-child", SIGSEGV},  {"fork-children-as-it-crashes", SIGSEGV}, {"new-pid-namespace-child", SIGSEGV},
                        {"qprocess-child", SIGSEGV}, {"vfork-child", SIGSEGV}, {"spawn-child", SIGSEGV}};
    for (const char* program : {FAULTLINE_CRASHER_FP, FAULTLINE_CRASHER_NOFP}) {
        for (const Row& row : rows) {
            SCOPED_TRACE(std::string(program) + " " + row.kind);
            QTemporaryDir active;
            ASSERT_TRUE(active.isValid());
            QByteArray firstRecord;
            bool noNamespaces = false;
            for (int launch = 1; launch <= 2 && !noNamespaces; ++launch) {
                SCOPED_TRACE(launch);
                const QString folder = active.filePath(QStringLiteral("run-%1").arg(launch));
                ASSERT_TRUE(QDir().mkpath(folder));
                const Child child = runChild(program, folder, row.kind);
                ASSERT_FALSE(child.hung);
                noNamespaces = WIFEXITED(child.status) && WEXITSTATUS(child.status) == 9;
                if (noNamespaces) break;
                ASSERT_TRUE(WIFSIGNALED(child.status)) << "exit status " << WEXITSTATUS(child.status);
                EXPECT_EQ(WTERMSIG(child.status), SIGSEGV);
                // The child died by its own signal, and left nothing the program would report.
                QFile status(folder + QStringLiteral("/child")), after(folder + QStringLiteral("/after-child"));
                ASSERT_TRUE(status.open(QIODevice::ReadOnly));
                const int childStatus = status.readAll().trimmed().toInt();
                EXPECT_TRUE(WIFSIGNALED(childStatus) && WTERMSIG(childStatus) == row.childSignal) << childStatus;
                ASSERT_TRUE(after.open(QIODevice::ReadOnly));
                EXPECT_EQ(after.readAll().toStdString(), "") << "a record of the child's crash";
                EXPECT_FALSE(QFile::exists(folder + QStringLiteral("/exception.fltrecord")));
                // The program's own crash: one record, whole, whose crashed thread is the program's.
                QFile record(folder + QStringLiteral("/signal.fltrecord"));
                ASSERT_TRUE(record.open(QIODevice::ReadOnly));
                const QByteArray bytes = record.readAll();
                EXPECT_EQ(FLTCrashRecordDamage(bytes), QString());
                const QVariantList lines = FLTFileParseSections(bytes);
                QStringList names;
                for (const QVariant& line : lines) names << line.toMap().firstKey();
                EXPECT_EQ(names.join(u' ').toStdString(), "signal threads runtime dispatch_queue_names thread_names process_stats storage");
                ASSERT_FALSE(lines.isEmpty());
                EXPECT_EQ(section(lines.first(), "signal").value("number").toInt(), SIGSEGV);
                QFile expect(folder + QStringLiteral("/expect"));
                ASSERT_TRUE(expect.open(QIODevice::ReadOnly));
                const quint64 function = expect.readAll().trimmed().toULongLong();
                const QVariantList threads = lines.size() > 1 ? lines[1].toMap().value("threads").toList() : QVariantList();
                ASSERT_FALSE(threads.isEmpty());
                EXPECT_TRUE(threads.first().toMap().value("crashed").toBool());
                const QVariantList stack = threads.first().toMap().value("stacktrace").toList();
                ASSERT_FALSE(stack.isEmpty());
                EXPECT_TRUE(stack.first().toULongLong() >= function && stack.first().toULongLong() < function + 1024);
                EXPECT_GE(threads.size(), 2);  // the program's and its sleeper
                QFile log(folder + QStringLiteral("/sdk.log"));
                ASSERT_TRUE(log.open(QIODevice::ReadOnly));
                const QByteArray logText = log.readAll();
                EXPECT_EQ(logText.count("Signal: "), 1) << logText.toStdString();
                EXPECT_FALSE(logText.contains("Recording an exception structure"));
                if (QByteArray(row.kind) == "exec-child") {
                    // The program the child ran recorded its crash, whole, in its own folder.
                    QFile own(folder + QStringLiteral("/exec/signal.fltrecord")), ownLog(folder + QStringLiteral("/exec/sdk.log"));
                    ASSERT_TRUE(own.open(QIODevice::ReadOnly));
                    const QByteArray ownBytes = own.readAll();
                    EXPECT_EQ(FLTCrashRecordDamage(ownBytes), QString());
                    const QVariantList ownLines = FLTFileParseSections(ownBytes);
                    ASSERT_FALSE(ownLines.isEmpty());
                    EXPECT_EQ(section(ownLines.first(), "signal").value("number").toInt(), SIGSEGV);
                    ASSERT_TRUE(ownLog.open(QIODevice::ReadOnly));
                    EXPECT_EQ(ownLog.readAll().count("Signal: "), 1);
                }
                if (launch == 1) firstRecord = bytes;
            }
            if (noNamespaces) continue;
            // The relaunch's crash left the first launch's record as it was.
            QFile first(active.filePath(QStringLiteral("run-1/signal.fltrecord")));
            ASSERT_TRUE(first.open(QIODevice::ReadOnly));
            EXPECT_TRUE(first.readAll() == firstRecord);
        }
    }
}

TEST(CrashCapture, ACrashsRecordIsANewFileNeverAppendedToWhatWasThere) {
    // Whatever lies where the crash's record goes (left by anything but this crash) is not
    // appended to: the record is one crash, whole, alone in its file.
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString path = folder.filePath(QStringLiteral("signal.fltrecord"));
    const QByteArray earlier = "{\"signal\":{\"number\":11,\"time\":5}}\n{\"threads\":[]}\n";
    for (const QByteArray& there : {QByteArray(), earlier}) {
        SCOPED_TRACE(there.isEmpty() ? "nothing there" : "an earlier record there");
        QFile::remove(path);
        if (!there.isEmpty()) {
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(there);
        }
        char buffer[64];
        FLTFile file;
        const QByteArray name = path.toUtf8();
        ASSERT_TRUE(FLTFileInitWithBuffer(&file, name.constData(), buffer, sizeof buffer));
        FLTFileWriteSectionStart(&file, "signal");
        FLTFileWriteHashStart(&file);
        FLTFileWriteHashEntryUint64(&file, "number", 6);
        FLTFileWriteHashEnd(&file);
        FLTFileWriteSectionEnd(&file);
        ASSERT_TRUE(FLTFileClose(&file));
        QFile written(path);
        ASSERT_TRUE(written.open(QIODevice::ReadOnly));
        EXPECT_EQ(written.readAll().toStdString(), "{\"signal\":{\"number\":6}}\n");
    }
}
