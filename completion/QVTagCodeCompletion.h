// Completion inside a markup start tag: the element name after "<", an attribute name after the
// element, and an attribute value inside double quotes; embedded tag languages lend their
// vocabularies, and values may come from the code index or a path sheet.
#pragma once

#include "completion/QVCodeCompletion.h"
#include "completion/QVCodeIndexKey.h"

#include <QHash>
#include <QStringList>

class QVRegex;
class QVTagBasedParser;

// "elements" maps element names to attribute dictionaries; what an attribute's value allows
// is a list of values, one value, "" for none, or "#<class>.<type>" for the index's keys of that
// language class and type. A value ending in an ellipsis ('path…') asks for it in a sheet.
class QVTagCodeCompletion : public QVCodeCompletion {
public:
    QVTagCodeCompletion(const std::shared_ptr<QVBundle>& bundle, const QVariantMap& plist);
    ~QVTagCodeCompletion() override;

    QString partialKeywordForString(const QString& text, qint64 cursor) override;
    QVRange keywordRangeForString(const QString& text, qint64 cursor) override;
    std::optional<QList<QVCodeCompletionEntry>> completionsForString(const QString& partial, const QString& file,
                                                                     qint64 cursor) override;
    // QVSuggestElementsAutomatically.
    bool suggestAutomatically() const override;
    bool shouldShowUIForCompletion(QString& completion) const override;
    std::shared_ptr<QVCodeCompletionUI> createCodeCompletionUIForCompletion(const QString& label) override;
    // The value goes in double quotes; a double quote inside it is written as "&quot;".
    void uiEndedWithResult(QVCodeCompletionUI& sheet, int result, const QString& stringValue) override;

    // The bundle's parser when it is a tag parser.
    std::shared_ptr<QVTagBasedParser> associatedParser() const;
    QStringList allElementsForPartialElement(const QString& partial);
    QStringList attributesForElement(const QString& element);
    QVariantMap attributeDictionaryForElement(const QString& element);
    QVariant valuesForElement(const QString& element, const QString& attribute);

    // The context of the last partial-word request (lower-cased; null when absent).
    const QString& currentElement() const { return _currentElement; }
    const QString& currentAttribute() const { return _currentAttribute; }
    const QString& currentValue() const { return _currentValue; }

    // The preferences' form: per element "title" and "attributes" (each "title" and "values",
    // a list of maps with "title"), sorted by name.
    QVariantList entries(bool sorted) const override;
    void setEntries(const QVariantList& entries) override;
    QVariantMap plistRepresentation() const override;

private:
    struct Value {
        QString text;
        std::optional<QVCodeIndexKey> key;
    };
    void establishContext(const QString& text, qint64 cursor);
    QList<Value> resolvedValues(const QString& file);
    const QList<std::shared_ptr<QVTagCodeCompletion>>& embeddedCodeCompletions();

    QVariantMap _elements;
    std::optional<QList<std::shared_ptr<QVTagCodeCompletion>>> _embedded;
    bool _walking = false;  // guards languages that embed each other
    std::shared_ptr<const QVRegex> _parser;

    QString _currentElement, _currentAttribute, _currentValue;
    QVRange _elementRange;  // of the current element's name
    // The last attribute and value lists, with what they were made for.
    QString _cachedAttributesElement;
    std::optional<QStringList> _cachedAttributes;
    QStringList _cachedValuesFor;
    std::optional<QList<Value>> _cachedValues;
};
