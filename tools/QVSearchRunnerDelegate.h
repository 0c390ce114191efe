// What the multi-file find window hears from its search runner.
#pragma once

#include "shell/QVSearchResult.h"
#include "tools/QVSearchDocument.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

// How one file of a replace ended.
struct QVReplaceReport {
    enum Outcome { Replaced, Skipped, Failed };
    QString path;
    Outcome outcome = Skipped;
    qsizetype count = 0;   // matches replaced
    bool inEditor = false;  // the open editor's text was changed, not the file
    QString reason;        // why a file was skipped or failed
    qint64 keptBytes = 0;  // bytes of a file read as UTF-8 that are not UTF-8, kept as they were
};

// Every call is made on the main thread; the runner's worker waits for it to return.
class QVSearchRunnerDelegate {
public:
    virtual ~QVSearchRunnerDelegate() = default;
    // A file is about to be searched (again).
    virtual void willRunSearchForPath(const QString& path) = 0;
    // One file's matches, possibly none; the document is the open one searched, if any.
    virtual void didRunSearchForPath(const QString& path, const std::shared_ptr<QVSearchDocument>& document,
                                     const QList<QVSearchResult>& results) = 0;
    // A file of the search that could not be read, and why ("Permission denied"); it was reported
    // without matches just before. folder: a folder of a walk whose entries could not be read,
    // reported only here.
    virtual void didNotSearchPath(const QString& path, const QString& reason, bool folder) {
        Q_UNUSED(path);
        Q_UNUSED(reason);
        Q_UNUSED(folder);
    }
    // A file searched as UTF-8 though count of its bytes are not UTF-8 (matched by nothing);
    // reported just after its matches.
    virtual void didKeepBytesInPath(const QString& path, qint64 count) {
        Q_UNUSED(path);
        Q_UNUSED(count);
    }
    // A file (or open document) read in the fallback (its bytes valid in no encoding it was to
    // be read in: a replace writes only ASCII into it), or read other than as UTF-8 by a search
    // for text that is not ASCII, which may miss a match there: reason says why then, and is
    // empty for a fallback read of an ASCII search. Reported just after its matches.
    virtual void didReadPathOtherThanUTF8(const QString& path, const QString& reason, bool fallback) {
        Q_UNUSED(path);
        Q_UNUSED(reason);
        Q_UNUSED(fallback);
    }
    // The searches queued so far are done, stopped, or there was nothing to search.
    virtual void didFinishAllSearches() = 0;
    // One file of a replace: replaced, skipped (and why) or failed (and why).
    virtual void didReplaceInPath(const QVReplaceReport& report) = 0;
    // The replaces queued so far are done or stopped; every file was reported before.
    virtual void didFinishAllReplaces() = 0;
    // The chosen files and folders of the specific-files scope; asked while a scope is expanded.
    virtual QStringList pathsForSpecificFiles() = 0;
};
