#include "kits/trellis/TRLOnboardingOperation.h"

#include "platform/SystemLog.h"
#include "kits/trellis/TRLHelpers.h"
#include "kits/trellis/TRLMultipartMimeStreamEncoder.h"
#include "kits/trellis/TRLSettings.h"
#include "kits/trellis/TRLURLBuilder.h"

#include <QBuffer>

TRLOnboardingOperation::TRLOnboardingOperation(std::weak_ptr<TRLOnboardingOperationDelegate> delegate, bool shouldCreate, const QString& APIKey,
                                               const TRLKitVersions& kitVersions,
                                               std::shared_ptr<const TRLApplicationIdentiferModel> appIdentifierModel,
                                               const QString& endpointString, std::weak_ptr<TRLNetworkClient> networkClient)
    : TRLNetworkOperation(APIKey), _delegate(std::move(delegate)), _shouldCreate(shouldCreate), _kitVersions(kitVersions),
      _appIdentifierModel(std::move(appIdentifierModel)), _appEndpoint(endpointString), _networkClient(std::move(networkClient)) {}

QUrl TRLOnboardingOperation::appCreateURL() const {
    TRLURLBuilder b = TRLURLBuilder::URLWithBase(_appEndpoint);
    b.appendComponent(QStringLiteral("/spi/v1/platforms/"));
    b.escapeAndAppendComponent(TRLSettings::appPlatform());
    b.appendComponent(QStringLiteral("/apps"));
    return b.URL();
}

QUrl TRLOnboardingOperation::appUpdateURL() const {
    TRLURLBuilder b = TRLURLBuilder::URLWithBase(_appEndpoint);
    b.appendComponent(QStringLiteral("/spi/v1/platforms/"));
    b.escapeAndAppendComponent(TRLSettings::appPlatform());
    b.appendComponent(QStringLiteral("/apps/"));
    b.escapeAndAppendComponent(TRLEscapedBundleIdentifier());
    return b.URL();
}

HttpRequest TRLOnboardingOperation::onboardingRequestForAppCreate(bool create) const {
    HttpRequest r = mutableRequestWithDefaultHTTPHeadersForURL(create ? appCreateURL() : appUpdateURL(), 10);
    r.method = create ? "POST" : "PUT";
    r.pinnedRootsPemPath = _endpointRootsPath;
    return r;
}

bool TRLOnboardingOperation::encodeBody(QByteArray* body, QString* contentType) const {
    QBuffer buffer(body);
    TRLMultipartMimeStreamEncoder encoder(&buffer, TRLMultipartMimeStreamEncoder::generateBoundary());
    const TRLApplicationIdentiferModel* m = _appIdentifierModel.get();
    auto text = [](const QString& s) { return s.isEmpty() ? QVariant() : QVariant(s); };
    const bool ok = encoder.encode([&] {
        encoder.addValue(text(TRLEscapedBundleIdentifier()), QStringLiteral("app[identifier]"));
        encoder.addValue(text(m ? m->instanceIdentifier() : QString()), QStringLiteral("app[instance_identifier]"));
        encoder.addValue(text(TRLBundleDisplayName()), QStringLiteral("app[name]"));
        encoder.addValue(text(TRLBundleVersion()), QStringLiteral("app[build_version]"));
        encoder.addValue(text(TRLBundleShortVersion()), QStringLiteral("app[display_version]"));
        encoder.addValue(TRLInstallSource(), QStringLiteral("app[source]"));
        encoder.addValue(text(m ? m->minimumSDKString() : QString()), QStringLiteral("app[minimum_sdk_version]"));
        encoder.addValue(text(m ? m->builtSDKString() : QString()), QStringLiteral("app[built_sdk_version]"));
        for (const auto& [identifier, version] : _kitVersions)
            encoder.addValue(text(version), QStringLiteral("app[build][libraries][%1]").arg(identifier));
        if (m) {
            const auto slices = m->architectureUUIDMap();
            for (auto it = slices.cbegin(); it != slices.cend(); ++it) {
                encoder.addValue(it.key(), QStringLiteral("app[slices][][arch]"));
                encoder.addValue(it.value(), QStringLiteral("app[slices][][uuid]"));
            }
            if (const auto& icon = m->icon(); icon && !icon->data().isEmpty() && !icon->dataHash().isEmpty()) {
                encoder.addValue(icon->dataHash(), QStringLiteral("app[icon][hash]"));
                encoder.addValue(icon->prerendered() ? QStringLiteral("true") : QStringLiteral("false"), QStringLiteral("app[icon][prerendered]"));
                encoder.addValue(QString::number(quint64(icon->size().width())), QStringLiteral("app[icon][width]"));
                encoder.addValue(QString::number(quint64(icon->size().height())), QStringLiteral("app[icon][height]"));
                encoder.addFileData(icon->data(), QStringLiteral("icon.png"), QStringLiteral("image/png"), QStringLiteral("app[icon][data]"));
            }
        }
    });
    *contentType = encoder.contentTypeHTTPHeaderValue();
    return ok && quint64(body->size()) == encoder.length();
}

void TRLOnboardingOperation::main() {
    QByteArray body;
    QString contentType;
    if (!encodeBody(&body, &contentType)) {
        SystemLog::error(QStringLiteral("[Trellis] configure failed during onboarding"));
        finishWithError(QVError::make(QStringLiteral("TRLSDKOnboardingErrorDomain"), 0, QStringLiteral("Multipart mime encoder was nil")));
        return;
    }
    auto client = _networkClient.lock();
    if (!client) {
        done(QVError::make(QStringLiteral("TRLSDKOnboardingErrorDomain"), 0, QStringLiteral("no network client")));
        return;
    }
    HttpRequest request = onboardingRequestForAppCreate(_shouldCreate);
    request.setHeader("Content-Type", contentType.toUtf8());
    request.setHeader("Content-Length", QByteArray::number(body.size()));
    request.body = body;
    std::shared_ptr<Operation> self = shared_from_this();
    client->startDataTaskWithRequest(request, _shouldCreate ? 10 : 1, 0, [this, self](const QByteArray&, const HttpResponse&, const QVError& error) {
        done(error);
    });
}

void TRLOnboardingOperation::done(const QVError& error) {
    _error = error;
    if (auto delegate = _delegate.lock()) {
        if (_shouldCreate)
            delegate->onboardingOperationDidCompleteAppCreationWithError(*this, error);
        else
            delegate->onboardingOperationDidCompleteAppUpdateWithError(*this, error);
    }
    finishWithError(error);
}
