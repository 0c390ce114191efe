// Entry point: starts the application with the bundle's identity, writes the factory settings
// and opens a window for each file named on the command line (one untitled window without).
#include "platform/AppBundle.h"
#include "platform/Process.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"
#include "shell/app/MainWindow.h"

#include <QApplication>

#include <memory>
#include <vector>

int main(int argc, char** argv) {
    Process::ignoreSigpipe();
    QApplication app(argc, argv);
    const AppBundle& bundle = AppBundle::main();
    QApplication::setApplicationName(bundle.bundleName());
    QApplication::setApplicationVersion(bundle.shortVersion());
    QApplication::setOrganizationName(QStringLiteral("Glimbo"));
    QApplication::setDesktopFileName(bundle.bundleIdentifier());
    Defaults::resetDefaults();

    std::vector<std::unique_ptr<MainWindow>> windows;
    QStringList paths = QApplication::arguments().mid(1);
    if (paths.isEmpty()) paths << QString();
    for (const QString& path : paths) {
        windows.push_back(std::make_unique<MainWindow>(path));
        windows.back()->show();
    }
    const int status = app.exec();
    windows.clear();
    UserDefaults::standard().synchronize();
    return status;
}
