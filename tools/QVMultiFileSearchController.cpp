// The multi-file find window.
#include "tools/QVMultiFileSearchController.h"

#include "shell/QVAlertDetails.h"
#include "shell/LargeFiles.h"

#include "editor/HTMLView.h"
#include "editor/HTMLViewFind.h"
#include "editor/QVFileDocument.h"
#include "editor/windows/QVDocumentWindowController.h"
#include "editor/windows/QVMultiFileWindowController.h"
#include "platform/AppBundle.h"
#include "shell/Defaults.h"
#include "shell/FileEncodings.h"
#include "shell/QVCapsuleButton.h"
#include "shell/QVGradientBar.h"
#include "shell/QVScreenPlacement.h"
#include "tools/QVEditorSearchScopes.h"
#include "tools/QVMultiFileSearchNode.h"
#include "tools/QVSearchLocalCachePromptController.h"
#include "tools/QVSearchResultsOutlineView.h"
#include "tools/QVSingleFileSearchController.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QSplitter>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

namespace {

QVMultiFileSearchController*& shared() {
    static QVMultiFileSearchController* controller = nullptr;
    return controller;
}

// The chosen-files table: takes dropped file names above the row they fall on, unless the
// controller refuses them (a batch is running).
class ChosenFilesTable : public QListWidget {
public:
    std::function<bool(const QStringList&, int)> accept;
    std::function<bool()> accepting;

protected:
    static QStringList paths(const QMimeData* data) {
        QStringList list;
        if (!data || !data->hasUrls()) return list;
        for (const QUrl& url : data->urls())
            if (url.isLocalFile()) list << url.toLocalFile();
        return list;
    }
    void dragEnterEvent(QDragEnterEvent* event) override {
        if (!paths(event->mimeData()).isEmpty() && accepting && accepting()) event->acceptProposedAction();
        else event->ignore();
    }
    void dragMoveEvent(QDragMoveEvent* event) override {
        if (!paths(event->mimeData()).isEmpty() && accepting && accepting()) event->acceptProposedAction();
        else event->ignore();
    }
    void dropEvent(QDropEvent* event) override {
        const QListWidgetItem* item = itemAt(event->position().toPoint());
        const int row = item ? this->row(item) : count();
        if (accept && accept(paths(event->mimeData()), row)) event->acceptProposedAction();
        else event->ignore();
    }
};

// Any window closing may leave a mode with nothing to search: the controller looks again once
// the window is gone.
class CloseWatcher : public QObject {
public:
    explicit CloseWatcher(QVMultiFileSearchController* controller) : QObject(controller), _controller(controller) {}

protected:
    bool eventFilter(QObject* object, QEvent* event) override {
        if (event->type() == QEvent::Close && object->isWidgetType() && static_cast<QWidget*>(object)->isWindow())
            QTimer::singleShot(0, _controller, [c = _controller] { c->updateInterface(); });
        return false;
    }

private:
    QVMultiFileSearchController* _controller;
};

}  // namespace

QVMultiFileSearchController& QVMultiFileSearchController::sharedController() {
    if (!shared()) {
        shared() = new QVMultiFileSearchController(std::make_shared<QVEditorSearchScopes>());  // for the process's life
        // Quitting stops the workers (each finishes the file in hand) before anything they use
        // goes away.
        if (qApp) QObject::connect(qApp, &QCoreApplication::aboutToQuit, shared(), [] { shared()->_runner.reset(); });
    }
    return *shared();
}

bool QVMultiFileSearchController::sharedControllerExists() { return shared() != nullptr; }

void QVMultiFileSearchController::install() {
    QVSingleFileSearchController::setFindAllHandler(
        [](const QVSearch& search) { sharedController().runSearch(search, CurrentFile); });
}

QVMultiFileSearchController::QVMultiFileSearchController(std::shared_ptr<QVSearchScopes> scopes)
    : _scopes(std::move(scopes)) {
    setSearch(QVSingleFileSearchController::sharedFind().search());
    validate();
    connect(this, &QVSearchController::stateChanged, this, &QVMultiFileSearchController::refreshControls);
    NotificationCenter& center = NotificationCenter::defaultCenter();
    _tokens << center.addObserver(QVFileDocument::FileDidSaveNotification, nullptr,
                                  [this](const Notification& n) { fileDidSave(n.object); });
    _tokens << center.addObserver(QVFileDocument::FileBecameActiveNotification, nullptr,
                                  [this](const Notification& n) { fileBecameActive(n.object); });
    _tokens << center.addObserver(QVFileDocument::FileWillCloseNotification, nullptr, [this](const Notification&) {
        QTimer::singleShot(0, this, &QVMultiFileSearchController::updateInterface);
    });
    if (qApp) qApp->installEventFilter(new CloseWatcher(this));
}

QVMultiFileSearchController::~QVMultiFileSearchController() {
    for (NotificationCenter::Token token : _tokens) NotificationCenter::defaultCenter().removeObserver(token);
    if (_localCachePromptController) _localCachePromptController->setDelegate({});
    _runner.reset();  // stops its workers before the nodes and window go
    if (shared() == this) shared() = nullptr;
    delete _window.data();
}

// --- Starting and stopping ------------------------------------------------------------------------

void QVMultiFileSearchController::find() {
    if (_searchIsRunning) {
        _cancelling = true;
        if (_runner) _runner->cancel();
        refreshControls();
        return;
    }
    if (_mode == CurrentSite && _scopes->hasDocumentWindow() && _scopes->frontProjectHasRemoteSite()) {
        if (Defaults::promptToSearchLocalCache()) {
            // While the window is being shown the sheet waits a turn, to attach to the shown window.
            if (_showingWindow) {
                if (!_promptQueued) {
                    _promptQueued = true;
                    QTimer::singleShot(0, this, [this] {
                        if (_promptQueued) promptToSearchLocalCache();
                    });
                }
            } else {
                promptToSearchLocalCache();
            }
            return;
        }
        if (!Defaults::searchLocalCacheForRemoteProjects()) return;
    }
    reallyStartFind();
}

void QVMultiFileSearchController::reallyStartFind() {
    flushAll();
    _notSearched.clear();
    _notSearchedTold = 0;
    _keptBytes.clear();
    _keptBytesTold = 0;
    _readOtherwise.clear();
    _readOtherwiseTold = 0;
    setSearchIsRunning(true);
    _lastSearch = search();
    if (!_runner) _runner = std::make_unique<QVSearchRunner>(this, _scopes);
    _runner->runSearch(_lastSearch, _mode);
}

void QVMultiFileSearchController::promptToSearchLocalCache() {
    _promptQueued = false;
    if (_localCachePromptController) return;  // one question at a time
    _localCachePromptController = std::make_unique<QVSearchLocalCachePromptController>();
    _localCachePromptController->setDelegate([this](bool searchLocalCopies) {
        if (searchLocalCopies) reallyStartFind();
        // The prompt is still on the stack: let it go on the next turn.
        QTimer::singleShot(0, this, [this] { _localCachePromptController.reset(); });
    });
    _localCachePromptController->displayOnWindow(window());
}

void QVMultiFileSearchController::runSearch(const QVSearch& search, int mode) {
    setSearch(search);
    setMode(mode);
    showWindow();
    find();
}

void QVMultiFileSearchController::changeMode(int mode) {
    if (mode == _mode) return;
    setMode(mode);
    if (valid()) find();
}

void QVMultiFileSearchController::setMode(int mode) {
    _mode = mode;
    if (!_window) return;
    for (int i = 0; i < 4; ++i) _modeButtons[i]->setActive(false);
    _modeButtons[mode == CurrentSite ? 1 : mode == SpecificFiles ? 3 : mode == CurrentFile ? 0 : 2]->setActive(true);
    _specificFilesDrawer->setVisible(mode == SpecificFiles);
}

bool QVMultiFileSearchController::modeEnabled(int mode) const {
    switch (mode) {
    case CurrentFile: return _scopes->hasDocumentWindow();
    case CurrentSite: return _scopes->hasDocumentWindow() && _scopes->frontIsMultiFile();
    case OpenFiles: return !_scopes->openDocuments().isEmpty();
    default: return true;
    }
}

void QVMultiFileSearchController::updateInterface() {
    // The whole chain at once: one new search, in the first mode that has something.
    int mode = _mode;
    if (mode == CurrentFile && !modeEnabled(CurrentFile)) mode = CurrentSite;
    if (mode == CurrentSite && !modeEnabled(CurrentSite)) mode = OpenFiles;
    if (mode == OpenFiles && !modeEnabled(OpenFiles)) mode = SpecificFiles;
    if (mode != _mode) {
        if (_searchIsRunning) setMode(mode);
        else changeMode(mode);
    }
    if (!_window) return;
    for (int i = 0; i < 4; ++i) _modeButtons[i]->setEnabled(!_searchIsRunning && modeEnabled(i));
}

void QVMultiFileSearchController::setSearchIsRunning(bool running) {
    _searchIsRunning = running;
    updateInterface();
    if (_specificFilesTable) _specificFilesTable->clearSelection();
    refreshControls();
    Q_EMIT searchIsRunningChanged(running);
}

void QVMultiFileSearchController::setNumberOfResults(quint64 count) {
    _numberOfResults = count;
    refreshControls();
}

QString QVMultiFileSearchController::searchButtonTitle() const { return _searchIsRunning ? tr("Stop") : tr("Find"); }

void QVMultiFileSearchController::flushAll() {
    _searchResultNodes.clear();
    _nodeOfPath.clear();
    if (_outlineView) _outlineView->clear();
    setNumberOfResults(0);
}

// --- Results --------------------------------------------------------------------------------------

int QVMultiFileSearchController::indexOfNode(const QString& path) const {
    const QVMultiFileSearchNode* node = path.isEmpty() ? nullptr : _nodeOfPath.value(path);
    if (!node) return -1;
    for (int i = 0; i < _searchResultNodes.size(); ++i)
        if (_searchResultNodes[i].get() == node) return i;
    return -1;
}

void QVMultiFileSearchController::willRunSearchForPath(const QString& path) {
    const int index = indexOfNode(path);
    if (index < 0) return;
    const auto& node = _searchResultNodes[index];
    setNumberOfResults(_numberOfResults - quint64(node->searchResults().size()));
    node->setSearchResults({});
    node->setReadNote({});
    node->setReadInFallback(false);
    node->setActive(true);
    if (_outlineView) _outlineView->reloadFile(index);
}

void QVMultiFileSearchController::didRunSearchForPath(const QString& path, const std::shared_ptr<QVSearchDocument>& document,
                                                      const QList<QVSearchResult>& results) {
    int index = indexOfNode(path);
    setNumberOfResults(_numberOfResults + quint64(results.size()));
    if (results.isEmpty()) {
        if (index >= 0) {
            _nodeOfPath.remove(path);
            _searchResultNodes.removeAt(index);
            if (_outlineView) _outlineView->removeFile(index);
        }
        return;
    }
    const bool added = index < 0;
    if (added) {
        auto node = QVMultiFileSearchNode::create(!path.isEmpty() ? path : document ? document->displayName() : QString());
        _searchResultNodes << node;
        _nodeOfPath.insert(node->path(), node.get());
        index = int(_searchResultNodes.size()) - 1;
    }
    const auto& node = _searchResultNodes[index];
    node->setDocument(document);
    node->setSearchResults(results);
    node->setActive(false);
    if (_outlineView) {
        if (added) _outlineView->insertFile(index, node, true);
        else _outlineView->reloadFile(index);
    }
}

void QVMultiFileSearchController::didNotSearchPath(const QString& path, const QString& reason, bool folder) {
    _notSearched.append({folder && !path.endsWith(QLatin1Char('/')) ? path + QLatin1Char('/') : path, reason});
}

void QVMultiFileSearchController::didKeepBytesInPath(const QString& path, qint64 count) {
    _keptBytes.append({path, count});
    if (const int index = indexOfNode(path); index >= 0) {
        _searchResultNodes[index]->setReadNote(heldBytesNote(count));
        if (_outlineView) _outlineView->reloadFile(index);
    }
}

void QVMultiFileSearchController::didReadPathOtherThanUTF8(const QString& path, const QString& reason, bool fallback) {
    if (!reason.isEmpty()) _readOtherwise.append({path, reason});
    if (const int index = indexOfNode(path); index >= 0) {
        const auto& node = _searchResultNodes[index];
        if (!reason.isEmpty()) node->setReadNote(reason);
        node->setReadInFallback(fallback);
        if (_outlineView) _outlineView->reloadFile(index);
    }
}

void QVMultiFileSearchController::didFinishAllSearches() {
    _cancelling = false;
    setSearchIsRunning(_runner && _runner->runningReplace());
    showSearchReport();
}

void QVMultiFileSearchController::didReplaceInPath(const QVReplaceReport& report) { _replaceReports << report; }

void QVMultiFileSearchController::didFinishAllReplaces() {
    _cancelling = false;
    _replacing = false;
    setSearchIsRunning(_runner && _runner->runningSeach());
    showReplaceReport();
    Q_EMIT replacesReported();
}

quint64 QVMultiFileSearchController::count() const {
    quint64 n = 0;
    for (const auto& node : _searchResultNodes) n += quint64(node->searchResults().size());
    return n;
}

QList<QVSearchResult> QVMultiFileSearchController::selectedResults() const {
    QList<QVSearchResult> results = _outlineView ? _outlineView->selectedResults() : QList<QVSearchResult>();
    if (!results.isEmpty()) return results;
    for (const auto& node : _searchResultNodes) results << node->searchResults();
    return results;
}

// --- Replacing ------------------------------------------------------------------------------------

QStringList QVMultiFileSearchController::largeFilesToReplace() const {
    // Files on disk only: an open document is replaced in its editor, which holds it already.
    QStringList said;
    QSet<const QVMultiFileSearchNode*> seen;
    for (const QVSearchResult& result : selectedResults()) {
        const auto node = result.parentAs<QVMultiFileSearchNode>();
        if (!node || node->document() || seen.contains(node.get())) continue;
        seen.insert(node.get());
        const QFileInfo file(node->path());
        if (file.isFile() && LargeFiles::needsConfirmation(file.size())) said << LargeFiles::replaceQuestion(node->path(), file.size());
    }
    return said;
}

QString QVMultiFileSearchController::replaceQuestion() const {
    const quint64 selected = _outlineView && _outlineView->selectedCount() > 0 ? quint64(_outlineView->selectedCount()) : count();
    // A file (or open document) read in the fallback takes only ASCII: its occurrences whose new
    // text is not ASCII will be skipped, and are not counted as replaced.
    quint64 skipped = 0;
    QSet<const QVMultiFileSearchNode*> skippedFiles;
    QVSearch search = _lastSearch;
    search.setReplaceString(replaceString());
    for (const QVSearchResult& result : selectedResults()) {
        const auto node = result.parentAs<QVMultiFileSearchNode>();
        if (!node || !node->readInFallback()) continue;
        const QVSearchResult::AttributedString& context = result.attributedString();
        const QString replacement =
            search.replacementForString(context.string.mid(context.emphasis.location, context.emphasis.length));
        if (std::all_of(replacement.cbegin(), replacement.cend(), [](QChar c) { return c.unicode() < 0x80; })) continue;
        skippedFiles.insert(node.get());
        ++skipped;
    }
    const quint64 replacing = selected >= skipped ? selected - skipped : 0;
    QString question = (replacing == 1 ? tr("Do you really want to replace %1 occurrence (out of %2) of \"%3\" with \"%4\"?")
                                       : tr("Do you really want to replace %1 occurrences (out of %2) of \"%3\" with \"%4\"?"))
                           .arg(replacing)
                           .arg(count())
                           .arg(_lastSearch.searchString(), replaceString());
    if (skipped)
        question += QLatin1Char(' ') +
                    (skipped == 1 ? tr("%1 occurrence in %2 file(s) will be skipped: those files were read in %3, as they are not valid in their encoding, and only ASCII is written into them.")
                                  : tr("%1 occurrences in %2 file(s) will be skipped: those files were read in %3, as they are not valid in their encoding, and only ASCII is written into them."))
                        .arg(skipped)
                        .arg(skippedFiles.size())
                        .arg(FileEncodings::displayName(TextEncoding::defaultCStringEncoding()));
    const QStringList large = largeFilesToReplace();
    return large.isEmpty() ? question : question + QStringLiteral("\n\n") + large.join(QLatin1Char('\n'));
}

void QVMultiFileSearchController::replace() {
    auto* box = new QMessageBox(QMessageBox::Information, tr("Replace"), tr("Replace"), QMessageBox::NoButton, window());
    box->setObjectName(QStringLiteral("ReplaceConfirmation"));
    QPushButton* replaceButton = box->addButton(tr("Replace"), QMessageBox::AcceptRole);
    QPushButton* cancelButton = box->addButton(tr("Cancel"), QMessageBox::RejectRole);
    // A line for every large file chosen: a long list scrolls, the buttons stay on the screen.
    QVSetAlertDetails(box, replaceQuestion());
    // As opening a large file asks: Return does not take the memory it names.
    if (largeFilesToReplace().isEmpty()) box->setDefaultButton(replaceButton);
    else box->setDefaultButton(cancelButton);
    box->setWindowModality(Qt::WindowModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(box, &QMessageBox::finished, this, [this, box, replaceButton](int) {
        if (_searchIsRunning) {
            _cancelling = true;
            if (_runner) _runner->cancel();
            refreshControls();
            return;
        }
        if (box->clickedButton() != replaceButton) return;
        // The results' own search, with the replacement now in the field: a changed search text
        // never picks what is replaced.
        QVSearch search = _lastSearch;
        search.setReplaceString(replaceString());
        const QList<QVSearchResult> chosen = selectedResults();
        _replaceReports.clear();
        _replacing = true;
        setSearchIsRunning(true);
        if (!_runner) _runner = std::make_unique<QVSearchRunner>(this, _scopes);
        _runner->runSearch(search, chosen);
        flushAll();
    });
    box->open();
}

QString QVMultiFileSearchController::replaceSummary(qsizetype replaced, qsizetype written, qsizetype edited,
                                                   qsizetype skipped, qsizetype failed) {
    // What reached the disk apart from what waits in an editor for its save.
    auto count = [](qsizetype n, const char* one, const char* many) {
        return (n == 1 ? tr(one) : tr(many)).arg(n);
    };
    QStringList parts;
    parts << count(written, "%1 file written", "%1 files written");
    if (edited) parts << count(edited, "%1 open document changed and not yet saved", "%1 open documents changed and not yet saved");
    QString summary = count(replaced, "Replaced %1 occurrence: ", "Replaced %1 occurrences: ") + parts.join(tr(", "));
    if (skipped || failed) summary += tr("; %1 skipped, %2 failed").arg(skipped).arg(failed);
    return summary + QLatin1Char('.');
}

void QVMultiFileSearchController::showReplaceReport() {
    qsizetype replaced = 0, written = 0, edited = 0, skipped = 0, failed = 0;
    QStringList lines;
    for (const QVReplaceReport& report : _replaceReports) {
        const QString name = report.path;
        switch (report.outcome) {
        case QVReplaceReport::Replaced:
            replaced += report.count;
            ++(report.inEditor ? edited : written);
            lines << tr("Replaced %1 in %2%3%4")
                         .arg(report.count)
                         .arg(name, report.inEditor ? tr(" (in its editor, not saved)") : QString(),
                              report.keptBytes ? QStringLiteral(" (%1)").arg(keptBytesNote(report.keptBytes)) : QString());
            break;
        case QVReplaceReport::Skipped:
            ++skipped;
            lines << tr("Skipped %1: %2").arg(name, report.reason);
            break;
        case QVReplaceReport::Failed:
            ++failed;
            lines << tr("Failed %1: %2").arg(name, report.reason);
            break;
        }
    }
    const QString summary = replaceSummary(replaced, written, edited, skipped, failed);
    setStatus(summary);
    if (_replaceReports.isEmpty()) return;
    showReport(QStringLiteral("ReplaceReport"), tr("Replace"), summary, lines, skipped || failed);
}

void QVMultiFileSearchController::showReport(const QString& name, const QString& title, const QString& summary,
                                             const QStringList& lines, bool warning) {
    if (!_window || !_window->isVisible()) return;
    auto* box = new QMessageBox(warning ? QMessageBox::Warning : QMessageBox::Information, title, summary, QMessageBox::Ok, _window);
    box->setObjectName(name);
    box->setDetailedText(lines.join(QLatin1Char('\n')));
    box->setWindowModality(Qt::WindowModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

QString QVMultiFileSearchController::heldBytesNote(qint64 count) {
    return (count == 1 ? tr("holds %1 byte that is not UTF-8") : tr("holds %1 bytes that are not UTF-8")).arg(count);
}

QString QVMultiFileSearchController::keptBytesNote(qint64 count) {
    return (count == 1 ? tr("%1 byte is not UTF-8 and was kept as it is") : tr("%1 bytes are not UTF-8 and were kept as they are"))
        .arg(count);
}

void QVMultiFileSearchController::showSearchReport() {
    // Each file that could not be read, was read as UTF-8 but for some bytes, or was read other
    // than as UTF-8 for a search for text that is not ASCII, is told once, when the search that
    // met it ends.
    if (_notSearched.size() == _notSearchedTold && _keptBytes.size() == _keptBytesTold &&
        _readOtherwise.size() == _readOtherwiseTold)
        return;
    QStringList notes;
    for (qsizetype i = _readOtherwiseTold; i < _readOtherwise.size(); ++i)
        notes << tr("Searched %1: %2").arg(_readOtherwise[i].first, _readOtherwise[i].second);
    for (qsizetype i = _keptBytesTold; i < _keptBytes.size(); ++i)
        notes << tr("Searched as UTF-8 %1: %2, which no search finds").arg(_keptBytes[i].first, heldBytesNote(_keptBytes[i].second));
    const qsizetype otherwise = _readOtherwise.size() - _readOtherwiseTold, kept = _keptBytes.size() - _keptBytesTold;
    _keptBytesTold = _keptBytes.size();
    _readOtherwiseTold = _readOtherwise.size();
    if (_notSearched.size() == _notSearchedTold) {
        QStringList parts;
        if (otherwise)
            parts << (otherwise == 1 ? tr("%1 file was read other than as UTF-8, so text that is not ASCII may be missed in it.")
                                     : tr("%1 files were read other than as UTF-8, so text that is not ASCII may be missed in them."))
                         .arg(otherwise);
        if (kept)
            parts << (kept == 1 ? tr("%1 file was searched as UTF-8 though some of its bytes are not.")
                                : tr("%1 files were searched as UTF-8 though some of their bytes are not."))
                         .arg(kept);
        const QString summary = parts.join(QLatin1Char(' '));
        setStatus(summary);
        showReport(QStringLiteral("SearchReport"), tr("Find"), summary, notes, otherwise > 0);
        return;
    }
    _notSearchedTold = _notSearched.size();
    QStringList lines;
    for (const auto& [path, reason] : std::as_const(_notSearched)) lines << tr("Not searched %1: %2").arg(path, reason);
    lines << notes;
    qsizetype folders = 0;
    for (const auto& entry : std::as_const(_notSearched)) folders += entry.first.endsWith(QLatin1Char('/'));
    const qsizetype files = _notSearched.size() - folders;
    const QString fileCount = (files == 1 ? tr("%1 file") : tr("%1 files")).arg(files);
    const QString folderCount = (folders == 1 ? tr("%1 folder") : tr("%1 folders")).arg(folders);
    const QString what = !folders ? fileCount : !files ? folderCount : tr("%1 and %2").arg(fileCount, folderCount);
    const QString summary = (_notSearched.size() == 1 ? tr("%1 could not be read and was not searched.")
                                                      : tr("%1 could not be read and were not searched."))
                                .arg(what);
    setStatus(summary);
    showReport(QStringLiteral("SearchReport"), tr("Find"), summary, lines, true);
}

// --- Showing a match --------------------------------------------------------------------------------

void QVMultiFileSearchController::outlineViewAction() {
    if (_showingMatch || !_outlineView || _outlineView->selectedCount() != 1) return;
    const QVSearchResult result = _outlineView->selectedResults().value(0);
    const auto node = result.parentAs<QVMultiFileSearchNode>();
    if (!node) return;
    QVRange range = result.range();
    QVFileDocument* document = QVEditorSearchScopes::fileDocument(node->document());
    QVDocumentWindowController* documentWindow = nullptr;
    if (document) {
        for (QVDocumentWindowController* w : QVEditorSearchScopes::documentWindows()) {
            auto* multi = qobject_cast<QVMultiFileWindowController*>(w);
            if (w->document() == document || (multi && multi->openDocuments().contains(document))) documentWindow = w;
        }
    } else if (node->path().startsWith(QLatin1Char('/'))) {
        documentWindow = QVEditorSearchScopes::open(node->path());
        auto* multi = qobject_cast<QVMultiFileWindowController*>(documentWindow);
        document = multi ? multi->documentForPath(node->path()) : documentWindow ? documentWindow->document() : nullptr;
        if (document && document->textView()) {
            node->setDocument(QVEditorSearchScopes::searchDocument(documentWindow, document));
            // The editor holds the text as loaded, which may differ from the bytes searched (a
            // byte-order mark, the encoding): the matches are taken again from it, the chosen one
            // by its place among them.
            int which = -1;
            for (int i = 0; i < node->searchResults().size(); ++i)
                if (node->searchResults()[i].range() == result.range()) which = i;
            const auto again = _lastSearch.findAllForString(document->textView()->fullString(), true);
            if (again.size() == node->searchResults().size() && which >= 0) {
                range = again[which].range();
                _showingMatch = true;
                node->setSearchResults(again);
                const int file = int(_searchResultNodes.indexOf(node));
                if (file >= 0) {
                    _outlineView->reloadFile(file);
                    int row = 0;
                    for (int r = 0; r < _outlineView->rowCount(); ++r)
                        if (_outlineView->itemAtRow(r) == std::pair<int, int>(file, which)) row = r;
                    _outlineView->selectRow(row);
                }
                _showingMatch = false;
            }
        }
    }
    if (!document || !documentWindow || !document->textView()) {
        setStatus(tr("Could not open %1").arg(node->path()));
        return;
    }
    documentWindow->activateDocument(document);
    documentWindow->show();
    documentWindow->raise();
    _shownMatchPath = document->fileName();
    HTMLViewFind::showFullRange(*document->textView(), range);
    // The find window stays in front of the file it shows.
    if (_window) {
        _window->raise();
        _window->activateWindow();
    }
}

// --- Saving -----------------------------------------------------------------------------------------

void QVMultiFileSearchController::saveDocuments() {
    struct Open {
        QVDocumentWindowController* window;
        QVFileDocument* document;
    };
    QList<Open> open;
    for (QVDocumentWindowController* window : QVEditorSearchScopes::documentWindows()) {
        auto* multi = qobject_cast<QVMultiFileWindowController*>(window);
        for (QVFileDocument* document : multi ? multi->openDocuments() : QList<QVFileDocument*>{window->document()})
            if (document) open.append({window, document});
    }
    const auto save = [](const Open& target) {
        target.window->activateDocument(target.document);
        target.window->saveDocument();
    };
    QList<Open> changed;
    for (const QVReplaceReport& report : std::as_const(_replaceReports))
        if (report.inEditor && report.outcome == QVReplaceReport::Replaced)
            for (const Open& o : std::as_const(open))
                if (o.document->fileName() == report.path && o.document->isDocumentEdited()) changed.append(o);
    if (!changed.isEmpty()) {
        for (const Open& target : std::as_const(changed)) save(target);
        return;
    }
    if (!_shownMatchPath.isEmpty())
        for (const Open& o : std::as_const(open))
            if (o.document->fileName() == _shownMatchPath) return save(o);
    if (!open.isEmpty() && open.first().window->document()) return open.first().window->saveDocument();
    setStatus(tr("No document is open to save."));
}

// --- Notifications ----------------------------------------------------------------------------------

void QVMultiFileSearchController::fileDidSave(const void* object) {
    if (!_window || !_window->isVisible()) return;
    const auto document = _scopes->documentForObject(object);
    if (!document) return;
    setSearchIsRunning(true);
    if (!_runner) _runner = std::make_unique<QVSearchRunner>(this, _scopes);
    // The search of the results shown, so that the saved file's rows match the others'.
    _runner->runSearch(_lastSearch.searchString().isEmpty() ? search() : _lastSearch, document);
}

void QVMultiFileSearchController::fileBecameActive(const void* object) {
    if (_mode != CurrentFile || !_window || !_window->isVisible()) return;
    if (_searchResultNodes.isEmpty() ||
        (_searchResultNodes.size() == 1 &&
         (!_searchResultNodes[0]->document() || _searchResultNodes[0]->document()->notificationObject() != object)))
        find();
}

// --- Chosen files -----------------------------------------------------------------------------------

bool QVMultiFileSearchController::addSpecificFiles(const QStringList& paths, int index) {
    if (_searchIsRunning) return false;
    if (paths.isEmpty()) return true;
    if (index < 0 || index > _specificFilePaths.size()) index = int(_specificFilePaths.size());
    for (int i = 0; i < paths.size(); ++i) _specificFilePaths.insert(index + i, paths[i]);
    if (_specificFilesTable) {
        _specificFilesTable->clear();
        _specificFilesTable->addItems(_specificFilePaths);
    }
    validate();
    return true;
}

void QVMultiFileSearchController::addSpecificFiles() {
    auto* dialog = new QFileDialog(window(), tr("Add Files"));
    dialog->setFileMode(QFileDialog::ExistingFiles);
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    // Folders may be chosen too: the list takes whatever is selected.
    connect(dialog, &QFileDialog::accepted, this, [this, dialog] {
        addSpecificFiles(dialog->selectedFiles(), -1);
    });
    dialog->open();
}

void QVMultiFileSearchController::removeSpecificFiles() {
    if (!_specificFilesTable) return;
    QList<int> rows;
    for (const QListWidgetItem* item : _specificFilesTable->selectedItems()) rows << _specificFilesTable->row(item);
    std::sort(rows.begin(), rows.end(), std::greater<>());
    for (int row : rows) _specificFilePaths.removeAt(row);
    _specificFilesTable->clear();
    _specificFilesTable->addItems(_specificFilePaths);
    validate();
}

void QVMultiFileSearchController::collapseAll() {
    if (_outlineView) _outlineView->setAllExpanded(false);
}

void QVMultiFileSearchController::expandAll() {
    if (_outlineView) _outlineView->setAllExpanded(true);
}

// --- The window ---------------------------------------------------------------------------------------

void QVMultiFileSearchController::showWindow() {
    _showingWindow = true;
    QWidget* w = window();
    w->show();
    w->raise();
    w->activateWindow();
    _searchField->setFocus();
    updateInterface();
    _showingWindow = false;
}

QWidget* QVMultiFileSearchController::window() {
    if (_window) return _window;
    auto* window = new QWidget(nullptr, Qt::Window);
    _window = window;
    window->setObjectName(QStringLiteral("MultiFileSearch"));
    // The window holds no document of its own: Save reaches the documents it changed or shows.
    auto* save = new QAction(tr("Save"), window);
    save->setShortcuts(QKeySequence::Save);
    save->setShortcutContext(Qt::WindowShortcut);
    connect(save, &QAction::triggered, this, &QVMultiFileSearchController::saveDocuments);
    window->addAction(save);
    window->setWindowTitle(tr("Multi File Find"));
    window->resize(820, 560);
    QVScreenPlacement::keepInside(window);
    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    // The four scopes.
    _modeBar = new QVGradientBar;
    _modeBar->setTopBorderWidth(1);
    _modeBar->setBottomBorderWidth(1);
    _modeBar->setAllBorderColors(QColor::fromRgbF(0.5f, 0.5f, 0.5f));
    _modeBar->setBackgroundColor(QColor(182, 192, 207));
    _modeBar->setBackgroundColor2(QColor(203, 210, 221));
    auto* modes = new QHBoxLayout(_modeBar);
    modes->setContentsMargins(8, 4, 8, 4);
    modes->addStretch();
    const char* titles[] = {"Current File", "Current Project", "Open Files", "Specific Files"};
    for (int i = 0; i < 4; ++i) {
        _modeButtons[i] = new QVCapsuleButton(tr(titles[i]));
        _modeButtons[i]->setObjectName(QStringLiteral("mode%1").arg(i));
        connect(_modeButtons[i], &QAbstractButton::clicked, this, [this, i] { changeMode(i); });
        modes->addWidget(_modeButtons[i]);
    }
    modes->addStretch();
    layout->addWidget(_modeBar);

    // The search form.
    _formBackground = new QVGradientBar;
    _formBackground->setBottomBorderWidth(1);
    _formBackground->setBottomBorderColor(QColor::fromRgbF(0.6f, 0.6f, 0.6f));
    _formBackground->setBackgroundColor(QColor::fromRgbF(0.9f, 0.9f, 0.9f));
    _formBackground->setBackgroundColor2(QColor::fromRgbF(0.97f, 0.97f, 0.97f));
    auto* grid = new QGridLayout(_formBackground);
    auto field = [&](int row, const char* label, QComboBox*& box, const char* key, const QString& historyKey, int tag) {
        grid->addWidget(new QLabel(tr(label)), row, 0, Qt::AlignRight);
        box = new QComboBox;
        box->setEditable(true);
        box->setInsertPolicy(QComboBox::NoInsert);
        box->addItems(history(historyKey));
        box->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        grid->addWidget(box, row, 1);
        connect(box, &QComboBox::editTextChanged, this, [this, key](const QString& text) {
            if (!_refreshing) setValue(text, QString::fromLatin1(key));
        });
        // The extended input, as in the find panel: several lines to find or to put in.
        auto* more = new QToolButton;
        more->setObjectName(tag == SearchFieldTag ? QStringLiteral("extendedSearchInput") : QStringLiteral("extendedReplaceInput"));
        more->setText(QStringLiteral("\u2026"));
        more->setToolTip(tr("Edit in a larger field"));
        grid->addWidget(more, row, 3);
        connect(more, &QToolButton::clicked, this, [this, tag] { QVSingleFileSearchController::showExtendedInput(*this, _window, tag); });
    };
    field(0, "Find:", _searchField, "searchString", QStringLiteral("QVSearchHistory"), SearchFieldTag);
    field(1, "Replace:", _replaceField, "replaceString", QStringLiteral("QVReplaceHistory"), SearchFieldTag + 1);
    _findButton = new QPushButton(tr("Find"));
    _findButton->setDefault(true);
    _replaceButton = new QPushButton(tr("Replace"));
    _replaceButton->setAutoDefault(false);
    grid->addWidget(_findButton, 0, 2);
    grid->addWidget(_replaceButton, 1, 2);
    connect(_findButton, &QPushButton::clicked, this, &QVMultiFileSearchController::find);
    connect(_replaceButton, &QPushButton::clicked, this, &QVMultiFileSearchController::replace);
    connect(_searchField->lineEdit(), &QLineEdit::returnPressed, this, [this] {
        if (valid() && !_searchIsRunning) find();
    });
    auto* options = new QHBoxLayout;
    _regexBox = new QCheckBox(tr("Regular expression"));
    _caseBox = new QCheckBox(tr("Match case"));
    options->addWidget(_regexBox);
    options->addWidget(_caseBox);
    options->addStretch();
    grid->addLayout(options, 2, 1);
    connect(_regexBox, &QCheckBox::toggled, this, [this](bool on) { if (!_refreshing) setValue(on, QStringLiteral("regularExpression")); });
    connect(_caseBox, &QCheckBox::toggled, this, [this](bool on) { if (!_refreshing) setValue(on, QStringLiteral("matchCase")); });
    layout->addWidget(_formBackground);

    // The chosen files (shown in mode 3) beside the results.
    auto* splitter = new QSplitter;
    _specificFilesDrawer = new QWidget;
    _specificFilesDrawer->setObjectName(QStringLiteral("SpecificFilesDrawer"));
    auto* drawer = new QVBoxLayout(_specificFilesDrawer);
    drawer->setContentsMargins(6, 6, 0, 6);
    auto* table = new ChosenFilesTable;
    _specificFilesTable = table;
    table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    table->setAcceptDrops(true);
    table->setDragDropMode(QAbstractItemView::DropOnly);
    table->viewport()->setAcceptDrops(true);
    table->accepting = [this] { return !_searchIsRunning; };
    table->accept = [this](const QStringList& paths, int row) { return addSpecificFiles(paths, row); };
    table->addItems(_specificFilePaths);
    drawer->addWidget(table);
    auto* drawerButtons = new QHBoxLayout;
    auto* add = new QPushButton(tr("Add\u2026"));
    _removeFilesButton = new QPushButton(tr("Remove"));
    _removeFilesButton->setEnabled(false);
    drawerButtons->addWidget(add);
    drawerButtons->addWidget(_removeFilesButton);
    drawerButtons->addStretch();
    drawer->addLayout(drawerButtons);
    connect(add, &QPushButton::clicked, this, qOverload<>(&QVMultiFileSearchController::addSpecificFiles));
    connect(_removeFilesButton, &QPushButton::clicked, this, &QVMultiFileSearchController::removeSpecificFiles);
    connect(table, &QListWidget::itemSelectionChanged, this,
            [this] { _removeFilesButton->setEnabled(!_specificFilesTable->selectedItems().isEmpty()); });
    splitter->addWidget(_specificFilesDrawer);
    _outlineView = new QVSearchResultsOutlineView;
    for (int i = 0; i < _searchResultNodes.size(); ++i) _outlineView->insertFile(i, _searchResultNodes[i]);
    connect(_outlineView, &QVSearchResultsOutlineView::selectionChanged, this, &QVMultiFileSearchController::outlineViewAction);
    splitter->addWidget(_outlineView);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({220, 600});
    layout->addWidget(splitter, 1);

    // The count and status, and the outline's own commands.
    auto* bottom = new QHBoxLayout;
    bottom->setContentsMargins(8, 4, 8, 6);
    _countLabel = new QLabel;
    _statusLabel = new QLabel;
    bottom->setSpacing(16);
    bottom->addWidget(_countLabel);
    bottom->addWidget(_statusLabel, 1);
    auto* collapse = new QPushButton(tr("Collapse All"));
    auto* expand = new QPushButton(tr("Expand All"));
    for (QPushButton* b : {collapse, expand}) {
        b->setAutoDefault(false);
        bottom->addWidget(b);
    }
    connect(collapse, &QPushButton::clicked, this, &QVMultiFileSearchController::collapseAll);
    connect(expand, &QPushButton::clicked, this, &QVMultiFileSearchController::expandAll);
    layout->addLayout(bottom);

    setMode(_mode);
    updateInterface();
    refreshControls();
    return window;
}

void QVMultiFileSearchController::refreshControls() {
    if (!_window || _refreshing) return;
    _refreshing = true;
    if (_searchField->lineEdit()->text() != searchString()) _searchField->setEditText(searchString());
    if (_replaceField->lineEdit()->text() != replaceString()) _replaceField->setEditText(replaceString());
    _regexBox->setChecked(regularExpression());
    _caseBox->setChecked(matchCase());
    _findButton->setText(searchButtonTitle());
    _findButton->setEnabled(_searchIsRunning ? !_cancelling : valid());
    _replaceButton->setEnabled(valid() && !_searchIsRunning && haveResults());
    _countLabel->setText(_numberOfResults == 1 ? tr("1 match") : tr("%1 matches").arg(_numberOfResults));
    _statusLabel->setText(_searchIsRunning ? (_cancelling ? tr("Stopping\u2026") : _replacing ? tr("Replacing\u2026") : tr("Searching\u2026"))
                                           : status());
    _refreshing = false;
}
