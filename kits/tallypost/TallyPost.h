// Counters and values posted to the stat service, one form-encoded POST each. A client serves
// one request: the class operations make one, start it and hand it back, and the request keeps
// it alive until it ends. Form values are percent-encoded; any status outside 2xx is an error.
// Main thread.
#pragma once

#include "kits/metricline/MLTransport.h"
#include "platform/QVError.h"

#include <QList>
#include <QPair>
#include <QString>

#include <memory>

class TallyPost;

// Told how a post ended; one of the two, once.
class TallyPostDelegate {
public:
    virtual ~TallyPostDelegate() = default;
    virtual void tallyPostPostFinished(TallyPost& client, const QString& response) = 0;
    virtual void tallyPostPostError(TallyPost& client, const QVError& error) = 0;
};

class TallyPost : public std::enable_shared_from_this<TallyPost> {
public:
    using Parameters = QList<QPair<QString, QString>>;
    struct Configuration {
        QString baseURL;  // the service's address, without the form's path
        std::shared_ptr<MLTransport> transport;  // empty: MLTransport::http()
        QString pinnedRootsPemPath;              // empty: the system's trusted roots
    };
    static QString errorDomain() { return QStringLiteral("TallyPost"); }

    // The base URL from Info.plist's (or the user defaults') "QVStatURL" unless
    // setDefaultConfiguration gave one; tests pin a loopback server's roots there.
    static Configuration defaultConfiguration();
    static void setDefaultConfiguration(Configuration configuration);

    explicit TallyPost(Configuration configuration = defaultConfiguration());

    // "ez" forms: ezkey, stat, value or count. Classic forms: key, ukey, value ("v") or count ("c").
    static std::shared_ptr<TallyPost> postQuickStatValue(const QString& stat, double value, const QString& user,
                                                                std::weak_ptr<TallyPostDelegate> delegate = {});
    static std::shared_ptr<TallyPost> postQuickStatCount(const QString& stat, double count, const QString& user,
                                                                std::weak_ptr<TallyPostDelegate> delegate = {});
    static std::shared_ptr<TallyPost> postStatKeyValueForUser(const QString& key, double value, const QString& userKey,
                                                              std::weak_ptr<TallyPostDelegate> delegate = {});
    static std::shared_ptr<TallyPost> postStatKeyCountForUser(const QString& key, double count, const QString& userKey,
                                                              std::weak_ptr<TallyPostDelegate> delegate = {});

    void setDelegate(std::weak_ptr<TallyPostDelegate> delegate) { _delegate = std::move(delegate); }
    void ezPostStatValue(const QString& stat, double value, const QString& user);
    void ezPostStatCount(const QString& stat, double count, const QString& user);
    void postStatKeyValue(const QString& key, double value, const QString& userKey);
    void postStatKeyCount(const QString& key, double count, const QString& userKey);

    // Posts the parameters, percent-encoded, to the base URL's path. Without a base URL nothing
    // is sent and the delegate gets an error.
    void httpPostDict(const Parameters& parameters, const QString& path);
    static Parameters makeEZParamsForStat(const QString& stat, const QString& user);
    static Parameters makeClassicParamsForStat(const QString& key, const QString& userKey);
    static QByteArray formBody(const Parameters& parameters);
    // Cancels the request in flight; the delegate hears nothing more.
    void releaseConnection();
    bool isPosting() const { return _task != 0; }

private:
    void finish(const MLTransport::Reply& reply);

    Configuration _configuration;
    std::weak_ptr<TallyPostDelegate> _delegate;
    quint64 _task = 0;
};
