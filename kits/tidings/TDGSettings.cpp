#include "kits/tidings/TDGSettings.h"

#include "kits/trellis/TRLSettings.h"

#include <algorithm>
#include <cmath>
#include <limits>

static void ignored(const char* section, const char* key, const char* expected, const QVariant& found) {
    const QString path = key ? QStringLiteral("%1.%2").arg(QLatin1String(section), QLatin1String(key)) : QString::fromLatin1(section);
    TRLSettings::logIgnoredValue("Tidings", path, QString::fromLatin1(expected), found);
}

QVariant TDGSettings::value(const char* section, const char* key) const {
    if (!_settingsDictionary) return {};
    const QVariant s = _settingsDictionary->value(QLatin1String(section));
    if (s.typeId() != QMetaType::QVariantMap) {
        if (s.isValid() && !s.isNull()) ignored(section, nullptr, "an object", s);
        return {};
    }
    const QVariant v = s.toMap().value(QLatin1String(key));
    return v.isNull() ? QVariant() : v;
}

std::optional<bool> TDGSettings::boolSetting(const char* section, const char* key) const {
    const QVariant v = value(section, key);
    if (!v.isValid()) return std::nullopt;
    const auto b = boolValue(v);
    if (!b) ignored(section, key, "true or false", v);
    return b;
}

std::optional<qint64> TDGSettings::integerSetting(const char* section, const char* key) const {
    const QVariant v = value(section, key);
    if (!v.isValid()) return std::nullopt;
    const auto i = integerValue(v);
    if (!i) ignored(section, key, "a number", v);
    return i;
}

std::optional<double> TDGSettings::doubleSetting(const char* section, const char* key) const {
    const QVariant v = value(section, key);
    if (!v.isValid()) return std::nullopt;
    const auto d = doubleValue(v);
    if (!d) ignored(section, key, "a number", v);
    return d;
}

std::optional<bool> TDGSettings::boolValue(const QVariant& v) {
    switch (v.typeId()) {
    case QMetaType::Bool: return v.toBool();
    case QMetaType::QString: {
        const QString s = v.toString().trimmed().toLower();
        if (s == QLatin1String("true") || s == QLatin1String("yes")) return true;
        if (s == QLatin1String("false") || s == QLatin1String("no")) return false;
        if (auto d = doubleValue(v)) return *d != 0;
        return std::nullopt;
    }
    default:
        if (auto d = doubleValue(v)) return *d != 0;
        return std::nullopt;
    }
}

std::optional<double> TDGSettings::doubleValue(const QVariant& v) {
    bool ok = false;
    double d = 0;
    switch (v.typeId()) {
    case QMetaType::Bool: return v.toBool() ? 1.0 : 0.0;
    case QMetaType::QString: d = v.toString().trimmed().toDouble(&ok); break;
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::Float: d = v.toDouble(&ok); break;
    default: return std::nullopt;
    }
    if (!ok || std::isnan(d)) return std::nullopt;
    return d;
}

std::optional<qint64> TDGSettings::integerValue(const QVariant& v) {
    if (v.typeId() == QMetaType::LongLong || v.typeId() == QMetaType::Int) return v.toLongLong();
    const auto d = doubleValue(v);
    if (!d) return std::nullopt;
    // Saturate: a value beyond the range is as large as it can be, never wrapped.
    if (*d >= 9.2e18) return std::numeric_limits<qint64>::max();
    if (*d <= -9.2e18) return std::numeric_limits<qint64>::min();
    return qint64(std::trunc(*d));
}

QUrl TDGSettings::tidingsURL() const {
    const QVariant v = value("analytics", "url");
    if (!v.isValid()) return {};
    const QUrl url(v.typeId() == QMetaType::QString ? v.toString().trimmed() : QString(), QUrl::StrictMode);
    if (!url.isValid() || url.scheme() != QLatin1String("https") || url.host().isEmpty()) {
        ignored("analytics", "url", "an https address", v);
        return {};
    }
    return url;
}

bool TDGSettings::shouldCollectAnalytics() const { return boolSetting("features", "collect_analytics").value_or(true); }
bool TDGSettings::shouldCollectCustomEvents() const { return boolSetting("analytics", "track_custom_events").value_or(true); }
bool TDGSettings::shouldCollectPredefinedEvents() const { return boolSetting("analytics", "track_predefined_events").value_or(true); }

qint64 TDGSettings::maximumPayloadSize() const {
    const auto v = integerSetting("analytics", "max_byte_size_per_file");
    if (!v) return kDefaultMaximumPayloadSize;
    return std::clamp(*v, kMinimumPayloadSize, kMaximumPayloadSizeBound);
}

qint64 TDGSettings::maxPendingSendFiles() const {
    const auto v = integerSetting("analytics", "max_pending_send_file_count");
    if (!v) return kDefaultMaxPendingSendFiles;
    return std::clamp<qint64>(*v, 1, kMaxPendingSendFilesBound);
}

double TDGSettings::flushInterval() const {
    const auto v = doubleSetting("analytics", "flush_interval_secs");
    if (!v || *v <= 0) return 0;
    return std::clamp(*v, kMinimumFlushInterval, kMaximumFlushInterval);
}

qint64 TDGSettings::samplingRate() const { return integerSetting("analytics", "sampling_rate").value_or(1); }

// A time-out of zero, a negative one or none at all means the default, never "no time-out".
static double timeout(const std::optional<double>& v, double fallback) {
    if (!v || !std::isfinite(*v) || *v <= 0) return fallback;
    return std::clamp(*v, 1.0, 7.0 * 86400);
}

double TDGSettings::defaultUploadTimeout() const {
    return timeout(doubleSetting("analytics", "upload_timeout_secs"), kDefaultUploadTimeout);
}

double TDGSettings::lowPowerUploadTimeout() const {
    return timeout(doubleSetting("analytics", "low_power_upload_timeout_secs"), kLowPowerUploadTimeout);
}
