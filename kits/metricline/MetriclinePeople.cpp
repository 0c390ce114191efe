#include "kits/metricline/MetriclinePeople.h"

#include "kits/metricline/Metricline.h"
#include "platform/AppBundle.h"
#include "platform/SystemLog.h"

#include <QDateTime>

MetriclinePeople::MetriclinePeople(Metricline& metricline) : _metricline(metricline) {}

QString MetriclinePeople::description() const {
    return QStringLiteral("<MetriclinePeople: %1 %2>").arg(quintptr(this), 0, 16).arg(_metricline.apiToken());
}

QVariantMap MetriclinePeople::deviceInfoProperties() {
    return {{QStringLiteral("$ios_device_model"), Metricline::deviceModel()},
            {QStringLiteral("$ios_app_version"), AppBundle::main().version()},
            {QStringLiteral("$ios_app_release"), AppBundle::main().shortVersion()}};
}

void MetriclinePeople::addPeopleRecordToQueueWithAction(const QString& action, const QVariantMap& properties) {
    if (!_metricline.isUsable()) return;
    QVariantMap values = properties;
    if (action == QLatin1String("$set") || action == QLatin1String("$set_once")) {
        values = deviceInfoProperties();
        values.insert(properties);
    }
    QVariantMap record{{QStringLiteral("$token"), _metricline.apiToken()},
                       {QStringLiteral("$time"), QDateTime::currentMSecsSinceEpoch()},
                       {action, values}};
    if (!_distinctId.isEmpty()) {
        record.insert(QStringLiteral("$distinct_id"), _distinctId);
        _metricline.enqueuePeopleRecord(record);
    } else {
        _unidentifiedQueue << Metricline::JSONSerializableObjectForObject(record);
    }
}

void MetriclinePeople::moveUnidentifiedRecords() {
    for (const QVariant& waiting : std::exchange(_unidentifiedQueue, {})) {
        QVariantMap record = waiting.toMap();
        record.insert(QStringLiteral("$distinct_id"), _distinctId);
        _metricline.enqueuePeopleRecord(record);
    }
}

void MetriclinePeople::set(const QVariantMap& properties) {
    if (Metricline::assertPropertyTypes(properties)) addPeopleRecordToQueueWithAction(QStringLiteral("$set"), properties);
}

void MetriclinePeople::set(const QString& property, const QVariant& object) {
    if (property.isEmpty()) return SystemLog::warning(QStringLiteral("%1 property must not be nil").arg(description()));
    if (!object.isValid()) return SystemLog::warning(QStringLiteral("%1 object must not be nil").arg(description()));
    set(QVariantMap{{property, object}});
}

void MetriclinePeople::setOnce(const QVariantMap& properties) {
    if (Metricline::assertPropertyTypes(properties)) addPeopleRecordToQueueWithAction(QStringLiteral("$set_once"), properties);
}

void MetriclinePeople::increment(const QVariantMap& properties) {
    for (auto it = properties.cbegin(); it != properties.cend(); ++it) {
        const int type = it.value().typeId();
        const bool number = type == QMetaType::Int || type == QMetaType::LongLong || type == QMetaType::UInt ||
                            type == QMetaType::ULongLong || type == QMetaType::Double || type == QMetaType::Float;
        if (!number)
            return SystemLog::warning(QStringLiteral("%1 increment property values should be NSNumber. found: %2")
                                          .arg(description(), it.value().toString()));
    }
    addPeopleRecordToQueueWithAction(QStringLiteral("$add"), properties);
}

void MetriclinePeople::increment(const QString& property, const QVariant& amount) {
    if (property.isEmpty()) return SystemLog::warning(QStringLiteral("%1 property must not be nil").arg(description()));
    if (!amount.isValid()) return SystemLog::warning(QStringLiteral("%1 amount must not be nil").arg(description()));
    increment(QVariantMap{{property, amount}});
}

void MetriclinePeople::append(const QVariantMap& properties) {
    if (Metricline::assertPropertyTypes(properties)) addPeopleRecordToQueueWithAction(QStringLiteral("$append"), properties);
}

void MetriclinePeople::trackCharge(double amount, const QVariantMap& properties) {
    QVariantMap transaction{{QStringLiteral("$amount"), amount}, {QStringLiteral("$time"), QDateTime::currentDateTimeUtc()}};
    transaction.insert(properties);
    append({{QStringLiteral("$transactions"), transaction}});
}

void MetriclinePeople::clearCharges() { set({{QStringLiteral("$transactions"), QVariantList()}}); }

void MetriclinePeople::deleteUser() { addPeopleRecordToQueueWithAction(QStringLiteral("$delete"), {}); }

void MetriclinePeople::addPushDeviceToken(const QByteArray& token) {
    if (token.isEmpty()) return;
    addPeopleRecordToQueueWithAction(QStringLiteral("$union"),
                                     {{QStringLiteral("$ios_devices"), QVariantList{QString::fromLatin1(token.toHex())}}});
}
