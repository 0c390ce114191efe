// Fetches the settings document with one GET (tried at most twice) and puts it in place of the
// cached "settings.json": downloaded into an owner-only file beside it and renamed over it, so
// the cache is the old document or the new one, never none and never a part.
#pragma once

#include "kits/trellis/TRLAsyncOperation.h"
#include "kits/trellis/TRLNetworkClient.h"

#include <memory>

class TRLDownloadAndSaveSettingsOperation;

class TRLDownloadAndSaveSettingsOperationDelegate {
public:
    virtual ~TRLDownloadAndSaveSettingsOperationDelegate() = default;
    virtual void operationDidDownloadAndSaveSettingsWithError(TRLDownloadAndSaveSettingsOperation& operation, const QVError& error) = 0;
};

class TRLDownloadAndSaveSettingsOperation : public TRLNetworkOperation {
public:
    TRLDownloadAndSaveSettingsOperation(const QString& APIKey, std::weak_ptr<TRLDownloadAndSaveSettingsOperationDelegate> delegate,
                                        const QUrl& settingsURL, const QString& settingsDirectoryPath, const QString& settingsFilePath,
                                        const QString& installIdentifier, const QString& advertisingToken,
                                        std::weak_ptr<TRLNetworkClient> networkClient, bool debug = false);

    HttpRequest settingsRequest() const;
    QVError error() const { return _error; }
    QString advertisingToken() const { return _advertisingToken; }
    // Roots the settings endpoint names for itself (a PEM file); empty for the pinned ones.
    void setEndpointRootsPath(const QString& path) { _endpointRootsPath = path; }

protected:
    void main() override;

private:
    void save(const QString& downloaded);
    void done(const QVError& error);

    std::weak_ptr<TRLDownloadAndSaveSettingsOperationDelegate> _delegate;
    QUrl _settingsURL;
    QString _settingsDirectoryPath, _settingsFilePath, _installIdentifier, _advertisingToken, _endpointRootsPath;
    std::weak_ptr<TRLNetworkClient> _networkClient;
    QVError _error;
};
