// The unknown-file-type sheet: when it asks, what it offers, what each choice records, and
// its window-modal dialog on a real (offscreen) window.
#include "shell/QVUnknownFileTypeController.h"

#include "platform/AppBundle.h"
#include "platform/MainQueue.h"
#include "platform/PropertyList.h"
#include "shell/QVUnknownFileTypeControllerDelegate.h"
#include "shell/QVUnknownFileTypePanel.h"
#include "tests/support/TestSupport.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QFileInfo>
#include <QPushButton>
#include <QWidget>

#include <gtest/gtest.h>

#include <thread>

namespace {

QVariantMap store() {
    const auto types = [](const QStringList& list) { return QVariantMap{{QStringLiteral("types"), list}}; };
    return {
        {QStringLiteral("Text"), QVariantMap{{QStringLiteral("Markup"), types({"html"})},
                                             {QStringLiteral("Code"), types({"js"})}}},
        {QStringLiteral("Image"), QVariantMap{{QStringLiteral("Pictures"), types({"png"})}}},
        {QStringLiteral("Ignorable"), QVariantList{QStringLiteral("swp")}},
    };
}

struct Recorder : QVUnknownFileTypeControllerDelegate {
    int calls = 0;
    std::shared_ptr<QVFileCategory> category;
    QString path;
    QVUnknownFileTypeController* sender = nullptr;
    std::function<void()> then;
    void unknownFileTypeControllerDidPickFileType(QVUnknownFileTypeController* controller,
                                                  const std::shared_ptr<QVFileCategory>& picked,
                                                  const QString& file) override {
        ++calls;
        sender = controller;
        category = picked;
        path = file;
        if (then) then();
    }
};

struct SheetFixture {
    TestDir dir;
    QString written = dir.file(QStringLiteral("out/categories.plist"));
    std::shared_ptr<QVFileCategories> model;
    QString file;

    SheetFixture() {
        const QString path = dir.file(QStringLiteral("store.plist"));
        EXPECT_TRUE(PropertyList::writeFile(store(), path, PlistFormat::XML));
        model = QVFileCategories::create(path, written);
        file = dir.write(QStringLiteral("archive.zip"), QByteArray("PK\x03\x04", 4) + QByteArray(64, '\0'));
    }
};

QStringList itemTitles(const QVUnknownFileTypeController& controller) {
    QStringList titles;
    for (const auto& item : controller.popUpItems()) titles.append(item.isSeparator ? QStringLiteral("-") : item.title);
    return titles;
}

}  // namespace

TEST(QVUnknownFileTypeController, WhenTheSheetAsks) {
    SheetFixture f;
    const QString readme = f.dir.write(QStringLiteral("README"), "words\n");
    const struct {
        QString path;
        bool folder;
        bool shows, ignore;
    } rows[] = {
        {f.file, false, true, false},
        {f.dir.path(), true, false, false},
        {f.dir.file(QStringLiteral("page.html")), false, false, false},
        {f.dir.file(QStringLiteral("x.png")), false, false, false},
        {f.dir.file(QStringLiteral(".notes.swp")), false, false, true},
        {readme, false, false, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path.toStdString());
        bool ignore = !row.ignore;
        EXPECT_EQ(QVUnknownFileTypeController::shouldDisplayForFile(row.path, row.folder, &ignore, f.model),
                  row.shows);
        EXPECT_EQ(ignore, row.ignore);
        EXPECT_EQ(QVUnknownFileTypeController::shouldDisplayForFile(row.path, row.folder, nullptr, f.model),
                  row.shows);
    }
}

TEST(QVUnknownFileTypeController, PickingACategoryRecordsTheExtension) {
    SheetFixture f;
    QVUnknownFileTypeController controller(f.model);
    EXPECT_EQ(itemTitles(controller).mid(2), (QStringList{"-", "Code", "Markup", "-", "Pictures"}));
    EXPECT_EQ(controller.indexOfSelectedItem(), 0);

    Recorder recorder;
    controller.displayOnWindow(nullptr, &recorder, f.file);
    controller.selectType(3);  // Code
    controller.selectItemAtIndex(5);  // a separator cannot be chosen
    EXPECT_EQ(controller.indexOfSelectedItem(), 3);
    controller.choose();
    EXPECT_EQ(recorder.calls, 1);
    EXPECT_EQ(recorder.sender, &controller);
    EXPECT_EQ(recorder.path, f.file);
    ASSERT_TRUE(recorder.category);
    EXPECT_EQ(recorder.category->title(), QStringLiteral("Code"));
    EXPECT_TRUE(f.model->extension(QStringLiteral("zip"), QStringLiteral("Code")));
    EXPECT_FALSE(QVUnknownFileTypeController::shouldDisplayForFile(f.file, false, nullptr, f.model));
    // Written, so the choice lasts.
    EXPECT_TRUE(QVFileCategories::create(f.written)->extension(QStringLiteral("zip"), QStringLiteral("Code")));
}

TEST(QVUnknownFileTypeController, IgnoringAndCancelling) {
    SheetFixture f;
    QVUnknownFileTypeController controller(f.model);
    Recorder recorder;
    controller.displayOnWindow(nullptr, &recorder, f.file);
    controller.cancel();
    EXPECT_EQ(recorder.calls, 1);
    EXPECT_FALSE(recorder.category);
    EXPECT_FALSE(QFileInfo::exists(f.written)) << "cancel leaves the model alone";
    EXPECT_TRUE(f.model->extension(QStringLiteral("zip"), QVFileCategoryKindOther));

    controller.displayOnWindow(nullptr, &recorder, f.file);
    controller.selectType(4);
    controller.selectType(0);
    controller.choose();
    EXPECT_EQ(recorder.calls, 2);
    EXPECT_FALSE(recorder.category);
    EXPECT_TRUE(f.model->extension(QStringLiteral("zip"), QVFileCategoryKindIgnorable));
    EXPECT_TRUE(QVFileCategories::create(f.written)->extension(QStringLiteral("zip"), QVFileCategoryKindIgnorable));
    bool ignore = false;
    EXPECT_FALSE(QVUnknownFileTypeController::shouldDisplayForFile(f.file, false, &ignore, f.model));
    EXPECT_TRUE(ignore);

    // A file without an extension leaves nothing to record.
    controller.displayOnWindow(nullptr, &recorder, f.dir.file(QStringLiteral("Makefile")));
    controller.choose();
    EXPECT_EQ(recorder.calls, 3);
    EXPECT_FALSE(f.model->ignoreTypes().contains(QString()));

    // A delegate that went away hears nothing.
    controller.displayOnWindow(nullptr, &recorder, f.file);
    controller.clearDelegate(&recorder);
    controller.cancel();
    EXPECT_EQ(recorder.calls, 3);
}

TEST(QVUnknownFileTypeController, EditItemOpensTheFilesPane) {
    SheetFixture f;
    QVUnknownFileTypeController controller(f.model);
    QStringList panes;
    QVUnknownFileTypeController::setPreferencesPaneHandler([&](const QString& id) { panes.append(id); });
    controller.selectType(3);
    controller.selectType(QVUnknownFileTypeController::EditCategoriesItemIndex);
    QVUnknownFileTypeController::setPreferencesPaneHandler({});
    EXPECT_EQ(panes, QStringList{AppBundle::main().bundleIdentifier() + QStringLiteral(".prefs.files")});
    EXPECT_EQ(controller.indexOfSelectedItem(), 0);
}

TEST(QVUnknownFileTypeController, PopUpFollowsWrittenChangesAndKeepsItsChoice) {
    SheetFixture f;
    QVUnknownFileTypeController controller(f.model);
    controller.selectType(4);  // Markup
    const auto added = f.model->addCategoryWithTitle(QStringLiteral("Absolutely"), QVFileCategoryKindText);
    ASSERT_TRUE(f.model->commit());
    EXPECT_EQ(itemTitles(controller).mid(3), (QStringList{"Absolutely", "Code", "Markup", "-", "Pictures"}));
    EXPECT_EQ(controller.popUpItems()[controller.indexOfSelectedItem()].title, QStringLiteral("Markup"));

    // A commit from another thread reaches the pop-up through the main thread.
    f.model->removeCategory(f.model->categoryForTitle(QStringLiteral("Markup")), QVFileCategoryKindText);
    std::thread([&] { EXPECT_TRUE(f.model->commit()); }).join();
    EXPECT_TRUE(MainQueue::runUntil([&] { return !itemTitles(controller).contains(QStringLiteral("Markup")); },
                                    std::chrono::seconds(5)));
    EXPECT_EQ(controller.indexOfSelectedItem(), 0) << "its category is gone";
}

TEST(QVUnknownFileTypeController, SheetOnAWindow) {
    SheetFixture f;
    QWidget window;
    window.resize(400, 300);
    window.show();

    // Another sheet is up: this one waits for the next turn of the event loop.
    QDialog other(&window);
    other.setWindowModality(Qt::WindowModal);
    other.open();

    auto* controller = new QVUnknownFileTypeController(f.model);
    Recorder recorder;
    recorder.then = [&] { delete controller; };  // the owner drops the sheet from the callback
    controller->displayOnWindow(&window, &recorder, f.file);
    EXPECT_FALSE(controller->panel());
    QApplication::processEvents();
    QVUnknownFileTypePanel* panel = controller->panel();
    ASSERT_TRUE(panel);
    EXPECT_TRUE(panel->isVisible());
    EXPECT_EQ(panel->windowModality(), Qt::WindowModal);
    EXPECT_EQ(panel->parentWidget(), &window);
    EXPECT_EQ(panel->popUpButton()->count(), controller->popUpItems().size());
    EXPECT_EQ(panel->popUpButton()->itemText(4), QStringLiteral("Markup"));

    panel->popUpButton()->setCurrentIndex(4);
    Q_EMIT panel->popUpButton()->activated(4);
    EXPECT_EQ(controller->indexOfSelectedItem(), 4);
    panel->chooseButton()->click();
    EXPECT_EQ(recorder.calls, 1);
    EXPECT_EQ(recorder.category->title(), QStringLiteral("Markup"));
    EXPECT_TRUE(f.model->extension(QStringLiteral("zip"), QStringLiteral("Markup")));
    QApplication::processEvents();

    // Closing the window counts as Cancel.
    QVUnknownFileTypeController second(f.model);
    Recorder closed;
    second.displayOnWindow(&window, &closed, f.dir.file(QStringLiteral("other.qqq")));
    EXPECT_FALSE(second.panel()) << "the other sheet is still up";
    QApplication::processEvents();
    ASSERT_TRUE(second.panel());
    second.panel()->reject();
    EXPECT_EQ(closed.calls, 1);
    EXPECT_FALSE(closed.category);
    EXPECT_FALSE(second.panel());
    EXPECT_FALSE(f.model->extension(QStringLiteral("qqq"), QVFileCategoryKindIgnorable));
    other.close();
}
