// The analytics client the application installs (QVOutsideServices::setAnalytics): the shared
// Metricline, made at start() when an address is configured, ended at stop() and at shutdown().
#pragma once

#include "shell/QVOutsideServices.h"

class MetriclineAnalytics final : public QVAnalyticsClient {
public:
    ~MetriclineAnalytics() override;
    void start(const QString& token) override;
    void registerSuperProperties(const QVariantMap& properties) override;
    void track(const QString& event, const QVariantMap& properties) override;
    void flush() override;
    void stop() override;
    void shutdown() override;
};
