// One file-name filter: its fields, validation, store form and case-blind matching.
#include "shell/QVFileFilter.h"

#include "platform/AppBundle.h"
#include "platform/PropertyList.h"

namespace {

const QString kTitleKey = QStringLiteral("Title");
const QString kRegexKey = QStringLiteral("Regex");
const QString kEnabledKey = QStringLiteral("Enabled");

}  // namespace

QVFileFilter::QVFileFilter() : _title(QVLocalized(QStringLiteral("New Filter"))) {
    validateLocked();
}

QVFileFilter::QVFileFilter(const QString& pattern) : _pattern(pattern) {}

std::shared_ptr<QVFileFilter> QVFileFilter::filterWithPattern(const QString& pattern) {
    return std::make_shared<QVFileFilter>(pattern);
}

std::shared_ptr<QVFileFilter> QVFileFilter::filterWithPlist(const QVariantMap& plist) {
    const QVariant regex = plist.value(kRegexKey);
    const QVariant title = plist.value(kTitleKey);
    const QVariant enabled = plist.value(kEnabledKey);
    auto filter = std::make_shared<QVFileFilter>(
        regex.typeId() == QMetaType::QString ? regex.toString() : QString());
    if (title.typeId() == QMetaType::QString) filter->_title = title.toString();
    filter->_enabled = PropertyList::isFlag(enabled) && enabled.toBool();
    filter->validateLocked();
    return filter;
}

std::shared_ptr<QVFileFilter> QVFileFilter::copy() const {
    std::lock_guard guard(_mutex);
    auto filter = std::make_shared<QVFileFilter>(_pattern);
    filter->_title = _title;
    filter->_enabled = _enabled;
    filter->_valid = _valid;
    return filter;
}

QString QVFileFilter::title() const {
    std::lock_guard guard(_mutex);
    return _title;
}

void QVFileFilter::setTitle(const QString& title) {
    std::lock_guard guard(_mutex);
    _title = title;
}

QString QVFileFilter::pattern() const {
    std::lock_guard guard(_mutex);
    return _pattern;
}

void QVFileFilter::setPattern(const QString& pattern) {
    std::lock_guard guard(_mutex);
    if (pattern == _pattern && pattern.isNull() == _pattern.isNull()) return;
    _pattern = pattern;
    _regex.reset();
    _compileFailed = false;
    changeCount.fetch_add(1, std::memory_order_release);
}

bool QVFileFilter::enabled() const {
    std::lock_guard guard(_mutex);
    return _enabled;
}

void QVFileFilter::setEnabled(bool enabled) {
    std::lock_guard guard(_mutex);
    _enabled = enabled;
    changeCount.fetch_add(1, std::memory_order_release);
}

bool QVFileFilter::valid() const {
    std::lock_guard guard(_mutex);
    return _valid;
}

void QVFileFilter::setValid(bool valid) {
    std::lock_guard guard(_mutex);
    _valid = valid;
}

bool QVFileFilter::modified() const {
    std::lock_guard guard(_mutex);
    return _modified;
}

void QVFileFilter::setModified(bool modified) {
    std::lock_guard guard(_mutex);
    _modified = modified;
}

bool QVFileFilter::setValue(const QVariant& value, const QString& key) {
    const bool isString = value.typeId() == QMetaType::QString || !value.isValid();
    if (key == QLatin1String("title") && isString) {
        setTitle(value.toString());
    } else if (key == QLatin1String("pattern") && isString) {
        setPattern(value.isValid() ? value.toString() : QString());
    } else if (key == QLatin1String("enabled") && PropertyList::isFlag(value)) {
        setEnabled(value.toBool());
    } else if (key == QLatin1String("valid") && PropertyList::isFlag(value)) {
        setValid(value.toBool());
    } else {
        return false;
    }
    std::lock_guard guard(_mutex);
    validateLocked();
    _modified = true;
    return true;
}

void QVFileFilter::validate() {
    std::lock_guard guard(_mutex);
    validateLocked();
}

void QVFileFilter::validateLocked() {
    if (_title.isEmpty())
        _valid = false;
    else
        _valid = _pattern.isEmpty() || QVRegex::validPattern(_pattern);
}

std::shared_ptr<const QVRegex> QVFileFilter::activeRegex() const {
    std::lock_guard guard(_mutex);
    // An empty pattern would match every name: a filter being written hides nothing yet.
    if (!_enabled || _pattern.isEmpty() || _compileFailed) return nullptr;
    if (!_regex) {
        _regex = QVRegex::create(_pattern, MatchOptions);
        _compileFailed = !_regex;
    }
    return _regex;
}

bool QVFileFilter::matchesString(const QString& string) const {
    const std::shared_ptr<const QVRegex> regex = activeRegex();
    return regex && regex->copyMatchForString(string).has_value();
}

QVariantMap QVFileFilter::plistRepresentation() const {
    std::lock_guard guard(_mutex);
    QVariantMap plist{{kEnabledKey, _enabled}};
    if (!_title.isNull()) plist.insert(kTitleKey, _title);
    if (!_pattern.isNull()) plist.insert(kRegexKey, _pattern);
    return plist;
}
