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
    if (!doc.isObject()) {
        SystemLog::warningOnce(QStringLiteral("[Trellis] Settings ignored: the document is a JSON array, not an object"));
        return std::nullopt;
    }
    _settingsDictionary = doc.object().toVariantMap();
    return _settingsDictionary;
}

void TRLSettings::clearSettingsDictionary() {
    QMutexLocker locker(&_lock);
    _settingsDictionary.reset();
}

void TRLSettings::logIgnoredValue(const char* kit, const QString& path, const QString& expected, const QVariant& found) {
    QString what;
    switch (found.typeId()) {
    case QMetaType::QVariantMap: what = QStringLiteral("an object"); break;
    case QMetaType::QVariantList: what = QStringLiteral("a list"); break;
    case QMetaType::Bool: what = found.toBool() ? QStringLiteral("true") : QStringLiteral("false"); break;
    case QMetaType::QString: {
        const QString text = found.toString();
        what = QStringLiteral("the text \"%1\"").arg(text.size() > 40 ? text.left(40) + QStringLiteral("…") : text);
        break;
    }
    case QMetaType::Int: case QMetaType::LongLong: case QMetaType::UInt: case QMetaType::ULongLong: case QMetaType::Double:
        what = QStringLiteral("the number %1").arg(found.toString());
        break;
    default: what = QStringLiteral("a value of another kind"); break;
    }
    SystemLog::warningOnce(QStringLiteral("[%1] Settings value \"%2\" ignored: it should be %3, not %4").arg(QLatin1String(kit), path, expected, what));
}

// Null counts as absent and says nothing; any other value of the wrong type is logged once.
static bool present(const QVariant& v) { return v.isValid() && !v.isNull(); }

QVariantMap TRLSettings::appSettings() {
    const auto all = settingsDictionary();
    if (!all) return {};
    const QVariant app = all->value(QStringLiteral("app"));
    if (app.typeId() == QMetaType::QVariantMap) return app.toMap();
    if (present(app)) logIgnoredValue("Trellis", QStringLiteral("app"), QStringLiteral("an object"), app);
    return {};
}

QString TRLSettings::appStatus() {
    const QVariant v = appSettings().value(QStringLiteral("status"));
    if (v.typeId() == QMetaType::QString) return v.toString();
    if (present(v)) logIgnoredValue("Trellis", QStringLiteral("app.status"), QStringLiteral("text"), v);
    return {};
}

bool TRLSettings::appNeedsOnboarding() { return appStatus() == QLatin1String("new"); }

bool TRLSettings::appUpdateRequired() {
    const QVariant v = appSettings().value(QStringLiteral("update_required"));
    if (v.typeId() == QMetaType::Bool) return v.toBool();
    if (present(v)) logIgnoredValue("Trellis", QStringLiteral("app.update_required"), QStringLiteral("true or false"), v);
    return false;
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
