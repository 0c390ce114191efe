// The seam for the projects' usage events.
#include "projects/QVProjectUsageEvents.h"

namespace {

QVProjectUsageEvents::Tracker& tracker() {
    static QVProjectUsageEvents::Tracker installed;
    return installed;
}

}  // namespace

void QVProjectUsageEvents::setTracker(Tracker tracker_) { tracker() = std::move(tracker_); }

void QVProjectUsageEvents::track(const QString& event, const QVariantMap& properties) {
    if (tracker()) tracker()(event, properties);
}
