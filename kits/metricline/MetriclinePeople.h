// People profiles of the analytics client: each change (set, set once, add, append, union,
// delete, charges) becomes a record for the "/engage/" queue of its Metricline. Records made
// before the client has an identity wait in unidentifiedQueue until identify() gives it one.
// Main thread, like the client. A value the service cannot take is logged and nothing queued.
#pragma once

#include <QByteArray>
#include <QString>
#include <QVariantList>
#include <QVariantMap>

class Metricline;

class MetriclinePeople {
public:
    explicit MetriclinePeople(Metricline& metricline);

    QString distinctId() const { return _distinctId; }
    void setDistinctId(const QString& identity) { _distinctId = identity; }
    QVariantList unidentifiedQueue() const { return _unidentifiedQueue; }
    void setUnidentifiedQueue(const QVariantList& records) { _unidentifiedQueue = records; }
    // Gives every waiting record "$distinct_id" and hands them, in order, to the client.
    void moveUnidentifiedRecords();

    void set(const QVariantMap& properties);
    void set(const QString& property, const QVariant& object);
    void setOnce(const QVariantMap& properties);
    // Every value must be a number.
    void increment(const QVariantMap& properties);
    void increment(const QString& property, const QVariant& amount);
    void append(const QVariantMap& properties);
    void trackCharge(double amount, const QVariantMap& properties = {});
    void clearCharges();
    void deleteUser();
    // "$union" of the token's bytes in lower-case hexadecimal; an empty token makes no record.
    void addPushDeviceToken(const QByteArray& token);

    static QVariantMap deviceInfoProperties();
    void addPeopleRecordToQueueWithAction(const QString& action, const QVariantMap& properties);
    QString description() const;

private:
    Metricline& _metricline;
    QString _distinctId;
    QVariantList _unidentifiedQueue;
};
