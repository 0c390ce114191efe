#include "platform/SystemLog.h"

#include <QMutex>

#include <syslog.h>

namespace {
QMutex g_lock;
SystemLog::Sink g_sink;
}  // namespace

void SystemLog::log(int priority, const QString& message) {
    Sink sink;
    {
        QMutexLocker locker(&g_lock);
        sink = g_sink;
    }
    if (sink) {
        sink(priority, message);
        return;
    }
    static const bool opened = [] {
        openlog("Qorvel", LOG_PID, LOG_USER);
        return true;
    }();
    (void)opened;
    syslog(priority, "%s", message.toLocal8Bit().constData());
}

void SystemLog::setSink(Sink sink) {
    QMutexLocker locker(&g_lock);
    g_sink = std::move(sink);
}
