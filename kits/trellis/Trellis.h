// The kits' one entry point and shared identity: the application starts its kits with one call;
// every kit reads from here the API key, the installation UUID kept across launches, this run's
// execution identifier, the build's instance identifier, the cached server settings and the debug
// switch.
#pragma once

#include "kits/trellis/TRLApplicationIdentiferModel.h"
#include "kits/trellis/TRLKitRegistry.h"
#include "kits/trellis/TRLOnboardingOperation.h"

#include <QMutex>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <memory>
#include <optional>

class FLTUserDefaults;
class TRLSettingsOnboardingManager;

class Trellis {
public:
    static Trellis& sharedSDK();
    // Validates and orders the kits, starts each, then downloads the settings. Only the first call
    // does anything; later ones log. Raises TRLException for a broken configuration (no Info
    // dictionary, no "Trellis" dictionary, no API key string, a name that is no kit).
    static Trellis& with(const QList<TRLKitReference>& kits);
    // The same for the launch: a broken configuration is logged as a fault, never raised.
    // Answers whether the kits were started.
    static bool startFromLaunch(const QList<TRLKitReference>& kits) noexcept;
    // For tests: forgets the shared instance and the first call, as a new launch would.
    static void resetSharedForTests();

    // Creates the identity from the store (the installation UUID made and written once).
    explicit Trellis(FLTUserDefaults& defaults);
    ~Trellis();
    Trellis(const Trellis&) = delete;
    Trellis& operator=(const Trellis&) = delete;

    QStringList kitClasses() const;
    QVariantMap trellisConfig();
    QString APIKey();
    void setAPIKey(const QString& key);
    QString installID() const { return _installID; }
    bool isFirstInstall() const { return _isFirstInstall; }
    QString executionIdentifier() const { return _executionIdentifier; }
    QString advertisingToken() const;
    void setAdvertisingToken(const QString& token);
    // The cached server settings; nothing while none are cached.
    std::optional<QVariantMap> settings() const;
    QString instanceIdentifier() const;
    bool debug() const;
    void setDebug(bool debug);

    // The "KitInfo" of the kit's "Kits" entry: empty when it has none, nothing when not listed.
    std::optional<QVariantMap> configurationDictionaryForKitClass(const QString& kitName);
    TRLKitVersions kitVersionsByKitBundleIdentifier() const;
    void onboardAppAndDownloadSettings();

    std::shared_ptr<TRLSettingsOnboardingManager> settingsAndOnboardingManager() const { return _settingsAndOnboardingManager; }
    std::shared_ptr<const TRLApplicationIdentiferModel> applicationIdentifierModel() const { return _applicationIdentifierModel; }

    static QString installationUUIDKey();

private:
    void start(const QList<TRLKitReference>& kits);

    mutable QMutex _lock;
    QStringList _kitClasses;
    std::optional<QVariantMap> _trellisConfig;
    QString _APIKey;
    QString _installID;
    bool _isFirstInstall = false;
    QString _executionIdentifier;
    QString _advertisingToken;
    bool _debug = false;
    std::shared_ptr<const TRLApplicationIdentiferModel> _applicationIdentifierModel;
    std::shared_ptr<TRLSettingsOnboardingManager> _settingsAndOnboardingManager;
};
