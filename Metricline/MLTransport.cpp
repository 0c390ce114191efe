#include "Metricline/MLTransport.h"

#include <QFile>
#include <QHash>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QSslConfiguration>

namespace {

// Qt's network access on the main thread's event loop: answers arrive there by construction.
class QtTransport final : public MLTransport {
public:
    quint64 post(const Post& post, Callback callback) override {
        QNetworkRequest request(post.url);
        request.setTransferTimeout(30000);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
        request.setMaximumRedirectsAllowed(5);
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/x-www-form-urlencoded"));
        if (post.acceptGzip) request.setRawHeader("Accept-Encoding", "gzip");
        for (const auto& [name, value] : post.headers) request.setRawHeader(name, value);
        if (!post.pinnedRootsPemPath.isEmpty()) {
            QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
            ssl.setCaCertificates(QSslCertificate::fromPath(post.pinnedRootsPemPath));
            request.setSslConfiguration(ssl);
        }
        const quint64 task = ++_lastTask;
        QNetworkReply* reply = _manager.post(request, post.body);
        _replies.insert(task, reply);
        QObject::connect(reply, &QNetworkReply::finished, reply, [this, task, reply, callback = std::move(callback)] {
            reply->deleteLater();
            if (_replies.take(task) != reply) return;
            Reply answer;
            answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            answer.body = reply->readAll();
            const QNetworkReply::NetworkError error = reply->error();
            // An HTTP error status is an answer, not a transport failure.
            if (error != QNetworkReply::NoError && answer.status == 0) {
                answer.failure = error == QNetworkReply::OperationCanceledError || error == QNetworkReply::TimeoutError
                                     ? Reply::Failure::TimedOut
                                     : Reply::Failure::Transport;
                answer.message = reply->errorString();
            }
            callback(answer);
        });
        return task;
    }

    void cancel(quint64 task) override {
        if (QNetworkReply* reply = _replies.take(task)) reply->abort();
    }

private:
    QNetworkAccessManager _manager;
    QHash<quint64, QNetworkReply*> _replies;
    quint64 _lastTask = 0;
};

}  // namespace

std::shared_ptr<MLTransport> MLTransport::http() {
    static std::shared_ptr<MLTransport> transport = std::make_shared<QtTransport>();
    return transport;
}
