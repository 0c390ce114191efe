// The search runner over real files in a temporary folder and over editor texts: scopes, walk,
// stop, and replaces that change each file whole or not at all.
#include "platform/AtomicFile.h"
#include "platform/FileName.h"
#include "platform/MainQueue.h"
#include "shell/QVFileCategories.h"
#include "shell/QVSearch.h"
#include "tools/QVMultiFileSearchNode.h"
#include "tools/QVSearchRunner.h"
#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <csignal>
#include <optional>
#include <thread>
#include <cstring>
#include <pwd.h>
#include <spawn.h>
#include <sys/wait.h>
#include <sys/resource.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

// An open document over a plain string: its editor text, revision and undo-less replace.
class TextDocument : public QVSearchDocument, public QVFullTextSource {
public:
    TextDocument(QString path, QString text) : _path(std::move(path)), text(std::move(text)) {}
    QString fileName() const override { return _path; }
    QString displayName() const override { return QStringLiteral("Untitled"); }
    QVFullTextSource::Handle textSource() const override { return handle(); }
    quint64 revision() const override { return _revision; }
    bool applyReplaceAll(const QString& newText, quint64 revision) override {
        if (revision != _revision) return false;
        edit(newText);
        ++replaceAlls;
        return true;
    }
    QVStringEncoding encoding() const override { return 4; }
    void fillStringWithFullString(QString& string) const override { string = text; }
    void edit(const QString& newText) {
        text = newText;
        ++_revision;
    }

    QString _path;
    QString text;
    quint64 _revision = 1;
    int replaceAlls = 0;
};

class Scopes : public QVSearchScopes {
public:
    QList<std::shared_ptr<QVSearchDocument>> documents;
    QString root;
    std::shared_ptr<QVSearchDocument> frontDocument() override { return documents.value(0); }
    QString frontProjectRootPath() override { return root; }
    QList<std::shared_ptr<QVSearchDocument>> openDocuments() override { return documents; }
};

// Records every call as a line, builds result nodes as the find window would.
class Recorder : public QVSearchRunnerDelegate {
public:
    QStringList log;
    QStringList specificFiles;
    QList<std::shared_ptr<QVMultiFileSearchNode>> nodes;
    QList<QVReplaceReport> reports;
    int searchesFinished = 0, replacesFinished = 0;
    std::function<void(const QString&)> onWillRun;

    void willRunSearchForPath(const QString& path) override {
        log << QStringLiteral("will ") + QFileInfo(path).fileName();
        if (onWillRun) onWillRun(path);
    }
    void didRunSearchForPath(const QString& path, const std::shared_ptr<QVSearchDocument>& document,
                             const QList<QVSearchResult>& results) override {
        log << QStringLiteral("did %1 %2%3").arg(QFileInfo(path).fileName()).arg(results.size()).arg(document ? " open" : "");
        if (results.isEmpty()) return;
        auto node = QVMultiFileSearchNode::create(path);
        node->setDocument(document);
        node->setSearchResults(results);
        nodes << node;
    }
    void didNotSearchPath(const QString& path, const QString& reason, bool folder) override {
        log << QStringLiteral("not %1%2 %3").arg(QFileInfo(path).fileName(), folder ? "/" : "", reason);
    }
    void didKeepBytesInPath(const QString& path, qint64 count) override {
        log << QStringLiteral("kept %1 %2").arg(QFileInfo(path).fileName()).arg(count);
    }
    void didFinishAllSearches() override { ++searchesFinished; }
    void didReplaceInPath(const QVReplaceReport& report) override { reports << report; }
    void didFinishAllReplaces() override { ++replacesFinished; }
    QStringList pathsForSpecificFiles() override { return specificFiles; }

    QList<QVSearchResult> allResults() const {
        QList<QVSearchResult> all;
        for (const auto& node : nodes) all << node->searchResults();
        return all;
    }
    QString outcome(const QString& name) const {
        for (const auto& r : reports)
            if (QFileInfo(r.path).fileName() == name)
                return QString::number(int(r.outcome)) + " " + QString::number(r.count) +
                       (r.reason.isEmpty() ? QString() : " " + r.reason);
        return QStringLiteral("none");
    }
};

// Both by the path's own bytes, so names that are not UTF-8 reach their files.
void write(const QString& path, const QByteArray& bytes) {
    if (!FileName::isFolder(QFileInfo(path).path())) QDir().mkpath(QFileInfo(path).path());
    const int fd = ::open(FileName::encode(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path.toStdString();
    ASSERT_EQ(::write(fd, bytes.constData(), size_t(bytes.size())), bytes.size());
    ::close(fd);
}

QByteArray read(const QString& path) { return readBytes(FileName::encode(path)); }

bool waitFor(const std::function<bool()>& done) { return MainQueue::runUntil(done, std::chrono::minutes(5)); }

TEST(SearchRunnerTest, ScopesBecomeFilesSearchedInWalkOrder) {
    QTemporaryDir dir;
    const QString root = dir.path() + "/site";
    write(root + "/a.html", "<p>Foo foo</p>");
    write(root + "/b/c.css", "p { foo: 1 }");
    QDir().mkpath(root + "/b");
    QImage image(4, 4, QImage::Format_ARGB32);
    image.fill(Qt::red);
    ASSERT_TRUE(image.save(root + "/b/d.png"));
    write(root + "/e.txt", "");
    write(root + "/f.js", "// foo");
    auto scopes = std::make_shared<Scopes>();
    auto open = std::make_shared<TextDocument>(root + "/f.js", "foo foo foo");
    scopes->documents << open;
    scopes->root = root;
    Recorder recorder;
    auto runner = std::make_unique<QVSearchRunner>(&recorder, scopes);
    const QVSearch foo = QVSearch::withSearchString(QStringLiteral("foo"));

    // The project: the root and folders are not reported, nor files that are not text; the open
    // file is searched in its editor.
    runner->runSearch(foo, 1);
    ASSERT_TRUE(waitFor([&] { return recorder.searchesFinished == 1; }));
    EXPECT_EQ(recorder.log, QStringList({"will a.html", "did a.html 2", "will e.txt", "did e.txt 0", "will f.js",
                                         "did f.js 3 open", "will c.css", "did c.css 1"}));
    EXPECT_FALSE(runner->runningSeach());

    // Chosen files and folders, the open documents, the front one; empty scopes end at once.
    recorder.log.clear();
    recorder.specificFiles = QStringList{root + "/b", root + "/a.html", root + "/gone.html"};
    runner->runSearch(foo, 3);
    runner->runSearch(foo, 2);
    ASSERT_TRUE(waitFor([&] { return recorder.searchesFinished >= 2 && !runner->runningSeach(); }));
    EXPECT_EQ(recorder.log, QStringList({"will c.css", "did c.css 1", "will a.html", "did a.html 2", "will gone.html",
                                         "did gone.html 0", "not gone.html " + QString::fromLocal8Bit(std::strerror(ENOENT)),
                                         "will f.js", "did f.js 3 open"}));
    const int finished = recorder.searchesFinished;
    recorder.log.clear();
    scopes->documents.clear();
    scopes->root.clear();
    recorder.specificFiles.clear();
    for (int mode : {0, 1, 2, 3, -1, 4}) runner->runSearch(foo, mode);
    EXPECT_EQ(recorder.searchesFinished, finished + 6);
    EXPECT_TRUE(recorder.log.isEmpty());

    // A stop finishes the file in hand and drops the rest of the batch, once; a batch queued
    // after the stop runs whole.
    for (int i = 0; i < 20; ++i) write(root + QStringLiteral("/many/%1.txt").arg(i, 2, 10, QChar('0')), "foo");
    recorder.log.clear();
    recorder.onWillRun = [&](const QString& path) {
        if (path.endsWith("/02.txt")) runner->cancel();
    };
    recorder.specificFiles = QStringList{root + "/many"};
    const int before = recorder.searchesFinished;
    runner->runSearch(foo, 3);
    ASSERT_TRUE(waitFor([&] { return recorder.searchesFinished == before + 1; }));
    EXPECT_EQ(recorder.log.size(), 6);
    EXPECT_EQ(recorder.log.last(), QStringLiteral("did 02.txt 1"));
    recorder.onWillRun = nullptr;
    recorder.log.clear();
    runner->runSearch(foo, 3);
    ASSERT_TRUE(waitFor([&] { return recorder.searchesFinished == before + 2; }));
    EXPECT_EQ(recorder.log.size(), 40);

    // Destroying the runner mid-walk stops it without a further delegate call.
    recorder.log.clear();
    runner->runSearch(foo, 3);
    runner.reset();
    const qsizetype calls = recorder.log.size();
    MainQueue::drain();
    EXPECT_EQ(recorder.log.size(), calls);
    EXPECT_EQ(calls, 0);
}

TEST(SearchRunnerTest, ReplaceChangesEachFileWholeOrNotAtAll) {
    QTemporaryDir dir;
    const QString root = dir.path();
    struct File {
        const char* name;
        QByteArray bytes;
        QByteArray expected;  // after the replace; empty: unchanged
        QString outcome;      // "outcome count"
    } files[] = {
        {"utf8.html", "caf\xC3\xA9 Foo\r\nfoo\r\n", "caf\xC3\xA9 bar\r\nbar\r\n", "0 2"},
        {"mark.html", "\xEF\xBB\xBF" "foo \xF0\x9F\x98\x80" "foo\xF0\x9F\x98\x80", "\xEF\xBB\xBF" "bar \xF0\x9F\x98\x80" "bar\xF0\x9F\x98\x80", "0 2"},
        {"latin1.html", "<meta charset=\"iso-8859-1\">\n\xE9 foo\n", "<meta charset=\"iso-8859-1\">\n\xE9 bar\n", "0 1"},
        {"utf16.txt", QByteArray("\xFF\xFE" "f\0o\0o\0\n\0", 10), QByteArray("\xFF\xFE" "b\0a\0r\0\n\0", 10), "0 1"},
        // Bytes valid in no encoding detection gives (a Latin-1 log) are replaced as the find
        // read them, in the fallback, every other byte kept.
        {"broken.txt", "foo \xE9\xFF foo", "bar \xE9\xFF bar", "0 2"},
        {"binary.txt", QByteArray("foo\0foo", 7), "", "1 0"},
        // Changed since the search: the shifted matches are no longer in place.
        {"shifted.txt", "foo foo", "", "1 0"},
        {"changing.txt", "foo", "", "1 0"},
        {"removed.txt", "foo", "<missing>", "1 0"},
        {"folder.txt", "foo", "", "1 0"},
        {"opened.txt", "foo", "", "0 1"},
        {"edited.txt", "foo", "", "1 0"},
    };
    for (const File& f : files) write(root + "/" + f.name, f.bytes);
    auto scopes = std::make_shared<Scopes>();
    Recorder recorder;
    recorder.specificFiles = QStringList{root};
    QVSearchRunner runner(&recorder, scopes);
    QVSearch search = QVSearch::withSearchString(QStringLiteral("foo"));
    runner.runSearch(search, 3);
    ASSERT_TRUE(waitFor([&] { return recorder.searchesFinished == 1; }));
    ASSERT_EQ(recorder.nodes.size(), 12);

    // What happens between the search and the replace.
    write(root + "/shifted.txt", "xfoo foo");
    QFile::remove(root + "/removed.txt");
    QFile::remove(root + "/folder.txt");
    QDir().mkdir(root + "/folder.txt");
    auto opened = std::make_shared<TextDocument>(root + "/opened.txt", "foo");
    auto edited = std::make_shared<TextDocument>(root + "/edited.txt", "foo");
    scopes->documents << opened << edited;
    runner.setReplaceHook([&](const QString& path) {
        if (path.endsWith("changing.txt")) write(path, "foo!");  // someone saves meanwhile
        if (path.endsWith("edited.txt")) MainQueue::postAndWait([&] { edited->edit("foo typed"); });
    });
    search.setReplaceString(QStringLiteral("bar"));
    runner.runSearch(search, recorder.allResults());
    ASSERT_TRUE(waitFor([&] { return recorder.replacesFinished == 1; }));
    EXPECT_EQ(recorder.reports.size(), 12);
    for (const File& f : files) {
        const QString path = root + "/" + f.name;
        EXPECT_EQ(recorder.outcome(f.name).section(' ', 0, 1), f.outcome) << f.name << " " << recorder.outcome(f.name).toStdString();
        if (QFileInfo(path).isDir()) continue;
        const QByteArray expected = f.expected.isEmpty() ? (QString(f.name) == "shifted.txt" ? QByteArray("xfoo foo")
                                                             : QString(f.name) == "changing.txt" ? QByteArray("foo!")
                                                                                                  : f.bytes)
                                                          : f.expected;
        EXPECT_EQ(read(path), expected) << f.name;
    }
    // A file opened after the search is changed in its editor, once, not on disk.
    EXPECT_EQ(opened->text, QStringLiteral("bar"));
    EXPECT_EQ(opened->replaceAlls, 1);
    EXPECT_EQ(edited->text, QStringLiteral("foo typed"));
    EXPECT_EQ(edited->replaceAlls, 0);
    EXPECT_TRUE(QDir(root).entryList(QDir::Hidden | QDir::Files).filter(".tmp").isEmpty());

    // A pattern's template with captures; results of no node replace nothing and end at once.
    write(root + "/mail.txt", "a@x b@y");
    auto node = QVMultiFileSearchNode::create(root + "/mail.txt");
    QVSearch mail = QVSearch::withExpressionString(QStringLiteral("(\\w)@(\\w)"), true);
    node->setSearchResults(mail.findAllForString(QString::fromLatin1(read(root + "/mail.txt")), true));
    mail.setReplaceString(QStringLiteral("$2 at $1"));
    runner.runSearch(mail, node->searchResults());
    ASSERT_TRUE(waitFor([&] { return recorder.replacesFinished == 2; }));
    EXPECT_EQ(read(root + "/mail.txt"), QByteArray("x at a y at b"));
    runner.runSearch(mail, QList<QVSearchResult>{QVSearchResult(QVRange(0, 1))});
    EXPECT_EQ(recorder.replacesFinished, 3);
}

// Every byte not matched stays, whatever the blocks a file is read in: UTF-8 files ending in a
// character cut after 1-3 bytes (or whole) at every offset around the read's block boundaries,
// with a character before the match that only UTF-8 reads as one; and pages in a single-byte
// encoding, declared or not, whose replacement fits them or does not.
TEST(SearchRunnerTest, ReplacedFilesKeepEveryOtherByteWhateverTheirEndingOrEncoding) {
    QTemporaryDir dir;
    const QString root = dir.path();
    struct File {
        QString name;
        QByteArray bytes;
        QString replacement;
        QByteArray expected;  // empty: left as it was, with a reason
    };
    std::vector<File> files;
    int n = 0;
    for (const qint64 boundary : {qint64(64) << 10, qint64(1) << 20, qint64(4) << 20})
        for (qint64 end = boundary - 3; end <= boundary + 3; ++end)
            for (const QByteArray& ending : {QByteArray("\xF0"), QByteArray("\xF0\x9F"), QByteArray("\xF0\x9F\x98"),
                                            QByteArray("\xF0\x9F\x98\x80")}) {
                const QByteArray head = end % 2 ? "caf\xC3\xA9 foo\n" : "foo\n";
                QByteArray bytes = head + QByteArray(end - head.size() - ending.size(), 'g') + ending;
                QByteArray after = bytes;
                after.replace(head.indexOf("foo"), 3, "bar");
                files.push_back({QStringLiteral("cut%1.txt").arg(n++), bytes, "bar", after});
            }
    files.push_back({"declared.html", "<meta charset=\"iso-8859-1\">\n\xE9t\xE9 foo \xFF\n", "b\u00e4r",
                     "<meta charset=\"iso-8859-1\">\n\xE9t\xE9 b\xE4r \xFF\n"});
    files.push_back({"windows.html", "<meta charset=\"windows-1252\">\n\x93" "foo\x94 \x80\n", "\u20ac",
                     "<meta charset=\"windows-1252\">\n\x93\x80\x94 \x80\n"});
    // Read in the fallback: only ASCII goes in, the same bytes in whatever encoding the file is.
    files.push_back({"undeclared.log", "\xE9 foo \x81\x8D\n", "b\u00e4r", ""});
    files.push_back({"undeclared-ascii.log", "\xE9 foo \x81\x8D\n", "bar", "\xE9 bar \x81\x8D\n"});
    files.push_back({"wide.html", "<meta charset=\"iso-8859-1\">\n\xE9 foo\n", "\u20ac", ""});
    for (const File& f : files) write(root + "/" + f.name, f.bytes);

    Recorder recorder;
    QVSearchRunner runner(&recorder, std::make_shared<Scopes>());
    for (const File& f : files) {
        recorder.specificFiles = QStringList{root + "/" + f.name};
        recorder.nodes.clear();
        QVSearch search = QVSearch::withSearchString(QStringLiteral("foo"));
        runner.runSearch(search, 3);
        ASSERT_TRUE(waitFor([&] { return recorder.searchesFinished == int(&f - files.data()) + 1; }));
        ASSERT_EQ(recorder.allResults().size(), 1) << f.name.toStdString();
        search.setReplaceString(f.replacement);
        runner.runSearch(search, recorder.allResults());
        ASSERT_TRUE(waitFor([&] { return recorder.replacesFinished == int(&f - files.data()) + 1; }));
        const QVReplaceReport& r = recorder.reports.last();
        if (f.expected.isEmpty()) {
            EXPECT_EQ(read(root + "/" + f.name), f.bytes) << f.name.toStdString();
            EXPECT_FALSE(r.reason.isEmpty()) << f.name.toStdString();
        } else {
            const QByteArray got = read(root + "/" + f.name);
            EXPECT_TRUE(got == f.expected) << f.name.toStdString() << ": " << got.size() << " bytes, " << f.expected.size()
                                           << " expected; " << r.reason.toStdString() << " " << got.right(8).toHex().toStdString();
        }
    }
}

// Runs a peer to its end; its standard output.
QByteArray runPeer(const QString& program, const QStringList& arguments) {
    QProcess peer;
    peer.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    peer.start(program, arguments);
    if (!peer.waitForFinished(120000)) return "<peer did not finish>";
    return peer.readAllStandardOutput();
}

// Per file name, what a peer's "path:count" lines count.
QMap<QString, int> countsByName(const QByteArray& lines, bool onePerLine) {
    QMap<QString, int> counts;
    for (const QByteArray& line : lines.split('\n')) {
        if (line.isEmpty()) continue;
        const qsizetype colon = line.indexOf(':');
        const QString name = QFileInfo(QString::fromUtf8(line.left(colon))).fileName();
        counts[name] += onePerLine ? 1 : line.mid(colon + 1).toInt();
    }
    return counts;
}

// One table against python's bytes.replace on a copy, and grep -r and rg for what a find of
// "café" counts: a log that is UTF-8 but for one stray byte, UTF-8 files whose last character is
// cut after 1-3 bytes at offsets around the read's piece ends, and an undeclared Latin-1 log,
// each replaced with an ASCII and a non-ASCII text. A file read as UTF-8 gets its new text as
// UTF-8, every byte that is not UTF-8 kept and counted; one read in the fallback takes only
// ASCII and is otherwise left as it was, with the reason.
TEST(SearchRunnerTest, ReplaceAllAgreesWithPythonOnFilesThatAreNotAllUTF8) {
    QTemporaryDir dir;
    const QString source = dir.path() + "/source";
    struct Row {
        QString name;
        qint64 kept;  // bytes that are not UTF-8, when it reads as UTF-8
        bool utf8;    // read as UTF-8 (else in the fallback)
        QString replacement;
    };
    std::vector<Row> rows;
    const auto lines = [](const QByteArray& line, qint64 size) {
        QByteArray bytes;
        bytes.reserve(size + line.size());
        while (bytes.size() + line.size() <= size) bytes += line;
        return bytes + QByteArray(size - bytes.size(), 'g');
    };
    // The log: UTF-8 lines, one 0xFF in their midst.
    QByteArray log = lines("2026-12-09T06:00:00 foo caf\xC3\xA9 na\xC3\xAFve \xE2\x82\xAC 3\n", 6 << 20);
    log.insert(log.indexOf('\n', log.size() / 2) + 1, '\xFF');
    for (const char* replacement : {"bar", "\xC3\xA9"}) {
        const QString name = QStringLiteral("log-%1.log").arg(rows.size());
        write(source + "/" + name, log);
        rows.push_back({name, 1, true, QString::fromUtf8(replacement)});
    }
    // The cut endings; the replacement alternates over endings and offsets, so each boundary
    // and ending meets both.
    const QByteArray endings[] = {"\xC3", "\xE2", "\xE2\x82", "\xF0", "\xF0\x9F", "\xF0\x9F\x98"};
    for (const qint64 boundary : {qint64(64) << 10, qint64(1) << 20, qint64(4) << 20})
        for (qint64 end = boundary - 2; end <= boundary + 2; ++end)
            for (int e = 0; e < 6; ++e) {
                const QString name = QStringLiteral("cut-%1.txt").arg(rows.size());
                write(source + "/" + name, lines("foo caf\xC3\xA9\n", end - endings[e].size()) + endings[e]);
                rows.push_back({name, endings[e].size(), true, (end + e) % 2 ? "bar" : "\u00e9"});
            }
    // An undeclared Latin-1 log.
    const QByteArray latin1 = lines("2026-12-09 foo caf\xE9 \xB0 na\xEFve\n", 200 << 10);
    for (const char* replacement : {"bar", "\xC3\xA9"}) {
        const QString name = QStringLiteral("latin1-%1.log").arg(rows.size());
        write(source + "/" + name, latin1);
        rows.push_back({name, 0, false, QString::fromUtf8(replacement)});
    }

    // The find: as many "café" as grep and rg find, in the same files; the bytes kept counted.
    Recorder recorder;
    recorder.specificFiles = QStringList{source};
    QVSearchRunner runner(&recorder, std::make_shared<Scopes>());
    runner.runSearch(QVSearch::withSearchString(QStringLiteral("caf\u00e9")), 3);
    ASSERT_TRUE(waitFor([&] { return recorder.searchesFinished == 1; }));
    QMap<QString, int> found;
    for (const auto& node : recorder.nodes) found[QFileInfo(node->path()).fileName()] = int(node->searchResults().size());
    const QMap<QString, int> grep = countsByName(runPeer("grep", {"-r", "-a", "-o", "caf\u00e9", source}), true);
    const QMap<QString, int> rg = countsByName(runPeer("rg", {"--count-matches", "-a", "caf\u00e9", source}), false);
    EXPECT_EQ(found, grep);
    EXPECT_EQ(found, rg);
    for (const Row& row : rows)
        EXPECT_EQ(recorder.log.contains(QStringLiteral("kept %1 %2").arg(row.name).arg(row.kept)), row.utf8 && row.kept > 0)
            << row.name.toStdString();

    // The replace, each file by its own text, beside python's bytes.replace on a copy.
    const QString expected = dir.path() + "/python";
    QDir().mkpath(expected);
    QStringList arguments{"-c",
                          "import sys\n"
                          "args = sys.argv[1:]\n"
                          "for src, dst, new in zip(args[0::3], args[1::3], args[2::3]):\n"
                          "    data = open(src, 'rb').read()\n"
                          "    open(dst, 'wb').write(data.replace(b'foo', new.encode('utf-8')))\n"};
    for (const Row& row : rows) arguments << source + "/" + row.name << expected + "/" + row.name << row.replacement;
    ASSERT_EQ(runPeer("/usr/bin/python3", arguments), QByteArray());
    QMap<QString, QList<QVSearchResult>> byReplacement;
    recorder.nodes.clear();
    runner.runSearch(QVSearch::withSearchString(QStringLiteral("foo")), 3);
    ASSERT_TRUE(waitFor([&] { return recorder.searchesFinished == 2; }));
    for (const auto& node : recorder.nodes) {
        const QString name = QFileInfo(node->path()).fileName();
        const auto row = std::find_if(rows.begin(), rows.end(), [&](const Row& r) { return r.name == name; });
        ASSERT_NE(row, rows.end()) << name.toStdString();
        byReplacement[row->replacement] << node->searchResults();
    }
    for (auto it = byReplacement.cbegin(); it != byReplacement.cend(); ++it) {
        QVSearch search = QVSearch::withSearchString(QStringLiteral("foo"));
        search.setReplaceString(it.key());
        const int before = recorder.replacesFinished;
        runner.runSearch(search, it.value());
        ASSERT_TRUE(waitFor([&] { return recorder.replacesFinished == before + 1; }));
    }
    ASSERT_EQ(recorder.reports.size(), qsizetype(rows.size()));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name.toStdString());
        const auto report = std::find_if(recorder.reports.cbegin(), recorder.reports.cend(),
                                         [&](const QVReplaceReport& r) { return QFileInfo(r.path).fileName() == row.name; });
        ASSERT_NE(report, recorder.reports.cend());
        const QByteArray now = read(source + "/" + row.name);
        if (row.utf8 || row.replacement == "bar") {
            EXPECT_EQ(report->outcome, QVReplaceReport::Replaced) << report->reason.toStdString();
            EXPECT_EQ(report->keptBytes, row.utf8 ? row.kept : 0);
            EXPECT_TRUE(now == read(expected + "/" + row.name)) << "differs from python's";
        } else {
            EXPECT_EQ(report->outcome, QVReplaceReport::Skipped);
            EXPECT_EQ(report->reason, "not changed: the file declares no encoding and is not UTF-8");
            EXPECT_TRUE(now == latin1);
        }
    }
}

// Links inside and out of the chosen folder, a file reached three ways, UTF-16 in both byte
// orders: each file is searched and replaced once, in the form it was read, and nothing outside
// the folder is read or written, even through a link changed between the search and the replace.
TEST(SearchRunnerTest, ReplacesStayInsideTheChosenFoldersAndKeepEachFilesForm) {
    QTemporaryDir dir;
    const QString root = dir.path() + "/tree", outside = dir.path() + "/outside";
    const QByteArray be("\xFE\xFF\0f\0o\0o\0\n", 10), le("\xFF\xFE" "f\0o\0o\0\n\0", 10);
    write(root + "/be.txt", be);
    write(root + "/le.txt", le);
    write(root + "/real.txt", "foo");
    write(root + "/sub/inner.txt", "foo");
    write(outside + "/secret.txt", "foo");
    write(outside + "/other.txt", "foo");
    ASSERT_TRUE(QFile::link(root + "/real.txt", root + "/again.txt"));
    ASSERT_TRUE(QFile::link(root + "/sub", root + "/sub-again"));
    ASSERT_TRUE(QFile::link(outside, root + "/away"));
    ASSERT_TRUE(QFile::link(outside + "/secret.txt", root + "/secret-link.txt"));
    ASSERT_TRUE(QFile::link(root + "/sub/inner.txt", root + "/turned.txt"));

    Recorder recorder;
    recorder.specificFiles = QStringList{root, root + "/real.txt"};
    QVSearchRunner runner(&recorder, std::make_shared<Scopes>());
    QVSearch search = QVSearch::withSearchString(QStringLiteral("foo"));
    runner.runSearch(search, 3);
    ASSERT_TRUE(waitFor([&] { return recorder.searchesFinished == 1; }));
    const QString log = recorder.log.join("|");
    const struct {
        const char* names;  // the names one file goes by
        int searched;       // reports among them
    } visits[] = {{"be.txt", 1}, {"le.txt", 1}, {"real.txt|again.txt", 1}, {"inner.txt|turned.txt", 1},
                  {"secret.txt|secret-link.txt|other.txt", 0}};
    for (const auto& v : visits)
        EXPECT_EQ(recorder.log.filter(QRegularExpression(QStringLiteral("^did (%1) ").arg(v.names))).size(), v.searched)
            << v.names << " " << log.toStdString();

    // inner.txt (also reached as turned.txt) now leads outside: it is left alone.
    QFile::remove(root + "/sub/inner.txt");
    ASSERT_TRUE(QFile::link(outside + "/other.txt", root + "/sub/inner.txt"));
    search.setReplaceString(QStringLiteral("bar"));
    runner.runSearch(search, recorder.allResults());
    ASSERT_TRUE(waitFor([&] { return recorder.replacesFinished == 1; }));
    const QByteArray barBE("\xFE\xFF\0b\0a\0r\0\n", 10), barLE("\xFF\xFE" "b\0a\0r\0\n\0", 10);
    const struct {
        const char* path;
        QByteArray bytes;
    } after[] = {{"tree/be.txt", barBE},    {"tree/le.txt", barLE},         {"tree/real.txt", "bar"},
                 {"outside/secret.txt", "foo"}, {"outside/other.txt", "foo"}};
    for (const auto& a : after) EXPECT_EQ(read(dir.path() + "/" + a.path), a.bytes) << a.path;
    EXPECT_TRUE(QFileInfo(root + "/again.txt").isSymLink());
    const QString inner = recorder.outcome("inner.txt") == "none" ? recorder.outcome("turned.txt") : recorder.outcome("inner.txt");
    EXPECT_EQ(inner.section(' ', 0, 0), "1") << inner.toStdString();
}

// Names that are not UTF-8 are searched and replaced under their own bytes, never through a
// look-alike name (the same name with U+FFFD, which Qt would make of them).
TEST(SearchRunnerTest, NamesThatAreNotUTF8AreSearchedAndReplacedUnderTheirOwnBytes) {
    TestDir dir;
    const QByteArray root = FileName::encode(dir.path()) + "/tree\xfe";
    ASSERT_EQ(::mkdir(root.constData(), 0755), 0);
    const struct {
        QByteArray name;
        QByteArray before, after;
    } files[] = {
        {"caf\xe9.txt", "foo 1", "bar 1"},
        {"caf\xef\xbf\xbd.txt", "foo 2", "bar 2"},  // the look-alike, valid UTF-8
        {"\xff.txt", "foo 3", "bar 3"},
        {"cut\xc3.txt", "foo 4", "bar 4"},
    };
    for (const auto& f : files) write(FileName::decode(root + '/' + f.name), f.before);
    for (const auto& f : files) ASSERT_EQ(read(FileName::decode(root + '/' + f.name)), f.before) << "written under its bytes";

    Recorder recorder;
    recorder.specificFiles = QStringList{FileName::decode(root)};
    QVSearchRunner runner(&recorder, std::make_shared<Scopes>());
    QVSearch search = QVSearch::withSearchString(QStringLiteral("foo"));
    runner.runSearch(search, 3);
    ASSERT_TRUE(waitFor([&] { return recorder.searchesFinished == 1; }));
    EXPECT_EQ(recorder.allResults().size(), 4) << recorder.log.join("|").toStdString();
    search.setReplaceString(QStringLiteral("bar"));
    runner.runSearch(search, recorder.allResults());
    ASSERT_TRUE(waitFor([&] { return recorder.replacesFinished == 1; }));
    QList<QByteArray> names;
    for (const QString& name : FileName::entries(FileName::decode(root))) names << FileName::encode(name);
    EXPECT_EQ(names.size(), 4) << "no file made under another name";
    for (const auto& f : files) {
        EXPECT_TRUE(names.contains(f.name));
        EXPECT_EQ(read(FileName::decode(root + '/' + f.name)), f.after) << f.name.toHex().toStdString();
    }
}

TEST(SearchRunnerTest, ResultNodesNameFilesAndLetDocumentsGo) {
    auto node = QVMultiFileSearchNode::create(QStringLiteral("/a/b/c.txt"));
    EXPECT_EQ(node->name(), QStringLiteral("c.txt \u2014 /a/b"));
    EXPECT_FALSE(node->icon().isNull());
    EXPECT_EQ(QVMultiFileSearchNode::create(QStringLiteral("Untitled 2"))->name(), QStringLiteral("Untitled 2"));
    auto document = std::make_shared<TextDocument>(QStringLiteral("/a/b/c.txt"), "x");
    node->setDocument(document);
    node->setSearchResults({QVSearchResult(QVRange(0, 1)), QVSearchResult(QVRange(2, 1))});
    for (const auto& result : node->searchResults()) EXPECT_EQ(result.parent(), node);
    NotificationCenter::defaultCenter().post(QVSearchDocumentWillClose, document.get());
    EXPECT_EQ(node->document(), nullptr);
}

}  // namespace

namespace {

// Odd names, encodings, line breaks, special files and a runaway pattern: every file is
// reported once with what it holds, nothing blocks, and the walk ends.
TEST(SearchRunnerTest, AwkwardFilesAreEachReportedOnceAndNothingBlocks) {
    QTemporaryDir dir;
    const QString root = dir.path() + "/tree";
    const QByteArray longLine = QByteArray(1024 * 1024, 'x') + "foo";
    const struct {
        const char* name;
        QByteArray bytes;
        int count;  // -1: not reported at all
    } files[] = {
        {"line\nbreak.txt", "foo", 1},
        {"-n.txt", "foo foo", 2},
        {"--.html", "Foo", 1},
        {"empty.txt", "", 0},
        {"cr.txt", "foo\rfoo\r", 2},
        {"crlf.txt", "foo\r\nfoo\r\n", 2},
        {"latin1.txt", "caf\xE9 foo", 1},
        {"utf16.txt", QByteArray("\xFF\xFE" "f\0o\0o\0", 8), 1},
        {"invalid.txt", "foo \xFF\xFE\xC3 foo", 2},
        {"long.txt", longLine, 1},
        {"sub/deeper/more.css", "foo", 1},
        // A file without a text extension is text unless its first block holds a NUL; no
        // file-type program runs for it.
        {"README", "foo", 1},
        {"notes.unknown-kind", "foo foo", 2},
        {"archive.gz", QByteArray("\x1f\x8b\x08\0\0\0foo", 9), -1},
        {"blob", QByteArray("\0foo", 4), -1},
    };
    for (const auto& f : files) write(root + "/" + f.name, f.bytes);
    // A FIFO no one writes to, a link loop and a dangling link.
    ASSERT_EQ(::mkfifo(QFile::encodeName(root + "/pipe.txt").constData(), 0644), 0);
    ASSERT_TRUE(QFile::link(root, root + "/sub/loop"));
    ASSERT_TRUE(QFile::link(root + "/gone", root + "/dangling.txt"));

    QVFileCategories::sharedCategories()->setProbeProgram(QStringLiteral("/bin/false"));
    Recorder recorder;
    recorder.specificFiles = QStringList{root, root + "/pipe.txt"};
    QVSearchRunner runner(&recorder, std::make_shared<Scopes>());
    runner.runSearch(QVSearch::withSearchString(QStringLiteral("foo")), 3);
    ASSERT_TRUE(waitFor([&] { return recorder.searchesFinished == 1; }));
    for (const auto& f : files) {
        const QString name = QFileInfo(root + "/" + f.name).fileName();
        const QStringList lines = recorder.log.filter(QRegularExpression("^did " + QRegularExpression::escape(name) + " "));
        if (f.count < 0) {
            EXPECT_TRUE(lines.isEmpty()) << f.name;
            continue;
        }
        ASSERT_EQ(lines.size(), 1) << f.name << " " << recorder.log.join("|").toStdString();
        EXPECT_EQ(lines[0].section(' ', -1).toInt(), f.count) << f.name;
    }
    EXPECT_EQ(recorder.log.filter(QRegularExpression("^did pipe.txt 0$")).size(), 1);  // walked and chosen: once
    EXPECT_EQ(recorder.log.filter("more.css").size(), 2);                                // once, despite the loop

    // A pattern that runs away on one file ends there; the file is reported and the rest searched.
    write(root + "/../runaway/a.txt", QByteArray(40, 'a') + "!");
    write(root + "/../runaway/b.txt", "aaa");
    recorder.log.clear();
    recorder.specificFiles = QStringList{dir.path() + "/runaway"};
    runner.runSearch(QVSearch::withExpressionString(QStringLiteral("(a+)+$"), true), 3);
    ASSERT_TRUE(waitFor([&] { return recorder.searchesFinished == 2; }));
    EXPECT_EQ(recorder.log.filter(QRegularExpression("^did [ab].txt")).size(), 2) << recorder.log.join("|").toStdString();
    EXPECT_TRUE(recorder.log.contains("did b.txt 1"));
}

// Replaces over many files while the disk fills (a file-size limit: files past it cannot be
// written), with a lookbehind that needs the text before each range, and a stop part-way: each
// file ends replaced whole or untouched, every one is listed, and no temporary file remains.
TEST(SearchRunnerTest, ReplacesListEveryFileAndLeaveNoneHalfWritten) {
    QTemporaryDir dir;
    const QString root = dir.path();
    const int count = 600;
    QByteArray big(6000, '.');
    big.replace(0, 3, "a-b");
    for (int i = 0; i < count; ++i)
        write(root + QStringLiteral("/f%1.txt").arg(i, 4, 10, QChar('0')), i % 3 == 0 ? big : QByteArray("a-b b a-b\n"));
    Recorder recorder;
    recorder.specificFiles = QStringList{root};
    QVSearchRunner runner(&recorder, std::make_shared<Scopes>());
    QVSearch search = QVSearch::withExpressionString(QStringLiteral("(?<=-)b"), true);
    runner.runSearch(search, 3);
    ASSERT_TRUE(waitFor([&] { return recorder.searchesFinished == 1; }));
    ASSERT_EQ(recorder.nodes.size(), count);

    search.setReplaceString(QStringLiteral("B"));
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = saved;
    limit.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    runner.setReplaceHook([&](const QString& path) {
        if (path.endsWith("/f0400.txt")) runner.cancel();
    });
    runner.runSearch(search, recorder.allResults());
    const bool finished = waitFor([&] { return recorder.replacesFinished == 1; });
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    ASSERT_TRUE(finished);

    ASSERT_EQ(recorder.reports.size(), count);
    QMap<QString, int> outcomes;
    for (const QVReplaceReport& r : recorder.reports) {
        const QByteArray bytes = read(r.path);
        const int i = QFileInfo(r.path).baseName().mid(1).toInt();
        const QByteArray before = i % 3 == 0 ? big : QByteArray("a-b b a-b\n");
        QByteArray after = before;
        after.replace("a-b", "a-B");
        const QString kind = r.outcome == QVReplaceReport::Replaced ? "replaced"
                             : r.reason.contains("stopped")           ? "stopped"
                             : r.outcome == QVReplaceReport::Failed   ? "failed"
                                                                      : "skipped";
        ++outcomes[kind];
        EXPECT_EQ(bytes, kind == "replaced" ? after : before) << r.path.toStdString() << " " << kind.toStdString();
        // Only the big files could not be written; the stop came after f0400 was done.
        EXPECT_EQ(kind == "failed", i % 3 == 0 && i <= 400) << r.path.toStdString() << " " << r.reason.toStdString();
        EXPECT_EQ(kind == "stopped", i > 400) << r.path.toStdString();
    }
    EXPECT_EQ(outcomes.value("skipped"), 0);
    EXPECT_TRUE(QDir(root).entryList(QDir::Hidden | QDir::Files | QDir::System).filter(QRegularExpression("^[^f]")).isEmpty())
        << QDir(root).entryList(QDir::Hidden | QDir::Files).join(" ").toStdString();
}

// A file the search may not read is reported without matches and as not searched, with the
// reason, by a literal and by a pattern search alike; a file that reads is never. So is a folder
// it may not list, inside a chosen folder or chosen itself, without matches. Run as an account
// that 0600 and 0700 keep out (the superuser takes nobody's for the run).
TEST(SearchRunnerTest, AFileThatCannotBeReadIsListedAsNotSearched) {
    // Outside the suite's sandbox, which only its owner may enter.
    QTemporaryDir dir(QStringLiteral("/tmp/qorvel-unreadable-XXXXXX"));
    const QString root = dir.path() + "/site";
    write(root + "/open.html", "foo");
    write(root + "/closed.html", "foo");
    write(root + "/big-closed.html", QByteArray(20 * 1024 * 1024, '.') + "foo");
    write(root + "/private/inside.html", "foo");
    write(dir.path() + "/shut/inside.html", "foo");
    // Folders that can be listed but not entered: the account's own after "chmod -R 644", and
    // another account's at 0744 (only where the superuser can make one).
    write(root + "/listed/a.html", "foo");
    write(root + "/listed/b.html", "foo");
    write(root + "/other/c.html", "foo");
    for (const QString& folder : {dir.path(), root}) ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), 0755), 0);
    for (const char* name : {"/closed.html", "/big-closed.html"})
        ASSERT_EQ(::chmod(QFile::encodeName(root + name).constData(), ::geteuid() == 0 ? 0600 : 0), 0);
    for (const QString& folder : {root + "/private", dir.path() + "/shut"})
        ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), ::geteuid() == 0 ? 0700 : 0), 0);
    // Each folder reached again under another name (a link in the tree, a second choice) is the
    // same folder: named once.
    ASSERT_EQ(::symlink("private", QFile::encodeName(root + "/private-again").constData()), 0);
    ASSERT_EQ(::symlink("shut", QFile::encodeName(dir.path() + "/shut-link").constData()), 0);
    const TestAccount nobody = testAccount("nobody");
    ASSERT_TRUE(::geteuid() != 0 || nobody);
    const bool otherAccount = ::geteuid() == 0;
    ASSERT_TRUE(makeListedButNotEntered(root + "/listed", root + "/other"));
    const struct {
        const char* what;
        QVSearch search;
    } rows[] = {
        {"literal", QVSearch::withSearchString(QStringLiteral("foo"))},
        {"pattern", QVSearch::withExpressionString(QStringLiteral("f[o]+"), true)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Recorder recorder;
        recorder.specificFiles = QStringList{root, dir.path() + "/shut", dir.path() + "/shut-link"};
        QVSearchRunner runner(&recorder, std::make_shared<Scopes>());
        if (nobody) {
            ASSERT_EQ(::seteuid(nobody.uid), 0);
        }
        runner.runSearch(row.search, 3);
        const bool finished = waitFor([&] { return recorder.searchesFinished == 1; });
        if (nobody) {
            ASSERT_EQ(::seteuid(0), 0);
        }
        ASSERT_TRUE(finished);
        QStringList log = recorder.log.filter(QRegularExpression("^(did|not) "));
        log.sort();
        const QString denied = QString::fromLocal8Bit(std::strerror(EACCES));
        QStringList expected{"did a.html 0", "did b.html 0", "did big-closed.html 0", "did closed.html 0", "did open.html 1",
                             "not a.html " + denied, "not b.html " + denied, "not big-closed.html " + denied,
                             "not closed.html " + denied, "not private/ " + denied, "not shut/ " + denied};
        if (otherAccount) expected << "did c.html 0" << "not c.html " + denied;
        expected.sort();
        EXPECT_EQ(log, expected);
    }
    // Let the temporary folder be removed where the tests do not run as the superuser.
    for (const QString& folder : {root + "/private", dir.path() + "/shut", root + "/listed"})
        ::chmod(QFile::encodeName(folder).constData(), 0700);
}

// Starts this test program again to run the one disabled test named, with more environment;
// its standard output goes nowhere. Its process, or 0.
pid_t spawnDisabledTest(const char* name, const QList<QByteArray>& more) {
    const QByteArray program = QFile::encodeName(QCoreApplication::applicationFilePath());
    const QByteArray filter = QByteArray("--gtest_filter=SearchRunnerTest.") + name;
    char* argv[] = {const_cast<char*>(program.constData()), const_cast<char*>("--gtest_also_run_disabled_tests"),
                    const_cast<char*>(filter.constData()), nullptr};
    QList<QByteArray> environment;
    for (char** e = environ; *e; ++e) environment << QByteArray(*e);
    environment << more;
    std::vector<char*> envp;
    for (QByteArray& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    pid_t child = 0;
    if (::posix_spawn(&child, program.constData(), &quiet, nullptr, argv, envp.data()) != 0) child = 0;
    posix_spawn_file_actions_destroy(&quiet);
    return child;
}

// The child of the test below: a Replace All of "old" by its own text over the folder it is
// given, started once the parent says so, each file's outcome written out as "outcome path".
TEST(SearchRunnerTest, DISABLED_ReplaceAllRacingAnother) {
    const QString root = qEnvironmentVariable("QORVEL_RACE_ROOT");
    const QString text = qEnvironmentVariable("QORVEL_RACE_TEXT");
    Recorder recorder;
    recorder.specificFiles = QStringList{root};
    QVSearchRunner runner(&recorder, std::make_shared<Scopes>());
    QVSearch search = QVSearch::withSearchString(QStringLiteral("old"));
    runner.runSearch(search, 3);
    ASSERT_TRUE(waitFor([&] { return recorder.searchesFinished == 1; }));
    writeBytes(FileName::encode(root) + "/../ready-" + text.toUtf8(), "");
    while (!QFileInfo::exists(root + "/../go")) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    search.setReplaceString(text);
    runner.runSearch(search, recorder.allResults());
    ASSERT_TRUE(waitFor([&] { return recorder.replacesFinished == 1; }));
    QByteArray out;
    for (const QVReplaceReport& r : recorder.reports)
        out += QByteArray::number(int(r.outcome)) + ' ' + FileName::encode(r.path) + ' ' + r.reason.toUtf8() + '\n';
    writeBytes(FileName::encode(root) + "/../report-" + text.toUtf8(), out);
}

// Two Replace All runs (two processes) over the same 2,000 pages at once: a page is said to be
// replaced only by the run whose text it holds when both have ended, and each page holds its
// old text or exactly one run's; the other run says another writer changed it. No lock is
// taken, so none is left behind. The two texts are of one length, and half the pages have
// another hard link, so are written in place: two writes in one tick of the clock leave the
// same size and time.
TEST(SearchRunnerTest, TwoReplaceAllRunsAtOnceEachSayReplacedOnlyWhereTheirTextIs) {
    QTemporaryDir dir;
    const QString root = dir.path() + "/site";
    const int folders = 20, pages = 100;
    for (int f = 0; f < folders; ++f)
        for (int p = 0; p < pages; ++p) {
            const QString page = QStringLiteral("%1/d%2/p%3.html").arg(root).arg(f).arg(p);
            write(page, QByteArray(2000, '.') + "old\n");
            if (f % 2 == 0) {
                const QString link = QStringLiteral("%1/links/d%2-p%3.html").arg(dir.path()).arg(f).arg(p);
                ASSERT_TRUE(QDir().mkpath(QFileInfo(link).path()));
                ASSERT_EQ(::link(QFile::encodeName(page).constData(), QFile::encodeName(link).constData()), 0);
            }
        }
    std::vector<pid_t> children;
    for (const char* text : {"first", "other"}) {
        children.push_back(spawnDisabledTest("DISABLED_ReplaceAllRacingAnother",
                                             {"QORVEL_RACE_ROOT=" + QFile::encodeName(root), "QORVEL_RACE_TEXT=" + QByteArray(text)}));
        ASSERT_NE(children.back(), 0);
    }
    ASSERT_TRUE(waitFor([&] { return QFileInfo::exists(dir.path() + "/ready-first") && QFileInfo::exists(dir.path() + "/ready-other"); }));
    write(dir.path() + "/go", "");
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    QMap<QString, QString> replacedBy;
    int said = 0, changedByAnother = 0;
    for (const char* text : {"first", "other"}) {
        const QByteArray report = read(dir.path() + "/report-" + text);
        for (const QByteArray& line : report.split('\n')) {
            if (line.isEmpty()) continue;
            const QList<QByteArray> fields = line.split(' ');
            ++said;
            if (fields[0] == "0") {
                EXPECT_FALSE(replacedBy.contains(QString::fromUtf8(fields[1]))) << "replaced by both: " << fields[1].toStdString();
                replacedBy[QString::fromUtf8(fields[1])] = QString::fromLatin1(text);
            } else {
                // Changed by the other run after this one read it, or before (its match gone).
                const bool another = line.contains("Changed by another writer");
                EXPECT_TRUE(another || line.contains("No chosen match is still in place")) << line.toStdString();
                changedByAnother += another;
            }
        }
    }
    EXPECT_EQ(said, 2 * folders * pages);
    int untouched = 0;
    for (int f = 0; f < folders; ++f)
        for (int p = 0; p < pages; ++p) {
            const QString path = QStringLiteral("%1/d%2/p%3.html").arg(root).arg(f).arg(p);
            const QByteArray now = read(path);
            if (!replacedBy.contains(path)) {
                untouched += now == QByteArray(2000, '.') + "old\n";
                continue;
            }
            EXPECT_EQ(now, QByteArray(2000, '.') + replacedBy[path].toLatin1() + "\n") << path.toStdString();
        }
    // Every page went to one run or the other.
    EXPECT_EQ(untouched, 0);
    EXPECT_EQ(replacedBy.size(), folders * pages);
    RecordProperty("changedByAnother", changedByAnother);
    for (int f = 0; f < folders; ++f)
        EXPECT_TRUE(QDir(QStringLiteral("%1/d%2").arg(root).arg(f)).entryList({".tmp_Qorvel*"}, QDir::Files | QDir::Hidden).isEmpty());
}

// The child of the test below: a Replace All of "old" by "new" over the folder it is given, which
// stops for good at the given file (written to the marker first) to be killed there.
TEST(SearchRunnerTest, DISABLED_ReplaceAllToBeKilled) {
    const QString root = qEnvironmentVariable("QORVEL_KILL_ROOT");
    const int stopAt = qEnvironmentVariableIntValue("QORVEL_KILL_AT");
    AtomicFile::setStagesNamed(qEnvironmentVariableIntValue("QORVEL_KILL_NAMED") != 0);
    Recorder recorder;
    recorder.specificFiles = QStringList{root};
    QVSearchRunner runner(&recorder, std::make_shared<Scopes>());
    QVSearch search = QVSearch::withSearchString(QStringLiteral("old"));
    runner.runSearch(search, 3);
    ASSERT_TRUE(waitFor([&] { return recorder.searchesFinished == 1; }));
    int files = 0;
    runner.setReplaceHook([&](const QString&) {
        if (++files < stopAt) return;
        writeBytes(FileName::encode(root) + "/../marker", "reached");
        for (;;) ::pause();
    });
    search.setReplaceString(QStringLiteral("new"));
    runner.runSearch(search, recorder.allResults());
    waitFor([&] { return recorder.replacesFinished == 1; });
}

// A Replace All over 2,000 pages killed part-way: every page is its old text or its new one,
// and no copy of a page is left in the folders beyond what the next write there takes away.
TEST(SearchRunnerTest, AReplaceAllKilledPartWayLeavesNoCopies) {
    const struct {
        const char* what;
        bool named;      // staged under names, as on a file system without unnamed files
        int killAt;      // the file the run is killed at
        int leftBefore;  // copies at most right after the kill
    } rows[] = {
        {"unnamed, late", false, 1500, 0},
        {"named, late", true, 1500, 8},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        QTemporaryDir dir;
        const QString root = dir.path() + "/site";
        const int folders = 20, pages = 100;
        for (int f = 0; f < folders; ++f)
            for (int p = 0; p < pages; ++p)
                write(QStringLiteral("%1/d%2/p%3.html").arg(root).arg(f).arg(p), QByteArray(2000, '.') + "old\n");
        const pid_t child = spawnDisabledTest("DISABLED_ReplaceAllToBeKilled",
                                              {"QORVEL_KILL_ROOT=" + QFile::encodeName(root),
                                               "QORVEL_KILL_AT=" + QByteArray::number(row.killAt),
                                               "QORVEL_KILL_NAMED=" + QByteArray(row.named ? "1" : "0")});
        ASSERT_NE(child, 0);
        const QString marker = dir.path() + "/marker";
        int status = 0;
        const bool reached = waitFor([&] { return QFileInfo::exists(marker) || ::waitpid(child, &status, WNOHANG) == child; });
        const bool running = QFileInfo::exists(marker);
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(reached && running) << "the run ended before it reached file " << row.killAt;

        int copies = 0, replaced = 0;
        const QByteArray before = QByteArray(2000, '.') + "old\n", after = QByteArray(2000, '.') + "new\n";
        for (int f = 0; f < folders; ++f) {
            const QString folder = QStringLiteral("%1/d%2").arg(root).arg(f);
            for (const QString& name : QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System)) {
                const QByteArray bytes = read(folder + "/" + name);
                if (name.startsWith(".tmp_Qorvel")) {
                    ++copies;
                    continue;
                }
                EXPECT_TRUE(bytes == before || bytes == after) << name.toStdString();
                replaced += bytes == after;
            }
        }
        EXPECT_LE(copies, row.leftBefore);
        EXPECT_LT(replaced, row.killAt);
        // The next write in each folder takes a dead run's copies away.
        for (int f = 0; f < folders; ++f)
            ASSERT_TRUE(AtomicFile::write(QStringLiteral("%1/d%2/p0.html").arg(root).arg(f), after));
        int left = 0;
        for (int f = 0; f < folders; ++f)
            left += QDir(QStringLiteral("%1/d%2").arg(root).arg(f)).entryList({".tmp_Qorvel*"}, QDir::Files | QDir::Hidden).size();
        EXPECT_EQ(left, 0);
    }
}

}  // namespace
