// Runs the multi-file find's searches and replaces on two worker threads, one for each, and
// reports to its delegate on the main thread.
#pragma once

#include "shell/QVSearch.h"
#include "tools/QVSearchRunnerDelegate.h"
#include "tools/QVSearchScopes.h"

#include <functional>
#include <memory>

// Scopes (runSearch's mode): 0 the front document, 1 the front project's folder, 2 the open
// documents, 3 the delegate's chosen files and folders. Open documents are searched and changed
// in their editors (the file on disk is left until the document is saved); other files are read
// and written on disk. A worker never touches what the user sees: it walks a tree of its own
// over the disk (filters and file categories as the project shows them) and reads an editor's
// text and changes it only on the main thread.
//
// Replaces change each file whole or not at all: a file is written through AtomicFile only when
// it decoded cleanly and its new text encodes back without loss, and only while it is unchanged
// since it was read; an editor's text is replaced (one undo step) only at the revision read.
// Only chosen ranges that are still exactly a match of the search in the current text are
// replaced. Every file's outcome is reported.
//
// Main thread: construction, queuing, cancel, destruction (which stops both workers and waits
// for them, running their main-thread calls meanwhile).
class QVSearchRunner {
public:
    explicit QVSearchRunner(QVSearchRunnerDelegate* delegate, std::shared_ptr<QVSearchScopes> scopes = nullptr);
    ~QVSearchRunner();
    QVSearchRunner(const QVSearchRunner&) = delete;
    QVSearchRunner& operator=(const QVSearchRunner&) = delete;

    void setScopes(std::shared_ptr<QVSearchScopes> scopes);

    // Queues the scope's files (nothing to search: didFinishAllSearches at once).
    void runSearch(const QVSearch& search, int mode);
    // Searches one document again (its editor text), e.g. after it was saved.
    void runSearch(const QVSearch& search, const std::shared_ptr<QVSearchDocument>& document);
    // Replaces the chosen matches (results whose parent is a QVMultiFileSearchNode) with the
    // search's template, one pass per file.
    void runSearch(const QVSearch& search, const QList<QVSearchResult>& replaces);

    // Stops the work queued so far, of both kinds: the file in hand is finished and reported,
    // the rest dropped. Work queued afterwards runs.
    void cancel();

    bool runningSeach() const;
    bool runningReplace() const;

    // Tests: called on the replace worker between reading a file or editor text and writing
    // it back.
    void setReplaceHook(std::function<void(const QString& path)> hook);

    struct State;

private:
    std::shared_ptr<State> _state;
};
