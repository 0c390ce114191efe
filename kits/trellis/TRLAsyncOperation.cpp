#include "kits/trellis/TRLAsyncOperation.h"

#include "kits/trellis/TRLConstants.h"

#include <QLocale>

void TRLAsyncOperation::setAsyncCompletion(std::function<void(const QVError&)> completion) { _asyncCompletion = std::move(completion); }

bool TRLAsyncOperation::checkForCancellation() {
    if (!isCancelled()) return false;
    finish();
    return true;
}

void TRLAsyncOperation::finishWithError(const QVError& error) {
    if (_asyncCompletion) _asyncCompletion(error);
    finish();
}

HttpRequest TRLNetworkOperation::mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(const QUrl& url) const {
    return mutableRequestWithDefaultHTTPHeadersForURL(url, 10);
}

HttpRequest TRLNetworkOperation::mutableRequestWithDefaultHTTPHeadersForURL(const QUrl& url, double timeoutSeconds) const {
    HttpRequest r;
    r.url = url;
    r.idleTimeoutMs = int(timeoutSeconds * 1000);
    const QByteArray locale = QLocale().name().toUtf8();
    r.headers = {
        {"User-Agent", QStringLiteral("%1/%2 (%3)").arg(QLatin1String(TRLSDKIdentifier), QLatin1String(TRLSDKDisplayVersion),
                                                        QLatin1String(TRLSDKBuildVersion)).toUtf8()},
        {"Accept-Charset", "utf-8"},
        {"Accept-Language", locale},
        {"Content-Language", locale},
        {"X-Faultline-Developer-Token", TRLDeveloperToken},
        {"X-Faultline-API-Client-Id", TRLSDKIdentifier},
        {"X-Faultline-API-Client-Display-Version", TRLSDKDisplayVersion},
        {"X-Faultline-API-Client-Build-Version", TRLSDKBuildVersion},
        {"X-Faultline-API-Key", _APIKey.toUtf8()},
    };
    return r;
}
