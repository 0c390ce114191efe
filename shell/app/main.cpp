// Entry point: starts the application with the bundle's identity and shows the main window.
#include "platform/AppBundle.h"
#include "platform/Process.h"
#include "platform/UserDefaults.h"
#include "shell/app/MainWindow.h"

#include <QApplication>

int main(int argc, char** argv) {
    Process::ignoreSigpipe();
    QApplication app(argc, argv);
    const AppBundle& bundle = AppBundle::main();
    QApplication::setApplicationName(bundle.bundleName());
    QApplication::setApplicationVersion(bundle.shortVersion());
    QApplication::setOrganizationName(QStringLiteral("Glimbo"));
    QApplication::setDesktopFileName(bundle.bundleIdentifier());

    MainWindow window;
    window.show();
    const int status = app.exec();
    UserDefaults::standard().synchronize();
    return status;
}
