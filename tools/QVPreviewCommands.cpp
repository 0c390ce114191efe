#include "tools/QVPreviewCommands.h"

#include "editor/HTMLView.h"
#include "editor/QVEditorToolSeams.h"
#include "editor/QVFileDocument.h"
#include "editor/QVFileDocumentDelegate.h"
#include "editor/windows/QVDocumentWindowController.h"
#include "files/QVFile.h"
#include "platform/AppBundle.h"
#include "platform/MainQueue.h"
#include "platform/QVUndoManager.h"
#include "shell/MenuConstruction.h"
#include "shell/QVMainMenu.h"
#include "shell/QVStartupItems.h"
#include "shell/QVStartupItemsController.h"
#include "shell/URLStringAdditions.h"
#include "tools/QVBrowserRepository.h"
#include "tools/QVOperationMenus.h"
#include "tools/QVRemotePreviewController.h"

#include <QAction>
#include <QApplication>
#include <QFileInfo>
#include <QMenu>
#include <QPointer>
#include <QUrl>

#include <utility>

namespace {

void present(QVFileDocument& document, const QVError& error) {
    if (const auto delegate = document.delegate()) delegate->presentErrorAlert(error);
}

}  // namespace

void QVPreviewCommands::install() {
    static bool installed = false;
    if (std::exchange(installed, true)) return;
    QVEditorToolSeams::setDocumentCommands(&QVPreviewCommands::perform);
    QVStartupItemsController::registerReloadItem(QStringLiteral("QVSetupBrowserMenu"), [] { reload(false); });
    // Tools > Preview in every window. The start-up item fills it at launch; opened before
    // that, it reads the list itself.
    if (QMenu* preview = QVMainMenu::shared().addMenu(QVMainMenuPlace::ToolsMain, QVLocalized(QStringLiteral("Preview")), PreviewMenuPlace))
        QObject::connect(preview, &QMenu::aboutToShow, preview, [preview] {
            if (QVBrowserRepository::sharedInstance().reloadList(false)) fillMenu(preview);
        });
    // A page served by the project's site: under the stored address, or asking for one.
    for (const auto& [title, action] : {std::pair{"Remote Preview", "remotePreviewUsingCurrent"},
                                        std::pair{"Remote Preview With Other Address\u2026", "remotePreviewUsingOther"}}) {
        auto* item = new QAction(QVLocalized(QString::fromUtf8(title)));
        item->setObjectName(QString::fromLatin1(action));
        QObject::connect(item, &QAction::triggered, item, [name = QString::fromLatin1(action)] { QVMainMenu::shared().perform(name); });
        QVMainMenu::shared().addAction(QVMainMenuPlace::ToolsMain, item);
    }
}

bool QVPreviewCommands::perform(QVFileDocument& document, QByteArrayView action, const QVariant& object) {
    const auto browser = object.value<std::shared_ptr<QVBrowser>>();
    if (action == "previewInBrowser") previewInBrowser(document, browser);
    else if (action == "remotePreviewUsingCurrent") remotePreviewUsingCurrent(document, browser);
    else if (action == "remotePreviewUsingOther") remotePreviewUsingOther(document);
    else return false;
    return true;
}

void QVPreviewCommands::previewInBrowser(QVFileDocument& document, std::shared_ptr<QVBrowser> browser) {
    if (document.fileName().isEmpty()) {
        document.runSaveAs();
        return;
    }
    if (!QFileInfo(document.fileName()).suffix().startsWith(QLatin1String("htm"), Qt::CaseInsensitive)) {
        remotePreviewUsingCurrent(document, std::move(browser));
        return;
    }
    // Typing still being gathered into one undo step is an edit too.
    if (QVUndoManager* undo = document.undoManager(); undo && undo->isEventGroupOpen()) undo->closeEventGroup();
    if (document.isDocumentEdited()) {
        QVError error, warning;
        // What is previewed is the file: a save that failed would show a page the user did not write.
        if (!document.save(&error, &warning)) {
            present(document, error);
            return;
        }
    }
    if (!browser) {
        QVBrowserRepository::sharedInstance().reloadList(false);
        browser = QVBrowser::defaultBrowser();
    }
    attemptPreview(document, document.fileName(), browser);
}

void QVPreviewCommands::remotePreviewUsingCurrent(QVFileDocument& document, std::shared_ptr<QVBrowser> browser) {
    const QString prefix = document.configurationValueForKey(RemotePreviewURLKey).toString();
    if (!browser) {
        const QString name = document.configurationValueForKey(RemotePreviewBrowserNameKey).toString();
        if (!name.isEmpty()) browser = QVBrowserRepository::sharedInstance().browserWithName(name);
    }
    if (!prefix.isEmpty() && browser) remotePreviewDidClose(document, prefix, browser);
    else remotePreviewUsingOther(document);
}

void QVPreviewCommands::remotePreviewUsingOther(QVFileDocument& document) {
    QWidget* window = document.textView() ? document.textView()->window() : nullptr;
    auto* sheet = new QVRemotePreviewController(window);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    // The document may close while the sheet is up: the answer then goes nowhere.
    QPointer<HTMLView> view(document.textView());
    QVFileDocument* asking = &document;
    sheet->displayOnWindow(window, [sheet, view, asking](const QString& prefix, const std::shared_ptr<QVBrowser>& browser) {
        sheet->deleteLater();
        if (view) remotePreviewDidClose(*asking, prefix, browser);
    }, document.configurationValueForKey(RemotePreviewURLKey).toString());
}

void QVPreviewCommands::remotePreviewDidClose(QVFileDocument& document, const QString& prefix, const std::shared_ptr<QVBrowser>& browser) {
    if (prefix.isEmpty() || !browser) return;
    attemptPreview(document, remoteAddress(prefix, document), browser);
    document.setConfigurationValue(prefix, RemotePreviewURLKey);
    document.setConfigurationValue(browser->browserName(), RemotePreviewBrowserNameKey);
}

QString QVPreviewCommands::remoteAddress(const QString& prefix, const QVFileDocument& document) {
    const std::shared_ptr<QVFile> node = document.fileNode();
    QString path = node ? node->pathFromRoot() : QString();
    if (path.isEmpty()) path = QFileInfo(document.fileName()).fileName();
    QStringList components;
    for (const QString& component : path.split(QLatin1Char('/'), Qt::SkipEmptyParts))
        components.append(QString::fromLatin1(QUrl::toPercentEncoding(component)));
    return URLStringAdditions::urlStringByAppendingPathComponent(prefix, components.join(QLatin1Char('/')));
}

bool QVPreviewCommands::attemptPreview(QVFileDocument& document, const QString& target, const std::shared_ptr<QVBrowser>& browser) {
    if (!browser) return false;
    if (browser->browserPath().startsWith(QLatin1Char('/')) && !QFileInfo::exists(browser->browserPath())) {
        const QString name = browser->browserName().isEmpty() ? QVLocalized(QStringLiteral("Unknown")) : browser->browserName();
        present(document, QVError::app(BrowserNotFoundError, QVLocalized(QStringLiteral("Browser Not Found")),
                                       QVLocalized(QStringLiteral("The browser \"%1\" could not be found.")).arg(name)));
        return false;
    }
    // A browser whose entry is refused (or whose program does not start) is named in the window,
    // not only in the log: the page went to the desktop's default browser instead.
    if (const QStringList refused = browser->open(target); !refused.isEmpty())
        present(document, QVError::app(BrowserNotUsedError,
                                       refused.size() == 1 ? QVLocalized(QStringLiteral("A Browser Was Not Used"))
                                                           : QVLocalized(QStringLiteral("Browsers Were Not Used")),
                                       refused.join(QLatin1Char('\n')) + QLatin1Char('\n') +
                                           QVLocalized(QStringLiteral("The page opened in the desktop\u2019s default browser instead."))));
    return true;
}

void QVPreviewCommands::reload(bool force) {
    QVBrowserRepository::sharedInstance().reloadList(force);
    MainQueue::postAndWait([] {
        if (QMenu* menu = QVMainMenuPlaces::menu(PreviewMenuPlace)) fillMenu(menu);
    });
}

void QVPreviewCommands::fillMenu(QMenu* menu) {
    if (!menu) return;
    QVOperationMenus::resetMenu(menu);
    const QList<QAction*> items = MenuConstruction::menuItemsFromReps(
        QVBrowserRepository::sharedInstance().browserMenuItems(), menu, [](const QString&, QAction* item) {
            QVMainMenu::shared().perform(QStringLiteral("previewInBrowser"), item->data());
        });
    menu->addActions(items);
    // Only the main menu's submenu answers the key; a pop-up filled from the list does not.
    const bool submenu = menu == QVMainMenuPlaces::menu(PreviewMenuPlace) || !menu->menuAction()->associatedObjects().isEmpty();
    if (!items.isEmpty() && submenu)
        items.first()->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Equal));
}
