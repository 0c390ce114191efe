#include "tools/QVOperationMenus.h"

#include "platform/MainQueue.h"

#include <QAction>
#include <QMenu>
#include <QPointer>

void QVOperationMenus::resetMenu(QMenu* menu) {
    const QList<QAction*> actions = menu->actions();
    for (qsizetype i = actions.size() - 1; i >= 0; --i) {
        menu->removeAction(actions[i]);
        if (actions[i]->parent() == menu) actions[i]->deleteLater();
    }
}

void QVOperationMenus::reload(QVOperationRepository& repository, bool force, QMenu* menu,
                              const MenuConstruction::Performer& perform) {
    repository.reload(force);
    if (!menu) return;
    const QList<MenuItemRep> reps = repository.menuItemRepresentations();
    const bool atBeginning = repository.addsItemsAtBeginning();
    QPointer<QMenu> target(menu);
    MainQueue::postAndWait([&] {
        if (!target) return;
        resetMenu(target);
        const QList<QAction*> items = MenuConstruction::menuItemsFromReps(reps, target, perform);
        QAction* before = atBeginning && !target->actions().isEmpty() ? target->actions().first() : nullptr;
        for (QAction* item : items) target->insertAction(before, item);
    });
}
