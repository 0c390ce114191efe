// The launch-time conversation with the services: download the settings; register an unknown
// application and download again; update a record the service asks to update; announce fresh
// settings; close the session when nothing is left. Nothing is sent without an endpoint and the
// user's consent; endpoints have no default.
#pragma once

#include "kits/trellis/TRLDownloadAndSaveSettingsOperation.h"
#include "kits/trellis/TRLOnboardingOperation.h"
#include "kits/trellis/TRLSettings.h"

#include <QMutex>

#include <functional>
#include <memory>

class TRLSettingsOnboardingManager : public TRLDownloadAndSaveSettingsOperationDelegate,
                                     public TRLOnboardingOperationDelegate,
                                     public std::enable_shared_from_this<TRLSettingsOnboardingManager> {
public:
    struct Hooks {
        std::function<QString()> advertisingToken;
        std::function<bool()> debug;
    };
    static std::shared_ptr<TRLSettingsOnboardingManager> make(std::shared_ptr<const TRLApplicationIdentiferModel> appIdentifierModel, Hooks hooks = {});

    void beginSettingsAndOnboardingOperationsWithAPIKey(const QString& APIKey, const TRLKitVersions& kitVersions);
    void beginSettingsDownload();
    void beginOnboarding(bool create, const QString& endpointString);

    // The "Faultline" dictionary of the Info dictionary, read on every call.
    static QVariantMap configuration();
    // Both endpoints unset, and no roots of their own.
    static QVariantMap defaultConfiguration();
    // The environment variable of that name, else the configuration's value, else the default.
    static QString valueForConfigurationKey(const QString& key);
    static QString settingsDirectoryPath();
    QString settingsPath() const;
    QUrl settingsURL() const;
    void finishNetworkingSession();
    void postSettingsDownloadCompletedNotification();

    TRLSettings& settingsModel() { return _settingsModel; }
    std::shared_ptr<TRLNetworkClient> networkClient() const { return _networkClient; }
    bool hasAttemptedAppConfigure() const;
    // Runs when the conversation is over (session finished), for tests and shutdown.
    void setFinishedHandler(std::function<void()> handler);

    void operationDidDownloadAndSaveSettingsWithError(TRLDownloadAndSaveSettingsOperation& operation, const QVError& error) override;
    void onboardingOperationDidCompleteAppCreationWithError(TRLOnboardingOperation& operation, const QVError& error) override;
    void onboardingOperationDidCompleteAppUpdateWithError(TRLOnboardingOperation& operation, const QVError& error) override;

private:
    explicit TRLSettingsOnboardingManager(std::shared_ptr<const TRLApplicationIdentiferModel> model, Hooks hooks);
    bool debug() const { return _hooks.debug && _hooks.debug(); }
    void debugLog(const QString& line) const;

    std::shared_ptr<const TRLApplicationIdentiferModel> _appIdentifierModel;
    Hooks _hooks;
    TRLSettings _settingsModel;
    std::shared_ptr<TRLNetworkClient> _networkClient;
    mutable QMutex _lock;
    std::shared_ptr<TRLDownloadAndSaveSettingsOperation> _settingsOperation;
    std::shared_ptr<TRLOnboardingOperation> _onboardingOperation;
    bool _hasAttemptedAppConfigure = false;
    bool _finished = false;
    QString _APIKey;
    TRLKitVersions _kitVersions;
    std::function<void()> _finishedHandler;
};
