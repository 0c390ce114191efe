// One symbol found by the indexing rules: the text typed, the text inserted, its type and the
// language class that found it.
#pragma once

#include <QString>

class QVCodeIndexKey {
public:
    QVCodeIndexKey() = default;
    QVCodeIndexKey(QString key, QString completion) : _key(std::move(key)), _completion(std::move(completion)) {}

    const QString& key() const { return _key; }
    void setKey(const QString& key) { _key = key; }
    const QString& completion() const { return _completion; }
    void setCompletion(const QString& completion) { _completion = completion; }
    // The type title ("function", "class"...); null when the rule gave none.
    const QString& type() const { return _type; }
    void setType(const QString& type) { _type = type; }
    // The parser identifier of the bundle whose rules found the key; null on keys read back
    // from the index.
    const QString& classString() const { return _class; }
    void setClassString(const QString& classString) { _class = classString; }

    // Both answer for the key text.
    bool hasPrefix(const QString& prefix) const { return _key.startsWith(prefix); }
    qsizetype length() const { return _key.size(); }

    // "<type> <key> => <completion>"
    QString description() const;

    bool operator==(const QVCodeIndexKey&) const = default;

private:
    QString _key;
    QString _completion;
    QString _type;
    QString _class;
};
