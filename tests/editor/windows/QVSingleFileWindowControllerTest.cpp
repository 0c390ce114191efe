// The single-file window: the edited mark, Ctrl+S, what it never writes, and closing.
#include "editor/windows/QVSingleFileWindowController.h"

#include "editor/HTMLView.h"
#include "editor/QVFileView.h"
#include "platform/MainQueue.h"
#include "platform/Paths.h"
#include "platform/TextEncoding.h"
#include "tests/support/TestSupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QPrintDialog>
#include <QPrinter>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

namespace {

TEST(QVSingleFileWindowController, CtrlSSavesTheFileInItsEncodingAndBreaksAndShowsFailures) {
    TestDir dir;
    const QString path = dir.write(QStringLiteral("page.html"), "<p>caf\xc3\xa9</p>\r\n");
    const QString missing = dir.file(QStringLiteral("new.txt"));

    QVSingleFileWindowController window(std::make_unique<QVSingleFileDocument>(path));
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    HTMLView* editor = window.currentTextView();
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
    EXPECT_TRUE((box->text() + box->informativeText()).contains("File too large"))
        << (box->text() + " | " + box->informativeText()).toStdString();
    box->close();
    EXPECT_TRUE(window.isWindowModified());
    EXPECT_EQ(readAll(path), QByteArray("<p>caf\xc3\xa9</p>\r\nx\r\n"));

    // A file named on the command line that does not exist yet is created by the first save.
    window.close();
    QVSingleFileWindowController fresh(std::make_unique<QVSingleFileDocument>(missing));
    fresh.show();
    fresh.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&fresh));
    QTest::keyClicks(fresh.currentTextView(), "new");
    QTest::keyClick(fresh.currentTextView(), Qt::Key_S, Qt::ControlModifier);
    EXPECT_EQ(readAll(missing), QByteArray("new"));
}

TEST(QVSingleFileWindowController, ClosingAnEditedDocumentAsksFirst) {
    struct Case {
        const char* button;
        bool failingWrite;
        const char* onDisk;
        bool closed;
    };
    const Case cases[] = {
        {"Save", false, "old+", true},
        {"Don't Save", false, "old", true},
        {"Cancel", false, "old", false},
        // A save that fails answers the close (no): the window stays, edited, with the error.
        {"Save", true, "old", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.button);
        TestDir dir;
        const QString path = dir.write(QStringLiteral("a.txt"), "old");
        QVSingleFileWindowController window(std::make_unique<QVSingleFileDocument>(path));
        window.show();
        window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
        EXPECT_TRUE(window.close());  // unedited: closes at once
        window.show();
        QTest::keyClick(window.currentTextView(), Qt::Key_End, Qt::ControlModifier);
        QTest::keyClicks(window.currentTextView(), "+");
        EXPECT_FALSE(window.close());
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        EXPECT_FALSE(window.close());  // asked once, not twice
        QAbstractButton* chosen = nullptr;
        for (QAbstractButton* button : box->buttons())
            if (button->text() == QString::fromUtf8(c.button)) chosen = button;
        ASSERT_NE(chosen, nullptr);
        struct rlimit saved {};
        ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        if (c.failingWrite) {
            struct rlimit tiny = saved;
            tiny.rlim_cur = 2;
            ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tiny), 0);
        }
        chosen->click();
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
        for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
        EXPECT_EQ(readAll(path), QByteArray(c.onDisk));
        EXPECT_EQ(window.isVisible(), !c.closed);
        EXPECT_EQ(window.isWindowModified(), QByteArray(c.onDisk) == "old");  // edited unless saved
        auto* error = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        EXPECT_EQ(error != nullptr, c.failingWrite);
        if (error) {
            error->close();
            QCoreApplication::processEvents();
            EXPECT_FALSE(window.close());  // asked again, not closed by the failed save
            if (auto* again = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) again->reject();
        }
    }
}

// The box on top, and the click on its button titled title.
bool clickInModalBox(const QString& title) {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || box->windowModality() != Qt::WindowModal) return false;
    for (QAbstractButton* button : box->buttons())
        if (button->text() == title) {
            button->click();
            for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
            return true;
        }
    return false;
}

TEST(QVSingleFileWindowController, UntitledTextsSaveThroughThePanelAndChangesOnDiskAsk) {
    using namespace std::chrono_literals;
    TestDir dir;
    const QString path = dir.file(QStringLiteral("fresh.html"));
    QVSingleFileWindowController window(std::make_unique<QVSingleFileDocument>());
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    QTest::keyClicks(window.currentTextView(), "<p>");
    QTest::keyClick(window.currentTextView(), Qt::Key_S, Qt::ControlModifier);
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
    QTest::keyClicks(window.currentTextView(), "a");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("<b>");
    file.close();
    ASSERT_TRUE(MainQueue::runUntil([] { return QApplication::activeModalWidget() != nullptr; }, 10s));
    ASSERT_TRUE(clickInModalBox(QStringLiteral("Revert")));
    EXPECT_EQ(window.currentTextView()->fullString(), QStringLiteral("<b>"));
    EXPECT_FALSE(window.isWindowModified());

    // Deleted: "Don't Save" closes the window without a further question.
    ASSERT_TRUE(QFile::remove(path));
    ASSERT_TRUE(MainQueue::runUntil([] { return QApplication::activeModalWidget() != nullptr; }, 10s));
    ASSERT_TRUE(clickInModalBox(QStringLiteral("Don't Save")));
    ASSERT_TRUE(MainQueue::runUntil([&] { return !window.isVisible(); }, 10s));
}

TEST(QVSingleFileWindowController, AnAnswerArrivingAfterItsWindowWentReachesNobody) {
    TestDir dir;
    const QString path = dir.write(QStringLiteral("a.txt"), "old");
    auto window = std::make_unique<QVSingleFileWindowController>(std::make_unique<QVSingleFileDocument>(path));
    window->show();
    QTest::keyClicks(window->currentTextView(), "+");
    int answers = 0;
    window->askToCloseDocument(window->document(), [&](bool) { ++answers; });
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    for (QAbstractButton* button : box->buttons())
        if (button->text() == QStringLiteral("Don't Save")) button->click();  // the answer is posted
    window.reset();
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
    EXPECT_EQ(answers, 0);
}

TEST(QVSingleFileWindowController, SnippetFilesAreUTF16AndUnreadableFilesAreNeverSaved) {
    TestDir dir;
    // A snippet file: always read and written as 16-bit Unicode, whatever its bytes suggest.
    const QString snippetsFolder = Paths::applicationSupport() + QStringLiteral("/snippets");
    QDir().mkpath(snippetsFolder);
    QFile file(snippetsFolder + QStringLiteral("/s.txt"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray("\xff\xfeh\0i\0", 6));
    file.close();
    QVSingleFileWindowController snippetWindow(std::make_unique<QVSingleFileDocument>(file.fileName()));
    EXPECT_EQ(snippetWindow.document()->encoding(), TextEncoding::UTF16);
    EXPECT_EQ(snippetWindow.currentTextView()->fullString(), QStringLiteral("hi"));

    // A folder given as a file cannot be read: the window says so and never writes over it.
    QVSingleFileWindowController unreadable(std::make_unique<QVSingleFileDocument>(dir.path()));
    unreadable.show();
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    box->close();
    QTest::keyClicks(unreadable.currentTextView(), "text");
    unreadable.saveDocument();
    EXPECT_TRUE(QFileInfo(dir.path()).isDir());
    EXPECT_TRUE(unreadable.isWindowModified());
    unreadable.currentTextView()->undo();
}

}  // namespace

namespace {

QString run(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitCode() != 0) return {};
    return QString::fromUtf8(process.readAllStandardOutput());
}

TEST(QVSingleFileWindowController, PrintsTheTextThroughTheWindowModalPrintDialog) {
    ASSERT_FALSE(QStandardPaths::findExecutable(QStringLiteral("pdfinfo")).isEmpty()) << "poppler-utils (pdfinfo, pdftotext) is missing";
    TestDir dir;
    QByteArray text;
    for (int i = 1; i <= 150; ++i) text += "line " + QByteArray::number(i) + " of the printed page\n";
    const QString path = dir.write(QStringLiteral("long.html"), text);
    const QString pdf = dir.file(QStringLiteral("out.pdf"));
    QVSingleFileWindowController window(std::make_unique<QVSingleFileDocument>(path));
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    window.printer().setOutputFileName(pdf);
    window.printDocument();
    auto* dialog = qobject_cast<QPrintDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->windowModality(), Qt::WindowModal);
    dialog->accept();
    QCoreApplication::processEvents();
    ASSERT_TRUE(QFileInfo::exists(pdf));
    EXPECT_FALSE(window.isWindowModified());

    const QString info = run(QStringLiteral("pdfinfo"), {pdf});
    const QRegularExpressionMatch pages = QRegularExpression(QStringLiteral("Pages:\\s+(\\d+)")).match(info);
    ASSERT_TRUE(pages.hasMatch()) << info.toStdString();
    EXPECT_GE(pages.captured(1).toInt(), 2);
    const QString printed = run(QStringLiteral("pdftotext"), {pdf, QStringLiteral("-")});
    EXPECT_TRUE(printed.contains(QStringLiteral("line 1 of the printed page")));
    EXPECT_TRUE(printed.contains(QStringLiteral("line 150 of the printed page")));
    // Every word lies inside the half-inch margins.
    const QString boxes = run(QStringLiteral("pdftotext"), {QStringLiteral("-bbox"), pdf, QStringLiteral("-")});
    const QRegularExpression pageSize(QStringLiteral("<page width=\"([\\d.]+)\" height=\"([\\d.]+)\""));
    const QRegularExpressionMatch size = pageSize.match(boxes);
    ASSERT_TRUE(size.hasMatch());
    const double width = size.captured(1).toDouble(), height = size.captured(2).toDouble();
    QRegularExpressionMatchIterator words =
        QRegularExpression(QStringLiteral("xMin=\"([\\d.]+)\" yMin=\"([\\d.]+)\" xMax=\"([\\d.]+)\" yMax=\"([\\d.]+)\"")).globalMatch(boxes);
    int count = 0;
    while (words.hasNext()) {
        const QRegularExpressionMatch word = words.next();
        ++count;
        EXPECT_GE(word.captured(1).toDouble(), 35.0);
        EXPECT_GE(word.captured(2).toDouble(), 35.0);
        EXPECT_LE(word.captured(3).toDouble(), width - 35.0);
        EXPECT_LE(word.captured(4).toDouble(), height - 35.0);
    }
    EXPECT_EQ(count, 150 * 6);
}

TEST(QVSingleFileWindowController, ImagesShowInTheImageViewWithNothingToTypeSaveOrPrint) {
    TestDir dir;
    QImage image(64, 48, QImage::Format_RGB32);
    image.fill(Qt::darkGreen);
    const QString path = dir.file(QStringLiteral("picture.png"));
    ASSERT_TRUE(image.save(path));
    const QByteArray bytes = readAll(path);
    QVSingleFileWindowController window(std::make_unique<QVSingleFileDocument>(path));
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_TRUE(window.singleFileDocument().loaded());
    EXPECT_EQ(window.currentTextView(), nullptr);
    EXPECT_TRUE(window.centralWidget()->isAncestorOf(window.document()->fileView()->mainView()));
    EXPECT_NE(window.centralWidget()->findChild<QLabel*>(), nullptr);
    for (QAction* action : window.findChildren<QAction*>()) {
        if (action->text().startsWith(QStringLiteral("Print")) || action->text().startsWith(QStringLiteral("Modify Document"))) {
            EXPECT_FALSE(action->isEnabled()) << action->text().toStdString();
        }
    }
    window.printDocument();
    window.modifyDocumentProperties();
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    QTest::keyClick(&window, Qt::Key_S, Qt::ControlModifier);
    EXPECT_EQ(readAll(path), bytes);
    EXPECT_TRUE(window.close());  // unedited: no question
}

}  // namespace
