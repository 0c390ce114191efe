#include "kits/trellis/TRLSettingsOnboardingManager.h"

#include "platform/NotificationCenter.h"
#include "platform/Paths.h"
#include "platform/SystemLog.h"
#include "shell/QVOutsideServices.h"
#include "kits/trellis/TRLCertificatePinner.h"
#include "kits/trellis/TRLConstants.h"
#include "kits/trellis/TRLHelpers.h"

TRLSettingsOnboardingManager::TRLSettingsOnboardingManager(std::shared_ptr<const TRLApplicationIdentiferModel> model, Hooks hooks)
    : _appIdentifierModel(std::move(model)), _hooks(std::move(hooks)),
      _settingsModel(settingsDirectoryPath() + QStringLiteral("/settings.json")) {}

std::shared_ptr<TRLSettingsOnboardingManager> TRLSettingsOnboardingManager::make(std::shared_ptr<const TRLApplicationIdentiferModel> model, Hooks hooks) {
    std::shared_ptr<TRLSettingsOnboardingManager> m(new TRLSettingsOnboardingManager(std::move(model), std::move(hooks)));
    m->_networkClient = TRLNetworkClient::make(nullptr, TRLCertificatePinner::pinnedCertificates());
    m->_networkClient->setDebugModeProvider(m->_hooks.debug);
    return m;
}

void TRLSettingsOnboardingManager::debugLog(const QString& line) const {
    if (debug()) SystemLog::notice(line);
}

QVariantMap TRLSettingsOnboardingManager::configuration() {
    const QVariant v = TRLInfoDictionary().value(QStringLiteral("Faultline"));
    return v.typeId() == QMetaType::QVariantMap ? v.toMap() : QVariantMap();
}

QVariantMap TRLSettingsOnboardingManager::defaultConfiguration() {
    return {{QStringLiteral("SettingsEndpoint"), QString()}, {QStringLiteral("ConfigureEndpoint"), QString()}};
}

QString TRLSettingsOnboardingManager::valueForConfigurationKey(const QString& key) {
    const QByteArray name = key.toUtf8();
    if (qEnvironmentVariableIsSet(name.constData())) return qEnvironmentVariable(name.constData());
    const QVariant v = configuration().value(key);
    if (v.typeId() == QMetaType::QString) return v.toString();
    return defaultConfiguration().value(key).toString();
}

QString TRLSettingsOnboardingManager::settingsDirectoryPath() {
    return Paths::cacheHome() + QLatin1Char('/') + QLatin1String(TRLSDKIdentifier) + QStringLiteral(".data/") + TRLBundleIdentifier();
}

QString TRLSettingsOnboardingManager::settingsPath() const { return _settingsModel.settingsPath(); }

QUrl TRLSettingsOnboardingManager::settingsURL() const {
    const QString endpoint = valueForConfigurationKey(QStringLiteral("SettingsEndpoint"));
    if (endpoint.isEmpty()) return {};
    QString hash;
    if (_appIdentifierModel && _appIdentifierModel->icon()) hash = _appIdentifierModel->icon()->dataHash();
    return _settingsModel.settingsURLForEndpoint(endpoint, _appIdentifierModel ? _appIdentifierModel->instanceIdentifier() : QString(), hash);
}

bool TRLSettingsOnboardingManager::hasAttemptedAppConfigure() const {
    QMutexLocker locker(&_lock);
    return _hasAttemptedAppConfigure;
}

void TRLSettingsOnboardingManager::setFinishedHandler(std::function<void()> handler) {
    QMutexLocker locker(&_lock);
    _finishedHandler = std::move(handler);
}

void TRLSettingsOnboardingManager::beginSettingsAndOnboardingOperationsWithAPIKey(const QString& APIKey, const TRLKitVersions& kitVersions) {
    {
        QMutexLocker locker(&_lock);
        _APIKey = APIKey;
        _kitVersions = kitVersions;
    }
    beginSettingsDownload();
}

void TRLSettingsOnboardingManager::beginSettingsDownload() {
    const QUrl url = settingsURL();
    if (url.isEmpty() || !QVOutsideServices::trackingAllowed()) {
        debugLog(url.isEmpty() ? QStringLiteral("[Trellis] No settings endpoint is set; nothing is sent")
                               : QStringLiteral("[Trellis] The user has not agreed to send usage data; nothing is sent"));
        finishNetworkingSession();
        return;
    }
    QString APIKey;
    {
        QMutexLocker locker(&_lock);
        APIKey = _APIKey;
    }
    auto op = std::make_shared<TRLDownloadAndSaveSettingsOperation>(
        APIKey, weak_from_this(), url, settingsDirectoryPath(), settingsPath(), _appIdentifierModel ? _appIdentifierModel->installID() : QString(),
        _hooks.advertisingToken ? _hooks.advertisingToken() : QString(), _networkClient, debug());
    op->setEndpointRootsPath(valueForConfigurationKey(QStringLiteral("SettingsEndpointPinnedRoots")));
    {
        QMutexLocker locker(&_lock);
        _settingsOperation = op;
    }
    op->start();
}

void TRLSettingsOnboardingManager::beginOnboarding(bool create, const QString& endpointString) {
    std::shared_ptr<TRLOnboardingOperation> previous, op;
    {
        QMutexLocker locker(&_lock);
        previous = _onboardingOperation;
        op = std::make_shared<TRLOnboardingOperation>(weak_from_this(), create, _APIKey, _kitVersions, _appIdentifierModel, endpointString, _networkClient);
        _onboardingOperation = op;
    }
    if (previous) previous->cancel();
    op->setEndpointRootsPath(valueForConfigurationKey(QStringLiteral("ConfigureEndpointPinnedRoots")));
    op->start();
}

void TRLSettingsOnboardingManager::finishNetworkingSession() {
    std::function<void()> handler;
    {
        QMutexLocker locker(&_lock);
        if (_finished) return;
        _finished = true;
        handler = _finishedHandler;
    }
    _networkClient->invalidateAndCancel();
    if (handler) handler();
}

void TRLSettingsOnboardingManager::postSettingsDownloadCompletedNotification() {
    debugLog(QStringLiteral("[Trellis] Settings are available for consumption"));
    NotificationCenter::defaultCenter().post(QString::fromLatin1(TRLSettingsAvailableNotification));
}

void TRLSettingsOnboardingManager::operationDidDownloadAndSaveSettingsWithError(TRLDownloadAndSaveSettingsOperation&, const QVError& error) {
    if (error) {
        SystemLog::error(QStringLiteral("[Trellis] failed to download settings %1").arg(error.localizedDescription()));
        finishNetworkingSession();
        return;
    }
    debugLog(QStringLiteral("[Trellis] settings downloaded successfully"));
    _settingsModel.clearSettingsDictionary();
    if (hasAttemptedAppConfigure()) {
        debugLog(QStringLiteral("[Trellis] App already onboarded in this run of the app"));
        postSettingsDownloadCompletedNotification();
        finishNetworkingSession();
        return;
    }
    const QString configure = valueForConfigurationKey(QStringLiteral("ConfigureEndpoint"));
    if (_settingsModel.appNeedsOnboarding() && !configure.isEmpty()) {
        debugLog(QStringLiteral("[Trellis] Starting onboarding with app create"));
        {
            QMutexLocker locker(&_lock);
            _hasAttemptedAppConfigure = true;
        }
        beginOnboarding(true, configure);
        return;
    }
    postSettingsDownloadCompletedNotification();
    if (_settingsModel.appUpdateRequired() && !configure.isEmpty()) {
        debugLog(QStringLiteral("[Trellis] Starting onboarding with app update"));
        {
            QMutexLocker locker(&_lock);
            _hasAttemptedAppConfigure = true;
        }
        beginOnboarding(false, configure);
    } else {
        finishNetworkingSession();
    }
}

void TRLSettingsOnboardingManager::onboardingOperationDidCompleteAppCreationWithError(TRLOnboardingOperation&, const QVError& error) {
    if (error) {
        SystemLog::error(QStringLiteral("[Trellis] unable to complete application configure: %1").arg(error.localizedDescription()));
        finishNetworkingSession();
        return;
    }
    {
        QMutexLocker locker(&_lock);
        _onboardingOperation.reset();
    }
    debugLog(QStringLiteral("[Trellis] completed configure"));
    beginSettingsDownload();
}

void TRLSettingsOnboardingManager::onboardingOperationDidCompleteAppUpdateWithError(TRLOnboardingOperation&, const QVError& error) {
    finishNetworkingSession();
    if (error) {
        SystemLog::error(QStringLiteral("[Trellis] unable to complete application update: %1").arg(error.localizedDescription()));
        return;
    }
    {
        QMutexLocker locker(&_lock);
        _onboardingOperation.reset();
    }
    debugLog(QStringLiteral("[Trellis] completed application update"));
}
