// Entry point: answers --help and --version on the command line; otherwise hands the files and
// qvdt: addresses to the Qorvel already running for this user and display, or becomes that
// instance: starts the application with the bundle's identity, writes the factory settings, runs
// the start-up items and opens a window for each file named (one untitled window without).
#include "editor/windows/QVSingleFileWindowController.h"
#include "editor/HTMLView.h"
#include "platform/AppBundle.h"
#include "platform/MainQueue.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/QVInstanceChannel.h"
#include "platform/UserDefaults.h"
#include "projects/windows/QVProjectSettingsWindowController.h"
#include "projects/windows/QVRemoteOpenPanelController.h"
#include "shell/Defaults.h"
#include "shell/QVStartupItemsController.h"
#include "shell/QVURLHandlerCommand.h"
#include "shell/app/FileOpener.h"
#include "shell/app/FolderWindow.h"
#include "projects/QVProject.h"
#include "projects/windows/QVProjectDocument.h"
#include "projects/windows/QVProjectManager.h"
#include "projects/windows/QVProjectWindowController.h"
#include "tools/QVEditorSearchScopes.h"
#include "tools/QVMultiFileSearchController.h"
#include "tools/QVSingleFileSearchController.h"
#include "tools/QVTidyRunner.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

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

// The windows of this instance; they stay until the application quits.
std::vector<std::unique_ptr<QMainWindow>>& windows() {
    static std::vector<std::unique_ptr<QMainWindow>> open;
    return open;
}

// The window already showing path (the same file under any spelling), if any.
QVSingleFileWindowController* windowShowing(const QString& path) {
    const QString canonical = QFileInfo(path).canonicalFilePath();
    if (canonical.isEmpty()) return nullptr;
    for (const auto& window : windows())
        if (auto* fileWindow = dynamic_cast<QVSingleFileWindowController*>(window.get()))
            if (QFileInfo(fileWindow->document()->fileName()).canonicalFilePath() == canonical) return fileWindow;
    return nullptr;
}

// Opens one argument: a file or folder (relative to the folder the request came from), a site
// address, or a qvdt: address whose range is selected in the file it names. Answers the window
// that shows it, with the file in front when it has tabs.
QMainWindow* openArgument(const QString& argument, const QString& workingDirectory) {
    if (argument.startsWith(QLatin1String("qvdt:"))) {
        const std::optional<QVURLHandlerCommand::Request> request = QVURLHandlerCommand::parse(argument);
        if (!request || request->file.isEmpty()) return nullptr;
        auto* window = dynamic_cast<QVDocumentWindowController*>(openArgument(request->file, workingDirectory));
        HTMLView* view = window ? window->currentTextView() : nullptr;
        if (view && request->range) {
            const QVRange range = QVURLHandlerCommand::clampedRange(*request->range, view->length());
            view->setSelectedRange(range);
            view->scrollRangeToVisible(range);
        }
        return window;
    }
    if (FolderWindow::isSiteAddress(argument)) {
        windows().push_back(std::make_unique<FolderWindow>(argument));
    } else {
        const QString path = argument.isEmpty() ? argument : QDir(workingDirectory).absoluteFilePath(argument);
        if (!path.isEmpty() && !QFileInfo::exists(path)) {
            // A name that is not there opens nothing; it says so instead of an empty window.
            auto* box = new QMessageBox(QMessageBox::Warning, QVLocalized(QStringLiteral("File not found")),
                                        QVLocalized(QStringLiteral("The file \u201c%1\u201d does not exist.")).arg(path));
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->show();
            return nullptr;
        }
        if (QVSingleFileWindowController* shown = windowShowing(path)) {
            shown->show();
            shown->raise();
            shown->activateWindow();
            return shown;
        }
        // A folder opens as its project, in its project window; a file of an open project as its tab.
        if (QFileInfo(path).isDir()) return FileOpener::open(path);
        if (!path.isEmpty())
            if (QMainWindow* project = QVProjectDocument::openInOpenProject(path, false)) return project;
        if (!path.isEmpty() && UserDefaults::standard().boolForKey(QString::fromLatin1(QVUseTabs))) {
            // With tabs a file opens as a tab (its own window, or the front one's).
            return FileOpener::open(path);
        } else {
            windows().push_back(std::make_unique<QVSingleFileWindowController>(std::make_unique<QVSingleFileDocument>(path)));
        }
    }
    windows().back()->show();
    windows().back()->raise();
    windows().back()->activateWindow();
    return windows().back().get();
}

// Puts New Project and Open Remote Directory at the top of the File menu of every main window
// as it first shows: they belong to the application, not to any one window.
class ProjectCommands : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* window = qobject_cast<QMainWindow*>(watched);
        if (event->type() != QEvent::Show || !window || !window->isWindow() || window->property("qvProjectCommands").toBool())
            return false;
        window->setProperty("qvProjectCommands", true);
        QList<QAction*> menus = window->menuBar()->actions();
        QMenu* file = menus.isEmpty() ? nullptr : menus.first()->menu();
        if (!file || file->title() != QVLocalized(QStringLiteral("File"))) return false;
        QAction* first = file->actions().isEmpty() ? nullptr : file->actions().first();
        auto* newProject = new QAction(QVLocalized(QStringLiteral("New Project\u2026")), file);
        newProject->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_N));
        QObject::connect(newProject, &QAction::triggered, [] { QVProjectSettingsWindowController::showSettings(nullptr); });
        auto* openRemote = new QAction(QVLocalized(QStringLiteral("Open Remote Directory\u2026")), file);
        QObject::connect(openRemote, &QAction::triggered, [] { QVRemoteOpenPanelController::showPanel(); });
        auto* manager = new QAction(QVLocalized(QStringLiteral("Project Manager")), file);
        QObject::connect(manager, &QAction::triggered, [] {
            QVProjectManager* shown = QVProjectManager::sharedInstance();
            shown->show();
            shown->raise();
            shown->activateWindow();
        });
        file->insertAction(first, newProject);
        file->insertAction(first, openRemote);
        file->insertAction(first, manager);
        file->insertSeparator(first);
        return false;
    }
};

}  // namespace

int main(int argc, char** argv) {
    Process::ignoreSigpipe();
    Paths::prepareSessionEnvironment();
    if (asksOnly(argc, argv)) answer(argc, argv);

    QApplication app(argc, argv);
    QVSingleFileSearchController::install();
    QVMultiFileSearchController::install();
    // A chosen match of the multi-file find opens the way every file does.
    QVEditorSearchScopes::setOpener([](const QString& path) {
        return qobject_cast<QVDocumentWindowController*>(openArgument(path, QDir::currentPath()));
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
    // Projects made anywhere are listed from launch on; the manager opens a project the way a
    // folder named on the command line opens.
    QVProjectManager::install();
    QVProjectManager::setOpener([](const QString& path) { openArgument(path, QDir::currentPath()); });
    nameApplication();
    QApplication::setDesktopFileName(AppBundle::main().bundleIdentifier());
    const QStringList arguments = QApplication::arguments().mid(1);

    QVInstanceChannel channel;
    if (channel.claimOrHand(arguments, QDir::currentPath()) == QVInstanceChannel::Role::Handed) return 0;
    QObject::connect(&channel, &QVInstanceChannel::argumentsReceived, [](const QStringList& received, const QString& folder) {
        for (const QString& argument : received) openArgument(argument, folder);
    });

    Defaults::resetDefaults();
    QVProjectSettingsWindowController::install();
    ProjectCommands projectCommands;
    app.installEventFilter(&projectCommands);
    for (const QString& argument : arguments.isEmpty() ? QStringList{QString()} : arguments)
        openArgument(argument, QDir::currentPath());

    // The start-up items run off the main thread; the wizard shows only when a check needs the user.
    std::thread([] {
        if (QVStartupItemsController::sharedController().needsDisplay())
            MainQueue::post([] { QVStartupItemsController::sharedController().showWindow(); });
    }).detach();

    const int status = app.exec();
    windows().clear();
    UserDefaults::standard().synchronize();
    return status;
}
