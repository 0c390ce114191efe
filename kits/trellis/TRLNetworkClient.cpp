// One try per task; the answer is classified, then handed back, given up on, or tried again after
// the back-off with the same request, limit and handler.
#include "kits/trellis/TRLNetworkClient.h"

#include "kits/trellis/TRLNetworkResponseHandler.h"

std::shared_ptr<TRLNetworkClient> TRLNetworkClient::make(std::shared_ptr<OperationQueue> queue, std::optional<QByteArray> pinnedCertificates) {
    return makeWithSessionConfiguration(FLTURLSessionConfiguration::defaultSessionConfiguration(), std::move(queue), std::move(pinnedCertificates));
}

std::shared_ptr<TRLNetworkClient> TRLNetworkClient::makeWithSessionConfiguration(std::shared_ptr<FLTURLSessionConfiguration> configuration,
                                                                               std::shared_ptr<OperationQueue> queue,
                                                                               std::optional<QByteArray> pinnedCertificates) {
    std::shared_ptr<TRLNetworkClient> client(new TRLNetworkClient);
    if (pinnedCertificates) client->_certPinner.emplace(*pinnedCertificates);
    client->_session = FLTURLSession::sessionWithConfiguration(std::move(configuration), client, std::move(queue));
    if (!client->_session) return nullptr;
    return client;
}

TRLNetworkClient::~TRLNetworkClient() {
    if (_session) _session->finishTasksAndInvalidate();
}

HttpRequest TRLNetworkClient::prepared(HttpRequest request) const {
    // Roots an endpoint names for itself stand; otherwise the pinned ones unless in debug mode,
    // where the system's roots are used: verified all the same, never unchecked.
    if (!request.pinnedRootsPemPath.isEmpty() || !request.pinnedRootsPem.isEmpty()) return request;
    if (_certPinner && !(_debugMode && _debugMode())) _certPinner->applyTo(request);
    return request;
}

void TRLNetworkClient::startDataTaskWithRequest(const HttpRequest& request, int retryLimit, int tries, DataHandler handler) {
    std::weak_ptr<TRLNetworkClient> weak = weak_from_this();
    const HttpRequest sent = prepared(request);
    auto task = _session->dataTaskWithRequest(sent, [weak, request, retryLimit, tries, handler](const QByteArray& data, const HttpResponse& response,
                                                                                                const QVError&) {
        TRLNetworkResponseHandler::handleCompletedResponse(response, request, [&](bool retry, const QVError& error) {
            if (!retry) {
                handler(error ? QByteArray() : data, response, error);
            } else if (tries >= retryLimit) {
                handler({}, {}, TRLNetworkResponseHandler::errorForCode(TRLNetworkResponseHandler::RetriesExhausted));
            } else if (auto self = weak.lock()) {
                self->runAfterRetryValueFromResponse(response, tries, [weak, request, retryLimit, tries, handler] {
                    if (auto again = weak.lock()) again->startDataTaskWithRequest(request, retryLimit, tries + 1, handler);
                });
            }
        });
    });
    if (!task) {
        handler({}, {}, TRLNetworkResponseHandler::errorForCode(TRLNetworkResponseHandler::NoTaskCreated));
        return;
    }
    task->resume();
}

void TRLNetworkClient::startDownloadTaskWithRequest(const HttpRequest& request, int retryLimit, int tries, DownloadHandler handler) {
    std::weak_ptr<TRLNetworkClient> weak = weak_from_this();
    const HttpRequest sent = prepared(request);
    auto task = _session->downloadTaskWithRequest(sent, [weak, request, retryLimit, tries, handler](const QString& file, const HttpResponse& response,
                                                                                                    const QVError&) {
        TRLNetworkResponseHandler::handleCompletedResponse(response, request, [&](bool retry, const QVError& error) {
            if (!retry) {
                handler(error ? QString() : file, response, error);
            } else if (tries >= retryLimit) {
                handler({}, {}, TRLNetworkResponseHandler::errorForCode(TRLNetworkResponseHandler::RetriesExhausted));
            } else if (auto self = weak.lock()) {
                self->runAfterRetryValueFromResponse(response, tries, [weak, request, retryLimit, tries, handler] {
                    if (auto again = weak.lock()) again->startDownloadTaskWithRequest(request, retryLimit, tries + 1, handler);
                });
            }
        });
    });
    if (!task) {
        handler({}, {}, TRLNetworkResponseHandler::errorForCode(TRLNetworkResponseHandler::NoTaskCreated));
        return;
    }
    task->resume();
}

void TRLNetworkClient::runAfterRetryValueFromResponse(const HttpResponse& response, int tries, std::function<void()> block) {
    const qint64 ms = TRLNetworkResponseHandler::computeDelayMs(response, tries, TRLNetworkResponseHandler::generateRandomJitter());
    OperationQueue::global().after(std::chrono::milliseconds(ms), std::move(block));
}

void TRLNetworkClient::invalidateAndCancel() {
    if (_session) _session->invalidateAndCancel();
}
