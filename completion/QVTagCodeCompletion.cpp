#include "completion/QVTagCodeCompletion.h"

#include "completion/QVCodeIndex.h"
#include "languages/QVBundle.h"
#include "languages/QVTagBasedParser.h"
#include "platform/QVRegex.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"

#include <algorithm>

namespace {

const QString kTitle = QStringLiteral("title");
const QString kAttributes = QStringLiteral("attributes");
const QString kValues = QStringLiteral("values");
const QString kEllipsis = QString(QChar(0x2026));

QString attributePattern() {
    return QStringLiteral("(?:[^= ]+ *= *\"[^\"]*\" *)*([^= \"]+)( *= *(\"([^\"]*)\"?)?)?$");
}

bool isBlank(QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); }

QString trimmedQuotes(QString text) {
    while (!text.isEmpty() && (text.front() == QLatin1Char('"') || text.front() == QLatin1Char('\''))) text.remove(0, 1);
    while (!text.isEmpty() && (text.back() == QLatin1Char('"') || text.back() == QLatin1Char('\''))) text.chop(1);
    return text;
}

QVariantList titled(const QStringList& titles) {
    QVariantList list;
    for (const QString& title : titles) list.append(QVariantMap{{kTitle, title}});
    return list;
}

}  // namespace

QVTagCodeCompletion::QVTagCodeCompletion(const std::shared_ptr<QVBundle>& bundle, const QVariantMap& plist)
    : QVCodeCompletion(bundle, plist),
      _parser(QVRegex::create(attributePattern())) {
    const QVariantMap elements = plist.value(QStringLiteral("elements")).toMap();
    // A user's definition may hold anything: only dictionaries describe elements.
    for (auto it = elements.constBegin(); it != elements.constEnd(); ++it)
        if (it.value().typeId() == QMetaType::QVariantMap && !it.key().isEmpty()) _elements.insert(it.key(), it.value());
}

QVTagCodeCompletion::~QVTagCodeCompletion() = default;

bool QVTagCodeCompletion::suggestAutomatically() const {
    return UserDefaults::standard().boolForKey(QString::fromLatin1(QVSuggestElementsAutomatically));
}

std::shared_ptr<QVTagBasedParser> QVTagCodeCompletion::associatedParser() const {
    const std::shared_ptr<QVBundle> owner = bundle();
    return owner ? std::dynamic_pointer_cast<QVTagBasedParser>(owner->parser()) : nullptr;
}

// ---- context ----------------------------------------------------------------------------

void QVTagCodeCompletion::establishContext(const QString& text, qint64 cursor) {
    _currentElement = _currentAttribute = _currentValue = QString();
    _elementRange = QVRange();
    cursor = std::clamp<qint64>(cursor, 0, text.size());
    const QVRange line = qvLineRangeAt(text, cursor);
    const QChar* data = text.constData();

    // The "<" that opens the tag the caret is in, skipping closed tags nested before it.
    qint64 open = -1;
    int depth = 0;
    for (qint64 i = cursor - 1; i >= line.location; --i) {
        const QChar c = data[i];
        if (c != QLatin1Char('<') && c != QLatin1Char('>')) continue;
        if (c == QLatin1Char('<') && depth == 0) {
            open = i;
            break;
        }
        depth += c == QLatin1Char('>') ? 1 : -1;
    }
    if (open < 0) return;
    qint64 nameEnd = open + 1;
    while (nameEnd < cursor && !isBlank(data[nameEnd])) ++nameEnd;
    _elementRange = QVRange(open + 1, nameEnd - open - 1);
    _currentElement = text.mid(_elementRange.location, _elementRange.length).toLower();

    const QVRange rest(nameEnd, cursor - nameEnd);
    const std::optional<QVRegexMatch> match = _parser ? _parser->copyMatchForString(text, rest) : std::nullopt;
    if (match) {
        const QVRange attribute = match->rangeForCapture(1);
        if (!attribute.isNotFound() && attribute.location >= rest.location && attribute.end() <= rest.end())
            _currentAttribute = text.mid(attribute.location, attribute.length).toLower();
        const QVRange value = match->count() > 4 ? match->rangeForCapture(4) : QVRange();
        if (!value.isNotFound() && value.location >= rest.location && value.end() <= rest.end())
            _currentValue = text.mid(value.location, value.length).toLower();
        // An opening quote with nothing typed yet is an empty value, not none.
        if (_currentValue.isNull() && !value.isNotFound()) _currentValue = QStringLiteral("");
    } else if (rest.length > 0) {
        _currentAttribute = QStringLiteral("");
    }
}

QString QVTagCodeCompletion::partialKeywordForString(const QString& text, qint64 cursor) {
    establishContext(text, cursor);
    if (!_currentValue.isNull()) return _currentValue;
    if (!_currentAttribute.isNull()) return _currentAttribute;
    return _currentElement;
}

QVRange QVTagCodeCompletion::keywordRangeForString(const QString& text, qint64 cursor) {
    cursor = std::clamp<qint64>(cursor, 0, text.size());
    const QVRange line = qvLineRangeAt(text, cursor);
    const QChar* data = text.constData();
    if (!_currentValue.isNull()) {
        qint64 open = cursor - 1;
        while (open >= line.location && data[open] != QLatin1Char('"')) --open;
        if (open < line.location) return QVRange(cursor, 0);
        // The closing quote counts only before the next "=" or ">": past one of those it is the
        // next attribute's opening quote, and replacing through it would eat that attribute.
        for (qint64 i = cursor; i < line.end(); ++i) {
            if (data[i] == QLatin1Char('=') || data[i] == QLatin1Char('>')) break;
            if (data[i] == QLatin1Char('"')) return QVRange(open, i + 1 - open);
        }
        return QVRange(open, cursor - open);
    }
    if (!_currentAttribute.isNull()) {
        for (qint64 i = cursor - 1; i >= line.location; --i)
            if (isBlank(data[i])) return QVRange(i + 1, cursor - i - 1);
        return QVRange(cursor, 0);
    }
    return _elementRange;
}

// ---- vocabulary -------------------------------------------------------------------------

const QList<std::shared_ptr<QVTagCodeCompletion>>& QVTagCodeCompletion::embeddedCodeCompletions() {
    if (_embedded) return *_embedded;
    _embedded.emplace();
    if (const std::shared_ptr<QVTagBasedParser> parser = associatedParser()) {
        for (const std::shared_ptr<QVTagBasedParser>& embedded : parser->embeddedTagParsers()) {
            const std::shared_ptr<QVBundle> owner = embedded ? embedded->bundle() : nullptr;
            if (!owner) break;
            if (auto engine = std::dynamic_pointer_cast<QVTagCodeCompletion>(owner->codeCompletion()))
                if (engine.get() != this) _embedded->append(engine);
        }
    }
    return *_embedded;
}

QStringList QVTagCodeCompletion::allElementsForPartialElement(const QString& partial) {
    QStringList names = _elements.keys();
    if (_walking) return names;
    _walking = true;
    for (const std::shared_ptr<QVTagCodeCompletion>& engine : embeddedCodeCompletions()) {
        const std::shared_ptr<QVTagBasedParser> parser = engine->associatedParser();
        if (parser && !parser->tagPrefix().isEmpty() && partial.startsWith(parser->tagPrefix(), Qt::CaseInsensitive))
            names += engine->allElementsForPartialElement(partial);
    }
    _walking = false;
    return names;
}

QVariantMap QVTagCodeCompletion::attributeDictionaryForElement(const QString& element) {
    const auto own = _elements.constFind(element);
    if (own != _elements.constEnd()) return own->toMap();
    if (_walking) return {};
    _walking = true;
    QVariantMap found;
    for (const std::shared_ptr<QVTagCodeCompletion>& engine : embeddedCodeCompletions()) {
        found = engine->attributeDictionaryForElement(element);
        if (!found.isEmpty()) break;
    }
    _walking = false;
    return found;
}

QStringList QVTagCodeCompletion::attributesForElement(const QString& element) {
    return attributeDictionaryForElement(element).keys();
}

QVariant QVTagCodeCompletion::valuesForElement(const QString& element, const QString& attribute) {
    return attributeDictionaryForElement(element).value(attribute);
}

QList<QVTagCodeCompletion::Value> QVTagCodeCompletion::resolvedValues(const QString& file) {
    // Cached for the element, attribute and document, which a shared engine must tell apart.
    const QStringList key{_currentElement, _currentAttribute, file};
    if (_cachedValues && _cachedValuesFor == key) return *_cachedValues;
    _cachedValuesFor = key;
    _cachedValues.emplace();
    const QVariant allowed = valuesForElement(_currentElement, _currentAttribute);
    if (allowed.typeId() == QMetaType::QVariantList || allowed.typeId() == QMetaType::QStringList) {
        for (const QVariant& value : allowed.toList())
            if (value.typeId() == QMetaType::QString) _cachedValues->append({value.toString(), std::nullopt});
    } else if (allowed.typeId() == QMetaType::QString) {
        const QString text = allowed.toString();
        if (text.startsWith(QLatin1Char('#'))) {
            const QString query = text.mid(1);
            const qsizetype dot = query.lastIndexOf(QLatin1Char('.'));
            if (dot >= 0 && !file.isEmpty()) {
                const auto keys = codeIndex().keysForType(query.mid(dot + 1), query.left(dot), file);
                if (keys)
                    for (const QVCodeIndexKey& indexKey : *keys) _cachedValues->append({indexKey.key(), indexKey});
            }
        } else if (!text.isEmpty()) {
            _cachedValues->append({text, std::nullopt});
        }
    }
    return *_cachedValues;
}

// ---- candidates -------------------------------------------------------------------------

std::optional<QList<QVCodeCompletionEntry>> QVTagCodeCompletion::completionsForString(const QString& partial,
                                                                                      const QString& file, qint64) {
    if (partial.isNull()) return std::nullopt;
    if (file != lastPath()) setLastPath(file);
    QList<QVCodeCompletionEntry> result;
    const auto keep = [&partial](const QString& text) {
        return partial.isEmpty() || text.startsWith(partial, Qt::CaseInsensitive);
    };
    if (!_currentValue.isNull()) {
        for (const Value& value : resolvedValues(file)) {
            if (!keep(value.text)) continue;
            QVCodeCompletionEntry entry;
            if (value.key) {
                entry.setKey(value.key->key());
                entry.setType(value.key->type());
                entry.setPrototype(QLatin1Char('"') + value.key->completion() + QLatin1Char('"'));
            } else {
                entry.setKey(value.text);
                entry.setType(QStringLiteral("value"));
                entry.setPrototype(QLatin1Char('"') + value.text + QLatin1Char('"'));
            }
            result.append(entry);
        }
    } else if (!_currentAttribute.isNull()) {
        if (!_cachedAttributes || _cachedAttributesElement != _currentElement) {
            _cachedAttributesElement = _currentElement;
            _cachedAttributes = attributesForElement(_currentElement);
        }
        for (const QString& name : std::as_const(*_cachedAttributes)) {
            if (!keep(name)) continue;
            QVCodeCompletionEntry entry;
            entry.setKey(name);
            entry.setType(QStringLiteral("attribute"));
            entry.setPrototype(name + QStringLiteral("=\"\""));
            result.append(entry);
        }
    } else if (!_currentElement.isNull()) {
        for (const QString& name : allElementsForPartialElement(_currentElement))
            if (keep(name)) result.append(QVCodeCompletionEntry(name, QStringLiteral("element %1 ").arg(name)));
    } else {
        return std::nullopt;
    }
    std::stable_sort(result.begin(), result.end());
    return result;
}

// ---- sheets -----------------------------------------------------------------------------

bool QVTagCodeCompletion::shouldShowUIForCompletion(QString& completion) const {
    completion = trimmedQuotes(completion);
    return QVCodeCompletion::shouldShowUIForCompletion(completion);
}

std::shared_ptr<QVCodeCompletionUI> QVTagCodeCompletion::createCodeCompletionUIForCompletion(const QString& label) {
    const QString lower = label.toLower();
    if (lower == QLatin1String("path") || lower == QLatin1String("uri")) return QVCodeCompletionUI::make(QStringLiteral("path"), label);
    return nullptr;
}

void QVTagCodeCompletion::uiEndedWithResult(QVCodeCompletionUI& sheet, int result, const QString& stringValue) {
    QString value = stringValue;
    value.replace(QLatin1Char('"'), QStringLiteral("&quot;"));
    QVCodeCompletion::uiEndedWithResult(sheet, result, QLatin1Char('"') + value + QLatin1Char('"'));
}

// ---- preferences ------------------------------------------------------------------------

QVariantList QVTagCodeCompletion::entries(bool) const {
    // The map's keys are already in order.
    QVariantList list;
    for (auto element = _elements.constBegin(); element != _elements.constEnd(); ++element) {
        QVariantList attributes;
        const QVariantMap map = element.value().toMap();
        for (auto attribute = map.constBegin(); attribute != map.constEnd(); ++attribute) {
            QStringList values;
            if (attribute.value().typeId() == QMetaType::QString) {
                if (!attribute.value().toString().isEmpty()) values << attribute.value().toString();
            } else {
                for (const QVariant& value : attribute.value().toList()) values << value.toString();
            }
            attributes.append(QVariantMap{{kTitle, attribute.key()}, {kValues, titled(values)}});
        }
        list.append(QVariantMap{{kTitle, element.key()}, {kAttributes, attributes}});
    }
    return list;
}

void QVTagCodeCompletion::setEntries(const QVariantList& entries) {
    const auto titleOf = [](const QVariant& item) { return item.toMap().value(kTitle).toString(); };
    QVariantMap elements;
    for (const QVariant& element : entries) {
        if (titleOf(element).isEmpty()) continue;
        QVariantMap attributes;
        for (const QVariant& attribute : element.toMap().value(kAttributes).toList()) {
            if (titleOf(attribute).isEmpty()) continue;
            QStringList values;
            for (const QVariant& value : attribute.toMap().value(kValues).toList())
                if (!titleOf(value).isEmpty()) values << titleOf(value);
            attributes.insert(titleOf(attribute), values.isEmpty() ? QVariant(QStringLiteral(""))
                                                  : values.size() == 1 ? QVariant(values.front())
                                                                       : QVariant(QVariantList(values.begin(), values.end())));
        }
        elements.insert(titleOf(element), attributes);
    }
    _elements = elements;
    _cachedAttributes.reset();
    _cachedValues.reset();
}

QVariantMap QVTagCodeCompletion::plistRepresentation() const {
    QVariantMap plist = QVCodeCompletion::plistRepresentation();
    plist.insert(QStringLiteral("format-type"), QStringLiteral("tag"));
    if (!_elements.isEmpty()) plist.insert(QStringLiteral("elements"), _elements);
    return plist;
}
