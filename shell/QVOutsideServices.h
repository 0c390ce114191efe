// The outside services Qorvel may report to: the usage-analytics client, the stat service, the
// crash kits, the error-reporting framework and the crash desk. Each is one interface whose
// default does nothing and sends nothing; the subsystem that brings a real one installs it.
// Their token, identifiers and addresses come from Info.plist keys that a default install
// leaves unset, and every event goes through the consent answer (qvAnonymousUsageTracking),
// so nothing leaves a default install.
#pragma once

#include <QString>
#include <QUrl>
#include <QVariantMap>

#include <memory>

class QVAnalyticsClient {
public:
    virtual ~QVAnalyticsClient() = default;
    // Made once with the project token; later calls keep the first.
    virtual void start(const QString& /*token*/) {}
    virtual void registerSuperProperties(const QVariantMap&) {}
    virtual void track(const QString& /*event*/, const QVariantMap& /*properties*/) {}
    virtual void flush() {}
    // Consent withdrawn: nothing more is sent, and what waited to be sent is deleted.
    virtual void stop() {}
    // Quitting, while the application still runs: a batch in flight is answered or saved with
    // the rest, then the client ends (nothing of it is left for the static destructors).
    virtual void shutdown() {}
};

class QVStatService {
public:
    virtual ~QVStatService() = default;
    virtual void postQuickStat(const QString& /*name*/, double /*count*/, const QString& /*account*/) {}
};

class QVCrashKits {
public:
    virtual ~QVCrashKits() = default;
    virtual void start() {}
};

class QVErrorReporting {
public:
    virtual ~QVErrorReporting() = default;
    virtual void addReportMethod(const QUrl& /*upload*/, const QString& /*name*/) {}
    virtual void toggleFeedbackMenuItem() {}
};

class QVCrashDesk {
public:
    virtual ~QVCrashDesk() = default;
    virtual void configure(const QString& /*identifier*/) {}
    virtual void startManager() {}
};

// The installed services (the silent defaults until replaced) and the gate in front of them.
// Main thread.
class QVOutsideServices {
public:
    QVOutsideServices() = delete;

    static QVAnalyticsClient& analytics();
    static QVStatService& stats();
    static QVCrashKits& crashKits();
    static QVErrorReporting& errorReporting();
    static QVCrashDesk& crashDesk();
    static void setAnalytics(std::unique_ptr<QVAnalyticsClient> client);
    static void setStats(std::unique_ptr<QVStatService> service);
    static void setCrashKits(std::unique_ptr<QVCrashKits> kits);
    static void setErrorReporting(std::unique_ptr<QVErrorReporting> reporting);
    static void setCrashDesk(std::unique_ptr<QVCrashDesk> desk);

    // Whether the user agreed to anonymous usage data (an absent answer is no).
    static bool trackingAllowed();
    // Whether the analytics client has somewhere to send to: a token and an address.
    static bool analyticsConfigured();
    // Sends event to the analytics client only with consent, a token and an address.
    static void track(const QString& event, const QVariantMap& properties = {});
    // The user default of key when set and not empty, else the Info.plist value; empty when
    // neither is set.
    static QString infoValue(const QString& key);
};
