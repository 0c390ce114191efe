// The project window on a real folder, offscreen: the outline, opening and tabs, new files and
// folders, renames, deletions that ask and act on the node asked about, tabs of removed files,
// imports that never replace, the local project that never uploads, keys, and the version-control
// column against a recording controller.
#include "editor/HTMLView.h"
#include "editor/QVFileDocument.h"
#include "editor/QVProjectSCMController.h"
#include "editor/QVStatusBar.h"
#include "editor/QVTab.h"
#include "editor/QVTabBarView.h"
#include "editor/QVTabView.h"
#include "files/QVRootFile.h"
#include "files/QVSCMStatusEntry.h"
#include "platform/MainQueue.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"
#include "projects/QVProject.h"
#include "projects/windows/QVProjectOutlineModel.h"
#include "projects/windows/QVProjectView.h"
#include "projects/windows/QVProjectWindowController.h"
#include "projects/windows/QVSplitView.h"
#include "shell/QVAlertManager.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QMessageBox>
#include <QTest>

namespace {

struct RecordingSCM : QVProjectSCMController {
    static inline QStringList calls;
    void getStatusForPath(const QString& path, bool directory, bool recursive) override {
        calls << QStringLiteral("status %1 %2 %3").arg(path.isEmpty() ? "-" : path).arg(directory).arg(recursive);
    }
    void addFilesToRepository(const QStringList&) override {}
    void commitFiles(const QStringList&, QWidget*) override {}
    void revertPath(const QString&) override {}
    void diffPath(const QString&, const QString&) override {}
    void comparePath(const QString&, const QString&) override {}
    void annotatePath(const QString&, const QString&) override {}
    void updatePath(const QString&, const QString&) override {}
    void getLogForPath(const QString&, const QString&, LogTag, QWidget*) override {}
    QString username() override { return {}; }
    void setCredentials(const QString&, const QString&, bool) override {}
    void credentialsCancelled() override {}
};

struct Entry : QVSCMStatusEntry {
    QString p, letter;
    Entry(QString path, QString l) : p(std::move(path)), letter(std::move(l)) {}
    QString path() const override { return p; }
    qint32 workingCopyStatus() const override { return letter == "M" ? ModifiedStatus : UnversionedStatus; }
    QString workingCopyStatusLetter() const override { return letter; }
};

void settle() {
    for (int i = 0; i < 5; ++i) {
        QApplication::processEvents();
        MainQueue::drain();
    }
}

struct ProjectWindow {
    TestDir dir;
    std::shared_ptr<QVProject> project;
    std::unique_ptr<QVProjectWindowController> window;

    ProjectWindow() {
        dir.write("site/index.html", "<p>index</p>\n");
        dir.write("site/about.html", "<p>about</p>\n");
        dir.write("site/css/main.css", "body {}\n");
        dir.write("site/js/app.js", "app();\n");
        project = QVProject::createWithRootDirectory(dir.file("site"), "Site");
        project->setIsOpen(true);  // as its document does
        window = std::make_unique<QVProjectWindowController>(project);
        window->resize(900, 600);
        window->show();
        settle();
    }
    ~ProjectWindow() {
        window.reset();
        project->close();
    }
    QString path(const QString& name) const { return dir.file("site/" + name); }
    std::shared_ptr<QVFile> node(const QString& pathFromRoot) const {
        if (pathFromRoot.isEmpty()) return project->rootFile();
        return project->rootFile()->childWithPath(pathFromRoot.split('/'), true);
    }
    void select(const QString& pathFromRoot) const {
        const auto n = node(pathFromRoot);
        // Its folders open first, so it has a row.
        QList<std::shared_ptr<QVFile>> folders;
        for (auto up = n->parent(); up && up != project->rootFile(); up = up->parent()) folders.prepend(up);
        for (const auto& folder : folders) {
            const QModelIndex row = window->outlineModel()->indexForNode(folder.get());
            window->outlineModel()->fetchMore(row);
            window->outlineView()->expand(row);
        }
        window->selectNode(n);
        ASSERT_EQ(window->selectedFile(), n) << pathFromRoot.toStdString();
    }
    QStringList topRows() const {
        QStringList rows;
        for (int r = 0; r < window->outlineModel()->rowCount(); ++r)
            rows << window->outlineModel()->data(window->outlineModel()->index(r, 0), Qt::DisplayRole).toString();
        return rows;
    }
    QStringList tabs() const {
        QStringList names;
        for (QVFileDocument* d : window->openDocuments()) names << d->displayName();
        return names;
    }
    // Answers the question now up with the button titled so.
    void answer(const QString& button) const {
        settle();
        QMessageBox* sheet = window->questions()->currentSheet();
        ASSERT_TRUE(sheet) << "no question";
        for (QAbstractButton* b : sheet->buttons())
            if (b->text() == button) return b->click(), settle();
        FAIL() << "no button " << button.toStdString();
    }
    QStringList buttons() const {
        settle();
        QStringList titles;
        if (QMessageBox* sheet = window->questions()->currentSheet())
            for (QAbstractButton* b : sheet->buttons()) titles << b->text();
        titles.sort();
        return titles;
    }
};

}  // namespace

TEST(ProjectWindow, ALocalProjectShowsItsFolderOpensFilesAndNeverUploads) {
    UserDefaults::standard().setBool(false, QVProjectWindowController::DoubleClickToOpenFilesKey);
    ProjectWindow w;
    EXPECT_EQ(w.topRows(), QStringList({"about.html", "css", "index.html", "js"}));
    EXPECT_TRUE(w.window->outlineView()->isColumnHidden(QVProjectOutlineModel::IndicatorColumn));
    EXPECT_EQ(w.window->documentStatusBar()->barMode(), QVStatusBar::Local);
    EXPECT_EQ(w.window->windowTitle(), "Site[*]");

    // A click opens a file (one tab however often), a folder toggles, Return does the same.
    w.window->outlineSingleAction(w.window->outlineModel()->indexForNode(w.node("index.html").get()));
    w.window->outlineSingleAction(w.window->outlineModel()->indexForNode(w.node("index.html").get()));
    EXPECT_EQ(w.tabs(), QStringList({"index.html"}));
    EXPECT_EQ(w.window->windowTitle(), QString("index.html ") + QChar(0x2014) + " Site[*]");
    const QModelIndex css = w.window->outlineModel()->indexForNode(w.node("css").get());
    w.window->outlineView()->setCurrentIndex(css);
    QTest::keyClick(w.window->outlineView(), Qt::Key_Return);
    EXPECT_TRUE(w.window->outlineView()->isExpanded(css));
    w.select("css/main.css");
    QTest::keyClick(w.window->outlineView(), Qt::Key_Return);
    EXPECT_EQ(w.tabs(), QStringList({"index.html", "main.css"}));
    EXPECT_EQ(w.project->configurationValueForKey(QVProject::OpenFilesKey).toList().size(), 0);  // written on commit
    EXPECT_EQ(w.window->openFileInformation(),
              QVariantList({QVariantMap{{"path", "index.html"}}, QVariantMap{{"path", "css/main.css"}}}));

    // A host left in a local project's settings: no upload after saves, no Connect, no Upload.
    QVProjectRemoteConfiguration config = w.project->remoteConfig();
    config.setHost("127.0.0.1");
    w.project->setRemoteConfig(config);
    w.project->setBoolConfigurationValue(true, QVProject::UploadAutomaticallyKey);
    EXPECT_FALSE(w.window->fileShouldUpload(w.node("index.html")));
    w.window->validateCommands();
    EXPECT_FALSE(w.window->commandAction("uploadFile")->isEnabled());
    EXPECT_FALSE(w.window->commandAction("establishRemoteConnection")->isEnabled());
    EXPECT_TRUE(w.window->commandAction("duplicateFile")->isEnabled());

    // File commands name folders "Directory" while one is selected.
    w.select("js");
    w.window->validateCommands();
    EXPECT_EQ(w.window->commandAction("deleteFile")->text(), "Delete Directory…");
    w.select("about.html");
    w.window->validateCommands();
    EXPECT_EQ(w.window->commandAction("deleteFile")->text(), "Delete File…");

    // The project view hides and comes back.
    w.window->toggleProjectView();
    EXPECT_TRUE(w.window->splitView()->isLeftPaneCollapsed());
    w.window->toggleProjectView();
    EXPECT_FALSE(w.window->splitView()->isLeftPaneCollapsed());
}

TEST(ProjectWindow, NewFilesRenamesAndImportsNeverReplaceOrEscape) {
    ProjectWindow w;
    // Tag 1 makes a folder, any other an empty file that opens; an existing file is kept.
    w.window->newFilePanelDidEnd(w.path("css/new.css"), 0);
    w.window->newFilePanelDidEnd(w.path("img"), 1);
    w.window->newFilePanelDidEnd(w.path("index.html"), 0);
    settle();
    EXPECT_EQ(readAll(w.path("css/new.css")), "");
    EXPECT_TRUE(QFileInfo(w.path("img")).isDir());
    EXPECT_EQ(readAll(w.path("index.html")), "<p>index</p>\n");
    EXPECT_EQ(w.tabs(), QStringList({"new.css"}));
    EXPECT_EQ(w.topRows(), QStringList({"about.html", "css", "img", "index.html", "js"}));
    w.answer("OK");  // the refusal to make index.html again

    // Renames: one component, never over another file.
    const QModelIndex about = w.window->outlineModel()->indexForNode(w.node("about.html").get());
    for (const QString bad : {"../up.html", "a/b.html", "..", "index.html"}) {
        SCOPED_TRACE(bad.toStdString());
        w.window->outlineModel()->setData(about, bad, Qt::EditRole);
        settle();
        w.answer("OK");
    }
    EXPECT_EQ(readAll(w.path("about.html")), "<p>about</p>\n");
    EXPECT_EQ(readAll(w.path("index.html")), "<p>index</p>\n");
    EXPECT_FALSE(QFile::exists(w.dir.file("up.html")));
    w.window->outlineModel()->setData(about, "team.html", Qt::EditRole);
    settle();
    EXPECT_EQ(readAll(w.path("team.html")), "<p>about</p>\n");
    EXPECT_TRUE(w.topRows().contains("team.html"));

    // Imports: a name taken is refused with the reason and both files stay; a folder never goes
    // into itself; the rest moves in.
    w.dir.write("outside/index.html", "other");
    w.dir.write("outside/extra.js", "x");
    w.window->importFiles({w.dir.file("outside/index.html"), w.dir.file("outside/extra.js"), w.path("js")}, w.node(""), true);
    EXPECT_TRUE(w.window->questions()->currentSheet()->informativeText().contains("index.html"));
    w.answer("OK");
    EXPECT_EQ(readAll(w.dir.file("outside/index.html")), "other");
    EXPECT_EQ(readAll(w.path("index.html")), "<p>index</p>\n");
    EXPECT_EQ(readAll(w.path("extra.js")), "x");
    EXPECT_FALSE(QFile::exists(w.dir.file("outside/extra.js")));
    EXPECT_TRUE(w.topRows().contains("extra.js"));
    w.window->importFiles({w.path("css")}, w.node("css"), false);
    w.answer("OK");
    EXPECT_EQ(QDir(w.path("css")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList({"main.css", "new.css"}));
    // Dropping a folder into itself through the outline is refused before any question.
    EXPECT_FALSE(w.window->moveNode(w.node("css"), w.node("css")));
}

TEST(ProjectWindow, DeletingAsksActsOnTheNodeAskedAboutAndKeepsEditedTabs) {
    QDir().mkpath(testSandbox() + "/xdg-data");
    qputenv("XDG_DATA_HOME", QFile::encodeName(testSandbox() + "/xdg-data"));
    ProjectWindow w;
    w.window->openFile(w.node("about.html"));
    w.window->openFile(w.node("index.html"));
    w.window->openFile(w.node("js/app.js"));
    QVFileDocument* edited = w.window->documentForFile(w.node("index.html"));
    w.window->activateDocument(edited);
    QTest::keyClicks(edited->textView(), "unsaved ");
    ASSERT_TRUE(edited->isDocumentEdited());

    // Cancel keeps the file.
    w.select("about.html");
    w.window->deleteFile();
    EXPECT_EQ(w.buttons(), QStringList({"Cancel", "Delete", "Move to Trash"}));
    w.answer("Cancel");
    EXPECT_TRUE(QFile::exists(w.path("about.html")));

    // The answer acts on the node asked about, even after the selection moved; its clean tab closes.
    w.window->deleteFile();
    w.select("css/main.css");
    w.answer("Move to Trash");
    EXPECT_FALSE(QFile::exists(w.path("about.html")));
    EXPECT_TRUE(QFile::exists(w.path("css/main.css")));
    EXPECT_TRUE(QFile::exists(testSandbox() + "/xdg-data/Trash/files/about.html"));
    EXPECT_EQ(w.tabs(), QStringList({"index.html", "app.js"}));

    // An edited tab stays open with its text when its file goes; the question names it.
    w.select("index.html");
    w.window->deleteFile();
    settle();
    ASSERT_TRUE(w.window->questions()->currentSheet());
    EXPECT_TRUE(w.window->questions()->currentSheet()->informativeText().contains("index.html"));
    w.answer("Delete");
    EXPECT_FALSE(QFile::exists(w.path("index.html")));
    EXPECT_TRUE(w.tabs().contains("index.html"));
    EXPECT_TRUE(edited->isDocumentEdited());

    // A folder's question, and its clean tabs close with it.
    w.select("js");
    w.window->deleteFile();
    w.answer("Delete");
    EXPECT_FALSE(QFile::exists(w.path("js")));
    EXPECT_FALSE(w.tabs().contains("app.js"));
    EXPECT_EQ(w.topRows(), QStringList({"css"}));
}

TEST(ProjectWindow, VersionControlColumnFollowsItsControllerAndSetting) {
    RecordingSCM::calls.clear();
    // The client was found: the start-up check has nothing left to ask.
    UserDefaults::standard().setString("/usr/bin/svn", "QVSubversionExecPath");
    QVProject::setSCMControllerFactory([](QVProject&) { return std::make_unique<RecordingSCM>(); });
    {
        ProjectWindow w;
        EXPECT_TRUE(w.window->scmColumnShown());
        EXPECT_FALSE(w.window->outlineView()->isColumnHidden(QVProjectOutlineModel::SCMColumn));
        EXPECT_EQ(w.window->outlineView()->header()->visualIndex(QVProjectOutlineModel::SCMColumn), 0);
        // The first expansion asks the folder's status; the second refreshes instead.
        const QModelIndex css = w.window->outlineModel()->indexForNode(w.node("css").get());
        w.window->outlineView()->expand(css);
        w.window->outlineView()->collapse(css);
        w.window->outlineView()->expand(css);
        w.window->scmRefreshStatus();
        EXPECT_EQ(RecordingSCM::calls, QStringList({"status - 1 0", "status css 1 0", "status . 1 1"}));

        // A status result reaches the rows.
        w.window->projectRetrievedStatus({std::make_shared<Entry>("index.html", "M"), std::make_shared<Entry>("css/main.css", "?")}, ".", true);
        settle();
        auto letter = [&](const QString& path) {
            return w.window->outlineModel()->data(w.window->outlineModel()->indexForNode(w.node(path).get(), QVProjectOutlineModel::SCMColumn), Qt::DisplayRole).toString();
        };
        EXPECT_EQ(letter("index.html"), "M");
        EXPECT_EQ(letter("css/main.css"), "?");

        // Turned off: the column goes and documents get no controller.
        w.window->toggleSCM();
        EXPECT_TRUE(w.project->boolConfigurationValueForKey(QVProjectWindowController::SCMDisabledKey));
        EXPECT_TRUE(w.window->outlineView()->isColumnHidden(QVProjectOutlineModel::SCMColumn));
        EXPECT_EQ(w.window->scmControllerForDocument(nullptr), nullptr);
        w.window->toggleSCM();
        EXPECT_FALSE(w.window->outlineView()->isColumnHidden(QVProjectOutlineModel::SCMColumn));
    }
    QVProject::setSCMControllerFactory({});
}

TEST(ProjectWindow, ReorderedTabsAreTheSavedOpenFilesAndAVanishedRootEmptiesTheOutline) {
    UserDefaults::standard().setBool(true, QStringLiteral("QVUseTabs"));
    ProjectWindow w;
    for (const char* path : {"index.html", "about.html", "css/main.css"}) w.window->openFile(w.node(path));
    settle();
    // The first tab dragged to the last place: the order saved when the write comes is the new one.
    QVTabBarView* bar = w.window->tabView()->tabBar();
    QVTab* first = bar->tabAtIndex(0);
    auto send = [](QWidget* widget, QEvent::Type type, const QPoint& at, Qt::MouseButtons buttons) {
        QMouseEvent event(type, QPointF(at), widget->mapToGlobal(QPointF(at)), Qt::LeftButton, buttons, {});
        QApplication::sendEvent(widget, &event);
    };
    const QPoint start(first->width() / 2, first->height() / 2);
    send(first, QEvent::MouseButtonPress, start, Qt::LeftButton);
    for (int x : {150, 300, bar->width() - 10}) send(first, QEvent::MouseMove, first->mapFrom(bar, QPoint(x, 12)), Qt::LeftButton);
    send(first, QEvent::MouseButtonRelease, first->mapFrom(bar, QPoint(bar->width() - 10, 12)), Qt::NoButton);
    settle();
    EXPECT_EQ(w.tabs(), QStringList({"about.html", "main.css", "index.html"}));
    EXPECT_TRUE(w.project->hasPendingCommit());
    QVProject::flushAllPendingCommits();
    QStringList saved;
    for (const QVariant& entry : w.project->configurationValueForKey(QVProject::OpenFilesKey).toList()) saved << entry.toMap().value("path").toString();
    EXPECT_EQ(saved, QStringList({"about.html", "css/main.css", "index.html"}));

    // The project's folder goes from under the window: the rows go, the window stays usable.
    QDir(w.dir.file("site")).removeRecursively();
    w.window->refreshAll();
    w.window->fileNeedsRefresh(w.project->rootFile());
    settle();
    EXPECT_TRUE(w.topRows().isEmpty());
    EXPECT_FALSE(w.window->selectedFile());
    // Its open files' tabs ask what to do about their files; a new file there fails and says so.
    const qsizetype asked = w.window->questions()->queuedCount() + (w.window->questions()->currentSheet() ? 1 : 0);
    w.window->newFilePanelDidEnd(w.path("new.html"), 0);
    settle();
    EXPECT_FALSE(QFile::exists(w.path("new.html")));
    EXPECT_EQ(w.window->questions()->queuedCount() + (w.window->questions()->currentSheet() ? 1 : 0), asked + 1);
}

TEST(ProjectWindow, AProjectFileThatCouldNotBeReadOrHeldRefusedSiteSettingsIsSaidInTheWindow) {
    QByteArray refused;
    {
        TestDir plist;
        const QVariantMap project{{"format-version", 1},
                                  {"remote-metadata", QVariantMap{{"host", "127.0.0.1"}, {"protocol", 1},
                                                                  {"options", QVariantMap{{"other", "-oProxyCommand=id -C"}}}}}};
        ASSERT_TRUE(PropertyList::writeFile(project, plist.file("p.qvproj"), PlistFormat::XML));
        QFile f(plist.file("p.qvproj"));
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        refused = f.readAll();
    }
    const struct {
        const char* what;
        QByteArray file;
        const char* said;
    } cases[] = {
        {"unreadable", QByteArray("\x01not a project", 14), "could not be read"},
        {"a refused client option", refused, "-oProxyCommand=id"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TestDir dir;
        dir.write("site/Site.qvproj", c.file);
        auto project = QVProject::createWithRootDirectory(dir.file("site"), "Site");
        project->setIsOpen(true);
        auto window = std::make_unique<QVProjectWindowController>(project);
        window->show();
        settle();
        QMessageBox* sheet = window->questions()->currentSheet();
        ASSERT_TRUE(sheet) << "nothing said";
        EXPECT_TRUE((sheet->text() + sheet->informativeText()).contains(c.said))
            << (sheet->text() + " | " + sheet->informativeText()).toStdString();
        window.reset();
        project->close();
    }
}
