// The command line's files open as the settings say: tabbed windows one per file, one window
// with every file, or single-file windows; an open file under another spelling comes forward.
#include "editor/QVFileDocument.h"
#include "editor/windows/QVMultiFileDocument.h"
#include "editor/windows/QVMultiFileWindowController.h"
#include "editor/windows/QVSingleFileWindowController.h"
#include "projects/windows/QVProjectWindowController.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"
#include "app/FileOpener.h"
#include "tests/support/TestSupport.h"

#include <QApplication>
#include <QMainWindow>
#include <QPointer>

#include <gtest/gtest.h>

TEST(FileOpenerTest, OpensFilesAsTheSettingsSay) {
    struct Case {
        const char* name;
        bool useTabs;
        qint64 howToOpen;
        int windows;               // windows made for a.html, b.css and a.html again
        QList<int> tabsPerWindow;  // empty for single-file windows
    };
    const Case cases[] = {
        {"a tabbed window per file", true, 0, 2, {1, 1}},
        {"one tabbed window for all", true, 1, 1, {2}},
        {"single-file windows without tabs", false, 0, 3, {}},
    };
    TestDir dir;
    const QString a = dir.write(QStringLiteral("a.html"), "<p>a</p>\n");
    const QString b = dir.write(QStringLiteral("b.css"), "p { color: red; }\n");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UserDefaults::standard().setBool(c.useTabs, QString::fromLatin1(QVUseTabs));
        UserDefaults::standard().setInteger(c.howToOpen, QString::fromLatin1(QVHowToOpenFiles));
        QList<QPointer<QMainWindow>> windows;
        for (const QString& path : {a, b, dir.path() + QStringLiteral("//./a.html")}) {
            QMainWindow* window = FileOpener::open(path);
            if (!windows.contains(window)) windows << window;
        }
        EXPECT_EQ(windows.size(), c.windows);
        for (qsizetype i = 0; i < windows.size(); ++i) {
            auto* tabbed = qobject_cast<QVMultiFileWindowController*>(windows[i].data());
            EXPECT_EQ(tabbed != nullptr, !c.tabsPerWindow.isEmpty());
            if (!tabbed) {
                EXPECT_NE(qobject_cast<QVSingleFileWindowController*>(windows[i].data()), nullptr);
                continue;
            }
            EXPECT_EQ(tabbed->openDocuments().size(), c.tabsPerWindow.value(i));
            EXPECT_TRUE(tabbed->testAttribute(Qt::WA_DeleteOnClose));
        }
        // The tabbed window that holds a.html has it in front again.
        if (!c.tabsPerWindow.isEmpty()) {
            EXPECT_EQ(qobject_cast<QVMultiFileWindowController*>(windows[0].data())->activeDocument()->displayName(),
                      QStringLiteral("a.html"));
        }
        for (const QPointer<QMainWindow>& window : windows) window->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        for (const QPointer<QMainWindow>& window : windows) EXPECT_TRUE(window.isNull());
        EXPECT_TRUE(QVMultiFileDocument::openContainers().isEmpty());
    }
}

TEST(FileOpenerTest, AFolderOpensAsOneProjectWindowThatTakesItsFiles) {
    UserDefaults::standard().setBool(true, QString::fromLatin1(QVUseTabs));
    TestDir dir;
    const QString page = dir.write(QStringLiteral("site/page.html"), "<p>page</p>\n");
    QPointer<QMainWindow> first = FileOpener::open(dir.file(QStringLiteral("site")));
    auto* window = qobject_cast<QVProjectWindowController*>(first.data());
    ASSERT_TRUE(window);
    // Again, and under another spelling: the same window; a file inside opens as its tab.
    EXPECT_EQ(FileOpener::open(dir.path() + QStringLiteral("/./site/")), first.data());
    EXPECT_EQ(FileOpener::open(page), first.data());
    ASSERT_EQ(window->openDocuments().size(), 1);
    EXPECT_EQ(window->openDocuments().first()->displayName(), QStringLiteral("page.html"));
    window->close();
    QApplication::processEvents();
}
