// Entry point: answers --help and --version on the command line; otherwise starts the application
// with the bundle's identity, writes the factory settings and opens a window for each file named
// on the command line (one untitled window without).
#include "editor/windows/QVSingleFileWindowController.h"
#include "platform/AppBundle.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"
#include "shell/app/FolderWindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>

#include <cstdlib>
#include <cstring>
#include <memory>
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

}  // namespace

int main(int argc, char** argv) {
    Process::ignoreSigpipe();
    Paths::prepareSessionEnvironment();
    if (asksOnly(argc, argv)) answer(argc, argv);

    QApplication app(argc, argv);
    nameApplication();
    QApplication::setDesktopFileName(AppBundle::main().bundleIdentifier());
    Defaults::resetDefaults();

    std::vector<std::unique_ptr<QMainWindow>> windows;
    QStringList paths = QApplication::arguments().mid(1);
    if (paths.isEmpty()) paths << QString();
    for (const QString& path : paths) {
        // A folder or a site address opens as a file tree until projects arrive.
        if (!path.isEmpty() && (QFileInfo(path).isDir() || FolderWindow::isSiteAddress(path))) windows.push_back(std::make_unique<FolderWindow>(path));
        else windows.push_back(std::make_unique<QVSingleFileWindowController>(std::make_unique<QVSingleFileDocument>(path)));
        windows.back()->show();
    }
    const int status = app.exec();
    windows.clear();
    UserDefaults::standard().synchronize();
    return status;
}
