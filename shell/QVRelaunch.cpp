#include "shell/QVRelaunch.h"

#include "platform/AppBundle.h"
#include "platform/SystemLog.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QProcess>

#include <atomic>
#include <unistd.h>

namespace {
std::atomic<bool> requested{false};
}

void QVRelaunch::relaunch(const std::function<bool()>& terminate) {
    SystemLog::notice(QStringLiteral("Path: %1, ProcessID: %2").arg(executablePath()).arg(qint64(::getpid())));
    requested = true;
    const bool quitting = terminate ? terminate() : [] {
        QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
        return true;
    }();
    if (!quitting) requested = false;
}

bool QVRelaunch::isRequested() { return requested; }

void QVRelaunch::cancel() { requested = false; }

bool QVRelaunch::launchIfRequested() {
    if (!requested.exchange(false)) return false;
    const QString helper = AppBundle::main().pathForAuxiliaryExecutable(RelauncherName);
    if (helper.isEmpty()) {
        SystemLog::error(QStringLiteral("Cannot relaunch: the helper %1 is missing").arg(RelauncherName));
        return false;
    }
    if (!QProcess::startDetached(helper, relauncherArguments(::getpid()))) {
        SystemLog::error(QStringLiteral("EXEC FAILED: %1, %2").arg(helper, QStringLiteral("could not start")));
        return false;
    }
    return true;
}

QStringList QVRelaunch::relauncherArguments(qint64 pid) {
    return QStringList{QString::number(pid), executablePath()} + originalArguments();
}

QStringList QVRelaunch::originalArguments() {
    QFile file(QStringLiteral("/proc/self/cmdline"));
    if (!file.open(QIODevice::ReadOnly)) return QCoreApplication::arguments().mid(1);
    QByteArray all = file.readAll();
    if (all.endsWith('\0')) all.chop(1);
    QStringList arguments;
    for (const QByteArray& argument : all.split('\0')) arguments.append(QFile::decodeName(argument));
    return arguments.mid(1);
}

QString QVRelaunch::executablePath() {
    const QString resolved = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    return resolved.isEmpty() ? QCoreApplication::applicationFilePath() : resolved;
}
