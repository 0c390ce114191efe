// Result context lines, and searches over an editor's text and over files.
#include "shell/QVSearch.h"
#include "shell/QVSearchResult.h"

#include "platform/MainQueue.h"
#include "tests/support/TestSupport.h"

#include <QFont>
#include <QTextCharFormat>

#include <gtest/gtest.h>

#include "shell/FileEncodings.h"

#include <atomic>
#include <thread>

#include <sys/stat.h>

namespace {

class FakeEditor : public QVFullTextSource {
public:
    explicit FakeEditor(QString text) : _text(std::move(text)) {}
    void fillStringWithFullString(QString& string) const override {
        ++fills;
        onMainThread = MainQueue::isMainThread();
        string = _text;
    }
    mutable int fills = 0;
    mutable bool onMainThread = false;

private:
    QString _text;
};

}  // namespace

TEST(QVSearchResult, ContextLine) {
    struct Case {
        const char* name;
        QString text;
        QVRange match;
        QString context;
        QVRange emphasis;
    };
    const QString longLine = QString(100, u'x');
    const Case cases[] = {
        {"stops at the line break after", "hello world\nsecond line", {6, 5}, "hello world", {6, 5}},
        {"last line", "first\nlast line here", {11, 4}, "last line here", {5, 4}},
        {"middle line with CRLF", "one\r\ntwo three\r\nfour", {9, 5}, "two three", {4, 5}},
        {"CR line breaks", "a\rbbb ccc\rd", {6, 3}, "bbb ccc", {4, 3}},
        {"match at the very start", "abc\ndef", {0, 1}, "abc", {0, 1}},
        {"match at the very end", "abc\ndef", {6, 1}, "def", {2, 1}},
        {"whole single line", "abc", {0, 3}, "abc", {0, 3}},
        {"empty match", "ab\ncd", {4, 0}, "cd", {1, 0}},
        {"near the start without a break", "0123456789abc", {10, 3}, "0123456789abc", {10, 3}},
        {"reach before a long line", longLine + "MATCH" + longLine, {100, 5},
         longLine.right(40) + "MATCH" + longLine.left(40), {40, 5}},
        {"break just before the match", "abc\nMATCH", {4, 5}, "MATCH", {0, 5}},
        {"break just after the match", "MATCH\nabc", {0, 5}, "MATCH", {0, 5}},
        {"match spanning lines stays whole", "ab\ncd\nef", {1, 3}, "ab\ncd", {1, 3}},
        {"no split surrogate before", u"😀"_qs + QString(39, u'y') + "M", {41, 1}, QString(39, u'y') + "M", {39, 1}},
        {"no split surrogate after", "M" + QString(39, u'y') + u"😀z"_qs, {0, 1}, "M" + QString(39, u'y'), {0, 1}},
        {"range outside the text", "abc", {2, 5}, "", {0, 0}},
    };
    for (const Case& c : cases) {
        const QVSearchResult result(c.match, c.text);
        EXPECT_EQ(result.range(), c.match) << c.name;
        EXPECT_EQ(result.attributedString().string.toStdString(), c.context.toStdString()) << c.name;
        EXPECT_EQ(result.attributedString().emphasis, c.emphasis) << c.name;
    }
}

TEST(QVSearchResult, ResultsOfAFindCarryTheirContext) {
    const QVSearch search = QVSearch::withExpressionString("b\\w+", true);
    const QList<QVSearchResult> results = search.findAllForString("a bee\r\nc bat", true);
    ASSERT_EQ(results.size(), 2);
    EXPECT_EQ(results[0].attributedString().string, "a bee");
    EXPECT_EQ(results[1].attributedString().string, "c bat");
    EXPECT_EQ(results[1].attributedString().emphasis, QVRange(2, 3));
    EXPECT_EQ(results[1].range(), QVRange(9, 3));
}

TEST(QVSearchResult, FormatsEmphasiseTheMatch) {
    QVSearchResult::AttributedString context{"say hello there", QVRange(4, 5)};
    const auto formats = context.formats();
    ASSERT_EQ(formats.size(), 3);
    EXPECT_EQ(formats[0].start, 0);
    EXPECT_EQ(formats[0].length, 4);
    EXPECT_EQ(formats[1].start, 4);
    EXPECT_EQ(formats[1].length, 5);
    EXPECT_EQ(formats[2].start, 9);
    EXPECT_EQ(formats[2].length, 6);
    EXPECT_EQ(formats[0].format.foreground().color(), QColor::fromRgbF(0.4f, 0.4f, 0.4f, 1.0f));
    EXPECT_EQ(formats[1].format.foreground().color(), QColor(Qt::black));
    EXPECT_TRUE(formats[1].format.font().bold());
    EXPECT_EQ(formats[1].format.font().pointSizeF(), 12.0);
    EXPECT_FALSE(formats[0].format.font().bold());

    // A match at the start and running to the end leaves no plain part.
    const auto whole = QVSearchResult::AttributedString{"abc", QVRange(0, 3)}.formats();
    ASSERT_EQ(whole.size(), 1);
    EXPECT_TRUE(whole[0].format.font().bold());
}

TEST(QVSearchResult, ParentIsAWeakBackReference) {
    QVSearchResult result(QVRange(0, 1), "a");
    EXPECT_FALSE(result.parent());
    auto node = std::make_shared<QString>("node");
    result.setParent(node);
    EXPECT_EQ(result.parentAs<QString>().get(), node.get());
    const QVSearchResult copy = result;
    node.reset();
    EXPECT_FALSE(result.parent());
    EXPECT_FALSE(copy.parent());
}

TEST(QVSearch, FindAllForTextView) {
    const QVSearch search = QVSearch::withSearchString("needle");
    auto editor = std::make_unique<FakeEditor>("hay needle hay\nNEEDLE");

    // On the main thread the text is read at once.
    auto results = search.findAllForTextView(editor->handle(), true);
    ASSERT_EQ(results.size(), 2);
    EXPECT_EQ(results[1].range(), QVRange(15, 6));
    EXPECT_EQ(results[1].attributedString().string, "NEEDLE");
    EXPECT_TRUE(editor->onMainThread);

    // From a worker the text is read on the main thread while the worker waits.
    editor->onMainThread = false;
    std::atomic<bool> done = false;
    QList<QVSearchResult> fromWorker;
    std::thread worker([&] {
        fromWorker = search.findAllForTextView(editor->handle(), false);
        done = true;
    });
    EXPECT_TRUE(MainQueue::runUntil([&] { return done.load(); }, std::chrono::seconds(10)));
    worker.join();
    EXPECT_EQ(fromWorker.size(), 2);
    EXPECT_TRUE(editor->onMainThread);
    EXPECT_EQ(editor->fills, 2);

    // A view that went away before its text was read gives no matches, and no crash.
    const QVFullTextSource::Handle handle = editor->handle();
    editor.reset();
    EXPECT_TRUE(search.findAllForTextView(handle, true).isEmpty());
    EXPECT_TRUE(search.findAllForTextView(QVFullTextSource::Handle(), true).isEmpty());
    // Nothing to search for: the view is not even asked.
    FakeEditor other("needle");
    EXPECT_TRUE(QVSearch().findAllForTextView(other.handle(), true).isEmpty());
    EXPECT_EQ(other.fills, 0);
}

TEST(QVSearch, FindAllForPath) {
    TestDir dir;
    const QString utf8 = dir.write("page.html", QString(u"<p>café</p>\n<p>CAFÉ crème</p>\n"_qs).toUtf8());
    const QVSearch search = QVSearch::withSearchString(u"café"_qs);

    QVStringEncoding encoding = 0;
    auto results = search.findAllForPath(utf8, &encoding, true);
    ASSERT_EQ(results.size(), 2);
    EXPECT_EQ(results[0].range(), QVRange(3, 4));  // UTF-16 offsets, not bytes
    EXPECT_EQ(results[1].range(), QVRange(15, 4));
    EXPECT_EQ(results[1].attributedString().string, u"<p>CAFÉ crème</p>"_qs);
    EXPECT_EQ(encoding, TextEncoding::UTF8);

    // A declared single-byte encoding is honoured.
    const QString latin1 = dir.write("old.html", QByteArray("<meta charset=\"iso-8859-1\">\ncaf\xe9 caf\xe9\n"));
    encoding = 0;
    results = search.findAllForPath(latin1, &encoding, false);
    ASSERT_EQ(results.size(), 2);
    EXPECT_EQ(results[1].range(), QVRange(33, 4));
    EXPECT_EQ(encoding, TextEncoding::ISOLatin1);

    encoding = 0;
    EXPECT_TRUE(search.findAllForPath(dir.file("missing.html"), &encoding, true).isEmpty());
    EXPECT_TRUE(search.findAllForPath(dir.path(), nullptr, true).isEmpty());
    EXPECT_TRUE(QVSearch().findAllForPath(utf8, nullptr, true).isEmpty());
    EXPECT_EQ(QVSearch::withExpressionString("caf.", false).findAllForPath(utf8, nullptr, false).size(), 2);
}

TEST(QVSearch, FindAllForPathAgreesWithTheDecodedText) {
    // Files the literal fast path must not rule out wrongly: whatever the encoding, a file search
    // finds exactly what a search of the decoded text finds.
    struct Case {
        const char* name;
        const char* file;
        QByteArray bytes;
        QString literal;
        bool caseSensitive;
        qsizetype expected;
    };
    QByteArray utf16 = "\xff\xfe";
    for (QChar c : QStringLiteral("<p>Needle needle</p>"))
        utf16 += char(c.unicode() & 0xff), utf16 += char(c.unicode() >> 8);
    const Case cases[] = {
        {"UTF-16 with a byte-order mark", "wide.txt", utf16, "needle", false, 2},
        {"UTF-16, case-sensitive", "wide2.txt", utf16, "Needle", true, 1},
        {"Kelvin sign folds to k", "kelvin.html", QString(u"<p>\u212Aelvin</p>"_qs).toUtf8(), "kelvin", false, 1},
        {"long s folds to s", "longs.html", QString(u"<p>\u017Fun</p>"_qs).toUtf8(), "SUN", false, 1},
        {"ASCII caseless in Latin-1", "old.iso-8859-1.html", QByteArray("caf\xe9 CAF\xe9 Caf"), "caf", false, 3},
        {"non-ASCII literal in Latin-1", "old.iso-8859-1.txt", QByteArray("caf\xe9 CAF\xc9"), u"café"_qs, false, 2},
        {"no match at all", "plain.css", QByteArray("a { color: red; }"), "blue", false, 0},
        {"case-sensitive miss", "plain2.css", QByteArray("a { COLOR: red; }"), "color", true, 0},
        {"line breaks in the literal", "lines.txt", QByteArray("a\r\nb a\nb"), "a\r\nb", true, 1},
        {"invalid UTF-8 read in the fallback", "broken.txt", QByteArray("ok \xff\xfe ok"), "OK", false, 2},
        // Files are ruled out in chunks of 64 KiB: what lies across or past a chunk's end.
        {"literal across a chunk's end", "across.js", QByteArray(65533, 'x') + "needle", "needle", true, 1},
        {"caseless across a chunk's end", "across2.js", QByteArray(65531, 'x') + "NeEdLe", "needle", false, 1},
        {"file of exactly one chunk", "one.js", QByteArray(65530, 'x') + "needle", "needle", true, 1},
        {"file one byte short of a chunk", "short.js", QByteArray(65529, 'x') + "needle", "needle", true, 1},
        {"miss in a long file", "long.js", QByteArray(200000, 'n') + "needl", "needle", true, 0},
        {"Kelvin sign in a later chunk", "kelvin2.html", QByteArray(70000, ' ') + QString(u"\u212Aelvin"_qs).toUtf8(), "kelvin", false, 1},
    };
    TestDir dir;
    for (const Case& c : cases) {
        const QString path = dir.write(c.file, c.bytes);
        QVSearch search = QVSearch::withSearchString(c.literal);
        search.setCaseSensitive(c.caseSensitive);
        QVStringEncoding encoding = 0;
        const std::optional<QString> text = FileEncodings::createWithContentsOfFile(path, &encoding);
        ASSERT_TRUE(text) << c.name;
        EXPECT_EQ(search.findAllForString(*text, false).size(), c.expected) << c.name;
        encoding = 0;
        EXPECT_EQ(search.findAllForPath(path, &encoding, false).size(), c.expected) << c.name;
    }

    // Bare ranges of a pattern or a literal found over the bytes are the decoded text's, in UTF-16
    // units.
    const QString mixed = dir.write("mixed.html", QString(u"a\u00e9b \u65e5\U0001F600x\n\u00e9\u00e9 aaaB\nx"_qs).repeated(5).toUtf8());
    const std::optional<QString> text = FileEncodings::createWithContentsOfFile(mixed, nullptr);
    ASSERT_TRUE(text);
    QList<QVSearch> searches;
    for (const char* pattern : {"\u00e9+|\U0001F600", "b\\s", "x*", "[^a]", "(?m)^", ".$", "aB", "b \\S"})
        searches << QVSearch::withExpressionString(QString::fromUtf8(pattern), true);
    for (const char* literal : {"aB", "B\nx", "aa"}) {
        searches << QVSearch::withSearchString(QString::fromUtf8(literal));
        searches.last().setCaseSensitive(true);
        searches << QVSearch::withSearchString(QString::fromUtf8(literal).toUpper());
    }
    for (const QVSearch& search : searches) {
        QList<QVRange> expected, actual;
        for (const QVSearchResult& r : search.findAllForString(*text, false)) expected << r.range();
        for (const QVSearchResult& r : search.findAllForPath(mixed, nullptr, false)) actual << r.range();
        EXPECT_FALSE(expected.isEmpty()) << search.searchString().toStdString();
        EXPECT_EQ(actual, expected) << search.searchString().toStdString();
    }

    // Bytes that are not UTF-8 before the matches (overlong forms, surrogates, characters past
    // U+10FFFF, cut sequences, stray continuation bytes), and characters of two to four bytes,
    // at the file's start, across the ends of blocks of 16, 32 and 64 bytes and at its end: the
    // places are the decoded text's.
    for (const QByteArray& odd : {QByteArray("\xC0\xAF"), QByteArray("\xE0\x80\xAF"), QByteArray("\xED\xA0\x80"),
                                  QByteArray("\xF0\x80\x80\xAF"), QByteArray("\xF4\x90\x80\x80"), QByteArray("\xF5\x80\x80\x80"),
                                  QByteArray("\xE2\x82"), QByteArray("\x80\x80"), QByteArray("\xC2\x41"), QByteArray("\xFF"),
                                  QByteArray("\xF0\x9F\x98"), QByteArray("\xC3\xA9"), QByteArray("\xE2\x82\xAC"),
                                  QByteArray("\xF0\x9F\x98\x80"), QByteArray("\xF4\x8F\xBF\xBF"), QByteArray("\xED\x9F\xBF")}) {
        for (const int pad : {0, 13, 29, 30, 31, 32, 62, 63}) {
            const QByteArray before = QByteArray(pad, 'y') + odd + " aB\n" + QByteArray(40, 'y') + "aB";
            for (const QByteArray& bytes : {before, QByteArray("aB") + QByteArray(pad, 'y') + odd}) {
                const QString path = dir.write("odd.txt", bytes);
                const std::optional<QString> decoded = FileEncodings::createWithContentsOfFile(path, nullptr);
                ASSERT_TRUE(decoded);
                QVSearch literal = QVSearch::withSearchString(QStringLiteral("aB"));
                literal.setCaseSensitive(true);
                QList<QVRange> expected, actual;
                for (const QVSearchResult& r : literal.findAllForString(*decoded, false)) expected << r.range();
                for (const QVSearchResult& r : literal.findAllForPath(path, nullptr, false)) actual << r.range();
                EXPECT_EQ(expected.size(), bytes == before ? 2 : 1) << odd.toHex().toStdString() << " " << pad;
                EXPECT_EQ(actual, expected) << odd.toHex().toStdString() << " " << pad;
            }
        }
    }

    // A pipe is not read (and not waited on).
    const QString fifo = dir.file("pipe");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    EXPECT_TRUE(QVSearch::withSearchString("x").findAllForPath(fifo, nullptr, false).isEmpty());
}

TEST(QVSearch, ACaselessLiteralWithAFoldingLetterDecodesOnlyFilesHoldingAFoldingCharacter) {
    // "s" and "k" match the long s and the Kelvin sign without case: a UTF-8 file holding other
    // characters beyond ASCII is counted on its bytes, one holding those is decoded, and both
    // count what a search of the decoded text counts.
    const struct {
        const char* file;
        QString text;
        bool decoded;
    } cases[] = {
        {"accents.html", u"caf\u00e9 Kiss, \u65e5 KISS kiss\n"_qs, false},
        {"long-s.html", u"caf\u00e9 \u017fkis kiss\n"_qs, true},
        {"kelvin.html", u"\u212Aiss and kiss\n"_qs, true},
        {"ascii.html", u"no such word\n"_qs, false},
    };
    TestDir dir;
    for (const auto& c : cases) {
        const QString path = dir.write(c.file, c.text.toUtf8());
        for (const char* literal : {"kiss", "SKI"}) {
            SCOPED_TRACE(std::string(c.file) + " " + literal);
            const QVSearch search = QVSearch::withSearchString(QString::fromLatin1(literal));
            QList<QVRange> expected, actual;
            for (const QVSearchResult& r : search.findAllForString(c.text, false)) expected << r.range();
            const quint64 before = QVSearch::bytesDecoded();
            for (const QVSearchResult& r : search.findAllForPath(path, nullptr, false)) actual << r.range();
            EXPECT_EQ(actual, expected);
            EXPECT_EQ(QVSearch::bytesDecoded() != before, c.decoded);
        }
        // A case-sensitive literal has nothing folding into it: the bytes are not looked through
        // for such characters.
        QVSearch exact = QVSearch::withSearchString(QStringLiteral("kiss"));
        exact.setCaseSensitive(true);
        const quint64 scanned = QVSearch::bytesScannedForFolds();
        exact.findAllForPath(path, nullptr, false);
        EXPECT_EQ(QVSearch::bytesScannedForFolds(), scanned) << c.file;
    }
}

TEST(QVSearch, BinaryFilesAreToldByTheirFirstBlockAndNeverDecoded) {
    // A NUL in the first block makes a file binary unless a UTF-16 mark explains it; a binary
    // file is read no further and decoded not at all, and every text file finds what it found.
    QByteArray wide = "\xff\xfe";
    for (QChar c : QStringLiteral("a needle, caf\u00e9"))
        wide += char(c.unicode() & 0xff), wide += char(c.unicode() >> 8);
    const QByteArray gzip = QByteArray("\x1f\x8b\x08\x00\x00\x00\x00\x00", 8) + "needle" + QByteArray(200000, 'z');
    const struct {
        const char* file;
        QByteArray bytes;
        bool binary;
        qsizetype expected;  // matches of "needle" when searched as text
    } cases[] = {
        {"plain", "needle and needle", false, 2},
        {"page.html", QString(u"<p>caf\u00e9 needle</p>"_qs).toUtf8(), false, 1},
        {"old.iso-8859-1.txt", "caf\xe9 needle", false, 1},
        {"wide.txt", wide, false, 1},
        {"archive.gz", gzip, true, 0},
        {"nul-late", QByteArray(70000, 'a') + QByteArray("\0 needle", 8), false, 1},
        {"image", QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rneedle", 19), true, 0},
    };
    TestDir dir;
    const QList<QVSearch> searches = {QVSearch::withSearchString("needle"), QVSearch::withExpressionString("ne+dle", true)};
    for (const auto& c : cases) {
        const QString path = dir.write(c.file, c.bytes);
        for (const QVSearch& search : searches) {
            SCOPED_TRACE(std::string(c.file) + " " + search.searchString().toStdString());
            bool binary = true;
            const quint64 decoded = QVSearch::bytesDecoded();
            const qsizetype found = search.findAllForPath(path, nullptr, true, nullptr, &binary).size();
            EXPECT_EQ(binary, c.binary);
            if (c.binary) {
                EXPECT_EQ(found, 0);
                EXPECT_EQ(QVSearch::bytesDecoded(), decoded);
            } else {
                EXPECT_EQ(found, c.expected);
                EXPECT_EQ(search.findAllForPath(path, nullptr, true).size(), found);
            }
        }
    }
}

TEST(QVSearch, ALiteralGoesOverTheBytesOfAFileOnceAsItReadsThem) {
    // Bytes read from the file, and bytes gone over again once read: a file read once, a large one
    // not read again from its start when it holds a match, and only bytes beyond ASCII make the
    // bytes be gone over once more, to check them as UTF-8 and count the units of the matches.
    const QByteArray filler(200000, 'x');
    const struct {
        const char* file;
        QByteArray bytes;
        qsizetype expected;
        bool passedAgain;
    } cases[] = {
        {"ascii.js", "needle " + filler + " needle", 2, false},
        {"none.js", filler, 0, false},
        {"accent.html", "needle \xC3\xA9 " + filler + "needle", 2, true},
        {"latin1.txt", "needle \xE9 " + filler, 1, true},
        {"binary.gz", QByteArray("\x1f\x8b\0\0needle", 10) + filler, 0, false},
    };
    TestDir dir;
    const QVSearch search = QVSearch::withSearchString(QStringLiteral("NEEDLE"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const QString path = dir.write(c.file, c.bytes);
        const quint64 read = QVSearch::bytesRead(), again = QVSearch::bytesPassedAgain();
        bool binary = false;
        const bool skipBinary = QByteArray(c.file).endsWith(".gz");
        EXPECT_EQ(search.findAllForPath(path, nullptr, false, nullptr, skipBinary ? &binary : nullptr).size(), c.expected);
        // A binary file is read no further than its first block.
        EXPECT_EQ(QVSearch::bytesRead() - read, binary ? quint64(64 * 1024) : quint64(c.bytes.size()));
        const quint64 passed = QVSearch::bytesPassedAgain() - again;
        if (c.passedAgain) {
            EXPECT_GE(passed, quint64(c.bytes.size()));
            EXPECT_LE(passed, quint64(c.bytes.size()) + 16);
        } else {
            EXPECT_EQ(passed, 0u);
        }
    }
}
