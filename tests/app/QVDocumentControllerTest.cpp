// The application controller: the consent question asked once, the launch's success rule, the
// open path (one document per file, missing paths open nothing, projects take their files, qvdt
// ranges), items hidden until their window or address exists, and quitting that loses nothing.
#include "app/QVDocumentController.h"

#include "editor/HTMLView.h"
#include "editor/QVFileDocument.h"
#include "editor/windows/QVSingleFileWindowController.h"
#include "platform/Process.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"
#include "shell/QVMainMenu.h"
#include "shell/QVOutsideServices.h"
#include "app/FolderWindow.h"
#include "tests/support/TestSupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QMainWindow>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

namespace P = QVMainMenuPlace;

QVDocumentController& controller() {
    static QVDocumentController* made = new QVDocumentController;
    return *made;
}

QList<QMainWindow*> visibleWindows() {
    QList<QMainWindow*> windows;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* window = qobject_cast<QMainWindow*>(widget); window && window->isVisible()) windows << window;
    return windows;
}

void closeEverything() {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(widget)) box->done(0);
    for (QMainWindow* window : visibleWindows()) {
        if (auto* single = qobject_cast<QVSingleFileWindowController*>(window)) single->document()->updateChangeCount(QVDocument::ChangeType::Cleared);
        window->close();
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

// The visible box that tells a path is missing, if any.
QMessageBox* notFoundBox() {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible() && box->windowTitle() == QStringLiteral("File not found")) return box;
    for (QMainWindow* window : visibleWindows())
        for (auto* box : window->findChildren<QMessageBox*>())
            if (box->isVisible() && box->windowTitle() == QStringLiteral("File not found")) return box;
    return nullptr;
}

bool click(const QString& title) {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return false;
    for (QAbstractButton* button : box->buttons())
        if (button->text() == title) {
            button->click();
            for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
            return true;
        }
    return false;
}

class CountingAnalytics : public QVAnalyticsClient {
public:
    explicit CountingAnalytics(int* events) : _events(events) {}
    void track(const QString&, const QVariantMap&) override { ++*_events; }

private:
    int* _events;
};

}  // namespace

TEST(QVDocumentController, TheConsentQuestionIsAskedOnceAndOnlyGatesTheSilentServices) {
    UserDefaults& defaults = UserDefaults::standard();
    const QString consent = QString::fromLatin1(qvAnonymousUsageTracking);
    struct Case {
        QVariant stored;
        bool answer;
        bool asked;
        bool after;
    };
    const Case cases[] = {{{}, false, true, false}, {{}, true, true, true}, {false, true, false, false}, {true, false, false, true}};
    for (const Case& c : cases) {
        defaults.removeObject(consent);
        if (c.stored.isValid()) defaults.setObject(c.stored, consent);
        int asked = 0;
        QVDocumentController::setConsentQuestion([&] { ++asked; return c.answer; });
        controller().applicationWillFinishLaunching();
        EXPECT_EQ(asked, c.asked ? 1 : 0);
        EXPECT_EQ(defaults.objectForKey(consent), QVariant(c.after));
        // Nothing is sent even with consent: a default install has no token.
        int events = 0;
        QVOutsideServices::setAnalytics(std::make_unique<CountingAnalytics>(&events));
        QVOutsideServices::track(QStringLiteral("App Start"));
        EXPECT_EQ(events, 0);
    }
    QVOutsideServices::setAnalytics(nullptr);
    // The snippet and script folders are set when absent and kept when present.
    defaults.removeObject(QString::fromLatin1(qvSnippetsLocation));
    defaults.setString(QStringLiteral("/elsewhere/scripts"), QString::fromLatin1(qvUserScriptsLocation));
    controller().applicationWillFinishLaunching();
    EXPECT_EQ(defaults.stringForKey(QString::fromLatin1(qvSnippetsLocation)), Defaults::appSupportPathForFile(QStringLiteral("snippets")));
    EXPECT_EQ(defaults.stringForKey(QString::fromLatin1(qvUserScriptsLocation)), QStringLiteral("/elsewhere/scripts"));
}

// A damaged settings file brings the first-launch question back: the window says why, once,
// before that question and closed before it is asked (Return closes the window, never answers
// the question), and where the damaged file is kept (or that it stays as it was).
TEST(QVDocumentController, ADamagedSettingsFileIsToldOnceBeforeTheFirstLaunchQuestion) {
    const auto damageBoxes = [] {
        QList<QMessageBox*> boxes;
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible() && box->objectName() == u"QVDamagedSettings") boxes << box;
        return boxes;
    };
    const struct {
        const char* what;
        bool folderShut;  // nothing in it can be renamed
    } rows[] = {{"set aside", false}, {"left where it is", true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_TRUE(UserDefaults::standard().synchronize());
        const QString path = UserDefaults::standard().path();
        const QFileInfo file(path);
        for (const QString& aside : QDir(file.path()).entryList({file.fileName() + QStringLiteral(".bad*")}, QDir::Files))
            ASSERT_TRUE(QFile::remove(file.path() + u'/' + aside));
        ASSERT_TRUE(QDir().mkpath(file.path()));
        ASSERT_TRUE(writeBytes(QFile::encodeName(path), "<plist><dict><key>cut"));
        const auto shut = [&](bool closed) {
            return Process::run(QStringLiteral("chattr"), {closed ? "+i" : "-i", file.path()}).succeeded();
        };
        if (row.folderShut) {
            ASSERT_TRUE(shut(true)) << "chattr (package e2fsprogs) failed: it needs the superuser";
        }
        UserDefaults::resetStandard();
        if (row.folderShut) {
            ASSERT_TRUE(shut(false));
        }
        int asked = 0, shownAtQuestion = -1, told = 0;
        bool closedByReturn = false;
        QString text;
        // Return on the window once it shows: it closes it, and the question comes only then.
        QTimer::singleShot(0, [&] {
            const QList<QMessageBox*> boxes = damageBoxes();
            if (boxes.size() != 1 || asked) return;
            ++told;
            text = boxes.first()->text();
            QTest::keyClick(boxes.first(), Qt::Key_Return);
            closedByReturn = !boxes.first()->isVisible();
        });
        // A window Return left open fails the row rather than the run.
        QTimer::singleShot(5000, [&] {
            for (QMessageBox* box : damageBoxes()) box->reject();
        });
        QVDocumentController::setConsentQuestion([&] {
            ++asked;
            shownAtQuestion = int(damageBoxes().size());
            return false;
        });
        controller().applicationWillFinishLaunching();
        controller().applicationWillFinishLaunching();
        QApplication::processEvents();
        EXPECT_EQ(told, 1);
        EXPECT_TRUE(closedByReturn);
        EXPECT_EQ(asked, 1);
        EXPECT_EQ(shownAtQuestion, 0);
        EXPECT_TRUE(damageBoxes().isEmpty());
        EXPECT_TRUE(text.contains(QStringLiteral("\u201c%1\u201d is damaged").arg(path))) << text.toStdString();
        EXPECT_EQ(text.contains(QStringLiteral("\u201c%1.bad\u201d").arg(path)), !row.folderShut) << text.toStdString();
        EXPECT_EQ(text.contains(QStringLiteral("could not be moved aside")), row.folderShut) << text.toStdString();
        EXPECT_EQ(readBytes(QFile::encodeName(path + QStringLiteral(".bad"))), row.folderShut ? QByteArray("<missing>") : QByteArray("<plist><dict><key>cut"));
        closeEverything();
        // A sound store again for whatever runs next.
        QFile::remove(path);
        UserDefaults::resetStandard();
        Defaults::resetDefaults();
    }
}

TEST(QVDocumentController, TheOpenPathShowsEachFileOnceAndOpensNothingForAMissingPath) {
    TestDir dir;
    const QString a = dir.write(QStringLiteral("a.html"), "<p>0123456789</p>\n");
    dir.write(QStringLiteral("sub/b.css"), "p {}\n");
    struct Case {
        const char* name;
        bool useTabs;
        QStringList arguments;
        bool success;
        int windows;   // visible after the request
        bool notFound;
    };
    const Case cases[] = {
        {"files, one spelled twice, single windows", false, {QStringLiteral("a.html"), QStringLiteral("./sub/../a.html"), QStringLiteral("sub/b.css")}, true, 2, false},
        {"files, one spelled twice, tabs", true, {QStringLiteral("a.html"), a}, true, 1, false},
        {"a folder", false, {QStringLiteral("sub")}, true, 1, false},
        {"a missing file among real ones", false, {QStringLiteral("a.html"), QStringLiteral("gone.html")}, false, 1, true},
        {"a missing file alone", true, {QStringLiteral("gone.html")}, false, 0, true},
        {"a qvdt address of a missing file", false, {QStringLiteral("qvdt://open?file=%2Fnowhere%2Fx.html&range=1,2")}, false, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UserDefaults::standard().setBool(c.useTabs, QString::fromLatin1(QVUseTabs));
        QVDocumentController opener;
        EXPECT_EQ(opener.openFiles(c.arguments, dir.path()), c.success);
        EXPECT_EQ(opener.filesLoaded(), c.success);
        EXPECT_EQ(visibleWindows().size(), c.windows);
        EXPECT_EQ(notFoundBox() != nullptr, c.notFound);
        closeEverything();
    }
}

TEST(QVDocumentController, QvdtAddressesSelectTheirClampedRangeAndProjectsTakeTheirFiles) {
    TestDir dir;
    const QString a = dir.write(QStringLiteral("my page.html"), "<p>0123456789</p>\n");
    UserDefaults::standard().setBool(false, QString::fromLatin1(QVUseTabs));
    struct Case {
        QString address;
        QVRange selected;
    };
    const QString file = QString::fromUtf8(QUrl::toPercentEncoding(a));
    const Case cases[] = {
        {QStringLiteral("qvdt://open?range=3,4&file=") + file, {3, 4}},
        {QStringLiteral("qvdt://open?file=") + file + QStringLiteral("&range=15,99"), {15, 3}},
        {QStringLiteral("qvdt://open?file=") + file + QStringLiteral("&range=-5,2"), {0, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address.toStdString());
        auto* window = qobject_cast<QVDocumentWindowController*>(controller().openArgument(c.address, dir.path()));
        ASSERT_NE(window, nullptr);
        EXPECT_EQ(window->currentTextView()->selectedRange(), c.selected);
        EXPECT_EQ(visibleWindows().size(), 1);  // the same window each time
    }
    closeEverything();

    // An open project containing the path takes it (file or folder); a folder no project
    // contains becomes a new project.
    QMainWindow projectWindow;
    QStringList asked;
    QVDocumentController::setProjects({[&](const QString& path, bool isFolder) -> QMainWindow* {
                                           asked << (isFolder ? QStringLiteral("in:") : QStringLiteral("file:")) + QFileInfo(path).fileName();
                                           return path.contains(QStringLiteral("/inside")) ? &projectWindow : nullptr;
                                       },
                                       [&](const QString& folder) -> QMainWindow* {
                                           asked << QStringLiteral("new:") + QFileInfo(folder).fileName();
                                           return &projectWindow;
                                       }});
    dir.write(QStringLiteral("inside/c.html"), "c");
    dir.write(QStringLiteral("outside/d.html"), "d");
    EXPECT_EQ(controller().openDocumentWithContentsOfFile(dir.file(QStringLiteral("inside/c.html"))), &projectWindow);
    EXPECT_EQ(controller().openDocumentWithContentsOfFile(dir.file(QStringLiteral("outside"))), &projectWindow);
    EXPECT_NE(controller().openDocumentWithContentsOfFile(dir.file(QStringLiteral("outside/d.html"))), &projectWindow);
    EXPECT_EQ(asked, (QStringList{QStringLiteral("file:c.html"), QStringLiteral("in:outside"), QStringLiteral("new:outside"),
                                  QStringLiteral("file:d.html")}));
    QVDocumentController::setProjects({});
    closeEverything();
}

TEST(QVDocumentController, ItemsShowOnlyOnceTheirWindowOrAddressExists) {
    controller();
    QMainWindow window;
    QVMainMenu::shared().attach(&window);
    const auto item = [&](const QString& place, const QString& name) -> QAction* {
        for (QAction* action : QVMainMenu::windowMenu(&window, place)->actions())
            if (action->objectName() == name) return action;
        return nullptr;
    };
    // The shipped Info.plist names no web address.
    for (const char* web : {"showWebsite", "showSupport", "showTwitter"}) {
        EXPECT_FALSE(QVDocumentController::webAddress(QString::fromLatin1(web)).has_value());
        EXPECT_FALSE(item(P::HelpMenu, QString::fromLatin1(web))->isVisible());
    }
    // Preferences… shows the window; a stand-in set in its place takes the choice, and removing
    // it gives the item back to the window.
    QAction* preferences = item(P::EditMenu, QStringLiteral("showPreferences"));
    ASSERT_NE(preferences, nullptr);
    EXPECT_TRUE(preferences->isVisible());
    int shown = 0;
    QVDocumentController::setPanel(QVDocumentController::Panel::Preferences, [&] { ++shown; });
    EXPECT_TRUE(preferences->isVisible());
    preferences->trigger();
    EXPECT_TRUE(QVMainMenu::shared().perform(QStringLiteral("showPanel"), QStringLiteral("showPreferences")));
    EXPECT_EQ(shown, 2);
    QVDocumentController::setPanel(QVDocumentController::Panel::Preferences, {});
    EXPECT_TRUE(preferences->isVisible());
    EXPECT_TRUE(item(P::WindowMenu, QStringLiteral("showTidyPanel"))->isVisible());
}

TEST(QVDocumentController, QuittingAsksEachEditedDocumentAndACancelKeepsEverything) {
    TestDir dir;
    UserDefaults::standard().setBool(false, QString::fromLatin1(QVUseTabs));
    const QString a = dir.write(QStringLiteral("a.txt"), "a");
    const QString b = dir.write(QStringLiteral("b.txt"), "b");
    struct Case {
        const char* first;   // the answer to the first question
        const char* second;  // to the second, if asked
        int windowsLeft;
    };
    const Case cases[] = {
        {"Cancel", nullptr, 2},
        {"Save", "Cancel", 1},  // one saved and closed, the other kept edited
        {"Save", "Save", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.first);
        for (const QString& path : {a, b}) {
            auto* window = qobject_cast<QVDocumentWindowController*>(controller().openDocumentWithContentsOfFile(path));
            ASSERT_NE(window, nullptr);
            window->currentTextView()->setSelectedRange({1, 0});
            window->currentTextView()->insertText(QStringLiteral("+"));
        }
        for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();  // the edits reach their documents
        controller().terminateApp();
        for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
        ASSERT_TRUE(click(QString::fromLatin1(c.first)));
        if (c.second) {
            ASSERT_TRUE(click(QString::fromLatin1(c.second)));
        }
        for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
        EXPECT_EQ(visibleWindows().size(), c.windowsLeft);
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);  // asked no further after a cancel
        // Nothing is lost: every file is either saved with its change or still open, edited.
        int edited = 0;
        for (QMainWindow* window : visibleWindows())
            edited += qobject_cast<QVDocumentWindowController*>(window)->document()->isDocumentEdited();
        const int saved = (readAll(a) == "a+") + (readAll(b) == "b+");
        EXPECT_EQ(edited + saved, 2);
        EXPECT_EQ(edited, c.windowsLeft);
        closeEverything();
        for (const QString& path : {a, b}) dir.write(QFileInfo(path).fileName(), QFileInfo(path).baseName().toUtf8());
    }
}
