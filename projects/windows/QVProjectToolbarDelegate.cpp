// The project window's toolbar.
#include "projects/windows/QVProjectToolbarDelegate.h"

#include "editor/windows/QVToolbarItem.h"
#include "platform/AppBundle.h"
#include "projects/windows/QVProjectWindowController.h"

#include <QIcon>

QVProjectToolbarDelegate::QVProjectToolbarDelegate(QVProjectWindowController* windowController)
    : QVMultiFileToolbarDelegate(windowController), _projectController(windowController) {}

QStringList QVProjectToolbarDelegate::toolbarAllowedItemIdentifiers() const {
    return {QStringLiteral("refresh"), QStringLiteral("save-all"), QStringLiteral("preview"), QStringLiteral("color"),
            QStringLiteral("cancel"), QStringLiteral("quick-search"), QStringLiteral("goto-line"), QStringLiteral("code-nav"),
            QStringLiteral("open-files"), QStringLiteral("prefs"), FlexibleSpaceItem, SpaceItem, SeparatorItem};
}

QStringList QVProjectToolbarDelegate::toolbarDefaultItemIdentifiers() const {
    return {QStringLiteral("refresh"), QStringLiteral("preview"), QStringLiteral("color"), FlexibleSpaceItem,
            QStringLiteral("quick-search"), QStringLiteral("code-nav")};
}

bool QVProjectToolbarDelegate::configureItem(QVToolbarItem* item, const QString& identifier) {
    if (identifier == QLatin1String("refresh")) {
        item->setText(QVLocalized(QStringLiteral("Refresh Project")));
        item->setIcon(QIcon::fromTheme(QStringLiteral("view-refresh")));
        connect(item, &QAction::triggered, _projectController, &QVProjectWindowController::refreshAll);
        return true;
    }
    if (identifier == QLatin1String("cancel")) {
        item->setText(QVLocalized(QStringLiteral("Cancel")));
        item->setIcon(QIcon::fromTheme(QStringLiteral("process-stop")));
        connect(item, &QAction::triggered, _projectController, &QVProjectWindowController::cancelRemoteOperation);
        return true;
    }
    return QVMultiFileToolbarDelegate::configureItem(item, identifier);
}
