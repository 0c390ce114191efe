// Named notifications with an optional object filter, delivered synchronously on the posting thread.
#pragma once

#include <QMutex>
#include <QString>
#include <QVariantMap>

#include <functional>
#include <map>
#include <memory>

struct Notification {
    QString name;
    const void* object = nullptr;  // identity of the sender, or null
    QVariantMap userInfo;
};

class NotificationCenter {
public:
    using Handler = std::function<void(const Notification&)>;
    using Token = quint64;

    static NotificationCenter& defaultCenter();

    // Observes notifications of a name (empty: every name) whose object is the given one
    // (null: any object). The handler runs on the thread that posts, outside every lock of the
    // centre, so it may add or remove observers and post. An observer added during a post is
    // not called by that post.
    Token addObserver(const QString& name, const void* object, Handler handler);
    // Stops delivery to the observer; safe from inside a handler and for unknown tokens.
    // Once it returns the handler is never called again: calls of it in flight on other threads
    // are waited for (so do not remove an observer while holding a lock its handler takes);
    // a call in flight on the calling thread (removal from inside the handler) runs to its end.
    void removeObserver(Token token);

    void post(const QString& name, const void* object = nullptr, const QVariantMap& userInfo = {});
    void post(const Notification& notification);

private:
    // The handler with its liveness and in-flight calls; shared with posts that took a snapshot.
    struct Observer;
    struct Entry {
        QString name;
        const void* object;
        std::shared_ptr<Observer> observer;
    };
    QMutex _lock;
    std::map<Token, Entry> _observers;
    Token _nextToken = 1;
};
