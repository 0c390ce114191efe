// The colours pane over the shipped themes and a repository of its own: styles added, renamed,
// recoloured and removed, themes switched, duplicated and removed in the editor, and what the end
// of the session writes and posts.
#include "editor/QVEditorNotifications.h"
#include "languages/QVTheme.h"
#include "languages/QVThemeRepository.h"
#include "platform/NotificationCenter.h"
#include "platform/QVTextStorage.h"
#include "platform/UserDefaults.h"
#include "preferences/QVColorsPrefPane.h"
#include "shell/Defaults.h"
#include "shell/QVColorWell.h"
#include "shell/QVCustomSelectionColorTable.h"
#include "tests/support/TestSupport.h"

#include <QApplication>
#include <QColorDialog>
#include <QMouseEvent>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>

#include <gtest/gtest.h>

namespace {

int postsDuring(const std::function<void()>& work) {
    int posted = 0;
    const auto token = NotificationCenter::defaultCenter().addObserver(QString::fromLatin1(QorvelHighlightingPrefsChange), nullptr,
                                                                       [&](const Notification&) { ++posted; });
    work();
    NotificationCenter::defaultCenter().removeObserver(token);
    return posted;
}

TEST(ColorsPaneTest, StylesAreEditedOnTheCurrentTheme) {
    QVThemeRepository repository(&UserDefaults::standard());
    QVColorsPrefPane pane(QStringLiteral("Colors"), &repository);
    ASSERT_TRUE(pane.allowSelect());
    pane.startSession();
    const std::shared_ptr<QVTheme> theme = pane.currentTheme();
    ASSERT_NE(theme, nullptr);
    const qsizetype before = pane.styles().size();

    // new-0 and new-1 taken: the next is new-2, appended and selected.
    theme->addStyle(QStringLiteral("new-0"), {});
    theme->addStyle(QStringLiteral("new-1"), {});
    EXPECT_EQ(pane.newUniqueID(), QStringLiteral("new-2"));
    pane.addStyle();
    ASSERT_EQ(pane.styles().size(), before + 1);
    EXPECT_EQ(pane.styles().last(), QStringLiteral("new-2"));
    const int row = int(before);
    EXPECT_TRUE(pane.removeStyleButton()->isEnabled());
    EXPECT_EQ(pane.attributesForRow(row).value(QVTextStorage::ForegroundColorAttribute).value<QColor>(), theme->textColor());

    // Renames: empty, unchanged and taken names change nothing.
    for (const QString& refused : {QString(), QStringLiteral("new-2"), QStringLiteral("new-0")})
        EXPECT_FALSE(pane.renameStyle(row, refused)) << refused.toStdString();
    EXPECT_TRUE(pane.renameStyle(row, QStringLiteral("markup.custom")));
    EXPECT_TRUE(theme->containsIdentifier(QStringLiteral("markup.custom")));
    EXPECT_FALSE(theme->containsIdentifier(QStringLiteral("new-2")));

    // A background from the well, then a cleared well removes it again.
    pane.tableView()->selectRow(row);
    pane.backgroundWell()->setColor(QColor(10, 20, 30));
    EXPECT_EQ(theme->attributesForIdentifier(QStringLiteral("markup.custom")).value(QVTextStorage::BackgroundColorAttribute).value<QColor>(),
              QColor(10, 20, 30));
    pane.backgroundWell()->setColor(QColor::fromRgbF(1, 1, 1, 0));
    EXPECT_FALSE(theme->attributesForIdentifier(QStringLiteral("markup.custom")).contains(QVTextStorage::BackgroundColorAttribute));

    // A click on a well opens the picker; its colour recolours the style, a picker left open at
    // the end of the session changes nothing.
    const auto click = [](QWidget* well) {
        for (const QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
            QMouseEvent event(type, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton,
                              type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
            QApplication::sendEvent(well, &event);
        }
    };
    click(pane.foregroundWell());
    ASSERT_NE(pane.colorPanel(), nullptr);
    pane.colorPanel()->setCurrentColor(QColor(1, 2, 3));
    pane.colorPanel()->accept();
    EXPECT_EQ(theme->attributesForIdentifier(QStringLiteral("markup.custom")).value(QVTextStorage::ForegroundColorAttribute).value<QColor>(),
              QColor(1, 2, 3));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    click(pane.backgroundWell());
    ASSERT_NE(pane.colorPanel(), nullptr);
    pane.colorPanel()->setCurrentColor(QColor(4, 5, 6));
    pane.endSession();
    pane.startSession();
    EXPECT_FALSE(theme->attributesForIdentifier(QStringLiteral("markup.custom")).contains(QVTextStorage::BackgroundColorAttribute));
    EXPECT_TRUE(!pane.colorPanel() || !pane.colorPanel()->isVisible());

    pane.removeStyle();
    EXPECT_EQ(pane.styles().size(), before);
    EXPECT_FALSE(theme->containsIdentifier(QStringLiteral("markup.custom")));
    pane.tableView()->clearSelection();
    pane.removeStyle();  // beeps
    EXPECT_EQ(pane.styles().size(), before);
    EXPECT_FALSE(pane.removeStyleButton()->isEnabled());
}

TEST(ColorsPaneTest, TheSessionWritesAndPostsOnlyAfterAChange) {
    QVThemeRepository repository(&UserDefaults::standard());
    QVColorsPrefPane pane(QStringLiteral("Colors"), &repository);
    ASSERT_TRUE(pane.allowSelect());
    const QString themes = Defaults::appSupportPathForFile(QStringLiteral("Themes"));

    pane.startSession();
    EXPECT_EQ(postsDuring([&] { pane.endSession(); }), 0);
    EXPECT_FALSE(QDir(themes).exists());

    // Switching the theme alone posts once.
    pane.startSession();
    const std::shared_ptr<QVTheme> first = pane.currentTheme();
    int other = -1;
    for (int i = 0; i < pane.themeSelector()->count(); ++i)
        if (!pane.themeSelector()->itemText(i).isEmpty() && pane.themeSelector()->itemText(i) != first->title() &&
            pane.themeSelector()->itemData(i).isValid())
            other = i;
    ASSERT_GE(other, 0);
    pane.changeTheme(other);
    EXPECT_NE(pane.currentTheme(), first);
    EXPECT_EQ(repository.currentTheme(), pane.currentTheme());
    EXPECT_EQ(UserDefaults::standard().stringForKey(QString::fromLatin1(QVCurrentThemeID)), pane.currentTheme()->identifier());
    EXPECT_EQ(postsDuring([&] { pane.endSession(); }), 1);

    // The editor: duplicate, then the last theme can never be removed.
    pane.startSession();
    pane.openThemeEditor();
    ASSERT_NE(pane.editThemesPanel(), nullptr);
    const int count = int(repository.countOfThemes());
    pane.themeList()->setCurrentRow(0);
    pane.duplicateTheme();
    EXPECT_EQ(repository.countOfThemes(), count + 1);
    EXPECT_TRUE(repository.themes().last()->title().endsWith(QStringLiteral(" copy")));
    while (repository.countOfThemes() > 1) {
        pane.themeList()->setCurrentRow(0);
        pane.removeTheme();
    }
    pane.themeList()->setCurrentRow(0);
    EXPECT_FALSE(pane.editThemesPanel()->findChild<QPushButton*>(QStringLiteral("removeTheme"))->isEnabled());
    pane.removeTheme();
    EXPECT_EQ(repository.countOfThemes(), 1);
    // Closing the window with the sheet open closes the sheet; the remaining theme is current and
    // the editors hear of it once, after the write.
    pane.currentTheme()->addStyle(QStringLiteral("kept"), {});
    EXPECT_EQ(postsDuring([&] { pane.endSession(); }), 1);
    EXPECT_EQ(pane.editThemesPanel(), nullptr);
    EXPECT_EQ(pane.currentTheme(), repository.currentTheme());
    EXPECT_EQ(pane.themeSelector()->count(), 3);  // the theme, a separator, "Edit Themes"

    // A write that fails is shown, posts nothing, and is tried again at the next close.
    QDir(themes).removeRecursively();
    QFile blocker(themes);
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    pane.startSession();
    pane.currentTheme()->addStyle(QStringLiteral("again"), {});
    EXPECT_EQ(postsDuring([&] { pane.endSession(); }), 0);
    EXPECT_TRUE(pane.hasUnsavedThemes());
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->objectName() == QLatin1String("PrefsError")) widget->close();
    QFile::remove(themes);
    pane.startSession();
    EXPECT_EQ(postsDuring([&] { pane.endSession(); }), 1);
    EXPECT_FALSE(pane.hasUnsavedThemes());
    EXPECT_FALSE(QDir(themes).isEmpty());
}

}  // namespace
