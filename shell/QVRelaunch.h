// Restarting Qorvel: after a clean quit, the helper program "qorvel-relauncher" waits for this
// process to end and then executes the same program with the same arguments, so the new
// instance finds the single-instance socket free.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class QVRelaunch {
public:
    QVRelaunch() = delete;

    // The helper's name among the auxiliary executables.
    static inline const QString RelauncherName = QStringLiteral("qorvel-relauncher");

    // Asks for a restart: logs "Path: %1, ProcessID: %2", remembers the request and calls
    // terminate (default: quit the event loop). When terminate answers false (the user kept
    // the application running), the request is dropped.
    static void relaunch(const std::function<bool()>& terminate = {});
    static bool isRequested();
    static void cancel();
    // Called once the event loop has ended cleanly: with a request, starts the helper detached
    // and answers whether it started (a failure is logged and nothing else happens).
    static bool launchIfRequested();

    // What the helper is given: the process to wait for, the program this process runs and its
    // own command line (arguments as the process received them, the program name left out).
    static QStringList relauncherArguments(qint64 pid);
    // This process's arguments as the kernel holds them (/proc/self/cmdline), the first one
    // (the program name) left out; blanks and empty arguments are kept.
    static QStringList originalArguments();
    // The program this process runs (/proc/self/exe resolved).
    static QString executablePath();
};
