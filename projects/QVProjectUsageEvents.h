// The usage events projects record ("New Project", "Update Project"): handed to a tracker that
// the analytics client installs; without one they go nowhere. Callers test the user's consent.
#pragma once

#include <QString>
#include <QVariantMap>

#include <functional>

namespace QVProjectUsageEvents {

using Tracker = std::function<void(const QString& event, const QVariantMap& properties)>;
void setTracker(Tracker tracker);
void track(const QString& event, const QVariantMap& properties);

}  // namespace QVProjectUsageEvents
