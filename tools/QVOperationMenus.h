// Fills a menu with a repository's operations; the menu is always filled on the main thread,
// the caller waiting, while the list may be loaded on any thread.
#pragma once

#include "shell/MenuConstruction.h"
#include "tools/QVOperationRepository.h"

class QMenu;

class QVOperationMenus {
public:
    QVOperationMenus() = delete;

    // Reloads the repository (reading the disk when forced or not yet loaded), then, with a
    // menu, empties it and fills it with the operations' items, at its top or its end as the
    // repository places them.
    static void reload(QVOperationRepository& repository, bool force, QMenu* menu,
                       const MenuConstruction::Performer& perform = {});
    // Removes every item of the menu, last first.
    static void resetMenu(QMenu* menu);
};
