// The analytics kit's view of the downloaded server settings: every value has a default for a
// missing document, section or key, numbers may come as text, and values out of reason are
// brought back into bounds (a file read whole must stay small, a timer must not spin). A value of
// the wrong kind counts as missing and is logged once.
#pragma once

#include <QUrl>
#include <QVariantMap>

#include <optional>

class TDGSettings {
public:
    // The upload time-outs: six hours normally, one in low-power mode.
    static constexpr double kDefaultUploadTimeout = 21600;
    static constexpr double kLowPowerUploadTimeout = 3600;
    static constexpr qint64 kDefaultMaximumPayloadSize = 8000;
    static constexpr qint64 kMaximumPayloadSizeBound = 1 << 20;
    static constexpr qint64 kMinimumPayloadSize = 256;
    static constexpr qint64 kDefaultMaxPendingSendFiles = 100;
    static constexpr qint64 kMaxPendingSendFilesBound = 10000;
    static constexpr double kMinimumFlushInterval = 10;
    static constexpr double kMaximumFlushInterval = 86400;

    explicit TDGSettings(std::optional<QVariantMap> settings = std::nullopt) : _settingsDictionary(std::move(settings)) {}
    bool valid() const { return _settingsDictionary.has_value(); }
    const std::optional<QVariantMap>& settingsDictionary() const { return _settingsDictionary; }

    // The events address: only an https URL from the "analytics" section; none without one.
    QUrl tidingsURL() const;
    bool shouldCollectAnalytics() const;
    bool shouldCollectCustomEvents() const;
    bool shouldCollectPredefinedEvents() const;
    qint64 maximumPayloadSize() const;
    qint64 maxPendingSendFiles() const;
    // 0 means no flush timer.
    double flushInterval() const;
    qint64 samplingRate() const;
    double defaultUploadTimeout() const;
    double lowPowerUploadTimeout() const;

    // Number conversions that accept numeric text, as the settings may carry either.
    static std::optional<bool> boolValue(const QVariant& v);
    static std::optional<qint64> integerValue(const QVariant& v);
    static std::optional<double> doubleValue(const QVariant& v);

private:
    QVariant value(const char* section, const char* key) const;
    std::optional<bool> boolSetting(const char* section, const char* key) const;
    std::optional<qint64> integerSetting(const char* section, const char* key) const;
    std::optional<double> doubleSetting(const char* section, const char* key) const;
    std::optional<QVariantMap> _settingsDictionary;
};
