// Qorvel's side of the launch benchmark, started the way the qorvel executable starts (the one
// instance claimed, the application controller's launch), with one watch added: the first paint
// of an editor's text.
//   qvlaunch open FILE   leaves the moment FILE's text has first been painted (a cold launch)
//   qvlaunch serve       stays as the running instance and prints "painted <ns>" (monotonic
//                        clock) each time the text of a newly opened file is first painted
#include "editor/HTMLView.h"
#include "platform/AppBundle.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/QVInstanceChannel.h"
#include "app/CrashReporting.h"
#include "app/QVDocumentController.h"
#include "tools/QVMultiFileSearchController.h"
#include "tools/QVSingleFileSearchController.h"
#include "tools/QVTidyRunner.h"

#include <QApplication>
#include <QDir>
#include <QSet>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <time.h>

namespace {

class FirstPaints : public QObject {
public:
    explicit FirstPaints(bool leave) : _leave(leave) {}
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Paint) return false;
        auto* widget = qobject_cast<QWidget*>(watched);
        auto* view = widget ? qobject_cast<HTMLView*>(widget->parentWidget()) : nullptr;
        if (!view || widget != view->viewport() || _seen.contains(view)) return false;
        _seen.insert(view);
        const bool leave = _leave;
        QMetaObject::invokeMethod(qApp, [leave] {
            timespec t{};
            clock_gettime(CLOCK_MONOTONIC, &t);
            std::printf("painted %lld\n", (long long)t.tv_sec * 1000000000LL + t.tv_nsec);
            std::fflush(stdout);
            if (leave) std::_Exit(0);
        }, Qt::QueuedConnection);
        return false;
    }

private:
    bool _leave;
    QSet<QObject*> _seen;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || (std::strcmp(argv[1], "open") == 0 && argc < 3)) return 2;
    const bool open = std::strcmp(argv[1], "open") == 0;
    Process::ignoreSigpipe();
    Paths::prepareSessionEnvironment();
    QApplication app(argc, argv);
    QVSingleFileSearchController::install();
    QVMultiFileSearchController::install();
    QVTidyRunner::install();
    installCrashReporting();  // the launch starts crash capture, as qorvel's does
    QCoreApplication::setApplicationName(AppBundle::main().bundleName());
    FirstPaints watch(open);
    app.installEventFilter(&watch);
    const QStringList arguments = open ? QStringList{QString::fromLocal8Bit(argv[2])} : QStringList{};
    QVInstanceChannel channel;
    if (channel.claimOrHand(arguments, QDir::currentPath()) == QVInstanceChannel::Role::Handed) return 3;
    QVDocumentController::setConsentQuestion([] { return false; });
    QVDocumentController controller;
    QObject::connect(&channel, &QVInstanceChannel::argumentsReceived, &controller,
                     [&controller](const QStringList& received, const QString& folder) { controller.openFiles(received, folder); });
    controller.applicationWillFinishLaunching();
    if (open) controller.openFiles(arguments, QDir::currentPath());
    controller.applicationDidFinishLaunching();
    if (!open) {
        std::printf("ready\n");
        std::fflush(stdout);
    }
    return app.exec();
}
