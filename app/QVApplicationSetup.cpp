// The set-up the qorvel executable runs before its application controller.
#include "app/QVApplicationSetup.h"

#include "app/CrashReporting.h"
#include "app/QVDocumentController.h"
#include "app/UsageAnalytics.h"
#include "kits/tidings/Tidings.h"
#include "editor/windows/QVDocumentWindowController.h"
#include "projects/QVProject.h"
#include "projects/windows/QVProjectManager.h"
#include "projects/windows/QVProjectSettingsWindowController.h"
#include "projects/windows/QVProjectWindowController.h"
#include "preferences/QVPreferences.h"
#include "scm/QVSubversionMenu.h"
#include "shell/web/QVHelpWindowController.h"
#include "tools/ColorPanel.h"
#include "tools/QVAddSnippetPanelController.h"
#include "tools/QVBrowserRepository.h"
#include "tools/QVEditorSearchScopes.h"
#include "tools/QVMultiFileSearchController.h"
#include "tools/QVPreviewCommands.h"
#include "tools/QVSingleFileSearchController.h"
#include "tools/QVSnippetEditorBar.h"
#include "tools/QVTidyRunner.h"
#include "tools/QVUserScriptRunner.h"
#include "tools/web/QVIntegratedPreviewController.h"

#include <QDir>

void QVApplicationSetup::installSubsystems() {
    // The analytics kit joins the kits' registry; the kits' core starts it with the crash kit.
    Tidings::registerKit();
    // Find: the find panel and the multi-file find, which opens a chosen match the way every
    // file opens and searches the front project window's folder (a remote one's local copies).
    QVSingleFileSearchController::install();
    QVMultiFileSearchController::install();
    QVEditorSearchScopes::setOpener([](const QString& path) -> QVDocumentWindowController* {
        QVDocumentController* controller = QVDocumentController::shared();
        return controller ? qobject_cast<QVDocumentWindowController*>(controller->openArgument(path, QDir::currentPath())) : nullptr;
    });
    QVEditorSearchScopes::setProjectProvider(
        [](QVDocumentWindowController* window) -> std::optional<QVEditorSearchScopes::Project> {
            const auto* projectWindow = qobject_cast<QVProjectWindowController*>(window);
            if (!projectWindow || !projectWindow->project()) return std::nullopt;
            return QVEditorSearchScopes::Project{projectWindow->project()->rootDirectory(),
                                                 projectWindow->project()->hasRemoteEquivalent()};
        });
    // Editing tools: Tidy, preview (the browsers and the built-in window), user scripts, the
    // colour panel, snippets.
    QVTidyRunner::install();
    QVPreviewCommands::install();
    QVIntegratedPreviewController::install();
    QVUserScriptRunner::install();
    ColorPanel::install();
    QVAddSnippetPanelController::install();
    QVSnippetEditorBar::install();
    // Edit > Preferences… and the unknown-file-type sheet's files pane.
    QVPreferences::install();
    // Projects: listed from launch on; the manager opens a project through the open path, as a
    // folder named on the command line opens. File > New Project… opens the settings window.
    QVProjectManager::install();
    QVProjectManager::setOpener([](const QString& path) {
        if (QVDocumentController* controller = QVDocumentController::shared()) controller->openArgument(path, QDir::currentPath());
    });
    QVProjectSettingsWindowController::install();
    // Subversion: a project inside a working copy gets its controller; File > Subversion runs the
    // commands on the front document; annotations and differences open as documents named by
    // what they show.
    QVSubversionMenu::install([](const QString& title, const QString& text) {
        if (QVDocumentController* controller = QVDocumentController::shared()) controller->openResultDocument(title, text);
    });
    // Usage analytics and the launch counter, sent only with consent and a configured address.
    installUsageAnalytics();
    // Crash reporting: capture runs from launch whatever the consent; reports of earlier runs are
    // sent only with consent and a configured endpoint, else they are packaged and wait.
    installCrashReporting();
    // Help > Qorvel Help opens the HTML help in the default browser when that is one of the
    // desktop's; else in a Help window of its own, never over the page in the Preview window.
    QVDocumentController::setBrowser([](const QUrl& url) {
        QVBrowserRepository::sharedInstance().reloadList(false);
        const auto browser = QVBrowser::defaultBrowser();
        if (browser && !browser->isBuiltIn() && !browser->fansOut())
            browser->performActionWithObject(url.isLocalFile() ? url.toLocalFile() : url.toString());
        else
            QVHelpWindowController::sharedInstance().showPage(url);
    });
}
