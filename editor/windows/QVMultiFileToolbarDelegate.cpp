// The tabbed window's toolbar.
#include "editor/windows/QVMultiFileToolbarDelegate.h"

#include "editor/windows/QVMultiFileWindowController.h"
#include "platform/AppBundle.h"

#include <QIcon>
#include <QMenu>
#include <QToolButton>

QVMultiFileToolbarDelegate::QVMultiFileToolbarDelegate(QVMultiFileWindowController* windowController)
    : QVDocumentToolbarDelegate(windowController), _multiFileController(windowController) {
    if (QMenu* menu = openFilesPopUp()->menu())
        connect(menu, &QMenu::aboutToShow, this, [this, menu] { populateOpenFiles(menu); });
}

QVMultiFileToolbarDelegate::~QVMultiFileToolbarDelegate() = default;

QStringList QVMultiFileToolbarDelegate::toolbarAllowedItemIdentifiers() const {
    return {QStringLiteral("save-all"), QStringLiteral("preview"), QStringLiteral("color"), QStringLiteral("quick-search"),
            QStringLiteral("goto-line"), QStringLiteral("code-nav"), QStringLiteral("open-files"), QStringLiteral("prefs"),
            FlexibleSpaceItem, SpaceItem, SeparatorItem};
}

QStringList QVMultiFileToolbarDelegate::toolbarDefaultItemIdentifiers() const {
    return {QStringLiteral("preview"), QStringLiteral("color"), FlexibleSpaceItem, QStringLiteral("quick-search"),
            QStringLiteral("code-nav")};
}

bool QVMultiFileToolbarDelegate::configureItem(QVToolbarItem* item, const QString& identifier) {
    if (identifier == QLatin1String("save-all")) {
        item->setText(QVLocalized(QStringLiteral("Save All")));
        item->setIcon(QIcon::fromTheme(QStringLiteral("document-save-all"), QIcon::fromTheme(QStringLiteral("document-save"))));
        connect(item, &QAction::triggered, _multiFileController, &QVMultiFileWindowController::saveAllFiles);
        return true;
    }
    if (identifier == QLatin1String("open-files")) {
        item->setText(QVLocalized(QStringLiteral("File List")));
        item->setView(openFilesPopUp());
        return true;
    }
    return QVDocumentToolbarDelegate::configureItem(item, identifier);
}

bool QVMultiFileToolbarDelegate::validateToolbarItem(const QVToolbarItem* item) const {
    if (item->itemIdentifier() == QLatin1String("save-all"))
        return _multiFileController && !_multiFileController->editedDocuments().isEmpty();
    return QVDocumentToolbarDelegate::validateToolbarItem(item);
}

void QVMultiFileToolbarDelegate::populateOpenFiles(QMenu* menu) {
    menu->clear();
    if (!_multiFileController) return;
    QMenu* list = _multiFileController->menuForOpenFiles(menu);
    for (QAction* action : list->actions()) {
        action->setParent(menu);
        menu->addAction(action);
    }
    list->deleteLater();
}
