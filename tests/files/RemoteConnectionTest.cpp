// The client connection and the action rules, against scripts that play a client on a real
// pseudo-terminal.
#include "files/QVConnectAction.h"
#include "files/QVRemoteFileAction.h"
#include "files/QVRemoteFileActions.h"
#include "files/QVRemoteFilesConnection.h"
#include "tests/files/RemoteActionTestSupport.h"

#include "platform/FileName.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <csignal>

namespace {

// A client: prompt "ftp> ", echoing "200 <command>" for each command; special commands print
// what the test needs.
const char* kFakeClient = R"SH(#!/bin/sh
printf 'Connected.\n220 ready\nftp> '
while IFS= read -r line; do
  case "$line" in
    quit) printf '221 Goodbye.\n'; exit 0;;
    die) exit 3;;
    ask) printf 'Password: ';;
    askstall) stty -echo; printf 'Password: '; read secret; sleep 5;;
    fail) printf '550 No such file or directory.\nftp> ';;
    roman) printf 'caf\216 \216t\216\n226 done\nftp> ';;
    split) printf '150 op'; sleep 0.2; printf 'ening\n226 Tran'; sleep 0.2; printf 'sfer complete.\nftp> ';;
    silent) printf 'started\n'; sleep 5;;
    notconnected) printf 'Not connected.\nftp> ';;
    where) printf '200 %s|%s\nftp> ' "$PWD" "$(ls -A | wc -l)";;
    "") printf 'usage: get remote-file\nftp> ';;
    getnothing) printf '(remote-file) ';;
    *) printf '200 %s\nftp> ' "$line";;
  esac
done
)SH";

struct FakeClient {
    QTemporaryDir dir;
    QString path;
    FakeClient() {
        path = dir.filePath("client");
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(kFakeClient);
        f.close();
        f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    std::shared_ptr<QVRemoteFilesConnection> connection(int type = QVRemoteFilesConnection::FTP) {
        auto c = std::make_shared<QVRemoteFilesConnection>(type);
        c->setExecutable(path);
        return c;
    }
};

// Collects replies as they finish.
class ReplyRecorder : public QVRemoteFilesConnectionDelegate {
public:
    bool answers = false;
    std::mutex lock;
    std::condition_variable changed;
    std::vector<QStringList> replies;
    std::vector<int> states;
    int timeouts = 0;
    bool connectionWillNeedInput(QVRemoteFilesConnection*, const QString&) override { return answers; }
    void connectionFinishedCommand(QVRemoteFilesConnection* c, const QStringList& lines) override {
        std::lock_guard g(lock);
        replies.push_back(lines);
        states.push_back(c->state());
        changed.notify_all();
    }
    void connectionTimedOut(QVRemoteFilesConnection*) override {
        std::lock_guard g(lock);
        ++timeouts;
        changed.notify_all();
    }
    bool waitFor(size_t n, int ms = 10000) {
        std::unique_lock g(lock);
        return changed.wait_for(g, std::chrono::milliseconds(ms), [&] { return replies.size() >= n; });
    }
};

}  // namespace

TEST(RemoteConnection, RepliesEndAtThePromptOrAQuestionAndCommandsWaitTheirTurn) {
    FakeClient client;
    auto connection = client.connection();
    auto recorder = std::make_shared<ReplyRecorder>();
    recorder->answers = true;
    connection->setDelegate(recorder);
    QStringList log;
    std::mutex logLock;
    connection->setLogDelegate([&](const QString& t) {
        std::lock_guard g(logLock);
        log << t;
    });
    connection->launchWithArguments({});
    ASSERT_TRUE(recorder->waitFor(1));
    // Two at once: the second is written only when the first has its reply.
    ASSERT_TRUE(connection->writeCommand("split"));
    ASSERT_TRUE(connection->writeCommand(QString::fromUtf8("caf\xC3\xA9 \xE2\x82\xAC")));
    ASSERT_TRUE(connection->writeCommand("roman"));
    // A name listed in another encoding goes back as the bytes it came as.
    const QString latin1 = FileName::decode(QByteArray("put caf\xe9.html"));
    ASSERT_TRUE(connection->writeCommand(latin1));
    ASSERT_TRUE(connection->writeCommand("ask"));
    ASSERT_TRUE(recorder->waitFor(6));
    std::lock_guard g(recorder->lock);
    const std::vector<QStringList> expected = {
        {"Connected.", "220 ready"},
        {"150 opening", "226 Transfer complete."},  // pieces of a line join before decoding
        {QString::fromUtf8("200 caf\xC3\xA9 \xE2\x82\xAC")},  // every byte written, the echo dropped
        {FileName::decode(QByteArray("caf\x8e \x8et\x8e")), "226 done"},  // not UTF-8: the bytes kept
        {"200 " + latin1},
        {"Password: "},
    };
    EXPECT_EQ(recorder->replies, expected);
    EXPECT_EQ(recorder->states, (std::vector<int>{3, 3, 3, 3, 3, 4}));
    std::lock_guard lg(logLock);
    EXPECT_TRUE(log.join("").contains("226 Transfer complete.\n"));
}

TEST(RemoteConnection, EndsKillsAndTimeOutsReachTheWaitingSideOnce) {
    FakeClient client;
    struct Case {
        const char* name;
        const char* command;
        int timeoutMs;
        bool killIt;
        bool ended, timedOut;
    };
    const Case cases[] = {
        {"client dies mid-command", "die", 0, false, true, false},
        {"quit ends the client", "quit", 0, false, true, false},
        {"silent half-way times out", "silent", 500, false, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto connection = client.connection();
        if (c.timeoutMs) connection->setReplyTimeout(std::chrono::milliseconds(c.timeoutMs));
        auto recorder = std::make_shared<ReplyRecorder>();
        connection->setDelegate(recorder);
        connection->launchWithArguments({});
        ASSERT_TRUE(recorder->waitFor(1));
        ASSERT_TRUE(connection->writeCommand(c.command));
        if (c.timedOut) {
            std::unique_lock g(recorder->lock);
            ASSERT_TRUE(recorder->changed.wait_for(g, std::chrono::seconds(10), [&] { return recorder->timeouts == 1; }));
        } else {
            ASSERT_TRUE(recorder->waitFor(2));
        }
        EXPECT_EQ(connection->clientEnded(), c.ended);
        EXPECT_TRUE(connection->hasTimedOut(0));
        for (int i = 0; i < 100 && connection->pid() != 0; ++i) usleep(20000);
        EXPECT_EQ(connection->pid(), 0);  // reaped; nothing left to signal
        connection->cancel();
        connection->kill();
        EXPECT_FALSE(connection->writeCommand("after"));
    }

    // A killed client's late output never reaches the next launch.
    auto connection = client.connection();
    auto first = std::make_shared<ReplyRecorder>();
    connection->setDelegate(first);
    connection->launchWithArguments({});
    ASSERT_TRUE(first->waitFor(1));
    connection->writeCommand("silent");
    connection->kill();
    auto second = std::make_shared<ReplyRecorder>();
    connection->setDelegate(second);
    connection->launchWithArguments({});
    ASSERT_TRUE(second->waitFor(1));
    ASSERT_TRUE(connection->writeCommand("hello"));
    ASSERT_TRUE(second->waitFor(2));
    std::lock_guard g(second->lock);
    EXPECT_EQ(second->replies[1], QStringList{"200 hello"});
    EXPECT_EQ(first->replies.size(), 1u);

    // A client that cannot be started answers as a dead one.
    auto missing = std::make_shared<QVRemoteFilesConnection>(QVRemoteFilesConnection::FTP);
    missing->setExecutable("/nonexistent/ftp");
    auto third = std::make_shared<ReplyRecorder>();
    missing->setDelegate(third);
    missing->launchWithArguments({});
    ASSERT_TRUE(third->waitFor(1));
    EXPECT_TRUE(missing->clientEnded());
    std::lock_guard g3(third->lock);
    EXPECT_TRUE(third->replies[0].join(" ").contains("EXEC FAILED: /nonexistent/ftp"));
}

TEST(RemoteConnection, ClientsStartInAnEmptyFolderOfTheirOwnAndASilentOneTimesOut) {
    FakeClient client;
    // Whatever folder Qorvel runs in (a project's, holding an ssh_config or a .netrc), the
    // client starts elsewhere, in an empty folder that goes with it.
    QTemporaryDir project;
    QFile(project.filePath("ssh_config")).open(QIODevice::WriteOnly);
    const QString before = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(project.path()));
    auto connection = client.connection();
    auto recorder = std::make_shared<ReplyRecorder>();
    connection->setDelegate(recorder);
    connection->launchWithArguments({});
    ASSERT_TRUE(recorder->waitFor(1));
    ASSERT_TRUE(connection->writeCommand("where"));
    ASSERT_TRUE(recorder->waitFor(2));
    QDir::setCurrent(before);
    QString folder, entries;
    {
        std::lock_guard g(recorder->lock);
        ASSERT_EQ(recorder->replies[1].size(), 1);
        const QStringList parts = recorder->replies[1][0].mid(4).split('|');
        ASSERT_EQ(parts.size(), 2);
        folder = parts[0];
        entries = parts[1].trimmed();
    }
    EXPECT_NE(QDir(folder).canonicalPath(), QDir(project.path()).canonicalPath());
    EXPECT_NE(QDir(folder).canonicalPath(), QDir(before).canonicalPath());
    EXPECT_EQ(entries, "0");
    ASSERT_TRUE(connection->writeCommand("quit"));
    ASSERT_TRUE(recorder->waitFor(3));
    for (int i = 0; i < 100 && QFileInfo::exists(folder); ++i) usleep(20000);
    EXPECT_FALSE(QFileInfo::exists(folder)) << folder.toStdString();

    // A client that never says a word (ssh before a silent server's banner) meets the time-out
    // as one stopped half-way does.
    QTemporaryDir mute;
    const QString script = mute.filePath("mute");
    {
        QFile f(script);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("#!/bin/sh\nsleep 20\n");
        f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    auto silent = std::make_shared<QVRemoteFilesConnection>(QVRemoteFilesConnection::SFTP);
    silent->setExecutable(script);
    silent->setReplyTimeout(std::chrono::milliseconds(500));
    auto waiting = std::make_shared<ReplyRecorder>();
    silent->setDelegate(waiting);
    silent->launchWithArguments({});
    std::unique_lock g(waiting->lock);
    EXPECT_TRUE(waiting->changed.wait_for(g, std::chrono::seconds(30), [&] { return waiting->timeouts == 1; }));
    g.unlock();
    silent->kill();
}

TEST(RemoteConnection, PasswordsAreTypedOnlyUnechoedAndStillMeetTheTimeOut) {
    FakeClient client;
    struct Case {
        const char* command;
        bool typed;  // the terminal does not echo: the secret is typed
    };
    for (const Case c : {Case{"ask", false}, Case{"askstall", true}}) {
        SCOPED_TRACE(c.command);
        auto connection = client.connection();
        connection->setReplyTimeout(std::chrono::milliseconds(500));
        auto recorder = std::make_shared<ReplyRecorder>();
        recorder->answers = true;
        connection->setDelegate(recorder);
        connection->launchWithArguments({});
        ASSERT_TRUE(recorder->waitFor(1));
        ASSERT_TRUE(connection->writeCommand(c.command));
        ASSERT_TRUE(recorder->waitFor(2));
        EXPECT_EQ(connection->state(), QVRemoteFilesConnection::Asked);
        EXPECT_EQ(connection->writeSecret("secret"), c.typed);
        if (c.typed) {
            // A server that never answers the password: the time-out ends the wait.
            std::unique_lock g(recorder->lock);
            EXPECT_TRUE(recorder->changed.wait_for(g, std::chrono::seconds(30), [&] { return recorder->timeouts == 1; }));
        }
        connection->kill();
    }
}

TEST(RemoteActions, StatusCodesAndFailureWords) {
    struct Case {
        QStringList lines;
        int forwards, backwards;
    };
    const Case cases[] = {
        {{"150 Opening", "226 Transfer complete."}, 226, 226},
        {{"550 No such file", "226 Done"}, 226, 226},
        {{"550 No such file"}, 550, 550},
        {{"230-Welcome", "230 Logged in"}, 230, 230},
        {{"250 OK", "550 Nope"}, 250, 550},
        {{"ftp: connect: Connection refused", "Not connected."}, 0, 0},
        {{"4210 nope", "421 Service not available"}, 421, 421},
        {{"600 out of range", "260 second digit too big", "12 short"}, 0, 0},
        {{"200a letter after"}, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines.join(" | ").toStdString());
        EXPECT_EQ(QVRemoteFileAction::statusCodeForLines(c.lines, false), c.forwards);
        EXPECT_EQ(QVRemoteFileAction::statusCodeForLines(c.lines, true), c.backwards);
    }
    EXPECT_FALSE(QVRemoteFileAction::statusCodeIsError(399));
    EXPECT_TRUE(QVRemoteFileAction::statusCodeIsError(400));

    // How OpenSSH 9.2's sftp words failures.
    const std::pair<const char*, bool> sftp[] = {
        {"remote delete /h/missing: No such file or directory", true},
        {"remote mkdir \"/h/a b\": Failure", true},
        {"stat /nonexist: No such file or directory", true},
        {"File \"/h/missing\" not found.", true},
        {"Can't ls: \"/h/missing\" not found", true},
        {"dest open \"/h/x\": Permission denied", true},
        {"open local \"/tmp/x\": Permission denied", true},
        {"rm: Invalid flag -x", false},  // the flag message starts with the command's name
        {"Invalid flag -x", true},
        {"Invalid command.", true},
        {"Couldn't canonicalize: No such file", true},
        {"write local \"/small/.tmp_Qorvel-1-keep.bin\": No space left on device", true},
        {"close remote: Failure", true},
        {"Uploading /etc/hostname to /h/remote dir", false},
        {"Removing /h/remote-file", false},
        {"-rw-r--r--    ? u u 3 Dec  7 09:10 stat notes", false},
    };
    for (const auto& [line, failed] : sftp) {
        SCOPED_TRACE(line);
        EXPECT_EQ(QVRemoteFileAction::linesIndicateError({line}), failed);
    }
    EXPECT_FALSE(QVRemoteFileAction::linesIndicateError({}));
}

TEST(RemoteActions, QuotingRefusesWhatWouldSplitOrSteerACommand) {
    using C = QVRemoteFilesConnection;
    struct Case {
        int type;
        QString path;
        std::optional<QString> quoted;
    };
    const Case cases[] = {
        {C::FTP, "a b/c", "\"a b/c\""},
        {C::FTP, "q\"x\\y", "\"q\"\\\"\"x\\y\""},
        {C::SFTP, "q\"x\\y", "\"q\\\"x\\\\y\""},
        {C::WebDAV, "q\"x\\y", "\"q\\\"x\\\\y\""},
        {C::SFTP, "-rf", "\"./-rf\""},
        {C::SFTP, "/abs/-rf", "\"/abs/-rf\""},
        {C::FTP, "*.html", "\"*.html\""},
        {C::SFTP, "*.html", "\"\"\\*\".html\""},
        {C::SFTP, "photo[1]\\?", "\"photo\"\\[\"1]\\\\\"\\?\"\""},
        {C::WebDAV, "a?b", std::nullopt},
        {C::WebDAV, "photo[1].jpg", std::nullopt},
        {C::FTP, "", std::nullopt},
        {C::FTP, "a\nrm b", std::nullopt},
        {C::WebDAV, "a\rb", std::nullopt},
        {C::SFTP, QString("a") + QChar(0) + "b", std::nullopt},
        {C::FTP, QString("bad") + QChar::ReplacementCharacter, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.toStdString());
        QString why;
        EXPECT_EQ(QVRemoteFileAction::quotedPath(c.type, c.path, &why), c.quoted);
        EXPECT_EQ(why.isEmpty(), c.quoted.has_value());
    }
    for (const auto& [mode, valid] : std::vector<std::pair<QString, bool>>{
             {"644", true}, {"0755", true}, {"u+x", false}, {"888", false}, {"64", false}, {"644; rm x", false}})
        EXPECT_EQ(QVRemoteFileAction::isValidMode(mode), valid) << mode.toStdString();
}

TEST(RemoteActions, RepliesNeedEvidenceOfSuccess) {
    FakeClient client;
    struct Case {
        const char* command;
        bool result;
        int code;
    };
    const Case cases[] = {
        {"ok", true, 200},
        {"fail", false, 550},
        {"notconnected", false, 0},  // the client's own complaint carries no code
        {"die", false, 0},           // a reply cut by the client's end
        {"getnothing", false, 0},    // a question for a missing argument fails, the answer is not the next command
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        auto connection = client.connection();
        auto recorder = std::make_shared<ReplyRecorder>();
        connection->setDelegate(recorder);
        connection->launchWithArguments({});
        ASSERT_TRUE(recorder->waitFor(1));
        auto action = std::make_shared<QVCommandAction>(connection, c.command, false);
        auto outcome = runToOutcome(action, std::chrono::seconds(10));
        ASSERT_TRUE(outcome);
        EXPECT_EQ(outcome->result, c.result);
        EXPECT_EQ(outcome->statusCode, c.code);
        if (std::string(c.command) == "getnothing") {
            // The abandoned question's usage reply went to the failed action: the next command
            // gets its own reply.
            auto next = std::make_shared<QVCommandAction>(connection, "next", false);
            auto o = runToOutcome(next, std::chrono::seconds(10));
            ASSERT_TRUE(o);
            EXPECT_EQ(o->statusCode, 200);
            EXPECT_EQ(next->lastReply(), QStringList{"200 next"});
        }
        connection->kill();
    }
    // The error names what the client said.
    auto connection = client.connection();
    auto a = std::make_shared<QVCommandAction>(connection, "x", false);
    EXPECT_EQ(a->errorWithStatusCode(0).localizedRecoverySuggestion(),
              "Qorvel experienced an unknown error. Please try your operation again");
    EXPECT_TRUE(a->errorWithStatusCode(550).localizedRecoverySuggestion().contains("550"));
    EXPECT_EQ(a->errorWithStatusCode(550).code(), 1);
}

TEST(RemoteConnection, AConnectionAndItsLastActionGoWhenNobodyHoldsThem) {
    // The connection's delegate is the running action, which holds the connection: held strongly
    // both ways, neither (nor the reader thread) would ever go.
    FakeClient client;
    std::weak_ptr<QVRemoteFilesConnection> weakConnection;
    std::weak_ptr<QVRemoteFileAction> weakAction;
    {
        auto connection = client.connection();
        connection->launchWithArguments({});
        auto action = std::make_shared<QVCommandAction>(connection, "hello", false);
        ASSERT_TRUE(runToOutcome(action));
        weakConnection = connection;
        weakAction = action;
    }
    EXPECT_TRUE(weakAction.expired());
    EXPECT_TRUE(weakConnection.expired());
}
