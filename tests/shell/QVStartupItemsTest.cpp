// Start-up items: the launch run (order, items that fail or hang, definitions that are skipped),
// the wizard's pages and buttons with what the check panes store, the on-demand sheet, and the
// menus filled from the encodings and special-characters lists.
#include "shell/QVStartupItemsController.h"

#include "platform/MainQueue.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"
#include "tests/support/TestSupport.h"

#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace {

QVariantMap definition(const QString& identifier, const QString& className, QVariant atLaunch = {}) {
    QVariantMap map{{"identifier", identifier}, {"class", className}, {"title", identifier}};
    if (atLaunch.isValid()) map.insert(QStringLiteral("show-at-launch"), atLaunch);
    return map;
}

QString writeDefinitions(const TestDir& dir, const QVariantList& list) {
    const QString path = dir.file(QStringLiteral("StartupItems.plist"));
    EXPECT_TRUE(Defaults::writePlist(list, path, 100));
    return path;
}

// Check panes for clients that are never installed, each with its own setting.
void registerMissingClient(const QString& name) {
    const QVFileExistsCheckPane::Client client{name, {QStringLiteral("/nonexistent/") + name}, QStringLiteral("Test") + name + QStringLiteral("Path")};
    QVStartupItemsController::registerItemClass(name, {[] { return true; }, [client] { return QVFileExistsCheckPane::needsToRun(client); },
                                                       [client](const QVariantMap& plist) { return std::make_shared<QVFileExistsCheckPane>(plist, client); }});
}

TEST(QVStartupItems, LaunchRunAndWizard) {
    UserDefaults& defaults = UserDefaults::standard();
    for (const char* key : {"TestAlphaPath", "TestBetaPath", "TestPresentPath"}) defaults.setObject({}, QString::fromLatin1(key));
    defaults.setString(QStringLiteral("/somewhere"), QStringLiteral("TestPresentPath"));

    QStringList ran;
    std::mutex ranLock;
    static std::mutex hang;
    hang.lock();  // held until the end of the test: the hanging item waits on it
    QVStartupItemsController::registerReloadItem(QStringLiteral("TestRecording"), [&] { std::lock_guard l(ranLock); ran << QStringLiteral("recording"); });
    QVStartupItemsController::registerReloadItem(QStringLiteral("TestThrowing"), [] { throw std::runtime_error("boom"); });
    QVStartupItemsController::registerReloadItem(QStringLiteral("TestHanging"), [] { std::lock_guard l(hang); });
    QVStartupItemsController::registerReloadItem(QStringLiteral("TestLater"), [&] { std::lock_guard l(ranLock); ran << QStringLiteral("later"); });
    registerMissingClient(QStringLiteral("Alpha"));
    registerMissingClient(QStringLiteral("Beta"));
    registerMissingClient(QStringLiteral("Present"));

    TestDir dir;
    QVariantList list{definition("t.throwing", "TestThrowing"), definition("t.hanging", "TestHanging"),
                      definition("t.recording", "TestRecording"), definition("t.off", "TestLater", false),
                      definition("t.unknown", "NoSuchClass"), QStringLiteral("not a dictionary"),
                      definition("t.alpha", "Alpha"), definition("t.present", "Present"), definition("t.beta", "Beta", true)};
    QVStartupItemsController controller(writeDefinitions(dir, list));
    controller.setItemTimeout(std::chrono::milliseconds(1500));
    ASSERT_TRUE(controller.needsDisplay());
    {
        std::lock_guard l(ranLock);
        EXPECT_EQ(ran, QStringList{QStringLiteral("recording")}) << "a failing or hanging item stops nothing; show-at-launch NO never runs";
    }
    EXPECT_EQ(controller.paneCount(), 2) << "a client whose setting has a value needs no pane";
    EXPECT_TRUE(controller.canRunItemWithIdentifier(QStringLiteral("t.off")));
    EXPECT_FALSE(controller.canRunItemWithIdentifier(QStringLiteral("t.present")));
    EXPECT_FALSE(controller.canRunItemWithIdentifier(QStringLiteral("t.unknown")));

    // The wizard: first pane, next, back to the first and the welcome page, forwards to Done.
    controller.showWindow();
    struct Step { void (QVStartupItemsController::*move)(); qint64 index; bool canGoBack; const char* forward; };
    const Step steps[] = {
        {nullptr, 1, false, "Next"},
        {&QVStartupItemsController::next, 2, true, "Done"},
        {&QVStartupItemsController::back, 1, false, "Next"},
        {&QVStartupItemsController::back, 0, false, "Next"},
        {&QVStartupItemsController::next, 1, false, "Next"},
    };
    for (const Step& step : steps) {
        if (step.move) (controller.*step.move)();
        EXPECT_EQ(controller.currentIndex(), step.index);
        EXPECT_EQ(controller.canGoBackward(), step.canGoBack);
        EXPECT_EQ(controller.forwardTitle(), QString::fromLatin1(step.forward));
    }
    // Alpha gets a real file, Beta a path to nothing; each is committed on leaving its page.
    controller.window()->findChild<QLineEdit*>(QStringLiteral("path"))->setText(QStringLiteral("/bin/sh"));
    controller.next();
    controller.window()->findChild<QLineEdit*>(QStringLiteral("path"))->setText(QStringLiteral("/nonexistent/beta"));
    controller.next();
    EXPECT_FALSE(controller.window()->isVisible()) << "Done on the last page closes the wizard";
    EXPECT_EQ(defaults.stringForKey(QStringLiteral("TestAlphaPath")), QStringLiteral("/bin/sh"));
    EXPECT_FALSE(defaults.objectForKey(QStringLiteral("TestBetaPath")).isValid());

    // On demand as a sheet: Cancel tells 0, Done 1.
    QMainWindow parent;
    parent.show();
    for (int answer : {0, 1}) {
        int heard = -1;
        ASSERT_TRUE(controller.runItemWithIdentifier(QStringLiteral("t.beta"), &parent, [&](int code) { heard = code; }));
        EXPECT_TRUE(controller.isSheet());
        EXPECT_EQ(controller.backwardTitle(), QStringLiteral("Cancel"));
        EXPECT_EQ(controller.forwardTitle(), QStringLiteral("Done"));
        EXPECT_TRUE(controller.window()->isVisible());
        if (answer == 1) controller.next();
        else controller.back();
        EXPECT_EQ(heard, answer);
    }
    EXPECT_FALSE(controller.runItemWithIdentifier(QStringLiteral("t.present"), &parent));
    hang.unlock();
}

TEST(QVStartupItems, MenusFromLists) {
    TestDir dir;
    const QString encodings = dir.file(QStringLiteral("charsets.plist"));
    ASSERT_TRUE(Defaults::writePlist(QVariantList{QVariantMap{{"full", "Unicode (UTF-8)"}, {"short", "utf-8"}}, QStringLiteral("-"),
                                                  QVariantMap{{"full", "Western"}, {"short", "iso-8859-1"}}},
                                     encodings, 100));
    const QString characters = dir.file(QStringLiteral("specialCharacters.plist"));
    ASSERT_TRUE(Defaults::writePlist(QVariantMap{{"beta", QVariantList{QVariantMap{{"appearance", "é"}, {"name", "e acute"}, {"value", "&eacute;"}}}},
                                                 {"Alpha", QVariantList{QVariantMap{{"appearance", "©"}, {"value", "&copy;"}}}}},
                                     characters, 100));
    const QString broken = dir.write(QStringLiteral("broken.plist"), "<plist><array><dict>");

    QList<MenuItemRep> reps = QVSetupEncodingsMenu::reps(encodings);
    ASSERT_EQ(reps.size(), 3);
    EXPECT_EQ(reps[0].title(), QStringLiteral("Unicode (UTF-8) (utf-8)"));
    EXPECT_EQ(reps[0].action(), QStringLiteral("reopenUsingEncoding:"));
    EXPECT_EQ(reps[0].representedObject(), QVariant(QStringLiteral("utf-8")));
    EXPECT_TRUE(reps[1].isSeparatorItem());
    EXPECT_TRUE(QVSetupEncodingsMenu::reps(broken).isEmpty());
    EXPECT_FALSE(QVSetupEncodingsMenu::reps(QString()).isEmpty()) << "the shipped list";

    reps = QVSetupCharacterEntityMenu::reps(characters);
    ASSERT_EQ(reps.size(), 3);
    EXPECT_TRUE(reps[0].isSeparatorItem());
    EXPECT_EQ(reps[1].title(), QStringLiteral("Alpha"));
    EXPECT_EQ(reps[1].submenuReps().value(0).title(), QStringLiteral("©  &copy;"));
    EXPECT_EQ(reps[2].submenuReps().value(0).title(), QStringLiteral("é  e acute"));
    EXPECT_EQ(reps[2].submenuReps().value(0).representedObject(), QVariant(QStringLiteral("&eacute;")));
    EXPECT_EQ(QVSetupCharacterEntityMenu::reps(dir.file(QStringLiteral("missing.plist"))).size(), 1);

    // Items run off the main thread hand their menus over; the menu keeps its own items first.
    QMenu encodingsMenu, lineBreaks;
    encodingsMenu.addAction(QStringLiteral("Own item"));
    for (const char* title : {"LF", "CR", "CR LF"}) lineBreaks.addAction(QString::fromLatin1(title));
    QVMainMenuPlaces::setMenu(QVMainMenuPlaces::ReopenWithEncoding, &encodingsMenu);
    QVMainMenuPlaces::setMenu(QVMainMenuPlaces::LineBreak, &lineBreaks);
    std::thread([] { QVSetupEncodingsMenu({}).run(); }).join();
    MainQueue::drain();
    const QList<QAction*> items = encodingsMenu.actions();
    ASSERT_GT(items.size(), 2);
    EXPECT_EQ(items[0]->text(), QStringLiteral("Own item"));
    EXPECT_EQ(items[1]->objectName(), QStringLiteral("reopenUsingEncoding:"));
    UserDefaults::standard().setInteger(2, QString::fromLatin1(QVLineBreak));
    QVMainMenuPlaces::tickLineBreak();
    EXPECT_FALSE(lineBreaks.actions()[0]->isChecked());
    EXPECT_TRUE(lineBreaks.actions()[2]->isChecked());
    QVMainMenuPlaces::setMenu(QVMainMenuPlaces::ReopenWithEncoding, nullptr);
    QVMainMenuPlaces::setMenu(QVMainMenuPlaces::LineBreak, nullptr);
}

}  // namespace
