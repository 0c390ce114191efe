// Completion of style-sheet declarations inside a rule's braces: property names, then the
// values of the property on the caret's line. A value type ending in an ellipsis ('length…')
// asks for the value in a sheet.
#pragma once

#include "completion/QVKeywordCodeCompletion.h"

#include <QMap>

class QVRegex;

class QVCSSCodeCompletion : public QVKeywordCodeCompletion {
public:
    static inline const QString ClassName = QStringLiteral("QVCSSCodeCompletion");
    // First character to property name to its values, in the order offered.
    using Properties = QHash<QChar, QMap<QString, QStringList>>;

    QVCSSCodeCompletion(const std::shared_ptr<QVBundle>& bundle, const QVariantMap& plist);
    ~QVCSSCodeCompletion() override;

    bool suggestAutomatically() const override { return true; }
    // Whether a "{" lies before the caret with no "}" between.
    static bool locationInOpenSelector(const QString& text, qint64 cursor);
    void establishContext(const QString& text, qint64 cursor);
    QString partialKeywordForString(const QString& text, qint64 cursor) override;
    // The word around the caret: the rest of it after the caret is replaced too.
    QVRange keywordRangeForString(const QString& text, qint64 cursor) override;
    std::optional<QList<QVCodeCompletionEntry>> completionsForString(const QString& partial, const QString& file,
                                                                     qint64 cursor) override;
    std::shared_ptr<QVCodeCompletionUI> createCodeCompletionUIForCompletion(const QString& label) override;

    QStringList valuesForProperty(const QString& property) const;
    static QVCodeCompletionEntry entryForProperty(const QString& property);
    static QVCodeCompletionEntry entryForValue(const QString& value);
    const QString& currentProperty() const { return _currentProperty; }
    const QString& currentValue() const { return _currentValue; }

    // Per property "title" and "values" (maps with "title"), by first character then name.
    QVariantList entries(bool sorted) const override;
    void setEntries(const QVariantList& entries) override;
    QVariantMap plistRepresentation() const override;

private:
    Properties _properties;
    std::shared_ptr<const QVRegex> _propertyRegex;
    QString _currentProperty, _currentValue;
};
