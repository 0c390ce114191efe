#include "kits/faultline/reports/FLTBetaController.h"

#include "kits/faultline/reports/FLTKitIdentity.h"
#include "platform/AppBundle.h"
#include "platform/NotificationCenter.h"
#include "platform/OperationQueue.h"
#include "platform/SystemLog.h"
#include "kits/trellis/TRLCertificatePinner.h"
#include "kits/trellis/TRLHelpers.h"
#include "kits/trellis/TRLNetworkClient.h"
#include "kits/trellis/TRLSettings.h"
#include "kits/trellis/TRLURLBuilder.h"
#include "kits/trellis/Trellis.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QLocale>

std::optional<FLTBetaUpdate> FLTBetaUpdate::betaUpdateWithDictionary(const QVariantMap& dictionary, QVError* error) {
    const QVariant url = dictionary.value(QStringLiteral("url"));
    const QUrl parsed = url.typeId() == QMetaType::QString ? QUrl(url.toString(), QUrl::StrictMode) : QUrl();
    if (!parsed.isValid() || parsed.scheme().isEmpty()) {
        if (error) *error = QVError::make(QStringLiteral("NSURLErrorDomain"), -1017, QStringLiteral("The beta update cannot be read."));
        return std::nullopt;
    }
    FLTBetaUpdate update;
    update.url = parsed;
    const QVariant version = dictionary.value(QStringLiteral("version_string"));
    if (version.typeId() == QMetaType::QString) update.version = version.toString();
    return update;
}

QString FLTBetaUpdate::promptTitle() {
    return AppBundle::main().localizedString(QStringLiteral("FaultlineDistributionPromptTitle"), QStringLiteral("New Build Available"), QStringLiteral("Faultline"));
}
QString FLTBetaUpdate::promptMessage() {
    const QString format = AppBundle::main().localizedString(QStringLiteral("FaultlineDistributionPromptMessage"),
                                                             QStringLiteral("A new version of %@ is available for testing."), QStringLiteral("Faultline"));
    return QString(format).replace(QStringLiteral("%@"), TRLBundleDisplayName());
}
QString FLTBetaUpdate::cancelLabel() {
    return AppBundle::main().localizedString(QStringLiteral("FaultlineDistributionPromptCancelTitle"), QStringLiteral("Cancel"), QStringLiteral("Faultline"));
}
QString FLTBetaUpdate::installLabel() {
    return AppBundle::main().localizedString(QStringLiteral("FaultlineDistributionPromptInstallTitle"), QStringLiteral("Install"), QStringLiteral("Faultline"));
}

bool FLTBetaController::isBetaSupported() { return TRLInstallSource() == 3; }

std::shared_ptr<FLTBetaController> FLTBetaController::make(std::weak_ptr<FLTBetaControllerDelegate> delegate, QString betaToken, bool supported) {
    std::shared_ptr<FLTBetaController> c(new FLTBetaController());
    c->_delegate = std::move(delegate);
    c->_betaToken = std::move(betaToken);
    c->_supported = supported;
    c->_queue = std::make_shared<OperationQueue>(QLatin1String(FLTKitBundleIdentifier) + QStringLiteral(".beta"));
    c->_networkClient = TRLNetworkClient::make(nullptr, TRLCertificatePinner::pinnedCertificates());
    if (c->_networkClient)
        c->_networkClient->setDebugModeProvider([] { return FLTDebugMode(); });
    else
        c->betaLog(QStringLiteral("[Faultline:Beta] Failed to configure networking"));
    return c;
}

FLTBetaController::~FLTBetaController() {
    if (_observer) NotificationCenter::defaultCenter().removeObserver(_observer);
}

void FLTBetaController::betaLog(const QString& line) const {
    if (FLTDebugMode()) SystemLog::notice(line);
}

bool FLTBetaController::start() {
    if (_betaToken.isEmpty()) return false;
    std::weak_ptr<FLTBetaController> weak = weak_from_this();
    _observer = NotificationCenter::defaultCenter().addObserver(QLatin1String(TRLSettingsAvailableNotification), nullptr, [weak](const auto&) {
        if (auto self = weak.lock()) self->checkForUpdate();
    });
    return true;
}

bool FLTBetaController::shouldGetUpdates() const {
    QMutexLocker locker(&_lock);
    return _supported && !_checksSuspended;
}

bool FLTBetaController::checksSuspended() const {
    QMutexLocker locker(&_lock);
    return _checksSuspended;
}

std::optional<FLTBetaUpdate> FLTBetaController::activeUpdate() const {
    QMutexLocker locker(&_lock);
    return _activeUpdate;
}

void FLTBetaController::checkForUpdate() {
    std::weak_ptr<FLTBetaController> weak = weak_from_this();
    _queue->async([weak] {
        if (auto self = weak.lock()) self->maybeGetUpdate();
    });
}

HttpRequest FLTBetaController::updateRequest() const {
    auto d = _delegate.lock();
    const FLTSettings settings = d ? d->settingsForBetaController() : FLTSettings();
    TRLURLBuilder builder = TRLURLBuilder::URLWithBase(settings.betaEndpoint());
    builder.appendComponent(QStringLiteral("/spi/v2/platforms/"));
    builder.appendComponent(QStringLiteral("mac"));
    builder.appendComponent(QStringLiteral("/apps/"));
    builder.escapeAndAppendComponent(TRLEscapedBundleIdentifier());
    builder.appendComponent(QStringLiteral("/beta_update_check"));
    builder.appendValue(TRLBundleVersion(), QStringLiteral("build_version"));
    builder.appendValue(TRLBundleShortVersion(), QStringLiteral("display_version"));
    builder.appendValue(Trellis::sharedSDK().instanceIdentifier(), QStringLiteral("instance"));
    builder.appendValue(TRLInstallSource(), QStringLiteral("source"));
    betaLog(QStringLiteral("[Faultline:Beta] Beta Update-Check url string: '%1'").arg(builder.URLString()));
    HttpRequest request;
    request.url = builder.URL();
    request.idleTimeoutMs = 10000;
    FLTSetKitRequestHeaders(request, FLTKitBundleIdentifier, d ? d->APIKeyForBetaController() : QString());
    request.setHeader("X-Faultline-Beta-Token", _betaToken.toUtf8());
    request.pinnedRootsPemPath = settings.betaEndpointPinnedRoots();
    return request;
}

void FLTBetaController::maybeGetUpdate() {
    {
        QMutexLocker locker(&_lock);
        if (!_supported || _checksSuspended || _retrying) return;
        _retrying = true;
    }
    betaLog(QStringLiteral("[Faultline:Beta] Loading beta update"));
    const HttpRequest request = updateRequest();
    std::weak_ptr<FLTBetaController> weak = weak_from_this();
    if (!request.url.isValid()) {
        betaLog(QStringLiteral("[Faultline:Beta] Failed to load update '%1'").arg(QStringLiteral("no beta endpoint")));
        if (_checkFinished) _checkFinished();
        return;
    }
    _networkClient->startDataTaskWithRequest(request, 10, 0, [weak](const QByteArray& data, const HttpResponse&, const QVError& error) {
        auto self = weak.lock();
        if (!self) return;
        self->_queue->async([weak, data, error] {
            auto s = weak.lock();
            if (!s) return;
            if (!data.isEmpty() && error.isNull()) {
                s->betaLog(QStringLiteral("[Faultline:Beta] Beta update loaded"));
                s->temporarilySuspendChecks();
                QVError parseError;
                const auto update = updateWithData(data, &parseError);
                QMutexLocker locker(&s->_lock);
                s->_retrying = false;
                if (!update)
                    s->betaLog(QStringLiteral("[Faultline:Beta] Beta update url is invalid"));
                else
                    s->_activeUpdate = update;
            } else {
                // Left marked as running: no further check in this process.
                s->betaLog(QStringLiteral("[Faultline:Beta] Failed to load update '%1'").arg(error.localizedDescription()));
            }
            if (s->_checkFinished) s->_checkFinished();
        });
    });
}

std::optional<FLTBetaUpdate> FLTBetaController::updateWithData(const QByteArray& data, QVError* error) {
    QJsonParseError parse{};
    const QJsonDocument document = QJsonDocument::fromJson(data, &parse);
    if (parse.error != QJsonParseError::NoError) {
        SystemLog::notice(QStringLiteral("[Faultline:Beta] Unable to deserialize beta update data: %1").arg(parse.errorString()));
        if (error) *error = QVError::make(QStringLiteral("NSURLErrorDomain"), -1017, parse.errorString());
        return std::nullopt;
    }
    auto update = document.isObject() ? FLTBetaUpdate::betaUpdateWithDictionary(document.object().toVariantMap(), error) : std::nullopt;
    if (!update) {
        SystemLog::notice(QStringLiteral("[Faultline:Beta] Unable to read beta update data: %1").arg(QString::fromUtf8(data.left(256))));
        if (error && error->isNull()) *error = QVError::make(QStringLiteral("NSURLErrorDomain"), -1017, QStringLiteral("The beta update cannot be read."));
    }
    return update;
}

void FLTBetaController::temporarilySuspendChecks() {
    auto d = _delegate.lock();
    const double seconds = d ? d->settingsForBetaController().betaSuspendDuration() : 3600;
    {
        QMutexLocker locker(&_lock);
        _checksSuspended = true;
    }
    std::weak_ptr<FLTBetaController> weak = weak_from_this();
    _queue->after(std::chrono::milliseconds(qint64(seconds * 1000)), [weak] {
        if (auto self = weak.lock()) {
            QMutexLocker locker(&self->_lock);
            self->_checksSuspended = false;
        }
    });
}
