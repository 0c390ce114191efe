// Registers the application with the service (POST) or updates its record (PUT): one multipart
// request with its identity, versions, kit versions, slice UUIDs and icon.
#pragma once

#include "kits/trellis/TRLApplicationIdentiferModel.h"
#include "kits/trellis/TRLAsyncOperation.h"
#include "kits/trellis/TRLNetworkClient.h"

#include <QList>
#include <QPair>

#include <memory>

class TRLOnboardingOperation;

class TRLOnboardingOperationDelegate {
public:
    virtual ~TRLOnboardingOperationDelegate() = default;
    virtual void onboardingOperationDidCompleteAppCreationWithError(TRLOnboardingOperation& operation, const QVError& error) = 0;
    virtual void onboardingOperationDidCompleteAppUpdateWithError(TRLOnboardingOperation& operation, const QVError& error) = 0;
};

// Kit bundle identifier and version, in the order the kits were started.
using TRLKitVersions = QList<QPair<QString, QString>>;

class TRLOnboardingOperation : public TRLNetworkOperation {
public:
    TRLOnboardingOperation(std::weak_ptr<TRLOnboardingOperationDelegate> delegate, bool shouldCreate, const QString& APIKey,
                           const TRLKitVersions& kitVersions, std::shared_ptr<const TRLApplicationIdentiferModel> appIdentifierModel,
                           const QString& endpointString, std::weak_ptr<TRLNetworkClient> networkClient);

    bool shouldCreate() const { return _shouldCreate; }
    QUrl appCreateURL() const;
    QUrl appUpdateURL() const;
    HttpRequest onboardingRequestForAppCreate(bool create) const;
    // The whole body as sent, with its boundary; false when the encoder failed.
    bool encodeBody(QByteArray* body, QString* contentType) const;
    QVError error() const { return _error; }
    void setEndpointRootsPath(const QString& path) { _endpointRootsPath = path; }

protected:
    void main() override;

private:
    void done(const QVError& error);

    std::weak_ptr<TRLOnboardingOperationDelegate> _delegate;
    bool _shouldCreate;
    TRLKitVersions _kitVersions;
    std::shared_ptr<const TRLApplicationIdentiferModel> _appIdentifierModel;
    QString _appEndpoint, _endpointRootsPath;
    std::weak_ptr<TRLNetworkClient> _networkClient;
    QVError _error;
};
