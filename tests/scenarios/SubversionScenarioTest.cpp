// Subversion in qorvel's real project window, offscreen, against real working copies: File >
// Subversion enabled by each file's status, Discard Changes asking first, result documents named
// and unedited, the toolbar's Refresh Project, an update that ends in conflict, and closing or
// quitting while a commit runs.
#include "tests/scenarios/Scenario.h"

#include "app/QVDocumentController.h"
#include "editor/HTMLView.h"
#include "editor/QVFileDocument.h"
#include "editor/windows/QVMultiFileWindowController.h"
#include "files/QVFile.h"
#include "files/QVRootFile.h"
#include "projects/QVProject.h"
#include "projects/windows/QVProjectOutlineModel.h"
#include "projects/windows/QVProjectView.h"
#include "projects/windows/QVProjectWindowController.h"
#include "scm/QVProjectSubversionController.h"
#include "scm/QVSCMPanels.h"
#include "shell/QVAlertManager.h"
#include "tests/scm/SubversionPeers.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QToolBar>

#include <gtest/gtest.h>

using namespace scenario;
using namespace scmtest;

namespace {

QMenu* subversionMenu() {
    for (QWidget* widget : QApplication::allWidgets())
        if (auto* menu = qobject_cast<QMenu*>(widget); menu && menu->objectName() == QLatin1String("subversionMenu")) return menu;
    return nullptr;
}

QAction* menuItem(const QString& title) {
    QMenu* menu = subversionMenu();
    if (!menu) return nullptr;
    Q_EMIT menu->aboutToShow();
    for (QAction* action : menu->actions())
        if (action->text() == title) return action;
    return nullptr;
}

struct SubversionProject {
    Repository repository;
    QPointer<QVProjectWindowController> window;

    void open() {
        window = qobject_cast<QVProjectWindowController*>(application().openDocumentWithContentsOfFile(repository.wc));
        ASSERT_TRUE(window);
        bringForward(window);
    }
    QString letter(const QString& path) const {
        const auto node = window->project()->rootFile()->childWithPath(path.split(u'/'), true);
        if (!node) return QStringLiteral("(no row)");
        QVProjectOutlineModel* model = window->outlineModel();
        return model->data(model->indexForNode(node.get(), QVProjectOutlineModel::SCMColumn), Qt::DisplayRole).toString();
    }
    QVFileDocument* openFile(const QString& name) {
        QVFileDocument* document = window->openFileAtPath(repository.wc + u'/' + name);
        bringForward(window);
        return document;
    }
    QMessageBox* sheet() const { return window->questions()->currentSheet(); }
    void answer(const QString& button) const {
        for (QAbstractButton* b : sheet()->buttons())
            if (b->text() == button) return QTest::mouseClick(b, Qt::LeftButton);
        ADD_FAILURE() << "no button " << button.toStdString();
    }
    bool idle() const {
        auto* scm = dynamic_cast<QVProjectSubversionController*>(window->project()->scmController());
        return scm && scm->interface().queuedCount() == 0;
    }
};

}  // namespace

TEST(SubversionScenario, TheMenuFollowsEachFilesStatusAndDiscardAsksFirst) {
    SubversionProject p;
    p.repository.commit({{"m.txt", "m\n"}, {"c.txt", "base\n"}, {"n.txt", "n\n"}});
    // c.txt in conflict: another working copy commits over the line changed here.
    const QString other = p.repository.dir.file(QStringLiteral("other"));
    client({QStringLiteral("checkout"), p.repository.url, other}, p.repository.dir.path());
    p.repository.dir.write(QStringLiteral("other/c.txt"), "theirs\n");
    client({QStringLiteral("commit"), QStringLiteral("-m"), QStringLiteral("theirs")}, other);
    p.repository.dir.write(QStringLiteral("wc/c.txt"), "mine\n");
    client({QStringLiteral("update"), QStringLiteral("--accept"), QStringLiteral("postpone")}, p.repository.wc);
    p.repository.dir.write(QStringLiteral("wc/m.txt"), "changed\n");
    p.repository.dir.write(QStringLiteral("wc/a.txt"), "added\n");
    client({QStringLiteral("add"), QStringLiteral("a.txt")}, p.repository.wc);
    p.repository.dir.write(QStringLiteral("wc/u.txt"), "unversioned\n");
    p.open();
    ASSERT_TRUE(waitFor([&] { return p.letter("c.txt") == "C" && p.letter("a.txt") == "A" && p.letter("u.txt") == "?"; },
                        std::chrono::seconds(30)));

    const QStringList items = {"Add", "Commit\u2026", "Discard Changes", "Diff with HEAD", "Diff with BASE", "Compare with HEAD",
                               "Annotate HEAD", "Annotate BASE", "Update", "View Log"};
    const struct {
        const char* file;
        const char* enabled;  // one digit per item above
    } cases[] = {
        {"m.txt", "0111111111"},
        {"a.txt", "0110100010"},  // nothing in the repository yet: only its diff with BASE
        {"c.txt", "0011111101"},  // cannot be committed or updated until resolved
        {"n.txt", "0001111111"},
        {"u.txt", "1000000000"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(p.openFile(QString::fromLatin1(c.file))) << c.file;
        QString shown;
        for (const QString& item : items) {
            QAction* action = menuItem(item);
            ASSERT_TRUE(action) << item.toStdString();
            shown += action->isEnabled() ? u'1' : u'0';
        }
        EXPECT_EQ(shown, QString::fromLatin1(c.enabled)) << c.file;
    }

    // Committing the added file.
    p.openFile(QStringLiteral("a.txt"));
    menuItem(QStringLiteral("Commit\u2026"))->trigger();
    QVSCMMessagePanel* message = nullptr;
    ASSERT_TRUE(waitFor([&] {
        for (QVSCMMessagePanel* panel : p.window->findChildren<QVSCMMessagePanel*>())
            if (panel->isVisible()) message = panel;
        return message != nullptr;
    }));
    message->editor()->setPlainText(QStringLiteral("the added page"));
    QTest::mouseClick(message->commitButton(), Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return p.letter("a.txt").isEmpty(); }, std::chrono::seconds(30))) << p.letter("a.txt").toStdString();
    EXPECT_TRUE(client({QStringLiteral("log"), QStringLiteral("-v"), QStringLiteral("-r"), QStringLiteral("HEAD"), p.repository.url},
                       p.repository.wc)
                    .contains("A /a.txt"));

    // Discarding the conflicted file asks first, naming it; Cancel keeps it as it is.
    p.openFile(QStringLiteral("c.txt"));
    menuItem(QStringLiteral("Discard Changes"))->trigger();
    ASSERT_TRUE(waitFor([&] { return p.sheet() != nullptr; }));
    EXPECT_TRUE(p.sheet()->text().contains(QStringLiteral("c.txt"))) << p.sheet()->text().toStdString();
    p.answer(QStringLiteral("Cancel"));
    waitFor([] { return false; }, std::chrono::milliseconds(500));
    EXPECT_TRUE(p.idle());
    EXPECT_EQ(p.letter("c.txt"), QStringLiteral("C"));
    menuItem(QStringLiteral("Discard Changes"))->trigger();
    ASSERT_TRUE(waitFor([&] { return p.sheet() != nullptr; }));
    p.answer(QStringLiteral("Discard Changes"));
    ASSERT_TRUE(waitFor([&] { return p.letter("c.txt").isEmpty(); }, std::chrono::seconds(30))) << p.letter("c.txt").toStdString();
    EXPECT_EQ(readAll(p.repository.wc + QStringLiteral("/c.txt")), QByteArray("theirs\n"));
    closeEverything();
}

TEST(SubversionScenario, ResultDocumentsAreNamedAndUneditedAndRefreshAndUpdateShowTheRows) {
    SubversionProject p;
    p.repository.commit({{"m.txt", "one\n"}, {"n.txt", "n\n"}});
    p.repository.dir.write(QStringLiteral("wc/m.txt"), "one\ntwo\n");
    p.repository.dir.write(QStringLiteral("wc/newdir/f.txt"), "f\n");
    client({QStringLiteral("add"), QStringLiteral("newdir")}, p.repository.wc);
    // "ext": a folder of the repository brought in by svn:externals.
    client({QStringLiteral("mkdir"), QStringLiteral("-m"), QStringLiteral("lib"), p.repository.url + QStringLiteral("/lib")}, p.repository.wc);
    client({QStringLiteral("update"), QStringLiteral("--depth"), QStringLiteral("empty"), QStringLiteral(".")}, p.repository.wc);
    client({QStringLiteral("propset"), QStringLiteral("svn:externals"), QStringLiteral("ext ") + p.repository.url + QStringLiteral("/lib"),
            QStringLiteral(".")},
           p.repository.wc);
    client({QStringLiteral("commit"), QStringLiteral("--depth"), QStringLiteral("empty"), QStringLiteral("-m"), QStringLiteral("ext"),
            QStringLiteral(".")},
           p.repository.wc);
    client({QStringLiteral("update")}, p.repository.wc);
    p.repository.dir.write(QStringLiteral("wc/ext/e.txt"), "e\n");
    p.open();
    ASSERT_TRUE(waitFor([&] { return p.letter("m.txt") == "M" && p.letter("newdir") == "A" && p.letter("ext") == "X"; },
                        std::chrono::seconds(30)));

    // A diff opens as a document named by what it shows, unedited: it closes unasked.
    p.openFile(QStringLiteral("m.txt"));
    const auto windowsBefore = QApplication::topLevelWidgets();
    const auto documentsBefore = p.window->openDocuments();
    menuItem(QStringLiteral("Diff with BASE"))->trigger();
    QVFileDocument* result = nullptr;
    ASSERT_TRUE(waitFor([&] {
        auto* front = qobject_cast<QVDocumentWindowController*>(QApplication::activeWindow());
        result = front && front->document() && front->document()->fileName().isEmpty() ? front->document() : nullptr;
        return result != nullptr;
    }, std::chrono::seconds(30)));
    EXPECT_EQ(result->displayName(), QStringLiteral("m.txt \u2014 Diff with BASE"));
    EXPECT_FALSE(result->isDocumentEdited());
    auto* resultWindow = qobject_cast<QVDocumentWindowController*>(QApplication::activeWindow());
    EXPECT_TRUE(resultWindow->windowTitle().contains(QStringLiteral("m.txt \u2014 Diff with BASE"))) << resultWindow->windowTitle().toStdString();
    EXPECT_TRUE(resultWindow->currentTextView()->string().contains(QStringLiteral("+two")));
    if (resultWindow == p.window) {
        p.window->closeCurrentFile();
        ASSERT_TRUE(waitFor([&] { return p.window->openDocuments().size() == documentsBefore.size(); }));
    } else {
        QPointer<QVDocumentWindowController> shown(resultWindow);
        resultWindow->close();
        ASSERT_TRUE(waitFor([&] { return !shown || !shown->isVisible(); }));
    }
    EXPECT_TRUE(visibleBoxes().isEmpty());

    // Expanding the added folder keeps its own letter beside its files'.
    QVProjectView* view = outline(p.window);
    view->expand(row(view, QStringLiteral("newdir"), {}));
    ASSERT_TRUE(waitFor([&] { return p.letter("newdir/f.txt") == "A"; }, std::chrono::seconds(30)));
    EXPECT_EQ(p.letter("newdir"), QStringLiteral("A"));
    // An external folder keeps its mark when its own rows are asked for.
    view->expand(row(view, QStringLiteral("ext"), {}));
    ASSERT_TRUE(waitFor([&] { return p.idle() && p.letter("ext/e.txt") == "?"; }, std::chrono::seconds(30)));
    EXPECT_EQ(p.letter("ext"), QStringLiteral("X"));

    // A change made elsewhere shows after the toolbar's Refresh Project.
    p.repository.dir.write(QStringLiteral("wc/n.txt"), "changed elsewhere\n");
    waitFor([] { return false; }, std::chrono::milliseconds(300));
    QAction* refresh = nullptr;
    for (QToolBar* bar : p.window->findChildren<QToolBar*>())
        for (QAction* action : bar->actions())
            if (action->text() == QLatin1String("Refresh Project")) refresh = action;
    ASSERT_TRUE(refresh);
    refresh->trigger();
    ASSERT_TRUE(waitFor([&] { return p.letter("n.txt") == "M"; }, std::chrono::seconds(30))) << p.letter("n.txt").toStdString();

    // An update that ends in conflict says so, naming the file, and its rows show it.
    const QString other = p.repository.dir.file(QStringLiteral("other"));
    client({QStringLiteral("checkout"), p.repository.url, other}, p.repository.dir.path());
    p.repository.dir.write(QStringLiteral("other/n.txt"), "theirs\n");
    client({QStringLiteral("commit"), QStringLiteral("-m"), QStringLiteral("theirs")}, other);
    p.openFile(QStringLiteral("n.txt"));
    menuItem(QStringLiteral("Update"))->trigger();
    ASSERT_TRUE(waitFor([&] { return p.sheet() != nullptr; }, std::chrono::seconds(30)));
    const QString said = p.sheet()->text() + u'\n' + p.sheet()->informativeText();
    EXPECT_TRUE(said.contains(QStringLiteral("conflict")) && said.contains(QStringLiteral("n.txt"))) << said.toStdString();
    p.answer(QStringLiteral("OK"));
    ASSERT_TRUE(waitFor([&] { return p.letter("n.txt") == "C" && p.letter("n.txt.mine") == "?"; }, std::chrono::seconds(30)))
        << p.letter("n.txt").toStdString() << " " << p.letter("n.txt.mine").toStdString();
    closeEverything();
}

TEST(SubversionScenario, QuittingOrClosingWhileACommitRunsAsksThenWaitsOrStopsAndCleansUp) {
    SubversionProject p;
    p.repository.commit({{"a.txt", "a\n"}});
    const QString hook = p.repository.dir.file(QStringLiteral("repo/hooks/pre-commit"));
    const auto revisions = [&] { return client({QStringLiteral("log"), QStringLiteral("-q"), p.repository.url}, p.repository.wc).count("\nr"); };
    const struct {
        bool quit;  // else the window's close
        const char* answer;
        int hookSeconds;
        int newRevisions;
    } cases[] = {
        {false, "Cancel", 2, 1},
        {false, "Stop and Close", 30, 0},
        {true, "Close When Finished", 3, 1},
    };
    for (const auto& c : cases) {
        p.repository.dir.write(QStringLiteral("repo/hooks/pre-commit"), QStringLiteral("#!/bin/sh\nsleep %1\n").arg(c.hookSeconds).toUtf8());
        QFile::setPermissions(hook, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        p.repository.dir.write(QStringLiteral("wc/a.txt"), c.answer);
        const int before = revisions();
        if (!p.window) p.open();
        auto* scm = dynamic_cast<QVProjectSubversionController*>(p.window->project()->scmController());
        ASSERT_TRUE(scm);
        scm->interface().commitFiles({QStringLiteral("a.txt")}, QString::fromLatin1(c.answer));
        ASSERT_TRUE(waitFor([&] { return scm->runningCommand() == QStringLiteral("Commit"); }, std::chrono::seconds(30))) << c.answer;
        if (c.quit) application().terminateApp();
        else p.window->close();
        ASSERT_TRUE(waitFor([&] { return p.sheet() != nullptr; })) << c.answer;
        EXPECT_TRUE(p.sheet()->text().contains(QStringLiteral("Commit"))) << p.sheet()->text().toStdString();
        EXPECT_TRUE(p.window->isVisible());
        p.answer(QString::fromLatin1(c.answer));
        if (QLatin1String(c.answer) == QLatin1String("Cancel")) {
            ASSERT_TRUE(waitFor([&] { return p.idle(); }, std::chrono::seconds(60)));
            EXPECT_TRUE(p.window && p.window->isVisible());
        } else {
            // The window stays until the client has ended and the working copy is clean.
            ASSERT_TRUE(waitFor([&] { return !p.window || !p.window->isVisible(); }, std::chrono::seconds(60))) << c.answer;
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            EXPECT_FALSE(p.window);
        }
        EXPECT_EQ(revisions() - before, c.newRevisions) << c.answer;
        EXPECT_FALSE(client({QStringLiteral("status")}, p.repository.wc).contains("  L ")) << c.answer;
    }
    closeEverything();
}
