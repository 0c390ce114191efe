// The cached server settings ("settings.json"): read lazily, forgotten on demand, and the address
// they are fetched from. A value of the wrong type, at the top or inside "app", counts as absent.
#pragma once

#include <QMutex>
#include <QString>
#include <QUrl>
#include <QVariantMap>

#include <optional>

class TRLSettings {
public:
    explicit TRLSettings(const QString& settingsPath);

    // The parsed document; nothing while no file is cached. A file that is not JSON is logged
    // and removed; one whose top level is not an object is left alone, counts as absent and is
    // logged once.
    std::optional<QVariantMap> settingsDictionary();
    void clearSettingsDictionary();

    QVariantMap appSettings();
    QString appStatus();
    bool appNeedsOnboarding();
    bool appUpdateRequired();

    static QString appPlatform() { return QStringLiteral("mac"); }
    static QString appBundleIdentifier();
    static QString appBuildVersion();
    static QString appDisplayVersion();
    static int appSource();

    QUrl settingsURLForEndpoint(const QString& endpoint, const QString& instanceIdentifier, const QString& iconHash) const;

    // Says once in the process why a value of the settings is not used, so a server's mistake
    // does not pass in silence: "[<kit>] Settings value "<path>" ignored: it should be
    // <expected>, not <what came>".
    static void logIgnoredValue(const char* kit, const QString& path, const QString& expected, const QVariant& found);
    QString settingsPath() const { return _settingsPath; }

private:
    QString _settingsPath;
    QMutex _lock;
    std::optional<QVariantMap> _settingsDictionary;
};
