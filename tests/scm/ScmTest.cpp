// Subversion without widgets: the terminal task, the actions' command lines and errors, the XML
// entries, and the working copy's queue against real repositories.
#include "platform/MainQueue.h"
#include "platform/SystemLog.h"
#include "scm/QVInteractiveTask.h"
#include "scm/QVSCMInterface.h"
#include "tests/scm/SubversionPeers.h"
#include "tests/support/LogCapture.h"

#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <mutex>

#include <csignal>

using namespace scmtest;

namespace {

struct Finished {
    QStringList lines;
    QByteArray bytes;
    bool hadError = false;
};

// Records each command a task finishes; counts them to catch a second report.
struct TaskRecorder : QVInteractiveTaskDelegate {
    std::mutex lock;
    QList<Finished> finished;
    bool expectInput = false;
    void taskFinishedCommand(QVInteractiveTask*, const QStringList& lines, const QByteArray& bytes, bool hadError) override {
        std::lock_guard guard(lock);
        finished.append({lines, bytes, hadError});
    }
    bool taskShouldExpectInput(QVInteractiveTask*) override { return expectInput; }
    int count() {
        std::lock_guard guard(lock);
        return int(finished.size());
    }
};

std::shared_ptr<TaskRecorder> runShell(const QString& script, const QByteArray& input = {}, const QString& folder = {},
                                       std::shared_ptr<QVInteractiveTask>* keep = nullptr, bool outputToFile = false) {
    auto recorder = std::make_shared<TaskRecorder>();
    auto task = std::make_shared<QVInteractiveTask>(QStringLiteral("/bin/sh"));
    task->setArguments({QStringLiteral("-c"), script});
    task->setOutputToFile(outputToFile);
    task->setStandardInput(input);
    task->setWorkingDirectory(folder);
    task->setDelegate(recorder);
    task->launch();
    if (keep) *keep = task;
    return recorder;
}

bool waitFor(const std::function<bool()>& done, int ms = 20000) {
    return MainQueue::runUntil(done, std::chrono::milliseconds(ms));
}

// Everything a queue tells, as lines.
struct Recorder : QVSCMInterfaceDelegate {
    QStringList events;
    QList<QList<std::shared_ptr<QVSCMStatusEntry>>> statuses;
    QString output;
    QByteArray bytes;
    std::function<void(QVSCMInterface*)> onCredentials;
    void scmInterfaceNeedsCredentials(QVSCMInterface* interface) override {
        events << QStringLiteral("credentials");
        if (onCredentials) onCredentials(interface);
    }
    void scmInterfaceHadError(QVSCMInterface*, const QVError& error) override {
        events << QStringLiteral("error %1: %2").arg(error.code()).arg(error.localizedRecoverySuggestion());
    }
    void scmInterfaceDidPerformCommand(QVSCMInterface*, int type, const QStringList& files) override {
        events << QStringLiteral("done %1 %2").arg(type).arg(files.join(u','));
    }
    void scmInterfaceDidRetrieveOutput(QVSCMInterface*, const QVSCMOutputAction& action) override {
        events << QStringLiteral("output %1").arg(action.command());
        output = action.outputString();
        bytes = action.outputBytes();
    }
    void scmInterfaceDidRetrieveLog(QVSCMInterface*, const QVSCMLogAction& action) override {
        events << QStringLiteral("log %1 %2").arg(action.logEntries().size()).arg(action.tag());
    }
    void scmInterfaceDidRetrieveStatus(QVSCMInterface*, const QList<std::shared_ptr<QVSCMStatusEntry>>& entries, const QString& path,
                                       bool) override {
        QStringList shown;
        for (const auto& entry : entries) shown << entry->workingCopyStatusLetter() + entry->path();
        events << QStringLiteral("status %1: %2").arg(path, shown.join(u' '));
        statuses << entries;
    }
};

}  // namespace

TEST(QVInteractiveTask, EveryExitIsToldOnceWithWholeLinesAndTheProgramsBytes) {
    const QString longLine(5000, u'x');
    const struct {
        const char* name;
        QString script;
        QByteArray input;
        QStringList lines;
        bool hadError;
    } cases[] = {
        {"no final line end", QStringLiteral("printf 'one\\ntwo'"), {}, {"one", "two"}, false},
        {"a long line in many reads", QStringLiteral("printf '%1'; sleep 0.2; printf 'y\\n'").arg(longLine), {}, {longLine + "y"}, false},
        {"silent success", QStringLiteral("true"), {}, {}, false},
        {"silent failure", QStringLiteral("exit 3"), {}, {}, true},
        {"ended by a signal", QStringLiteral("echo before; kill -9 $$"), {}, {"before"}, true},
        {"a question it is not expecting", QStringLiteral("printf 'Password: '; sleep 0.3; echo done"), {}, {"Password: done"}, false},
        {"input read with echo off", QStringLiteral("read -r p; echo \"got ${#p}\""), "s3cret\n", {"got 6"}, false},
        {"not UTF-8: Mac OS Roman", QStringLiteral("printf 'caf\\216\\n'"), {}, {QStringLiteral("caf\u00e9")}, false},
        {"errors between output lines, in order", QStringLiteral("echo one; sleep 0.1; echo 'svn: E1' >&2; sleep 0.1; echo two; exit 1"), {},
         {"one", "svn: E1", "two"}, true},
    };
    // Each case alike with the output on the terminal and through a pipe (the terminal then
    // only the program's input).
    for (const bool pipe : {false, true}) {
        for (const auto& c : cases) {
            const auto recorder = runShell(c.script, c.input, {}, nullptr, pipe);
            ASSERT_TRUE(waitFor([&] { return recorder->count() >= 1; })) << c.name << (pipe ? " (pipe)" : "");
            QThread::msleep(300);  // a second report would come now
            ASSERT_EQ(recorder->count(), 1) << c.name << (pipe ? " (pipe)" : "");
            EXPECT_EQ(recorder->finished[0].lines, c.lines) << c.name << (pipe ? " (pipe)" : "");
            EXPECT_EQ(recorder->finished[0].hadError, c.hadError) << c.name << (pipe ? " (pipe)" : "");
        }
        // Where the program writes, and that the terminal stays its input.
        const auto where = runShell(QStringLiteral("[ -t 1 ] && echo out-terminal || echo out-pipe; [ -t 0 ] && echo in-terminal"), {}, {},
                                    nullptr, pipe);
        ASSERT_TRUE(waitFor([&] { return where->count() == 1; }));
        EXPECT_EQ(where->finished[0].lines, (QStringList{pipe ? "out-pipe" : "out-terminal", "in-terminal"}));
    }
    // Output is the program's bytes: no CR added to line feeds, no echo of what was typed.
    const auto raw = runShell(QStringLiteral("read -r p; printf 'a\\nb\\r\\n'"), "typed\n");
    ASSERT_TRUE(waitFor([&] { return raw->count() == 1; }));
    EXPECT_EQ(raw->finished[0].bytes, QByteArray("a\nb\r\n"));
    // A program that cannot start, or a folder that cannot be entered, fails once with the reason.
    for (const auto& [program, folder] : {std::pair{QStringLiteral("/nonexistent/svn"), QString()},
                                          std::pair{QStringLiteral("/bin/true"), QStringLiteral("/nonexistent/folder")}}) {
        auto recorder = std::make_shared<TaskRecorder>();
        auto task = std::make_shared<QVInteractiveTask>(program);
        task->setWorkingDirectory(folder);
        task->setDelegate(recorder);
        task->launch();
        ASSERT_TRUE(waitFor([&] { return recorder->count() == 1; })) << program.toStdString();
        EXPECT_TRUE(recorder->finished[0].hadError);
        EXPECT_TRUE(recorder->finished[0].lines.value(0).contains(folder.isEmpty() ? "EXEC FAILED" : "CHDIR FAILED"));
    }
    // Killed while running, or the moment it was launched (while the child may not yet lead a
    // process group of its own): the report still comes at once, as a failure, and says it was
    // stopped.
    for (const int delay : {200, 0}) {
        std::vector<std::pair<std::shared_ptr<QVInteractiveTask>, std::shared_ptr<TaskRecorder>>> runs(delay ? 1 : 20);
        for (auto& [task, recorder] : runs) {
            recorder = runShell(QStringLiteral("sleep 30"), {}, {}, &task);
            QThread::msleep(delay);
            task->kill();
        }
        for (auto& [task, recorder] : runs) {
            ASSERT_TRUE(waitFor([&] { return recorder->count() == 1; }, 5000)) << "killed after " << delay << " ms";
            EXPECT_TRUE(recorder->finished[0].hadError);
            EXPECT_TRUE(task->wasStopped());
        }
    }
}

TEST(QVSCMAction, CommandLinesNameEveryPathAfterDashesAndNeverThePassword) {
    const QVSCMRunSettings withUser{svn, QStringLiteral("/wc"), QStringLiteral("alice"), QStringLiteral("secret")};
    const QVSCMRunSettings anonymous{svn, QStringLiteral("/wc"), {}, {}};
    const QString auth = QStringLiteral("--non-interactive --no-auth-cache --username alice --password-from-stdin");
    const struct {
        std::shared_ptr<QVSCMAction> action;
        QVSCMRunSettings settings;
        QString arguments;
    } cases[] = {
        {QVSCMSimpleAction::commit({"a.html", "-x.txt"}, "fix"), withUser, "%1 commit -m fix --force-log -- a.html -x.txt"},
        {QVSCMSimpleAction::commit({"b"}, {}), anonymous, "--non-interactive --no-auth-cache commit -m  --force-log -- b"},
        {QVSCMSimpleAction::add({"logo@2x.png", "a b"}), withUser, "--non-interactive add -- logo@2x.png@ a b"},
        {QVSCMSimpleAction::revert({"folder"}), withUser, "--non-interactive revert --depth=infinity -- folder"},
        {QVSCMSimpleAction::move("a", "b"), withUser, "%1 move -- a b"},
        {QVSCMSimpleAction::update({"a"}, "HEAD"), withUser, "%1 update -r HEAD -- a"},
        {QVSCMSimpleAction::update({"a"}, {}), withUser, "%1 update -- a"},
        {QVSCMSimpleAction::mkdir({"new"}, "m"), withUser, "%1 mkdir -- new"},
        {QVSCMSimpleAction::mkdir({"svn://h/new"}, "m"), withUser, "%1 mkdir -m m --force-log -- svn://h/new"},
        {QVSCMOutputAction::make("diff", "x.css", "3", "7", QVSCMAction::Diff), withUser, "diff %1 -r 3:7 -- x.css"},
        {QVSCMOutputAction::make("annotate", "-n", "BASE", {}, QVSCMAction::Annotate), anonymous,
         "annotate --non-interactive --no-auth-cache -r BASE -- -n"},
        {QVSCMLogAction::make({}, {}, 7), withUser, "log --xml %1 -- ."},
        {QVSCMStatusAction::make("a@b.js", false, false, false), withUser, "st --xml %1 -N -- a@b.js@"},
        {QVSCMStatusAction::make("dir", true, true, true), withUser, "st -u --xml %1 -- ."},
        // A name beginning with "@", where the client takes names literally.
        {QVSCMOutputAction::make("diff", "@lead.txt", "BASE", {}, QVSCMAction::Diff), withUser, "diff %1 -r BASE -- ./@lead.txt"},
        {QVSCMOutputAction::make("diff", "sub/@lead.txt", {}, {}, QVSCMAction::Diff), withUser, "diff %1 -r BASE --old=sub/@lead.txt@"},
        {QVSCMOutputAction::make("diff", "@lead.txt", "HEAD", {}, QVSCMAction::Diff), withUser, "diff %1 -r HEAD -- @lead.txt@"},
        {QVSCMSimpleAction::move("a@b", "@c"), withUser, "%1 move -- a@b@ ./@c"},
        {QVSCMSimpleAction::move("@a", "sub/@c"), withUser, "%1 move -- ../@a@ ./@c"},
    };
    for (const auto& c : cases) {
        const QString expected = c.arguments.contains("%1") ? c.arguments.arg(auth) : c.arguments;
        const QStringList arguments = c.action->arguments(c.settings);
        EXPECT_EQ(arguments.join(u' '), expected);
        EXPECT_FALSE(arguments.contains(QStringLiteral("secret")));
    }
    EXPECT_EQ(QVSCMStatusAction::make("dir/sub", true, false, true)->workingDirectory(withUser), QStringLiteral("/wc/dir/sub"));
    EXPECT_EQ(QVSCMStatusAction::make("a.html", false, false, false)->workingDirectory(withUser), QStringLiteral("/wc"));
    EXPECT_EQ(QVSCMSimpleAction::move("@a", "sub/@c")->workingDirectory(withUser), QStringLiteral("/wc/sub"));
    EXPECT_EQ(QVSCMSimpleAction::move("@a", "sub/c@")->workingDirectory(withUser), QStringLiteral("/wc"));

    // Credentials are decided by the client's error codes, never by words in a file name.
    const struct {
        QStringList lines;
        qint64 code;
        QString suggestion;
    } errors[] = {
        {{"svn: E170001: Authentication error from server: Password incorrect"}, 1,
         "svn: E170001: Authentication error from server: Password incorrect"},
        {{"svn: E215004: No more credentials or we tried too many times."}, 1, "svn: E215004: No more credentials or we tried too many times."},
        {{"A  password-reset.php", "svn: E155010: The node 'authorization.txt' was not found."}, 0,
         "svn: E155010: The node 'authorization.txt' was not found."},
        {{"svn: warning: W155010: x", "svn: E200009: Could not display info"}, 0, "svn: warning: W155010: x\nsvn: E200009: Could not display info"},
        {{"Username not found"}, 0, ""},
        // A message over several lines is kept whole; the command's output before it is not.
        {{"<status>", "svn: E155036: Please see the 'svn upgrade' command", "svn: E155036: The working copy at '/w'",
          "is too old (format 29). You need to upgrade the working copy first.", ""},
         0,
         "svn: E155036: Please see the 'svn upgrade' command\nsvn: E155036: The working copy at '/w'\nis too old (format 29). You need "
         "to upgrade the working copy first."},
    };
    for (const auto& e : errors) {
        const QVError error = QVSCMAction::errorForOutput(e.lines);
        EXPECT_EQ(error.code(), e.code) << e.lines.join(u'|').toStdString();
        EXPECT_EQ(error.localizedRecoverySuggestion(), e.suggestion);
        EXPECT_EQ(error.localizedDescription(), QStringLiteral("SCM Error"));
    }
    EXPECT_EQ(QVSCMAction::humanReadableStringForActionType(QVSCMAction::Cat), QStringLiteral("Compare"));
}

TEST(QVSCMXml, StatusAndLogEntries) {
    const QString status = QStringLiteral(R"(<?xml version="1.0"?><status>
<target path="."><entry path="a.html"><wc-status item="modified"/><repos-status item="modified"/></entry>
<entry path="gone.css"><wc-status item="missing"/></entry>
<entry path="same.js"><wc-status item="normal"/></entry>
<entry path="new &amp; odd.txt"><wc-status item="unversioned"/></entry></target>
<target path="other"><entry path="x"><wc-status item="added"/></entry></target>
<changelist name="work"><entry path="listed.php"><wc-status item="added"/></entry></changelist></status>)");
    QStringList shown;
    for (const auto& entry : QVSCMXml::statusEntries(status)) {
        const auto& svnEntry = static_cast<const QVSubversionStatusEntry&>(*entry);
        shown << QStringLiteral("%1%2/%3").arg(entry->workingCopyStatusLetter(), svnEntry.repositoryStatusLetter(), entry->path());
    }
    EXPECT_EQ(shown, (QStringList{"MM/a.html", "!/gone.css", "/same.js", "?/new & odd.txt", "A/listed.php"}));
    EXPECT_TRUE(QVSCMXml::statusEntries(QStringLiteral("svn: E155007: not a working copy")).isEmpty());
    EXPECT_EQ(QVSCMXml::statusEntries(QStringLiteral("<status><target path=\".\"><entry path=\"a\"><wc-status item=\"added\"/></entry><entry")).size(), 1);

    const QList<QVSCMLogEntry> log = QVSCMXml::logEntries(QStringLiteral(R"(<log><logentry revision="2"><author>alice</author>
<date>2026-12-07T10:00:00.000000Z</date><msg>two
lines &lt;b&gt;</msg></logentry><logentry revision="1"><msg></msg></logentry></log>)"));
    ASSERT_EQ(log.size(), 2);
    EXPECT_EQ(log[0].revision, QStringLiteral("2"));
    EXPECT_EQ(log[0].author, QStringLiteral("alice"));
    EXPECT_EQ(log[0].message, QStringLiteral("two\nlines <b>"));
    EXPECT_EQ(log[1].author, QString());
    EXPECT_TRUE(QVSCMXml::logEntries(QStringLiteral("not xml")).isEmpty());
}

TEST(QVSCMInterface, HostileNamesRunInOrderAgainstARealWorkingCopy) {
    Repository repository;
    repository.commit({{QStringLiteral("index.html"), "<p>1</p>\n"}});
    const QStringList names = {QStringLiteral("-x.txt"), QStringLiteral("logo@2x.png"), QStringLiteral("a b.css"),
                               QStringLiteral("\u00e9t\u00e9.js"), QStringLiteral("--"), QStringLiteral("sub/@@.php")};
    for (const QString& name : names) repository.dir.write(QStringLiteral("wc/") + name, name.toUtf8());
    // A project in a folder below the working copy's top still finds it; its own folder is
    // where the client runs.
    EXPECT_EQ(QVSCMInterface::workingCopyRootForPath(repository.wc + QStringLiteral("/sub")), repository.wc);
    EXPECT_EQ(QVSCMInterface::scmInterfaceForPath(repository.dir.path()), nullptr);

    auto interface = QVSCMInterface::scmInterfaceForPath(repository.wc);
    ASSERT_TRUE(interface);
    auto recorder = std::make_shared<Recorder>();
    interface->setDelegate(recorder);
    interface->addFiles({QStringLiteral("sub")});
    interface->addFiles(names.mid(0, 5));
    interface->commitFiles(QStringList{QStringLiteral("sub")} + names, QStringLiteral("index.html"));  // a message that names a file
    repository.dir.write(QStringLiteral("wc/index.html"), "<p>2</p>\n");
    // Saves in a row: every status comes back, in order.
    for (int i = 0; i < 20; ++i) interface->getStatusForFile(QStringLiteral("index.html"), false, false, false);
    interface->getStatusForFile({}, true, false, true);
    ASSERT_TRUE(waitFor([&] { return interface->queuedCount() == 0; }, 60000)) << recorder->events.join('\n').toStdString();
    ASSERT_GE(recorder->events.size(), 24);
    EXPECT_EQ(recorder->events[0], QStringLiteral("done 1 sub"));
    EXPECT_EQ(recorder->events[1], QStringLiteral("done 1 ") + names.mid(0, 5).join(u','));
    EXPECT_EQ(recorder->events[2], QStringLiteral("done 3 sub,") + names.join(u','));
    for (int i = 3; i < 23; ++i) EXPECT_EQ(recorder->events[i], QStringLiteral("status index.html: Mindex.html"));
    EXPECT_TRUE(recorder->events.last().startsWith(QStringLiteral("status : Mindex.html"))) << recorder->events.last().toStdString();
    const QString log = QString::fromUtf8(client({QStringLiteral("log"), QStringLiteral("-v"), QStringLiteral("-r"), QStringLiteral("HEAD")}, repository.wc));
    for (const QString& name : names) EXPECT_TRUE(log.contains(QStringLiteral("/") + name)) << name.toStdString();

    // Reverting a folder reverts what it holds; a missing file shows "!".
    repository.dir.write(QStringLiteral("wc/sub/@@.php"), "changed");
    QFile::remove(repository.wc + QStringLiteral("/a b.css"));
    interface->revertFiles({QStringLiteral("sub")});
    interface->getStatusForFile({}, true, false, true);
    // A folder that is gone fails its status instead of listing another folder.
    interface->getStatusForFile(QStringLiteral("nowhere"), true, false, true);
    // The file's bytes as the repository has them, and the log.
    interface->catFile(QStringLiteral("logo@2x.png"), QStringLiteral("HEAD"));
    interface->getLogForFile(QStringLiteral("-x.txt"), {}, 4);
    recorder->events.clear();
    ASSERT_TRUE(waitFor([&] { return interface->queuedCount() == 0; }, 60000));
    ASSERT_EQ(recorder->events.size(), 5) << recorder->events.join('\n').toStdString();
    EXPECT_EQ(recorder->events[0], QStringLiteral("done 10 sub"));
    EXPECT_EQ(recorder->events[1], QStringLiteral("status : !a b.css Mindex.html"));
    EXPECT_TRUE(recorder->events[2].startsWith(QStringLiteral("error 0: "))) << recorder->events[2].toStdString();
    EXPECT_EQ(recorder->events[3], QStringLiteral("output cat"));
    EXPECT_EQ(recorder->bytes, QByteArray("logo@2x.png"));
    EXPECT_EQ(recorder->events[4], QStringLiteral("log 1 4"));
}

TEST(QVSCMInterface, CredentialsAreAskedOnRefusalsAndNeverShownAnywhere) {
    Svnserve server;
    Repository repository(server.url, {QStringLiteral("--username"), QStringLiteral("alice"), QStringLiteral("--password"), QStringLiteral("secret")});
    repository.commitArguments = {QStringLiteral("--username"), QStringLiteral("alice"), QStringLiteral("--password"), QStringLiteral("secret")};
    repository.commit({{QStringLiteral("a.txt"), "a\n"}});
    repository.dir.write(QStringLiteral("wc/a.txt"), "b\n");
    LogCapture log;

    auto interface = QVSCMInterface::scmInterfaceForPath(repository.wc);
    auto recorder = std::make_shared<Recorder>();
    interface->setDelegate(recorder);
    // A wrong password asks again; the right one runs the waiting commit; later actions follow.
    int asked = 0;
    recorder->onCredentials = [&](QVSCMInterface* queue) {
        ++asked;
        MainQueue::post([queue, asked] { queue->setCredentials(QStringLiteral("alice"), asked == 1 ? QStringLiteral("wrong") : QStringLiteral("secret")); });
    };
    interface->commitFiles({QStringLiteral("a.txt")}, QStringLiteral("second"));
    interface->getStatusForFile(QStringLiteral("a.txt"), false, false, false);
    ASSERT_TRUE(waitFor([&] { return interface->queuedCount() == 0; }, 60000)) << recorder->events.join('\n').toStdString();
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(recorder->events, (QStringList{"credentials", "credentials", "done 3 a.txt", "status a.txt: "}));
    for (const QString& line : log.lines()) EXPECT_FALSE(line.contains(QStringLiteral("secret"))) << line.toStdString();
    // A command that went well ends its log line there.
    EXPECT_TRUE(log.contains(QStringLiteral("SCM: Finished command."))) << log.lines().join(u'\n').toStdString();

    // Refused credentials fail only the command that asked.
    const auto fresh = QVSCMInterface::scmInterfaceForPath(repository.wc);
    auto refusing = std::make_shared<Recorder>();
    refusing->onCredentials = [](QVSCMInterface* queue) { MainQueue::post([queue] { queue->credentialsRefused(); }); };
    fresh->setDelegate(refusing);
    fresh->updateFiles({QStringLiteral("a.txt")}, QStringLiteral("HEAD"));
    fresh->getStatusForFile(QStringLiteral("a.txt"), false, false, false);
    ASSERT_TRUE(waitFor([&] { return fresh->queuedCount() == 0; }, 60000));
    EXPECT_EQ(refusing->events, (QStringList{"credentials", "status a.txt: "}));

    // Without a client every command fails at once, saying so.
    UserDefaults::standard().removeObject(QStringLiteral("QVSubversionExecPath"));
    const auto none = QVSCMInterface::scmInterfaceForPath(repository.wc);
    auto told = std::make_shared<Recorder>();
    none->setDelegate(told);
    none->getStatusForFile({}, true, false, false);
    ASSERT_TRUE(waitFor([&] { return none->queuedCount() == 0; }, 5000));
    ASSERT_EQ(told->events.size(), 1);
    EXPECT_TRUE(told->events[0].contains(QStringLiteral("not found")));
}

TEST(QVSCMInterface, AWorkingCopyOfAnotherFormatIsToldInFull) {
    const struct {
        int format;
        QStringList told;
    } cases[] = {
        {32, {"This client is too old to work with the working copy at", "/wc' (format 32).", "You need to get a newer Subversion client"}},
        {29, {"The working copy at", "is too old (format 29)", "You need to upgrade the working copy first."}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        Repository repository;
        // The format as a client of another release would have written it.
        ASSERT_EQ(QProcess::execute(QStringLiteral("/usr/bin/python3"),
                                    {QStringLiteral("-c"), QStringLiteral("import sqlite3, sys; c = sqlite3.connect(sys.argv[1]); "
                                                                          "c.execute('PRAGMA user_version=%1'); c.commit()")
                                                               .arg(c.format),
                                     repository.wc + QStringLiteral("/.svn/wc.db")}),
                  0);
        auto interface = QVSCMInterface::scmInterfaceForPath(repository.wc);
        auto recorder = std::make_shared<Recorder>();
        interface->setDelegate(recorder);
        interface->getStatusForFile({}, true, false, true);
        ASSERT_TRUE(waitFor([&] { return interface->queuedCount() == 0; }, 60000));
        ASSERT_EQ(recorder->events.size(), 1);
        for (const QString& words : c.told) EXPECT_TRUE(recorder->events[0].contains(words)) << recorder->events[0].toStdString();
    }
}

TEST(QVSCMInterface, AClientKilledMidCommitLeavesNoLockBehind) {
    Repository repository;
    repository.commit({{QStringLiteral("a.txt"), "a\n"}});
    // The repository takes its time with the next commit.
    repository.dir.write(QStringLiteral("repo/hooks/pre-commit"), "#!/bin/sh\nsleep 20\n");
    QFile::setPermissions(repository.dir.file(QStringLiteral("repo/hooks/pre-commit")), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    repository.dir.write(QStringLiteral("wc/a.txt"), "b\n");
    auto interface = QVSCMInterface::scmInterfaceForPath(repository.wc);
    auto recorder = std::make_shared<Recorder>();
    interface->setDelegate(recorder);
    interface->commitFiles({QStringLiteral("a.txt")}, QStringLiteral("slow"));
    waitFor([] { return false; }, 1500);
    // The client dies the way a crash or a kill -9 would end it: the svn committing in this
    // working copy, found by its folder.
    int killed = 0;
    for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        if (QFileInfo(QStringLiteral("/proc/%1/cwd").arg(pid)).canonicalFilePath() != QFileInfo(repository.wc).canonicalFilePath()) continue;
        const QByteArray command = readAll(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (!command.startsWith("/usr/bin/svn") || !command.contains("commit")) continue;
        killed += ::kill(pid.toInt(), SIGKILL) == 0;
    }
    ASSERT_EQ(killed, 1);
    // The next commit needs the working copy's lock, which the killed one held.
    repository.dir.write(QStringLiteral("repo/hooks/pre-commit"), "#!/bin/sh\nexit 0\n");
    interface->commitFiles({QStringLiteral("a.txt")}, QStringLiteral("again"));
    ASSERT_TRUE(waitFor([&] { return interface->queuedCount() == 0; }, 60000)) << recorder->events.join('\n').toStdString();
    ASSERT_EQ(recorder->events.size(), 2) << recorder->events.join('\n').toStdString();
    EXPECT_TRUE(recorder->events[0].startsWith(QStringLiteral("error 0")));
    EXPECT_EQ(recorder->events[1], QStringLiteral("done 3 a.txt"));
}

TEST(QVSCMInterface, AQueueDroppedMidCommitStillCleansUp) {
    // The project closing or changing its folder drops its queue (die) or its last reference.
    for (const bool dropReference : {false, true}) {
        SCOPED_TRACE(dropReference ? "dropped" : "die");
        Repository repository;
        repository.commit({{QStringLiteral("a.txt"), "a\n"}});
        const QString hook = repository.dir.write(QStringLiteral("repo/hooks/pre-commit"), "#!/bin/sh\nsleep 20\n");
        QFile::setPermissions(hook, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        repository.dir.write(QStringLiteral("wc/a.txt"), "b\n");
        auto interface = QVSCMInterface::scmInterfaceForPath(repository.wc);
        interface->commitFiles({QStringLiteral("a.txt")}, QStringLiteral("dropped"));
        waitFor([] { return false; }, 1500);
        ASSERT_EQ(interface->runningCommand(), QStringLiteral("Commit"));
        if (dropReference) interface.reset();
        else interface->die();
        const auto locked = [&] { return client({QStringLiteral("status")}, repository.wc).contains("  L "); };
        EXPECT_TRUE(waitFor([&] { return !locked(); }, 30000));
        QFile::remove(hook);
        client({QStringLiteral("commit"), QStringLiteral("-m"), QStringLiteral("after")}, repository.wc);
    }
}

TEST(QVSCMInterface, SigtermMidCommitLetsTheCommitEndOrStopsItAndCleansUp) {
    const struct {
        int hookSeconds;  // the repository's post-commit hook: the commit is taken, the client waits
        bool finishes;    // within the few seconds a logout is given
    } cases[] = {{2, true}, {40, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hookSeconds);
        Repository repository;
        repository.commit({{QStringLiteral("a.txt"), "a\n"}});
        // The hook marks a second into its wait and its end: what the helper waited for shows in
        // which marks are there when it has ended.
        const QString begun = repository.dir.file(QStringLiteral("hook-begun")), ended = repository.dir.file(QStringLiteral("hook-ended"));
        const QString hook = repository.dir.write(
            QStringLiteral("repo/hooks/post-commit"),
            QStringLiteral("#!/bin/sh\nsleep 1\n: > '%1'\nsleep %2\n: > '%3'\n").arg(begun).arg(c.hookSeconds - 1).arg(ended).toUtf8());
        QFile::setPermissions(hook, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        repository.dir.write(QStringLiteral("wc/a.txt"), "b\n");
        const auto youngest = [&] {
            QProcess look;
            look.start(QStringLiteral("/usr/bin/svnlook"), {QStringLiteral("youngest"), repository.dir.file(QStringLiteral("repo"))});
            look.waitForFinished();
            return look.readAllStandardOutput().trimmed().toInt();
        };
        const int before = youngest();
        QProcess qorvel;
        // What the helper says on its way out (a sanitizer's report among it) reaches this log.
        qorvel.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        qorvel.start(QStringLiteral(QORVEL_TERMINATION_HELPER), {repository.wc, QStringLiteral("a.txt"), QStringLiteral("ended")});
        ASSERT_TRUE(qorvel.waitForReadyRead(30000));
        // Ended while the repository has taken the commit and the client waits for its hook.
        ASSERT_TRUE(waitFor([&] { return youngest() == before + 1; }, 30000));
        ::kill(pid_t(qorvel.processId()), SIGTERM);
        ASSERT_TRUE(qorvel.waitForFinished(60000));
        EXPECT_EQ(qorvel.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(qorvel.exitCode(), 0);
        // A commit that ends within the bound of 4 s is waited for; a longer one is waited for up
        // to the bound (past the hook's first second), then stopped, not waited for to its end.
        EXPECT_TRUE(QFile::exists(begun));
        EXPECT_EQ(QFile::exists(ended), c.finishes);
        QFile::remove(hook);
        const QByteArray status = client({QStringLiteral("status"), QStringLiteral("-v"), QStringLiteral("a.txt")}, repository.wc);
        EXPECT_FALSE(client({QStringLiteral("status")}, repository.wc).contains("  L "));
        if (!c.finishes) continue;
        // The copy knows its commit: the next one of the same file is not out of date.
        EXPECT_TRUE(status.startsWith("    ")) << status.toStdString();
        repository.dir.write(QStringLiteral("wc/a.txt"), "c\n");
        client({QStringLiteral("commit"), QStringLiteral("-m"), QStringLiteral("next")}, repository.wc);
    }
}

TEST(QVSCMInterface, ACommitTheRepositoryTookFinishesInTheWorkingCopyWhenTheEditorDies) {
    // The editor killed, or ended by a second SIGTERM while the first one's few seconds run,
    // while the repository runs its post-commit hook: the client finishes its local step alone.
    for (const bool twoTerms : {false, true}) {
        SCOPED_TRACE(twoTerms ? "two SIGTERMs" : "SIGKILL");
        Repository repository;
        repository.commit({{QStringLiteral("a.txt"), "a\n"}});
        const QString hook = repository.dir.write(QStringLiteral("repo/hooks/post-commit"), "#!/bin/sh\nsleep 3\n");
        QFile::setPermissions(hook, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        repository.dir.write(QStringLiteral("wc/a.txt"), "b\n");
        const auto youngest = [&] {
            return client({QStringLiteral("info"), QStringLiteral("--show-item"), QStringLiteral("revision"), repository.url}, repository.wc).trimmed().toInt();
        };
        const int before = youngest();
        QProcess qorvel;
        qorvel.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        qorvel.start(QStringLiteral(QORVEL_TERMINATION_HELPER), {repository.wc, QStringLiteral("a.txt"), QStringLiteral("taken")});
        ASSERT_TRUE(qorvel.waitForReadyRead(30000));
        ASSERT_TRUE(waitFor([&] { return youngest() == before + 1; }, 30000));
        if (twoTerms) {
            ::kill(pid_t(qorvel.processId()), SIGTERM);
            waitFor([] { return false; }, 1000);
            ::kill(pid_t(qorvel.processId()), SIGTERM);
        } else {
            ::kill(pid_t(qorvel.processId()), SIGKILL);
        }
        ASSERT_TRUE(qorvel.waitForFinished(30000));
        EXPECT_EQ(qorvel.exitStatus(), QProcess::CrashExit);
        // The client left running ends once the hook has.
        const auto clientRuns = [&] {
            for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs))
                if (QFileInfo(QStringLiteral("/proc/%1/cwd").arg(pid)).canonicalFilePath() == QFileInfo(repository.wc).canonicalFilePath() &&
                    readAll(QStringLiteral("/proc/%1/cmdline").arg(pid)).contains("commit"))
                    return true;
            return false;
        };
        ASSERT_TRUE(waitFor([&] { return !clientRuns(); }, 30000));
        QFile::remove(hook);
        // The copy knows its commit: unlocked, at the new revision, and the next commit lands.
        EXPECT_FALSE(client({QStringLiteral("status")}, repository.wc).contains("  L "));
        EXPECT_EQ(client({QStringLiteral("info"), QStringLiteral("--show-item"), QStringLiteral("revision"), QStringLiteral("a.txt")}, repository.wc).trimmed().toInt(),
                  before + 1);
        repository.dir.write(QStringLiteral("wc/a.txt"), "c\n");
        const QByteArray next = client({QStringLiteral("commit"), QStringLiteral("-m"), QStringLiteral("next")}, repository.wc);
        EXPECT_TRUE(next.contains("Committed revision")) << next.toStdString();
    }
}

TEST(QVSCMInterface, EveryCommandNamesFilesHoldingAtSignsAndBlanksAsTheClientReadsThem) {
    Repository repository;
    // "^/x.txt" lies in a folder named "^"; the client would read it as the repository root's
    // x.txt, which holds other text.
    const QStringList names = {QStringLiteral("-x.txt"), QStringLiteral("logo@2x.png"), QStringLiteral("v1@"),
                               QStringLiteral("a b/c@d.txt"), QStringLiteral("@lead.txt"), QStringLiteral("a b/@e.txt"),
                               QStringLiteral("^/x.txt")};
    // Moved into a folder, to the top, or to a name ending in "@...".
    const auto movedTo = [](const QString& n) {
        return n == QLatin1String("@lead.txt")    ? QStringLiteral("a b/@lead-moved.txt")
               : n == QLatin1String("a b/@e.txt") ? QStringLiteral("@e-moved.txt")
                                                  : n + QStringLiteral("@moved");
    };
    auto interface = QVSCMInterface::scmInterfaceForPath(repository.wc);
    auto recorder = std::make_shared<Recorder>();
    interface->setDelegate(recorder);
    const auto run = [&](const std::function<void()>& command) {
        recorder->events.clear();
        recorder->output.clear();
        recorder->bytes.clear();
        command();
        EXPECT_TRUE(waitFor([&] { return interface->queuedCount() == 0; }, 60000));
        return recorder->events.join(u'|');
    };
    for (const QString& name : names) repository.dir.write(QStringLiteral("wc/") + name, "one\n");
    repository.dir.write(QStringLiteral("wc/x.txt"), "the root's\n");
    const QStringList added = QStringList{QStringLiteral("a b"), QStringLiteral("^"), QStringLiteral("x.txt")} + names.mid(0, 3) + names.mid(4, 1);
    ASSERT_EQ(run([&] { interface->addFiles(added); }), QStringLiteral("done 1 ") + added.join(u','));
    ASSERT_EQ(run([&] { interface->commitFiles({QStringLiteral(".")}, QStringLiteral("one")); }), QStringLiteral("done 3 ."));
    const struct {
        const char* command;
        std::function<void(const QString&)> act;
        QString events;  // %1: the name
        QByteArray result;  // in the output, when not empty
    } cases[] = {
        {"diff BASE", [&](const QString& n) { interface->diffFile(n, QStringLiteral("BASE"), {}); }, "output diff", "+two"},
        {"diff", [&](const QString& n) { interface->diffFile(n, {}, {}); }, "output diff", "+two"},
        {"diff HEAD", [&](const QString& n) { interface->diffFile(n, QStringLiteral("HEAD"), {}); }, "output diff", "+two"},
        {"diff 1", [&](const QString& n) { interface->diffFile(n, QStringLiteral("1"), {}); }, "output diff", "+two"},
        {"diff 1:HEAD", [&](const QString& n) { interface->diffFile(n, QStringLiteral("1"), QStringLiteral("HEAD")); }, "output diff", ""},
        {"annotate BASE", [&](const QString& n) { interface->annotateFile(n, QStringLiteral("BASE")); }, "output annotate", "one"},
        {"annotate HEAD", [&](const QString& n) { interface->annotateFile(n, QStringLiteral("HEAD")); }, "output annotate", "one"},
        {"cat BASE", [&](const QString& n) { interface->catFile(n, QStringLiteral("BASE")); }, "output cat", "one\n"},
        {"cat 1", [&](const QString& n) { interface->catFile(n, QStringLiteral("1")); }, "output cat", "one\n"},
        {"log", [&](const QString& n) { interface->getLogForFile(n, {}, 7); }, "log 1 7", ""},
        {"log HEAD:1", [&](const QString& n) { interface->getLogForFile(n, QStringLiteral("HEAD:1"), 7); }, "log 1 7", ""},
        {"status", [&](const QString& n) { interface->getStatusForFile(n, false, false, false); }, "status %1: M%1", ""},
        {"status -u", [&](const QString& n) { interface->getStatusForFile(n, false, true, false); }, "status %1: M%1", ""},
        {"revert", [&](const QString& n) { interface->revertFiles({n}); }, "done 10 %1", ""},
        {"delete", [&](const QString& n) { interface->deleteFiles({n}); }, "done 5 %1", ""},
        {"revert the delete", [&](const QString& n) { interface->revertFiles({n}); }, "done 10 %1", ""},
        {"commit", [&](const QString& n) {
             repository.dir.write(QStringLiteral("wc/") + n, "one\ntwo\n");
             interface->commitFiles({n}, QStringLiteral("two"));
         }, "done 3 %1", ""},
        {"update -r 1", [&](const QString& n) { interface->updateFiles({n}, QStringLiteral("1")); }, "done 12 %1", ""},
        {"update", [&](const QString& n) { interface->updateFiles({n}, QStringLiteral("HEAD")); }, "done 12 %1", ""},
        {"move", [&](const QString& n) { interface->moveFile(n, movedTo(n)); }, "done 9 ", ""},
    };
    for (const QString& name : names) {
        repository.dir.write(QStringLiteral("wc/") + name, "one\ntwo\n");
        for (const auto& c : cases) {
            EXPECT_EQ(run([&] { c.act(name); }), c.events.contains(u'%') ? c.events.arg(name) : c.events) << c.command << " " << name.toStdString();
            if (!c.result.isEmpty()) {
                EXPECT_TRUE(recorder->output.toUtf8().contains(c.result) || recorder->bytes.contains(c.result))
                    << c.command << " " << name.toStdString() << ": " << recorder->output.toStdString();
            }
        }
        EXPECT_TRUE(QFileInfo::exists(repository.wc + u'/' + movedTo(name))) << name.toStdString();
        const QString log = QString::fromUtf8(client({QStringLiteral("log"), QStringLiteral("-v"), QStringLiteral("-r"), QStringLiteral("HEAD"), repository.url}, repository.wc));
        EXPECT_TRUE(log.contains(u'/' + name + u'\n')) << log.toStdString();
    }
}

namespace {

// A working copy left locked the way a client killed mid-commit leaves it: the repository's
// pre-commit hook kills the client that runs it.
void lockByAKilledCommit(Repository& repository, const QString& file) {
    const QString hook = repository.dir.write(QStringLiteral("repo/hooks/pre-commit"), "#!/bin/sh\nkill -9 $PPID\n");
    QFile::setPermissions(hook, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    repository.dir.write(QStringLiteral("wc/") + file, "changed\n");
    QProcess client;
    client.setWorkingDirectory(repository.wc);
    client.start(svn, {QStringLiteral("commit"), QStringLiteral("-m"), QStringLiteral("killed"), QStringLiteral("--"), file});
    client.waitForFinished(60000);
    QFile::remove(hook);
}

}  // namespace

TEST(QVSCMInterface, ALockedWorkingCopyIsCleanedUpOnceNothingElseRunsInItAndTheCommandRunsAgain) {
    Repository repository;
    repository.commit({{QStringLiteral("a.txt"), "a\n"}, {QStringLiteral("sub/b.txt"), "b\n"}, {QStringLiteral("c.txt"), "c\n"}});
    const auto locked = [&] { return client({QStringLiteral("status")}, repository.wc).contains("  L "); };

    // Found locked when a project opens (its first status): cleaned up before the next command.
    lockByAKilledCommit(repository, QStringLiteral("a.txt"));
    ASSERT_TRUE(locked());
    {
        auto interface = QVSCMInterface::scmInterfaceForPath(repository.wc);
        auto recorder = std::make_shared<Recorder>();
        interface->setDelegate(recorder);
        interface->getStatusForFile({}, true, false, false);
        ASSERT_TRUE(waitFor([&] { return interface->queuedCount() == 0; }, 60000));
        EXPECT_FALSE(locked());
        interface->commitFiles({QStringLiteral("a.txt")}, QStringLiteral("after the lock"));
        ASSERT_TRUE(waitFor([&] { return interface->queuedCount() == 0; }, 60000));
        EXPECT_EQ(recorder->events.last(), QStringLiteral("done 3 a.txt")) << recorder->events.join(u'\n').toStdString();
    }

    // A command refused for the lock (E155004): cleaned up, then the command once more.
    lockByAKilledCommit(repository, QStringLiteral("c.txt"));
    {
        auto interface = QVSCMInterface::scmInterfaceForPath(repository.wc);
        auto recorder = std::make_shared<Recorder>();
        interface->setDelegate(recorder);
        interface->commitFiles({QStringLiteral("c.txt")}, QStringLiteral("refused, then cleaned up"));
        ASSERT_TRUE(waitFor([&] { return interface->queuedCount() == 0; }, 60000));
        EXPECT_EQ(recorder->events, QStringList{QStringLiteral("done 3 c.txt")});
        EXPECT_FALSE(locked());
    }

    // Two projects in one working copy: a commit in one holds the lock, and the other's commit
    // refused meanwhile waits for it to end before the cleanup and its second try; both land.
    const QString hook = repository.dir.write(QStringLiteral("repo/hooks/pre-commit"), "#!/bin/sh\nsleep 3\n");
    QFile::setPermissions(hook, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    repository.dir.write(QStringLiteral("wc/a.txt"), "slow\n");
    repository.dir.write(QStringLiteral("wc/sub/b.txt"), "quick\n");
    auto top = QVSCMInterface::scmInterfaceForPath(repository.wc);
    auto sub = QVSCMInterface::scmInterfaceForPath(repository.wc + QStringLiteral("/sub"));
    auto topRecorder = std::make_shared<Recorder>(), subRecorder = std::make_shared<Recorder>();
    top->setDelegate(topRecorder);
    sub->setDelegate(subRecorder);
    top->commitFiles({QStringLiteral("a.txt")}, QStringLiteral("slow"));
    waitFor([] { return false; }, 1000);
    EXPECT_EQ(top->runningCommand(), QStringLiteral("Commit"));
    sub->commitFiles({QStringLiteral("b.txt")}, QStringLiteral("quick"));
    ASSERT_TRUE(waitFor([&] { return top->queuedCount() == 0 && sub->queuedCount() == 0; }, 60000));
    EXPECT_EQ(topRecorder->events, QStringList{QStringLiteral("done 3 a.txt")});
    EXPECT_EQ(subRecorder->events, QStringList{QStringLiteral("done 3 b.txt")});
    const QByteArray log = client({QStringLiteral("log"), repository.url}, repository.wc);
    EXPECT_TRUE(log.contains("\nslow\n") && log.contains("\nquick\n")) << log.toStdString();
    EXPECT_FALSE(locked());
}
