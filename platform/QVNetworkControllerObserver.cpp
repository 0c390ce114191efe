// Host-name normalisation, the reachability rule, and passing a change on to the observer.
#include "platform/QVNetworkControllerObserver.h"

#include "platform/QVRegex.h"

QVNetworkControllerObserver::QVNetworkControllerObserver(std::weak_ptr<void> observer, const void* identity,
                                                         Selector selector, const QString& hostName)
    : _observer(std::move(observer)), _identity(identity), _selector(std::move(selector)),
      _hostName(normalizedHostName(hostName)) {}

QString QVNetworkControllerObserver::normalizedHostName(const QString& text) {
    static const auto scheme = QVRegex::create(QStringLiteral("^\\w+:/*"));
    static const auto port = QVRegex::create(QStringLiteral("^\\d+(/|$)"));
    QString host = text;
    if (scheme) {
        if (const auto match = scheme->copyMatchForString(host)) {
            const QVRange range = match->rangeForCapture(0);
            const QString rest = host.mid(range.end());
            bool isScheme = true;
            if (!host.mid(range.location, range.length).endsWith(QLatin1Char('/'))) {
                // Without slashes the colon may just as well separate a port ("localhost:2121")
                // or belong to an IPv6 address ("fe80::1"); only a plain "name:host" is a scheme.
                const bool portFollows = port && port->copyMatchForString(rest).has_value();
                const bool ipv6 = rest.section(QLatin1Char('/'), 0, 0).contains(QLatin1Char(':'));
                isScheme = !portFollows && !ipv6;
            }
            if (isScheme) host = rest;
        }
    }
    const qsizetype slash = host.indexOf(QLatin1Char('/'));
    if (slash >= 0) host.truncate(slash);
    return host;
}

QString QVNetworkControllerObserver::addressPart(const QString& normalizedHostName) {
    QString host = normalizedHostName;
    const qsizetype at = host.lastIndexOf(QLatin1Char('@'));
    if (at >= 0) host = host.mid(at + 1);
    if (host.startsWith(QLatin1Char('['))) {
        const qsizetype close = host.indexOf(QLatin1Char(']'));
        return close > 0 ? host.mid(1, close - 1) : host.mid(1);
    }
    // One colon separates a port; more than one is an IPv6 address written without brackets.
    if (host.count(QLatin1Char(':')) == 1) host.truncate(host.indexOf(QLatin1Char(':')));
    return host;
}

bool QVNetworkControllerObserver::flagsIndicateReachability(quint32 flags) {
    if (flags & (QVReachabilityIsLocalAddress | QVReachabilityIsDirect)) return true;
    const quint32 mask = QVReachabilityReachable | QVReachabilityConnectionRequired | QVReachabilityInterventionRequired;
    return (flags & mask) == QVReachabilityReachable;
}

void QVNetworkControllerObserver::reachabilityChangedWithFlags(quint32 flags) {
    if (!_valid || !_selector) return;
    const std::shared_ptr<void> alive = _observer.lock();
    if (!alive) return;
    _selector(_hostName, flagsIndicateReachability(flags));
}
