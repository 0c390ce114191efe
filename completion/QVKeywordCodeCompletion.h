// Completion of the word before the caret in programming languages: the definition's "keys"
// merged with the code index's keys of the document and the files it includes.
#pragma once

#include "completion/QVCodeCompletion.h"
#include "languages/QVCharacterSet.h"
#include "platform/NotificationCenter.h"

#include <QHash>

#include <atomic>

class QVParser;

// Keys are grouped by their first UTF-16 unit, so a keystroke scans one group. The index is
// asked once per document switch or index change, never per keystroke, and never waited for:
// an index that is off, not open or busy gives no keys for that document until it changes.
class QVKeywordCodeCompletion : public QVCodeCompletion {
public:
    using Groups = QHash<QChar, QList<QVCodeCompletionEntry>>;

    QVKeywordCodeCompletion(const std::shared_ptr<QVBundle>& bundle, const QVariantMap& plist);
    ~QVKeywordCodeCompletion() override;

    QVRange keywordRangeForString(const QString& text, qint64 cursor) override;
    QString partialKeywordForString(const QString& text, qint64 cursor) override;
    std::optional<QList<QVCodeCompletionEntry>> completionsForString(const QString& partial, const QString& file,
                                                                     qint64 cursor) override;
    // QVSuggestKeywordsAutomatically.
    bool suggestAutomatically() const override;

    // Replaces the index keys with those visible from path; no path, no keys.
    void loadDynamicKeysForPath(const QString& path);
    // Drops the document and its index keys, so the next request loads them again.
    void forgetLastPath();

    // Copies of the definition's entries, sorted by key when asked.
    QList<QVCodeCompletionEntry> keywordEntries(bool sorted) const;
    // Replaces them; entries with an empty key are dropped.
    void setKeywordEntries(const QList<QVCodeCompletionEntry>& entries);
    // The same as maps with "key", "type" (absent when none) and "prototype".
    QVariantList entries(bool sorted) const override;
    void setEntries(const QVariantList& entries) override;
    QVariantMap plistRepresentation() const override;
    // Each key to its entry's one-string form, or to the list of them when it has several.
    QVariantMap plistForKeys() const;

    // How many times the index was asked for keys (diagnostics and tests).
    qsizetype indexQueryCount() const { return _indexQueries; }

protected:
    // The bundle parser's word-ending characters, read again when the parser changed (the bundle
    // makes its engine before its parser); null without a keyword parser: then every
    // non-letter ends a word.
    const QVCharacterSet* wordEndSet();
    Groups& staticGroups() { return _default; }

private:
    void observeIndex();

    Groups _default;
    Groups _dynamic;
    QVCharacterSet _oppositeSet;
    std::weak_ptr<QVParser> _setParser;
    bool _parserSet = false;
    qsizetype _indexQueries = 0;
    // Set by the index's news, read by the next request: the notification touches nothing else.
    std::shared_ptr<std::atomic<bool>> _invalidated = std::make_shared<std::atomic<bool>>(false);
    NotificationCenter::Token _observer = 0;
};
