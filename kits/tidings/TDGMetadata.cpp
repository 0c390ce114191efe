#include "kits/tidings/TDGMetadata.h"

#include "kits/tidings/TDGEvent.h"
#include "platform/AtomicFile.h"
#include "kits/trellis/TRLHelpers.h"
#include "kits/trellis/Trellis.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>

#include <unistd.h>

TDGMetadata::TDGMetadata(Trellis& trellis, const QString& betaToken) {
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    _numberOfCores = cores > 0 ? quint32(cores) : 1;
    // A broken kit configuration is the core's to report; here it only leaves the key empty
    // rather than ending the event queue's thread.
    try {
        _APIKey = trellis.APIKey();
    } catch (const TRLException&) {
        _APIKey.clear();
    }
    _betaToken = unwrapBetaToken(betaToken);
    _buildVersion = TRLBundleVersion();
    _bundleIdentifier = TRLEscapedBundleIdentifier();
    _displayVersion = TRLBundleShortVersion();
    _executionIdentifier = trellis.executionIdentifier();
    _hostModel = TRLHardwareModel();
    _installationId = trellis.installID();
    _instanceIdentifier = trellis.instanceIdentifier();
    _locale = QLocale::system().name();
    _OSBuildVersion = TRLOSBuildVersion();
    _OSDisplayVersion = TRLOSDisplayVersion();
}

std::optional<QString> TDGMetadata::unwrapBetaToken(const QString& token) {
    const QStringList parts = token.split(QLatin1Char(':'));
    if (parts.size() == 2 && parts[0] == QLatin1String("2")) return parts[1];
    return std::nullopt;
}

TDGJsonObject TDGMetadata::dictionaryRepresentationWithStartTime(quint64 startTime) const {
    TDGJsonObject d;
    auto setIf = [&](const char* key, const std::optional<QString>& v) {
        if (v) d.set(QString::fromLatin1(key), *v);
    };
    d.set(QStringLiteral("generator"), QStringLiteral("Tidings Mac SDK/1.3.4"));
    d.set(QStringLiteral("api_key"), _APIKey);
    d.set(QStringLiteral("session_id"), _executionIdentifier);
    d.set(QStringLiteral("started_at"), QVariant::fromValue<quint64>(startTime));
    setIf("advertising_id", identifierForAdvertising());
    setIf("beta_tester_token", _betaToken);
    d.set(QStringLiteral("links_ad_support"), false);
    d.set(QStringLiteral("advertising_tracking_enabled"), false);
    d.set(QStringLiteral("install_id"), _installationId);
    d.set(QStringLiteral("model"), _hostModel);
    d.set(QStringLiteral("machine"), _hostModel);
    d.set(QStringLiteral("locale"), _locale);
    d.set(QStringLiteral("os_build"), _OSBuildVersion);
    d.set(QStringLiteral("os_version"), _OSDisplayVersion);
    d.set(QStringLiteral("platform"), QStringLiteral("Mac"));
    d.set(QStringLiteral("platform_code"), 0);
    d.set(QStringLiteral("cores"), QVariant::fromValue<quint32>(_numberOfCores));
    d.set(QStringLiteral("jailbroken"), false);
    d.set(QStringLiteral("bundle_id"), _bundleIdentifier);
    d.set(QStringLiteral("bundle_version"), _buildVersion);
    d.set(QStringLiteral("bundle_short_version"), _displayVersion);
    d.set(QStringLiteral("instance_id"), _instanceIdentifier);
    return d;
}

QByteArray TDGMetadata::jsonWithStartTime(quint64 startTime) const {
    return TDGJson::write(QVariant::fromValue(dictionaryRepresentationWithStartTime(startTime)));
}

std::optional<QByteArray> TDGCrashMetadata::readSerializedDictionaryFromURL(const QString& path) {
    QFile file(path);
    // A file of this size is not ours: a metadata dictionary is well under a kilobyte.
    if (!file.open(QIODevice::ReadOnly) || file.size() > (1 << 20)) return std::nullopt;
    const QByteArray bytes = file.readAll();
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) return std::nullopt;
    // Our own compact file keeps its key order; anything else with line breaks or tabs in it is
    // rewritten compact, so it fits one log line.
    const QByteArray trimmed = bytes.trimmed();
    for (const char c : trimmed)
        if (static_cast<unsigned char>(c) < 0x20) return document.toJson(QJsonDocument::Compact);
    return trimmed;
}

bool TDGCrashMetadata::writeSerializedDictionary(const QByteArray& json, const QString& path) {
    return AtomicFile::write(path, json);
}

bool TDGCrashMetadata::isEmpty() const {
    const QJsonDocument d = QJsonDocument::fromJson(_rawMetadata);
    return !d.isObject() || d.object().isEmpty();
}

TDGRotateCrashMetadataOperation::TDGRotateCrashMetadataOperation(QString crashMetadataPath, const TDGMetadata& currentMetadata)
    : _crashMetadataPath(std::move(crashMetadataPath)),
      _currentMetadataJson(currentMetadata.jsonWithStartTime(quint64(TDGEvent::now()))) {}

void TDGRotateCrashMetadataOperation::main() {
    // The old file is read and then replaced in one rename, never deleted first: a kill between
    // the two steps leaves the previous run's metadata in place.
    _crashMetadata = TDGCrashMetadata(TDGCrashMetadata::readSerializedDictionaryFromURL(_crashMetadataPath).value_or("{}"));
    TDGCrashMetadata::writeSerializedDictionary(_currentMetadataJson, _crashMetadataPath);
}

bool TDGEventFilter::samplingEnabledForEventType(const QString& name) {
    static const QSet<QString> sampled = {
        QStringLiteral("app_launched"),           QStringLiteral("app_terminated"),        QStringLiteral("app_crashed"),
        QStringLiteral("app_memory_warning"),     QStringLiteral("app_entered_background"), QStringLiteral("app_entered_foreground"),
        QStringLiteral("app_became_inactive"),    QStringLiteral("app_became_active")};
    return sampled.contains(name);
}

bool TDGEventFilter::shouldDiscardEvent(const TDGEvent* event, const std::optional<QString>& betaToken, const QString& installationID,
                                        qint64 factor) const {
    if (!event) return true;
    if (betaToken || !samplingEnabledForEventType(event->name())) return false;
    return shouldDiscardEventWithInstallationID(installationID, factor);
}

bool TDGEventFilter::shouldDiscardEventWithInstallationID(const QString& installationID, qint64 factor) {
    if (installationID.isEmpty() || factor < 2) return false;
    return qint64(javaHashCodeForString(installationID)) % factor != 0;
}

qint32 TDGEventFilter::javaHashCodeForString(const QString& text) {
    quint32 hash = 0;
    for (const QChar c : text) hash = hash * 31u + c.unicode();
    return qint32(hash);
}
