// The file-name filter list: loading and writing "siteViewFiles.plist", and matching names.
#include "shell/QVFileFilters.h"

#include "platform/PropertyList.h"
#include "platform/SystemLog.h"
#include "shell/Defaults.h"

#include <QFileInfo>
#include <QVarLengthArray>

#include <algorithm>
#include <atomic>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

QVFileFilters::QVFileFilters(const QString& readPath, const QString& writePath)
    : _readPath(readPath), _writePath(writePath) {}

std::shared_ptr<QVFileFilters> QVFileFilters::sharedFilters() {
    // A function-local static is initialised exactly once even when threads race to it.
    static const std::shared_ptr<QVFileFilters> shared = create();
    return shared;
}

std::shared_ptr<QVFileFilters> QVFileFilters::create(const QString& readPath, const QString& writePath) {
    return std::shared_ptr<QVFileFilters>(new QVFileFilters(readPath, writePath));
}

void QVFileFilters::loadIfNeeded() {
    if (!_filters) loadData();
}

void QVFileFilters::loadData() {
    ++_listChanges;
    _filters.emplace();
    _defaultFilters = {QVFileFilter::filterWithPattern(QString::fromLatin1(BuiltInPattern1)),
                       QVFileFilter::filterWithPattern(QString::fromLatin1(BuiltInPattern2))};
    const QString path =
        _readPath.isEmpty()
            ? Defaults::pathForResource(QStringLiteral("siteViewFiles"), QStringLiteral("plist"),
                                        QStringLiteral("data"))
            : _readPath;
    if (path.isEmpty() || !QFileInfo::exists(path)) return;
    QVError error;
    const QVariant plist = PropertyList::readFile(path, &error);
    if (plist.typeId() != QMetaType::QVariantList) {
        SystemLog::warning(QStringLiteral("The file filters in %1 could not be read: %2")
                               .arg(path, error ? error.localizedDescription()
                                                : QStringLiteral("not an array")));
        return;
    }
    for (const QVariant& element : plist.toList())
        if (element.typeId() == QMetaType::QVariantMap)
            _filters->append(QVFileFilter::filterWithPlist(element.toMap()));
}

QList<std::shared_ptr<QVFileFilter>> QVFileFilters::filters() {
    std::lock_guard guard(_mutex);
    loadIfNeeded();
    return {_filters->cbegin(), _filters->cend()};
}

QList<std::shared_ptr<QVFileFilter>> QVFileFilters::defaultFilters() {
    std::lock_guard guard(_mutex);
    loadIfNeeded();
    return {_defaultFilters.cbegin(), _defaultFilters.cend()};
}

int QVFileFilters::countOfFilters() {
    std::lock_guard guard(_mutex);
    loadIfNeeded();
    return int(_filters->size());
}

std::shared_ptr<QVFileFilter> QVFileFilters::objectInFiltersAtIndex(int index) {
    std::lock_guard guard(_mutex);
    loadIfNeeded();
    if (index < 0 || index >= _filters->size()) return nullptr;
    return _filters->at(index);
}

bool QVFileFilters::insertObject(const std::shared_ptr<QVFileFilter>& filter, int index) {
    std::lock_guard guard(_mutex);
    loadIfNeeded();
    if (!filter || index < 0 || index > _filters->size()) return false;
    _filters->insert(index, filter);
    ++_listChanges;
    _modified = true;
    return true;
}

bool QVFileFilters::removeObjectFromFiltersAtIndex(int index) {
    std::lock_guard guard(_mutex);
    loadIfNeeded();
    if (index < 0 || index >= _filters->size()) return false;
    _filters->removeAt(index);
    ++_listChanges;
    _modified = true;
    return true;
}

bool QVFileFilters::stringMatchesFilters(const QString& name) { return matcher().matches(name); }

namespace {

std::atomic<quint64> expressionCount{0};

// Whether a pattern means the same as one alternative among others, "(?:pattern)": nothing in it
// counts or names groups across the whole expression, changes options, quotes beyond itself or
// steers the backtracking of the whole match.
bool combinable(const QString& pattern) {
    for (qsizetype i = 0; i + 1 < pattern.size(); ++i) {
        const QChar c = pattern.at(i), next = pattern.at(i + 1);
        if (c == u'\\') {
            if (next.isDigit() || next == u'g' || next == u'k' || next == u'Q' || next == u'E') return false;
            ++i;  // the escaped character is no group or option
        } else if (c == u'(' && ((next == u'?' && !(i + 2 < pattern.size() && pattern.at(i + 2) == u':')) || next == u'*')) {
            // Options, named or numbered groups, conditions, recursion; and verbs such as
            // (*COMMIT), which would end the other alternatives' chances too.
            return false;
        }
    }
    return !pattern.isEmpty() && !pattern.endsWith(u'\\');
}

// One of "pattern"'s alternatives in the plain form, read from i up to a "|" or ")" at its level.
// Groups may only hold a whole alternative ("(a)|(b)"), so the alternatives of a group are the
// pattern's own.
bool readAlternatives(const QString& pattern, qsizetype& i, int depth, std::vector<QVFileFilters::Matcher::Alternative>& out) {
    using Alternative = QVFileFilters::Matcher::Alternative;
    using Element = QVFileFilters::Matcher::Element;
    const qsizetype n = pattern.size();
    auto plainLetter = [](QChar c) { return c.unicode() > 0x20 && c.unicode() < 0x7f; };
    auto lower = [](char16_t c) { return char(c >= u'A' && c <= u'Z' ? c + 32 : c); };
    for (;;) {
        Alternative alternative;
        if (i < n && pattern.at(i) == u'(') {  // a group that is the whole alternative
            i += (i + 2 < n && pattern.at(i + 1) == u'?' && pattern.at(i + 2) == u':') ? 3 : 1;
            if (!readAlternatives(pattern, i, depth + 1, out)) return false;
            if (i >= n || pattern.at(i) != u')') return false;
            ++i;
        } else {
            if (i < n && pattern.at(i) == u'^') {
                alternative.atStart = true;
                ++i;
            }
            int repeats = 0;
            while (i < n && pattern.at(i) != u'|' && pattern.at(i) != u')') {
                const QChar c = pattern.at(i);
                Element element;
                if (c == u'$') {
                    ++i;
                    if (i < n && pattern.at(i) != u'|' && pattern.at(i) != u')') return false;
                    alternative.atEnd = true;
                    break;
                } else if (c == u'\\') {
                    // An escaped sign stands for itself; an escaped letter or digit is a class.
                    if (i + 1 >= n || !plainLetter(pattern.at(i + 1)) || pattern.at(i + 1).isLetterOrNumber()) return false;
                    element.accept(lower(pattern.at(i + 1).unicode()));
                    i += 2;
                } else if (c == u'.') {
                    element.accepts[0] = element.accepts[1] = ~quint64(0);  // names are matched with "." taking line breaks too
                    ++i;
                } else if (c == u'[') {
                    ++i;
                    if (i < n && (pattern.at(i) == u'^' || pattern.at(i) == u']')) return false;
                    while (i < n && pattern.at(i) != u']') {
                        const QChar d = pattern.at(i);
                        if (!d.isLetterOrNumber() || d.unicode() >= 0x80) {
                            if (d != u'.' && d != u'_' && d != u'~' && d != u'#') return false;
                        }
                        element.accept(lower(d.unicode()));
                        ++i;
                    }
                    if (i >= n) return false;
                    ++i;
                } else if (plainLetter(c) && (c.isLetterOrNumber() || QByteArrayView("_-~#%@!,;:='\"/<>&`").contains(char(c.unicode())))) {
                    element.accept(lower(c.unicode()));
                    ++i;
                } else {
                    return false;
                }
                if (i < n && pattern.at(i) == u'*') {
                    element.repeated = true;
                    ++i;
                    // Each repetition multiplies the ways a name can be tried.
                    if (++repeats > 2) return false;
                }
                if (i < n && (pattern.at(i) == u'*' || pattern.at(i) == u'+' || pattern.at(i) == u'?' || pattern.at(i) == u'{'))
                    return false;
                alternative.elements.push_back(std::move(element));
            }
            alternative.length = repeats ? -1 : qsizetype(alternative.elements.size());
            // A first element of one character (lowered letters and signs alike) is searched for.
            if (!alternative.elements.empty() && !alternative.elements.front().repeated) {
                const Element& first = alternative.elements.front();
                if (qPopulationCount(first.accepts[0]) + qPopulationCount(first.accepts[1]) == 1)
                    for (int c = 0; c < 128; ++c)
                        if (first.takes(char(c))) alternative.lead = char(c);
            }
            out.push_back(std::move(alternative));
        }
        if (i < n && pattern.at(i) == u'|') {
            ++i;
            continue;
        }
        return i >= n ? depth == 0 : pattern.at(i) == u')' && depth > 0;
    }
}

// Whether name[from, to) matches the alternative's elements from e on, as the expression would.
bool matchesFrom(const QVFileFilters::Matcher::Alternative& alternative, size_t e, const char* name, qsizetype at, qsizetype end) {
    if (e == alternative.elements.size()) return !alternative.atEnd || at == end;
    const QVFileFilters::Matcher::Element& element = alternative.elements[e];
    if (element.repeated) {
        for (qsizetype q = at;; ++q) {
            if (matchesFrom(alternative, e + 1, name, q, end)) return true;
            if (q == end || !element.takes(name[q])) return false;
        }
    }
    return at < end && element.takes(name[at]) && matchesFrom(alternative, e + 1, name, at + 1, end);
}

// Whether the lowered ASCII name matches the alternative. "$" also stands before a final line break.
bool matchesPlain(const QVFileFilters::Matcher::Alternative& alternative, const char* name, qsizetype size, bool finalBreak) {
    const auto& elements = alternative.elements;
    if (alternative.atEnd && alternative.length >= 0) {
        // No repetition: where it ends decides where it starts. Compared from the end, where
        // names differ most (their extensions).
        for (qsizetype end = size;; end = size - 1) {
            const qsizetype start = end - alternative.length;
            if (start >= 0 && (!alternative.atStart || start == 0)) {
                qsizetype e = alternative.length;
                while (e > 0 && elements[size_t(e - 1)].takes(name[start + e - 1])) --e;
                if (e == 0) return true;
            }
            if (!finalBreak || end != size) return false;
        }
    }
    if (alternative.atStart) {
        if (matchesFrom(alternative, 0, name, 0, size)) return true;
        return finalBreak && alternative.atEnd && matchesFrom(alternative, 0, name, 0, size - 1);
    }
    // One without repetition starts only where it still fits.
    const qsizetype last = alternative.length > 0 ? size - alternative.length : size;
    for (qsizetype start = 0; start <= last; ++start) {
        if (alternative.lead) {
            // Only where its first character is.
            const qsizetype room = std::min(last + 1, size) - start;
            const void* at = room > 0 ? std::memchr(name + start, alternative.lead, size_t(room)) : nullptr;
            if (!at) return false;
            start = static_cast<const char*>(at) - name;
        }
        if (matchesFrom(alternative, 0, name, start, size)) return true;
        if (finalBreak && alternative.atEnd && matchesFrom(alternative, 0, name, start, size - 1)) return true;
    }
    return false;
}

}  // namespace

void QVFileFilters::Matcher::Index::add(std::vector<Alternative> more) {
    for (Alternative& alternative : more) {
        const auto a = quint32(alternatives.size());
        const bool fixedAtEnd = alternative.atEnd && alternative.length > 0;
        const bool firstKnown = alternative.atStart && !alternative.elements.empty() && !alternative.elements.front().repeated;
        if (fixedAtEnd || firstKnown) {
            const Element& element = fixedAtEnd ? alternative.elements.back() : alternative.elements.front();
            for (int c = 0; c < 128; ++c)
                if (element.takes(char(c))) (fixedAtEnd ? byLast : byFirst)[c].push_back(a);
        } else {
            others.push_back(a);
        }
        alternatives.push_back(std::move(alternative));
    }
}

std::optional<std::vector<QVFileFilters::Matcher::Alternative>> QVFileFilters::Matcher::plainForm(const QString& pattern) {
    std::vector<Alternative> alternatives;
    qsizetype i = 0;
    if (pattern.isEmpty() || !readAlternatives(pattern, i, 0, alternatives)) return std::nullopt;
    return alternatives;
}

quint64 QVFileFilters::expressionsRun() { return expressionCount.load(std::memory_order_relaxed); }

QVFileFilters::Matcher QVFileFilters::matcher() {
    QVarLengthArray<std::shared_ptr<QVFileFilter>, 16> filters;
    // Read before the filters are, so that a change made meanwhile makes the next call build anew.
    const quint64 filterChanges = QVFileFilter::changes();
    quint64 listChanges = 0;
    {
        std::lock_guard guard(_mutex);
        loadIfNeeded();
        listChanges = _listChanges;
        if (_lastMatcher && _lastMatcherMadeAt == std::pair(listChanges, filterChanges)) return *_lastMatcher;
        for (const auto& filter : *_filters) filters.append(filter);
        for (const auto& filter : _defaultFilters) filters.append(filter);
    }
    // Compiled outside the list's lock: a filter compiles its pattern under its own.
    QVarLengthArray<std::shared_ptr<const QVRegex>, 16> regexes;
    for (const auto& filter : filters)
        if (auto regex = filter->activeRegex()) regexes.append(std::move(regex));
    // Which patterns have the plain form, and its alternatives: read again only when the
    // filters' expressions change, not for every folder listed.
    std::shared_ptr<const PlainForms> forms;
    const std::vector<std::shared_ptr<const QVRegex>> all(regexes.begin(), regexes.end());
    {
        std::lock_guard guard(_mutex);
        if (_formsFrom == all) forms = _forms;
    }
    if (!forms) {
        auto made = std::make_shared<PlainForms>();
        for (const auto& regex : all) {
            const auto form = Matcher::plainForm(regex->pattern());
            made->plain.push_back(form.has_value());
            if (form) made->index.add(std::move(*form));
        }
        forms = made;
        std::lock_guard guard(_mutex);
        _formsFrom = all;
        _forms = forms;
    }
    Matcher matcher;
    if (!forms->index.alternatives.empty()) matcher._plain = std::shared_ptr<const Matcher::Index>(forms, &forms->index);
    std::vector<std::shared_ptr<const QVRegex>> together;
    for (size_t r = 0; r < all.size(); ++r) {
        if (forms->plain[r]) matcher._plainRegexes.append(all[r]);
        else if (combinable(all[r]->pattern())) together.push_back(all[r]);
        else matcher._regexes.append(all[r]);
    }
    std::vector<std::shared_ptr<const QVRegex>> plain(matcher._plainRegexes.begin(), matcher._plainRegexes.end());
    matcher._plainRegexes = combined(plain, 0);
    for (auto& regex : combined(together, 1)) matcher._regexes.append(std::move(regex));
    std::lock_guard guard(_mutex);
    _lastMatcher = matcher;
    _lastMatcherMadeAt = {listChanges, filterChanges};
    return matcher;
}

QVarLengthArray<std::shared_ptr<const QVRegex>, 8> QVFileFilters::combined(const std::vector<std::shared_ptr<const QVRegex>>& together,
                                                                            int slot) {
    QVarLengthArray<std::shared_ptr<const QVRegex>, 8> result;
    if (together.size() == 1) {
        result.append(together.front());
    } else if (!together.empty()) {
        std::shared_ptr<const QVRegex> combined;
        {
            std::lock_guard guard(_mutex);
            if (_combinedFrom[slot] == together) combined = _combined[slot];
        }
        if (!combined) {
            QString alternatives;
            for (const auto& regex : together)
                alternatives += (alternatives.isEmpty() ? QStringLiteral("(?:") : QStringLiteral("|(?:")) + regex->pattern() + u')';
            combined = QVRegex::create(alternatives, QVFileFilter::MatchOptions);
            std::lock_guard guard(_mutex);
            _combinedFrom[slot] = together;
            _combined[slot] = combined;
        }
        if (combined) {
            result.append(combined);
        } else {
            // Not expected of patterns that compile alone; matched one by one all the same.
            for (const auto& regex : together) result.append(regex);
        }
    }
    return result;
}

bool QVFileFilters::Matcher::matches(const QString& name) const {
    if (_plain) {
        // Compared in ASCII lower case; a name beyond ASCII is left to the expressions, whose
        // case-insensitive matching knows Unicode's pairs.
        char lowered[256];
        const qsizetype size = name.size();
        char16_t seen = 0;
        if (size <= qsizetype(sizeof lowered)) {
            const char16_t* units = reinterpret_cast<const char16_t*>(name.constData());
            qsizetype k = 0;
#if defined(__SSE2__)
            // Eight units at a time: capitals are those below 'A' + 26 once 'A' is taken off,
            // compared as signed numbers after moving 0 to the bottom of the range.
            const __m128i bottom = _mm_set1_epi16(short(0x8000 + u'A')), capitals = _mm_set1_epi16(short(0x8000 + 26));
            __m128i any = _mm_setzero_si128();
            for (; k + 8 <= size; k += 8) {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + k));
                any = _mm_or_si128(any, v);
                const __m128i capital = _mm_cmplt_epi16(_mm_sub_epi16(v, bottom), capitals);
                const __m128i low = _mm_add_epi16(v, _mm_and_si128(capital, _mm_set1_epi16(32)));
                _mm_storel_epi64(reinterpret_cast<__m128i*>(lowered + k), _mm_packus_epi16(low, low));
            }
            alignas(16) char16_t anyUnits[8];
            _mm_store_si128(reinterpret_cast<__m128i*>(anyUnits), any);
            for (const char16_t u : anyUnits) seen |= u;
#endif
            for (; k < size; ++k) {
                const char16_t c = units[k];
                seen |= c;
                lowered[k] = char(char16_t(c - u'A') < 26 ? c + 32 : c);
            }
        }
        if (size <= qsizetype(sizeof lowered) && seen < 0x80) {
            const Index& index = *_plain;
            const bool finalBreak = size > 0 && lowered[size - 1] == '\n';
            // "$" also stands before a final line break.
            for (qsizetype end = size; end > 0 && (end == size || finalBreak); end = end == size ? size - 1 : 0) {
                for (const quint32 a : index.byLast[uchar(lowered[end - 1])]) {
                    const Alternative& alternative = index.alternatives[a];
                    const qsizetype start = end - alternative.length;
                    if (start < 0 || (alternative.atStart && start != 0)) continue;
                    qsizetype e = alternative.length;
                    while (e > 0 && alternative.elements[size_t(e - 1)].takes(lowered[start + e - 1])) --e;
                    if (e == 0) return true;
                }
            }
            if (size > 0)
                for (const quint32 a : index.byFirst[uchar(lowered[0])])
                    if (matchesPlain(index.alternatives[a], lowered, size, finalBreak)) return true;
            char lead = 0;
            qsizetype leadAt = 0;  // where lead first is in the name (size when nowhere)
            for (const quint32 a : index.others) {
                const Alternative& alternative = index.alternatives[a];
                if (alternative.length >= 0 && alternative.lead) {
                    // One without repetition starts with its first character where it still fits:
                    // most names have none there, which where that character first is tells.
                    if (alternative.lead != lead) {
                        lead = alternative.lead;
                        const void* found = std::memchr(lowered, lead, size_t(size));
                        leadAt = found ? static_cast<const char*>(found) - lowered : size;
                    }
                    if (leadAt + alternative.length > size) continue;
                }
                if (matchesPlain(alternative, lowered, size, finalBreak)) return true;
            }
        } else {
            for (const auto& regex : _plainRegexes) {
                expressionCount.fetch_add(1, std::memory_order_relaxed);
                if (regex->copyMatchForString(name).has_value()) return true;
            }
        }
    }
    for (const auto& regex : _regexes) {
        expressionCount.fetch_add(1, std::memory_order_relaxed);
        if (regex->copyMatchForString(name).has_value()) return true;
    }
    return false;
}

bool QVFileFilters::modified() {
    std::lock_guard guard(_mutex);
    loadIfNeeded();
    if (_modified) return true;
    for (const std::shared_ptr<QVFileFilter>& filter : *_filters)
        if (filter->modified()) return true;
    return false;
}

void QVFileFilters::setModified(bool modified) {
    std::lock_guard guard(_mutex);
    loadIfNeeded();
    _modified = modified;
    if (!modified)
        for (const std::shared_ptr<QVFileFilter>& filter : *_filters) filter->setModified(false);
}

QVariantList QVFileFilters::plistRepresentation() {
    std::lock_guard guard(_mutex);
    loadIfNeeded();
    QVariantList plist;
    plist.reserve(_filters->size());
    for (const std::shared_ptr<QVFileFilter>& filter : *_filters)
        plist.append(filter->plistRepresentation());
    return plist;
}

bool QVFileFilters::commit(QVError* error) {
    return Defaults::writeDataPlist(plistRepresentation(), _writePath, QStringLiteral("siteViewFiles.plist"),
                                    QStringLiteral("file filters"), error);
}
