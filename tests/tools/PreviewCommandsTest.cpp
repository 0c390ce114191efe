// The document's preview commands over real documents and files: what is saved, which address
// reaches which browser, the remote preview sheet and the Preview menu.
#include "editor/HTMLView.h"
#include "editor/QVFileDocument.h"
#include "editor/QVFileDocumentDelegate.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"
#include "tests/support/TestSupport.h"
#include "tools/QVBrowserRepository.h"
#include "tools/QVPreviewCommands.h"
#include "tools/QVRemotePreviewController.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QUrl>

#include <gtest/gtest.h>

namespace {

class RecordingDelegate : public QVFileDocumentDelegate {
public:
    void presentErrorAlert(const QVError& error) override { errors.append(error); }
    void runSavePanel(QVFileDocument*, const QString&, std::function<void(const QString&)> chosen) override {
        ++savePanels;
        chosen({});
    }
    QList<QVError> errors;
    int savePanels = 0;
};

class PreviewCommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        QVPreviewCommands::install();
        const QString list = Defaults::appSupportPathForFile(QStringLiteral("browsers.plist"), QStringLiteral("data"));
        QDir().mkpath(QFileInfo(list).absolutePath());
        // A browser whose entry exists and one whose entry is gone; nothing is really started.
        const QString entry = dir.write("rec.desktop", "[Desktop Entry]\nType=Application\nName=Rec\nExec=rec --tab %u\n");
        QFile file(list);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("<plist version=\"1.0\"><array>"
                   "<dict><key>name</key><string>Rec</string><key>path</key><string>" + entry.toUtf8() + "</string></dict>"
                   "<dict><key>name</key><string>Gone</string><key>path</key><string>" + dir.file("gone.desktop").toUtf8() + "</string></dict>"
                   "</array></plist>");
        file.close();
        QVBrowserRepository::sharedInstance().reloadList(true);
        QVBrowser::setStarter([this](const QString& program, const QStringList& arguments, const QString&) {
            started.append((QStringList{program} + arguments).join(QLatin1Char(' ')));
            return true;
        });
    }
    void TearDown() override {
        QVBrowser::setStarter({});
        QFile::remove(Defaults::appSupportPathForFile(QStringLiteral("browsers.plist"), QStringLiteral("data")));
        QVBrowserRepository::sharedInstance().reloadList(true);
        UserDefaults::standard().removeObject(QVRemotePreviewController::URLPrefixesKey);
    }
    std::unique_ptr<QVFileDocument> open(const QString& name, const QByteArray& text) {
        auto document = std::make_unique<QVFileDocument>(dir.write(name, text));
        EXPECT_TRUE(document->load());
        document->setDelegate(delegate);
        return document;
    }
    static std::shared_ptr<QVBrowser> browser(const QString& name) { return QVBrowserRepository::sharedInstance().browserWithName(name); }

    TestDir dir;
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    QStringList started;
};

}  // namespace

TEST_F(PreviewCommandsTest, PagesAreSavedAndOpenedOtherFilesGoUnderTheirWebAddress) {
    // An edited page is written before the browser sees it.
    auto page = open("index.html", "<p>old</p>");
    page->textView()->insertText(QStringLiteral("new"));
    ASSERT_TRUE(page->tryToPerform("previewInBrowser", QVariant::fromValue(browser("Rec"))));
    EXPECT_EQ(readAll(dir.file("index.html")), "new<p>old</p>");
    // The entry takes a URL: the file's, percent-encoded.
    const auto fileUrl = [](const QString& path) { return "file://" + QString::fromLatin1(QUrl::toPercentEncoding(path, "/")); };
    EXPECT_EQ(started, QStringList{"rec --tab " + fileUrl(dir.file("index.html"))});

    // Without a browser the list's first one; a page under another extension of "htm…" too.
    started.clear();
    auto upper = open("Page.HTM", "x");
    QVPreviewCommands::previewInBrowser(*upper, nullptr);
    EXPECT_EQ(started, QStringList{"rec --tab " + fileUrl(dir.file("Page.HTM"))});

    // A script file with its address and browser stored goes there at once, its name encoded.
    started.clear();
    auto script = open("my page#1.php", "<?php ?>");
    script->setConfigurationValue(QStringLiteral("http://localhost/site/"), QVPreviewCommands::RemotePreviewURLKey);
    script->setConfigurationValue(QStringLiteral("Rec"), QVPreviewCommands::RemotePreviewBrowserNameKey);
    QVPreviewCommands::previewInBrowser(*script, nullptr);
    EXPECT_EQ(started, QStringList{"rec --tab http://localhost/site/my%20page%231.php"});

    // A browser whose application is gone says so, naming it, and nothing starts.
    started.clear();
    QVPreviewCommands::previewInBrowser(*page, browser("Gone"));
    EXPECT_TRUE(started.isEmpty());
    ASSERT_EQ(delegate->errors.size(), 1);
    EXPECT_EQ(delegate->errors[0].code(), QVPreviewCommands::BrowserNotFoundError);
    EXPECT_EQ(delegate->errors[0].localizedRecoverySuggestion(), "The browser \"Gone\" could not be found.");

    // A browser whose entry is refused says so in the window, with the reason, and the page goes
    // to the desktop's default browser.
    started.clear();
    const QString shell = dir.write("shell.desktop", "[Desktop Entry]\nType=Application\nName=Shell\nExec=nice -n 5 %f\n");
    QVPreviewCommands::previewInBrowser(*page, QVBrowser::fromPlist({{"name", "Shell"}, {"path", shell}}));
    EXPECT_EQ(started, QStringList{"xdg-open " + dir.file("index.html")});
    ASSERT_EQ(delegate->errors.size(), 2);
    EXPECT_EQ(delegate->errors[1].code(), QVPreviewCommands::BrowserNotUsedError);
    EXPECT_EQ(delegate->errors[1].localizedRecoverySuggestion(),
              "\u201cShell\u201d: its command line runs the page as a program.\n"
              "The page opened in the desktop\u2019s default browser instead.");

    // An untitled text asks for a name and stops there (the panel was cancelled: nothing opens).
    started.clear();
    QVFileDocument untitled;
    untitled.setDelegate(delegate);
    QVPreviewCommands::previewInBrowser(untitled, browser("Rec"));
    EXPECT_EQ(delegate->savePanels, 1);
    EXPECT_TRUE(started.isEmpty());
}

TEST_F(PreviewCommandsTest, TheSheetResolvesRemembersAndStoresTheAddress) {
    struct Case {
        QString typed, resolved;
    };
    for (const Case& c : QList<Case>{{"  example.com/site \n", "http://example.com/site"},
                                     {"ftp://host/p ", "ftp://host/p"},
                                     {"https://a.b", "https://a.b"},
                                     {"\t", ""}})
        EXPECT_EQ(QVRemotePreviewController::resolvedPrefix(c.typed), c.resolved) << c.typed.toStdString();

    auto script = open("app.php", "<?php ?>");
    QWidget window;
    script->textView()->setParent(&window);
    auto sheetAnswering = [&](int tag, const QString& typed) {
        auto* sheet = window.findChild<QVRemotePreviewController*>();
        if (!sheet) return QString();
        const QString shown = sheet->urlPrefix();
        EXPECT_EQ(sheet->browserPopUpButton()->count(), 4);  // Rec, Gone, Qorvel, All
        if (!typed.isNull()) sheet->setUrlPrefix(typed);
        sheet->browserPopUpButton()->setCurrentIndex(0);
        sheet->close(tag);
        delete sheet;
        return shown;
    };
    // No stored address: the sheet asks; Cancel opens and stores nothing.
    QVPreviewCommands::remotePreviewUsingCurrent(*script, nullptr);
    EXPECT_EQ(sheetAnswering(0, QStringLiteral("elsewhere")), "");
    EXPECT_TRUE(started.isEmpty());
    QVPreviewCommands::remotePreviewUsingCurrent(*script, nullptr);
    EXPECT_EQ(sheetAnswering(1, QStringLiteral(" localhost:8000/app ")), "");
    EXPECT_EQ(started, QStringList{"rec --tab http://localhost:8000/app/app.php"});
    // Once confirmed, address and browser are the document's: the next preview asks no more.
    QVPreviewCommands::remotePreviewUsingCurrent(*script, nullptr);
    EXPECT_EQ(window.findChild<QVRemotePreviewController*>(), nullptr);
    EXPECT_EQ(started.size(), 2);
    // Asked again, the sheet shows the address; confirming it twice remembers it once.
    QVPreviewCommands::remotePreviewUsingOther(*script);
    EXPECT_EQ(sheetAnswering(1, QString()), "http://localhost:8000/app");
    EXPECT_EQ(UserDefaults::standard().objectForKey(QVRemotePreviewController::URLPrefixesKey).toStringList(),
              QStringList{"http://localhost:8000/app"});
    script->textView()->setParent(nullptr);
}

TEST_F(PreviewCommandsTest, ThePreviewSubmenuListsTheBrowsersAndItsFirstItemAnswersCtrlEquals) {
    QMenu bar;
    QMenu* preview = bar.addMenu(QStringLiteral("Preview"));
    QMenu popUp;
    for (int pass = 0; pass < 2; ++pass) {  // filling again replaces, never adds
        QVPreviewCommands::fillMenu(preview);
        QVPreviewCommands::fillMenu(&popUp);
    }
    QStringList titles;
    for (QAction* item : preview->actions()) titles.append(item->text());
    EXPECT_EQ(titles, (QStringList{"Rec", "Gone", "Qorvel", "All"}));
    EXPECT_EQ(preview->actions().first()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Equal));
    EXPECT_EQ(popUp.actions().size(), 4);
    EXPECT_TRUE(popUp.actions().first()->shortcut().isEmpty());
    EXPECT_EQ(preview->actions().first()->data().value<std::shared_ptr<QVBrowser>>(), browser("Rec"));
}
