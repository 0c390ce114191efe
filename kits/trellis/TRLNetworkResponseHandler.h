// What a finished exchange means for the kits: success, a failure to report, or one worth
// retrying, with the error that says so and the delay before the next try.
#pragma once

#include "platform/HttpEngine.h"
#include "platform/QVError.h"

#include <QDateTime>

#include <functional>
#include <optional>

enum TRLNetworkClientResponseType {
    TRLNetworkClientResponseTypeSuccess = 0,
    TRLNetworkClientResponseTypeInvalid = 1,
    TRLNetworkClientResponseTypeUnrecoverable = 2,
    TRLNetworkClientResponseTypeRetry = 3,
    TRLNetworkClientResponseTypeRateLimited = 4,
};

class TRLNetworkResponseHandler {
public:
    TRLNetworkResponseHandler() = delete;

    // Error codes of the "TRLNetworkError" domain.
    enum { RetryableStatus = -1, NoTaskCreated = -3, InvalidResponse = -4, UnrecoverableStatus = -5, RetriesExhausted = -6 };

    static QByteArray headerForResponse(const HttpResponse& response, const QByteArray& key);
    // "Retry-After" as seconds, from either of its forms (a number of seconds or an HTTP date,
    // counted from now); nothing when absent, unreadable or negative.
    static std::optional<double> retryAfterSeconds(const HttpResponse& response, const QDateTime& now = QDateTime::currentDateTimeUtc());
    // The hint as the base of the back-off: 2 seconds without a usable one.
    static double retryValueForResponse(const HttpResponse& response);
    static QByteArray requestIdForResponse(const HttpResponse& response);
    // The answer's media type (and charset, when the request names one) is what the request's
    // "Accept" (and "Accept-Charset") asked for; parameters are parsed, spelling and spacing of
    // the charset parameter do not matter. Without an "Accept" everything matches.
    static bool contentTypeMatchesRequest(const HttpResponse& response, const HttpRequest& request);

    static QVError errorForCode(qint64 code, const QVariantMap& userInfo = {});
    static QVError errorForResponse(const HttpResponse& response, TRLNetworkClientResponseType type, int status);
    static void clientResponseType(const HttpResponse& response, const std::function<void(TRLNetworkClientResponseType, int)>& handler);
    // Whether an upload reached the server (HttpResponse::accepted: a whole 2xx status line, so the
    // server took the body, whatever became of its answer's body after that). Sending it again
    // would deliver it twice.
    static bool uploadAccepted(const HttpResponse& response) { return response.accepted(); }
    // The same, told by the status line alone, as it arrives (before the answer's body).
    static bool uploadAccepted(int status) { return HttpResponse::statusAccepted(status); }
    // For an upload's HttpRequest::onStatusLine: the file goes as the 2xx status line arrives,
    // on the session's worker, not later on a queue that a quit may never reach again. Were the
    // process to end between that line and the removal, the next launch would send it twice.
    static std::function<void(int)> removeWhenAccepted(const QString& path);
    // Whether the last answer neither took the upload nor refused it: a redirect the engine
    // hands back (a 301, 302 or 303, which would turn it into a GET without its body, one to
    // another host), a chain it stopped following (a loop, too many hops), a 304 or any other
    // status that is neither a 2xx nor a 4xx or 5xx. The server took nothing; the package is kept
    // for a later turn, as for a server that never answered.
    static bool uploadLeftUntaken(const HttpResponse& response) { return HttpResponse::statusLeftUntaken(response.status); }
    // retry and the error (null on success). A transport time-out is retried; other transport
    // failures are not.
    static void handleCompletedResponse(const HttpResponse& response, const HttpRequest& request,
                                        const std::function<void(bool retry, const QVError& error)>& block);

    // Milliseconds to wait before the next try after tries tries (at least 1 counted): without a
    // server hint 2 s doubled per try and capped at 5 minutes; with one, the hint itself, at
    // least 2 s and at most an hour; times a jitter in [0.9, 1.1). Never overflows.
    static qint64 computeDelayMs(const HttpResponse& response, int tries, double jitter);
    static double generateRandomJitter();
};
