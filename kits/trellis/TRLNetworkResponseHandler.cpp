#include "kits/trellis/TRLNetworkResponseHandler.h"

#include "kits/trellis/TRLConstants.h"

#include <QFile>
#include <QLocale>
#include <QRandomGenerator>
#include <QTimeZone>

#include <cmath>

#include <unistd.h>

namespace {

struct MediaType {
    QByteArray type;  // lower case, parameters removed
    QByteArray charset;  // lower case, quotes removed; empty without one
};

MediaType parseMediaType(const QByteArray& value) {
    MediaType m;
    const QList<QByteArray> parts = value.split(';');
    m.type = parts.value(0).trimmed().toLower();
    for (qsizetype i = 1; i < parts.size(); ++i) {
        const QByteArray p = parts[i].trimmed();
        const qsizetype eq = p.indexOf('=');
        if (eq <= 0 || p.left(eq).trimmed().toLower() != "charset") continue;
        QByteArray v = p.mid(eq + 1).trimmed();
        if (v.size() >= 2 && v.startsWith('"') && v.endsWith('"')) v = v.mid(1, v.size() - 2);
        m.charset = v.toLower();
    }
    return m;
}

QByteArray requestHeader(const HttpRequest& r, const QByteArray& name) {
    for (const auto& h : r.headers)
        if (h.first.compare(name, Qt::CaseInsensitive) == 0) return h.second;
    return {};
}

}  // namespace

QByteArray TRLNetworkResponseHandler::headerForResponse(const HttpResponse& response, const QByteArray& key) {
    return response.header(key);
}

std::optional<double> TRLNetworkResponseHandler::retryAfterSeconds(const HttpResponse& response, const QDateTime& now) {
    const QByteArray value = response.header("Retry-After").trimmed();
    if (value.isEmpty()) return std::nullopt;
    bool ok = false;
    const double seconds = value.toDouble(&ok);
    if (ok) {
        if (!std::isfinite(seconds) || seconds < 0) return std::nullopt;
        return seconds;
    }
    // An HTTP date in any of its three historical forms.
    const QString text = QString::fromLatin1(value).simplified();
    const QLocale c = QLocale::c();
    for (const char* format : {"ddd, dd MMM yyyy HH:mm:ss 'GMT'", "dddd, dd-MMM-yy HH:mm:ss 'GMT'", "ddd MMM d HH:mm:ss yyyy"}) {
        QDateTime when = c.toDateTime(text, QString::fromLatin1(format));
        if (!when.isValid()) continue;
        when.setTimeSpec(Qt::UTC);
        if (when.date().year() < 1970) when = when.addYears(100);
        const double delta = double(now.msecsTo(when)) / 1000.0;
        return delta < 0 ? 0 : delta;
    }
    return std::nullopt;
}

double TRLNetworkResponseHandler::retryValueForResponse(const HttpResponse& response) {
    return retryAfterSeconds(response).value_or(2.0);
}

QByteArray TRLNetworkResponseHandler::requestIdForResponse(const HttpResponse& response) { return response.header("X-Request-Id"); }

bool TRLNetworkResponseHandler::contentTypeMatchesRequest(const HttpResponse& response, const HttpRequest& request) {
    const QByteArray accept = requestHeader(request, "Accept").trimmed();
    if (accept.isEmpty()) return true;
    const QByteArray contentType = response.header("Content-Type");
    if (contentType.isEmpty()) return false;
    const MediaType got = parseMediaType(contentType);
    bool typeMatches = false;
    for (const QByteArray& wanted : accept.split(','))
        if (parseMediaType(wanted).type == got.type) typeMatches = true;
    if (!typeMatches) return false;
    const QByteArray charset = requestHeader(request, "Accept-Charset").trimmed().toLower();
    return charset.isEmpty() || got.charset.isEmpty() || got.charset == charset;
}

QVError TRLNetworkResponseHandler::errorForCode(qint64 code, const QVariantMap& userInfo) {
    return QVError(QString::fromLatin1(TRLNetworkErrorDomain), code, userInfo);
}

QVError TRLNetworkResponseHandler::errorForResponse(const HttpResponse& response, TRLNetworkClientResponseType type, int status) {
    if (type == TRLNetworkClientResponseTypeSuccess) return {};
    const qint64 code = type == TRLNetworkClientResponseTypeInvalid         ? InvalidResponse
                        : type == TRLNetworkClientResponseTypeUnrecoverable ? UnrecoverableStatus
                                                                            : RetryableStatus;
    return errorForCode(code, {{QStringLiteral("type"), int(type)},
                               {QStringLiteral("status_code"), status},
                               {QStringLiteral("request_id"), QString::fromLatin1(requestIdForResponse(response))},
                               {QStringLiteral("content_type"), QString::fromLatin1(response.header("Content-Type"))},
                               {QString::fromLatin1(QVLocalizedDescriptionKey), QStringLiteral("The server answered %1.").arg(status)}});
}

void TRLNetworkResponseHandler::clientResponseType(const HttpResponse& response, const std::function<void(TRLNetworkClientResponseType, int)>& handler) {
    const int s = response.status;
    TRLNetworkClientResponseType type = TRLNetworkClientResponseTypeInvalid;
    switch (s) {
    case 200: case 201: case 202: case 204: case 304:
        type = TRLNetworkClientResponseTypeSuccess;
        break;
    case 400: case 401: case 403: case 404: case 406: case 410: case 411: case 413: case 419: case 422: case 431:
        type = TRLNetworkClientResponseTypeUnrecoverable;
        break;
    case 420: case 429:
        type = TRLNetworkClientResponseTypeRateLimited;
        break;
    default:
        if (s == 408 || (s >= 500 && s <= 599)) type = TRLNetworkClientResponseTypeRetry;
    }
    handler(type, s);
}

void TRLNetworkResponseHandler::handleCompletedResponse(const HttpResponse& response, const HttpRequest& request,
                                                        const std::function<void(bool, const QVError&)>& block) {
    if (response.error != HttpResponse::None) {
        const QVError transport = QVError::make(QStringLiteral("TRLURLError"), response.error == HttpResponse::TimedOut ? -1001 : -1,
                                                response.message);
        block(response.error == HttpResponse::TimedOut, transport);
        return;
    }
    clientResponseType(response, [&](TRLNetworkClientResponseType type, int status) {
        switch (type) {
        case TRLNetworkClientResponseTypeSuccess:
            if (contentTypeMatchesRequest(response, request))
                block(false, QVError());
            else
                block(false, errorForResponse(response, TRLNetworkClientResponseTypeInvalid, status));
            break;
        case TRLNetworkClientResponseTypeInvalid:
        case TRLNetworkClientResponseTypeUnrecoverable:
            block(false, errorForResponse(response, type, status));
            break;
        default:
            block(true, errorForResponse(response, type, status));
        }
    });
}

qint64 TRLNetworkResponseHandler::computeDelayMs(const HttpResponse& response, int tries, double jitter) {
    const int n = std::max(1, tries);
    double seconds;
    if (auto hint = retryAfterSeconds(response); hint && *hint > 2.0)
        seconds = std::min(*hint, 3600.0);
    else
        seconds = std::min(std::pow(2.0, double(std::min(n, 30))), 300.0);
    const double ms = seconds * std::clamp(jitter, 0.9, 1.1) * 1000.0;
    return ms >= 9.0e15 ? qint64(9.0e15) : qint64(ms);
}

double TRLNetworkResponseHandler::generateRandomJitter() {
    return 0.9 + QRandomGenerator::global()->generateDouble() * (1.1 - 0.9);
}

std::function<void(int)> TRLNetworkResponseHandler::removeWhenAccepted(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    return [name](int status) {
        if (uploadAccepted(status)) ::unlink(name.constData());
    };
}
