#include "kits/trellis/TRLDownloadAndSaveSettingsOperation.h"

#include "platform/SystemLog.h"
#include "kits/trellis/TRLConstants.h"
#include "kits/trellis/TRLHelpers.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace {

const QString partialPrefix = QStringLiteral(".settings-");
const QString partialSuffix = QStringLiteral(".download");

}  // namespace

TRLDownloadAndSaveSettingsOperation::TRLDownloadAndSaveSettingsOperation(
    const QString& APIKey, std::weak_ptr<TRLDownloadAndSaveSettingsOperationDelegate> delegate, const QUrl& settingsURL,
    const QString& settingsDirectoryPath, const QString& settingsFilePath, const QString& installIdentifier,
    const QString& advertisingToken, std::weak_ptr<TRLNetworkClient> networkClient, bool debug)
    : TRLNetworkOperation(APIKey), _delegate(std::move(delegate)), _settingsURL(settingsURL), _settingsDirectoryPath(settingsDirectoryPath),
      _settingsFilePath(settingsFilePath), _installIdentifier(installIdentifier), _networkClient(std::move(networkClient)) {
    if (TRLShouldCollectDeviceIdentifiers())
        _advertisingToken = advertisingToken;
    else if (debug)
        SystemLog::notice(QStringLiteral("[Trellis] Suppressing device identifier reporting"));
}

HttpRequest TRLDownloadAndSaveSettingsOperation::settingsRequest() const {
    HttpRequest r = mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(_settingsURL);
    r.method = "GET";
    r.setHeader("Accept", "application/json");
    r.setHeader("X-Faultline-Installation-ID", _installIdentifier.toUtf8());
    r.setHeader("X-Faultline-Device-Model", TRLHardwareModel().toUtf8());
    r.setHeader("X-Faultline-OS-Build-Version", TRLOSBuildVersion().toUtf8());
    r.setHeader("X-Faultline-OS-Display-Version", TRLOSDisplayVersion().toUtf8());
    r.setHeader("X-Faultline-API-Client-Version", TRLSDKDisplayVersion);
    if (!_advertisingToken.isEmpty()) r.setHeader("X-Faultline-Advertising-Token", _advertisingToken.toUtf8());
    r.pinnedRootsPemPath = _endpointRootsPath;
    return r;
}

void TRLDownloadAndSaveSettingsOperation::main() {
    auto client = _networkClient.lock();
    if (!client) {
        done(QVError::make(QString::fromLatin1(TRLNetworkErrorDomain), -3, QStringLiteral("no network client")));
        return;
    }
    if (!QDir().mkpath(_settingsDirectoryPath)) {
        done(QVError::posix(errno, QStringLiteral("create"), _settingsDirectoryPath));
        return;
    }
    // Leftovers of a run killed mid-download are never read; they go before a new one.
    for (const QString& name : QDir(_settingsDirectoryPath).entryList({partialPrefix + QLatin1Char('*') + partialSuffix}, QDir::Files | QDir::Hidden))
        QFile::remove(_settingsDirectoryPath + QLatin1Char('/') + name);
    HttpRequest request = settingsRequest();
    request.downloadFilePath = _settingsDirectoryPath + QLatin1Char('/') + partialPrefix + TRLGenerateUUIDString() + partialSuffix;
    std::shared_ptr<Operation> self = shared_from_this();
    client->startDownloadTaskWithRequest(request, 1, 0, [this, self](const QString& file, const HttpResponse&, const QVError& error) {
        if (error) {
            done(error);
            return;
        }
        save(file);
    });
}

void TRLDownloadAndSaveSettingsOperation::save(const QString& downloaded) {
    QVError error;
    const QByteArray from = QFile::encodeName(downloaded), to = QFile::encodeName(_settingsFilePath);
    const int fd = ::open(from.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0 || ::rename(from.constData(), to.constData()) != 0) {
        error = QVError::posix(errno, QStringLiteral("move"), _settingsFilePath);
        SystemLog::error(QStringLiteral("[Trellis] Unable to complete settings download %1").arg(error.localizedDescription()));
        QFile::remove(downloaded);
    } else {
        const int dir = ::open(QFile::encodeName(_settingsDirectoryPath).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
    }
    if (fd >= 0) ::close(fd);
    done(error);
}

void TRLDownloadAndSaveSettingsOperation::done(const QVError& error) {
    _error = error;
    if (auto delegate = _delegate.lock()) delegate->operationDidDownloadAndSaveSettingsWithError(*this, error);
    finishWithError(error);
}
