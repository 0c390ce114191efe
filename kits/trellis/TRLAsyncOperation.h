// The base of kit operations that finish after main() returns, and of the network ones that
// build every request with the kits' identifying headers.
#pragma once

#include "platform/HttpEngine.h"
#include "platform/Operation.h"
#include "platform/QVError.h"

#include <QString>
#include <QUrl>

#include <functional>

class TRLAsyncOperation : public Operation {
public:
    bool isAsynchronous() const override { return true; }
    // Called by finishWithError() with the outcome, before the operation counts as finished.
    void setAsyncCompletion(std::function<void(const QVError&)> completion);
    // Finishes the operation when it was cancelled; answers whether it was.
    bool checkForCancellation();
    void finishWithError(const QVError& error);

private:
    std::function<void(const QVError&)> _asyncCompletion;
};

class TRLNetworkOperation : public TRLAsyncOperation {
public:
    explicit TRLNetworkOperation(QString APIKey) : _APIKey(std::move(APIKey)) {}
    QString APIKey() const { return _APIKey; }

    // A GET for the URL with the nine identifying headers and a 10-second idle time-out.
    HttpRequest mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(const QUrl& url) const;
    HttpRequest mutableRequestWithDefaultHTTPHeadersForURL(const QUrl& url, double timeoutSeconds) const;

private:
    QString _APIKey;
};
