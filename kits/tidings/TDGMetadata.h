// The session description that opens every event log, the previous run's copy of it kept in
// "crash_metadata" (so a crash learnt at the next launch is reported with the run that crashed),
// and the sampling filter for lifecycle events.
#pragma once

#include "kits/tidings/TDGJson.h"
#include "platform/Operation.h"

#include <QByteArray>
#include <QSet>
#include <QString>

#include <optional>

class Trellis;
class TDGEvent;

class TDGMetadataSerializable {
public:
    virtual ~TDGMetadataSerializable() = default;
    virtual QString eventName() const { return QStringLiteral("metadata"); }
    // Compact JSON of the dictionary; empty when there is none to write.
    virtual QByteArray jsonWithStartTime(quint64 startTime) const = 0;
};

class TDGMetadata : public TDGMetadataSerializable {
public:
    TDGMetadata(Trellis& trellis, const QString& betaToken);
    // "2:<token>" is a beta tester's token; any other form is none.
    static std::optional<QString> unwrapBetaToken(const QString& token);

    TDGJsonObject dictionaryRepresentationWithStartTime(quint64 startTime) const;
    QByteArray jsonWithStartTime(quint64 startTime) const override;

    QString APIKey() const { return _APIKey; }
    std::optional<QString> betaToken() const { return _betaToken; }
    QString installationId() const { return _installationId; }
    QString executionIdentifier() const { return _executionIdentifier; }
    static std::optional<QString> identifierForAdvertising() { return std::nullopt; }

private:
    quint32 _numberOfCores = 1;
    QString _APIKey;
    std::optional<QString> _betaToken;
    QString _buildVersion, _bundleIdentifier, _displayVersion, _executionIdentifier, _hostModel, _installationId,
        _instanceIdentifier, _locale, _OSBuildVersion, _OSDisplayVersion;
};

class TDGCrashMetadata : public TDGMetadataSerializable {
public:
    // The JSON object of the file, compact; none when unreadable or not an object.
    static std::optional<QByteArray> readSerializedDictionaryFromURL(const QString& path);
    // Replaces the file atomically: a kill leaves the old file or the whole new one.
    static bool writeSerializedDictionary(const QByteArray& json, const QString& path);

    explicit TDGCrashMetadata(QByteArray json = "{}") : _rawMetadata(std::move(json)) {}
    QByteArray rawMetadata() const { return _rawMetadata; }
    bool isEmpty() const;
    // The stored dictionary whatever the start time; none when it is empty.
    QByteArray jsonWithStartTime(quint64) const override { return isEmpty() ? QByteArray() : _rawMetadata; }

private:
    QByteArray _rawMetadata;
};

class TDGRotateCrashMetadataOperation : public Operation {
public:
    TDGRotateCrashMetadataOperation(QString crashMetadataPath, const TDGMetadata& currentMetadata);
    // The previous run's metadata once main() ran (empty when there was none).
    TDGCrashMetadata crashMetadata() const { return _crashMetadata; }

protected:
    void main() override;

private:
    QString _crashMetadataPath;
    QByteArray _currentMetadataJson;
    TDGCrashMetadata _crashMetadata;
};

class TDGEventFilter {
public:
    bool shouldDiscardEvent(const TDGEvent* event, const std::optional<QString>& betaToken, const QString& installationID,
                            qint64 factor) const;
    static bool samplingEnabledForEventType(const QString& name);
    static bool shouldDiscardEventWithInstallationID(const QString& installationID, qint64 factor);
    static qint32 javaHashCodeForString(const QString& text);
};
