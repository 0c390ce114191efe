// The Preferences window on the offscreen platform: the pane list read from real files, the Show
// All grid, switching with the toolbar and the buttons, and the session every pane takes part in.
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"
#include "preferences/QVPrefPane.h"
#include "preferences/QVPrefPanes.h"
#include "preferences/QVPreferences.h"
#include "tests/support/TestSupport.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QTest>
#include <QToolBar>
#include <QToolButton>

#include <gtest/gtest.h>

namespace {

// A pane whose view has a chosen size, recording its session calls in one shared log.
QStringList& sessionLog() {
    static QStringList log;
    return log;
}

class SizedPane : public QVPrefPane {
public:
    SizedPane(const QString& name, QSize size, QString icon) : QVPrefPane(name), _size(size), _icon(std::move(icon)) {}
    void startSession() override {
        QVPrefPane::startSession();
        sessionLog() << QStringLiteral("start ") + displayName();
    }
    void endSession() override { sessionLog() << QStringLiteral("end ") + displayName(); }

protected:
    QString iconName() const override { return _icon; }
    QWidget* loadView() override {
        auto* view = new QWidget;
        view->resize(_size);
        return view;
    }

private:
    QSize _size;
    QString _icon;
};

void registerTestPanes() {
    QVPrefPanes::registerStandardPanes();
    QVPrefPane::registerClass(QStringLiteral("TallPane"), [](const QString& name) {
        return std::make_unique<SizedPane>(name, QSize(400, 500), QStringLiteral("general"));
    });
    QVPrefPane::registerClass(QStringLiteral("ShortPane"), [](const QString& name) {
        return std::make_unique<SizedPane>(name, QSize(300, 120), QStringLiteral("files"));
    });
    QVPrefPane::registerClass(QStringLiteral("IconlessPane"), [](const QString& name) {
        return std::make_unique<SizedPane>(name, QSize(300, 120), QStringLiteral("no-such-image"));
    });
}

QString writeList(const TestDir& dir, const QList<QPair<QString, QString>>& panes) {
    QVariantList list;
    for (const auto& [mainClass, name] : panes)
        list << QVariantMap{{QStringLiteral("mainClass"), mainClass},
                            {QStringLiteral("displayName"), name},
                            {QStringLiteral("identifier"), QStringLiteral("test.") + name}};
    const QString path = dir.file(QStringLiteral("panes.plist"));
    EXPECT_TRUE(PropertyList::writeFile(list, path, PlistFormat::XML));
    return path;
}

class PreferencesWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        registerTestPanes();
        sessionLog().clear();
    }
    // What the panes posted (reloads, a look at the editors) runs with the test that made them.
    void TearDown() override {
        QCoreApplication::sendPostedEvents();
        MainQueue::drain();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    TestDir dir;
};

TEST_F(PreferencesWindowTest, ShowAllLaysOutTheListedPanesInRowsOfFive) {
    struct Case {
        QList<QPair<QString, QString>> panes;
        int buttons;
        int rows;
    };
    const QList<Case> cases = {
        // Seven panes: five at the top, two at the bottom left.
        {{{"TallPane", "A"}, {"ShortPane", "B"}, {"TallPane", "C"}, {"ShortPane", "D"}, {"TallPane", "E"}, {"ShortPane", "F"}, {"TallPane", "G"}}, 7, 2},
        // Unknown classes and panes without an icon are skipped.
        {{{"NoSuchPane", "X"}, {"TallPane", "A"}, {"IconlessPane", "Y"}, {"ShortPane", "B"}}, 2, 1},
        {{}, 0, 0},
    };
    for (const Case& test : cases) {
        QVPreferences window(writeList(dir, test.panes));
        window.showWindow();
        ASSERT_EQ(window.buttons().size(), test.buttons);
        ASSERT_EQ(int(window.panes().size()), test.buttons);
        if (!test.buttons) {
            // No panes: the Show All view is never installed.
            EXPECT_FALSE(window.showAllView()->isVisible());
            window.close();
            continue;
        }
        int width = 0;
        for (QToolButton* button : window.buttons()) width = std::max(width, button->width());
        const int height = window.buttons().first()->height();
        for (int i = 0; i < test.buttons; ++i) {
            const QRect frame = window.buttons()[i]->geometry();
            EXPECT_EQ(frame.x(), (i % 5) * (width + 3) + 10) << i;
            EXPECT_EQ(frame.y(), (i / 5) * (height + 15) + 20) << i;
            EXPECT_EQ(frame.width(), width);
            EXPECT_EQ(window.buttons()[i]->property("tag").toInt(), i);
        }
        EXPECT_EQ(window.showAllView()->size(), QSize(5 * (width + 3) + 20, test.rows * (height + 15) + 25));
        EXPECT_EQ(window.centralWidget()->size(), window.showAllView()->size());
        window.close();
    }
}

TEST_F(PreferencesWindowTest, SwitchingKeepsTheTopLeftCornerAndNamesThePane) {
    QVPreferences window(writeList(dir, {{"TallPane", "Tall"}, {"ShortPane", "Short"}}));
    window.showWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    window.move(100, 80);
    QTest::qWait(20);
    const QPoint topLeft = window.pos();

    // A click on the first Show All button.
    QTest::mouseClick(window.buttons()[0], Qt::LeftButton);
    EXPECT_EQ(window.currentPane(), window.panes()[0].get());
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Preferences \u2014 Tall"));
    EXPECT_EQ(window.centralWidget()->size(), QSize(400, 500));
    EXPECT_TRUE(window.toolbarAction(QStringLiteral("test.Tall"))->isChecked());
    EXPECT_EQ(window.pos(), topLeft);
    const int tallHeight = window.height();

    // The toolbar's item for the short pane.
    QAction* shortItem = window.toolbarAction(QStringLiteral("test.Short"));
    ASSERT_NE(shortItem, nullptr);
    shortItem->setVisible(true);
    QTest::mouseClick(window.toolbar()->widgetForAction(shortItem), Qt::LeftButton);
    EXPECT_EQ(window.currentPane(), window.panes()[1].get());
    EXPECT_EQ(window.centralWidget()->size(), QSize(300, 120));
    EXPECT_EQ(window.pos(), topLeft);
    EXPECT_EQ(tallHeight - window.height(), 380);
    EXPECT_EQ(window.transitionView()->title(), QStringLiteral("Short"));

    // An identifier nobody has, and any tag outside the list, give Show All.
    window.showPaneWithIdentifier(QStringLiteral("test.nobody"));
    EXPECT_EQ(window.currentPane(), nullptr);
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Preferences"));
    EXPECT_TRUE(window.toolbarAction(QString::fromLatin1(QVPreferences::ShowAllIdentifier))->isChecked());
    window.changePane(1);
    window.changePane(7);
    EXPECT_EQ(window.currentPane(), nullptr);
    window.close();
}

TEST_F(PreferencesWindowTest, ASessionRunsFromShowingToClosingAndEndsBeforeTheNotification) {
    QVPreferences window(writeList(dir, {{"TallPane", "A"}, {"ShortPane", "B"}}));
    QStringList posted;
    const auto token = NotificationCenter::defaultCenter().addObserver(
        QString::fromLatin1(QorvelPrefsClosed), &window, [&](const Notification&) { sessionLog() << QStringLiteral("closed"); });
    window.showWindow();
    window.changePane(0);
    // Showing an open window only raises it: the session goes on.
    window.showWindow();
    window.showPaneWithIdentifier(QStringLiteral("test.B"));
    EXPECT_EQ(sessionLog(), (QStringList{"start A", "start B"}));
    window.close();
    EXPECT_EQ(sessionLog(), (QStringList{"start A", "start B", "end A", "end B", "closed"}));
    // The pane on show stays current across a close; a second session starts and, ended from
    // outside (quitting), ends once.
    sessionLog().clear();
    window.showWindow();
    EXPECT_EQ(window.currentPane(), window.panes()[1].get());
    window.endSession();
    window.endSession();
    window.close();
    EXPECT_EQ(sessionLog(), (QStringList{"start A", "start B", "end A", "end B", "closed"}));
    NotificationCenter::defaultCenter().removeObserver(token);
}

TEST_F(PreferencesWindowTest, TheShippedListMakesEveryBuiltPaneAndTheDefaultToolbar) {
    QVPreferences window;
    window.showWindow();
    QStringList identifiers;
    for (const auto& pane : window.panes()) identifiers << pane->identifier();
    for (const char* name : {"general", "editing", "files", "siteview", "codecompletion", "softwareupdate"})
        EXPECT_TRUE(identifiers.contains(QVPreferences::paneIdentifier(QString::fromLatin1(name)))) << name;
    EXPECT_TRUE(identifiers.contains(QVPreferences::filesPaneIdentifier()));
    // Only the default items show; the user's choice from the toolbar's menu is kept.
    EXPECT_TRUE(window.toolbarAction(QVPreferences::paneIdentifier(QStringLiteral("general")))->isVisible());
    EXPECT_FALSE(window.toolbarAction(QVPreferences::paneIdentifier(QStringLiteral("siteview")))->isVisible());
    // Every pane's view can be built and shown.
    for (int i = 0; i < int(window.panes().size()); ++i) {
        window.changePane(i);
        EXPECT_EQ(window.currentPane(), window.panes()[i].get()) << i;
    }
    window.close();
}

}  // namespace
