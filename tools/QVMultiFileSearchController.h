// The one window for finding and replacing across files: the front file, the front project, the
// open documents or chosen files and folders, searched in the background into an outline of
// file rows with their matches.
#pragma once

#include "tools/QVSearchController.h"
#include "tools/QVSearchRunner.h"

#include <QHash>
#include <QPointer>
#include <QStringList>

#include <memory>

class QComboBox;
class QCheckBox;
class QLabel;
class QListWidget;
class QPushButton;
class QWidget;
class QVCapsuleButton;
class QVGradientBar;
class QVMultiFileSearchNode;
class QVSearchLocalCachePromptController;
class QVSearchResultsOutlineView;

// Main thread only. The runner's calls arrive on the main thread; none of them waits for it.
class QVMultiFileSearchController : public QVSearchController, public QVSearchRunnerDelegate {
    Q_OBJECT
public:
    // The scopes, each the tag of its mode button.
    enum Mode { CurrentFile = 0, CurrentSite = 1, OpenFiles = 2, SpecificFiles = 3 };

    // The one window, created on first use over the running editor's documents.
    static QVMultiFileSearchController& sharedController();
    static bool sharedControllerExists();
    // Hands the single-file panel's find-all to this window (mode 0).
    static void install();

    // Over other scopes (tests).
    explicit QVMultiFileSearchController(std::shared_ptr<QVSearchScopes> scopes);
    ~QVMultiFileSearchController() override;

    // --- The window's actions ------------------------------------------------------------------
    // While a batch runs: stop it. Otherwise search the scope (asking first about a remote
    // project's local copies).
    void find();
    // Asks, then replaces the selected matches (all of them when none is selected).
    void replace();
    void changeMode(int mode);
    void addSpecificFiles();
    void removeSpecificFiles();
    void collapseAll();
    void expandAll();
    // Shows the selected match in its file when exactly one is selected.
    void outlineViewAction();
    // File > Save (Ctrl+S) while the window is in front: the open documents the last replace
    // changed and left unsaved, else the one whose match was shown last, else the front document
    // window's; the status says when there is none.
    void saveDocuments();
    void showWindow();
    // Takes the search over, sets the mode, shows the window and searches.
    void runSearch(const QVSearch& search, int mode);

    int mode() const { return _mode; }
    void setMode(int mode);
    bool searchIsRunning() const { return _searchIsRunning; }
    bool isCancelling() const { return _cancelling; }
    bool haveResults() const { return !_searchResultNodes.isEmpty(); }
    QString searchButtonTitle() const;
    quint64 numberOfResults() const { return _numberOfResults; }
    const QList<std::shared_ptr<QVMultiFileSearchNode>>& searchResultNodes() const { return _searchResultNodes; }
    QStringList specificFilePaths() const { return _specificFilePaths; }
    // Inserts paths at index (the end when out of range); refused (false) while a batch runs.
    bool addSpecificFiles(const QStringList& paths, int index);
    // The mode buttons' availability follows the documents; a mode left with nothing to search
    // falls back down the chain 0, 1, 2, 3.
    void updateInterface();
    bool modeEnabled(int mode) const;
    // The last replace's outcome per file.
    const QList<QVReplaceReport>& replaceReports() const { return _replaceReports; }
    // The files the last search could not read, each with the reason; a folder whose entries
    // could not be read is among them, its path ending in "/".
    const QList<QPair<QString, QString>>& notSearched() const { return _notSearched; }
    // The files of the last search read as UTF-8 though some of their bytes are not, with how many.
    const QList<QPair<QString, qint64>>& keptBytes() const { return _keptBytes; }
    // The files (and open documents) the last search for text that is not ASCII read other than
    // as UTF-8, each with why.
    const QList<QPair<QString, QString>>& readOtherwise() const { return _readOtherwise; }
    // What a replace's line says of a file's bytes that are not UTF-8 ("2 bytes are not UTF-8
    // and were kept as they are").
    static QString keptBytesNote(qint64 count);
    // What a find says of them, where nothing was written ("holds 2 bytes that are not UTF-8").
    static QString heldBytesNote(qint64 count);
    // The line that ends a replace: occurrences, files written, open documents changed in
    // their editors (which still need saving), and files skipped or failed.
    static QString replaceSummary(qsizetype replaced, qsizetype written, qsizetype edited, qsizetype skipped,
                                  qsizetype failed);
    // The question replace() asks; it names each chosen file on disk whose size opening would
    // ask about, and the memory replacing in it takes.
    QString replaceQuestion() const;

    QWidget* window();
    QVSearchResultsOutlineView* outlineView() const { return _outlineView; }
    QVSearchLocalCachePromptController* localCachePrompt() const { return _localCachePromptController.get(); }

    // --- QVSearchRunnerDelegate ------------------------------------------------------------------
    void willRunSearchForPath(const QString& path) override;
    void didRunSearchForPath(const QString& path, const std::shared_ptr<QVSearchDocument>& document,
                             const QList<QVSearchResult>& results) override;
    void didNotSearchPath(const QString& path, const QString& reason, bool folder) override;
    void didKeepBytesInPath(const QString& path, qint64 count) override;
    void didReadPathOtherThanUTF8(const QString& path, const QString& reason, bool fallback) override;
    void didFinishAllSearches() override;
    void didReplaceInPath(const QVReplaceReport& report) override;
    void didFinishAllReplaces() override;
    QStringList pathsForSpecificFiles() override { return _specificFilePaths; }

Q_SIGNALS:
    void searchIsRunningChanged(bool running);
    // A replace batch ended; its reports are in replaceReports().
    void replacesReported();

private:
    void reallyStartFind();
    void promptToSearchLocalCache();
    void flushAll();
    void setSearchIsRunning(bool running);
    void setNumberOfResults(quint64 count);
    void fileDidSave(const void* document);
    void fileBecameActive(const void* document);
    void showReplaceReport();
    void showSearchReport();
    // A window-modal box over the find window (when it shows): the summary, the lines as details.
    void showReport(const QString& name, const QString& title, const QString& summary, const QStringList& lines,
                    bool warning);
    void refreshControls();
    int indexOfNode(const QString& path) const;
    quint64 count() const;
    QList<QVSearchResult> selectedResults() const;
    QStringList largeFilesToReplace() const;
    QHash<QString, QVMultiFileSearchNode*> _nodeOfPath;

    std::shared_ptr<QVSearchScopes> _scopes;
    std::unique_ptr<QVSearchRunner> _runner;
    QVSearch _lastSearch;  // the search of the results shown
    QList<std::shared_ptr<QVMultiFileSearchNode>> _searchResultNodes;
    QStringList _specificFilePaths;
    std::unique_ptr<QVSearchLocalCachePromptController> _localCachePromptController;
    bool _cancelling = false;
    bool _searchIsRunning = false;
    bool _replacing = false;
    int _mode = CurrentSite;
    quint64 _numberOfResults = 0;
    bool _showingWindow = false;
    bool _promptQueued = false;
    QList<QVReplaceReport> _replaceReports;
    QList<QPair<QString, QString>> _notSearched;
    qsizetype _notSearchedTold = 0;
    QList<QPair<QString, qint64>> _keptBytes;
    qsizetype _keptBytesTold = 0;
    QList<QPair<QString, QString>> _readOtherwise;
    qsizetype _readOtherwiseTold = 0;
    bool _showingMatch = false;
    QString _shownMatchPath;  // the file of the match shown last
    QList<NotificationCenter::Token> _tokens;

    QPointer<QWidget> _window;
    QVSearchResultsOutlineView* _outlineView = nullptr;
    QVGradientBar* _modeBar = nullptr;
    QVGradientBar* _formBackground = nullptr;
    QVCapsuleButton* _modeButtons[4] = {};
    QWidget* _specificFilesDrawer = nullptr;
    QListWidget* _specificFilesTable = nullptr;
    QPushButton* _removeFilesButton = nullptr;
    QComboBox* _searchField = nullptr;
    QComboBox* _replaceField = nullptr;
    QCheckBox* _regexBox = nullptr;
    QCheckBox* _caseBox = nullptr;
    QPushButton* _findButton = nullptr;
    QPushButton* _replaceButton = nullptr;
    QLabel* _countLabel = nullptr;
    QLabel* _statusLabel = nullptr;
    bool _refreshing = false;
};
