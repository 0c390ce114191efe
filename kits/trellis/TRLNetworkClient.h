// The kits' HTTP exchanges with retries and back-off: data tasks (body in memory) and download
// tasks (body in a file), each retried on time-outs and retryable statuses up to a limit, every
// connection checked against the pinned roots unless the kits run in debug mode.
#pragma once

#include "kits/trellis/FLTURLSession.h"
#include "kits/trellis/TRLCertificatePinner.h"

#include <functional>
#include <memory>
#include <optional>

class TRLNetworkClient : public FLTURLSessionDelegate, public std::enable_shared_from_this<TRLNetworkClient> {
public:
    using DataHandler = std::function<void(const QByteArray& data, const HttpResponse& response, const QVError& error)>;
    using DownloadHandler = std::function<void(const QString& file, const HttpResponse& response, const QVError& error)>;

    // Handlers run on the queue (a serial one of the client's own when none is given) or, after
    // a back-off, on the global queue. Without certificates nothing is pinned; with an empty list
    // every server is refused.
    static std::shared_ptr<TRLNetworkClient> make(std::shared_ptr<OperationQueue> queue = {},
                                                  std::optional<QByteArray> pinnedCertificates = std::nullopt);
    static std::shared_ptr<TRLNetworkClient> makeWithSessionConfiguration(std::shared_ptr<FLTURLSessionConfiguration> configuration,
                                                                          std::shared_ptr<OperationQueue> queue,
                                                                          std::optional<QByteArray> pinnedCertificates);
    ~TRLNetworkClient() override;

    // Sent at most retryLimit + 1 times; tries counts those made before.
    void startDataTaskWithRequest(const HttpRequest& request, int retryLimit, int tries, DataHandler handler);
    void startDataTaskWithRequest(const HttpRequest& request, DataHandler handler) { startDataTaskWithRequest(request, 10, 0, std::move(handler)); }
    // The handler must take what it needs from the file before it returns: the file goes then.
    void startDownloadTaskWithRequest(const HttpRequest& request, int retryLimit, int tries, DownloadHandler handler);
    void startDownloadTaskWithRequest(const HttpRequest& request, DownloadHandler handler) {
        startDownloadTaskWithRequest(request, 10, 0, std::move(handler));
    }
    // Runs the block once after the back-off for this answer and try count.
    void runAfterRetryValueFromResponse(const HttpResponse& response, int tries, std::function<void()> block);
    void invalidateAndCancel();

    const std::optional<TRLCertificatePinner>& certPinner() const { return _certPinner; }
    std::shared_ptr<FLTURLSession> session() const { return _session; }
    // Whether pinning is off for now (the kits' debug mode); read at every request.
    void setDebugModeProvider(std::function<bool()> provider) { _debugMode = std::move(provider); }

private:
    TRLNetworkClient() = default;
    HttpRequest prepared(HttpRequest request) const;

    std::optional<TRLCertificatePinner> _certPinner;
    std::shared_ptr<FLTURLSession> _session;
    std::function<bool()> _debugMode;
};
