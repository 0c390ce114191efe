// Whether a remote host can be reached now, and news on the main queue when that changes.
//
// A host is reachable when its name resolves (getaddrinfo) and the kernel has a route to one of
// its addresses: a UDP socket connect()ed to the address succeeds (nothing is sent). The routing
// table then tells whether the address is this machine's own (local address) and whether it is
// on a directly connected network (direct). Connection-required and intervention-required are
// never set: nothing here dials on demand.
//
// Observed hosts are re-evaluated on a thread of the controller's own whenever the kernel
// reports a link, address or route change (rtnetlink), and once right after they are added (so
// the observer learns the starting state, as when a name's first resolution finishes).
// Observers hear of a change on the main queue.
#pragma once

#include "platform/QVError.h"
#include "platform/QVNetworkControllerObserver.h"

#include <QHash>
#include <QString>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class QVNetworkController {
public:
    using Selector = QVNetworkControllerObserver::Selector;

    // The shared controller, made on first use from any thread; it lives for the whole run.
    static QVNetworkController& sharedInstance();

    QVNetworkController();
    // Ends every observation (nothing queued is passed on afterwards) and stops the thread.
    ~QVNetworkController();

    // Synchronous test of the (normalized) host; blocks for name resolution. On false, *error
    // (when given) is code 10 of the application's domain naming the normalized host.
    static bool hostIsReachable(const QString& host, QVError* error = nullptr);
    // The flags of a host name as the test computes them; false when the name does not resolve.
    static bool reachabilityFlags(const QString& host, quint32* flags);

    // From now on, the selector hears (on the main queue) the normalized host name and whether
    // it is reachable, once for the starting state and then whenever the flags change. The
    // observer is held weakly and is the key for removeObserver; an object has one observation,
    // so observing another host replaces the earlier one.
    template <class T>
    void addObserver(const std::shared_ptr<T>& observer, const QString& hostName, Selector selector) {
        addObserver(std::weak_ptr<void>(observer), static_cast<const void*>(observer.get()), hostName,
                    std::move(selector));
    }
    void addObserver(std::weak_ptr<void> observer, const void* identity, const QString& hostName, Selector selector);
    // Ends the object's observation; a change already queued for it is not passed on when this
    // runs on the main thread. An object that never registered changes nothing.
    void removeObserver(const void* observer);

    QVNetworkController(const QVNetworkController&) = delete;
    QVNetworkController& operator=(const QVNetworkController&) = delete;

private:
    struct Registration {
        std::shared_ptr<QVNetworkControllerObserver> record;
        bool evaluated = false;
        quint32 flags = 0;
    };

    void startListenerLocked();
    void listen();
    void evaluateObservedHosts();
    void wake();

    std::mutex _lock;  // guards the two fields below
    std::vector<std::shared_ptr<QVNetworkControllerObserver>> _observers;
    QHash<const void*, Registration> _reachabilityRefs;

    std::thread _listener;
    int _wakeFD = -1;
    std::atomic<bool> _die{false};
};
