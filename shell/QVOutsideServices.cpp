#include "shell/QVOutsideServices.h"

#include "platform/AppBundle.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"

namespace {

template <typename T>
std::unique_ptr<T>& slot() {
    static std::unique_ptr<T> installed = std::make_unique<T>();
    return installed;
}

template <typename T>
void install(std::unique_ptr<T> value) {
    slot<T>() = value ? std::move(value) : std::make_unique<T>();
}

}  // namespace

QVAnalyticsClient& QVOutsideServices::analytics() { return *slot<QVAnalyticsClient>(); }
QVStatService& QVOutsideServices::stats() { return *slot<QVStatService>(); }
QVCrashKits& QVOutsideServices::crashKits() { return *slot<QVCrashKits>(); }
QVErrorReporting& QVOutsideServices::errorReporting() { return *slot<QVErrorReporting>(); }
QVCrashDesk& QVOutsideServices::crashDesk() { return *slot<QVCrashDesk>(); }
void QVOutsideServices::setAnalytics(std::unique_ptr<QVAnalyticsClient> client) { install(std::move(client)); }
void QVOutsideServices::setStats(std::unique_ptr<QVStatService> service) { install(std::move(service)); }
void QVOutsideServices::setCrashKits(std::unique_ptr<QVCrashKits> kits) { install(std::move(kits)); }
void QVOutsideServices::setErrorReporting(std::unique_ptr<QVErrorReporting> reporting) { install(std::move(reporting)); }
void QVOutsideServices::setCrashDesk(std::unique_ptr<QVCrashDesk> desk) { install(std::move(desk)); }

bool QVOutsideServices::trackingAllowed() {
    return UserDefaults::standard().boolForKey(QString::fromLatin1(qvAnonymousUsageTracking));
}

bool QVOutsideServices::analyticsConfigured() {
    return !infoValue(QStringLiteral("QVAnalyticsToken")).isEmpty() && !infoValue(QStringLiteral("QVAnalyticsURL")).isEmpty();
}

void QVOutsideServices::track(const QString& event, const QVariantMap& properties) {
    if (trackingAllowed() && analyticsConfigured()) analytics().track(event, properties);
}

QString QVOutsideServices::infoValue(const QString& key) {
    if (const QString own = UserDefaults::standard().stringForKey(key).trimmed(); !own.isEmpty()) return own;
    return AppBundle::main().objectForInfoDictionaryKey(key).toString().trimmed();
}
