// File documents: bytes that come back as they were, saves that say what they lost, and
// reverts and reopens that fail without touching anything.
#include "editor/QVFileDocument.h"

#include "editor/HTMLView.h"
#include "editor/HTMLViewDelegate.h"
#include "files/QVRootFile.h"
#include "platform/Process.h"
#include "platform/QVTextStorage.h"
#include "shell/FileEncodings.h"
#include "tests/files/FilesTestSupport.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <gtest/gtest.h>

#include <sys/xattr.h>

namespace {

void type(HTMLView& view, const QString& text) {
    view.setSelectedRange(QVRange(view.length(), 0));
    view.undoableInsertText(text, QStringLiteral("Typing"));
}

// A page with codes its encoding reads one way saves in it with their standard codes (EUC-JP's
// through its table's fallbacks, which no question blames on the user's typing); the first save
// says so and the next does not. Characters the user typed that do not fit still ask.
TEST(QVFileDocument, OneWayCodesSaveAsStandardCodesAndTheFirstSaveSaysSo) {
    const struct {
        const char* name;
        QByteArray bytes, saved;  // saved: after 日本 typed at the end
    } cases[] = {
        {"ibm.shift_jis.txt", "\x83\x81 \xfa\x4a\xed\x40\n", "\x83\x81 \x87\x54\xfa\x5c\n\x93\xfa\x96\x7b"},
        {"ibm.euc-jp.txt", "\xa5\xe1 \x8e\xe0\x8f\xa2\xc3\n", "\xa5\xe1 \xa1\xf1\xfc\xfc\n\xc6\xfc\xcb\xdc"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestDir dir;
        const QString path = dir.write(QString::fromLatin1(c.name), c.bytes);
        QVFileDocument doc(path);
        QVError error, notice, warning;
        ASSERT_TRUE(doc.load(&error, &notice));
        EXPECT_EQ(notice.code(), FileEncodings::ReadNotice);
        type(*doc.textView(), QStringLiteral("\u65e5\u672c"));
        ASSERT_TRUE(doc.save(&error, &warning)) << error.localizedDescription().toStdString();
        EXPECT_EQ(readAll(path), c.saved);
        EXPECT_EQ(warning.code(), FileEncodings::ReadNotice);
        EXPECT_TRUE(warning.isLowPriority());
        EXPECT_EQ(doc.encodingNotice(), QString());
        type(*doc.textView(), QStringLiteral("\u20ac"));
        warning = {};
        EXPECT_FALSE(doc.save(&error, &warning));
        EXPECT_EQ(error.code(), QVFileDocument::EncodingCannotHoldTextQuestion);
        EXPECT_TRUE(error.localizedRecoverySuggestion().contains(QStringLiteral("\u201c\u20ac\u201d"))) << error.localizedRecoverySuggestion().toStdString();
        doc.textView()->undo();
        ASSERT_TRUE(doc.save(&error, &warning)) << error.localizedDescription().toStdString();
        EXPECT_FALSE(warning) << warning.localizedDescription().toStdString();
        EXPECT_EQ(readAll(path), c.saved);
    }
}

// "Save as UTF-8" makes every declaration of the page name UTF-8 in one undo step: an XML
// prolog and a content-type meta together, a style sheet's @charset.
TEST(QVFileDocument, SavingInAnotherEncodingChangesTheDeclarationsInOneStep) {
    const struct {
        const char* name;
        QByteArray bytes;
        const char* saved;  // UTF-8, after 日本 typed at the end
    } cases[] = {
        {"page.xhtml", "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>\n<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=ISO-8859-1\" /></head>caf\xe9\n",
         "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=UTF-8\" /></head>caf\u00e9\n\u65e5\u672c"},
        {"style.iso-8859-1.css", "@charset \"iso-8859-1\";\np::before { content: \"\xa7\" }\n", "@charset \"utf-8\";\np::before { content: \"\u00a7\" }\n\u65e5\u672c"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestDir dir;
        const QString path = dir.write(QString::fromLatin1(c.name), c.bytes);
        QVFileDocument doc(path);
        ASSERT_TRUE(doc.load());
        ASSERT_EQ(doc.encoding(), TextEncoding::ISOLatin1);
        const QString before = doc.textView()->fullString();
        type(*doc.textView(), QStringLiteral("\u65e5\u672c"));
        QVError question;
        ASSERT_FALSE(doc.save(&question));
        ASSERT_EQ(question.code(), QVFileDocument::EncodingCannotHoldTextQuestion);
        bool saved = false;
        doc.attemptRecovery(question, 0, [&](bool ok) { saved = ok; });
        EXPECT_TRUE(saved);
        EXPECT_EQ(readAll(path), QByteArray(c.saved));
        EXPECT_EQ(doc.textView()->fullString(), QString::fromUtf8(c.saved));
        doc.textView()->undo();
        EXPECT_EQ(doc.textView()->fullString(), before + QStringLiteral("\u65e5\u672c"));
    }
}

// A page read in the fallback encoding shows its bytes, not its text: a save that cannot keep
// what was typed asks with reopening first and converting last, reopening it edited offers to
// discard first, and a conversion the user does choose leaves the declaration the text was not
// read by as the file had it. (The answers through the window: EncodingScenario.)
TEST(QVFileDocument, AMisreadPageIsNeverConvertedUnasked) {
    const QString typed = QStringLiteral("\u65e5\u672c");
    const struct {
        QByteArray bytes;
        const char* declared;  // the encoding the question names, as the menu names it
    } cases[] = {
        {"<html><head><meta charset=\"utf-8\"></head>\n<body>caf\xe9</body></html>\n", "Unicode (UTF-8)"},
        {"<?xml version=\"1.0\" encoding=\"us-ascii\"?>\n<p>\xa9 2024</p>\n", "Western (ASCII)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.declared);
        TestDir dir;
        const QString path = dir.write(QStringLiteral("page.html"), c.bytes);
        QVFileDocument doc(path);
        QVError error, notice;
        ASSERT_TRUE(doc.load(&error, &notice));
        ASSERT_EQ(notice.code(), FileEncodings::FallbackEncodingError);
        const QString misread = doc.textView()->fullString();
        type(*doc.textView(), typed);
        EXPECT_FALSE(doc.save(&error));
        EXPECT_EQ(error.code(), QVFileDocument::MisreadTextCannotBeSavedQuestion);
        EXPECT_EQ(error.localizedRecoveryOptions(),
                  (QStringList{QStringLiteral("Reopen with Encoding\u2026"), QStringLiteral("Cancel"), QStringLiteral("Save as UTF-8")}));
        EXPECT_TRUE(error.localizedRecoverySuggestion().contains(QStringLiteral("not valid in %1").arg(QString::fromUtf8(c.declared))))
            << error.localizedRecoverySuggestion().toStdString();
        EXPECT_EQ(readAll(path), c.bytes);
        QVError reopen;
        EXPECT_FALSE(doc.reopenUsingEncoding(TextEncoding::ISOLatin1, &reopen));
        EXPECT_EQ(reopen.localizedRecoveryOptions(),
                  (QStringList{QStringLiteral("Discard Changes"), QStringLiteral("Cancel"), QStringLiteral("Save Changes")}));
        // Asked for, the misreading is written in UTF-8; the declaration stays the file's.
        bool saved = false;
        doc.attemptRecovery(error, 2, [&](bool ok) { saved = ok; });
        EXPECT_TRUE(saved);
        EXPECT_EQ(readAll(path), (misread + typed).toUtf8());
        EXPECT_EQ(doc.encoding(), TextEncoding::UTF8);
    }
}

TEST(QVFileDocument, UneditedFilesSaveByteForByteAndNewLinesTakeTheFilesBreak) {
    struct Case {
        const char* name;
        QByteArray bytes;
        QVStringEncoding encoding;
        const char* typedBreak;  // what a typed new line writes
        bool notice;             // read in the fallback encoding
    };
    const Case cases[] = {
        {"lf.html", "<p>a</p>\n<p>b</p>\n", TextEncoding::UTF8, "\n", false},
        {"crlf.html", "<p>caf\xc3\xa9</p>\r\n\r\n", TextEncoding::UTF8, "\r\n", false},
        {"cr.txt", "one\rtwo\r", TextEncoding::UTF8, "\r", false},
        {"mixed.php", "a\r\nb\nc\rd\n\r", TextEncoding::UTF8, "\r\n", false},
        {"nobreak.css", "p{}", TextEncoding::UTF8, "\n", false},
        {"latin.iso-8859-1.txt", "caf\xe9\r\n", TextEncoding::ISOLatin1, "\r\n", false},
        {"bom.txt", QByteArray("\xff\xfe" "a\0\r\0\n\0", 8), TextEncoding::UTF16, "\r\n", false},
        {"bebom.txt", QByteArray("\xfe\xff" "\0a\0\n", 6), TextEncoding::UTF16, "\n", false},
        {"be.utf-16.txt", QByteArray("\0a\0\r\0\n", 6), TextEncoding::UTF16, "\r\n", false},
        {"bad.html", "caf\xe9 \xff\x80\n", TextEncoding::MacOSRoman, "\n", true},
        {"binary.dat", QByteArray("\0\x01\x02\xfe\r\n\0", 7), TextEncoding::MacOSRoman, "\r\n", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestDir dir;
        const QString path = dir.write(QString::fromLatin1(c.name), c.bytes);
        QVFileDocument doc(path);
        QVError error, notice;
        ASSERT_TRUE(doc.load(&error, &notice)) << error.localizedDescription().toStdString();
        EXPECT_EQ(doc.encoding(), c.encoding);
        EXPECT_EQ(notice.code() == FileEncodings::FallbackEncodingError, c.notice);
        if (c.notice) {
            EXPECT_TRUE(notice.localizedDescription().contains(QStringLiteral("Western (Mac OS Roman)")));
        }
        EXPECT_FALSE(doc.isDocumentEdited());
        ASSERT_TRUE(doc.save(&error)) << error.localizedDescription().toStdString();
        EXPECT_EQ(readAll(path), c.bytes);

        doc.textView()->setSelectedRange(QVRange(doc.textView()->length(), 0));
        doc.textView()->insertNewline();
        doc.textView()->undoManager().closeEventGroup();
        EXPECT_TRUE(doc.isDocumentEdited());
        QVError warning;
        ASSERT_TRUE(doc.save(&error, &warning));
        EXPECT_FALSE(warning) << warning.localizedRecoverySuggestion().toStdString();
        EXPECT_FALSE(doc.isDocumentEdited());
        QVStringEncoding used = c.encoding;
        const QByteArray typed = *FileEncodings::dataUsingEncoding(QString::fromLatin1(c.typedBreak), &used);
        QByteArray typedAsStored = c.encoding == TextEncoding::UTF16 ? typed.mid(2) : typed;
        if (c.encoding == TextEncoding::UTF16 && !c.bytes.startsWith("\xff\xfe"))  // big-endian
            for (qsizetype i = 0; i + 1 < typedAsStored.size(); i += 2) std::swap(typedAsStored[i], typedAsStored[i + 1]);
        const QByteArray expected = c.bytes + typedAsStored;
        EXPECT_EQ(readAll(path), expected);
    }
}

// A file with a byte-order mark and one without, in each encoding, edited at the start (Ctrl+Home,
// then a key), in the middle or at the end, saves as python's codecs write the edited text after
// the mark it had: the mark is the file's, never a character typed around. Reopened in Latin-1,
// a UTF-8 mark is three characters of the text, saved back as they were.
TEST(QVFileDocument, EveryEncodingWithAndWithoutAMarkSavesEditsAsPythonWritesThem) {
    const QString text = QString::fromUtf8("caf\xc3\xa9\r\n\xc3\x9c" "ber\r\nend");
    struct Encoding {
        const char* name;
        const char* file;
        const char* codec;
        QByteArray mark;
    };
    const Encoding encodings[] = {
        {"UTF-8", "page.html", "utf-8", ""},
        {"UTF-8 with a mark", "page.html", "utf-8", "\xEF\xBB\xBF"},
        {"UTF-16 little-endian with a mark", "page.txt", "utf-16-le", "\xFF\xFE"},
        {"UTF-16 big-endian with a mark", "page.txt", "utf-16-be", "\xFE\xFF"},
        {"UTF-16 big-endian without one", "page.utf-16.txt", "utf-16-be", ""},
        {"Latin-1", "page.iso-8859-1.txt", "latin-1", ""},
    };
    const auto python = [](const char* codec, const QString& written) {
        const ProcessResult encoded = Process::run(
            QStringLiteral("/usr/bin/python3"),
            {"-c", QStringLiteral("import sys; sys.stdout.buffer.write(sys.stdin.buffer.read().decode('utf-8').encode('%1'))").arg(QLatin1String(codec))},
            ProcessOptions{written.toUtf8()});
        EXPECT_TRUE(encoded.succeeded());
        return encoded.standardOutput;
    };
    for (const Encoding& e : encodings) {
        for (const qint64 at : {qint64(0), qint64(6), text.size()}) {
            SCOPED_TRACE(std::string(e.name) + " at " + std::to_string(at));
            TestDir dir;
            const QString path = dir.write(QString::fromLatin1(e.file), e.mark + python(e.codec, text));
            QVFileDocument doc(path);
            ASSERT_TRUE(doc.load());
            HTMLView& view = *doc.textView();
            EXPECT_TRUE(view.string() == text);
            view.setSelectedRange(QVRange(at, 0));
            if (at == 0) QTest::keyClick(&view, Qt::Key_Home, Qt::ControlModifier);
            QTest::keyClicks(&view, QStringLiteral("A"));
            QVError error;
            ASSERT_TRUE(doc.save(&error)) << error.localizedDescription().toStdString();
            EXPECT_EQ(readAll(path).toHex(' ').toStdString(), (e.mark + python(e.codec, QString(text).insert(at, u'A'))).toHex(' ').toStdString());
        }
    }
    TestDir dir;
    const QByteArray marked = "\xEF\xBB\xBF" + text.toUtf8();
    const QString path = dir.write(QStringLiteral("page.html"), marked);
    QVFileDocument doc(path);
    ASSERT_TRUE(doc.load());
    ASSERT_TRUE(doc.reallyReopenUsingEncoding(TextEncoding::ISOLatin1));
    EXPECT_TRUE(doc.textView()->string().startsWith(QString::fromLatin1("\xEF\xBB\xBF") + QStringLiteral("caf")));
    ASSERT_TRUE(doc.save());
    EXPECT_EQ(readAll(path), marked);
    ASSERT_TRUE(doc.reallyReopenUsingEncoding(TextEncoding::UTF8));
    EXPECT_TRUE(doc.textView()->string() == text);
    EXPECT_TRUE(doc.textView()->hasByteOrderMark());
}

// An edited text in pieces saves in UTF-8 as it lies, never joined into one more copy of itself:
// a pair cut between two pieces is one character, a mark stays at the top, and a surrogate
// standing alone still takes the encoder's road (a "?" and a warning).
TEST(QVFileDocument, EditedTextSavesInUTF8FromItsPieces) {
    const QString longA(20000, QLatin1Char('a')), longB(20000, QLatin1Char('b'));
    QString lines;
    for (int i = 0; i < 20000; ++i) lines += QString::fromUtf8("caf\xc3\xa9 \xf0\x9f\x98\x80 %1\r\n").arg(i);
    struct Edit {
        qint64 at;
        QString text;
    };
    struct Case {
        const char* name;
        QByteArray mark;
        std::vector<Edit> edits;
        bool alone;
    };
    const Case cases[] = {
        {"typed far apart", "", {{0, QStringLiteral("<p>")}, {200000, QString::fromUtf8("\xf0\x9f\x98\x80\r\n")}, {7, QStringLiteral("x")}}, false},
        {"pair cut between pieces", "", {{100000, longA + QChar(0xD83D)}, {0, QStringLiteral("x")}, {120002, QChar(0xDE00) + longB}}, false},
        {"mark at the top", "\xef\xbb\xbf", {{280000, QStringLiteral("end")}, {1, QStringLiteral("top")}}, false},
        {"surrogate alone", "", {{100000, QString(QChar(0xD800)) + QStringLiteral("x")}}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestDir dir;
        const QString path = dir.write(QStringLiteral("page.html"), c.mark + lines.toUtf8());
        QVFileDocument doc(path);
        ASSERT_TRUE(doc.load());
        QVTextStorage& storage = doc.textView()->textStorage();
        for (const Edit& edit : c.edits) ASSERT_FALSE(storage.replaceCharacters(QVRange(edit.at, 0), edit.text));
        // A copy: string() would join the pieces.
        QString text = storage.substring(QVRange(0, storage.length()));
        QVError error, warning;
        ASSERT_TRUE(doc.save(&error, &warning)) << error.localizedDescription().toStdString();
        EXPECT_EQ(bool(warning), c.alone);
        if (c.alone) text.replace(QChar(0xD800), QLatin1Char('?'));
        else EXPECT_LT(storage.contiguousEnd(0), storage.length());
        EXPECT_TRUE(readAll(path) == c.mark + text.toUtf8());
        QVFileDocument again(path);
        ASSERT_TRUE(again.load());
        EXPECT_TRUE(again.textView()->string() == text);
    }
}

TEST(QVFileDocument, SavesThatWouldDropCharactersAskFirstAndReopeningRefusesWhatDoesNotFit) {
    TestDir dir;
    const QString path = dir.write(QStringLiteral("page.iso-8859-1.html"), "caf\xe9\n");
    QVFileDocument doc(path);
    ASSERT_TRUE(doc.load());
    type(*doc.textView(), QString::fromUtf8("\n\xe2\x82\xac \xe6\x97\xa5"));  // "€ 日" on line 3

    // Nothing is written: the save asks, naming the first character that does not fit.
    QVError error, warning;
    EXPECT_FALSE(doc.save(&error, &warning));
    EXPECT_EQ(error.code(), QVFileDocument::EncodingCannotHoldTextQuestion);
    EXPECT_EQ(error.localizedRecoveryOptions(), (QStringList{"Save as UTF-8", "Cancel", QString::fromUtf8("Other Encoding\u2026")}));
    EXPECT_TRUE(error.localizedRecoverySuggestion().contains(QString::fromUtf8("\xe2\x80\x9c\xe2\x82\xac\xe2\x80\x9d in line 3")))
        << error.localizedRecoverySuggestion().toStdString();
    EXPECT_EQ(readAll(path), QByteArray("caf\xe9\n"));
    EXPECT_TRUE(doc.isDocumentEdited());
    EXPECT_EQ(doc.encoding(), TextEncoding::ISOLatin1);
    // Saved elsewhere, the same.
    EXPECT_FALSE(doc.saveAs(dir.file("copy.html"), &error));
    EXPECT_EQ(error.code(), QVFileDocument::EncodingCannotHoldTextQuestion);
    EXPECT_FALSE(QFile::exists(dir.file("copy.html")));

    // An edited document asks before reopening.
    EXPECT_FALSE(doc.reopenUsingEncoding(TextEncoding::UTF8, &error));
    EXPECT_EQ(error.code(), QVFileDocument::UnsavedChangesError);
    EXPECT_EQ(error.localizedRecoveryOptions().size(), 3);

    // "Save Changes" in an encoding that cannot hold the text writes nothing and reopens nothing.
    const QString text = doc.textView()->string();
    EXPECT_FALSE(doc.saveAndReopenUsingEncoding(TextEncoding::ASCII, &error));
    EXPECT_TRUE(error.localizedRecoverySuggestion().contains(QStringLiteral("line 1")));
    EXPECT_EQ(readAll(path), QByteArray("caf\xe9\n"));
    EXPECT_EQ(doc.textView()->string(), text);
    EXPECT_EQ(doc.encoding(), TextEncoding::ISOLatin1);
    EXPECT_TRUE(doc.isDocumentEdited());

    // In one that can: written in it, read back in it, clean, and remembered.
    QVError notice;
    ASSERT_TRUE(doc.saveAndReopenUsingEncoding(TextEncoding::UTF8, &error, &notice)) << error.localizedDescription().toStdString();
    EXPECT_EQ(readAll(path), QByteArray("caf\xc3\xa9\n\n\xe2\x82\xac \xe6\x97\xa5"));
    EXPECT_EQ(doc.textView()->string(), text);
    EXPECT_FALSE(doc.isDocumentEdited());
    EXPECT_TRUE(notice.localizedDescription().contains(QStringLiteral("Unicode (UTF-8)")));
    EXPECT_EQ(doc.configurationValueForKey(HTMLView::FileEncodingKey).toULongLong(), TextEncoding::UTF8);
    char creator[8] = {};
    EXPECT_EQ(::getxattr(QFile::encodeName(path).constData(), QVFileDocument::CreatorAttribute.constData(), creator, sizeof creator), 4);
    EXPECT_STREQ(creator, "QVDT");
}

TEST(QVFileDocument, FailedRevertsReopensAndSavesChangeNothing) {
    TestDir dir;
    const QString path = dir.write(QStringLiteral("gone.txt"), "first\n");
    QVFileDocument doc(path);
    ASSERT_TRUE(doc.load());
    type(*doc.textView(), QStringLiteral("typed"));
    ASSERT_TRUE(QFile::remove(path));
    const auto state = [&] {
        return QStringList{doc.textView()->string(), doc.textView()->undoManager().dump(),
                           QString::number(doc.isDocumentEdited()), QString::number(doc.encoding()),
                           doc.configurationValueForKey(HTMLView::FileEncodingKey).toString()};
    };
    const QStringList before = state();
    QVError error;
    EXPECT_FALSE(doc.revertToContentsOfFile({}, &error));
    EXPECT_EQ(state(), before);
    EXPECT_FALSE(doc.reallyReopenUsingEncoding(TextEncoding::ISOLatin1, &error));
    EXPECT_EQ(state(), before);
    // A save into a folder that is gone reports the write error and leaves the document edited.
    doc.setFileName(dir.file(QStringLiteral("missing/gone.txt")));
    type(*doc.textView(), QStringLiteral("more"));
    const QStringList edited = state();
    EXPECT_FALSE(doc.save(&error));
    EXPECT_EQ(error.code(), QVFileDocument::SaveFailedError);
    EXPECT_EQ(state(), edited);
}

// A failed save says what happened, and nothing that did not: no word of permissions or encodings
// for a full disk or a missing folder.
TEST(QVFileDocument, AFailedSaveSaysOnlyWhatHappened) {
    TestDir dir;
    // A small file system, filled up (mounting needs the superuser).
    const QString small = dir.file(QStringLiteral("small"));
    QDir().mkpath(small);
    const bool mounted = Process::run(QStringLiteral("mount"), {"-t", "tmpfs", "-o", "size=64k", "qorvel-full", small}).succeeded();
    struct Case {
        const char* what;
        QString path;
        QString said;
    };
    std::vector<Case> cases = {{"a missing folder", dir.file(QStringLiteral("missing/page.html")), "No such file or directory"}};
    if (mounted) {
        {
            QFile filler(small + QStringLiteral("/filler"));
            ASSERT_TRUE(filler.open(QIODevice::WriteOnly));
            while (filler.write(QByteArray(4096, 'x')) > 0 && filler.flush()) {}
        }
        cases.push_back({"a full disk", small + QStringLiteral("/page.html"), "No space left on device"});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QVFileDocument doc(dir.write(QStringLiteral("page.html"), "x"));
        ASSERT_TRUE(doc.load());
        doc.setFileName(c.path);
        type(*doc.textView(), QString(20000, u'x'));
        QVError error;
        EXPECT_FALSE(doc.save(&error));
        EXPECT_EQ(error.code(), QVFileDocument::SaveFailedError);
        EXPECT_TRUE(error.localizedDescription().contains(c.said)) << error.localizedDescription().toStdString();
        EXPECT_EQ(error.localizedRecoverySuggestion(), QString()) << error.localizedRecoverySuggestion().toStdString();
    }
    // Without the superuser only the missing folder is tried.
    if (mounted) Process::run(QStringLiteral("umount"), {small});
}

class ErrorRecorder : public HTMLViewDelegate {
public:
    QList<qint64> codes;
    void htmlViewIsEscaped(HTMLView*, bool) override {}
    void htmlViewChangedToLine(HTMLView*, qint64, qint64) override {}
    void htmlViewHadError(HTMLView*, const QVError& error, bool) override { codes << error.code(); }
};

TEST(QVFileDocument, SavesEndWithTheirUploadAndOnlyTheSaveANodeNames) {
    TestDir dir;
    const QString path = dir.write(QStringLiteral("page.html"), "a\n");
    auto tree = std::make_shared<RecordingTreeDelegate>();
    tree->shouldUpload = true;
    auto queue = std::make_shared<FakeQueue>();
    auto root = QVRootFile::create(dir.path(), false);
    root->setDelegate(tree);
    root->setRemoteQueue(queue);
    auto node = root->childWithPath({QStringLiteral("page.html")}, true);
    auto errors = std::make_shared<ErrorRecorder>();
    auto doc = std::make_unique<QVFileDocument>(path);
    ASSERT_TRUE(doc->load());
    doc->textView()->setInterfaceDelegate(errors);
    doc->setFileNode(node);
    QList<bool> closes;
    const auto uploadEnds = [&](bool ok) {
        auto* remote = node->remoteRepresentation().get();
        if (ok) remote->delegate()->fileRepresentationContentChangeFinished(remote);
        else remote->delegate()->fileRepresentationFailed(remote, QVFileOperation::Upload, QVError::app(9, "refused"));
    };

    enum Action { Type, Save, SaveForClose, UploadOk, UploadFails, Offline, NoUpload };
    struct Step {
        Action action;
        bool edited;     // afterwards
        bool saving;
        QList<bool> closes;  // every close answer so far
        QList<qint64> errors;
    };
    const Step steps[] = {
        {Type, true, false, {}, {}},
        {Save, true, true, {}, {}},          // the upload is under way: still edited
        {Type, true, true, {}, {}},          // typed during the upload
        {UploadOk, true, false, {}, {}},     // clean at what was written, not at what was typed since
        {SaveForClose, true, true, {}, {}},
        {UploadFails, true, false, {false}, {9}},  // edited, shown, the close refused
        {Save, true, true, {false}, {9}},
        {UploadOk, false, false, {false}, {9}},    // a later save never answers the failed close
        {Save, false, true, {false}, {9}},         // saving a clean document that fails to upload...
        {UploadFails, true, false, {false}, {9, 9}},  // ...leaves it edited: the site lacks it
        {Offline, false, false, {false}, {9, 9}},  // ends at once, written locally
        {Type, true, false, {false}, {9, 9}},
        {UploadOk, true, false, {false}, {9, 9}},  // the queued upload ends a save already ended
        {UploadFails, true, false, {false}, {9, 9}},
        {NoUpload, false, false, {false, true}, {9, 9}},
    };
    int index = 0;
    for (const Step& step : steps) {
        SCOPED_TRACE(index++);
        switch (step.action) {
        case Type: type(*doc->textView(), QStringLiteral("x")); break;
        case Save: ASSERT_TRUE(doc->save()); break;
        case SaveForClose: ASSERT_TRUE(doc->saveForClose([&](bool saved) { closes << saved; })); break;
        case UploadOk: uploadEnds(true); break;
        case UploadFails: uploadEnds(false); break;
        case Offline:
            queue->online = false;
            ASSERT_TRUE(doc->save());  // two uploads queued: this one and the next step's
            ASSERT_TRUE(doc->save());
            queue->online = true;
            break;
        case NoUpload:
            tree->shouldUpload = false;
            ASSERT_TRUE(doc->saveForClose([&](bool saved) { closes << saved; }));
            break;
        }
        if (step.action == Save || step.action == SaveForClose) {
            EXPECT_EQ(queue->requests.last(), QStringLiteral("put page.html"));
        }
        EXPECT_EQ(doc->isDocumentEdited(), step.edited);
        EXPECT_EQ(doc->isSaving(), step.saving);
        EXPECT_EQ(closes, step.closes);
        EXPECT_EQ(errors->codes, step.errors);
    }
    EXPECT_EQ(readAll(path), QByteArray("a\nxxx"));
    EXPECT_TRUE(tree->events.contains(QStringLiteral("error 18")));

    // A document gone lets go of its node; its upload's late end is no save of the next one
    // (both number their first save alike).
    doc.reset();
    EXPECT_EQ(node->document(), nullptr);
    tree->shouldUpload = true;
    const auto saveOnce = [&](QVFileDocument& document) {
        ASSERT_TRUE(document.load());
        document.setFileNode(node);
        type(*document.textView(), QStringLiteral("y"));
        ASSERT_TRUE(document.save());
    };
    saveOnce(*std::make_unique<QVFileDocument>(path));  // gone at once, its upload still queued
    QVFileDocument next(path);
    saveOnce(next);
    uploadEnds(true);
    EXPECT_TRUE(next.isSaving() && next.isDocumentEdited());
    uploadEnds(true);
    EXPECT_FALSE(next.isSaving() || next.isDocumentEdited());
    // Taken off its node (a Save As elsewhere), a save still waiting ends: a close never hangs.
    type(*next.textView(), QStringLiteral("y"));
    ASSERT_TRUE(next.saveForClose([&](bool saved) { closes << saved; }));
    next.setFileNode({});
    EXPECT_FALSE(next.isSaving() || next.isDocumentEdited());
    EXPECT_EQ(closes, QList<bool>({false, true, true}));
}

}  // namespace
