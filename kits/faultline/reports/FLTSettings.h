// The crash-reporting kit's view of its configuration: where reports go and whether they are
// packaged, submitted and sent urgently (the environment's "Faultline…" variables, then the Info
// dictionary's "Faultline" entry, then built-in defaults, which leave both endpoints unset), and
// the server's switches, limits and prompt texts with a default for every missing value. Server
// values of the wrong type count as missing; numbers are clamped to what the capture can hold.
#pragma once

#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <optional>

class FLTSettings {
public:
    explicit FLTSettings(std::optional<QVariantMap> settingsDictionary = std::nullopt);

    static QVariantMap configuration();
    static QVariantMap defaultConfiguration();
    static QVariant valueForConfigurationKey(const QString& key);

    QString betaEndpoint() const;
    QString reportsEndpoint() const;
    // The roots file the reports endpoint is pinned to; empty: the built-in roots.
    QString reportsEndpointPinnedRoots() const;
    QString betaEndpointPinnedRoots() const;
    bool shouldPackageReports() const;
    bool shouldSubmitReports() const;
    bool canProcessUrgentReports() const;

    bool crashReportingEnabled() const;
    bool errorReportingEnabled() const;
    bool customExceptionsEnabled() const { return errorReportingEnabled(); }
    bool userPromptEnabled() const;
    quint32 logBufferSize() const;
    quint32 errorLogBufferSize() const { return logBufferSize(); }
    quint32 maxCustomExceptions() const;
    quint32 maxCustomKeys() const;
    double betaSuspendDuration() const;

    QString interactivePromptTitle() const;
    QString interactivePromptMessage() const;
    QString interactivePromptCancelTitle() const;
    QString interactivePromptSendTitle() const;
    QString interactivePromptAlwaysSendTitle() const;
    QString promptValueForSettingsKey(const QString& key, const QString& localizedKey, const QString& defaultValue) const;

    const std::optional<QVariantMap>& settingsDictionary() const { return _settings; }

private:
    QVariant serverValue(const char* outer, const char* inner) const;
    bool serverBool(const char* outer, const char* inner, bool fallback) const;
    quint32 serverUInt(const char* outer, const char* inner, quint32 fallback, quint32 low, quint32 high) const;
    static bool configurationBool(const QString& key);

    std::optional<QVariantMap> _settings;
};
