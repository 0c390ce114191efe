// User scripts: entries from directives, output markers, and real runs of sh, perl, python3 and
// ruby scripts through private copies.
#include "platform/Process.h"
#include "shell/ScratchFolder.h"
#include "tests/support/TestSupport.h"
#include "tools/QVUserScript.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <QElapsedTimer>
#include <QThread>

#include <atomic>
#include <csignal>
#include <thread>

#include <gtest/gtest.h>

namespace {

QString script(const TestDir& dir, const QString& name, const QByteArray& text) {
    const QString path = dir.write(name, text);
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

QStringList leftovers() {
    return QDir(ScratchFolder::path()).entryList({QStringLiteral("userScript.*")}, QDir::AllEntries | QDir::Hidden);
}

QString describe(const QList<QVUserScriptEntry>& entries) {
    QStringList out;
    for (const QVUserScriptEntry& e : entries)
        out << QStringLiteral("%1[%2|%3|%4|%5]").arg(e.title, e.input.isNull() ? "-" : e.input, e.output.isNull() ? "-" : e.output,
                                                      e.keyEquivalent, e.arguments.join(','));
    return out.join(' ');
}

}  // namespace

TEST(UserScriptTest, DirectivesDeclareEntriesAndNamesGiveTitles) {
    const struct {
        const char* text;
        const char* expected;
    } cases[] = {
        {"# %%%{PBXName=Upper}%%%\n# %%%{PBXInput=Selection}%%%\n# %%%{PBXOutput=ReplaceSelection}%%%\n"
         "# %%%{PBXNewScript}%%%\n# %%%{PBXName=Lower}%%%\n",
         "Upper[Selection|ReplaceSelection||] Lower[-|-||]"},
        {"echo no directives", ""},
        // NewScript first closes nothing; arguments keep their order, an empty one included.
        {"%%%{PBXNewScript}%%% %%%{PBXArgument=a b}%%% %%%{PBXArgument}%%% %%%{PBXArgument=c}%%% %%%{PBXKeyEquivalent=^@s}%%%",
         "Run.sh[-|-|^@s|a b,,c]"},
        // Matched whatever the case, but only keys written as documented count.
        {"%%%{pbxname=lower}%%% %%%{PBXOutput=Pasteboard}%%%", "Run.sh[-|Pasteboard||]"},
        {"%%%{PBXName=A}%%%%%%{PBXNewScript}%%%%%%{PBXNewScript}%%%%%%{PBXName=B}%%%", "A[-|-||] B[-|-||]"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(describe(QVUserScript::entriesInText(QString::fromUtf8(c.text), "/s/10-Run.sh")), c.expected) << c.text;

    for (const auto& [name, title] : {std::pair{"01-Tidy up.pl", "Tidy up.pl"}, {"10-20-x", "20-x"}, {"Wrap-1", "Wrap-1"}, {"-x", "-x"}})
        EXPECT_EQ(QVUserScript::titleForFileName(name), title);

    // The folder: hidden names skipped, "--" a separator, folders submenus, names in order.
    TestDir dir;
    script(dir, "20-B.sh", "# %%%{PBXName=B}%%%\n");
    script(dir, "10-A.sh", "# %%%{PBXName=A}%%%\n# %%%{PBXKeyEquivalent=@$k}%%%\n");
    script(dir, "15--", "");
    script(dir, ".hidden", "# %%%{PBXName=Hidden}%%%\n");
    QDir(dir.path()).mkdir("30-More");
    script(dir, "30-More/x.rb", "# %%%{PBXName=X}%%%\n");
    QVUserScriptRepository repository(dir.path());
    repository.reloadScripts();
    QStringList titles;
    for (const MenuItemRep& rep : repository.menuItemRepresentations()) {
        titles << (rep.isSeparatorItem() ? QStringLiteral("--") : rep.title());
        for (const MenuItemRep& sub : rep.submenuReps()) titles << ">" + sub.title();
    }
    EXPECT_EQ(titles, QStringList({"A", "--", "B", "More", ">X"}));
    const MenuItemRep a = repository.menuItemRepresentations().first();
    EXPECT_EQ(a.action(), "insertUserScript:");
    EXPECT_EQ(a.keyEquivalent(), "k");
    EXPECT_EQ(a.keyEquivalentModifierMask(), quint32((Qt::ControlModifier | Qt::ShiftModifier).toInt()));
}

TEST(UserScriptTest, OutputMarkersAndTheLastLineFeed) {
    const QString m = QStringLiteral("%%%{PBXSelection}%%%");
    const struct {
        QString output;
        bool inputEndsWithLineFeed;
        QString text;
        qint64 start, length;
    } cases[] = {
        {"a" + m + "b" + m + "c\n", false, "abc", 1, 1},
        {"a" + m + "b" + m + "c\n", true, "abc\n", 1, 1},
        {"ab" + m + "c", false, "abc", 2, 0},
        {m + m + "x\n\n", false, "x\n", 0, 0},
        {"plain\r\n", false, "plain\r", -1, 0},
        {"a" + m + "b" + m + "c" + m + "d", false, "abc" + m + "d", 1, 1},
        {"", false, "", -1, 0},
        // Sorted whole lines stay whole lines: nothing joins the next line.
        {"apple\nfig\npear\n", true, "apple\nfig\npear\n", -1, 0},
        {"apple\nfig\npear\n", false, "apple\nfig\npear", -1, 0},
    };
    for (const auto& c : cases) {
        const QVUserScriptPlacement p = QVUserScriptPlacement::fromOutput(c.output, c.inputEndsWithLineFeed);
        EXPECT_EQ(p.text, c.text) << c.output.toStdString();
        EXPECT_EQ(p.markerStart, c.start) << c.output.toStdString();
        EXPECT_EQ(p.markerLength, c.length) << c.output.toStdString();
    }
}

TEST(UserScriptTest, RealInterpretersSeePlaceholdersEnvironmentAndInput) {
    TestDir dir;
    QVUserScriptSnapshot snapshot;
    snapshot.allText = QStringLiteral("h\u00e9llo 'world' $HOME `x`");
    snapshot.selectionStart = 6;
    snapshot.selectionLength = 7;
    snapshot.selectedText = snapshot.allText.mid(6, 7);
    snapshot.filePath = dir.file("page.html");
    const struct {
        const char* name;
        QByteArray text;
        QString expected;
    } cases[] = {
        {"s.sh", "#!/bin/sh\nprintf '%s|' '%%%{PBXSelectionStart}%%%' \"$PBXSelectionEnd\" \"$PBXSelectedText\"; tr a-z A-Z\n",
         QStringLiteral("6|13|'world'|H\u00e9LLO 'WORLD' $HOME `X`")},
        {"p.pl", "#!/usr/bin/env perl\nbinmode(STDOUT, ':utf8');\nbinmode(STDIN, ':utf8');\nuse utf8;\nprint length(q{%%%{PBXAllText}%%%}), '|', "
                 "$ENV{PBXTextLength}, '|', (-e $ENV{PBXFilePath} ? 'x' : 'none'), '|', <STDIN>;\n",
         QStringLiteral("23|23|none|h\u00e9llo 'world' $HOME `x`")},
        {"py.py", "#!/usr/bin/env python3\nimport os, sys\nsys.stdout.write(os.environ['PBXSelectionLength'] + '|' + "
                  "os.environ['PBXFilePath'].split('/')[-1] + '|' + sys.stdin.read()[::-1])\n",
         QStringLiteral("7|page.html|`x` EMOH$ 'dlrow' oll\u00e9h")},
        {"r.rb", "#!/usr/bin/env ruby\nprint ENV['PBXSelectedText'].upcase, '|', ARGV.join(','), '|', $stdin.read.size\n",
         QStringLiteral("'WORLD'|one,two words|23")},
    };
    for (const auto& c : cases) {
        const QString path = script(dir, c.name, c.text);
        const QVUserScriptOutcome outcome = QVUserScript::run(path, {"one", "two words"}, snapshot.allText, snapshot);
        EXPECT_TRUE(outcome.succeeded()) << c.name << ": " << outcome.message.toStdString() << " " << outcome.errors.toStdString();
        EXPECT_EQ(outcome.output, c.expected) << c.name;
    }
    EXPECT_EQ(leftovers(), QStringList());
}

TEST(UserScriptTest, CopiesArePrivateAndGoneLongValuesComeThroughFiles) {
    TestDir dir;
    QVUserScriptSnapshot snapshot;
    snapshot.selectedText = QString(100000, u'x') + QChar(0) + "end";
    const QString path = script(dir, "m.sh",
                                "#!/bin/sh\nstat -c '%a' \"$0\" \"$(dirname \"$0\")\" \"$PBXSelectedText_FILE\" | tr '\\n' ' '\n"
                                "printf '[%s]' \"$PBXSelectedText\"; wc -c < \"$PBXSelectedText_FILE\"\n");
    const QVUserScriptOutcome outcome = QVUserScript::run(path, {}, {}, snapshot);
    ASSERT_TRUE(outcome.succeeded()) << outcome.message.toStdString() << outcome.errors.toStdString();
    EXPECT_EQ(outcome.output, "500 700 400 []100004\n");
    EXPECT_EQ(leftovers(), QStringList());
}

// Whether the process pid has ended (gone, or a zombie waiting for whoever adopted it).
bool hasEnded(qint64 pid) {
    if (::kill(pid_t(pid), 0) != 0 && errno == ESRCH) return true;
    const QByteArray stat = readAll(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype close = stat.lastIndexOf(')');
    return close > 0 && stat.mid(close + 2, 1) == "Z";
}

TEST(UserScriptTest, BackgroundChildrenEndWithTheScript) {
    TestDir dir;
    const QByteArray pids = dir.file("pids").toUtf8();
    const struct {
        const char* name;
        QByteArray text;
    } cases[] = {
        {"background.sh", "#!/bin/sh\nsleep 300 &\necho $! > " + pids + "\necho done\n"},
        {"nohup.sh", "#!/bin/sh\nnohup sleep 300 >/dev/null 2>&1 &\necho $! > " + pids + "\necho done\n"},
        {"daemonish.py",
         "#!/usr/bin/env python3\nimport os, subprocess\np = subprocess.Popen(['sleep', '300'], stdout=subprocess.DEVNULL)\n"
         "open('" + pids + "', 'w').write(str(p.pid))\nprint('done')\n"},
        {"forked.pl", "#!/usr/bin/env perl\nmy $pid = fork();\nif ($pid == 0) { close STDOUT; sleep 300; exit 0; }\n"
                      "open(my $f, '>', '" + pids + "'); print $f $pid; close $f; print \"done\\n\";\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(dir.file("pids"));
        QVUserScript::RunOptions options;
        options.timeoutMs = 20000;
        const QVUserScriptOutcome outcome = QVUserScript::run(script(dir, c.name, c.text), {}, {}, {}, options);
        EXPECT_EQ(outcome.output, "done\n") << outcome.message.toStdString() << outcome.errors.toStdString();
        const qint64 pid = readAll(dir.file("pids")).trimmed().toLongLong();
        ASSERT_GT(pid, 0);
        QElapsedTimer waited;
        waited.start();
        while (!hasEnded(pid) && waited.elapsed() < 3000) QThread::msleep(20);
        EXPECT_TRUE(hasEnded(pid));
        if (!hasEnded(pid)) ::kill(pid_t(pid), SIGKILL);
    }
}

TEST(UserScriptTest, FailuresHangsFloodsAndStopsGiveNoOutput) {
    using Status = QVUserScriptOutcome::Status;
    TestDir dir;
    const QString big(200 * 1024, u'y');
    QVUserScript::RunOptions quick;
    quick.timeoutMs = 20000;
    quick.outputLimit = 1 << 20;
    const struct {
        const char* name;
        QByteArray text;
        QString input;
        int timeoutMs;
        Status status;
        const char* inMessageOrErrors;
    } cases[] = {
        {"fail.sh", "#!/bin/sh\necho partial; echo 'went wrong' >&2; exit 3\n", {}, 20000, Status::Failed, "went wrong"},
        {"kill.sh", "#!/bin/sh\nkill -9 $$\n", {}, 20000, Status::Failed, "signal"},
        {"hang.sh", "#!/bin/sh\nsleep 30\n", {}, 300, Status::TimedOut, "did not finish"},
        {"flood.py", "#!/usr/bin/env python3\nimport sys\nwhile True: sys.stdout.write('z' * 65536)\n", {}, 20000, Status::TooMuchOutput, "more than"},
        {"bytes.pl", "#!/usr/bin/env perl\nprint \"ok \\xff\\xfe\";\n", {}, 20000, Status::NotUTF8, "not UTF-8"},
        {"empty.sh", "", {}, 20000, Status::NotPrepared, "could not be read"},
        {"noexec", "no interpreter line\n", {}, 20000, Status::Failed, "noexec"},
        // A filter of more than a pipe's worth both ways, and one that never reads its input.
        {"cat.sh", "#!/bin/sh\ncat\n", big, 20000, Status::Succeeded, ""},
        {"deaf.rb", "#!/usr/bin/env ruby\nprint 'ignored'\n", big, 20000, Status::Succeeded, ""},
    };
    for (const auto& c : cases) {
        QVUserScript::RunOptions options = quick;
        options.timeoutMs = c.timeoutMs;
        const QVUserScriptOutcome outcome = QVUserScript::run(script(dir, c.name, c.text), {}, c.input, {}, options);
        EXPECT_EQ(outcome.status, c.status) << c.name << ": " << outcome.message.toStdString();
        EXPECT_TRUE((outcome.message + outcome.errors).contains(c.inMessageOrErrors)) << c.name << ": " << outcome.message.toStdString();
        if (c.status != Status::Succeeded) {
            EXPECT_TRUE(outcome.output.isEmpty()) << c.name;
        }
    }
    EXPECT_EQ(QVUserScript::run(dir.file("cat.sh"), {}, big, {}, quick).output, big);

    // Stop from another thread ends a script that would run for ever.
    std::atomic<bool> stop = false;
    QVUserScript::RunOptions stoppable = quick;
    stoppable.cancel = &stop;
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stop = true;
    });
    const QVUserScriptOutcome stopped = QVUserScript::run(script(dir, "loop.sh", "#!/bin/sh\nwhile :; do :; done\n"), {}, {}, {}, stoppable);
    stopper.join();
    EXPECT_EQ(stopped.status, Status::Stopped);
    EXPECT_EQ(leftovers(), QStringList());
}
