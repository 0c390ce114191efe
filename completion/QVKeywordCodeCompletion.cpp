#include "completion/QVKeywordCodeCompletion.h"

#include "completion/QVCodeIndex.h"
#include "languages/QVBundle.h"
#include "languages/QVKeywordBasedParser.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"

#include <algorithm>
#include <iterator>

namespace {

void appendToGroup(QVKeywordCodeCompletion::Groups& groups, const QVCodeCompletionEntry& entry) {
    if (entry.key().isEmpty()) return;
    groups[entry.key().front()].append(entry);
}

// Groups are kept sorted by key (equal keys in the order given), so that a request finds its
// candidates by binary search and merges the two sources instead of sorting.
void sortGroups(QVKeywordCodeCompletion::Groups& groups) {
    for (QList<QVCodeCompletionEntry>& group : groups) std::stable_sort(group.begin(), group.end());
}

void appendMatching(const QVKeywordCodeCompletion::Groups& groups, const QString& partial,
                    QList<QVCodeCompletionEntry>& into) {
    const auto group = groups.constFind(partial.front());
    if (group == groups.constEnd()) return;
    auto it = std::lower_bound(group->cbegin(), group->cend(), partial,
                               [](const QVCodeCompletionEntry& entry, const QString& key) { return entry.key() < key; });
    for (; it != group->cend() && it->key().startsWith(partial); ++it) into.append(*it);
}

}  // namespace

QVKeywordCodeCompletion::QVKeywordCodeCompletion(const std::shared_ptr<QVBundle>& bundle, const QVariantMap& plist)
    : QVCodeCompletion(bundle, plist) {
    const QVariantMap keys = plist.value(QStringLiteral("keys")).toMap();
    for (auto it = keys.constBegin(); it != keys.constEnd(); ++it) {
        if (it.key().isEmpty()) continue;
        QStringList strings;
        // User bundles may hold anything here: strings and lists of strings count, the rest not.
        if (it.value().typeId() == QMetaType::QString) strings << it.value().toString();
        else if (it.value().typeId() == QMetaType::QStringList) strings = it.value().toStringList();
        else if (it.value().typeId() == QMetaType::QVariantList)
            for (const QVariant& one : it.value().toList())
                if (one.typeId() == QMetaType::QString) strings << one.toString();
        for (const QString& string : std::as_const(strings)) {
            QVCodeCompletionEntry entry(it.key(), string);
            entry.setHideOnComplete(true);
            appendToGroup(_default, entry);
        }
    }
    sortGroups(_default);
    observeIndex();
}

QVKeywordCodeCompletion::~QVKeywordCodeCompletion() {
    if (_observer) NotificationCenter::defaultCenter().removeObserver(_observer);
}

void QVKeywordCodeCompletion::observeIndex() {
    _observer = NotificationCenter::defaultCenter().addObserver(
        QString::fromLatin1(QVFileIndexInvalidated), nullptr,
        [flag = _invalidated](const Notification&) { flag->store(true); });
}

const QVCharacterSet* QVKeywordCodeCompletion::wordEndSet() {
    const std::shared_ptr<QVBundle> owner = bundle();
    const std::shared_ptr<QVParser> parser = owner ? owner->parser() : nullptr;
    if (parser != _setParser.lock() || (!parser && _parserSet)) {
        _setParser = parser;
        const auto keywordParser = std::dynamic_pointer_cast<QVKeywordBasedParser>(parser);
        _parserSet = bool(keywordParser);
        _oppositeSet = keywordParser ? keywordParser->oppositeSet() : QVCharacterSet();
    }
    return _parserSet ? &_oppositeSet : nullptr;
}

QVRange QVKeywordCodeCompletion::keywordRangeForString(const QString& text, qint64 cursor) {
    cursor = std::clamp<qint64>(cursor, 0, text.size());
    const QVRange line = qvLineRangeAt(text, cursor);
    const QVCharacterSet* ends = wordEndSet();
    qint64 start = cursor;
    while (start > line.location && !(ends ? ends->contains(text.at(start - 1)) : !text.at(start - 1).isLetter()))
        --start;
    return QVRange(start, cursor - start);
}

QString QVKeywordCodeCompletion::partialKeywordForString(const QString& text, qint64 cursor) {
    const QVRange range = keywordRangeForString(text, cursor);
    return text.mid(range.location, range.length);
}

bool QVKeywordCodeCompletion::suggestAutomatically() const {
    return UserDefaults::standard().boolForKey(QString::fromLatin1(QVSuggestKeywordsAutomatically));
}

std::optional<QList<QVCodeCompletionEntry>> QVKeywordCodeCompletion::completionsForString(const QString& partial,
                                                                                          const QString& file,
                                                                                          qint64) {
    if (partial.isEmpty()) return std::nullopt;
    if (_invalidated->exchange(false)) forgetLastPath();
    if (file != lastPath() || (file.isNull() != lastPath().isNull())) {
        setLastPath(file);
        loadDynamicKeysForPath(file);
    }
    QList<QVCodeCompletionEntry> fromDefinition, fromIndex;
    appendMatching(_default, partial, fromDefinition);
    appendMatching(_dynamic, partial, fromIndex);
    if (fromIndex.isEmpty()) return fromDefinition;
    QList<QVCodeCompletionEntry> result;
    result.reserve(fromDefinition.size() + fromIndex.size());
    std::merge(fromDefinition.cbegin(), fromDefinition.cend(), fromIndex.cbegin(), fromIndex.cend(),
               std::back_inserter(result));
    return result;
}

void QVKeywordCodeCompletion::loadDynamicKeysForPath(const QString& path) {
    _dynamic.clear();
    if (path.isEmpty()) return;
    const std::shared_ptr<QVBundle> owner = bundle();
    if (!owner) return;
    QVCodeIndex& index = codeIndex();
    ++_indexQueries;
    const std::optional<QList<QVCodeIndexKey>> keys = index.keysForType(QString(), owner->identifier(), path);
    if (!keys) return;
    for (const QVCodeIndexKey& key : *keys) {
        QVCodeCompletionEntry entry;
        entry.setKey(key.key());
        entry.setType(key.type());
        entry.setPrototype(key.completion());
        appendToGroup(_dynamic, entry);
    }
    sortGroups(_dynamic);
}

void QVKeywordCodeCompletion::forgetLastPath() {
    setLastPath(QString());
    _dynamic.clear();
}

QList<QVCodeCompletionEntry> QVKeywordCodeCompletion::keywordEntries(bool sorted) const {
    QList<QVCodeCompletionEntry> all;
    for (const QList<QVCodeCompletionEntry>& group : _default) all += group;
    if (sorted) std::stable_sort(all.begin(), all.end());
    return all;
}

void QVKeywordCodeCompletion::setKeywordEntries(const QList<QVCodeCompletionEntry>& entries) {
    _default.clear();
    for (const QVCodeCompletionEntry& entry : entries) appendToGroup(_default, entry);
    sortGroups(_default);
}

QVariantList QVKeywordCodeCompletion::entries(bool sorted) const {
    QVariantList list;
    for (const QVCodeCompletionEntry& entry : keywordEntries(sorted)) {
        QVariantMap map{{QStringLiteral("key"), entry.key()}, {QStringLiteral("prototype"), entry.prototype()}};
        if (!entry.type().isNull()) map.insert(QStringLiteral("type"), entry.type());
        list.append(map);
    }
    return list;
}

void QVKeywordCodeCompletion::setEntries(const QVariantList& entries) {
    QList<QVCodeCompletionEntry> list;
    for (const QVariant& item : entries) {
        const QVariantMap map = item.toMap();
        QVCodeCompletionEntry entry;
        entry.setKeyFromEditor(map.value(QStringLiteral("key")).toString());
        if (map.contains(QStringLiteral("prototype"))) entry.setPrototype(map.value(QStringLiteral("prototype")).toString());
        if (map.contains(QStringLiteral("type"))) entry.setType(map.value(QStringLiteral("type")).toString());
        entry.setHideOnComplete(true);
        list.append(entry);
    }
    setKeywordEntries(list);
}

QVariantMap QVKeywordCodeCompletion::plistRepresentation() const {
    QVariantMap plist = QVCodeCompletion::plistRepresentation();
    plist.insert(QStringLiteral("format-type"), QStringLiteral("keyword"));
    if (!_default.isEmpty()) plist.insert(QStringLiteral("keys"), plistForKeys());
    return plist;
}

QVariantMap QVKeywordCodeCompletion::plistForKeys() const {
    QHash<QString, QStringList> byKey;
    for (const QList<QVCodeCompletionEntry>& group : _default)
        for (const QVCodeCompletionEntry& entry : group) byKey[entry.key()].append(entry.stringRepresentation());
    QVariantMap keys;
    for (auto it = byKey.constBegin(); it != byKey.constEnd(); ++it)
        keys.insert(it.key(), it.value().size() == 1 ? QVariant(it.value().front()) : QVariant(it.value()));
    return keys;
}
