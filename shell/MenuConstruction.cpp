#include "shell/MenuConstruction.h"

#include <QAction>
#include <QKeySequence>
#include <QMenu>
#include <QPixmap>

QList<QAction*> MenuConstruction::menuItemsFromReps(const QList<MenuItemRep>& reps, QObject* parent, const Performer& perform) {
    QList<QAction*> items;
    items.reserve(reps.size());
    for (const MenuItemRep& rep : reps) {
        auto* item = new QAction(parent);
        if (rep.isSeparatorItem()) {
            item->setSeparator(true);
            items.append(item);
            continue;
        }
        item->setText(rep.title());
        const QString key = rep.keyEquivalent();
        if (!key.isEmpty())
            item->setShortcut(QKeySequence(int(rep.keyEquivalentModifierMask()) | QKeySequence(key)[0].key()));
        const QImage image = rep.image();
        if (!image.isNull())
            item->setIcon(QIcon(QPixmap::fromImage(image)));
        item->setData(rep.representedObject());
        // Qt menus have no indentation level; the level stays with the item for whoever draws it.
        item->setProperty("indentation", qMax<qint64>(0, rep.indentation()));
        const QString action = rep.action();
        if (!action.isEmpty()) {
            item->setObjectName(action);
            if (perform)
                QObject::connect(item, &QAction::triggered, item, [perform, action, item] { perform(action, item); });
        }
        const QList<MenuItemRep> submenu = rep.submenuReps();
        if (!submenu.isEmpty()) {
            QMenu* menu = menuWithTitle(rep.title(), submenu, perform);
            QObject::connect(item, &QObject::destroyed, menu, &QObject::deleteLater);
            item->setMenu(menu);
        }
        items.append(item);
    }
    return items;
}

QMenu* MenuConstruction::menuWithTitle(const QString& title, const QList<MenuItemRep>& reps, const Performer& perform) {
    auto* menu = new QMenu(title);
    menu->addActions(menuItemsFromReps(reps, menu, perform));
    return menu;
}
