// One observation of a host's reachability: who to call, with what, and the host name rules.
#pragma once

#include <QString>
#include <QtGlobal>

#include <atomic>
#include <functional>
#include <memory>

// Reachability flag bits, with fixed values that callers store and compare.
inline constexpr quint32 QVReachabilityReachable = 0x2;
inline constexpr quint32 QVReachabilityConnectionRequired = 0x4;    // never set here
inline constexpr quint32 QVReachabilityInterventionRequired = 0x10;  // never set here
inline constexpr quint32 QVReachabilityIsLocalAddress = 0x10000;    // the address is this machine's
inline constexpr quint32 QVReachabilityIsDirect = 0x20000;          // on a directly connected network

class QVNetworkControllerObserver {
public:
    // Called with the normalized host name and whether it can be reached now.
    using Selector = std::function<void(const QString& hostName, bool reachable)>;

    // The observer is held weakly; identity is the key it is removed by.
    QVNetworkControllerObserver(std::weak_ptr<void> observer, const void* identity, Selector selector,
                                const QString& hostName);

    // Drops a leading scheme ("ftp://", "sftp:") and everything from the first "/" after it.
    // A host with a port ("localhost:2121", "user@host:21", "[::1]:21") and a bare IPv6 address
    // ("fe80::1") come back unchanged: their colon does not start a scheme.
    static QString normalizedHostName(const QString& text);
    // The part of a normalized host name that is resolved: no user, no port, no brackets.
    static QString addressPart(const QString& normalizedHostName);
    // Reachable when the local-address or direct bit is set, or when of reachable,
    // connection-required and intervention-required exactly the reachable bit is set.
    static bool flagsIndicateReachability(quint32 flags);

    const void* observer() const { return _identity; }
    const QString& hostName() const { return _hostName; }

    // Sends the selector the host name and the reachability the flags mean, unless the
    // observer is gone or the observation was ended. Called on the main thread.
    void reachabilityChangedWithFlags(quint32 flags);
    // Ends the observation: later changes, also those already queued, are not passed on.
    void invalidate() { _valid = false; }

private:
    std::weak_ptr<void> _observer;
    const void* _identity;
    Selector _selector;
    QString _hostName;
    std::atomic<bool> _valid{true};
};
