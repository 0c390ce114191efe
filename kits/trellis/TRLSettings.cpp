#include "kits/trellis/TRLSettings.h"

#include "platform/SystemLog.h"
#include "kits/trellis/TRLConstants.h"
#include "kits/trellis/TRLHelpers.h"
#include "kits/trellis/TRLURLBuilder.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

TRLSettings::TRLSettings(const QString& settingsPath) : _settingsPath(settingsPath) {}

std::optional<QVariantMap> TRLSettings::settingsDictionary() {
    QMutexLocker locker(&_lock);
    if (_settingsDictionary) return _settingsDictionary;
    QFile file(_settingsPath);
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    // Settings documents are small; a huge file is as unusable as a broken one (and no download
    // makes one).
    const QByteArray bytes = file.read(TRLMaximumAnswerBytes + 1);
    file.close();
    QJsonParseError error{};
    const QJsonDocument doc = bytes.size() > TRLMaximumAnswerBytes ? QJsonDocument() : QJsonDocument::fromJson(bytes, &error);
    if (doc.isNull()) {
        SystemLog::error(QStringLiteral("[Trellis] Could not load settings with error: %1")
                             .arg(error.error == QJsonParseError::NoError ? QStringLiteral("document too large") : error.errorString()));
        QFile::remove(_settingsPath);
        return std::nullopt;
    }
    if (!doc.isObject()) return std::nullopt;
    _settingsDictionary = doc.object().toVariantMap();
    return _settingsDictionary;
}

void TRLSettings::clearSettingsDictionary() {
    QMutexLocker locker(&_lock);
    _settingsDictionary.reset();
}

QVariantMap TRLSettings::appSettings() {
    const auto all = settingsDictionary();
    if (!all) return {};
    const QVariant app = all->value(QStringLiteral("app"));
    return app.typeId() == QMetaType::QVariantMap ? app.toMap() : QVariantMap();
}

QString TRLSettings::appStatus() {
    const QVariant v = appSettings().value(QStringLiteral("status"));
    return v.typeId() == QMetaType::QString ? v.toString() : QString();
}

bool TRLSettings::appNeedsOnboarding() { return appStatus() == QLatin1String("new"); }

bool TRLSettings::appUpdateRequired() {
    const QVariant v = appSettings().value(QStringLiteral("update_required"));
    return v.typeId() == QMetaType::Bool && v.toBool();
}

QString TRLSettings::appBundleIdentifier() { return TRLEscapedBundleIdentifier(); }
QString TRLSettings::appBuildVersion() { return TRLBundleVersion(); }
QString TRLSettings::appDisplayVersion() { return TRLBundleShortVersion(); }
int TRLSettings::appSource() { return TRLInstallSource(); }

QUrl TRLSettings::settingsURLForEndpoint(const QString& endpoint, const QString& instanceIdentifier, const QString& iconHash) const {
    auto orNone = [](const QString& s) { return s.isEmpty() ? QVariant() : QVariant(s); };
    TRLURLBuilder b = TRLURLBuilder::URLWithBase(endpoint);
    b.appendComponent(QStringLiteral("/spi/v2/platforms/"));
    b.escapeAndAppendComponent(appPlatform());
    b.appendComponent(QStringLiteral("/apps/"));
    b.escapeAndAppendComponent(appBundleIdentifier());
    b.appendComponent(QStringLiteral("/settings"));
    b.appendValue(orNone(appBuildVersion()), QStringLiteral("build_version"));
    b.appendValue(orNone(appDisplayVersion()), QStringLiteral("display_version"));
    b.appendValue(orNone(instanceIdentifier), QStringLiteral("instance"));
    b.appendValue(orNone(iconHash), QStringLiteral("icon_hash"));
    b.appendValue(appSource(), QStringLiteral("source"));
    return b.URL();
}
