// Asks the beta service whether a newer test build exists, once settings arrive, and keeps the
// answer. It needs a beta token; Qorvel has no source for one, so start() answers false and no
// check is ever made unless a token is given.
#pragma once

#include "kits/faultline/reports/FLTSettings.h"
#include "platform/HttpEngine.h"
#include "platform/QVError.h"

#include <QMutex>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

class OperationQueue;
class TRLNetworkClient;

class FLTBetaControllerDelegate {
public:
    virtual ~FLTBetaControllerDelegate() = default;
    virtual QString APIKeyForBetaController() = 0;
    virtual FLTSettings settingsForBetaController() = 0;
};

struct FLTBetaUpdate {
    QUrl url;
    QString version;
    // Nothing, and the error (code -1017) set, unless the dictionary holds a "url" that is a URL.
    static std::optional<FLTBetaUpdate> betaUpdateWithDictionary(const QVariantMap& dictionary, QVError* error);
    static QString promptTitle();
    static QString promptMessage();
    static QString cancelLabel();
    static QString installLabel();
};

class FLTBetaController : public std::enable_shared_from_this<FLTBetaController> {
public:
    static bool isBetaSupported();
    // betaToken: the token source's answer (none in Qorvel).
    static std::shared_ptr<FLTBetaController> make(std::weak_ptr<FLTBetaControllerDelegate> delegate, QString betaToken = {}, bool supported = isBetaSupported());
    ~FLTBetaController();

    QString betaToken() const { return _betaToken; }
    // False without a token; otherwise checks once settings are available.
    bool start();
    void checkForUpdate();
    bool shouldGetUpdates() const;
    HttpRequest updateRequest() const;
    std::optional<FLTBetaUpdate> activeUpdate() const;
    bool checksSuspended() const;
    // Parses an answer's body; nothing and the error for anything but a dictionary with a URL.
    static std::optional<FLTBetaUpdate> updateWithData(const QByteArray& data, QVError* error);
    // Called when a check ends (for tests).
    void setCheckFinishedHandler(std::function<void()> handler) { _checkFinished = std::move(handler); }

private:
    FLTBetaController() = default;
    void maybeGetUpdate();
    void temporarilySuspendChecks();
    void betaLog(const QString& line) const;

    std::weak_ptr<FLTBetaControllerDelegate> _delegate;
    QString _betaToken;
    bool _supported = false;
    std::shared_ptr<OperationQueue> _queue;
    std::shared_ptr<TRLNetworkClient> _networkClient;
    mutable QMutex _lock;
    bool _checksSuspended = false;
    bool _retrying = false;
    std::optional<FLTBetaUpdate> _activeUpdate;
    quint64 _observer = 0;
    std::function<void()> _checkFinished;
};
