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
    // (null: any object). The handler runs on the thread that posts.
    Token addObserver(const QString& name, const void* object, Handler handler);
    // Stops delivery to the observer; safe from inside a handler and for unknown tokens.
    void removeObserver(Token token);

    void post(const QString& name, const void* object = nullptr, const QVariantMap& userInfo = {});
    void post(const Notification& notification);

private:
    struct Entry {
        QString name;
        const void* object;
        std::shared_ptr<Handler> handler;
    };
    QMutex _lock;
    std::map<Token, Entry> _observers;
    Token _nextToken = 1;
};
