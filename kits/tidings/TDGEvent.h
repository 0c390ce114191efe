// The records of the analytics log: lifecycle events, the previous run's crash, custom events
// and predefined ones (sign-up, purchase, search...), each a name, a time, a random identifier and
// a payload whose keys keep their order. Attributes pass one validating dictionary that bounds
// their number and length and writes booleans and prices in their wire forms.
#pragma once

#include "kits/tidings/TDGJson.h"

#include <QList>
#include <QPair>
#include <QString>
#include <QVariant>

#include <memory>
#include <optional>

// Attributes as the caller gave them, in order; keys and values of any kind (the dictionary
// refuses those it cannot send).
using TDGAttributes = QList<QPair<QVariant, QVariant>>;

class TDGAttributeDictionary {
public:
    static constexpr int kMaximumEntries = 21;
    static constexpr int kMaximumLength = 100;

    TDGAttributeDictionary() = default;
    explicit TDGAttributeDictionary(const TDGAttributes& attributes);

    void addAttribute(const QVariant& value, const QVariant& key);
    // A missing flag adds nothing; otherwise "true" or "false".
    void addBooleanAttribute(const QVariant& flag, const QVariant& key);
    // The price in whole micros, computed from its decimal text; a missing price adds nothing.
    void addPriceAttribute(const QVariant& price, const QVariant& key);

    const TDGJsonObject& dictionaryRepresentation() const { return _rawDictionary; }
    QString description() const;

    // At most 100 UTF-16 units, never ending inside a surrogate pair.
    static QString truncateString(const QString& text);
    // Micros of a decimal (text or number); none when missing, not a number or too large.
    static std::optional<qint64> serializePriceToMicros(const QVariant& price);

private:
    TDGJsonObject _rawDictionary;
};

class TDGEvent {
public:
    TDGEvent();
    virtual ~TDGEvent() = default;
    virtual QString name() const { return QStringLiteral("unknown"); }
    // Seconds since 1970.
    virtual double timestamp() const { return _timestamp; }
    QString identifier() const { return _identifier; }
    virtual TDGJsonObject dictionaryRepresentation() const { return {}; }
    virtual bool triggersFlush() const { return false; }
    virtual QString description() const { return name(); }

    static double now();

protected:
    double _timestamp;
    QString _identifier;
};

class TDGLifecycleEvent : public TDGEvent {
public:
    explicit TDGLifecycleEvent(QString name) : _name(std::move(name)) {}
    static std::shared_ptr<TDGLifecycleEvent> eventWithNotification(const QString& notificationName);
    static std::shared_ptr<TDGLifecycleEvent> installEvent();
    static std::shared_ptr<TDGLifecycleEvent> appLaunchedEvent();
    static QString nameFromNotification(const QString& notificationName);

    QString name() const override { return _name; }
    TDGJsonObject dictionaryRepresentation() const override;
    bool triggersFlush() const override;

private:
    QString _name;
};

class TDGCrashEvent : public TDGEvent {
public:
    // State 1 foreground, 2 background, anything else unknown.
    TDGCrashEvent(double crashTimestamp, quint64 crashState) : _crashTimestamp(crashTimestamp), _crashState(crashState) {}
    QString name() const override { return QStringLiteral("app_crashed"); }
    double timestamp() const override { return _crashTimestamp; }
    TDGJsonObject dictionaryRepresentation() const override;
    static QString payloadStringForCrashState(quint64 state);

private:
    double _crashTimestamp;
    quint64 _crashState;
};

class TDGCustomEvent : public TDGEvent {
public:
    TDGCustomEvent(QString customEventName, const TDGAttributes& attributes)
        : _customEventName(std::move(customEventName)), _customAttributes(attributes) {}
    QString name() const override { return QStringLiteral("custom"); }
    QString customEventName() const { return _customEventName; }
    const TDGAttributeDictionary& customAttributes() const { return _customAttributes; }
    TDGJsonObject dictionaryRepresentation() const override;
    QString description() const override;

private:
    QString _customEventName;
    TDGAttributeDictionary _customAttributes;
};

class TDGPredefinedEvent : public TDGEvent {
public:
    using Ptr = std::shared_ptr<TDGPredefinedEvent>;
    using V = const QVariant&;
    using A = const TDGAttributes&;
    TDGPredefinedEvent(QString predefinedEventName, A customAttributes)
        : _predefinedEventName(std::move(predefinedEventName)), _customAttributes(customAttributes) {}

    static Ptr signUpEventWithMethod(V method, V success, A custom);
    static Ptr loginEventWithMethod(V method, V success, A custom);
    static Ptr shareEventWithMethod(V method, V contentName, V contentType, V contentId, A custom);
    static Ptr inviteEventWithMethod(V method, A custom);
    static Ptr purchaseEventWithPrice(V price, V currency, V success, V itemName, V itemType, V itemId, A custom);
    static Ptr levelStartEventWithLevelName(V levelName, A custom);
    static Ptr levelEndEventWithLevelName(V levelName, V score, V success, A custom);
    static Ptr addToCartEventWithPrice(V price, V currency, V itemName, V itemType, V itemId, A custom);
    static Ptr startCheckoutEventWithPrice(V price, V currency, V itemCount, A custom);
    static Ptr ratingEventWithRating(V rating, V contentName, V contentType, V contentId, A custom);
    static Ptr contentViewEventWithName(V contentName, V contentType, V contentId, A custom);
    static Ptr searchEventWithQuery(V query, A custom);

    QString name() const override { return QStringLiteral("predefined"); }
    QString predefinedEventName() const { return _predefinedEventName; }
    TDGAttributeDictionary& predefinedAttributes() { return _predefinedAttributes; }
    const TDGAttributeDictionary& customAttributes() const { return _customAttributes; }
    TDGJsonObject dictionaryRepresentation() const override;
    QString description() const override;

private:
    QString _predefinedEventName;
    TDGAttributeDictionary _customAttributes;
    TDGAttributeDictionary _predefinedAttributes;
};
