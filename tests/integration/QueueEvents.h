// What a site queue told its delegate, one line an event, for the suites that drive a queue on
// its own thread and wait for what it says next.
#pragma once

#include "files/QVRemoteSiteQueue.h"

#include <QFile>
#include <QStringList>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

class QueueEvents : public QVRemoteSiteQueueDelegate {
public:
    std::mutex lock;
    std::condition_variable changed;
    QStringList events;
    QVError lastError;

    void add(const QString& e) {
        std::lock_guard g(lock);
        events << e;
        changed.notify_all();
    }
    // The first event after `from` that starts with one of the prefixes, or nothing in time.
    std::optional<QString> next(const QStringList& prefixes, qsizetype from, std::chrono::milliseconds wait = std::chrono::seconds(60)) {
        std::unique_lock g(lock);
        std::optional<QString> found;
        changed.wait_for(g, wait, [&] {
            for (qsizetype i = from; i < events.size(); ++i)
                for (const QString& p : prefixes)
                    if (events[i].startsWith(p)) return bool(found = events[i]);
            return false;
        });
        return found;
    }
    std::optional<QString> next(const QString& prefix, qsizetype from, std::chrono::milliseconds wait = std::chrono::seconds(60)) {
        return next(QStringList{prefix}, from, wait);
    }
    qsizetype size() {
        std::lock_guard g(lock);
        return events.size();
    }

    void queueOpenedConnection(QVRemoteSiteQueue*) override { add("opened"); }
    void queueUploadedFile(QVRemoteSiteQueue*, const QString&, const QString& remote) override { add("uploaded " + remote); }
    void queueActionFailed(QVRemoteSiteQueue*, QVRemoteFileAction*, const QVError& e) override {
        {
            std::lock_guard g(lock);
            lastError = e;
        }
        add("failed " + e.localizedDescription());
    }
};

inline QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}
