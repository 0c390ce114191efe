#include "app/UsageAnalytics.h"

#include "kits/metricline/MetriclineAnalytics.h"
#include "projects/QVProjectUsageEvents.h"
#include "shell/QVOutsideServices.h"
#include "shell/web/QVInfoWindowController.h"
#include "kits/tallypost/TallyPostStats.h"

void installUsageAnalytics() {
    QVOutsideServices::setAnalytics(std::make_unique<MetriclineAnalytics>());
    QVOutsideServices::setStats(std::make_unique<TallyPostStats>());
    const auto gate = [](const QString& event, const QVariantMap& properties) { QVOutsideServices::track(event, properties); };
    QVProjectUsageEvents::setTracker(gate);
    QVInfoWindowController::setUsageEvents(gate);
}
