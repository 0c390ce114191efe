// The application's windows in qorvel's real set-up, offscreen: a new document's text takes the
// keys, the application's keys and menus work from the Preview, Welcome and Preferences windows,
// a command with no text to act on says so, the plain web view says why it is plain, and the
// texts that describe windows and menus match them.
#include "tests/scenarios/Scenario.h"

#include "app/QVDocumentController.h"
#include "editor/HTMLView.h"
#include "editor/QVEditorNotifications.h"
#include "editor/QVLineNumberingRulerView.h"
#include "editor/QVFileDocument.h"
#include "editor/windows/QVDocumentWindowController.h"
#include "editor/windows/QVMultiFileWindowController.h"
#include "languages/QVTheme.h"
#include "languages/QVThemeRepository.h"
#include "platform/AppBundle.h"
#include "platform/NotificationCenter.h"
#include "platform/UserDefaults.h"
#include "platform/web/QVWebView.h"
#include "preferences/QVPreferences.h"
#include "preferences/QVSimplePrefPanes.h"
#include "projects/windows/QVProjectWindowController.h"
#include "scm/QVSCMEntries.h"
#include "scm/QVSCMPanels.h"
#include "shell/Defaults.h"
#include "shell/QVMainMenu.h"
#include "shell/web/QVHelpWindowController.h"
#include "shell/web/QVInfoWindowController.h"
#include "tests/support/TestSupport.h"
#include "projects/windows/QVProjectSettingsWindowController.h"
#include "tools/QVBrowserRepository.h"
#include "tools/QVMultiFileSearchController.h"
#include "tools/QVMultiFileSearchNode.h"
#include "tools/QVSearchResultsOutlineView.h"
#include "tools/QVUserScript.h"
#include "tools/web/QVIntegratedPreviewController.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableWidget>
#include <QTest>
#include <QTextBrowser>

#include <gtest/gtest.h>

#include <unistd.h>

using namespace scenario;
namespace P = QVMainMenuPlace;

namespace {

QList<QMainWindow*> shownWindows() {
    QList<QMainWindow*> windows;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* window = qobject_cast<QMainWindow*>(widget); window && window->isVisible()) windows << window;
    return windows;
}

QVDocumentWindowController* newWindowSince(const QList<QMainWindow*>& before) {
    for (QMainWindow* window : shownWindows())
        if (!before.contains(window))
            if (auto* made = qobject_cast<QVDocumentWindowController*>(window)) return made;
    return nullptr;
}

// The item titled title in the window's menu bar, looked for through every menu and submenu.
QAction* barItem(QMainWindow* window, const QString& menuName, const QString& title) {
    QMenu* menu = QVMainMenu::windowMenu(window, menuName);
    if (!menu) return nullptr;
    QList<QMenu*> menus{menu};
    while (!menus.isEmpty()) {
        QMenu* next = menus.takeFirst();
        for (QAction* action : next->actions()) {
            if (action->text().remove(u'&') == title && action->isVisible()) return action;
            if (action->menu()) menus << action->menu();
        }
    }
    return nullptr;
}

// A key as the user presses it: to the widget with the focus, else to the window in front.
void press(int code, Qt::KeyboardModifiers modifiers) {
    QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : QApplication::activeWindow();
    ASSERT_NE(target, nullptr);
    QTest::keyClick(target, Qt::Key(code), modifiers);
}

QMessageBox* shownBox(const QString& name) {
    for (QMessageBox* box : visibleBoxes())
        if (box->objectName() == name) return box;
    return nullptr;
}

}  // namespace

// File > New (Ctrl+N) and New from Clipboard open a window whose text has the keys: what is
// typed next goes into it.
TEST(Windows, ANewDocumentsTextTakesTheKeys) {
    application();
    TestDir dir;
    const QString page = dir.write("page.html", "<p>x</p>\n");
    UserDefaults::standard().setBool(true, QString::fromLatin1(QVUseTabs));
    QMainWindow* first = application().openDocumentWithContentsOfFile(page);
    ASSERT_NE(first, nullptr);
    bringForward(first);
    QApplication::clipboard()->setText(QStringLiteral("pasted "));
    const struct {
        const char* how;
        std::function<void()> act;
        const char* text;
    } cases[] = {
        {"Ctrl+N", [] { key(Qt::Key_N, Qt::ControlModifier); }, "typed"},
        {"New from Clipboard", [&] { barItem(first, P::FileMenu, QStringLiteral("New from Clipboard"))->trigger(); }, "typedpasted "},
    };
    for (const auto& c : cases) {
        bringForward(first);
        const QList<QMainWindow*> before = shownWindows();
        c.act();
        QVDocumentWindowController* made = nullptr;
        ASSERT_TRUE(waitFor([&] { return (made = newWindowSince(before)) && made->isActiveWindow(); })) << c.how;
        HTMLView* text = made->currentTextView();
        ASSERT_NE(text, nullptr) << c.how;
        EXPECT_EQ(QApplication::focusWidget(), text) << c.how;
        type(QStringLiteral("typed"));
        EXPECT_EQ(text->fullString(), QString::fromLatin1(c.text)) << c.how;
        made->document()->updateChangeCount(QVDocument::ChangeType::Cleared);
        made->close();
    }
    UserDefaults::standard().removeObject(QString::fromLatin1(QVUseTabs));
    closeEverything();
}

// The Preview, Welcome and Preferences windows carry the application's menus, and its keys work
// while they are in front: Ctrl+N opens a document, Ctrl+Q from the Preview quits (every window
// closes).
TEST(Windows, ApplicationKeysAndMenusWorkFromEveryWindow) {
    application();
    TestDir dir;
    const QString page = dir.write("page.html", "<p>preview</p>\n");
    QVIntegratedPreviewController& preview = QVIntegratedPreviewController::sharedPreview();
    preview.showURL(QUrl::fromLocalFile(page).toString());
    QVInfoWindowController& welcome = QVInfoWindowController::sharedInstance();
    welcome.show();
    QVPreferences& preferences = QVPreferences::sharedInstance();
    preferences.show();
    const QList<std::pair<const char*, QMainWindow*>> windows = {{"Preview", &preview}, {"Welcome", &welcome}, {"Preferences", &preferences}};
    for (const auto& [name, window] : windows) {
        bringForward(window);
        ASSERT_TRUE(waitFor([&] { return window->isActiveWindow(); })) << name;
        for (const auto& [menu, title] : {std::pair{P::FileMenu, "Quit"}, std::pair{P::FileMenu, "New"}, std::pair{P::HelpMenu, "Qorvel Help"}})
            EXPECT_NE(barItem(window, menu, QString::fromLatin1(title)), nullptr) << name << ": " << title;
        const QList<QMainWindow*> before = shownWindows();
        press(Qt::Key_N, Qt::ControlModifier);
        QVDocumentWindowController* made = nullptr;
        EXPECT_TRUE(waitFor([&] { return (made = newWindowSince(before)) != nullptr; }, std::chrono::seconds(3))) << name << ": Ctrl+N";
        if (made) made->close();
    }
    bringForward(&preview);
    press(Qt::Key_Q, Qt::ControlModifier);
    EXPECT_TRUE(waitFor([] { return shownWindows().isEmpty(); }, std::chrono::seconds(5)))
        << "still shown: " << [] {
               QStringList titles;
               for (QMainWindow* window : shownWindows()) titles << window->windowTitle();
               return titles.join(", ").toStdString();
           }();
    closeEverything();
}

// A script chosen while the Welcome window is in front acts on the text last typed in, and with
// no document open it, and a Line Breaks item, say that they have no text to act on.
TEST(Windows, CommandsWithNoTextToActOnSaySo) {
    application();
    TestDir dir;
    const QString folder = QVUserScriptRepository::scriptsLocation();
    QDir().mkpath(folder);
    const QString script = folder + QStringLiteral("/Shout.sh");
    QFile file(script);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("#!/bin/sh\n# %%%{PBXName=Shout}%%%\n# %%%{PBXInput=Selection}%%%\n# %%%{PBXOutput=ReplaceSelection}%%%\n"
               "printf '%s' \"$PBXSelectedText\" | tr a-z A-Z\n");
    file.close();
    QFile::setPermissions(script, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    application().reloadUserScripts();
    QMenu* scripts = QVMainMenu::shared().menu(P::UserScriptsMenu);
    QAction* shout = nullptr;
    for (QAction* action : scripts->actions())
        if (action->text() == QLatin1String("Shout")) shout = action;
    ASSERT_NE(shout, nullptr);

    QVInfoWindowController& welcome = QVInfoWindowController::sharedInstance();
    const QString page = dir.write("page.html", "quiet");
    for (const bool withText : {true, false}) {
        HTMLView* text = nullptr;
        if (withText) {
            auto* window = qobject_cast<QVDocumentWindowController*>(application().openDocumentWithContentsOfFile(page));
            ASSERT_TRUE(window && window->currentTextView());
            bringForward(window);
            text = window->currentTextView();
            text->selectAll();
        }
        welcome.show();
        bringForward(&welcome);
        shout->trigger();
        if (withText) {
            EXPECT_TRUE(waitFor([&] { return text->fullString() == QLatin1String("QUIET"); })) << text->fullString().toStdString();
            EXPECT_EQ(shownBox(QStringLiteral("NoTextToActOn")), nullptr);
        } else {
            QMessageBox* box = nullptr;
            EXPECT_TRUE(waitFor([&] { return (box = shownBox(QStringLiteral("NoTextToActOn"))) != nullptr; }, std::chrono::seconds(2)));
            if (box) {
                EXPECT_TRUE(box->text().contains(QStringLiteral("Shout"))) << box->text().toStdString();
            }
            if (box) box->done(0);
            // A Line Breaks item, which acts on the front text, says the same.
            QAction* unix = QVMainMenu::shared().menu(P::LineBreakMenu)->actions().value(0);
            ASSERT_NE(unix, nullptr);
            unix->trigger();
            EXPECT_TRUE(waitFor([&] { return (box = shownBox(QStringLiteral("NoTextToActOn"))) != nullptr; }, std::chrono::seconds(2)))
                << "Line Breaks";
        }
        closeEverything();
    }
    QFile::remove(script);
    application().reloadUserScripts();
}

// Multi File Find shows each match on its own line, asks about one occurrence in the singular,
// and the Subversion log shows its dates whole.
TEST(Windows, FindInFilesRowsAndTheLogSheetShowTheirTextWhole) {
    application();
    TestDir dir;
    dir.write("site/a.html", "<p>first needle line</p>\n<p>second line</p>\n");
    dir.write("site/b.css", "needle { }\nnext { }\n");
    auto* project = qobject_cast<QVProjectWindowController*>(application().openDocumentWithContentsOfFile(dir.file("site")));
    ASSERT_NE(project, nullptr);
    bringForward(project);
    QVMultiFileSearchController& find = QVMultiFileSearchController::sharedController();
    find.showWindow();
    find.setValue(QStringLiteral("needle"), QStringLiteral("searchString"));
    find.setValue(QStringLiteral("pin"), QStringLiteral("replaceString"));
    find.setMode(QVMultiFileSearchController::CurrentSite);
    find.find();
    ASSERT_TRUE(waitFor([&] { return !find.searchIsRunning() && find.numberOfResults() == 2; }, std::chrono::seconds(20)))
        << find.numberOfResults();
    QStringList rows;
    for (const auto& node : find.searchResultNodes())
        for (const QVSearchResult& result : node->searchResults()) rows << result.attributedString().string;
    rows.sort();
    EXPECT_EQ(rows, (QStringList{"<p>first needle line</p>", "needle { }"}));
    QVSearchResultsOutlineView* outline = find.outlineView();
    for (int row = 0; row < outline->rowCount(); ++row)
        if (outline->itemAtRow(row).second >= 0) {
            outline->selectRow(row);
            break;
        }
    EXPECT_TRUE(find.replaceQuestion().contains(QStringLiteral("replace 1 occurrence (out of 2) of")))
        << find.replaceQuestion().toStdString();
    find.window()->close();

    // The log sheet, on the project window, with the dates as svn writes them.
    auto* log = new QVSCMRevisionPanel(dir.file("site/a.html"), QVSCMRevisionPanel::ViewLogTag, project);
    QVSCMLogEntry entry;
    entry.revision = QStringLiteral("12");
    entry.author = QStringLiteral("somebody");
    entry.dateString = QStringLiteral("2026-12-08T01:45:12.345678Z");
    entry.message = QStringLiteral("A message long enough to need the rest of the row and then some more words");
    log->displayEntries({entry}, [](QVSCMRevisionPanel*, std::optional<QString>, int) {});
    ASSERT_TRUE(waitFor([&] { return log->isVisible(); }));
    QTableWidget* table = log->table();
    for (int column = 0; column < 3; ++column) {
        const QString shown = table->item(0, column)->text();
        EXPECT_GE(table->columnWidth(column), table->fontMetrics().horizontalAdvance(shown)) << shown.toStdString();
    }
    log->mainButton()->click();
    closeEverything();
}

// Without Qt WebEngine the Preview and Welcome windows say so once, with what to do, and the
// preview leaves a page's scripts out of its text.
TEST(Windows, ThePlainWebViewSaysWhyAndShowsNoScriptText) {
    application();
    if (QVWebView::engine() == QVWebView::Engine::WebEngine) GTEST_SKIP() << "Qt WebEngine starts here";
    TestDir dir;
    const QString page = dir.write("page.html", "<html><head><script>var hidden = 'SCRIPTTEXT';</script></head>"
                                                "<body><div><p>shown</p><SCRIPT type=\"text/javascript\">var end = '</div>'; say('MORESCRIPT');</SCRIPT></div>"
                                                "</body></html>");
    const QString second = dir.write("second.html", "<p>second</p>");
    QVIntegratedPreviewController& preview = QVIntegratedPreviewController::sharedPreview();
    preview.showURL(QUrl::fromLocalFile(page).toString());
    ASSERT_TRUE(waitFor([&] { return preview.isVisible(); }));
    auto* browser = preview.findChild<QTextBrowser*>();
    ASSERT_NE(browser, nullptr);
    const QString text = browser->toPlainText();
    EXPECT_TRUE(text.contains(QStringLiteral("shown"))) << text.toStdString();
    EXPECT_FALSE(text.contains(QStringLiteral("SCRIPTTEXT")) || text.contains(QStringLiteral("MORESCRIPT"))) << text.toStdString();
    preview.showURL(QUrl::fromLocalFile(second).toString());
    QVInfoWindowController& welcome = QVInfoWindowController::sharedInstance();
    welcome.show();
    for (QWidget* window : {static_cast<QWidget*>(&preview), static_cast<QWidget*>(&welcome)}) {
        const QList<QLabel*> notices = window->findChildren<QLabel*>(QStringLiteral("WebEngineNotice"));
        ASSERT_EQ(notices.size(), 1) << window->windowTitle().toStdString();
        EXPECT_TRUE(notices.first()->isVisible());
        EXPECT_TRUE(notices.first()->text().contains(QStringLiteral("Qt WebEngine cannot start")));
        if (::geteuid() == 0 && qEnvironmentVariableIsEmpty("QORVEL_NO_WEBENGINE")) {
            EXPECT_TRUE(notices.first()->text().contains(QStringLiteral("QTWEBENGINE_DISABLE_SANDBOX=1"))) << notices.first()->text().toStdString();
        }
    }
    closeEverything();
}

// What Help, Preferences > Software Update and qorvel --help say holds for this build: every menu
// path the Help names is in the window the sentence speaks of, the update text tells a source
// build from a package, and --help says how tabs take files.
TEST(Windows, TextsSayWhatTheBuildDoes) {
    application();
    TestDir dir;
    const QString page = dir.write("page.html", "<p>x</p>\n");
    UserDefaults& defaults = UserDefaults::standard();
    defaults.setBool(false, QString::fromLatin1(QVUseTabs));
    QMainWindow* plain = application().openDocumentWithContentsOfFile(page);
    defaults.setBool(true, QString::fromLatin1(QVUseTabs));
    QMainWindow* tabbed = application().openDocumentWithContentsOfFile(dir.write("tabbed.html", "<p>y</p>\n"));
    ASSERT_TRUE(plain && tabbed && qobject_cast<QVMultiFileWindowController*>(tabbed));
    const QString help = QString::fromUtf8(readAll(AppBundle::main().pathForResource(QStringLiteral("index"), QStringLiteral("html"),
                                                                                     QStringLiteral("Documentation"))));
    ASSERT_FALSE(help.isEmpty());
    static const QRegularExpression item(QStringLiteral("<li>(.*?)</li>"), QRegularExpression::DotMatchesEverythingOption);
    static const QRegularExpression path(QStringLiteral("<b>([^<&]+) &gt; ([^<]+)</b>"));
    int paths = 0;
    for (const QRegularExpressionMatch& sentence : item.globalMatch(help)) {
        // A path holds in a tabbed window when the sentence says so, else in a plain one.
        QMainWindow* window = sentence.captured(1).contains(QStringLiteral("tabbed window")) ? tabbed : plain;
        for (const QRegularExpressionMatch& named : path.globalMatch(sentence.captured(1))) {
            ++paths;
            const QString menu = named.captured(1).trimmed(), title = named.captured(2).trimmed();
            QMenu* top = nullptr;
            for (QAction* action : window->menuBar()->actions())
                if (action->menu() && action->text().remove(u'&') == menu) top = action->menu();
            ASSERT_NE(top, nullptr) << menu.toStdString();
            EXPECT_NE(barItem(window, top->objectName(), title), nullptr)
                << (menu + QStringLiteral(" > ") + title).toStdString() << " in the " << (window == tabbed ? "tabbed" : "plain") << " window";
        }
    }
    EXPECT_GE(paths, 5);

    const struct {
        const char* folder;
        const char* says;
    } updates[] = {{"/usr/bin", "installed from a package"}, {"/usr/local/bin", "built from source"}, {"/home/me/qorvel/build", "built from source"}};
    for (const auto& c : updates) {
        const QString text = QVSoftwareUpdatePrefPane::updateText(QString::fromLatin1(c.folder));
        EXPECT_TRUE(text.contains(QString::fromLatin1(c.says))) << c.folder << ": " << text.toStdString();
    }
    EXPECT_TRUE(QVSoftwareUpdatePrefPane::updateText().contains(QStringLiteral("built from source")));

    QProcess qorvel;
    qorvel.start(QStringLiteral(QORVEL_EXECUTABLE), {QStringLiteral("--help")});
    ASSERT_TRUE(qorvel.waitForFinished(10000));
    const QString usage = QString::fromUtf8(qorvel.readAllStandardOutput()).simplified();
    EXPECT_TRUE(usage.contains(QStringLiteral("a file of an open project as a tab of its window")) &&
                usage.contains(QStringLiteral("in a tabbed window of its own")))
        << usage.toStdString();
    defaults.removeObject(QString::fromLatin1(QVUseTabs));
    closeEverything();
}

// A file changed or deleted by another program while it is open: an unedited text reloads, an
// edited one asks which to keep, and a deleted one asks to be saved; the same in a single-file
// window, in the tabbed window of a file outside any project and in a project's tab.
TEST(Windows, EveryDocumentWindowNoticesItsFileChangingOnDisk) {
    application();
    UserDefaults& defaults = UserDefaults::standard();
    TestDir dir;
    dir.write("project/inside.html", "<p>0</p>\n");
    auto* project = qobject_cast<QVProjectWindowController*>(application().openDocumentWithContentsOfFile(dir.file("project")));
    ASSERT_NE(project, nullptr);
    const auto rewrite = [](const QString& path, const QByteArray& bytes) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
    };
    // Answers the question holding words with the button titled answer.
    const auto askedFor = [](const QString& words, const QString& answer) {
        return waitFor([&] {
            for (QMessageBox* box : visibleBoxes())
                if ((box->text() + box->informativeText()).contains(words))
                    for (QAbstractButton* button : box->buttons())
                        if (button->text() == answer) return button->click(), true;
            return false;
        });
    };
    const struct {
        const char* name;
        const char* file;
        bool tabs;
    } windows[] = {{"single-file window", "single.html", false}, {"tabbed window", "tabbed.html", true}, {"project tab", "project/inside.html", true}};
    for (const auto& w : windows) {
        SCOPED_TRACE(w.name);
        defaults.setBool(w.tabs, QString::fromLatin1(QVUseTabs));
        const QString path = dir.write(w.file, "<p>0</p>\n");
        auto* window = qobject_cast<QVDocumentWindowController*>(application().openDocumentWithContentsOfFile(path));
        ASSERT_NE(window, nullptr);
        EXPECT_EQ(window == project, QString::fromLatin1(w.file).startsWith("project/"));
        QVFileDocument* document = window->document();
        ASSERT_TRUE(document && document->textView());
        HTMLView* text = document->textView();
        bringForward(window);

        rewrite(path, "<p>1</p>\n");
        EXPECT_TRUE(waitFor([&] { return text->fullString() == "<p>1</p>\n"; })) << "an unedited text did not reload";
        text->setSelectedRange(QVRange(0, 0));
        type("x");
        rewrite(path, "<p>2</p>\n");
        EXPECT_TRUE(askedFor("changed by another application", "Keep Qorvel Changes")) << "an edited text did not ask";
        ASSERT_TRUE(QFile::remove(path));
        // "Save File" writes it where it was, and the window keeps it.
        EXPECT_TRUE(askedFor("has been deleted on disk", "Save File")) << "a deleted file did not ask";
        EXPECT_TRUE(waitFor([&] { return readAll(path) == "x<p>1</p>\n"; })) << readAll(path).toStdString();
        waitFor([] { return false; }, std::chrono::milliseconds(100));
        EXPECT_TRUE(window->isVisible());
        EXPECT_EQ(window->document(), document);
        EXPECT_FALSE(document->isDocumentEdited());
        // The file is watched again: a change behind its back reloads it.
        rewrite(path, "<p>3</p>\n");
        EXPECT_TRUE(waitFor([&] { return text->fullString() == "<p>3</p>\n"; })) << "the saved file is not watched";
        if (window != project) window->close();
    }
    defaults.removeObject(QString::fromLatin1(QVUseTabs));
    closeEverything();
}

// Keys and windows as the user meets them: F1 shows the help in front of the user, un-minimised,
// and leaves the previewed page alone; Ctrl+S in front of Multi File Find saves what it changed,
// else the front document; the dark theme's gutter is dark; Escape closes the project's
// settings; Preferences opens with its title bar on the screen; the Welcome page's links stand
// apart in the plain view.
TEST(Windows, KeysAndWindowsDoWhatTheUserSees) {
    application();
    TestDir dir;
    const QString page = dir.write("page.html", "<p>preview</p>\n");
    dir.write("site/a.html", "<p>needle</p>\n");
    const QString b = dir.write("site/b.html", "<p>b</p>\n");
    // Qorvel's own preview is the only browser.
    const QString browsers = Defaults::appSupportPathForFile(QStringLiteral("data/browsers.plist"));
    QDir().mkpath(QFileInfo(browsers).path());
    writeBytes(QFile::encodeName(browsers), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><array><dict>"
                                            "<key>name</key><string>Qorvel</string></dict></array></plist>\n");
    QVBrowserRepository::sharedInstance().reloadList(true);

    auto* project = qobject_cast<QVProjectWindowController*>(application().openDocumentWithContentsOfFile(dir.file("site")));
    ASSERT_NE(project, nullptr);
    bringForward(project);
    QVIntegratedPreviewController& preview = QVIntegratedPreviewController::sharedPreview();
    preview.showURL(QUrl::fromLocalFile(page).toString());
    const QUrl previewed = QUrl::fromLocalFile(page);
    ASSERT_TRUE(waitFor([&] { return preview.webView()->url() == previewed; }));
    preview.showMinimized();
    bringForward(project);
    press(Qt::Key_F1, Qt::NoModifier);
    QVHelpWindowController* help = nullptr;
    EXPECT_TRUE(waitFor([&] {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* shown = qobject_cast<QVHelpWindowController*>(widget); shown && shown->isVisible()) help = shown;
        return help && help->isActiveWindow();
    })) << "F1 showed no help in front";
    if (help) {
        EXPECT_FALSE(help->isMinimized());
    }
    if (help) {
        EXPECT_TRUE(waitFor([&] { return help->webView()->url().toString().endsWith("Documentation/index.html"); }))
            << help->webView()->url().toString().toStdString();
    }
    EXPECT_EQ(preview.webView()->url(), previewed) << "the previewed page was replaced";
    EXPECT_TRUE(preview.isMinimized());
    if (help) help->close();
    preview.close();

    // Ctrl+S with Multi File Find in front: the document its replace changed in an editor, then
    // (nothing changed) the front document window's.
    project->openFileAtPath(dir.file("site/a.html"));
    QVFileDocument* a = project->documentForPath(dir.file("site/a.html"));
    ASSERT_NE(a, nullptr);
    QVMultiFileSearchController& find = QVMultiFileSearchController::sharedController();
    find.showWindow();
    find.setValue(QStringLiteral("needle"), QStringLiteral("searchString"));
    find.setValue(QStringLiteral("pin"), QStringLiteral("replaceString"));
    find.setMode(QVMultiFileSearchController::CurrentSite);
    bringForward(project);
    find.find();
    ASSERT_TRUE(waitFor([&] { return !find.searchIsRunning() && find.numberOfResults() == 1; }, std::chrono::seconds(20)));
    project->openFileAtPath(b);
    find.replace();
    QMessageBox* confirm = nullptr;
    ASSERT_TRUE(waitFor([&] { return (confirm = shownBox(QStringLiteral("ReplaceConfirmation"))) != nullptr; }));
    confirm->buttons().first()->click();
    ASSERT_TRUE(waitFor([&] { return !find.searchIsRunning() && a->isDocumentEdited(); }, std::chrono::seconds(20)));
    if (QMessageBox* report = shownBox(QStringLiteral("ReplaceReport"))) report->done(0);
    bringForward(find.window());
    press(Qt::Key_S, Qt::ControlModifier);
    EXPECT_TRUE(waitFor([&] { return !a->isDocumentEdited(); })) << "Ctrl+S saved nothing";
    EXPECT_EQ(readAll(dir.file("site/a.html")), "<p>pin</p>\n");
    QVFileDocument* front = project->documentForPath(b);
    ASSERT_NE(front, nullptr);
    project->activateDocument(front);
    bringForward(project);
    type("x");
    ASSERT_TRUE(front->isDocumentEdited());
    bringForward(find.window());
    find.setValue(QStringLiteral("nothing"), QStringLiteral("searchString"));
    find.find();
    ASSERT_TRUE(waitFor([&] { return !find.searchIsRunning(); }, std::chrono::seconds(20)));
    press(Qt::Key_S, Qt::ControlModifier);
    EXPECT_TRUE(waitFor([&] { return !front->isDocumentEdited(); })) << "Ctrl+S did not save the front document";
    find.window()->close();

    // The dark theme's gutter.
    QVThemeRepository& themes = QVThemeRepository::sharedRepository();
    const std::shared_ptr<QVTheme> before = themes.currentTheme();
    for (const auto& theme : themes.themes())
        if (theme->identifier().endsWith(QStringLiteral(".dark"))) themes.setCurrentTheme(theme);
    ASSERT_TRUE(themes.currentTheme()->identifier().endsWith(QStringLiteral(".dark")));
    NotificationCenter::defaultCenter().post(QString::fromLatin1(QorvelHighlightingPrefsChange), nullptr);
    bringForward(project);
    auto* gutter = project->currentTextView()->findChild<QVLineNumberingRulerView*>();
    ASSERT_NE(gutter, nullptr);
    ASSERT_TRUE(waitFor([&] { return gutter->isVisible(); }));
    const QImage shot = gutter->grab().toImage();
    const QColor corner = shot.pixelColor(2, shot.height() - 3);
    EXPECT_LT(corner.lightnessF(), 0.35) << corner.name().toStdString();
    themes.setCurrentTheme(before);
    NotificationCenter::defaultCenter().post(QString::fromLatin1(QorvelHighlightingPrefsChange), nullptr);

    // Escape closes the project's settings.
    project->editProjectSettings();
    QWidget* settings = nullptr;
    ASSERT_TRUE(waitFor([&] { return (settings = QApplication::activeWindow()) && qobject_cast<QVProjectSettingsWindowController*>(settings); }));
    press(Qt::Key_Escape, Qt::NoModifier);
    EXPECT_TRUE(waitFor([&] { return QApplication::activeWindow() != settings; }, std::chrono::seconds(2)) &&
                !qobject_cast<QVProjectSettingsWindowController*>(QApplication::activeWindow()))
        << "Escape left the settings open";

    // Preferences placed above the screen's top edge comes back below it.
    QVPreferences& preferences = QVPreferences::sharedInstance();
    preferences.close();
    preferences.move(40, -120);
    preferences.showWindow();
    const QRect available = preferences.screen()->availableGeometry();
    EXPECT_GE(preferences.frameGeometry().top(), available.top());
    EXPECT_LE(preferences.frameGeometry().top(), available.bottom() - 40);
    preferences.close();

    // The Welcome page's links as the plain view shows them.
    QTextBrowser plain;
    plain.setHtml(QString::fromUtf8(readAll(AppBundle::main().pathForResource(QStringLiteral("info"), QStringLiteral("html")))));
    EXPECT_TRUE(plain.toPlainText().contains(QRegularExpression(QStringLiteral("Editing\\W+Files and sites\\W+Tools"))))
        << plain.toPlainText().left(200).toStdString();

    QFile::remove(browsers);
    QVBrowserRepository::sharedInstance().reloadList(true);
    closeEverything();
}
