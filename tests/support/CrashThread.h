// Ends the test's process as a fault on one of its threads would, for tests that count what a
// crash leaves behind for the next launch.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <csignal>

#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

// Aborts the process on the first of its threads named name (the name Threads::start gave it):
// SIGABRT, which a sanitizer's runtime leaves to end the process, with no core file written.
// Returns only when no thread has that name.
inline void abortOnThreadNamed(const QByteArray& name) {
    for (const QString& task : QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(QStringLiteral("/proc/self/task/%1/comm").arg(task));
        if (!comm.open(QIODevice::ReadOnly) || comm.readAll().trimmed() != name) continue;
        ::prctl(PR_SET_DUMPABLE, 0);
        ::signal(SIGABRT, SIG_DFL);
        ::syscall(SYS_tgkill, ::getpid(), task.toInt(), SIGABRT);
        for (;;) ::pause();
    }
}
