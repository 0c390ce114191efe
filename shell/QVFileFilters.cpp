// The file-name filter list: loading and writing "siteViewFiles.plist", and matching names.
#include "shell/QVFileFilters.h"

#include "platform/PropertyList.h"
#include "platform/SystemLog.h"
#include "shell/Defaults.h"

#include <QFileInfo>
#include <QVarLengthArray>

#include <atomic>

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
    _modified = true;
    return true;
}

bool QVFileFilters::removeObjectFromFiltersAtIndex(int index) {
    std::lock_guard guard(_mutex);
    loadIfNeeded();
    if (index < 0 || index >= _filters->size()) return false;
    _filters->removeAt(index);
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

}  // namespace

quint64 QVFileFilters::expressionsRun() { return expressionCount.load(std::memory_order_relaxed); }

QVFileFilters::Matcher QVFileFilters::matcher() {
    QVarLengthArray<std::shared_ptr<QVFileFilter>, 16> filters;
    {
        std::lock_guard guard(_mutex);
        loadIfNeeded();
        for (const auto& filter : *_filters) filters.append(filter);
        for (const auto& filter : _defaultFilters) filters.append(filter);
    }
    // Compiled outside the list's lock: a filter compiles its pattern under its own.
    QVarLengthArray<std::shared_ptr<const QVRegex>, 16> regexes;
    for (const auto& filter : filters)
        if (auto regex = filter->activeRegex()) regexes.append(std::move(regex));
    Matcher matcher;
    std::vector<std::shared_ptr<const QVRegex>> together;
    for (const auto& regex : regexes) {
        if (combinable(regex->pattern())) together.push_back(regex);
        else matcher._regexes.append(regex);
    }
    if (together.size() == 1) {
        matcher._regexes.append(together.front());
    } else if (!together.empty()) {
        std::shared_ptr<const QVRegex> combined;
        {
            std::lock_guard guard(_mutex);
            if (_combinedFrom == together) combined = _combined;
        }
        if (!combined) {
            QString alternatives;
            for (const auto& regex : together)
                alternatives += (alternatives.isEmpty() ? QStringLiteral("(?:") : QStringLiteral("|(?:")) + regex->pattern() + u')';
            combined = QVRegex::create(alternatives, QVFileFilter::MatchOptions);
            std::lock_guard guard(_mutex);
            _combinedFrom = together;
            _combined = combined;
        }
        if (combined) {
            matcher._regexes.append(combined);
        } else {
            // Not expected of patterns that compile alone; matched one by one all the same.
            for (const auto& regex : together) matcher._regexes.append(regex);
        }
    }
    return matcher;
}

bool QVFileFilters::Matcher::matches(const QString& name) const {
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
