// Menus from plain item descriptions: what each description becomes, submenus, image precedence,
// routing of the chosen item, and a description built on another thread.
#include "shell/MenuConstruction.h"

#include "shell/WorkspaceUtilities.h"

#include <QAction>
#include <QMenu>

#include <gtest/gtest.h>

#include <algorithm>
#include <future>

namespace {

QImage filled(Qt::GlobalColor colour) {
    QImage image(16, 16, QImage::Format_ARGB32);
    image.fill(colour);
    return image;
}

TEST(MenuConstruction, ItemsFromRepresentations) {
    MenuItemRep plain = MenuItemRep::withTitle(QStringLiteral("Save"), QStringLiteral("saveDocument:"), QStringLiteral("s"));
    MenuItemRep withMask = plain;
    withMask.setKeyEquivalentModifierMask(Qt::ControlModifier | Qt::ShiftModifier);
    MenuItemRep separator = MenuItemRep::separatorItem();
    separator.setTitle(QStringLiteral("still a separator"));
    MenuItemRep emptySubmenu = MenuItemRep::withTitle(QStringLiteral("Empty"));
    emptySubmenu.setSubmenuReps({});
    MenuItemRep nested = MenuItemRep::withTitle(QStringLiteral("Outer"));
    MenuItemRep inner = MenuItemRep::withTitle(QStringLiteral("Inner"));
    inner.setSubmenuReps({MenuItemRep::withTitle(QStringLiteral("Deepest"), QStringLiteral("pick:"))});
    nested.setSubmenuReps({inner, MenuItemRep::separatorItem()});
    MenuItemRep indented = MenuItemRep::withTitle(QString());
    indented.setIndentation(3);
    indented.setRepresentedObject(QStringLiteral("payload"));

    QObject owner;
    const QList<QAction*> items = MenuConstruction::menuItemsFromReps({plain, withMask, separator, emptySubmenu, nested, indented}, &owner);
    ASSERT_EQ(items.size(), 6);
    EXPECT_EQ(items[0]->text(), QStringLiteral("Save"));
    EXPECT_EQ(items[0]->objectName(), QStringLiteral("saveDocument:"));
    EXPECT_EQ(items[0]->shortcut(), QKeySequence(Qt::Key_S)) << "no mask means no modifier keys";
    EXPECT_EQ(items[1]->shortcut(), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
    EXPECT_TRUE(items[2]->isSeparator());
    EXPECT_EQ(items[3]->menu(), nullptr) << "an empty submenu array makes no submenu";
    ASSERT_NE(items[4]->menu(), nullptr);
    const QList<QAction*> level1 = items[4]->menu()->actions();
    ASSERT_EQ(level1.size(), 2);
    EXPECT_TRUE(level1[1]->isSeparator());
    ASSERT_NE(level1[0]->menu(), nullptr);
    EXPECT_EQ(level1[0]->menu()->title(), QStringLiteral("Inner"));
    EXPECT_EQ(level1[0]->menu()->actions().value(0)->text(), QStringLiteral("Deepest"));
    EXPECT_EQ(items[5]->text(), QString());
    EXPECT_EQ(items[5]->data(), QVariant(QStringLiteral("payload")));
    EXPECT_EQ(items[5]->property("indentation").toLongLong(), 3);
    EXPECT_TRUE(MenuConstruction::menuItemsFromReps({}, &owner).isEmpty());

    // The chosen item reaches the performer with its action name, also from a submenu.
    QStringList performed;
    std::unique_ptr<QMenu> menu(MenuConstruction::menuWithTitle(QStringLiteral("Top"), {plain, nested},
        [&](const QString& action, QAction* item) { performed << action + QLatin1Char('/') + item->text(); }));
    menu->actions()[0]->trigger();
    menu->actions()[1]->menu()->actions()[0]->menu()->actions()[0]->trigger();
    EXPECT_EQ(performed, (QStringList{QStringLiteral("saveDocument:/Save"), QStringLiteral("pick:/Deepest")}));
}

TEST(MenuConstruction, ImagePrecedenceAndSorting) {
    const QImage red = filled(Qt::red);
    const QImage file = WorkspaceUtilities::fileIconOfSize(QSize(16, 16));
    const QImage folder = WorkspaceUtilities::folderIconOfSize(QSize(16, 16));
    struct Case { bool image, isFile, isFolder, iconPath; QImage expected; };
    const Case cases[] = {
        {true, true, true, true, red},
        {false, true, true, true, file},
        {false, false, true, true, folder},
        {false, false, false, false, QImage()},
    };
    for (const Case& c : cases) {
        MenuItemRep rep = MenuItemRep::withTitle(QStringLiteral("x"));
        if (c.image) rep.setImage(red);
        if (c.isFile) rep.setImageIsFile(true);
        if (c.isFolder) rep.setImageIsFolder(true);
        if (c.iconPath) rep.setIconPath(QStringLiteral("/etc/hostname"));
        EXPECT_EQ(rep.image(), c.expected);
    }
    MenuItemRep byPath;
    byPath.setIconPath(QStringLiteral("/etc/hostname"));
    EXPECT_EQ(byPath.image().size(), QSize(16, 16));

    // Built on a worker thread, turned into actions here.
    QList<MenuItemRep> reps = std::async(std::launch::async, [] {
        QList<MenuItemRep> built;
        for (const char* title : {"banana", "Cherry", "apple", "Banana2"})
            built.append(MenuItemRep::withTitle(QString::fromLatin1(title), QStringLiteral("choose:")));
        return built;
    }).get();
    std::stable_sort(reps.begin(), reps.end(), MenuItemRep::titleLessThan);
    QStringList titles;
    for (const MenuItemRep& rep : reps)
        titles << rep.title();
    EXPECT_EQ(titles, (QStringList{"apple", "banana", "Banana2", "Cherry"}));
}

} // namespace
