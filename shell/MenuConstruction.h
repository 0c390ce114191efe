// Real menus from menu item representations; main thread only.
#pragma once

#include "shell/MenuItemRep.h"

#include <QList>
#include <functional>

class QAction;
class QMenu;
class QObject;

class MenuConstruction {
public:
    MenuConstruction() = delete;

    // Called when an item with an action is chosen: the action's name and the item (its data()
    // is the represented object). Qt has no responder chain, so whoever builds the menu routes it.
    using Performer = std::function<void(const QString& action, QAction* item)>;

    // One action per representation, in order, parented to parent; submenus to any depth.
    static QList<QAction*> menuItemsFromReps(const QList<MenuItemRep>& reps, QObject* parent, const Performer& perform = {});
    static QMenu* menuWithTitle(const QString& title, const QList<MenuItemRep>& reps, const Performer& perform = {});
};
