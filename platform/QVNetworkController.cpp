// Reachability by name resolution and route probes; an rtnetlink listener re-tests observed hosts.
#include "platform/QVNetworkController.h"
#include "platform/Threads.h"

#include "platform/AppBundle.h"
#include "platform/MainQueue.h"
#include "platform/SystemLog.h"

#include <QSet>

#include <cerrno>
#include <chrono>
#include <cstring>

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

// After a change arrives, wait this long for the burst to end (a link going down removes its
// addresses and routes one message at a time), but never longer than kSettleLimit in all.
constexpr int kSettleQuietMilliseconds = 150;
constexpr int kSettleLimitMilliseconds = 1000;

class Descriptor {
public:
    explicit Descriptor(int fd) : _fd(fd) {}
    ~Descriptor() {
        if (_fd >= 0) ::close(_fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return _fd; }

private:
    int _fd;
};

struct Route {
    bool found = false;
    bool local = false;   // the address is one of this machine's
    bool direct = false;  // no gateway on the way
};

// Asks the kernel's routing table how it would reach the address (what `ip route get` shows).
Route routeTo(const sockaddr* address) {
    Route route;
    const void* bytes = nullptr;
    int length = 0;
    if (address->sa_family == AF_INET) {
        bytes = &reinterpret_cast<const sockaddr_in*>(address)->sin_addr;
        length = 4;
    } else if (address->sa_family == AF_INET6) {
        bytes = &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
        length = 16;
    } else {
        return route;
    }
    Descriptor fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (fd.get() < 0) return route;
    timeval limit{1, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);

    struct {
        nlmsghdr header;
        rtmsg message;
        char attributes[64];
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    request.header.nlmsg_type = RTM_GETROUTE;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.header.nlmsg_seq = 1;
    request.message.rtm_family = address->sa_family;
    request.message.rtm_dst_len = static_cast<unsigned char>(length * 8);
    auto* destination = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(&request) + NLMSG_ALIGN(request.header.nlmsg_len));
    destination->rta_type = RTA_DST;
    destination->rta_len = static_cast<unsigned short>(RTA_LENGTH(length));
    std::memcpy(RTA_DATA(destination), bytes, size_t(length));
    request.header.nlmsg_len = NLMSG_ALIGN(request.header.nlmsg_len) + RTA_ALIGN(destination->rta_len);

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd.get(), &request, request.header.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof kernel) < 0)
        return route;
    alignas(nlmsghdr) char reply[8192];
    ssize_t received;
    do {
        received = ::recv(fd.get(), reply, sizeof reply, 0);
    } while (received < 0 && errno == EINTR);
    if (received <= 0) return route;
    // Unsigned, as the header lengths the netlink macros compare it with are.
    unsigned remaining = unsigned(received);
    for (auto* h = reinterpret_cast<nlmsghdr*>(reply); NLMSG_OK(h, remaining); h = NLMSG_NEXT(h, remaining)) {
        if (h->nlmsg_type != RTM_NEWROUTE) continue;
        const auto* message = static_cast<const rtmsg*>(NLMSG_DATA(h));
        if (message->rtm_type != RTN_UNICAST && message->rtm_type != RTN_LOCAL) return route;
        route.found = true;
        route.local = message->rtm_type == RTN_LOCAL;
        bool gateway = false;
        int attributesLength = int(RTM_PAYLOAD(h));
        for (auto* a = RTM_RTA(message); RTA_OK(a, attributesLength); a = RTA_NEXT(a, attributesLength))
            if (a->rta_type == RTA_GATEWAY || a->rta_type == RTA_VIA) gateway = true;
        route.direct = !gateway;
        return route;
    }
    return route;
}

// The flags of one resolved address: zero when the kernel has no route to it.
quint32 flagsForAddress(const addrinfo* info) {
    Descriptor probe(::socket(info->ai_family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (probe.get() < 0) return 0;
    sockaddr_storage target{};
    std::memcpy(&target, info->ai_addr, info->ai_addrlen);
    // Any port will do: connecting a datagram socket only picks a route, it sends nothing.
    if (target.ss_family == AF_INET)
        reinterpret_cast<sockaddr_in*>(&target)->sin_port = htons(9);
    else
        reinterpret_cast<sockaddr_in6*>(&target)->sin6_port = htons(9);
    int result;
    do {
        result = ::connect(probe.get(), reinterpret_cast<sockaddr*>(&target), info->ai_addrlen);
    } while (result < 0 && errno == EINTR);
    if (result != 0) return 0;
    quint32 flags = QVReachabilityReachable;
    const Route route = routeTo(info->ai_addr);
    if (route.found && route.local) flags |= QVReachabilityIsLocalAddress | QVReachabilityIsDirect;
    else if (route.found && route.direct) flags |= QVReachabilityIsDirect;
    return flags;
}

}  // namespace

QVNetworkController& QVNetworkController::sharedInstance() {
    // Never destroyed: its thread may be resolving a name when the program exits, and waiting
    // for it then would hold the exit up. Function-local statics are made once, thread-safely.
    static QVNetworkController* const shared = new QVNetworkController();
    return *shared;
}

QVNetworkController::QVNetworkController() = default;

QVNetworkController::~QVNetworkController() {
    {
        std::lock_guard<std::mutex> locker(_lock);
        for (const auto& record : _observers) record->invalidate();
        _observers.clear();
        _reachabilityRefs.clear();
        _die = true;
    }
    wake();
    if (_listener.joinable()) _listener.join();
    if (_wakeFD >= 0) ::close(_wakeFD);
}

bool QVNetworkController::reachabilityFlags(const QString& host, quint32* flags) {
    if (flags) *flags = 0;
    const QByteArray name = QVNetworkControllerObserver::addressPart(host).toUtf8();
    if (name.isEmpty()) return false;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name.constData(), nullptr, &hints, &found) != 0 || !found) return false;
    quint32 result = 0;
    for (const addrinfo* info = found; info; info = info->ai_next) {
        if (info->ai_family != AF_INET && info->ai_family != AF_INET6) continue;
        result = flagsForAddress(info);
        if (result) break;
    }
    ::freeaddrinfo(found);
    if (flags) *flags = result;
    return true;
}

bool QVNetworkController::hostIsReachable(const QString& host, QVError* error) {
    const QString normalized = QVNetworkControllerObserver::normalizedHostName(host);
    quint32 flags = 0;
    if (reachabilityFlags(normalized, &flags) && QVNetworkControllerObserver::flagsIndicateReachability(flags))
        return true;
    if (error) {
        QString suggestion =
            QVLocalized(QStringLiteral("Qorvel was unable to connect to \"%@\". Please check your network configuration."));
        suggestion.replace(QLatin1String("%@"), normalized);
        *error = QVError::app(10, QVLocalized(QStringLiteral("Cannot connect to host")), suggestion);
    }
    return false;
}

void QVNetworkController::addObserver(std::weak_ptr<void> observer, const void* identity, const QString& hostName,
                                      Selector selector) {
    if (!identity) return;
    auto record = std::make_shared<QVNetworkControllerObserver>(std::move(observer), identity, std::move(selector),
                                                                hostName);
    {
        std::lock_guard<std::mutex> locker(_lock);
        if (_die) return;
        // One observation per object: a second one replaces the first.
        auto earlier = _reachabilityRefs.find(identity);
        if (earlier != _reachabilityRefs.end()) {
            earlier->record->invalidate();
            std::erase(_observers, earlier->record);
            _reachabilityRefs.erase(earlier);
        }
        Registration registration;
        registration.record = record;
        _reachabilityRefs.insert(identity, registration);
        _observers.push_back(record);
        startListenerLocked();
    }
    wake();  // the new host gets its first evaluation
}

void QVNetworkController::removeObserver(const void* observer) {
    std::lock_guard<std::mutex> locker(_lock);
    auto registration = _reachabilityRefs.find(observer);
    if (registration == _reachabilityRefs.end()) return;
    registration->record->invalidate();
    std::erase(_observers, registration->record);
    _reachabilityRefs.erase(registration);
}

void QVNetworkController::startListenerLocked() {
    if (_listener.joinable()) return;
    if (_wakeFD < 0) _wakeFD = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (_wakeFD < 0) {
        SystemLog::error(QStringLiteral("reachability: eventfd failed: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
        return;
    }
    try {
        _listener = Threads::start("QVNetworkListen", [this] { listen(); });
    } catch (const std::system_error& e) {
        SystemLog::error(QStringLiteral("reachability: cannot start the listener thread: %1").arg(QString::fromLocal8Bit(e.what())));
    }
}

void QVNetworkController::wake() {
    if (_wakeFD < 0) return;
    const uint64_t one = 1;
    ssize_t written;
    do {
        written = ::write(_wakeFD, &one, sizeof one);
    } while (written < 0 && errno == EINTR);
}

void QVNetworkController::listen() {
    ::pthread_setname_np(::pthread_self(), "QVReachability");
    Descriptor netlink(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE));
    if (netlink.get() >= 0) {
        sockaddr_nl local{};
        local.nl_family = AF_NETLINK;
        local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
        if (::bind(netlink.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            SystemLog::error(QStringLiteral("reachability: cannot listen for network changes: %1")
                                 .arg(QString::fromLocal8Bit(std::strerror(errno))));
        }
    } else {
        SystemLog::error(QStringLiteral("reachability: cannot open a netlink socket: %1")
                             .arg(QString::fromLocal8Bit(std::strerror(errno))));
    }

    // Reads whatever the kernel queued; answers whether anything (or an overflow) was there.
    auto drainNetlink = [&netlink] {
        bool any = false;
        alignas(nlmsghdr) char buffer[16384];
        for (;;) {
            const ssize_t n = ::recv(netlink.get(), buffer, sizeof buffer, 0);
            if (n > 0) {
                any = true;
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == ENOBUFS) {  // messages were lost: something changed
                any = true;
                continue;
            }
            return any;
        }
    };

    while (!_die) {
        pollfd fds[2] = {{_wakeFD, POLLIN, 0}, {netlink.get(), POLLIN, 0}};
        const int ready = ::poll(fds, netlink.get() >= 0 ? 2 : 1, -1);
        if (_die) break;
        if (ready < 0) continue;
        bool evaluate = false;
        if (fds[0].revents & POLLIN) {
            uint64_t count;
            (void)!::read(_wakeFD, &count, sizeof count);
            evaluate = true;
        }
        if (netlink.get() >= 0 && (fds[1].revents & POLLIN) && drainNetlink()) {
            evaluate = true;
            const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSettleLimitMilliseconds);
            while (!_die && std::chrono::steady_clock::now() < limit) {
                pollfd more{netlink.get(), POLLIN, 0};
                if (::poll(&more, 1, kSettleQuietMilliseconds) <= 0 || !drainNetlink()) break;
            }
        }
        if (evaluate && !_die) evaluateObservedHosts();
    }
}

void QVNetworkController::evaluateObservedHosts() {
    QSet<QString> hosts;
    {
        std::lock_guard<std::mutex> locker(_lock);
        for (const auto& record : _observers) hosts.insert(record->hostName());
    }
    // Resolution may wait on the network: done without the lock, once per host.
    QHash<QString, quint32> flagsByHost;
    for (const QString& host : hosts) {
        if (_die) return;
        quint32 flags = 0;
        reachabilityFlags(host, &flags);
        flagsByHost.insert(host, flags);
    }
    std::lock_guard<std::mutex> locker(_lock);
    if (_die) return;
    for (auto it = _reachabilityRefs.begin(); it != _reachabilityRefs.end(); ++it) {
        const auto known = flagsByHost.constFind(it->record->hostName());
        if (known == flagsByHost.constEnd()) continue;  // added after the snapshot: its own wake-up comes
        if (it->evaluated && it->flags == *known) continue;
        it->evaluated = true;
        it->flags = *known;
        std::weak_ptr<QVNetworkControllerObserver> record = it->record;
        const quint32 flags = *known;
        MainQueue::post([record, flags] {
            if (const auto alive = record.lock()) alive->reachabilityChangedWithFlags(flags);
        });
    }
}
