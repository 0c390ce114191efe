#include "kits/metricline/MetriclineAnalytics.h"

#include "kits/metricline/Metricline.h"

MetriclineAnalytics::~MetriclineAnalytics() { Metricline::releaseSharedInstance(); }

void MetriclineAnalytics::start(const QString& token) { Metricline::sharedInstanceWithToken(token); }

void MetriclineAnalytics::registerSuperProperties(const QVariantMap& properties) {
    if (Metricline* client = Metricline::sharedInstanceIfMade()) client->registerSuperProperties(properties);
}

void MetriclineAnalytics::track(const QString& event, const QVariantMap& properties) {
    if (Metricline* client = Metricline::sharedInstanceIfMade()) client->track(event, properties);
}

void MetriclineAnalytics::flush() {
    if (Metricline* client = Metricline::sharedInstanceIfMade()) client->flush();
}

void MetriclineAnalytics::stop() {
    // Unsent events of an earlier run go too, even when no client was made in this one.
    if (Metricline* client = Metricline::sharedInstanceIfMade()) client->stop();
    else Metricline::removeArchives(QVOutsideServices::infoValue(QStringLiteral("QVAnalyticsToken")));
    Metricline::releaseSharedInstance();
}

void MetriclineAnalytics::shutdown() {
    if (Metricline* client = Metricline::sharedInstanceIfMade()) client->applicationWillTerminate();
    Metricline::releaseSharedInstance();
}
