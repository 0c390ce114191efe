// One named file-name filter: a regular expression that hides the names it matches.
#pragma once

#include "platform/QVRegex.h"

#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <atomic>
#include <memory>
#include <mutex>

// Every method may be called from any thread; the pattern is compiled once, under the filter's
// own lock, on the first match after it was set.
class QVFileFilter {
public:
    // Matching ignores case; "." also matches line breaks.
    static constexpr quint32 MatchOptions = 2049;  // QVRegex::CaseInsensitive | QVRegex::DotMatchesAll

    // No pattern, the title "New Filter" (localized), enabled, then validated.
    QVFileFilter();
    // The pattern, enabled, no title, not validated.
    explicit QVFileFilter(const QString& pattern);
    static std::shared_ptr<QVFileFilter> filterWithPattern(const QString& pattern);
    // From a store element: "Regex", "Title" (strings), "Enabled" (a boolean or number; absent
    // or anything else is off); then validated.
    static std::shared_ptr<QVFileFilter> filterWithPlist(const QVariantMap& plist);
    // Title, pattern, enabled and valid; not the modified flag, not the compiled form.
    std::shared_ptr<QVFileFilter> copy() const;

    // A null string stands for "none".
    QString title() const;
    void setTitle(const QString& title);
    QString pattern() const;
    // A different pattern drops the compiled form.
    void setPattern(const QString& pattern);
    bool enabled() const;
    void setEnabled(bool enabled);
    bool valid() const;
    void setValid(bool valid);
    bool modified() const;
    void setModified(bool modified);

    // The editor's edits by key ("title", "pattern", "enabled", "valid"): stores the value, then
    // validates and marks the filter modified. An unknown key or a value of the wrong type
    // changes nothing and answers false.
    bool setValue(const QVariant& value, const QString& key);
    // Valid: a non-empty title and either no pattern or one that compiles.
    void validate();

    // Whether the pattern matches anywhere in the string. A disabled filter, one without a
    // pattern (or with an empty one) and one whose pattern does not compile match nothing.
    bool matchesString(const QString& string) const;
    // The compiled pattern matchesString() would use now; null when it would match nothing.
    std::shared_ptr<const QVRegex> activeRegex() const;

    // {"Title", "Regex"} when present, "Enabled" always.
    QVariantMap plistRepresentation() const;

    QVFileFilter(const QVFileFilter&) = delete;
    QVFileFilter& operator=(const QVFileFilter&) = delete;

    // Moves with every change of any filter's pattern or switch: what was built from the filters'
    // expressions stays good while it stands still.
    static quint64 changes() { return changeCount.load(std::memory_order_acquire); }

private:
    void validateLocked();
    static inline std::atomic<quint64> changeCount{0};

    mutable std::mutex _mutex;  // guards every field
    QString _title;
    QString _pattern;
    mutable std::shared_ptr<const QVRegex> _regex;
    mutable bool _compileFailed = false;  // the current pattern does not compile; not retried
    bool _enabled = true;
    bool _valid = false;
    bool _modified = false;
};
