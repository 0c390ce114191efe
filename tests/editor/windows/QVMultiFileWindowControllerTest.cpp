// The tabbed window driven offscreen: opening, activation, closing tabs with consent, the close
// of all tabs through the close sheet with real saves, and the close keys.
#include "editor/HTMLView.h"
#include "editor/QVFileDocument.h"
#include "editor/QVTab.h"
#include "editor/QVTabBarView.h"
#include "editor/QVTabView.h"
#include "editor/windows/QVMultiFileCloseController.h"
#include "editor/windows/QVMultiFileDocument.h"
#include "editor/windows/QVMultiFileWindowController.h"
#include "platform/MainQueue.h"
#include "platform/QVRange.h"
#include "tests/support/TestSupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <memory>

namespace {

struct Window {
    TestDir dir;
    std::unique_ptr<QVMultiFileWindowController> window;
    QStringList paths;

    explicit Window(int files) {
        window = std::make_unique<QVMultiFileWindowController>(std::make_unique<QVMultiFileDocument>());
        window->setClosingLastTabClosesDocument(true);
        window->resize(800, 600);
        window->show();
        for (int i = 0; i < files; ++i) {
            paths << dir.write(QStringLiteral("f%1.html").arg(i), QByteArray("<p>file ") + QByteArray::number(i) + "</p>\n");
            window->openFileAtPath(paths.last());
        }
    }
    QVFileDocument* doc(int i) const { return window->openDocuments().value(i); }
    QStringList names() const {
        QStringList out;
        for (QVFileDocument* d : window->openDocuments()) out << d->displayName();
        return out;
    }
    QStringList tabTitles() const {
        QStringList out;
        for (QVTab* tab : window->tabView()->tabBar()->tabs()) out << tab->title();
        return out;
    }
    void type(int i, const QString& text) const {
        window->activateDocument(doc(i));
        QTest::keyClicks(doc(i)->textView(), text);
    }
};

// The sheet (a window-modal box or the close sheet) the window shows now, after the main queue ran.
QWidget* sheet() {
    QCoreApplication::processEvents();
    return QApplication::activeModalWidget();
}

void press(QWidget* box, const QString& title) {
    for (QAbstractButton* button : box->findChildren<QAbstractButton*>())
        if (button->text() == title && button->isVisible()) return button->click();
    ADD_FAILURE() << "no button " << title.toStdString();
}

void settle() {
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::processEvents();
        MainQueue::drain();
    }
}

}  // namespace

TEST(QVMultiFileWindowControllerTest, OpensActivatesAndClosesTabsInOrder) {
    Window w(4);
    EXPECT_EQ(w.tabTitles(), (QStringList{"f0.html", "f1.html", "f2.html", "f3.html"}));
    EXPECT_EQ(w.window->activeDocument(), w.doc(3));
    EXPECT_EQ(w.window->tabView()->contentView(), w.doc(3)->textView());

    // The same file under other spellings comes forward; no second document.
    const QString link = w.dir.file(QStringLiteral("link.html"));
    ASSERT_TRUE(QFile::link(w.paths[1], link));
    QDir().mkpath(w.dir.file(QStringLiteral("sub")));
    const QString spellings[] = {w.paths[1], link, w.dir.path() + QStringLiteral("/sub/../f1.html"),
                                 w.dir.path() + QStringLiteral("//f1.html"), w.dir.path() + QStringLiteral("/./f1.html")};
    for (const QString& spelling : spellings) {
        w.window->activateDocument(w.doc(0));
        EXPECT_EQ(w.window->openFileAtPath(spelling), w.doc(1)) << spelling.toStdString();
        EXPECT_EQ(w.window->activeDocument(), w.doc(1));
        EXPECT_EQ(w.window->openDocuments().size(), 4);
    }

    // Next and previous wrap around.
    w.window->activateDocument(w.doc(3));
    w.window->nextFile();
    EXPECT_EQ(w.window->activeDocument(), w.doc(0));
    w.window->previousFile();
    EXPECT_EQ(w.window->activeDocument(), w.doc(3));

    // Dragging tab 0 to slot 2 moves the document: next follows the new order.
    QVTabBarView* bar = w.window->tabView()->tabBar();
    QVTab* first = bar->tabAtIndex(0);
    const int slot = int(bar->tabWidth());
    QTest::mousePress(first, Qt::LeftButton, {}, QPoint(20, 12));
    QMouseEvent move(QEvent::MouseMove, QPointF(first->mapFrom(bar, QPoint(2 * slot + 10, 12))), first->mapToGlobal(QPointF(0, 0)),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(first, &move);
    QTest::mouseRelease(first, Qt::LeftButton, {}, first->mapFrom(bar, QPoint(2 * slot + 10, 12)));
    EXPECT_EQ(w.names(), (QStringList{"f1.html", "f2.html", "f0.html", "f3.html"}));
    EXPECT_EQ(w.tabTitles(), w.names());
    w.window->activateDocument(w.doc(1));
    w.window->nextFile();
    EXPECT_EQ(w.window->activeDocument()->displayName(), QStringLiteral("f0.html"));

    // Closing the active tab at index 2 of 4 brings forward the one now at 2; the last of
    // three, the new last.
    w.window->activateDocument(w.doc(2));
    w.window->closeCurrentFile();
    settle();
    EXPECT_EQ(w.names(), (QStringList{"f1.html", "f2.html", "f3.html"}));
    EXPECT_EQ(w.window->activeDocument()->displayName(), QStringLiteral("f3.html"));
    EXPECT_EQ(w.window->tabView()->selectedTabIndex(), 2);
    w.doc(2)->textView();  // still alive
    w.window->closeCurrentFile();
    settle();
    EXPECT_EQ(w.window->activeDocument()->displayName(), QStringLiteral("f2.html"));
    EXPECT_EQ(w.window->tabView()->contentView(), w.window->activeDocument()->textView());

    // With one tab left, next and previous are off and Ctrl+W still closes the tab; the window
    // closes after it.
    w.window->closeCurrentFile();
    settle();
    EXPECT_FALSE(w.window->nextTabAction()->isEnabled());
    EXPECT_EQ(w.window->closeTabAction()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_W));
    w.window->closeTabAction()->trigger();
    settle();
    EXPECT_TRUE(w.window->openDocuments().isEmpty());
    EXPECT_FALSE(w.window->isVisible());
    EXPECT_EQ(w.window->closeTabAction()->shortcut(), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_W));
}

TEST(QVMultiFileWindowControllerTest, ClosingAnEditedTabAsksFirst) {
    struct Case {
        const char* button;
        bool open;
        QByteArray onDisk;
    };
    const Case cases[] = {{"Cancel", true, "<p>file 1</p>\n"},
                          {"Don't Save", false, "<p>file 1</p>\n"},
                          {"Save", false, "x<p>file 1</p>\n"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.button);
        Window w(2);
        w.type(1, QStringLiteral("x"));
        QVTab* tab = w.window->tabView()->tabForIdentifier(w.window->tabView()->tabBar()->tabAtIndex(1)->tabIdentifier());
        EXPECT_TRUE(tab->isChanged());
        EXPECT_TRUE(tab->displayedTitle().startsWith(QChar(QVTab::ChangedMark)));
        tab->closeButton()->click();
        QWidget* box = sheet();
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(w.window->openDocuments().size(), 2);  // nothing closes before the answer
        press(box, QString::fromUtf8(c.button));
        settle();
        EXPECT_EQ(w.window->openDocuments().size(), c.open ? 2 : 1);
        EXPECT_EQ(readAll(w.paths[1]), c.onDisk);
    }
    // An unedited tab closes at once; Ctrl+S clears an edited tab's mark.
    Window w(2);
    w.window->tabView()->tabBar()->tabAtIndex(0)->closeButton()->click();
    EXPECT_EQ(w.window->openDocuments().size(), 1);
    w.type(0, QStringLiteral("y"));
    QVTab* tab = w.window->tabView()->tabBar()->tabAtIndex(0);
    EXPECT_TRUE(tab->isChanged());
    w.window->saveDocument();
    EXPECT_FALSE(tab->isChanged());
    EXPECT_EQ(readAll(w.paths[1]), QByteArray("y<p>file 1</p>\n"));
}

TEST(QVMultiFileWindowControllerTest, ClosingTheWindowAsksOnceForAllEditedTabs) {
    struct Case {
        const char* name;
        int result;
        bool selectFirstOnly;
        bool failFirstSave;
        bool windowCloses;
        QByteArray first, second;  // on disk afterwards
    };
    const Case cases[] = {
        {"cancel", QVMultiFileCloseController::Cancel, false, false, false, "<p>file 0</p>\n", "<p>file 2</p>\n"},
        {"close without saving", QVMultiFileCloseController::CloseWithoutSaving, false, false, true, "<p>file 0</p>\n", "<p>file 2</p>\n"},
        {"save all", QVMultiFileCloseController::SaveAll, false, false, true, "a<p>file 0</p>\n", "b<p>file 2</p>\n"},
        {"save the selected", QVMultiFileCloseController::SaveSelected, true, false, true, "a<p>file 0</p>\n", "<p>file 2</p>\n"},
        // The first save fails: the close ends there, before the second is tried.
        {"a failed save keeps every tab", QVMultiFileCloseController::SaveAll, false, true, false, "", "<p>file 2</p>\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Window w(3);
        w.type(0, QStringLiteral("a"));
        w.type(2, QStringLiteral("b"));
        if (c.failFirstSave) {
            // Its folder does not exist: the save cannot be written.
            w.doc(0)->setFileName(w.dir.path() + QStringLiteral("/missing/f0.html"));
        }
        int answers = 0;
        bool answer = false;
        w.window->canCloseWindow([&](bool mayClose) { ++answers, answer = mayClose; });
        auto* closeSheet = qobject_cast<QVMultiFileCloseController*>(sheet());
        ASSERT_NE(closeSheet, nullptr);
        EXPECT_EQ(closeSheet->list()->count(), 2);
        if (c.selectFirstOnly) {
            closeSheet->list()->clearSelection();
            closeSheet->list()->item(0)->setSelected(true);
        }
        closeSheet->close(c.result);
        settle();
        EXPECT_EQ(answers, 1);
        EXPECT_EQ(answer, c.windowCloses);
        EXPECT_EQ(w.window->openDocuments().size(), c.windowCloses ? 0 : 3);
        if (!c.failFirstSave) {
            EXPECT_EQ(readAll(w.paths[0]), c.first);
        }
        EXPECT_EQ(readAll(w.paths[2]), c.second);
        if (c.failFirstSave) {
            // The error is shown, and a later save of the other document closes nothing.
            EXPECT_NE(sheet(), nullptr);
            if (QWidget* box = sheet()) static_cast<QDialog*>(box)->reject();
            w.type(2, QStringLiteral("c"));
            w.window->saveDocument();
            settle();
            EXPECT_EQ(w.window->openDocuments().size(), 3);
            EXPECT_EQ(answers, 1);
        }
    }
}
