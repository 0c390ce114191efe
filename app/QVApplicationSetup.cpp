// The set-up the qorvel executable runs around its application controller.
#include "app/QVApplicationSetup.h"

#include "app/FileOpener.h"
#include "app/QVDocumentController.h"
#include "editor/windows/QVDocumentWindowController.h"
#include "projects/QVProject.h"
#include "projects/windows/QVProjectDocument.h"
#include "projects/windows/QVProjectManager.h"
#include "projects/windows/QVProjectSettingsWindowController.h"
#include "projects/windows/QVProjectWindowController.h"
#include "projects/windows/QVRemoteOpenPanelController.h"
#include "shell/QVStartupItems.h"
#include "shell/web/QVInfoWindowController.h"
#include "tools/ColorPanel.h"
#include "tools/QVAddSnippetPanelController.h"
#include "tools/QVBrowserRepository.h"
#include "tools/QVEditorSearchScopes.h"
#include "tools/QVMultiFileSearchController.h"
#include "tools/QVPreviewCommands.h"
#include "tools/QVSingleFileSearchController.h"
#include "tools/QVSnippetEditorBar.h"
#include "tools/QVTidyRunner.h"
#include "tools/QVTidyWindowController.h"
#include "tools/QVUserScriptRunner.h"
#include "tools/web/QVIntegratedPreviewController.h"

#include <QDir>

void QVApplicationSetup::installSubsystems() {
    QVSingleFileSearchController::install();
    QVMultiFileSearchController::install();
    // A chosen match of the multi-file find opens the way every file does.
    QVEditorSearchScopes::setOpener([](const QString& path) -> QVDocumentWindowController* {
        QVDocumentController* controller = QVDocumentController::shared();
        return controller ? qobject_cast<QVDocumentWindowController*>(controller->openArgument(path, QDir::currentPath())) : nullptr;
    });
    // The project of a project window: its folder is searched (a remote one's local copies).
    QVEditorSearchScopes::setProjectProvider(
        [](QVDocumentWindowController* window) -> std::optional<QVEditorSearchScopes::Project> {
            const auto* projectWindow = qobject_cast<QVProjectWindowController*>(window);
            if (!projectWindow || !projectWindow->project()) return std::nullopt;
            return QVEditorSearchScopes::Project{projectWindow->project()->rootDirectory(),
                                                 projectWindow->project()->hasRemoteEquivalent()};
        });
    QVTidyRunner::install();
    // Tools > Preview, the documents' preview commands and the built-in preview window.
    QVPreviewCommands::install();
    QVIntegratedPreviewController::install();
    // Projects made anywhere are listed from launch on; the manager opens a project through the
    // open path, as a folder named on the command line opens.
    QVProjectManager::install();
    QVProjectManager::setOpener([](const QString& path) {
        if (QVDocumentController* controller = QVDocumentController::shared()) controller->openArgument(path, QDir::currentPath());
    });
    QVUserScriptRunner::install();
    ColorPanel::install();
    QVAddSnippetPanelController::install();
    QVSnippetEditorBar::install();
}

void QVApplicationSetup::installPanels() {
    // File > New Project… and Open Remote Directory… open the settings window and the
    // open-remote panel; Window > Project Manager the project manager.
    QVProjectSettingsWindowController::install();
    QVDocumentController::setPanel(QStringLiteral("newProject"), [] { QVProjectSettingsWindowController::showSettings(nullptr); });
    QVDocumentController::setPanel(QStringLiteral("openRemoteDirectory"), [] { QVRemoteOpenPanelController::showPanel(); });
    QVDocumentController::setPanel(QStringLiteral("showTidyPanel"), [] { QVTidyWindowController::sharedInstance().showWindow(); });
    QVDocumentController::setPanel(QStringLiteral("insertColor"), [] { ColorPanel::sharedColorPanel()->showPanel(); });
    QVDocumentController::setPanel(QStringLiteral("reloadUserScripts"), [] {
        QVUserScriptRunner::reloadMenu(QVUserScriptRepository::sharedInstance(), QVMainMenuPlaces::menu(QVMainMenuPlaces::UserScripts));
    });
    QVDocumentController::setPanel(QStringLiteral("showProjectManager"), [] {
        QVProjectManager* manager = QVProjectManager::sharedInstance();
        manager->show();
        manager->raise();
        manager->activateWindow();
    });
    // Every open closes the manager first; a path inside an open project goes to that project's
    // window (a file as its tab), and a folder or project file opens as its project.
    QVDocumentController::setPanel(QStringLiteral("closeProjectManager"), [] {
        if (QVProjectManager* manager = QVProjectManager::sharedInstanceIfMade()) manager->close();
    });
    QVDocumentController::setProjects({
        [](const QString& path, bool isFolder) { return QVProjectDocument::openInOpenProject(path, isFolder); },
        [](const QString& folder) { return FileOpener::open(folder); },
    });
    // Help > What Is New (and once per version at launch); the HTML help in the first browser.
    QVDocumentController::setPanel(QStringLiteral("showInfoWindow"), [] {
        QVInfoWindowController& info = QVInfoWindowController::sharedInstance();
        info.show();
        info.raise();
    });
    QVDocumentController::setBrowser([](const QUrl& url) {
        QVBrowserRepository::sharedInstance().reloadList(false);
        if (const auto browser = QVBrowser::defaultBrowser())
            browser->performActionWithObject(url.isLocalFile() ? url.toLocalFile() : url.toString());
    });
}
