// What to do when an event upload completes: the kits' response classification decides whether a
// failure is worth another try (and an unreachable server is); each upload name then backs off
// exponentially on its own timer until the limit. Connections are held to the pinned roots unless the kits run in debug mode.
#pragma once

#include "platform/HttpEngine.h"
#include "platform/OperationQueue.h"
#include "platform/QVError.h"
#include "kits/trellis/TRLCertificatePinner.h"

#include <QHash>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class TDGBackoffTimer {
public:
    // No delay ever exceeds this, whatever the server's hint and the count.
    static constexpr double kMaximumDelay = 4 * 3600;

    explicit TDGBackoffTimer(double initialValue = 0, double jitterCoefficient = 0.1);
    static bool jitterCoefficientIsValid(double c) { return c >= 0 && c < 1; }
    double initialValue() const { return _initialValue; }
    quint64 retryCount() const { return _retryCount; }
    // Raises the count and runs the block on the queue after the next delay.
    void executeBlockAfterNextInterval(OperationQueue& queue, std::function<void()> block);
    // max(2, initial) ^ n times the jitter, n the count (1 for 0), in seconds, never above the
    // maximum and never overflowing.
    double computeDelayForInitialValue(double initialValue, quint64 retryCount) const;
    double generateRandomJitter() const;
    static std::chrono::milliseconds saturatedMilliseconds(double seconds);

private:
    double _initialValue;
    double _jitterCoefficient;
    quint64 _retryCount = 0;
};

class TDGNetworkRetryHandler {
public:
    using Completion = std::function<void(bool retry, const QVError& error)>;
    enum { RetriesExhausted = -6, NoTimer = -7 };

    // Roots: the kits' own, or the PEM file the deployment names for the events endpoint.
    explicit TDGNetworkRetryHandler(std::optional<QByteArray> pinnedRoots = std::nullopt);
    // Puts the trust the request must meet on it (nothing in debug mode: the system's roots).
    void handleChallenge(HttpRequest& request) const;
    // A 2xx status line is success whatever became of the answer's body. Besides what the kits'
    // classification retries, a server that could not be reached (refused, offline, a name not
    // found, a connection dropped before any answer) is tried again like one that timed out.
    void handleCompletedRequest(const HttpRequest& request, const HttpResponse& response, const QString& identifier,
                                const QVError& error, Completion completion, int maxRetries = 10);
    TDGBackoffTimer* timerForIdentifier(const QString& identifier, double initialRetryValue);
    static QVError errorWithCode(qint64 code, const QString& identifier, const HttpRequest& request, const QVError& handlerError);
    const QHash<QString, std::shared_ptr<TDGBackoffTimer>>& retryTimerMap() const { return _retryTimerMap; }
    // For tests: where delayed answers are delivered (the global queue by default).
    void setTimerQueue(OperationQueue* queue) { _timerQueue = queue; }

private:
    std::optional<TRLCertificatePinner> _certPinner;
    QHash<QString, std::shared_ptr<TDGBackoffTimer>> _retryTimerMap;
    OperationQueue* _timerQueue = nullptr;
};
