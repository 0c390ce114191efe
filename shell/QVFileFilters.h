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
    // name costs one match rather than one per filter.
    class Matcher {
    public:
        bool matches(const QString& name) const;

    private:
        friend class QVFileFilters;
        QVarLengthArray<std::shared_ptr<const QVRegex>, 8> _regexes;
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
    // The expression the combinable patterns last made, and the filters' expressions it stands
    // for (a new one is compiled only when those change).
    std::vector<std::shared_ptr<const QVRegex>> _combinedFrom;
    std::shared_ptr<const QVRegex> _combined;
};
