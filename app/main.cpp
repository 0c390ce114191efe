// Entry point: answers --help and --version on the command line; otherwise hands the files and
// qvdt: addresses to the Qorvel already running for this user and display, or becomes that
// instance and runs the application controller's launch.
#include "app/QVApplicationSetup.h"
#include "app/QVDocumentController.h"
#include "editor/QVRecoveryFolder.h"
#include "platform/AppBundle.h"
#include "platform/FileName.h"
#include "platform/OwnFiles.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/QVInstanceChannel.h"
#include "platform/UserDefaults.h"
#include "scm/QVSCMInterface.h"
#include "shell/QVRelaunch.h"

#include <QApplication>
#include <QCommandLineParser>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
// In a build with AddressSanitizer, crash capture still owns the fault signals: the runtime would
// otherwise take a SIGSEGV first and end the process before the crash is recorded. Mismatched
// deletes are not reported: Qt WebEngine's Chromium, loaded with the first page, frees objects
// through pointers to other types of its own, which no suppression file can name, and the
// runtime's abort at a quit would be recorded as a crash, to be reported at the next launch.
extern "C" const char* __asan_default_options() {
    return "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:new_delete_type_mismatch=0";
}
#endif
#endif

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
    parser.addPositionalArgument(QStringLiteral("files"),
                                 QStringLiteral("The files and folders to open, in a Qorvel already running if there is one. A "
                                                "folder opens as a project, a file of an open project as a tab of its window, "
                                                "any other file in a tabbed window of its own (in a plain window when Single "
                                                "Window Mode, in the toolbar's Preferences menu, is off)."),
                                 QStringLiteral("[files...]"));
    parser.process(app);  // exits after answering
    std::exit(0);
}

// The command line's arguments after the program name, each kept as the bytes it is.
QStringList fileArguments(int argc, char** argv) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i) arguments << FileName::decode(argv[i]);
    return arguments;
}

}  // namespace

int main(int argc, char** argv) {
    Process::ignoreSigpipe();
    Process::ignoreFileSizeSignal();
    Paths::prepareSessionEnvironment();
    if (asksOnly(argc, argv)) answer(argc, argv);
    // A later launch hands its files to the running Qorvel before it makes an application
    // object, so it opens no display connection; arguments Qt would read itself ("-style" and the
    // like) take the long way below. Names travel in FileName's form, so a name that is not
    // UTF-8 still addresses its file; the working folder, too, may be any bytes.
    const QString workingFolder = FileName::currentFolder();
    if (std::none_of(argv + 1, argv + argc, [](const char* a) { return a[0] == '-'; }) &&
        QVInstanceChannel::handToRunning(fileArguments(argc, argv), workingFolder))
        return 0;

    QApplication app(argc, argv);
    nameApplication();
    QApplication::setDesktopFileName(AppBundle::main().bundleIdentifier());
    // Qt has taken out the options it read; QApplication::arguments() would have lost the bytes.
    const QStringList arguments = fileArguments(argc, argv);

    QVInstanceChannel channel;
    if (channel.claimOrHand(arguments, workingFolder) == QVInstanceChannel::Role::Handed) return 0;

    QVApplicationSetup::installSubsystems();
    // Before any project lists its files: a copy a killed run left beside a page goes.
    OwnFiles::removeLeftovers();
    // Class set-up (factory settings), the shared menu bar, then the launch in its order.
    QVDocumentController controller;
    QObject::connect(&channel, &QVInstanceChannel::argumentsReceived, &controller, [&controller](const QStringList& received, const QString& folder) {
        controller.openFiles(received, folder);
    });
    controller.applicationWillFinishLaunching();
    // Without arguments no open-files request comes, so an untitled document opens.
    if (!arguments.isEmpty()) controller.openFiles(arguments, workingFolder);
    controller.applicationDidFinishLaunching();

    // A logout's SIGTERM, a closed terminal's SIGHUP and Ctrl+C's SIGINT are a quit that cannot
    // ask: the unsaved texts are kept at once for the next launch to offer, and Subversion's
    // writes get a few seconds to end, or are stopped and cleaned up after, so the working copy
    // stays usable. Texts that cannot be kept keep Qorvel open, the window saying why; a second
    // signal ends it.
    QVSCMInterface::quitOnTerminationSignal([] { QCoreApplication::exit(0); }, [] { return QVRecoveryFolder::shared().keepForNextLaunch(); });
    const int status = app.exec();
    QVRecoveryFolder::shared().finish();
    OwnFiles::finish();
    UserDefaults::standard().synchronize();
    if (status == 0) QVRelaunch::launchIfRequested();
    return status;
}
