#include "completion/QVCSSCodeCompletion.h"

#include "platform/QVRegex.h"

#include <algorithm>

namespace {

const QString kTitle = QStringLiteral("title");
const QString kValues = QStringLiteral("values");
// How far back the caret's rule is looked for: a declaration block is never longer.
constexpr qint64 kRuleWindow = 1 << 16;

}  // namespace

QVCSSCodeCompletion::QVCSSCodeCompletion(const std::shared_ptr<QVBundle>& bundle, const QVariantMap& plist)
    : QVKeywordCodeCompletion(bundle, plist),
      _propertyRegex(QVRegex::create(QStringLiteral("([a-z-]+)(\\s*:\\s*([^\r\n;\\}]+))?([ \t]*\\})?$"))) {
    const QVariantMap properties = plist.value(QStringLiteral("properties")).toMap();
    for (auto it = properties.constBegin(); it != properties.constEnd(); ++it) {
        if (it.key().isEmpty()) continue;
        QStringList values;
        // A user's definition may hold anything: strings, and lists of strings, count.
        if (it.value().typeId() == QMetaType::QString) values << it.value().toString();
        else
            for (const QVariant& value : it.value().toList())
                if (value.typeId() == QMetaType::QString) values << value.toString();
        _properties[it.key().front()].insert(it.key(), values);
    }
}

QVCSSCodeCompletion::~QVCSSCodeCompletion() = default;

bool QVCSSCodeCompletion::locationInOpenSelector(const QString& text, qint64 cursor) {
    cursor = std::clamp<qint64>(cursor, 0, text.size());
    const qint64 lowest = std::max<qint64>(0, cursor - kRuleWindow);
    for (qint64 i = cursor - 1; i >= lowest; --i) {
        if (text.at(i) == QLatin1Char('{')) return true;
        if (text.at(i) == QLatin1Char('}')) return false;
    }
    return false;
}

void QVCSSCodeCompletion::establishContext(const QString& text, qint64 cursor) {
    _currentProperty = _currentValue = QString();
    if (!locationInOpenSelector(text, cursor) || !_propertyRegex) return;
    const QVRange line = qvLineRangeAt(text, cursor);
    const std::optional<QVRegexMatch> match = _propertyRegex->copyMatchForString(text, line);
    if (!match) return;
    const QVRange property = match->rangeForCapture(1);
    if (property.isNotFound()) return;
    _currentProperty = text.mid(property.location, property.length);
    const QVRange value = match->rangeForCapture(3);
    if (value.isNotFound() || value.length == 0) return;
    QString typed = text.mid(value.location, value.length).trimmed();
    const qsizetype blank = typed.lastIndexOf(QLatin1Char(' '));
    if (blank >= 0) typed = typed.mid(blank + 1);
    _currentValue = typed;
}

QString QVCSSCodeCompletion::partialKeywordForString(const QString& text, qint64 cursor) {
    establishContext(text, cursor);
    return _currentValue.isNull() ? _currentProperty : _currentValue;
}

QVRange QVCSSCodeCompletion::keywordRangeForString(const QString& text, qint64 cursor) {
    cursor = std::clamp<qint64>(cursor, 0, text.size());
    const QVRange line = qvLineRangeAt(text, cursor);
    const QVCharacterSet* ends = wordEndSet();
    const auto isEnd = [ends](QChar c) {
        return ends ? ends->contains(c) : !(c.isLetterOrNumber() || c == QLatin1Char('-'));
    };
    qint64 start = cursor;
    while (start > line.location && !isEnd(text.at(start - 1))) --start;
    qint64 end = cursor;
    while (end < line.end() && !isEnd(text.at(end))) ++end;
    return QVRange(start, end - start);
}

QStringList QVCSSCodeCompletion::valuesForProperty(const QString& property) const {
    if (property.isEmpty()) return {};
    return _properties.value(property.front()).value(property);
}

QVCodeCompletionEntry QVCSSCodeCompletion::entryForProperty(const QString& property) {
    QVCodeCompletionEntry entry;
    entry.setKey(property);
    entry.setPrototype(property + QStringLiteral(": "));
    return entry;
}

QVCodeCompletionEntry QVCSSCodeCompletion::entryForValue(const QString& value) {
    QVCodeCompletionEntry entry;
    entry.setKey(value);
    entry.setPrototype(value);
    entry.setHideOnComplete(true);
    return entry;
}

std::optional<QList<QVCodeCompletionEntry>> QVCSSCodeCompletion::completionsForString(const QString& partial,
                                                                                      const QString& file, qint64) {
    if (partial.isNull()) return std::nullopt;
    setLastPath(file);
    QList<QVCodeCompletionEntry> result;
    if (!_currentValue.isNull()) {
        for (const QString& value : valuesForProperty(_currentProperty))
            if (_currentValue.isEmpty() || value.startsWith(_currentValue)) result.append(entryForValue(value));
        return result;
    }
    if (_currentProperty.isEmpty()) return std::nullopt;
    const QMap<QString, QStringList> group = _properties.value(_currentProperty.front());
    for (auto it = group.constBegin(); it != group.constEnd(); ++it)
        if (it.key().startsWith(_currentProperty)) result.append(entryForProperty(it.key()));
    return result;  // the map keeps them sorted by name
}

std::shared_ptr<QVCodeCompletionUI> QVCSSCodeCompletion::createCodeCompletionUIForCompletion(const QString& label) {
    return QVCodeCompletionUI::make(QStringLiteral("css"), label);
}

QVariantList QVCSSCodeCompletion::entries(bool) const {
    QList<QChar> firsts = _properties.keys();
    std::sort(firsts.begin(), firsts.end());
    QVariantList list;
    for (QChar first : std::as_const(firsts)) {
        const QMap<QString, QStringList>& group = _properties[first];
        for (auto it = group.constBegin(); it != group.constEnd(); ++it) {
            QVariantList values;
            for (const QString& value : it.value()) values.append(QVariantMap{{kTitle, value}});
            list.append(QVariantMap{{kTitle, it.key()}, {kValues, values}});
        }
    }
    return list;
}

void QVCSSCodeCompletion::setEntries(const QVariantList& entries) {
    _properties.clear();
    for (const QVariant& item : entries) {
        const QVariantMap map = item.toMap();
        const QString title = map.value(kTitle).toString();
        if (title.isEmpty()) continue;
        QStringList values;
        for (const QVariant& value : map.value(kValues).toList()) {
            const QString text = value.toMap().value(kTitle).toString();
            if (!text.isEmpty()) values << text;
        }
        _properties[title.front()].insert(title, values);
    }
}

QVariantMap QVCSSCodeCompletion::plistRepresentation() const {
    QVariantMap properties;
    for (const QMap<QString, QStringList>& group : _properties)
        for (auto it = group.constBegin(); it != group.constEnd(); ++it) properties.insert(it.key(), it.value());
    return {{QStringLiteral("class"), ClassName}, {QStringLiteral("properties"), properties}};
}
