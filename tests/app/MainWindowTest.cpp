// The plain window hosting a file document: the edited mark, Ctrl+S, and what it never writes.
#include "shell/app/MainWindow.h"

#include "editor/HTMLView.h"
#include "editor/QVFileDocument.h"
#include "platform/MainQueue.h"
#include "tests/support/TestSupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

namespace {

TEST(MainWindow, CtrlSSavesTheFileInItsEncodingAndBreaksAndShowsFailures) {
    TestDir dir;
    const QString path = dir.write(QStringLiteral("page.html"), "<p>caf\xc3\xa9</p>\r\n");
    const QString missing = dir.file(QStringLiteral("new.txt"));

    MainWindow window(path);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    HTMLView* editor = window.editor();
    editor->setFocus();
    EXPECT_FALSE(window.isWindowModified());
    QTest::keyClick(editor, Qt::Key_End, Qt::ControlModifier);
    QTest::keyClicks(editor, "x");
    QTest::keyClick(editor, Qt::Key_Return);
    EXPECT_TRUE(window.isWindowModified());
    QTest::keyClick(editor, Qt::Key_S, Qt::ControlModifier);
    EXPECT_EQ(readAll(path), QByteArray("<p>caf\xc3\xa9</p>\r\nx\r\n"));
    EXPECT_FALSE(window.isWindowModified());
    EXPECT_TRUE(window.windowTitle().startsWith(QStringLiteral("page.html")));

    // A write that fails (the file-size limit stands in for a full disk): the window says so
    // in a window-modal box and stays edited, and the file is as it was.
    QTest::keyClicks(editor, "y");  // typed after a save: edited again, though typing coalesces
    EXPECT_TRUE(window.isWindowModified());
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit tiny = saved;
    tiny.rlim_cur = 4;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tiny), 0);
    QTest::keyClick(editor, Qt::Key_S, Qt::ControlModifier);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->windowModality(), Qt::WindowModal);
    EXPECT_FALSE(box->informativeText().isEmpty());
    box->close();
    EXPECT_TRUE(window.isWindowModified());
    EXPECT_EQ(readAll(path), QByteArray("<p>caf\xc3\xa9</p>\r\nx\r\n"));

    // A file named on the command line that does not exist yet is created by the first save.
    window.close();
    MainWindow fresh(missing);
    fresh.show();
    fresh.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&fresh));
    QTest::keyClicks(fresh.editor(), "new");
    QTest::keyClick(fresh.editor(), Qt::Key_S, Qt::ControlModifier);
    EXPECT_EQ(readAll(missing), QByteArray("new"));
}

TEST(MainWindow, ClosingAnEditedDocumentAsksFirst) {
    struct Case {
        const char* button;
        const char* onDisk;
        bool closed;
    };
    const Case cases[] = {
        {"Save", "old+", true},
        {"Don't Save", "old", true},
        {"Cancel", "old", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.button);
        TestDir dir;
        const QString path = dir.write(QStringLiteral("a.txt"), "old");
        MainWindow window(path);
        window.show();
        window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
        EXPECT_TRUE(window.close());  // unedited: closes at once
        window.show();
        QTest::keyClick(window.editor(), Qt::Key_End, Qt::ControlModifier);
        QTest::keyClicks(window.editor(), "+");
        EXPECT_FALSE(window.close());
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        EXPECT_FALSE(window.close());  // asked once, not twice
        QAbstractButton* chosen = nullptr;
        for (QAbstractButton* button : box->buttons())
            if (button->text() == QString::fromUtf8(c.button)) chosen = button;
        ASSERT_NE(chosen, nullptr);
        chosen->click();
        QCoreApplication::processEvents();
        EXPECT_EQ(readAll(path), QByteArray(c.onDisk));
        EXPECT_EQ(window.isVisible(), !c.closed);
    }
}

// The box on top, and the click on its button titled title.
bool clickInModalBox(const QString& title) {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || box->windowModality() != Qt::WindowModal) return false;
    for (QAbstractButton* button : box->buttons())
        if (button->text() == title) {
            button->click();
            QCoreApplication::processEvents();
            return true;
        }
    return false;
}

TEST(MainWindow, UntitledTextsSaveThroughThePanelAndChangesOnDiskAsk) {
    using namespace std::chrono_literals;
    TestDir dir;
    const QString path = dir.file(QStringLiteral("fresh.html"));
    MainWindow window;
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    QTest::keyClicks(window.editor(), "<p>");
    QTest::keyClick(window.editor(), Qt::Key_S, Qt::ControlModifier);
    auto* panel = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(panel->windowModality(), Qt::WindowModal);
    EXPECT_EQ(panel->acceptMode(), QFileDialog::AcceptSave);
    panel->selectFile(path);
    static_cast<QDialog*>(panel)->accept();
    QCoreApplication::processEvents();
    EXPECT_EQ(readAll(path), QByteArray("<p>"));
    EXPECT_FALSE(window.isWindowModified());
    EXPECT_TRUE(window.windowTitle().startsWith(QStringLiteral("fresh.html")));

    // Edited, then changed by another program: asked once; Revert takes the disk's text.
    QTest::keyClicks(window.editor(), "a");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("<b>");
    file.close();
    ASSERT_TRUE(MainQueue::runUntil([] { return QApplication::activeModalWidget() != nullptr; }, 10s));
    ASSERT_TRUE(clickInModalBox(QStringLiteral("Revert")));
    EXPECT_EQ(window.editor()->fullString(), QStringLiteral("<b>"));
    EXPECT_FALSE(window.isWindowModified());

    // Deleted: "Don't Save" closes the window without a further question.
    ASSERT_TRUE(QFile::remove(path));
    ASSERT_TRUE(MainQueue::runUntil([] { return QApplication::activeModalWidget() != nullptr; }, 10s));
    ASSERT_TRUE(clickInModalBox(QStringLiteral("Don't Save")));
    ASSERT_TRUE(MainQueue::runUntil([&] { return !window.isVisible(); }, 10s));
}

}  // namespace
