// The built-in preview on Qt WebEngine: refreshing on save and on typing through the keystroke
// copy, the copy's care for the project's files, the error page, scroll kept across reloads and script panels.
#include "editor/HTMLView.h"
#include "editor/QVFileDocument.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/TextEncoding.h"
#include "platform/UserDefaults.h"
#include "platform/web/QVWebView.h"
#include "tests/support/TestSupport.h"
#include "tests/web/WebTestSupport.h"
#include "tools/QVBrowser.h"
#include "tools/web/QVIntegratedPreviewController.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTest>
#include <QTextBrowser>

#include <memory>

#include <unistd.h>

#include <gtest/gtest.h>

namespace {

const bool unsandboxed = [] {
    // The engine's sandbox will not start as root; as anyone else the pages run inside it.
    if (::geteuid() == 0) qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    return true;
}();

class IntegratedPreviewTest : public ::testing::Test {
protected:
    void SetUp() override {
        QVIntegratedPreviewController::install();
        preview = &QVIntegratedPreviewController::sharedPreview();
        QObject::connect(preview->webView(), &QVWebView::titleChanged, preview, [this](const QString& changed) { title = changed; });
    }
    void TearDown() override {
        preview->hide();
        QObject::disconnect(preview->webView(), &QVWebView::titleChanged, preview, nullptr);
        UserDefaults::standard().removeObject(QVIntegratedPreviewController::RefreshModeKey);
    }
    // The title shows before the load ends; typing while a page loads is dropped by design.
    bool titleBecomes(const QString& expected) {
        return QTest::qWaitFor([&] { return title == expected && preview->webView()->loadProgress() == 100; }, 20000);
    }
    static void setMode(int mode) { UserDefaults::standard().setInteger(mode, QVIntegratedPreviewController::RefreshModeKey); }
    static void postSave() {
        NotificationCenter::defaultCenter().post(QVFileDocument::FileDidSaveNotification);
        MainQueue::drain();
    }

    TestDir dir;
    QVIntegratedPreviewController* preview = nullptr;
    QString title;
};

QByteArray page(const QByteArray& title) { return "<html><head><title>" + title + "</title></head><body>x</body></html>"; }

}  // namespace

TEST_F(IntegratedPreviewTest, ASaveRefreshesThePageAskedForWhileTheWindowShows) {
    setMode(0);
    const QString path = dir.write("index.html", page("one"));
    // The built-in browser row shows a file as its file URL and brings the window up.
    QVBrowser::fromPlist({{"name", "Qorvel"}})->performActionWithObject(path);
    EXPECT_TRUE(preview->isVisible());
    EXPECT_EQ(preview->lastURL(), QUrl::fromLocalFile(path).toString());
    ASSERT_TRUE(titleBecomes("one"));

    dir.write("index.html", page("two"));
    postSave();
    EXPECT_TRUE(titleBecomes("two"));

    // Hidden, it stays as it was.
    preview->hide();
    QSignalSpy started(preview->webView(), &QVWebView::loadStarted);
    dir.write("index.html", page("three"));
    postSave();
    QTest::qWait(300);
    EXPECT_TRUE(started.isEmpty());
}

TEST_F(IntegratedPreviewTest, TypingRefreshesThroughACopyOfItsOwnThatGoesWithThePage) {
    setMode(1);
    const QString path = dir.write("index.html", page("saved"));
    const QString other = dir.write("other.html", page("other"));
    // The project has a file of the copy's usual name: it is never written over nor removed.
    const QString projects = dir.write(".tmp_Qorvel.html", "mine");
    preview->showURL(QUrl::fromLocalFile(path).toString());
    ASSERT_TRUE(titleBecomes("saved"));

    // The editor's typing reaches the preview through the seam, in the document's encoding.
    HTMLView view(path);
    view.setString(QString::fromUtf8(page("caf\xc3\xa9")));
    view.setStringEncoding(TextEncoding::ISOLatin1);
    view.setSelectedRange(QVRange(0, 0));
    view.insertText(QStringLiteral(" "));
    EXPECT_TRUE(titleBecomes(QString::fromUtf8("caf\xc3\xa9")));
    ASSERT_EQ(preview->temporaryFiles().size(), 1);
    const QString copy = *preview->temporaryFiles().begin();
    EXPECT_TRUE(QFileInfo(copy).fileName().startsWith(QLatin1String(".tmp_Qorvel-"))) << copy.toStdString();
    EXPECT_EQ(QFileInfo(copy).suffix(), "html");
    EXPECT_EQ(QFileInfo(copy).permissions() & (QFileDevice::ReadOther | QFileDevice::ReadGroup), 0);
    EXPECT_EQ(readAll(copy), " " + page("caf\xe9"));
    EXPECT_EQ(preview->lastURL(), QUrl::fromLocalFile(path).toString());  // the page asked for stays
    EXPECT_TRUE(preview->previewAsTemporaryFile(path, QString::fromUtf8(page("more")), TextEncoding::UTF8));
    EXPECT_TRUE(titleBecomes("more"));
    EXPECT_EQ(preview->temporaryFiles(), QSet<QString>{copy});  // written again in place

    // Going to another page through the address field leaves the copy behind no longer.
    preview->setURL(QUrl::fromLocalFile(other).toString());
    EXPECT_TRUE(titleBecomes("other"));
    EXPECT_FALSE(QFile::exists(copy));
    EXPECT_TRUE(preview->temporaryFiles().isEmpty());

    // A page on a web server has no folder beside it: nothing is written.
    preview->showURL(QStringLiteral("http://127.0.0.1:9/site/page.html"));
    EXPECT_FALSE(preview->previewAsTemporaryFile(path, QStringLiteral("x"), TextEncoding::UTF8));
    // Refreshing on save, typing writes nothing.
    preview->showURL(QUrl::fromLocalFile(path).toString());
    setMode(0);
    EXPECT_FALSE(preview->previewAsTemporaryFile(path, QStringLiteral("x"), TextEncoding::UTF8));
    setMode(1);
    ASSERT_TRUE(titleBecomes("saved"));
    EXPECT_TRUE(preview->previewAsTemporaryFile(path, QString::fromUtf8(page("again")), TextEncoding::UTF8));
    EXPECT_TRUE(titleBecomes("again"));

    // A UTF-8 page read with a byte-order mark is copied with the mark, as a save writes it: a
    // browser reads the mark before the page's own declaration (Chromium shows the copy without
    // it as windows-1252).
    const QByteArray declared = "<html><head><meta charset=\"windows-1252\"><title>caf\xc3\xa9</title></head><body>x</body></html>";
    const QString marked = dir.write("marked.html", "\xEF\xBB\xBF" + declared);
    preview->showURL(QUrl::fromLocalFile(marked).toString());
    ASSERT_TRUE(titleBecomes(QString::fromUtf8("caf\xc3\xa9")));
    HTMLView markedView(marked);
    ASSERT_TRUE(markedView.loadFromPath(marked));
    ASSERT_TRUE(markedView.hasByteOrderMark());
    markedView.setSelectedRange(QVRange(declared.indexOf("<title>") + 7, 0));
    markedView.insertText(QStringLiteral("t"));
    EXPECT_TRUE(titleBecomes(QString::fromUtf8("tcaf\xc3\xa9")));
    ASSERT_EQ(preview->temporaryFiles().size(), 1);
    QByteArray typed = declared;
    typed.insert(declared.indexOf("<title>") + 7, 't');
    EXPECT_EQ(readAll(*preview->temporaryFiles().begin()), "\xEF\xBB\xBF" + typed);
    preview->hide();
    EXPECT_TRUE(preview->temporaryFiles().isEmpty());
    EXPECT_EQ(QDir(dir.path()).entryList({".tmp_Qorvel*"}, QDir::Hidden | QDir::Files), QStringList{".tmp_Qorvel.html"});
    EXPECT_EQ(readAll(projects), "mine");
}

TEST_F(IntegratedPreviewTest, AFailedLoadShowsTheErrorPageWithTheAddressEscaped) {
    struct Case {
        QString description, address;
        QStringList present, absent;
    };
    const QList<Case> cases = {
        {"Not found", "file:///x/<script>alert(1)</script>.html", {"&lt;script&gt;alert(1)&lt;/script&gt;", "Not found"}, {"<script>alert"}},
        {"a %@ in it & <b>", "http://h/%@", {"a %@ in it &amp; &lt;b&gt;", "http://h/%@"}, {"<b>"}},
    };
    for (const Case& c : cases) {
        QUrl base;
        const QString html = QVIntegratedPreviewController::errorPage(c.description, c.address, &base);
        EXPECT_EQ(base.fileName(), "error.html");
        for (const QString& text : c.present) EXPECT_TRUE(html.contains(text)) << text.toStdString();
        for (const QString& text : c.absent) EXPECT_FALSE(html.contains(text)) << text.toStdString();
    }
    const QString missing = dir.file("gone <b>.html");
    preview->showURL(QUrl::fromLocalFile(missing).toString());
    // The error page's title is the failure's description.
    EXPECT_TRUE(QTest::qWaitFor([&] { return !title.isEmpty() && title != QLatin1String("again") && preview->webView()->url().fileName() == QLatin1String("error.html"); }, 20000))
        << title.toStdString();
}

TEST_F(IntegratedPreviewTest, ARefreshKeepsTheScrollPositionAndPagesCanBeToldToStopTheirPanels) {
    QByteArray tall = "<html><head><title>tall</title></head><body>";
    for (int i = 0; i < 400; ++i) tall += "<p>line " + QByteArray::number(i) + "</p>";
    const QString path = dir.write("tall.html", tall + "</body></html>");
    preview->resize(600, 400);
    preview->showURL(QUrl::fromLocalFile(path).toString());
    ASSERT_TRUE(titleBecomes("tall"));
    preview->webView()->setScrollPosition(QPointF(0, 900));
    ASSERT_TRUE(QTest::qWaitFor([&] { return preview->webView()->scrollPosition().y() > 800; }, 10000));
    QSignalSpy finished(preview->webView(), &QVWebView::loadFinished);
    preview->reload();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !finished.isEmpty(); }, 20000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return preview->webView()->scrollPosition().y() > 800; }, 10000))
        << preview->webView()->scrollPosition().y();

    // A page that opens panel after panel: "No" answers the page; then the panels are stopped.
    const QString panels = dir.write("panels.html", "<html><head><title>panels</title><script>"
                                                    "var answer = confirm('sure?'); var n = 0;"
                                                    "for (var i = 0; i < 1000; ++i) { alert('again ' + i); ++n; }"
                                                    "document.title = 'done ' + answer + ' ' + n;</script></head></html>");
    PanelAnswerer answerer({"No", "Stop Showing Panels"});
    preview->showURL(QUrl::fromLocalFile(panels).toString());
    EXPECT_TRUE(titleBecomes("done false 1000"));
    EXPECT_EQ(answerer.titles, (QStringList{"JavaScript Confirmation:sure?", "JavaScript Alert:again 0"}));
}

// Where WebEngine cannot start, the plain view shows a page in the encoding the editor reads it
// in, those Qt does not know (Shift_JIS) included, and a page being typed in the one it is
// written in.
TEST_F(IntegratedPreviewTest, ThePlainViewReadsPagesInTheEditorsEncoding) {
    std::unique_ptr<QVWebView> plain(QVWebView::create(nullptr, QVWebView::Engine::TextBrowser));
    plain->setPolicy(preview->webView()->policy());
    const auto shown = [&](const QString& path) {
        QSignalSpy finished(plain.get(), &QVWebView::loadFinished);
        plain->load(QUrl::fromLocalFile(path));
        if (!QTest::qWaitFor([&] { return !finished.isEmpty(); }, 5000)) return QStringLiteral("<the page did not finish loading>");
        auto* browser = plain->findChild<QTextBrowser*>();
        return browser ? browser->toPlainText() : QString();
    };
    const struct {
        const char* name;
        QByteArray bytes;
        const char* text;
    } cases[] = {
        {"sjis.html", "<html><head><meta charset=\"Shift_JIS\"></head><body>\x93\xfa\x96\x7b</body></html>\n", "\u65e5\u672c"},
        {"latin.iso-8859-1.html", "<p>caf\xe9</p>", "caf\u00e9"},
        {"plain.html", "<p>caf\xc3\xa9</p>", "caf\u00e9"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(shown(dir.write(QString::fromLatin1(c.name), c.bytes)).trimmed(), QString::fromUtf8(c.text));
    }
    // The copy of a page being typed, in the encoding the document has, which its text and name
    // do not tell.
    setMode(1);
    const QString path = dir.write("typed.html", "<p>x</p>");
    preview->showURL(QUrl::fromLocalFile(path).toString());
    ASSERT_TRUE(preview->previewAsTemporaryFile(path, QString::fromUtf8("<p>caf\u00e9</p>"), TextEncoding::ISOLatin1));
    ASSERT_EQ(preview->temporaryFiles().size(), 1);
    EXPECT_EQ(shown(*preview->temporaryFiles().begin()).trimmed(), QString::fromUtf8("caf\u00e9"));
}
