#include "kits/metricline/MLTransport.h"

#include "platform/HttpEngine.h"

namespace {

// The libcurl engine: transfers on its worker thread, answers on the main queue.
class SessionTransport final : public MLTransport {
public:
    quint64 post(const Post& post, Callback callback) override {
        HttpRequest request;
        request.method = "POST";
        request.url = post.url;
        request.headers = post.headers;
        request.setHeader("Content-Type", "application/x-www-form-urlencoded");
        request.body = post.body;
        request.idleTimeoutMs = post.idleTimeoutMs;
        request.totalTimeoutMs = post.totalTimeoutMs;
        request.pinnedRootsPemPath = post.pinnedRootsPemPath;
        request.acceptGzip = post.acceptGzip;
        // The services answer a word or a small JSON object; an endless answer stops here.
        request.maxResponseBytes = 1024 * 1024;
        request.maxRedirects = 3;
        request.onStatusLine = post.onStatusLine;
        return _session.start(std::move(request), [callback = std::move(callback)](const HttpResponse& response) {
            // A cancelled request is over for its client: no answer.
            if (response.error == HttpResponse::Cancelled) return;
            Reply reply;
            reply.status = response.status;
            reply.body = response.body;
            reply.message = response.message;
            if (response.error == HttpResponse::TimedOut) reply.failure = Reply::Failure::TimedOut;
            else if (response.error != HttpResponse::None) reply.failure = Reply::Failure::Transport;
            callback(reply);
        });
    }

    void cancel(quint64 task) override { _session.cancel(task); }

private:
    HttpSession _session;
};

}  // namespace

std::shared_ptr<MLTransport> MLTransport::http() {
    static std::shared_ptr<MLTransport> transport = std::make_shared<SessionTransport>();
    return transport;
}
