#include "app/UsageAnalytics.h"

#include "kits/metricline/MetriclineAnalytics.h"
#include "projects/QVProjectUsageEvents.h"
#include "shell/QVOutsideServices.h"
#include "shell/web/QVInfoWindowController.h"
#include "kits/tallypost/TallyPostStats.h"

#include <QCoreApplication>

void installUsageAnalytics() {
    QVOutsideServices::setAnalytics(std::make_unique<MetriclineAnalytics>());
    QVOutsideServices::setStats(std::make_unique<TallyPostStats>());
    const auto gate = [](const QString& event, const QVariantMap& properties) { QVOutsideServices::track(event, properties); };
    QVProjectUsageEvents::setTracker(gate);
    QVInfoWindowController::setUsageEvents(gate);
    // The client ends while the application, its event loop and the network engine still run:
    // left to the static destructors at exit it would outlive what it uses.
    if (QCoreApplication* application = QCoreApplication::instance())
        QObject::connect(application, &QCoreApplication::aboutToQuit, application, [] { QVOutsideServices::analytics().shutdown(); });
}
