#include "kits/faultline/reports/FLTSettings.h"

#include "platform/AppBundle.h"
#include "platform/SystemLog.h"
#include "kits/trellis/TRLHelpers.h"
#include "kits/trellis/TRLSettings.h"

#include <QtGlobal>

#include <cmath>

FLTSettings::FLTSettings(std::optional<QVariantMap> settingsDictionary) : _settings(std::move(settingsDictionary)) {}

QVariantMap FLTSettings::configuration() {
    const QVariant v = TRLInfoDictionary().value(QStringLiteral("Faultline"));
    return v.typeId() == QMetaType::QVariantMap ? v.toMap() : QVariantMap();
}

QVariantMap FLTSettings::defaultConfiguration() {
    // The service's addresses are deployment values: a default install sends nothing.
    return {{QStringLiteral("BetaEndpoint"), QString()},
            {QStringLiteral("ReportsEndpoint"), QString()},
            {QStringLiteral("PackageReports"), true},
            {QStringLiteral("SubmitReports"), true},
            {QStringLiteral("UrgentReports"), true}};
}

QVariant FLTSettings::valueForConfigurationKey(const QString& key) {
    const QByteArray name = "Faultline" + key.toUtf8();
    if (qEnvironmentVariableIsSet(name.constData())) {
        const QString value = qEnvironmentVariable(name.constData());
        SystemLog::notice(QStringLiteral("[Faultline:Crash] override: '%1' => '%2'").arg(key, value));
        return value;
    }
    const QVariantMap config = configuration();
    if (config.contains(key)) return config.value(key);
    return defaultConfiguration().value(key);
}

bool FLTSettings::configurationBool(const QString& key) {
    const QVariant v = valueForConfigurationKey(key);
    if (v.typeId() == QMetaType::QString) {
        // The platform's boolean reading of text: "YES", "true" or a non-zero number.
        const QString text = v.toString().trimmed();
        if (text.isEmpty()) return false;
        const QChar first = text.at(0).toLower();
        if (first == QLatin1Char('y') || first == QLatin1Char('t')) return true;
        bool ok = false;
        const double n = text.toDouble(&ok);
        return ok && n != 0;
    }
    if (v.typeId() == QMetaType::Bool) return v.toBool();
    if (v.canConvert<double>() && v.isValid()) return v.toDouble() != 0;
    return defaultConfiguration().value(key).toBool();
}

static QString configurationString(const QString& key) {
    const QVariant v = FLTSettings::valueForConfigurationKey(key);
    return v.typeId() == QMetaType::QString ? v.toString().trimmed() : QString();
}

QString FLTSettings::betaEndpoint() const { return configurationString(QStringLiteral("BetaEndpoint")); }
QString FLTSettings::reportsEndpoint() const { return configurationString(QStringLiteral("ReportsEndpoint")); }
QString FLTSettings::reportsEndpointPinnedRoots() const { return configurationString(QStringLiteral("ReportsEndpointPinnedRoots")); }
QString FLTSettings::betaEndpointPinnedRoots() const { return configurationString(QStringLiteral("BetaEndpointPinnedRoots")); }
bool FLTSettings::shouldPackageReports() const { return configurationBool(QStringLiteral("PackageReports")); }
bool FLTSettings::shouldSubmitReports() const { return configurationBool(QStringLiteral("SubmitReports")); }
bool FLTSettings::canProcessUrgentReports() const { return configurationBool(QStringLiteral("UrgentReports")); }

// A server value of the wrong kind counts as missing, and is logged once.
static void ignored(const char* outer, const char* inner, const char* expected, const QVariant& found) {
    const QString path = inner ? QStringLiteral("%1.%2").arg(QLatin1String(outer), QLatin1String(inner)) : QString::fromLatin1(outer);
    TRLSettings::logIgnoredValue("Faultline", path, QString::fromLatin1(expected), found);
}

static bool present(const QVariant& v) { return v.isValid() && !v.isNull(); }

QVariant FLTSettings::serverValue(const char* outer, const char* inner) const {
    if (!_settings) return {};
    const QVariant group = _settings->value(QLatin1String(outer));
    if (group.typeId() != QMetaType::QVariantMap) {
        if (present(group)) ignored(outer, nullptr, "an object", group);
        return {};
    }
    return group.toMap().value(QLatin1String(inner));
}

bool FLTSettings::serverBool(const char* outer, const char* inner, bool fallback) const {
    const QVariant v = serverValue(outer, inner);
    switch (v.typeId()) {
    case QMetaType::Bool: return v.toBool();
    case QMetaType::Int: case QMetaType::LongLong: case QMetaType::UInt: case QMetaType::ULongLong: case QMetaType::Double:
        return v.toDouble() != 0;
    default:  // missing, or of a type a switch cannot be
        if (present(v)) ignored(outer, inner, "true or false", v);
        return fallback;
    }
}

quint32 FLTSettings::serverUInt(const char* outer, const char* inner, quint32 fallback, quint32 low, quint32 high) const {
    const QVariant v = serverValue(outer, inner);
    switch (v.typeId()) {
    case QMetaType::Int: case QMetaType::LongLong: case QMetaType::UInt: case QMetaType::ULongLong: case QMetaType::Double: {
        const double d = v.toDouble();
        if (!std::isfinite(d)) return fallback;
        return quint32(qBound(double(low), std::floor(d), double(high)));
    }
    default:
        if (present(v)) ignored(outer, inner, "a number", v);
        return fallback;
    }
}

bool FLTSettings::crashReportingEnabled() const { return serverBool("features", "collect_reports", true); }
bool FLTSettings::errorReportingEnabled() const { return serverBool("features", "collect_logged_exceptions", true); }
bool FLTSettings::userPromptEnabled() const { return serverBool("features", "prompt_enabled", false); }
// The capture keeps its buffers in one fixed mapping: a server may shrink them, not blow them up.
quint32 FLTSettings::logBufferSize() const { return serverUInt("session", "log_buffer_size", 65536, 0, 1u << 20); }
quint32 FLTSettings::maxCustomExceptions() const { return serverUInt("session", "max_custom_exception_events", 16, 0, 128); }
quint32 FLTSettings::maxCustomKeys() const { return serverUInt("session", "max_custom_key_value_pairs", 16, 0, 1024); }

double FLTSettings::betaSuspendDuration() const {
    const QVariant v = serverValue("beta", "update_suspend_duration");
    bool ok = false;
    const double d = (v.typeId() == QMetaType::QString || v.typeId() == QMetaType::Bool) ? 0 : v.toDouble(&ok);
    if (!ok || !std::isfinite(d)) {
        if (present(v)) ignored("beta", "update_suspend_duration", "a number", v);
        return 3600;
    }
    return qBound(60.0, d, 7.0 * 24 * 3600);
}

QString FLTSettings::promptValueForSettingsKey(const QString& key, const QString& localizedKey, const QString& defaultValue) const {
    QString value = defaultValue;
    const QVariant server = serverValue("prompt", key.toUtf8().constData());
    if (server.typeId() == QMetaType::QString) {
        if (!server.toString().isEmpty()) value = server.toString();
    } else if (present(server)) {
        ignored("prompt", key.toUtf8().constData(), "text", server);
    }
    return AppBundle::main().localizedString(localizedKey, value, QStringLiteral("Faultline"));
}

QString FLTSettings::interactivePromptTitle() const {
    return promptValueForSettingsKey(QStringLiteral("title"), QStringLiteral("FaultlineCrashSubmissionPromptTitle"), QStringLiteral("Send Crash Report?"));
}
QString FLTSettings::interactivePromptMessage() const {
    return promptValueForSettingsKey(QStringLiteral("message"), QStringLiteral("FaultlineCrashSubmissionPromptMessage"),
                                     QStringLiteral("Looks like we crashed! Please help us fix the problem by sending a crash report."));
}
QString FLTSettings::interactivePromptCancelTitle() const {
    return promptValueForSettingsKey(QStringLiteral("cancel_button_title"), QStringLiteral("FaultlineCrashSubmissionCancelTitle"), QStringLiteral("Don't Send"));
}
QString FLTSettings::interactivePromptSendTitle() const {
    return promptValueForSettingsKey(QStringLiteral("send_button_title"), QStringLiteral("FaultlineCrashSubmissionSendTitle"), QStringLiteral("Send"));
}
QString FLTSettings::interactivePromptAlwaysSendTitle() const {
    return promptValueForSettingsKey(QStringLiteral("always_send_button_title"), QStringLiteral("FaultlineCrashSubmissionAlwaysSendTitle"),
                                     QStringLiteral("Always Send"));
}
