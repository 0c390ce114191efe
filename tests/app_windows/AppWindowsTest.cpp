// The application's real windows, driven offscreen through keys, menus and the open path: the
// Text menu's commands, New File with Selection, Multi File Find, the project window's settings,
// the question about files of no known type, files that cannot be read, the transfer tab's
// headers, the title after a save, the ESC mark and the completion list's type column.
#include "app/QVDocumentController.h"
#include "completion/QVCodeCompletionEntry.h"
#include "completion/QVCodeCompletionViewController.h"
#include "editor/HTMLView.h"
#include "editor/QVFileDocument.h"
#include "editor/QVStatusBar.h"
#include "editor/QVStatusMessages.h"
#include "editor/windows/QVDocumentWindowController.h"
#include "editor/windows/QVSingleFileWindowController.h"
#include "editor/QVSingleFileDocument.h"
#include "languages/QVBundle.h"
#include "platform/TextEncoding.h"
#include "shell/FileEncodings.h"
#include "tools/QVSingleFileSearchController.h"
#include "files/QVRootFile.h"
#include "platform/MainQueue.h"
#include "platform/UserDefaults.h"
#include "projects/QVProject.h"
#include "projects/windows/QVProjectSettingsWindowController.h"
#include "projects/windows/QVProjectWindowController.h"
#include "projects/windows/QVRemoteDetailsController.h"
#include "projects/windows/QVTransferModeDocument.h"
#include "shell/QVFileCategories.h"
#include "shell/QVMainMenu.h"
#include "shell/QVUnknownFileTypeController.h"
#include "tests/support/TestSupport.h"
#include "tools/QVMultiFileSearchController.h"
#include "tools/web/QVIntegratedPreviewController.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QImage>
#include <QInputDialog>
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScreen>
#include <QToolButton>
#include <QTest>
#include <QTreeView>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace P = QVMainMenuPlace;

void settle() {
    for (int i = 0; i < 6; ++i) {
        QApplication::processEvents();
        MainQueue::drain();
    }
}

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

template <typename T>
QList<T*> visible() {
    QList<T*> found;
    const auto note = [&found](T* w) {
        if (w && w->isVisible() && !found.contains(w)) found << w;
    };
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        note(qobject_cast<T*>(widget));
        for (T* child : widget->findChildren<T*>()) note(child);
    }
    return found;
}

void closeEverything() {
    for (QMessageBox* box : visible<QMessageBox>()) box->done(0);
    for (QMainWindow* window : visibleWindows()) {
        if (auto* documentWindow = qobject_cast<QVDocumentWindowController*>(window))
            if (QVFileDocument* front = documentWindow->document()) front->updateChangeCount(QVDocument::ChangeType::Cleared);
        if (auto* project = qobject_cast<QVProjectWindowController*>(window))
            for (QVFileDocument* open : project->openDocuments()) open->updateChangeCount(QVDocument::ChangeType::Cleared);
        window->close();
    }
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->isVisible() && !qobject_cast<QMenu*>(widget)) widget->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    settle();
}

class AppWindows : public ::testing::Test {
protected:
    void SetUp() override {
        controller();
        UserDefaults::standard().setBool(false, QStringLiteral("QVUseTabs"));
        dir.write("site/index.html", "<p>index</p>\n");
        dir.write("site/about.html", "<p>about</p>\n");
    }
    void TearDown() override { closeEverything(); }

    // The site folder opened the way File > Open opens a folder: as its project's window.
    QVProjectWindowController* openProject() {
        auto* window = qobject_cast<QVProjectWindowController*>(controller().openDocumentWithContentsOfFile(dir.file("site")));
        EXPECT_TRUE(window);
        if (!window) return nullptr;
        window->resize(1000, 700);
        window->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(window));
        settle();
        return window;
    }
    HTMLView* openText(QVProjectWindowController* window, const QString& name) {
        QVFileDocument* document = window->openFileAtPath(dir.file("site/" + name));
        EXPECT_TRUE(document) << name.toStdString();
        settle();
        HTMLView* view = document ? document->textView() : nullptr;
        if (view) view->setFocus();
        settle();
        return view;
    }
    static QAction* textMenuItem(QMainWindow* window, const QString& title) {
        QMenu* text = QVMainMenu::windowMenu(window, P::TextMenu);
        for (QAction* action : text->actions()) {
            if (action->text() == title) return action;
            if (action->menu())
                for (QAction* inner : action->menu()->actions())
                    if (inner->text() == title) return inner;
        }
        return nullptr;
    }

    TestDir dir;
};

// Each command of the Text menu is there and its key acts on the text in front.
TEST_F(AppWindows, TextMenuKeysActOnTheFrontText) {
    QVProjectWindowController* window = openProject();
    ASSERT_TRUE(window);
    HTMLView* view = openText(window, "index.html");
    ASSERT_TRUE(view);
    for (const char* title : {"Insert Path\u2026", "Insert Image\u2026", "Insert Contents of File\u2026", "Strong", "Emphasis",
                              "Underline", "Make Link", "Convert Characters to Entities", "Close Tag", "Indent Block",
                              "Outdent Block", "Fold Current Block", "Collapse All", "Expand All"}) {
        QAction* item = textMenuItem(window, QString::fromUtf8(title));
        ASSERT_TRUE(item) << title;
        EXPECT_FALSE(item->shortcut().isEmpty()) << title;
    }

    const struct {
        const char* text;
        QVRange selection;
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
        const char* expected;
    } cases[] = {
        {"word", QVRange(0, 4), Qt::Key_B, Qt::ControlModifier, "<strong>word</strong>"},
        {"word", QVRange(0, 4), Qt::Key_I, Qt::ControlModifier, "<em>word</em>"},
        {"word", QVRange(0, 4), Qt::Key_U, Qt::ControlModifier, "<u>word</u>"},
        {"see page.html", QVRange(4, 9), Qt::Key_K, Qt::ControlModifier, "see <a href=\"page.html\">page.html</a>"},
        {"word", QVRange(4, 0), Qt::Key_K, Qt::ControlModifier, "word"},
        {"<ul><li>one</li>", QVRange(16, 0), Qt::Key_Period, Qt::ControlModifier | Qt::AltModifier, "<ul><li>one</li></ul>"},
        {"<p>one</p>", QVRange(10, 0), Qt::Key_Period, Qt::ControlModifier | Qt::AltModifier, "<p>one</p>"},
        {"\u00a9 2026", QVRange(0, 0), Qt::Key_E, Qt::ControlModifier | Qt::ShiftModifier, "&copy; 2026"},
    };
    for (const auto& c : cases) {
        view->setString(QString::fromUtf8(c.text));
        QVRange selection = c.selection;
        view->setSelectedRange(&selection, false);
        QTest::keyClick(view, c.key, c.modifiers);
        settle();
        EXPECT_EQ(view->fullString(), QString::fromUtf8(c.expected)) << c.text << " key " << int(c.key);
    }

    // Indent Block and Outdent Block: the selected lines move in and back out.
    view->setString(QStringLiteral("<ul>\n<li>a</li>\n<li>b</li>\n</ul>\n"));
    QVRange lines(5, 22);
    view->setSelectedRange(&lines, false);
    QTest::keyClick(view, Qt::Key_BracketRight, Qt::ControlModifier);
    const QStringList indented = view->fullString().split(u'\n');
    EXPECT_TRUE(indented[1].startsWith(u' ') || indented[1].startsWith(u'\t')) << indented[1].toStdString();
    EXPECT_TRUE(indented[2].startsWith(u' ') || indented[2].startsWith(u'\t')) << indented[2].toStdString();
    EXPECT_EQ(indented[0], QStringLiteral("<ul>"));
    QTest::keyClick(view, Qt::Key_BracketLeft, Qt::ControlModifier);
    EXPECT_EQ(view->fullString(), QStringLiteral("<ul>\n<li>a</li>\n<li>b</li>\n</ul>\n"));
}

// Collapse All hides every outer block, Expand All shows them again, Fold Current Block folds
// the block the caret is in; the text itself never changes.
TEST_F(AppWindows, FoldingKeysFoldTheFrontText) {
    QVProjectWindowController* window = openProject();
    ASSERT_TRUE(window);
    HTMLView* view = openText(window, "index.html");
    ASSERT_TRUE(view);
    const QString text = QStringLiteral("<div>\n  <p>one</p>\n  <p>two</p>\n</div>\n<ul>\n  <li>a</li>\n</ul>\n");
    view->setString(text);
    view->updateGutter();
    settle();
    QTest::keyClick(view, Qt::Key_Minus, Qt::ControlModifier | Qt::AltModifier);
    settle();
    EXPECT_LT(view->length(), text.size());
    EXPECT_EQ(view->fullString(), text);
    QTest::keyClick(view, Qt::Key_Equal, Qt::ControlModifier | Qt::AltModifier);
    settle();
    EXPECT_EQ(view->length(), text.size());
    QVRange inside(8, 0);
    view->setSelectedRange(&inside, false);
    QTest::keyClick(view, Qt::Key_B, Qt::ControlModifier | Qt::AltModifier);
    settle();
    EXPECT_LT(view->length(), text.size());
    EXPECT_EQ(view->fullString(), text);
}

// The insert commands' panels put the chosen file's path, image tag or contents in the text.
TEST_F(AppWindows, InsertCommandsInsertTheChosenFile) {
    dir.write("site/img/note.txt", "hello from a file");
    QImage picture(3, 2, QImage::Format_RGB32);
    picture.fill(Qt::red);
    ASSERT_TRUE(picture.save(dir.file("site/img/dot.png")));
    QVProjectWindowController* window = openProject();
    ASSERT_TRUE(window);
    HTMLView* view = openText(window, "index.html");
    ASSERT_TRUE(view);
    const struct {
        const char* item;
        const char* file;
        const char* expected;
    } cases[] = {
        {"Insert Path\u2026", "img/note.txt", "img/note.txt"},
        {"Insert Image\u2026", "img/dot.png", "<img src=\"img/dot.png\" alt=\"dot\" width=\"3\" height=\"2\">"},
        {"Insert Contents of File\u2026", "img/note.txt", "hello from a file"},
    };
    for (const auto& c : cases) {
        view->setString(QString());
        QAction* item = textMenuItem(window, QString::fromUtf8(c.item));
        ASSERT_TRUE(item) << c.item;
        item->trigger();
        settle();
        const QList<QFileDialog*> panels = visible<QFileDialog>();
        ASSERT_EQ(panels.size(), 1) << c.item;
        // The file typed into the panel's name field, then Open.
        QFileDialog* panel = panels.first();
        auto* name = panel->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        ASSERT_TRUE(name);
        name->setText(dir.file(QStringLiteral("site/") + QString::fromUtf8(c.file)));
        QMetaObject::invokeMethod(panel, "accept");
        settle();
        EXPECT_EQ(view->fullString(), QString::fromUtf8(c.expected)) << c.item;
    }
}

// New File with Selection opens an edited untitled text holding the selection; Multi File Find
// is shown and shows the multi-file find window.
TEST_F(AppWindows, NewFileWithSelectionAndMultiFileFind) {
    QVProjectWindowController* window = openProject();
    ASSERT_TRUE(window);
    HTMLView* view = openText(window, "index.html");
    ASSERT_TRUE(view);
    view->setString(QStringLiteral("keep this part"));
    QVRange part(5, 4);
    view->setSelectedRange(&part, false);
    const QList<QMainWindow*> before = visibleWindows();
    controller().newFileWithSelection();
    settle();
    QVDocumentWindowController* made = nullptr;
    for (QMainWindow* w : visibleWindows())
        if (!before.contains(w)) made = qobject_cast<QVDocumentWindowController*>(w);
    ASSERT_TRUE(made);
    ASSERT_TRUE(made->currentTextView());
    EXPECT_EQ(made->currentTextView()->fullString(), QStringLiteral("this"));
    EXPECT_TRUE(made->document()->isDocumentEdited());
    EXPECT_TRUE(made->document()->fileName().isEmpty());

    // One item by one name in the Edit menu and its submenus, showing the key that opens it.
    QAction* find = nullptr;
    const QKeySequence key(Qt::CTRL | Qt::SHIFT | Qt::Key_F);
    QList<QMenu*> menus{QVMainMenu::windowMenu(window, P::EditMenu)};
    while (!menus.isEmpty())
        for (QAction* action : menus.takeFirst()->actions()) {
            if (action->menu()) menus << action->menu();
            if (action->objectName() == QStringLiteral("multiFileFind")) find = action;
            else EXPECT_TRUE(action->shortcut() != key && !action->text().contains(QStringLiteral("Find in Files"))) << action->text().toStdString();
        }
    ASSERT_TRUE(find);
    EXPECT_TRUE(find->isVisible());
    EXPECT_EQ(find->text(), QStringLiteral("Multi File Find\u2026"));
    EXPECT_EQ(find->shortcut(), key);
    window->raise();
    window->activateWindow();
    QApplication::setActiveWindow(window);
    QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : window, Qt::Key_F, Qt::ControlModifier | Qt::ShiftModifier);
    settle();
    ASSERT_TRUE(QVMultiFileSearchController::sharedControllerExists());
    EXPECT_TRUE(QVMultiFileSearchController::sharedController().window()->isVisible());
    EXPECT_EQ(QVMultiFileSearchController::sharedController().window()->windowTitle(), QStringLiteral("Multi File Find"));
}

// The windows that open larger than a small screen (here the offscreen one, 800×600) open
// inside its available area: the tabbed window, Multi File Find, Project Settings and Preview.
TEST_F(AppWindows, WindowsOpenInsideTheScreen) {
    UserDefaults::standard().setBool(true, QStringLiteral("QVUseTabs"));
    QWidget* tabbed = controller().openDocumentWithContentsOfFile(dir.write("page.html", "<p>page</p>\n"));
    controller().showPanel(QVDocumentController::Panel::MultiFileFind);
    controller().showPanel(QVDocumentController::Panel::NewProject);
    QVIntegratedPreviewController::sharedPreview().showURL(QUrl::fromLocalFile(dir.file("site/index.html")).toString());
    settle();
    QList<QWidget*> windows{tabbed, QVMultiFileSearchController::sharedController().window(), &QVIntegratedPreviewController::sharedPreview()};
    for (QMainWindow* shown : visibleWindows())
        if (qobject_cast<QVProjectSettingsWindowController*>(shown)) windows << shown;
    ASSERT_EQ(windows.size(), 4);
    for (QWidget* shown : windows) {
        ASSERT_TRUE(shown && shown->isVisible());
        const QRect available = shown->screen()->availableGeometry();
        EXPECT_TRUE(available.contains(shown->frameGeometry())) << shown->windowTitle().toStdString() << " at "
            << shown->frameGeometry().x() << "," << shown->frameGeometry().y() << " " << shown->frameGeometry().width() << "x" << shown->frameGeometry().height();
    }
    UserDefaults::standard().setBool(false, QStringLiteral("QVUseTabs"));
}

// Project Settings edits the open project: its name and its site (a changed site ends the
// connection), never its folder or kind; a second choice brings the same window forward.
TEST_F(AppWindows, ProjectSettingsEditTheOpenProject) {
    auto project = QVProject::createWithRootDirectory(dir.file("site"), QStringLiteral("Site"));
    project->setType(QVProject::LocalAndRemote);
    QVProjectRemoteConfiguration site;
    site.setHost(QStringLiteral("127.0.0.1"));
    site.setUser(QStringLiteral("me"));
    project->setRemoteConfig(site);
    project->setBoolConfigurationValue(false, QVProject::ConnectAutomaticallyKey);
    project->setIsOpen(true);
    auto window = std::make_unique<QVProjectWindowController>(project);
    window->show();
    settle();
    QAction* command = window->commandAction(QStringLiteral("editProjectSettings"));
    ASSERT_TRUE(command);
    EXPECT_EQ(command->text(), QStringLiteral("Project Settings\u2026"));
    command->trigger();
    command->trigger();
    settle();
    const QList<QVProjectSettingsWindowController*> shown = visible<QVProjectSettingsWindowController>();
    ASSERT_EQ(shown.size(), 1);
    QVProjectSettingsWindowController* settings = shown.first();
    EXPECT_EQ(settings->project(), project);
    EXPECT_TRUE(settings->sharesProject());
    EXPECT_TRUE(settings->nameField()->isEnabled());
    EXPECT_TRUE(settings->detailsController()->isEnabled());
    EXPECT_FALSE(settings->localPathField()->isEnabled());
    EXPECT_FALSE(settings->typePopUp()->isEnabled());

    settings->nameField()->setText(QStringLiteral("Renamed"));
    settings->setDisplayName(QStringLiteral("Renamed"));
    settings->config().setHost(QStringLiteral("localhost"));
    ASSERT_TRUE(settings->close(QVProjectSettingsWindowController::OKTag));
    settle();
    EXPECT_EQ(project->displayName(), QStringLiteral("Renamed"));
    EXPECT_EQ(project->remoteConfig().host(), QStringLiteral("localhost"));
    EXPECT_EQ(project->rootDirectory(), dir.file("site"));
    EXPECT_EQ(project->type(), QVProject::LocalAndRemote);
    window.reset();
    project->close();
}

// A file of no known type asks what it is, from the outline and from the open panel: a picked
// category opens it and is remembered, Cancel opens nothing; an ignorable file never opens and
// is never asked about.
TEST_F(AppWindows, FilesOfNoKnownTypeAskFirst) {
    const QByteArray binary("\x00\x01\x02\x03\xff\xfe\x00\x10", 8);
    dir.write("site/blob.qvx", binary);
    dir.write("site/other.qvy", binary);
    dir.write("site/skip.qvi", binary);
    dir.write("outside.qvz", binary);
    std::shared_ptr<QVFileCategories> categories = QVFileCategories::sharedCategories();
    categories->addIgnorableType(QStringLiteral("qvi"));
    QVProjectWindowController* window = openProject();
    ASSERT_TRUE(window);
    const auto node = [&](const QString& name) { return window->project()->rootFile()->childWithPath({name}, true); };

    const struct {
        const char* file;
        bool choose;  // a text category; else Cancel
        bool asked;
        bool opens;
    } cases[] = {
        {"blob.qvx", true, true, true},
        {"other.qvy", false, true, false},
        {"skip.qvi", false, false, false},
    };
    for (const auto& c : cases) {
        const qsizetype tabs = window->openDocuments().size();
        window->openFile(node(QString::fromLatin1(c.file)));
        settle();
        QVUnknownFileTypeController* question = window->unknownFileTypeController();
        EXPECT_EQ(question && question->panel() && question->panel()->isVisible(), c.asked) << c.file;
        if (question && question->panel()) {
            if (c.choose) {
                question->selectItemAtIndex(QVUnknownFileTypeController::FixedItemCount);
                question->choose();
            } else {
                question->cancel();
            }
            settle();
        }
        EXPECT_EQ(window->openDocuments().size(), tabs + (c.opens ? 1 : 0)) << c.file;
    }
    EXPECT_TRUE(categories->extension(QStringLiteral("qvx"), QVFileCategoryKindText));
    EXPECT_FALSE(categories->extension(QStringLiteral("qvy"), QVFileCategoryKindText));

    // The open panel's file: asked on the front window; Cancel opens no window.
    const QList<QMainWindow*> before = visibleWindows();
    controller().openChosenFile(dir.file("outside.qvz"));
    settle();
    ASSERT_EQ(controller().fileTypeQuestions().size(), 1);
    QVUnknownFileTypeController* question = controller().fileTypeQuestions().first();
    ASSERT_TRUE(question->panel());
    EXPECT_EQ(question->panel()->parentWidget(), window);
    question->cancel();
    settle();
    EXPECT_EQ(visibleWindows(), before);
    EXPECT_TRUE(controller().fileTypeQuestions().isEmpty());
    categories->removeIgnorableType(QStringLiteral("qvi"));
}

// A pipe, a device or an unreadable file opens nothing: no window and no empty tab, only the
// message saying why.
TEST_F(AppWindows, UnreadableFilesOpenNothing) {
    const QString fifo = dir.file("site/pipe.html");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0644), 0);
    QStringList paths{fifo, QStringLiteral("/dev/null")};
    if (::geteuid() != 0) {
        const QString locked = dir.write("locked.html", "<p>secret</p>");
        ASSERT_EQ(::chmod(QFile::encodeName(locked).constData(), 0), 0);
        paths << locked;
    }
    for (const QString& path : paths) {
        const QList<QMainWindow*> before = visibleWindows();
        EXPECT_FALSE(controller().openDocumentWithContentsOfFile(path)) << path.toStdString();
        settle();
        EXPECT_EQ(visibleWindows(), before) << path.toStdString();
        bool told = false;
        for (QMessageBox* box : visible<QMessageBox>())
            if (box->objectName() == QStringLiteral("NotOpened") && box->text().contains(path)) {
                told = true;
                box->done(0);
            }
        EXPECT_TRUE(told) << path.toStdString();
    }

    // From the outline: the pipe gets no tab.
    QVProjectWindowController* window = openProject();
    ASSERT_TRUE(window);
    const qsizetype tabs = window->openDocuments().size();
    window->openFile(window->project()->rootFile()->childWithPath({QStringLiteral("pipe.html")}, true));
    settle();
    EXPECT_EQ(window->openDocuments().size(), tabs);
}

// A Shift_JIS page holding codes its encoding would not write back as read (the duplicate NEC and
// IBM rows) opens as Shift_JIS with the notice of what saving changes, in a window of its own and
// as a project's tab; a page without them says nothing.
TEST_F(AppWindows, ShiftJISPagesWithDuplicateCodesSayHowTheyOpened) {
    const QByteArray head("<html><head><meta charset=\"Shift_JIS\"></head><body>");
    const QByteArray clean = head + "\x93\xfa\x96\x7b</body></html>\n", dup = head + "\xee\xe0\xed\x95</body></html>\n";
    const auto notice = [](QVDocumentWindowController* window) {
        QVStatusBarOverlayView* overlay = window->documentStatusBar()->overlayView();
        return overlay && overlay->messageView() ? overlay->messageView()->message() : QString();
    };
    const QString opened = QStringLiteral("Opened using Japanese (Shift JIS); saving it changes the bytes of some characters");
    const QString why = QStringLiteral(
        ": Japanese (Shift JIS) has two codes for some characters and writes the standard one: \u9ad9, read from EE E0 at byte 51, "
        "is written as FB FC, which reads as \u9ad9.");
    const struct {
        const char* file;
        bool project;
        const char* text;  // what the body shows
        bool told;
    } cases[] = {
        {"clean.html", false, "\u65e5\u672c", false},
        {"dup.html", false, "\u9ad9\ufa11", true},
        {"dup.html", true, "\u9ad9\ufa11", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.file) + (c.project ? " in the project" : " alone"));
        dir.write("site/" + QString::fromLatin1(c.file), c.told ? dup : clean);
        QVDocumentWindowController* window = nullptr;
        HTMLView* view = nullptr;
        if (c.project) {
            QVProjectWindowController* project = openProject();
            ASSERT_TRUE(project);
            view = openText(project, QString::fromLatin1(c.file));
            window = project;
        } else {
            window = qobject_cast<QVDocumentWindowController*>(controller().openDocumentWithContentsOfFile(dir.file("site/" + QString::fromLatin1(c.file))));
            settle();
            ASSERT_TRUE(window);
            view = window->currentTextView();
        }
        ASSERT_TRUE(view);
        EXPECT_TRUE(visible<QMessageBox>().isEmpty());
        if (c.text) {
            EXPECT_TRUE(view->string().contains(QString::fromUtf8(c.text))) << view->string().toStdString();
        }
        EXPECT_EQ(view->stringEncoding(), FileEncodings::encodingFromString("shift_jis"));
        EXPECT_EQ(notice(window), c.told ? opened : QString());
        // The bar keeps saying it while the document is open.
        EXPECT_EQ(window->documentStatusBar()->statusField()->text(), c.told ? opened + why : QString());
        if (c.told) {
            // Whole, over the bar of the window as it is laid out.
            QVStatusBarOverlayView* overlay = window->documentStatusBar()->overlayView();
            EXPECT_TRUE(overlay->rect().contains(overlay->messageView()->geometry()))
                << overlay->width() << " wide, the message at " << overlay->messageView()->x();
            // Characters Shift_JIS has no place for: the save asks first and writes nothing
            // unasked; Cancel keeps the file as it was, "Save as UTF-8" saves them all, and so
            // does another encoding chosen from those that hold them, the declaration following.
            const QString path = dir.file("site/" + QString::fromLatin1(c.file));
            const QByteArray before = readAll(path);
            view->setSelectedRange(QVRange(view->string().indexOf("</body>"), 0));
            // As an input method commits them.
            QInputMethodEvent commit;
            commit.setCommitString(QString::fromUtf8("\u65e5\u672c\u00fc"));
            QApplication::sendEvent(view, &commit);
            settle();
            const char* const chosenTexts[] = {"Save as UTF-8", "Cancel", "Other Encoding\u2026"};
            for (const int answer : {1, c.project ? 2 : 0}) {
                window->saveDocument();
                settle();
                const QList<QMessageBox*> boxes = visible<QMessageBox>();
                ASSERT_EQ(boxes.size(), 1);
                EXPECT_TRUE(boxes.front()->text().contains(QStringLiteral("cannot be saved in Japanese (Shift JIS)"))) << boxes.front()->text().toStdString();
                EXPECT_EQ(readAll(path), before);
                const QList<QAbstractButton*> buttons = boxes.front()->buttons();
                const auto chosen = std::find_if(buttons.begin(), buttons.end(), [&](QAbstractButton* button) {
                    return button->text() == QString::fromUtf8(chosenTexts[answer]);
                });
                ASSERT_NE(chosen, buttons.end());
                (*chosen)->click();
                settle();
                if (answer != 2) continue;
                auto* chooser = window->findChild<QInputDialog*>(QStringLiteral("SaveEncodingChooser"));
                ASSERT_TRUE(chooser && chooser->isVisible());
                EXPECT_EQ(readAll(path), before);
                EXPECT_FALSE(chooser->comboBoxItems().contains(QStringLiteral("Japanese (Shift JIS)")));
                chooser->setTextValue(QStringLiteral("Unicode (UTF-16)"));
                chooser->accept();
                settle();
            }
            EXPECT_TRUE(visible<QMessageBox>().isEmpty());
            const QVStringEncoding saved = c.project ? TextEncoding::UTF16 : TextEncoding::UTF8;
            EXPECT_EQ(view->stringEncoding(), saved);
            QString expected = TextEncoding::decode(before, FileEncodings::encodingFromString("shift_jis")).value_or(QString());
            expected.replace(QStringLiteral("</body>"), QStringLiteral("\u65e5\u672c\u00fc</body>"));
            expected.replace(QStringLiteral("Shift_JIS"), c.project ? QStringLiteral("UTF-16") : QStringLiteral("UTF-8"));
            EXPECT_EQ(TextEncoding::decode(readAll(path), saved).value_or(QString()), expected) << readAll(path).toStdString();
            EXPECT_EQ(window->documentStatusBar()->statusField()->text(), QString());
        }
        closeEverything();
    }
}

// The title keeps the project's name after a save; the ESC mark is the front tab's and typing
// ends it.
TEST_F(AppWindows, TitleAfterSaveAndEscapeMark) {
    QVProjectWindowController* window = openProject();
    ASSERT_TRUE(window);
    HTMLView* about = openText(window, "about.html");
    HTMLView* index = openText(window, "index.html");
    ASSERT_TRUE(about && index);
    QTest::keyClicks(index, QStringLiteral("x"));
    settle();
    window->saveDocument();
    settle();
    EXPECT_TRUE(window->windowTitle().startsWith(QStringLiteral("index.html \u2014 site"))) << window->windowTitle().toStdString();
    EXPECT_TRUE(readAll(dir.file("site/index.html")).startsWith("x"));

    QLabel* mark = window->documentStatusBar()->escapeField();
    QTest::keyClick(index, Qt::Key_Escape);
    settle();
    EXPECT_EQ(mark->text(), QStringLiteral("ESC"));
    window->activateDocument(window->documentForPath(dir.file("site/about.html")));
    settle();
    EXPECT_EQ(mark->text(), QString());
    window->activateDocument(window->documentForPath(dir.file("site/index.html")));
    settle();
    EXPECT_EQ(mark->text(), QStringLiteral("ESC"));
    index->setFocus();
    QTest::keyClicks(index, QStringLiteral("y"));
    settle();
    EXPECT_EQ(mark->text(), QString());
    EXPECT_FALSE(index->escaped());
}

struct HeaderDelegate : QVTransferModeDelegate {
    QString root;
    QString projectRootDirectory() const override { return root; }
    QString siteName() const override { return QStringLiteral("me@example.org"); }
    void presentErrorAlert(const QVError&) override {}
    void askQuestion(const QVError&, std::function<void(int)>) override {}
};

// The transfer tab's lists are headed by the local folder and the site, even when both folders
// have the same name.
TEST_F(AppWindows, TransferListsNameTheirSides) {
    dir.write("mirror/dialog/page.html", "x");
    HeaderDelegate delegate;
    delegate.root = dir.file("mirror");
    auto root = QVRootFile::create(dir.file("mirror"), false);
    auto folder = root->childWithPath({QStringLiteral("dialog")}, true);
    ASSERT_TRUE(folder);
    QVTransferModeDocument transfer(folder, nullptr, &delegate);
    std::unique_ptr<QWidget> view(transfer.view());
    transfer.activate();
    settle();
    ASSERT_TRUE(transfer.localHeader() && transfer.remoteHeader());
    EXPECT_TRUE(transfer.localHeader()->text().endsWith(QStringLiteral("mirror/dialog"))) << transfer.localHeader()->text().toStdString();
    EXPECT_TRUE(transfer.remoteHeader()->text().startsWith(QStringLiteral("me@example.org: "))) << transfer.remoteHeader()->text().toStdString();
    EXPECT_NE(transfer.localHeader()->text(), transfer.remoteHeader()->text());
}

// The completion list's type column shows "attribute" whole.
TEST_F(AppWindows, CompletionTypeColumnFitsItsTypes) {
    QVProjectWindowController* window = openProject();
    ASSERT_TRUE(window);
    HTMLView* view = openText(window, "index.html");
    ASSERT_TRUE(view);
    QVCodeCompletionViewController list(view);
    QVCodeCompletionEntry entry;
    entry.setKey(QStringLiteral("accesskey"));
    entry.setPrototype(QStringLiteral("accesskey"));
    entry.setType(QStringLiteral("attribute-of-a-long-kind"));
    list.displayEntries({entry}, QStringLiteral("accesskey"));
    settle();
    QTreeView* tree = list.listWidget();
    ASSERT_TRUE(tree);
    EXPECT_GT(tree->columnWidth(0), tree->fontMetrics().horizontalAdvance(entry.type()));
}

// Picks the language titled title in the window's status bar, as the user does.
void pickLanguage(QVDocumentWindowController* window, const QString& title) {
    QComboBox* modes = window->documentStatusBar()->modeSelector();
    const int index = modes->findText(title);
    ASSERT_GE(index, 0) << title.toStdString();
    modes->setCurrentIndex(index);
    Q_EMIT modes->activated(index);
    settle();
}

// The encoding chosen with Reopen with Encoding and the language picked in the status bar are
// kept for the file: by its project (reopened tab, renamed file), and in the defaults for a file
// outside a project; the project window reopens the files that were open.
TEST_F(AppWindows, PerFileSettingsAreKept) {
    dir.write("site/latin.html", QByteArray("<p>caf\xe9</p>\n"));
    dir.write("loose.txt", QByteArray("na\xefve\n"));
    QVProjectWindowController* window = openProject();
    ASSERT_TRUE(window);
    HTMLView* view = openText(window, "latin.html");
    ASSERT_TRUE(view);
    window->reopenUsingEncoding(QStringLiteral("iso-8859-1"));
    settle();
    pickLanguage(window, QStringLiteral("CSS"));
    const QString css = view->bundle()->bundleIdentifier();
    EXPECT_EQ(window->project()->configurationValueForKey(QStringLiteral("QVFileEncoding"), QStringLiteral("latin.html")).toULongLong(),
              qulonglong(FileEncodings::encodingFromString(QStringLiteral("iso-8859-1"))));
    EXPECT_EQ(window->project()->configurationValueForKey(QStringLiteral("QVFileBundle"), QStringLiteral("latin.html")).toString(), css);

    // Closed and opened again: the same encoding and language.
    window->closeDocument(window->documentForPath(dir.file("site/latin.html")));
    settle();
    view = openText(window, "latin.html");
    ASSERT_TRUE(view);
    EXPECT_EQ(view->fullString(), QStringLiteral("<p>caf\u00e9</p>\n"));
    EXPECT_EQ(view->bundle()->bundleIdentifier(), css);

    // Renamed: the settings and the picked language follow the file.
    window->renameNode(window->project()->rootFile()->childWithPath({QStringLiteral("latin.html")}, true), QStringLiteral("latin.php"));
    settle();
    ASSERT_TRUE(QFileInfo::exists(dir.file("site/latin.php")));
    EXPECT_EQ(view->bundle()->bundleIdentifier(), css);
    EXPECT_TRUE(window->project()->configurationValueForKey(QStringLiteral("QVFileBundle"), QStringLiteral("latin.html")).isNull());
    EXPECT_EQ(window->project()->configurationValueForKey(QStringLiteral("QVFileBundle"), QStringLiteral("latin.php")).toString(), css);

    // A window made again for the project opens the files that were open, in their order.
    const QStringList open = [&] {
        QStringList names;
        for (QVFileDocument* document : window->openDocuments()) names << document->displayName();
        return names;
    }();
    std::shared_ptr<QVProject> project = window->project();
    project->setConfigurationValue(window->openFileInformation(), QVProject::OpenFilesKey);
    {
        QVProjectWindowController again(project);
        again.show();
        settle();
        QStringList reopened;
        for (QVFileDocument* document : again.openDocuments()) reopened << document->displayName();
        EXPECT_EQ(reopened, open);
    }

    // Outside a project: the defaults keep the encoding for the file.
    {
        QVSingleFileWindowController loose(std::make_unique<QVSingleFileDocument>(dir.file("loose.txt")));
        loose.show();
        settle();
        loose.reopenUsingEncoding(QStringLiteral("iso-8859-1"));
        settle();
        EXPECT_EQ(loose.currentTextView()->fullString(), QStringLiteral("na\u00efve\n"));
    }
    QVSingleFileWindowController again(std::make_unique<QVSingleFileDocument>(dir.file("loose.txt")));
    again.show();
    settle();
    EXPECT_EQ(again.currentTextView()->fullString(), QStringLiteral("na\u00efve\n"));
}

// The multi-file find window's fields open the extended input, whose text becomes the search.
TEST_F(AppWindows, MultiFileFindHasTheExtendedInput) {
    QVMultiFileSearchController& find = QVMultiFileSearchController::sharedController();
    find.showWindow();
    settle();
    auto* more = find.window()->findChild<QToolButton*>(QStringLiteral("extendedSearchInput"));
    ASSERT_TRUE(more);
    more->click();
    settle();
    QList<QDialog*> sheets;
    for (QDialog* dialog : visible<QDialog>())
        if (dialog->objectName() == QStringLiteral("ExtendedSearchInput")) sheets << dialog;
    ASSERT_EQ(sheets.size(), 1);
    auto* edit = sheets.first()->findChild<QPlainTextEdit*>();
    ASSERT_TRUE(edit);
    edit->setPlainText(QStringLiteral("first line\nsecond line"));
    sheets.first()->accept();
    settle();
    EXPECT_EQ(find.searchString(), QStringLiteral("first line\nsecond line"));
}

}  // namespace
