// The shared list of file-name filters that hide files from trees and remote listings, backed
// by "siteViewFiles.plist", plus the two built-in filters that always apply.
#pragma once

#include "platform/QVError.h"
#include "shell/QVFileFilter.h"

#include <QList>
#include <QVarLengthArray>
#include <QString>
#include <QVariantList>

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

// The list is guarded by a lock of its own, so names may be matched on any thread while the
// preferences edit the list on the main thread; each filter guards its own fields.
class QVFileFilters {
public:
    // Version-control folders and ignore files; Qorvel's folder-view files, the program's
    // own document, project and temporary files. Consulted after the user's filters.
    static constexpr const char* BuiltInPattern1 =
        "(\\.DS_Store$)|(\\.Qorvel$)|(\\.qvproj$)|(\\.tmp_Qorvel)";
    static constexpr const char* BuiltInPattern2 =
        "(\\.svn$)|(\\.git$)|(CVS$)|(\\.gitignore)|(\\.cvsignore)";

    // The shared list, made once on first use from whichever thread comes first.
    static std::shared_ptr<QVFileFilters> sharedFilters();
    // A list of its own. readPath empty: the store is looked up as the shared list looks it up
    // (the application-support copy first, then the application's); writePath empty: commits go
    // to the application-support copy.
    static std::shared_ptr<QVFileFilters> create(const QString& readPath = {},
                                                 const QString& writePath = {});

    // A snapshot of the user's filters (the filters themselves are shared, so edits to them
    // reach the list). The store is read on the first call of any method here.
    QList<std::shared_ptr<QVFileFilter>> filters();
    QList<std::shared_ptr<QVFileFilter>> defaultFilters();
    int countOfFilters();
    // Null out of range.
    std::shared_ptr<QVFileFilter> objectInFiltersAtIndex(int index);
    // Both mark the list modified; an index out of range (or a null filter) changes nothing
    // and answers false.
    bool insertObject(const std::shared_ptr<QVFileFilter>& filter, int index);
    bool removeObjectFromFiltersAtIndex(int index);

    // True when an enabled user filter, then one of the built-in filters, matches the name.
    bool stringMatchesFilters(const QString& name);

    // The filters as they stand, for matching the many names of one listing without taking
    // the lists' locks per name; edits made after it was taken do not reach it.
    // Patterns that can stand as alternatives of one expression (no numbered references or
    // groups, inline options or quoting reaching past their own text) are matched as one, so a
    // name costs one match rather than one per filter. Patterns made only of letters, ".",
    // classes of letters, "*" after one of those, "^" and "$" (every shipped filter) are matched
    // without an expression for a name in ASCII, the walk's every name: a name costs a few
    // comparisons rather than an expression tried at each of its characters.
    class Matcher {
    public:
        bool matches(const QString& name) const;
        // The patterns in that plain form, as alternatives (for the tests).
        struct Element {
            quint64 accepts[2] = {0, 0};  // the ASCII characters it takes (lower case), one bit each
            bool repeated = false;        // "*": none or any number
            void accept(char c) { accepts[uchar(c) >> 6] |= quint64(1) << (uchar(c) & 63); }
            bool takes(char c) const { return (accepts[uchar(c) >> 6] >> (uchar(c) & 63)) & 1; }
        };
        struct Alternative {
            bool atStart = false, atEnd = false;
            std::vector<Element> elements;
            qsizetype length = -1;  // of the names it matches, when it has no repetition
            char lead = 0;          // the one character its first element takes, if it takes one
        };
        // The alternatives of pattern (as a filter compiles it), or nothing when it has another form.
        static std::optional<std::vector<Alternative>> plainForm(const QString& pattern);
        // The alternatives by the last character a name must end with (those of a fixed length
        // at the end), by the first it must start with (the others at the start), and the rest:
        // a name is tried only against the few its ends let in.
        struct Index {
            std::vector<Alternative> alternatives;
            std::vector<quint32> byLast[128], byFirst[128], others;
            void add(std::vector<Alternative> more);
        };

    private:
        friend class QVFileFilters;
        QVarLengthArray<std::shared_ptr<const QVRegex>, 8> _regexes;
        // The plain patterns, and their expressions for names beyond ASCII.
        std::shared_ptr<const Index> _plain;
        QVarLengthArray<std::shared_ptr<const QVRegex>, 8> _plainRegexes;
    };
    Matcher matcher();
    // How many expressions the matchers of this process have run on names: what matching a
    // listing costs can be counted.
    static quint64 expressionsRun();

    // The objects whose key does not match, in the order given. The key is a projection that
    // reads the name from an object (the file trees pass their node's name), standing in for a
    // key name looked up by key-value coding.
    template <class T, class KeyFunction>
    QList<T> filterArray(const QList<T>& objects, KeyFunction&& key) {
        QList<T> kept;
        for (const T& object : objects)
            if (!stringMatchesFilters(key(object))) kept.append(object);
        return kept;
    }

    // The list's own flag or any user filter's. Setting false clears every user filter's too.
    bool modified();
    void setModified(bool modified);

    // Writes the store atomically (its folder is made when missing); false, with the reason in
    // error, leaving the previous file in place.
    bool commit(QVError* error = nullptr);
    QVariantList plistRepresentation();

    QVFileFilters(const QVFileFilters&) = delete;
    QVFileFilters& operator=(const QVFileFilters&) = delete;

private:
    QVFileFilters(const QString& readPath, const QString& writePath);
    void loadIfNeeded();  // callers hold _mutex
    void loadData();

    const QString _readPath;
    const QString _writePath;
    std::mutex _mutex;  // guards the fields below
    std::optional<QList<std::shared_ptr<QVFileFilter>>> _filters;
    QList<std::shared_ptr<QVFileFilter>> _defaultFilters;
    bool _modified = false;
    // One expression for the patterns together (or each alone when that fails to compile).
    QVarLengthArray<std::shared_ptr<const QVRegex>, 8> combined(const std::vector<std::shared_ptr<const QVRegex>>& together, int slot);
    // The expressions the plain patterns (slot 0) and the other combinable ones (slot 1) last
    // made, and the filters' expressions each stands for (a new one is compiled only when those
    // change).
    std::vector<std::shared_ptr<const QVRegex>> _combinedFrom[2];
    std::shared_ptr<const QVRegex> _combined[2];
    // Which of the filters' expressions have the plain form, and its alternatives.
    struct PlainForms {
        std::vector<bool> plain;
        Matcher::Index index;
    };
    std::vector<std::shared_ptr<const QVRegex>> _formsFrom;
    std::shared_ptr<const PlainForms> _forms;
    // The last matcher made, good while neither the list (_listChanges) nor any filter
    // (QVFileFilter::changes) has changed since: a walk asks for one per folder.
    quint64 _listChanges = 0;
    std::optional<Matcher> _lastMatcher;
    std::pair<quint64, quint64> _lastMatcherMadeAt;
};
