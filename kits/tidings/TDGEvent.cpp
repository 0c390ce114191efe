#include "kits/tidings/TDGEvent.h"

#include "platform/PropertyList.h"

#include "platform/SystemLog.h"
#include "kits/trellis/TRLHelpers.h"

#include <QLocale>
#include <QRegularExpression>

#include <cmath>
#include <ctime>
#include <limits>

// Attribute warnings reach the system log whatever the kits' debug mode: they tell the caller
// what was dropped from its own event.
static void warn(const QString& text) { SystemLog::warning(QStringLiteral("[Tidings] ") + text); }

static QString shown(const QVariant& v) {
    if (v.typeId() == QMetaType::QString) return v.toString();
    if (v.canConvert<QString>()) return v.toString();
    return QString::fromLatin1(v.typeName() ? v.typeName() : "?");
}

TDGAttributeDictionary::TDGAttributeDictionary(const TDGAttributes& attributes) {
    for (const auto& [key, value] : attributes) addAttribute(value, key);
}

QString TDGAttributeDictionary::truncateString(const QString& text) {
    if (text.size() <= kMaximumLength) return text;
    warn(QStringLiteral("Maximum length for an Event attributes exceeded. Truncating to %1 characters.").arg(kMaximumLength));
    qsizetype cut = kMaximumLength;
    // Cutting between the halves of a surrogate pair would leave text that is not Unicode and a
    // payload that cannot be written: cut before the pair.
    if (text.at(cut - 1).isHighSurrogate() && text.at(cut).isLowSurrogate()) --cut;
    return text.left(cut);
}

// Numbers and flags, as attributes take them.
static bool isNumber(const QVariant& v) { return PropertyList::isFlag(v); }

void TDGAttributeDictionary::addAttribute(const QVariant& value, const QVariant& key) {
    if (!value.isValid() || value.isNull() || !key.isValid() || key.isNull()) return;
    if (_rawDictionary.size() >= kMaximumEntries) {
        warn(QStringLiteral("Maximum number of Event attributes exceeded. Ignoring entry %1:%2").arg(shown(key), shown(value)));
        return;
    }
    if (key.typeId() != QMetaType::QString) {
        warn(QStringLiteral("Event attribute keys must be of type NSString. Ignoring entry %1:%2").arg(shown(key), shown(value)));
        return;
    }
    if (value.typeId() != QMetaType::QString && !isNumber(value)) {
        warn(QStringLiteral("Event attribute values must be of type NSString or NSNumber. Ignoring entry %1:%2").arg(shown(key), shown(value)));
        return;
    }
    const QString k = truncateString(key.toString());
    if (value.typeId() == QMetaType::QString) {
        _rawDictionary.set(k, truncateString(value.toString()));
        return;
    }
    // Not-a-number (and the infinities, which JSON cannot hold either) removes the key rather than
    // making the whole event unwritable.
    if ((value.typeId() == QMetaType::Double || value.typeId() == QMetaType::Float) && !std::isfinite(value.toDouble())) {
        _rawDictionary.remove(k);
        return;
    }
    _rawDictionary.set(k, value);
}

void TDGAttributeDictionary::addBooleanAttribute(const QVariant& flag, const QVariant& key) {
    if (!flag.isValid() || flag.isNull()) return;
    const QVariant k = key.typeId() == QMetaType::QString ? QVariant(truncateString(key.toString())) : key;
    addAttribute(flag.toBool() ? QStringLiteral("true") : QStringLiteral("false"), k);
}

std::optional<qint64> TDGAttributeDictionary::serializePriceToMicros(const QVariant& price) {
    if (!price.isValid() || price.isNull()) return std::nullopt;
    QString text;
    if (price.typeId() == QMetaType::QString) {
        text = price.toString().trimmed();
    } else if (isNumber(price) && price.typeId() != QMetaType::Bool) {
        if (price.typeId() == QMetaType::Double || price.typeId() == QMetaType::Float) {
            const double d = price.toDouble();
            if (!std::isfinite(d)) return std::nullopt;
            // The shortest text that reads back as the same double is the decimal the caller wrote.
            text = QLocale::c().toString(d, 'g', QLocale::FloatingPointShortest);
        } else {
            text = price.toString();
        }
    } else {
        return std::nullopt;
    }
    static const QRegularExpression decimal(QStringLiteral("^([+-]?)(\\d*)(?:\\.(\\d*))?(?:[eE]([+-]?\\d{1,4}))?$"));
    const auto m = decimal.match(text);
    if (!m.hasMatch() || (m.captured(2).isEmpty() && m.captured(3).isEmpty())) return std::nullopt;
    const bool negative = m.captured(1) == QLatin1String("-");
    QString digits = m.captured(2) + m.captured(3);
    int exponent = m.captured(4).toInt() - int(m.captured(3).size()) + 6;  // micros
    while (digits.size() > 1 && digits.startsWith(QLatin1Char('0'))) digits.remove(0, 1);
    __extension__ typedef __int128 I;
    const I limit = I(std::numeric_limits<qint64>::max());
    // Fractions of a micro are rounded half away from zero.
    while (exponent < 0 && !digits.isEmpty()) {
        if (exponent == -1) {
            const bool up = digits.back().digitValue() >= 5;
            digits.chop(1);
            I value = 0;
            for (QChar c : digits) {
                value = value * 10 + c.digitValue();
                if (value > limit) return std::nullopt;
            }
            if (up) ++value;
            if (value > limit) return std::nullopt;
            return qint64(negative ? -value : value);
        }
        digits.chop(1);
        ++exponent;
    }
    if (digits.isEmpty()) return 0;
    I value = 0;
    for (QChar c : digits) {
        value = value * 10 + c.digitValue();
        if (value > limit) return std::nullopt;
    }
    for (int i = 0; i < exponent; ++i) {
        if (value == 0) break;
        value *= 10;
        if (value > limit) return std::nullopt;
    }
    return qint64(negative ? -value : value);
}

void TDGAttributeDictionary::addPriceAttribute(const QVariant& price, const QVariant& key) {
    if (!price.isValid() || price.isNull()) return;
    const auto micros = serializePriceToMicros(price);
    if (!micros) {
        warn(QStringLiteral("Maximum value for a price attribute exceeded. Ignoring price attribute with value: %1").arg(shown(price)));
        return;
    }
    const QVariant k = key.typeId() == QMetaType::QString ? QVariant(truncateString(key.toString())) : key;
    addAttribute(QVariant::fromValue<qint64>(*micros), k);
}

QString TDGAttributeDictionary::description() const { return QString::fromUtf8(TDGJson::write(QVariant::fromValue(_rawDictionary))); }

double TDGEvent::now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

TDGEvent::TDGEvent() : _timestamp(now()), _identifier(TRLGenerateUUIDString()) {}

QString TDGLifecycleEvent::nameFromNotification(const QString& notificationName) {
    if (notificationName == QLatin1String("NSApplicationWillTerminateNotification")) return QStringLiteral("app_terminated");
    if (notificationName == QLatin1String("NSApplicationWillResignActiveNotification")) return QStringLiteral("app_became_inactive");
    if (notificationName == QLatin1String("NSApplicationDidBecomeActiveNotification")) return QStringLiteral("app_became_active");
    return QStringLiteral("unknown-notification");
}

std::shared_ptr<TDGLifecycleEvent> TDGLifecycleEvent::eventWithNotification(const QString& notificationName) {
    return std::make_shared<TDGLifecycleEvent>(nameFromNotification(notificationName));
}
std::shared_ptr<TDGLifecycleEvent> TDGLifecycleEvent::installEvent() { return std::make_shared<TDGLifecycleEvent>(QStringLiteral("app_installed")); }
std::shared_ptr<TDGLifecycleEvent> TDGLifecycleEvent::appLaunchedEvent() {
    return std::make_shared<TDGLifecycleEvent>(QStringLiteral("app_launched"));
}

TDGJsonObject TDGLifecycleEvent::dictionaryRepresentation() const {
    TDGJsonObject o;
    o.set(QStringLiteral("eventId"), _identifier);
    return o;
}

bool TDGLifecycleEvent::triggersFlush() const {
    return _name == QLatin1String("app_installed") || _name == QLatin1String("app_became_active") ||
           _name == QLatin1String("app_became_inactive");
}

QString TDGCrashEvent::payloadStringForCrashState(quint64 state) {
    if (state == 1) return QStringLiteral("foreground");
    if (state == 2) return QStringLiteral("background");
    return QStringLiteral("unknown");
}

TDGJsonObject TDGCrashEvent::dictionaryRepresentation() const {
    TDGJsonObject o;
    o.set(QStringLiteral("eventId"), _identifier);
    o.set(QStringLiteral("crash_state"), payloadStringForCrashState(_crashState));
    return o;
}

TDGJsonObject TDGCustomEvent::dictionaryRepresentation() const {
    TDGJsonObject o;
    o.set(QStringLiteral("eventId"), _identifier);
    o.set(QStringLiteral("custom_type"), _customEventName);
    o.set(QStringLiteral("custom_attributes"), QVariant::fromValue(_customAttributes.dictionaryRepresentation()));
    return o;
}

QString TDGCustomEvent::description() const {
    return QStringLiteral("<TDGCustomEvent: %1\n%2>").arg(_customEventName, _customAttributes.description());
}

TDGJsonObject TDGPredefinedEvent::dictionaryRepresentation() const {
    TDGJsonObject o;
    o.set(QStringLiteral("eventId"), _identifier);
    o.set(QStringLiteral("predefined_type"), _predefinedEventName);
    o.set(QStringLiteral("custom_attributes"), QVariant::fromValue(_customAttributes.dictionaryRepresentation()));
    o.set(QStringLiteral("predefined_attributes"), QVariant::fromValue(_predefinedAttributes.dictionaryRepresentation()));
    return o;
}

QString TDGPredefinedEvent::description() const {
    return QStringLiteral("<TDGPredefinedEvent: %1\n%2\n%3>")
        .arg(_predefinedEventName, _predefinedAttributes.description(), _customAttributes.description());
}

namespace {
using P = TDGPredefinedEvent;
P::Ptr make(const char* type, const TDGAttributes& custom) { return std::make_shared<P>(QString::fromLatin1(type), custom); }
QVariant key(const char* k) { return QString::fromLatin1(k); }
}  // namespace

P::Ptr P::signUpEventWithMethod(V method, V success, A custom) {
    auto e = make("sign_up", custom);
    e->_predefinedAttributes.addAttribute(method, key("method"));
    e->_predefinedAttributes.addBooleanAttribute(success, key("success"));
    return e;
}
P::Ptr P::loginEventWithMethod(V method, V success, A custom) {
    auto e = make("login", custom);
    e->_predefinedAttributes.addAttribute(method, key("method"));
    e->_predefinedAttributes.addBooleanAttribute(success, key("success"));
    return e;
}
P::Ptr P::shareEventWithMethod(V method, V contentName, V contentType, V contentId, A custom) {
    auto e = make("share", custom);
    auto& a = e->_predefinedAttributes;
    a.addAttribute(method, key("method"));
    a.addAttribute(contentName, key("content_name"));
    a.addAttribute(contentType, key("content_type"));
    a.addAttribute(contentId, key("content_id"));
    return e;
}
P::Ptr P::inviteEventWithMethod(V method, A custom) {
    auto e = make("invite", custom);
    e->_predefinedAttributes.addAttribute(method, key("method"));
    return e;
}
P::Ptr P::purchaseEventWithPrice(V price, V currency, V success, V itemName, V itemType, V itemId, A custom) {
    auto e = make("purchase", custom);
    auto& a = e->_predefinedAttributes;
    a.addPriceAttribute(price, key("item_price"));
    a.addAttribute(currency, key("currency"));
    a.addBooleanAttribute(success, key("success"));
    a.addAttribute(itemName, key("item_name"));
    a.addAttribute(itemType, key("item_type"));
    a.addAttribute(itemId, key("item_id"));
    return e;
}
P::Ptr P::levelStartEventWithLevelName(V levelName, A custom) {
    auto e = make("level_start", custom);
    e->_predefinedAttributes.addAttribute(levelName, key("level_name"));
    return e;
}
P::Ptr P::levelEndEventWithLevelName(V levelName, V score, V success, A custom) {
    auto e = make("level_end", custom);
    auto& a = e->_predefinedAttributes;
    a.addAttribute(levelName, key("level_name"));
    a.addAttribute(score, key("score"));
    a.addBooleanAttribute(success, key("success"));
    return e;
}
P::Ptr P::addToCartEventWithPrice(V price, V currency, V itemName, V itemType, V itemId, A custom) {
    auto e = make("add_to_cart", custom);
    auto& a = e->_predefinedAttributes;
    a.addPriceAttribute(price, key("item_price"));
    a.addAttribute(currency, key("currency"));
    a.addAttribute(itemName, key("item_name"));
    a.addAttribute(itemType, key("item_type"));
    a.addAttribute(itemId, key("item_id"));
    return e;
}
P::Ptr P::startCheckoutEventWithPrice(V price, V currency, V itemCount, A custom) {
    auto e = make("start_checkout", custom);
    auto& a = e->_predefinedAttributes;
    a.addPriceAttribute(price, key("total_price"));
    a.addAttribute(currency, key("currency"));
    a.addAttribute(itemCount, key("item_count"));
    return e;
}
P::Ptr P::ratingEventWithRating(V rating, V contentName, V contentType, V contentId, A custom) {
    auto e = make("rating", custom);
    auto& a = e->_predefinedAttributes;
    a.addAttribute(rating, key("rating"));
    a.addAttribute(contentName, key("content_name"));
    a.addAttribute(contentType, key("content_type"));
    a.addAttribute(contentId, key("content_id"));
    return e;
}
P::Ptr P::contentViewEventWithName(V contentName, V contentType, V contentId, A custom) {
    auto e = make("content_view", custom);
    auto& a = e->_predefinedAttributes;
    a.addAttribute(contentName, key("content_name"));
    a.addAttribute(contentType, key("content_type"));
    a.addAttribute(contentId, key("content_id"));
    return e;
}
P::Ptr P::searchEventWithQuery(V query, A custom) {
    auto e = make("search", custom);
    e->_predefinedAttributes.addAttribute(query, key("query"));
    return e;
}
