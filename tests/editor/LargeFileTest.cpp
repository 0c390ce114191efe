// Opening large files: a UTF-8 file is decoded straight into the storage (the same text, mark,
// breaks and encoding as the usual read, which still takes what is not valid UTF-8), its peak
// memory about the storage's own; and the size from which opening asks first.
#include "editor/HTMLView.h"
#include "editor/QVFileDocument.h"
#include "platform/UserDefaults.h"
#include "shell/FileEncodings.h"
#include "shell/LargeFiles.h"
#include "tests/support/Sanitizers.h"
#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QLocale>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

extern char** environ;

namespace {

// A peak of resident memory measures the allocator: a sanitizer's keeps red zones around every
// block and freed blocks in quarantine (AddressSanitizer), or shadow memory beside the heap
// (ThreadSanitizer).
constexpr bool underSanitizer() { return underAddressSanitizer() || underThreadSanitizer(); }

// Runs this test program on one file in the child test below (shown and coloured to the end
// with colour); its peak resident size in bytes.
qint64 peakOfLoading(const QString& path, bool colour = false) {
    const QByteArray program = QCoreApplication::applicationFilePath().toLocal8Bit();
    QByteArray filter = "--gtest_filter=LargeFile.LoadInChild";
    char* argv[] = {const_cast<char*>(program.constData()), filter.data(), nullptr};
    std::vector<QByteArray> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    env.push_back("QORVEL_TEST_LOAD=" + path.toLocal8Bit());
    if (colour) env.push_back("QORVEL_TEST_COLOUR=1");
    std::vector<char*> envp;
    for (QByteArray& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, program.constData(), nullptr, nullptr, argv, envp.data()) != 0) return -1;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return qint64(usage.ru_maxrss) * 1024;
}

}  // namespace

TEST(LargeFile, LoadInChild) {
    const QString path = qEnvironmentVariable("QORVEL_TEST_LOAD");
    if (path.isEmpty()) GTEST_SKIP() << "run by OpeningTakesAboutTheStoragesOwnMemory";
    HTMLView view(path);
    ASSERT_TRUE(view.loadFromPath(path));
    ASSERT_GT(view.length(), 0);
    if (qEnvironmentVariableIsEmpty("QORVEL_TEST_COLOUR")) return;
    // As a window shows it: the first screen, then the rest coloured while idle.
    view.resize(800, 600);
    view.show();
    while (view.highlightedLength() < view.length()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

TEST(LargeFile, DirectDecodingReadsWhatTheUsualReadReads) {
    const QByteArray body = QByteArray("<p>caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80</p>\r\n").repeated(int(HTMLView::DirectLoadSize / 20));
    const struct {
        const char* name;
        QByteArray bytes;
        const char* lineBreak;
        bool mark = false;  // the file's, not part of the text
    } cases[] = {
        {"UTF-8 with CR LF", body, "DOS"},
        {"a leading mark is the file's", "\xEF\xBB\xBF" + body, "DOS", true},
        {"LF", QByteArray(body).replace("\r\n", "\n"), "Unix"},
        {"a sequence cut at the end", body + "\xE2\x82", "DOS"},
        {"an invalid byte in the middle", body + "\xff" + body, "DOS"},
        {"a literal replacement character", body + "\xEF\xBF\xBD", "DOS"},
    };
    TestDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = dir.write("big.txt", c.bytes);
        QVStringEncoding encoding = 0;
        std::optional<QString> usual = FileEncodings::createWithContentsOfFile(path, &encoding);
        ASSERT_TRUE(usual);
        if (c.mark) usual->remove(0, 1);
        HTMLView view(path);
        ASSERT_TRUE(view.loadFromPath(path));
        EXPECT_EQ(view.hasByteOrderMark(), c.mark);
        EXPECT_TRUE(view.string() == *usual);
        EXPECT_EQ(view.stringEncoding(), encoding);
        EXPECT_EQ(view.lineBreakName().toStdString(), c.lineBreak);
        // Typing goes on at once in the room left after the text.
        view.setSelectedRange(QVRange(view.length(), 0));
        view.insertText(QStringLiteral("x"));
        EXPECT_TRUE(view.string() == *usual + QStringLiteral("x"));
    }
}

// A UTF-8 file ending in a character cut after 1-3 bytes, or whole, at every offset around the
// blocks reads take (64 KiB, 1 MiB, and the direct load's 4 MiB): opened, edited at the top and
// saved, every other byte comes back; a cut one is read as not
// valid UTF-8 (in the fallback, which keeps any bytes), as a short one is.
TEST(LargeFile, EveryByteOfACutEndingComesBackWhateverTheBlocks) {
    TestDir dir;
    for (const qint64 boundary : {qint64(64) << 10, qint64(1) << 20, HTMLView::DirectLoadSize})
        for (qint64 end = boundary - 3; end <= boundary + 3; ++end)
            for (const QByteArray& ending : {QByteArray("\xF0"), QByteArray("\xF0\x9F"), QByteArray("\xF0\x9F\x98"),
                                            QByteArray("\xF0\x9F\x98\x80")}) {
                const QByteArray bytes = "<p>a</p>\n" + QByteArray(end - 9 - ending.size(), 'g') + ending;
                SCOPED_TRACE(std::to_string(bytes.size()) + " bytes ending " + ending.toHex().toStdString());
                const QString path = dir.write("cut.html", bytes);
                QVFileDocument doc(path);
                QVError error, notice;
                ASSERT_TRUE(doc.load(&error, &notice)) << error.localizedDescription().toStdString();
                EXPECT_EQ(doc.encoding(), ending.size() == 4 ? TextEncoding::UTF8 : TextEncoding::defaultCStringEncoding());
                EXPECT_EQ(notice.code() == FileEncodings::FallbackEncodingError, ending.size() < 4);
                doc.textView()->setSelectedRange(QVRange(0, 0));
                doc.textView()->undoableInsertText(QStringLiteral("X"), QStringLiteral("Typing"));
                ASSERT_TRUE(doc.save(&error)) << error.localizedDescription().toStdString();
                QFile saved(path);
                ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
                const QByteArray written = saved.readAll();
                EXPECT_TRUE(written == "X" + bytes) << written.size() << " bytes written";
            }
}

TEST(LargeFile, OpeningTakesAboutTheStoragesOwnMemory) {
    if (underSanitizer()) GTEST_SKIP() << "the peak would be the sanitizer's allocator's";
    TestDir dir;
    const qint64 size = 96 * 1024 * 1024;
    const QString small = dir.write("small.txt", "a\n");
    // Long lines, so that what each line costs (its index, its layout) stays small beside the text.
    const QByteArray line = QByteArray("<p>a line of markup, plain ASCII</p> ").repeated(20) + "\n";
    const QString large = dir.write("large.txt", line.repeated(int(size / line.size())));
    const qint64 base = peakOfLoading(small);
    const qint64 peak = peakOfLoading(large);
    ASSERT_GT(base, 0);
    ASSERT_GT(peak, 0);
    // The storage holds two bytes per character; the bytes, a whole decoded string and the
    // storage's copy at once took about five.
    EXPECT_LT(peak - base, 3 * size) << "peak " << peak / 1048576 << " MB over " << base / 1048576 << " MB";
}

TEST(LargeFile, OpeningAndColouringAPageTakesNoMoreThanTheQuestionSays) {
    if (underSanitizer()) GTEST_SKIP() << "the peak would be the sanitizer's allocator's";
    TestDir dir;
    const qint64 size = 24 * 1024 * 1024;
    const QString small = dir.write("small.html", "<p>a</p>\n");
    // Rows of markup as dense as a generated page's: a run of colour every few characters.
    QByteArray page;
    for (int row = 0; page.size() < size; ++row)
        page += "<div class=\"row\" id=\"r" + QByteArray::number(row) + "\"><a href=\"/page/" + QByteArray::number(row % 97) +
                ".html\">alpha &amp; beta</a> <span style=\"color: red\">item</span></div>\n";
    const QString large = dir.write("large.html", page);
    const qint64 base = peakOfLoading(small, true);
    const qint64 peak = peakOfLoading(large, true);
    ASSERT_GT(base, 0);
    ASSERT_GT(peak, 0);
    EXPECT_LT(peak - base, LargeFiles::memoryEstimate(page.size()))
        << "peak " << (peak - base) / 1048576 << " MB for " << page.size() / 1048576 << " MB of markup";
}

TEST(LargeFile, OpeningAsksFromTheSizeSet) {
    UserDefaults& defaults = UserDefaults::standard();
    const QString key = QString::fromLatin1(LargeFiles::SizeKey);
    defaults.removeObject(key);
    EXPECT_GT(LargeFiles::confirmationSize(), 64 * 1024 * 1024) << "a sixteenth of memory";
    EXPECT_FALSE(LargeFiles::needsConfirmation(1024));
    const struct {
        qint64 setting;
        qint64 fileSize;
        bool asks;
    } cases[] = {{1, 1024 * 1024, true}, {1, 1024 * 1024 - 1, false}, {0, qint64(1) << 40, false}, {2048, qint64(3) << 30, true}};
    for (const auto& c : cases) {
        defaults.setInteger(c.setting, key);
        EXPECT_EQ(LargeFiles::needsConfirmation(c.fileSize), c.asks) << c.setting << " " << c.fileSize;
    }
    defaults.removeObject(key);
    const QString question = LargeFiles::question("/tmp/huge.log", qint64(3) << 30);
    EXPECT_TRUE(question.contains("huge.log"));
    EXPECT_TRUE(question.contains(QLocale().formattedDataSize(LargeFiles::memoryEstimate(qint64(3) << 30)))) << question.toStdString();

    // Replace All's figure is the one its encoding takes: UTF-8 and single-byte files are held
    // alike, the others the general way.
    TestDir dir;
    const struct {
        const char* name;
        QByteArray bytes;
        int times;
    } files[] = {{"plain.log", "ERROR\n", 3},
                 {"latin1.html", "<meta charset=\"iso-8859-1\">\ncaf\xE9\n", 3},
                 {"undeclared.log", "caf\xE9\n", 3},
                 {"sjis.html", "<meta charset=\"Shift_JIS\">\n\x93\xfa\n", 6},
                 {"wide.txt", QByteArray("\xFF\xFE" "a\0\n\0", 6), 6}};
    for (const auto& f : files) {
        const qint64 size = qint64(300) << 20;
        const QString said = LargeFiles::replaceQuestion(dir.write(f.name, f.bytes), size);
        EXPECT_TRUE(said.contains(QLocale().formattedDataSize(size * f.times))) << f.name << ": " << said.toStdString();
    }
    // Asked before the question shows, on the main thread: a file of one long line (a minified
    // bundle, a log without breaks) is not read to its end to find its lines.
    const auto readSoFar = [] {
        QFile io(QStringLiteral("/proc/self/io"));
        if (!io.open(QIODevice::ReadOnly)) return qint64(-1);
        const QByteArray all = io.readAll();
        const qsizetype at = all.indexOf("rchar: ");
        return at < 0 ? qint64(-1) : all.mid(at + 7, all.indexOf('\n', at) - at - 7).toLongLong();
    };
    const qint64 lineSize = qint64(48) << 20;
    const QString oneLine = dir.write("bundle.html", "<meta charset=\"iso-8859-1\"><p>" + QByteArray(lineSize, 'a'));
    const qint64 before = readSoFar();
    const QString said = LargeFiles::replaceQuestion(oneLine, lineSize);
    const qint64 read = readSoFar() - before;
    ASSERT_GE(before, 0) << "no /proc/self/io";
    EXPECT_LT(read, lineSize / 8) << read << " bytes read for the question";
    EXPECT_TRUE(said.contains(QLocale().formattedDataSize(lineSize * 3))) << said.toStdString();
}
