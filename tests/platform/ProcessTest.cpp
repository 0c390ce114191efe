// Tests of running child programs: large pipes both ways, time-outs, start failures, exit states.
#include "platform/AtomicFile.h"
#include "platform/Process.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <csignal>
#include <cstdio>
#include <sys/resource.h>
#include <thread>

namespace {

QByteArray randomBytes(qsizetype size) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(42);
    for (qsizetype i = 0; i < size; ++i) bytes[i] = char(generator.bounded(256));
    return bytes;
}

ProcessResult shell(const QString& script, const ProcessOptions& options = {}) {
    return Process::run(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script}, options);
}

// Whether a process is gone: no longer listed, or a zombie nobody reaped yet.
bool isGone(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) return true;
    const QByteArray line = stat.readAll();
    const qsizetype close = line.lastIndexOf(')');
    return close < 0 || line.mid(close + 2, 1) == "Z";
}

TEST(ProcessTest, RoundTripThroughCat) {
    for (qsizetype size : {qsizetype(0), qsizetype(1), qsizetype(65537), qsizetype(1) << 20, qsizetype(10) << 20}) {
        SCOPED_TRACE(size);
        ProcessOptions options;
        options.input = randomBytes(size);
        options.timeoutMs = 60000;
        const ProcessResult r = Process::run(QStringLiteral("cat"), {}, options);
        EXPECT_TRUE(r.succeeded()) << r.errorString.toStdString();
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.standardOutput.size(), size);
        EXPECT_TRUE(r.standardOutput == options.input);
        EXPECT_TRUE(r.standardError.isEmpty());
    }
}

TEST(ProcessTest, LargeStandardOutputAndErrorAtOnce) {
    // Both streams fill at the same time; a reader that drained one before the other would hang.
    const QString script = QStringLiteral(
        "head -c 5242880 /dev/zero | tr '\\0' o & head -c 5242880 /dev/zero | tr '\\0' e >&2; wait");
    for (bool merge : {false, true}) {
        SCOPED_TRACE(merge);
        ProcessOptions options;
        options.timeoutMs = 60000;
        options.mergeStandardError = merge;
        const ProcessResult r = shell(script, options);
        ASSERT_TRUE(r.succeeded()) << r.errorString.toStdString();
        if (merge) {
            EXPECT_EQ(r.standardOutput.size(), 10 << 20);
            EXPECT_EQ(r.standardOutput.count('o'), 5 << 20);
            EXPECT_EQ(r.standardOutput.count('e'), 5 << 20);
            EXPECT_TRUE(r.standardError.isEmpty());
        } else {
            EXPECT_EQ(r.standardOutput, QByteArray(5 << 20, 'o'));
            EXPECT_EQ(r.standardError, QByteArray(5 << 20, 'e'));
        }
    }
}

TEST(ProcessTest, ChildThatNeverReadsItsInputDoesNotBlockTheCaller) {
    struct Case {
        QString program;
        QStringList args;
    };
    const Case cases[] = {
        {QStringLiteral("true"), {}},
        {QStringLiteral("sleep"), {QStringLiteral("0.2")}},
        // Closes its input early, then keeps running.
        {QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("exec 0<&-; sleep 0.2; echo done")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.program.toStdString());
        ProcessOptions options;
        options.input = QByteArray(10 << 20, 'x');
        options.timeoutMs = 20000;
        const ProcessResult r = Process::run(c.program, c.args, options);
        EXPECT_TRUE(r.succeeded()) << r.errorString.toStdString();
        EXPECT_FALSE(r.timedOut);
    }
}

TEST(ProcessTest, TimeOutKillsAndReapsTheChildAndWhatItStarted) {
    ProcessOptions options;
    options.timeoutMs = 300;
    ProcessResult r = Process::run(QStringLiteral("sleep"), {QStringLiteral("30")}, options);
    EXPECT_TRUE(r.started);
    EXPECT_TRUE(r.timedOut);
    EXPECT_FALSE(r.exited);
    EXPECT_EQ(r.exitStatus, SIGKILL);
    EXPECT_FALSE(r.succeeded());
    EXPECT_FALSE(r.errorString.isEmpty());

    // A background grandchild holding the output pipe open is killed with its parent.
    r = shell(QStringLiteral("sleep 30 & echo $!; wait"), options);
    EXPECT_TRUE(r.timedOut);
    bool ok = false;
    const qint64 grandchild = r.standardOutput.trimmed().toLongLong(&ok);
    ASSERT_TRUE(ok) << r.standardOutput.toStdString();
    for (int i = 0; i < 200 && !isGone(grandchild); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(isGone(grandchild));

    // A quick child within its time-out is not marked as timed out.
    options.timeoutMs = 20000;
    r = Process::run(QStringLiteral("true"), {}, options);
    EXPECT_TRUE(r.succeeded());
    EXPECT_FALSE(r.timedOut);
}

TEST(ProcessTest, StartFailuresAreErrorValues) {
    TestDir dir;
    const QString plainFile = dir.write(QStringLiteral("not-executable"), "#!/bin/sh\necho hi\n");
    struct Case {
        const char* name;
        QString program;
        ProcessOptions options;
        QString mentioned;  // a part of the error text
    };
    ProcessOptions badDirectory;
    badDirectory.workingDirectory = dir.file(QStringLiteral("missing-folder"));
    ProcessOptions badEnvironment;
    badEnvironment.extraEnvironment = {QStringLiteral("NOEQUALSSIGN")};
    const Case cases[] = {
        {"not in PATH", QStringLiteral("qorvel-no-such-program"), {}, QStringLiteral("qorvel-no-such-program")},
        {"missing path", dir.file(QStringLiteral("absent")), {}, dir.file(QStringLiteral("absent"))},
        {"not executable", plainFile, {}, plainFile},
        {"a folder", dir.path(), {}, dir.path()},
        {"empty name", QString(), {}, QString()},
        {"missing working directory", QStringLiteral("true"), badDirectory, badDirectory.workingDirectory},
        {"bad environment entry", QStringLiteral("true"), badEnvironment, QStringLiteral("NOEQUALSSIGN")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ProcessResult r = Process::run(c.program, {}, c.options);
        EXPECT_FALSE(r.started);
        EXPECT_FALSE(r.succeeded());
        EXPECT_FALSE(r.errorString.isEmpty());
        EXPECT_TRUE(r.errorString.contains(c.mentioned)) << r.errorString.toStdString();
    }
}

TEST(ProcessTest, ExitCodesAndSignals) {
    struct Case {
        QString script;
        bool exited;
        int status;
    };
    const Case cases[] = {
        {QStringLiteral("exit 0"), true, 0},
        {QStringLiteral("exit 3"), true, 3},
        {QStringLiteral("exit 255"), true, 255},
        {QStringLiteral("kill -TERM $$"), false, SIGTERM},
        {QStringLiteral("kill -KILL $$"), false, SIGKILL},
        {QStringLiteral("kill -SEGV $$"), false, SIGSEGV},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.script.toStdString());
        const ProcessResult r = shell(c.script);
        EXPECT_TRUE(r.started);
        EXPECT_EQ(r.exited, c.exited);
        EXPECT_EQ(r.exitStatus, c.status);
        EXPECT_EQ(r.succeeded(), c.exited && c.status == 0);
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.errorString.isEmpty(), c.exited);
    }
}

TEST(ProcessTest, ArgumentsEnvironmentAndWorkingDirectory) {
    // Arguments reach the program as they are, never through a shell.
    ProcessResult r = Process::run(QStringLiteral("printf"),
                                   {QStringLiteral("%s|"), QStringLiteral("a b"), QStringLiteral("$HOME"),
                                    QStringLiteral("*"), QStringLiteral("$(echo no); rm -rf x"), QString(),
                                    QStringLiteral("é")});
    EXPECT_TRUE(r.succeeded());
    EXPECT_EQ(QString::fromUtf8(r.standardOutput), QStringLiteral("a b|$HOME|*|$(echo no); rm -rf x||é|"));

    TestDir dir;
    ProcessOptions options;
    options.workingDirectory = dir.path();
    options.extraEnvironment = {QStringLiteral("QV_ADDED=one two"), QStringLiteral("HOME=/elsewhere"),
                                QStringLiteral("QV_EMPTY=")};
    r = shell(QStringLiteral("pwd; printf '%s\\n' \"$QV_ADDED\" \"$HOME\" \"${QV_EMPTY-unset}\"; env | grep -c '^HOME='"),
              options);
    ASSERT_TRUE(r.succeeded()) << r.standardError.toStdString();
    const QStringList lines = QString::fromLocal8Bit(r.standardOutput).split(QLatin1Char('\n'));
    ASSERT_GE(lines.size(), 5);
    EXPECT_EQ(QFileInfo(lines[0]).canonicalFilePath(), QFileInfo(dir.path()).canonicalFilePath());
    EXPECT_EQ(lines[1], QStringLiteral("one two"));
    EXPECT_EQ(lines[2], QStringLiteral("/elsewhere"));
    EXPECT_EQ(lines[3], QString());
    EXPECT_EQ(lines[4], QStringLiteral("1"));  // replaced, not doubled

    // The caller's environment is inherited.
    r = shell(QStringLiteral("printf %s \"$XDG_CONFIG_HOME\""));
    EXPECT_EQ(r.standardOutput, qgetenv("XDG_CONFIG_HOME"));

    // A relative program path is taken from the caller's folder, not the working directory.
    dir.write(QStringLiteral("script.sh"), "#!/bin/sh\necho ran\n");
    QFile::setPermissions(dir.file(QStringLiteral("script.sh")), QFile::ReadOwner | QFile::ExeOwner);
    const QString previous = QDir::currentPath();
    QDir::setCurrent(dir.path());
    options = {};
    options.workingDirectory = QStringLiteral("/");
    r = Process::run(QStringLiteral("./script.sh"), {}, options);
    QDir::setCurrent(previous);
    EXPECT_TRUE(r.succeeded()) << r.errorString.toStdString();
    EXPECT_EQ(r.standardOutput, QByteArray("ran\n"));
}

TEST(ProcessTest, SigpipeIsIgnoredHereAndDefaultInTheChild) {
    Process::ignoreSigpipe();
    Process::ignoreSigpipe();
    struct sigaction current;
    ASSERT_EQ(sigaction(SIGPIPE, nullptr, &current), 0);
    EXPECT_EQ(current.sa_handler, SIG_IGN);
    // With SIGPIPE still ignored, yes would complain of a broken pipe on standard error.
    const ProcessResult r = shell(QStringLiteral("yes | head -c 4"));
    EXPECT_TRUE(r.succeeded());
    EXPECT_EQ(r.standardOutput, QByteArray("y\ny\n"));
    EXPECT_EQ(r.standardError, QByteArray());
}

// Under a file-size limit, a write that would pass it fails with EFBIG (the old file intact, no
// temporary left) instead of killing the process; children get SIGXFSZ's default back. Each
// writer runs in a child process of its own, where the limit and the signal can be changed.
TEST(ProcessTest, AFileSizeLimitFailsWritesInsteadOfKillingQorvel) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TestDir dir;
    const QByteArray old("the old contents\n"), big(64 * 1024, 'x');
    const struct {
        const char* what;
        std::function<bool(const QString& path, QVError* error)> write;
    } writers[] = {
        {"a save", [&](const QString& path, QVError* error) { return AtomicFile::write(path, big, error); }},
        {"a staged replace",
         [&](const QString& path, QVError* error) {
             AtomicFile::Staged staged;
             return AtomicFile::stage(path, big, &staged, error) && AtomicFile::commit(staged, error);
         }},
    };
    for (const auto& w : writers) {
        SCOPED_TRACE(w.what);
        const QString path = dir.write("file.txt", old);
        EXPECT_EXIT(
            {
                Process::ignoreFileSizeSignal();
                struct rlimit limit {};
                ::getrlimit(RLIMIT_FSIZE, &limit);
                limit.rlim_cur = 4096;
                ::setrlimit(RLIMIT_FSIZE, &limit);
                QVError error;
                const bool wrote = w.write(path, &error);
                const bool clean = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden) == QStringList{"file.txt"};
                // A child run from here may write past the limit and is killed for it.
                const ProcessResult child = Process::run(QStringLiteral("/bin/sh"), {"-c", "exec head -c 65536 /dev/zero > " + dir.file("child")});
                const bool held = !wrote && error.code() == EFBIG && clean && readAll(path) == old && !child.exited && child.exitStatus == SIGXFSZ;
                QDir(dir.path()).removeRecursively();
                std::exit(held ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "");
    }
}

TEST(ProcessTest, FindExecutable) {
    TestDir dir;
    const QString plain = dir.write(QStringLiteral("plain"), "data");
    const QString tool = dir.write(QStringLiteral("tool"), "#!/bin/sh\n");
    QFile::setPermissions(tool, QFile::ReadOwner | QFile::ExeOwner);
    QDir().mkpath(dir.file(QStringLiteral("folder")));

    const QByteArray savedPath = qgetenv("PATH");
    // Relative and empty entries are not searched; the folder is found after them.
    qputenv("PATH", "relative::" + dir.path().toLocal8Bit() + ":" + savedPath);
    struct Case {
        QString name;
        QString expected;
    };
    const Case cases[] = {
        {QStringLiteral("tool"), tool},
        {QStringLiteral("plain"), QString()},
        {QStringLiteral("folder"), QString()},
        {QStringLiteral("qorvel-no-such-program"), QString()},
        {QString(), QString()},
        {tool, tool},
        {plain, QString()},
        {QStringLiteral("sh"), QStringLiteral("*")},  // somewhere in the system folders
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        const QString found = Process::findExecutable(c.name);
        if (c.expected == QLatin1String("*")) {
            EXPECT_TRUE(found.startsWith(QLatin1Char('/')) && found.endsWith(QLatin1String("/sh"))) << found.toStdString();
        } else {
            EXPECT_EQ(found, c.expected);
        }
    }
    // Found by name through PATH, and run.
    const ProcessResult r = Process::run(QStringLiteral("tool"), {});
    qputenv("PATH", savedPath);
    EXPECT_TRUE(r.succeeded()) << r.errorString.toStdString();
}

TEST(ProcessTest, ConcurrentRunsFromManyThreads) {
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            ProcessOptions options;
            options.input = QByteArray(200000 + t, char('a' + t));
            options.timeoutMs = 60000;
            for (int i = 0; i < 5; ++i) {
                const ProcessResult r = Process::run(QStringLiteral("cat"), {}, options);
                if (r.succeeded() && r.standardOutput == options.input) ++good;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(good, 40);
}

}  // namespace

// A logout (SIGTERM), a closed terminal (SIGHUP) and Ctrl+C (SIGINT) reach the handler on the
// event loop instead of ending the process; the same signal again while it runs ends the process
// as that signal does, also once the event loop has stopped (the quit's waits for uploads under
// way). Each runs in a child process of its own.
TEST(ProcessTest, TerminationSignalsReachTheHandlerOnceThenEndTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const bool loopStopped : {false, true}) {
        for (const int number : {SIGTERM, SIGHUP, SIGINT}) {
            SCOPED_TRACE(testing::Message() << number << (loopStopped ? " after the event loop stopped" : ""));
            EXPECT_EXIT(
                {
                    int calls = 0;
                    Process::onTerminationSignal([&calls] { ++calls; });
                    ::raise(number);
                    for (int i = 0; i < 100 && calls == 0; ++i) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
                    std::fprintf(stderr, "handled %d\n", calls);
                    ::raise(number);
                    if (loopStopped) std::this_thread::sleep_for(std::chrono::seconds(5));
                    else
                        for (int i = 0; i < 100; ++i) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
                    std::exit(0);
                },
                ::testing::KilledBySignal(number), "handled 1");
        }
    }
}
