#include "kits/tallypost/TallyPost.h"

#include "shell/QVOutsideServices.h"

#include <QLocale>
#include <QUrl>
#include <utility>

namespace {

QString numberText(double number) { return QString::number(number, 'g', QLocale::FloatingPointShortest); }

std::shared_ptr<TallyPost> made(std::weak_ptr<TallyPostDelegate> delegate) {
    auto client = std::make_shared<TallyPost>();
    client->setDelegate(std::move(delegate));
    return client;
}

}  // namespace

namespace {

TallyPost::Configuration& baseConfiguration() {
    static TallyPost::Configuration configuration;
    return configuration;
}

}  // namespace

TallyPost::Configuration TallyPost::defaultConfiguration() {
    Configuration configuration = baseConfiguration();
    if (configuration.baseURL.isEmpty()) configuration.baseURL = QVOutsideServices::infoValue(QStringLiteral("QVStatURL"));
    return configuration;
}

void TallyPost::setDefaultConfiguration(Configuration configuration) { baseConfiguration() = std::move(configuration); }

TallyPost::TallyPost(Configuration configuration) : _configuration(std::move(configuration)) {
    if (!_configuration.transport) _configuration.transport = MLTransport::http();
}

std::shared_ptr<TallyPost> TallyPost::postQuickStatValue(const QString& stat, double value, const QString& user,
                                                         std::weak_ptr<TallyPostDelegate> delegate) {
    auto client = made(std::move(delegate));
    client->ezPostStatValue(stat, value, user);
    return client;
}

std::shared_ptr<TallyPost> TallyPost::postQuickStatCount(const QString& stat, double count, const QString& user,
                                                         std::weak_ptr<TallyPostDelegate> delegate) {
    auto client = made(std::move(delegate));
    client->ezPostStatCount(stat, count, user);
    return client;
}

std::shared_ptr<TallyPost> TallyPost::postStatKeyValueForUser(const QString& key, double value, const QString& userKey,
                                                       std::weak_ptr<TallyPostDelegate> delegate) {
    auto client = made(std::move(delegate));
    client->postStatKeyValue(key, value, userKey);
    return client;
}

std::shared_ptr<TallyPost> TallyPost::postStatKeyCountForUser(const QString& key, double count, const QString& userKey,
                                                       std::weak_ptr<TallyPostDelegate> delegate) {
    auto client = made(std::move(delegate));
    client->postStatKeyCount(key, count, userKey);
    return client;
}

TallyPost::Parameters TallyPost::makeEZParamsForStat(const QString& stat, const QString& user) {
    return {{QStringLiteral("ezkey"), user}, {QStringLiteral("stat"), stat}};
}

TallyPost::Parameters TallyPost::makeClassicParamsForStat(const QString& key, const QString& userKey) {
    return {{QStringLiteral("key"), key}, {QStringLiteral("ukey"), userKey}};
}

void TallyPost::ezPostStatValue(const QString& stat, double value, const QString& user) {
    httpPostDict(makeEZParamsForStat(stat, user) << qMakePair(QStringLiteral("value"), numberText(value)), QStringLiteral("ez"));
}

void TallyPost::ezPostStatCount(const QString& stat, double count, const QString& user) {
    httpPostDict(makeEZParamsForStat(stat, user) << qMakePair(QStringLiteral("count"), numberText(count)), QStringLiteral("ez"));
}

void TallyPost::postStatKeyValue(const QString& key, double value, const QString& userKey) {
    httpPostDict(makeClassicParamsForStat(key, userKey) << qMakePair(QStringLiteral("value"), numberText(value)), QStringLiteral("v"));
}

void TallyPost::postStatKeyCount(const QString& key, double count, const QString& userKey) {
    httpPostDict(makeClassicParamsForStat(key, userKey) << qMakePair(QStringLiteral("count"), numberText(count)), QStringLiteral("c"));
}

QByteArray TallyPost::formBody(const Parameters& parameters) {
    QByteArray body;
    for (const auto& [key, value] : parameters) {
        if (!body.isEmpty()) body.append('&');
        body.append(QUrl::toPercentEncoding(key)).append('=').append(QUrl::toPercentEncoding(value));
    }
    return body;
}

void TallyPost::httpPostDict(const Parameters& parameters, const QString& path) {
    releaseConnection();
    QString base = _configuration.baseURL;
    while (base.endsWith(QLatin1Char('/'))) base.chop(1);
    const QUrl url(base + QLatin1Char('/') + path);
    if (base.isEmpty() || !url.isValid() || url.host().isEmpty()) {
        if (auto delegate = _delegate.lock())
            delegate->tallyPostPostError(*this, QVError::make(errorDomain(), -1, QStringLiteral("No stat service address is configured.")));
        return;
    }
    MLTransport::Post post;
    post.url = url;
    post.body = formBody(parameters);
    post.pinnedRootsPemPath = _configuration.pinnedRootsPemPath;
    // The request keeps its client alive until it ends.
    auto self = shared_from_this();
    _task = _configuration.transport->post(post, [self](const MLTransport::Reply& reply) { self->finish(reply); });
}

void TallyPost::finish(const MLTransport::Reply& reply) {
    _task = 0;
    auto delegate = _delegate.lock();
    if (!delegate) return;
    if (reply.failure != MLTransport::Reply::Failure::None)
        return delegate->tallyPostPostError(*this, QVError::make(errorDomain(), -2, reply.message));
    if (reply.status < 200 || reply.status > 299)
        return delegate->tallyPostPostError(
            *this, QVError::make(errorDomain(), reply.status, QStringLiteral("The stat service answered with status %1.").arg(reply.status),
                                 QString::fromUtf8(reply.body)));
    delegate->tallyPostPostFinished(*this, QString::fromUtf8(reply.body));
}

void TallyPost::releaseConnection() {
    if (_task) _configuration.transport->cancel(std::exchange(_task, 0));
}
