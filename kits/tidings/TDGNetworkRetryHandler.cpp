#include "kits/tidings/TDGNetworkRetryHandler.h"

#include "kits/trellis/TRLConstants.h"
#include "kits/trellis/TRLNetworkResponseHandler.h"
#include "kits/trellis/Trellis.h"

#include <cassert>
#include <cmath>
#include <cstdlib>

TDGBackoffTimer::TDGBackoffTimer(double initialValue, double jitterCoefficient)
    : _initialValue(initialValue), _jitterCoefficient(jitterCoefficient) {
    assert(jitterCoefficientIsValid(jitterCoefficient) && "[TDGBackoffTimer jitterCoefficientIsValid:jitterCoefficient]");
}

double TDGBackoffTimer::generateRandomJitter() const {
    const double c = jitterCoefficientIsValid(_jitterCoefficient) ? _jitterCoefficient : 0.1;
    return drand48() * (2 * c) + (1 - c);
}

double TDGBackoffTimer::computeDelayForInitialValue(double initialValue, quint64 retryCount) const {
    const double base = std::isfinite(initialValue) ? std::max(2.0, initialValue) : 2.0;
    const double n = retryCount == 0 ? 1.0 : double(retryCount);
    // In logarithms, so a long count or a large hint reaches the ceiling instead of infinity.
    const double logDelay = n * std::log(base);
    const double raw = logDelay >= std::log(kMaximumDelay) ? kMaximumDelay : std::exp(logDelay);
    return std::min(raw * generateRandomJitter(), kMaximumDelay);
}

std::chrono::milliseconds TDGBackoffTimer::saturatedMilliseconds(double seconds) {
    if (!(seconds > 0)) return std::chrono::milliseconds(0);
    const double ms = seconds * 1000.0;
    if (ms >= 9.2e18) return std::chrono::milliseconds(std::numeric_limits<qint64>::max() / 2);
    return std::chrono::milliseconds(qint64(ms));
}

void TDGBackoffTimer::executeBlockAfterNextInterval(OperationQueue& queue, std::function<void()> block) {
    ++_retryCount;
    queue.after(saturatedMilliseconds(computeDelayForInitialValue(_initialValue, _retryCount)), std::move(block));
}

TDGNetworkRetryHandler::TDGNetworkRetryHandler(std::optional<QByteArray> pinnedRoots)
    : _certPinner(TRLCertificatePinner(pinnedRoots.value_or(TRLCertificatePinner::pinnedCertificates()))) {}

void TDGNetworkRetryHandler::handleChallenge(HttpRequest& request) const {
    if (Trellis::sharedSDK().debug()) return;
    if (_certPinner)
        _certPinner->applyTo(request);
}

QVError TDGNetworkRetryHandler::errorWithCode(qint64 code, const QString& identifier, const HttpRequest& request,
                                              const QVError& handlerError) {
    if (!handlerError.isNull()) return handlerError;
    QVariantMap info{{QStringLiteral("TDGNetworkRetryHandlerIdentifier"), identifier.isEmpty() ? QStringLiteral("(null)") : identifier}};
    if (!request.url.isEmpty()) info.insert(QStringLiteral("NSURLErrorFailingURLErrorKey"), request.url.toString());
    return QVError(QString::fromLatin1(TRLNetworkErrorDomain), code, info);
}

TDGBackoffTimer* TDGNetworkRetryHandler::timerForIdentifier(const QString& identifier, double initialRetryValue) {
    if (identifier.isEmpty()) return nullptr;
    auto& timer = _retryTimerMap[identifier];
    if (!timer) timer = std::make_shared<TDGBackoffTimer>(initialRetryValue, 0.1);
    return timer.get();
}

void TDGNetworkRetryHandler::handleCompletedRequest(const HttpRequest& request, const HttpResponse& response, const QString& identifier,
                                                    const QVError& error, Completion completion, int maxRetries) {
    // The events reached the server once its 2xx status line did; the answer's body does not count.
    HttpResponse judged = response;
    if (TRLNetworkResponseHandler::uploadAccepted(response)) {
        judged.error = HttpResponse::None;
        judged.message.clear();
    }
    bool retry = false;
    QVError classified;
    TRLNetworkResponseHandler::handleCompletedResponse(judged, request, [&](bool r, const QVError& e) {
        retry = r;
        classified = e;
    });
    if (judged.error == HttpResponse::Network && judged.status == 0) retry = true;
    // A 304 passes the classification as a success, yet only a 2xx took the events.
    if (!retry && classified.isNull() && judged.error == HttpResponse::None && !TRLNetworkResponseHandler::uploadAccepted(judged))
        classified = TRLNetworkResponseHandler::errorForResponse(judged, TRLNetworkClientResponseTypeInvalid, judged.status);
    if (classified.isNull() && !error.isNull() && judged.error != HttpResponse::None) classified = error;
    if (!retry) {
        completion(false, classified);
        return;
    }
    TDGBackoffTimer* timer = timerForIdentifier(identifier, TRLNetworkResponseHandler::retryValueForResponse(response));
    if (!timer) {
        completion(false, errorWithCode(NoTimer, identifier, request, classified));
        return;
    }
    if (timer->retryCount() <= quint64(std::max(maxRetries, 0))) {
        timer->executeBlockAfterNextInterval(_timerQueue ? *_timerQueue : OperationQueue::global(),
                                             [completion, classified] { completion(true, classified); });
        return;
    }
    completion(false, errorWithCode(RetriesExhausted, identifier, request, classified));
}
