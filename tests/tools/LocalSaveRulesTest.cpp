// Every writer of a user's file (a document save, Replace All in Multi File Find) beside `cat >`,
// run by an account that is not the superuser, on the machine's file system and on one without
// fallocate (ext2): what each leaves of the file, its owner, group, mode, links and folder.
#include "platform/MainQueue.h"
#include "platform/Process.h"
#include "platform/QVDocument.h"
#include "shell/QVSearch.h"
#include "tools/QVMultiFileSearchNode.h"
#include "tools/QVSearchRunner.h"
#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

const QByteArray NewText = "new text\n";

// The writer the child run was started for, over the paths it was given; one line per path
// ("saved" or "refused <why>") into the report file.
class BytesDocument : public QVDocument {
protected:
    bool readFromFile(const QString&, const QString&, QVError*) override { return true; }
    std::optional<Contents> dataOfType(const QString&, QVError*) override { return Contents{NewText}; }
};

class Replacer : public QVSearchRunnerDelegate {
public:
    QStringList paths;
    QList<std::shared_ptr<QVMultiFileSearchNode>> nodes;
    QMap<QString, QString> outcomes;
    bool searched = false, replaced = false;
    void willRunSearchForPath(const QString&) override {}
    void didRunSearchForPath(const QString& path, const std::shared_ptr<QVSearchDocument>&,
                             const QList<QVSearchResult>& results) override {
        if (results.isEmpty()) return;
        auto node = QVMultiFileSearchNode::create(path);
        node->setSearchResults(results);
        nodes << node;
    }
    void didFinishAllSearches() override { searched = true; }
    void didReplaceInPath(const QVReplaceReport& report) override {
        outcomes[report.path] = report.outcome == QVReplaceReport::Replaced ? QStringLiteral("saved")
                                                                            : QStringLiteral("refused ") + report.reason;
    }
    void didFinishAllReplaces() override { replaced = true; }
    QStringList pathsForSpecificFiles() override { return paths; }
};

TEST(LocalSaveRules, DISABLED_Writer) {
    const QStringList paths = QString::fromUtf8(qgetenv("QORVEL_SAVE_PATHS")).split(u'\n', Qt::SkipEmptyParts);
    FILE* report = std::fopen(qgetenv("QORVEL_SAVE_REPORT").constData(), "w");
    ASSERT_NE(report, nullptr);
    const auto line = [&](int i, const QString& outcome) {
        std::fprintf(report, "%d\t%s\n", i, outcome.toUtf8().constData());
        std::fflush(report);  // a writer that blocks for ever still tells what came before
    };
    if (qgetenv("QORVEL_SAVE_WRITER") == "document") {
        for (int i = 0; i < paths.size(); ++i) {
            BytesDocument document;
            document.setFileName(paths[i]);
            QVError error;
            line(i, document.saveToFile({}, &error) ? QStringLiteral("saved")
                                                    : QStringLiteral("refused ") + error.localizedDescription());
        }
    } else {
        Replacer replacer;
        replacer.paths = paths;
        QVSearchRunner runner(&replacer);
        QVSearch search = QVSearch::withSearchString(QStringLiteral("old"));
        runner.runSearch(search, 3);
        ASSERT_TRUE(MainQueue::runUntil([&] { return replacer.searched; }, std::chrono::seconds(20)));
        QList<QVSearchResult> all;
        for (const auto& node : replacer.nodes) all << node->searchResults();
        search.setReplaceString(QStringLiteral("new"));
        runner.runSearch(search, all);
        ASSERT_TRUE(MainQueue::runUntil([&] { return replacer.replaced; }, std::chrono::seconds(20)));
        for (int i = 0; i < paths.size(); ++i) line(i, replacer.outcomes.value(paths[i], QStringLiteral("not searched")));
    }
    std::fclose(report);
}

QByteArray bytes(const QString& path) { return QFile::encodeName(path); }

bool run(const QString& program, const QStringList& args) { return Process::run(program, args).succeeded(); }

// A folder every account may reach, for the unprivileged writers; an ext2 image is mounted in it
// when asked (and the machine allows), and taken away with it.
struct Arena {
    QString path, mounted;
    explicit Arena(bool ext2) {
        QByteArray name("/tmp/qorvel-writers-XXXXXX");
        if (!::mkdtemp(name.data()) || ::chmod(name.constData(), 0755) != 0) return;
        const QString folder = QFile::decodeName(name);
        if (!ext2) {
            path = folder;
            return;
        }
        root = folder;
        const QString image = folder + QStringLiteral("/ext2.img"), mount = folder + QStringLiteral("/ext2");
        QDir().mkpath(mount);
        if (!run(QStringLiteral("truncate"), {QStringLiteral("-s"), QStringLiteral("16M"), image}) ||
            !run(QStringLiteral("mkfs.ext2"), {QStringLiteral("-q"), QStringLiteral("-F"), image}) ||
            !run(QStringLiteral("mount"), {QStringLiteral("-o"), QStringLiteral("loop"), image, mount}))
            return;
        mounted = path = mount;
        ::chmod(bytes(mount).constData(), 0755);
    }
    ~Arena() {
        // Append-only and read-only folders let nothing in them go.
        if (!path.isEmpty()) run(QStringLiteral("chattr"), {QStringLiteral("-R"), QStringLiteral("-a"), path});
        if (!path.isEmpty()) run(QStringLiteral("chmod"), {QStringLiteral("-R"), QStringLiteral("u+w"), path});
        if (!mounted.isEmpty()) run(QStringLiteral("umount"), {mounted});
        if (!path.isEmpty() || !root.isEmpty()) QDir(root.isEmpty() ? path : root).removeRecursively();
    }
    QString root;
};

// The folder's entries, everything a writer may change but times and inode numbers: type, link
// text, contents, owner, group, mode, link count, file capabilities.
QString state(const QString& folder, const QString& prefix = {}) {
    QString out;
    QStringList names = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& name : names) {
        const QByteArray path = bytes(folder + u'/' + name);
        struct stat st {};
        if (::lstat(path.constData(), &st) != 0) continue;
        out += prefix + name;
        if (S_ISLNK(st.st_mode)) {
            char text[4096] = {};
            out += QStringLiteral(" -> ") + QFile::decodeName(QByteArray(text, int(::readlink(path.constData(), text, sizeof text - 1))));
        } else {
            const QByteArray text = S_ISREG(st.st_mode) ? readAll(QFile::decodeName(path)).toPercentEncoding() : QByteArray("-");
            out += QStringLiteral(" %1 %2:%3 %4 links %5")
                       .arg(QString::number(st.st_mode, 8), QString::number(st.st_uid), QString::number(st.st_gid),
                            QString::fromLatin1(text), QString::number(st.st_nlink));
            if (::lgetxattr(path.constData(), "security.capability", nullptr, 0) > 0) out += QStringLiteral(" capabilities");
        }
        out += u'\n';
        if (S_ISDIR(st.st_mode)) out += state(folder + u'/' + name, prefix + name + u'/');
    }
    return out;
}

// Whether a writer's outcome is the one the table spells: the same word, and for a refusal the
// words given after it somewhere in the message.
bool matches(const QString& outcome, const char* expected) {
    const QString want = QString::fromLatin1(expected);
    if (!want.startsWith(QStringLiteral("refused"))) return outcome == want;
    return outcome.startsWith(QStringLiteral("refused")) && outcome.contains(want.mid(8));
}

ino_t inodeOf(const QString& path) {
    struct stat st {};
    return ::stat(bytes(path).constData(), &st) == 0 ? st.st_ino : 0;
}

// The rows: how the case is made (by the superuser, for the account), the path each writer is
// given, and what each does: "replaced" (a new file renamed over), "in place" (the same inode
// written), "created", "refused" (the words the error must hold follow) or "-" (not run: cat would
// block on a pipe; Replace All finds no text to replace in what is not a readable file).
struct Row {
    const char* name;
    std::function<bool(const QString& folder, uid_t user, gid_t group)> make;
    const char* written;
    const char* cat;
    const char* save;       // the document save and, where it applies, Replace All
    bool replaceAll;        // Replace All finds the file
    bool sameAsCat;         // else every writer but cat leaves the case as it was made
};

bool file(const QString& path, uid_t user, gid_t group, mode_t mode, const QByteArray& text = "old text\n") {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(text) != text.size()) return false;
    f.close();
    return ::chown(bytes(path).constData(), user, group) == 0 && ::chmod(bytes(path).constData(), mode) == 0;
}

bool link(const char* target, const QString& at) { return ::symlink(target, bytes(at).constData()) == 0; }

const QList<Row>& rows() {
    static const QList<Row> table = {
        {"own file", [](const QString& f, uid_t u, gid_t g) { return file(f + "/page.html", u, g, 0644); },
         "page.html", "in place", "replaced", true, true},
        {"another owner's, group-writable",
         [](const QString& f, uid_t, gid_t g) { return file(f + "/page.html", 0, g, 0664); },
         "page.html", "in place", "in place", true, true},
        {"of a group the writer is not in",
         [](const QString& f, uid_t u, gid_t) { return file(f + "/page.html", u, 0, 0666); },
         "page.html", "in place", "in place", true, true},
        {"hard-linked",
         [](const QString& f, uid_t u, gid_t g) {
             return file(f + "/page.html", u, g, 0644) && ::link(bytes(f + "/page.html").constData(), bytes(f + "/twin.html").constData()) == 0;
         },
         "page.html", "in place", "in place", true, true},
        {"in a read-only folder",
         [](const QString& f, uid_t u, gid_t g) { return file(f + "/page.html", u, g, 0644) && ::chmod(bytes(f).constData(), 0555) == 0; },
         "page.html", "in place", "in place", true, true},
        {"in an append-only folder",
         [](const QString& f, uid_t u, gid_t g) { return file(f + "/page.html", u, g, 0644) && run("chattr", {"+a", f}); },
         "page.html", "in place", "in place", true, true},
        {"set-id with capabilities",
         [](const QString& f, uid_t u, gid_t g) {
             // CAP_NET_BIND_SERVICE permitted, revision 2.
             const unsigned char capability[20] = {0, 0, 0, 2, 0, 4, 0, 0};
             // A file system without security attributes (ext2 may lack them) tries the bits alone.
             return file(f + "/page.html", u, g, 06755) &&
                    (::setxattr(bytes(f + "/page.html").constData(), "security.capability", capability, sizeof capability, 0) == 0 ||
                     errno == EOPNOTSUPP || (errno == EPERM && ::geteuid() != 0));
         },
         "page.html", "in place", "replaced", true, true},
        {"a chain of links", [](const QString& f, uid_t u, gid_t g) {
             return file(f + "/page.html", u, g, 0644) && link("l2", f + "/l1") && link("page.html", f + "/l2");
         },
         "l1", "in place", "replaced", true, true},
        {"a dangling chain", [](const QString& f, uid_t u, gid_t g) {
             return QDir().mkpath(f + "/sub") && QDir().mkpath(f + "/shared") && ::chown(bytes(f + "/sub").constData(), u, g) == 0 &&
                    ::chown(bytes(f + "/shared").constData(), u, g) == 0 &&
                    link("sub/l2", f + "/l1") && link("../shared/missing.html", f + "/sub/l2");
         },
         "l1", "created", "created", false, true},
        {"a loop of links", [](const QString& f, uid_t, gid_t) { return link("l2", f + "/l1") && link("l1", f + "/l2"); },
         "l1", "refused", "refused Too many levels of symbolic links", false, true},
        {"a socket",
         [](const QString& f, uid_t u, gid_t g) {
             const QByteArray path = bytes(f + "/page.html");
             sockaddr_un address{};
             address.sun_family = AF_UNIX;
             std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.constData());
             const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
             const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
             ::close(fd);
             return bound && ::chown(path.constData(), u, g) == 0;
         },
         "page.html", "refused", "refused a socket, not a regular file", false, true},
        {"a device", [](const QString& f, uid_t, gid_t) {
             return ::mknod(bytes(f + "/page.html").constData(), S_IFCHR | 0666, makedev(1, 3)) == 0 &&
                    ::chmod(bytes(f + "/page.html").constData(), 0666) == 0;
         },
         "page.html", "in place", "refused a character device, not a regular file", false, false},
        // Last: a writer that waits on the pipe blocks the rows after it.
        {"a named pipe", [](const QString& f, uid_t u, gid_t g) {
             return ::mkfifo(bytes(f + "/page.html").constData(), 0644) == 0 && ::chown(bytes(f + "/page.html").constData(), u, g) == 0;
         },
         "page.html", "-", "refused a named pipe, not a regular file", false, false},
    };
    return table;
}

// The writers run as this account: "nobody" where the tests run as the superuser (who made the
// cases), else the tests' own.
struct Account {
    uid_t user;
    gid_t group;
    bool dropped;  // started through setpriv
    QString program;  // this test program, where the account may run it
    ProcessResult run(const QStringList& command, const ProcessOptions& options) const {
        if (!dropped) return Process::run(command.first(), command.mid(1), options);
        return Process::run(QStringLiteral("setpriv"), QStringList{QStringLiteral("--reuid=%1").arg(user), QStringLiteral("--regid=%1").arg(group),
                                                                   QStringLiteral("--init-groups")} + command,
                            options);
    }
};

// Runs one writer as the account over every row's case in folder/<writer>/<row>; answers each
// row's outcome as the table spells it.
QStringList write(const QString& writer, const QString& folder, const Account& account, const QList<int>& which,
                  const QString& sandbox) {
    QStringList paths, outcomes;
    QList<ino_t> before;
    for (int i : which) {
        paths << QStringLiteral("%1/%2/%3/%4").arg(folder, writer).arg(i).arg(rows()[i].written);
        before << inodeOf(paths.last());
    }
    QMap<int, QString> said;
    if (writer == QStringLiteral("cat")) {
        for (int n = 0; n < paths.size(); ++n) {
            if (QString::fromLatin1(rows()[which[n]].cat) == QStringLiteral("-")) continue;
            const ProcessResult r = account.run({"sh", "-c", "printf 'new text\\n' > \"$1\"", "sh", paths[n]},
                                                {.timeoutMs = 10000, .mergeStandardError = true});
            said[n] = r.succeeded() ? QStringLiteral("saved") : QStringLiteral("refused ") + QString::fromUtf8(r.standardOutput);
        }
    } else {
        const QString report = sandbox + QStringLiteral("/") + writer + QStringLiteral(".report");
        account.run({account.program, "--gtest_also_run_disabled_tests",
                     "--gtest_filter=LocalSaveRules.DISABLED_Writer"},
                    {.timeoutMs = 20000,
                     .extraEnvironment = {"QORVEL_SAVE_WRITER=" + writer, "QORVEL_SAVE_PATHS=" + paths.join(u'\n'),
                                          "QORVEL_SAVE_REPORT=" + report, "TMPDIR=" + sandbox}});
        QFile in(report);
        if (in.open(QIODevice::ReadOnly))
            for (const QByteArray& line : in.readAll().split('\n'))
                if (const qsizetype tab = line.indexOf('\t'); tab > 0) said[line.left(tab).toInt()] = QString::fromUtf8(line.mid(tab + 1));
    }
    for (int n = 0; n < paths.size(); ++n) {
        const QString text = said.value(n, QStringLiteral("blocked or never ran"));
        const ino_t after = inodeOf(paths[n]);
        if (!text.startsWith(QStringLiteral("saved"))) outcomes << text.trimmed();
        else if (before[n] == 0) outcomes << QStringLiteral("created");
        else outcomes << (after == before[n] ? QStringLiteral("in place") : QStringLiteral("replaced"));
    }
    return outcomes;
}

TEST(LocalSaveRules, EveryWriterFollowsOneRuleBesideCat) {
    // Without the superuser, the cases of other owners, devices and append-only folders cannot
    // be made, nor an ext2 image mounted: the rest is run.
    const bool root = ::geteuid() == 0;
    const struct passwd* nobody = root ? ::getpwnam("nobody") : nullptr;
    ASSERT_TRUE(!root || nobody);
    Account account = root ? Account{nobody->pw_uid, nobody->pw_gid, true} : Account{::getuid(), ::getgid(), false};
    account.program = QCoreApplication::applicationFilePath();
    // A build in a folder only the superuser may enter: the account runs a copy.
    QTemporaryDir copy(QStringLiteral("/tmp/qorvel-writer-XXXXXX"));
    if (!account.run({QStringLiteral("test"), QStringLiteral("-x"), account.program}, {}).succeeded()) {
        const QString copied = copy.filePath(QStringLiteral("writer"));
        ASSERT_TRUE(QFile::copy(account.program, copied) && ::chmod(bytes(copy.path()).constData(), 0755) == 0 &&
                    ::chmod(bytes(copied).constData(), 0755) == 0);
        account.program = copied;
    }
    for (bool ext2 : {false, true}) {
        Arena arena(ext2);
        if (ext2 && arena.path.isEmpty()) {
            std::printf("[ NOTE ] no ext2 image could be mounted (superuser, mkfs.ext2, a loop device): not tried without fallocate\n");
            continue;
        }
        ASSERT_FALSE(arena.path.isEmpty());
        const QString sandbox = arena.path + QStringLiteral("/sandbox");
        QDir().mkpath(sandbox);
        ::chown(bytes(sandbox).constData(), account.user, account.group);
        // Each case made once per writer, and once more to stay as made.
        QList<int> made;
        for (const QString writer : {"cat", "document", "replace", "untouched"}) {
            for (int i = 0; i < rows().size(); ++i) {
                const QString folder = QStringLiteral("%1/%2/%3").arg(arena.path, writer).arg(i);
                ASSERT_TRUE(QDir().mkpath(folder));
                ASSERT_EQ(::chown(bytes(folder).constData(), account.user, account.group), 0);
                const bool ok = rows()[i].make(folder, account.user, account.group);
                if (writer == QStringLiteral("cat") && ok) made << i;
                if (!ok) {
                    EXPECT_FALSE(made.contains(i)) << rows()[i].name << ": made once, not again";
                }
            }
        }
        for (int i = 0; i < rows().size(); ++i)
            if (!made.contains(i)) std::printf("[ NOTE ] %s: the case cannot be made by this account here\n", rows()[i].name);
        QList<int> searchable;
        for (int i : made)
            if (rows()[i].replaceAll) searchable << i;
        const QStringList cat = write(QStringLiteral("cat"), arena.path, account, made, sandbox);
        const QStringList document = write(QStringLiteral("document"), arena.path, account, made, sandbox);
        const QStringList replace = write(QStringLiteral("replace"), arena.path, account, searchable, sandbox);
        for (int n = 0; n < made.size(); ++n) {
            const Row& row = rows()[made[n]];
            SCOPED_TRACE(std::string(ext2 ? "ext2: " : "machine's file system: ") + row.name);
            const QString of = QStringLiteral("%1/%2/") + QString::number(made[n]);
            const QString catState = state(of.arg(arena.path, "cat")), untouched = state(of.arg(arena.path, "untouched"));
            const QString expected = row.sameAsCat ? catState : untouched;
            const QString documentState = state(of.arg(arena.path, "document"));
            const QString replaceState = row.replaceAll ? state(of.arg(arena.path, "replace")) : expected;
            std::printf("[ TABLE ] %-5s %-32s | cat: %-10.10s | save: %-10.10s %-4s | Replace All: %-10.10s %s\n", ext2 ? "ext2" : "disk",
                        row.name, qPrintable(cat[n]), qPrintable(document[n]), documentState == expected ? "same" : "DIFF",
                        row.replaceAll ? qPrintable(replace[searchable.indexOf(made[n])]) : "-",
                        row.replaceAll ? (replaceState == expected ? "same" : "DIFF") : "");
            if (QString::fromLatin1(row.cat) != QStringLiteral("-")) {
                EXPECT_TRUE(matches(cat[n], row.cat)) << cat[n].toStdString();
            }
            EXPECT_TRUE(matches(document[n], row.save)) << document[n].toStdString();
            EXPECT_EQ(documentState, expected);
            if (!row.replaceAll) continue;
            const QString replaced = replace[searchable.indexOf(made[n])];
            EXPECT_TRUE(matches(replaced, row.save)) << replaced.toStdString();
            EXPECT_EQ(replaceState, expected);
        }
    }
}

}  // namespace
