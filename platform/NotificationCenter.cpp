// Named notifications delivered synchronously on the posting thread, with removal that is final.
#include "platform/NotificationCenter.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

// A post copies the matching observers and calls them after dropping the centre's lock, so a
// removal can race a call that is already on its way. Each observer therefore carries an alive
// flag, checked under its own lock just before the call, and the list of threads inside its
// handler right now. Removal clears the flag and then waits until no other thread is inside the
// handler; only calls on the removing thread itself (removal from inside the handler, possibly
// nested) are not waited for, since they are further up its own stack. The lock is never held
// while the handler runs, so handlers of different observers cannot deadlock through it.
struct NotificationCenter::Observer {
    explicit Observer(Handler h) : handler(std::move(h)) {}

    void call(const Notification& notification) {
        const std::thread::id self = std::this_thread::get_id();
        {
            std::lock_guard<std::mutex> locker(lock);
            if (!alive) return;
            inFlight.push_back(self);
        }
        struct Leave {
            Observer* observer;
            std::thread::id self;
            ~Leave() {
                std::lock_guard<std::mutex> locker(observer->lock);
                auto& calls = observer->inFlight;
                calls.erase(std::find(calls.begin(), calls.end(), self));
                observer->idle.notify_all();
            }
        } leave{this, self};
        if (handler) handler(notification);
    }

    void retire() {
        const std::thread::id self = std::this_thread::get_id();
        std::unique_lock<std::mutex> locker(lock);
        alive = false;
        idle.wait(locker, [&] {
            return std::all_of(inFlight.begin(), inFlight.end(),
                               [&](std::thread::id t) { return t == self; });
        });
    }

    const Handler handler;
    std::mutex lock;
    std::condition_variable idle;
    bool alive = true;
    std::vector<std::thread::id> inFlight;  // one element per running call
};

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter center;
    return center;
}

NotificationCenter::Token NotificationCenter::addObserver(const QString& name, const void* object,
                                                          Handler handler) {
    auto observer = std::make_shared<Observer>(std::move(handler));
    QMutexLocker locker(&_lock);
    const Token token = _nextToken++;
    _observers.emplace(token, Entry{name, object, std::move(observer)});
    return token;
}

void NotificationCenter::removeObserver(Token token) {
    std::shared_ptr<Observer> observer;
    {
        QMutexLocker locker(&_lock);
        const auto it = _observers.find(token);
        if (it == _observers.end()) return;
        observer = std::move(it->second.observer);
        _observers.erase(it);
    }
    observer->retire();
}

void NotificationCenter::post(const QString& name, const void* object, const QVariantMap& userInfo) {
    post(Notification{name, object, userInfo});
}

void NotificationCenter::post(const Notification& notification) {
    std::vector<std::shared_ptr<Observer>> targets;
    {
        QMutexLocker locker(&_lock);
        for (const auto& [token, entry] : _observers) {
            if (!entry.name.isEmpty() && entry.name != notification.name) continue;
            if (entry.object && entry.object != notification.object) continue;
            targets.push_back(entry.observer);
        }
    }
    // Tokens grow, so observers are called in the order they were added.
    for (const auto& observer : targets) observer->call(notification);
}
