// Entry point: answers --help and --version on the command line; otherwise hands the files and
// qvdt: addresses to the Qorvel already running for this user and display, or becomes that
// instance and runs the application controller's launch.
#include "editor/windows/QVDocumentWindowController.h"
#include "platform/AppBundle.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/QVInstanceChannel.h"
#include "platform/UserDefaults.h"
#include "platform/web/QVWebView.h"
#include "projects/windows/QVProjectManager.h"
#include "projects/windows/QVProjectSettingsWindowController.h"
#include "projects/QVProject.h"
#include "projects/windows/QVProjectWindowController.h"
#include "shell/QVRelaunch.h"
#include "shell/QVStartupItems.h"
#include "app/QVDocumentController.h"
#include "tools/QVBrowserRepository.h"
#include "tools/QVEditorSearchScopes.h"
#include "tools/QVMultiFileSearchController.h"
#include "tools/QVPreviewCommands.h"
#include "tools/QVSingleFileSearchController.h"
#include "tools/ColorPanel.h"
#include "tools/QVAddSnippetPanelController.h"
#include "tools/QVSnippetEditorBar.h"
#include "tools/QVTidyRunner.h"
#include "tools/web/QVIntegratedPreviewController.h"
#include "tools/QVUserScriptRunner.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

void nameApplication() {
    const AppBundle& bundle = AppBundle::main();
    QCoreApplication::setApplicationName(bundle.bundleName());
    QCoreApplication::setApplicationVersion(bundle.shortVersion());
    QCoreApplication::setOrganizationName(QStringLiteral("Glimbo"));
}

// Whether the command line asks for help or the version: those are answered without a window
// (and without a display), every other argument names a file to open.
bool asksOnly(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        for (const char* flag : {"-h", "--help", "--help-all", "-v", "--version"})
            if (std::strcmp(argv[i], flag) == 0) return true;
    return false;
}

// Prints the help or the version and exits.
[[noreturn]] void answer(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    nameApplication();
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("An editor for web developers."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("files"), QStringLiteral("The files to open, each in its own window."),
                                 QStringLiteral("[files...]"));
    parser.process(app);  // exits after answering
    std::exit(0);
}


// Every subsystem's part in the running application, in launch order: each installs its menu
// items, window commands and services before the application controller builds the menu bar and
// runs the launch. A new subsystem or kit adds its line here.
void installSubsystems() {
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
    // Projects: listed from launch on; the manager opens a project through the open path, as a
    // folder named on the command line opens. File > New Project… opens the settings window.
    QVProjectManager::install();
    QVProjectManager::setOpener([](const QString& path) {
        if (QVDocumentController* controller = QVDocumentController::shared()) controller->openArgument(path, QDir::currentPath());
    });
    QVProjectSettingsWindowController::install();
    // Help > Qorvel Help opens the HTML help in the default browser.
    QVDocumentController::setBrowser([](const QUrl& url) {
        QVBrowserRepository::sharedInstance().reloadList(false);
        if (const auto browser = QVBrowser::defaultBrowser())
            browser->performActionWithObject(url.isLocalFile() ? url.toLocalFile() : url.toString());
    });
}

}  // namespace

int main(int argc, char** argv) {
    Process::ignoreSigpipe();
    Process::ignoreFileSizeSignal();
    Paths::prepareSessionEnvironment();
    if (asksOnly(argc, argv)) answer(argc, argv);
    // A later launch hands its files to the running Qorvel before it makes an application
    // object, so it opens no display connection; arguments Qt would read itself ("-style" and the
    // like) take the long way below.
    QStringList handed;
    for (int i = 1; i < argc; ++i) handed << QString::fromLocal8Bit(argv[i]);
    if (std::none_of(handed.begin(), handed.end(), [](const QString& a) { return a.startsWith(QLatin1Char('-')); }) &&
        QVInstanceChannel::handToRunning(handed, QDir::currentPath()))
        return 0;

    QVWebView::prepareApplication();
    QApplication app(argc, argv);
    nameApplication();
    QApplication::setDesktopFileName(AppBundle::main().bundleIdentifier());
    const QStringList arguments = QApplication::arguments().mid(1);

    QVInstanceChannel channel;
    if (channel.claimOrHand(arguments, QDir::currentPath()) == QVInstanceChannel::Role::Handed) return 0;

    installSubsystems();
    // Class set-up (factory settings), the shared menu bar, then the launch in its order.
    QVDocumentController controller;
    QObject::connect(&channel, &QVInstanceChannel::argumentsReceived, &controller, [&controller](const QStringList& received, const QString& folder) {
        controller.openFiles(received, folder);
    });
    controller.applicationWillFinishLaunching();
    // Without arguments no open-files request comes, so an untitled document opens.
    if (!arguments.isEmpty()) controller.openFiles(arguments, QDir::currentPath());
    controller.applicationDidFinishLaunching();

    const int status = app.exec();
    UserDefaults::standard().synchronize();
    if (status == 0) QVRelaunch::launchIfRequested();
    return status;
}
