// The tabbed window.
#include "editor/windows/QVMultiFileWindowController.h"

#include "editor/HTMLView.h"
#include "editor/QVFileDocument.h"
#include "editor/QVFileView.h"
#include "editor/QVTab.h"
#include "editor/QVTabBarView.h"
#include "editor/QVTabView.h"
#include "editor/windows/QVMultiFileCloseController.h"
#include "editor/windows/QVMultiFileDocument.h"
#include "editor/windows/QVMultiFileToolbarDelegate.h"
#include "files/QVRootFile.h"
#include "platform/AppBundle.h"
#include "platform/FileName.h"
#include "platform/QVRange.h"
#include "shell/QVMainMenu.h"
#include "shell/QVScreenPlacement.h"
#include "shell/StringHashing.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QTimer>

#include <algorithm>

namespace {

constexpr qint64 NotFound = QVRange::NotFound;

// One file under any spelling: links resolved, "..", "." and doubled slashes gone. A file that
// does not exist yet keeps its cleaned absolute path (its folder resolved when it exists).
QString canonicalPath(const QString& path) {
    if (path.isEmpty()) return path;
    const QFileInfo info(FileName::absolute(path));
    const QString canonical = FileName::canonical(path);
    if (!canonical.isEmpty()) return canonical;
    const QString folder = FileName::canonical(info.absolutePath());
    return QDir::cleanPath(folder.isEmpty() ? info.absoluteFilePath() : folder + u'/' + info.fileName());
}

}  // namespace

// A request to close the window's documents: answered exactly once.
struct QVMultiFileWindowController::CloseRequest {
    std::function<void(bool)> answer;
    void reply(bool mayClose) {
        if (answer) std::exchange(answer, {})(mayClose);
    }
};

QVMultiFileWindowController::QVMultiFileWindowController(std::unique_ptr<QVMultiFileDocument> mainDocument, QWidget* parent)
    : QVDocumentWindowController(parent), _mainDocument(std::move(mainDocument)) {
    setObjectName(WindowNibName);
    resize(900, 680);
    QVScreenPlacement::keepInside(this);
    _tabView = new QVTabView(this);
    _tabView->setDelegate(this);
    setContentView(_tabView);
    setToolbarDelegate(new QVMultiFileToolbarDelegate(this));
    buildMenus();
    buildTabMenus();
    updateCloseItems();
    updateActions();
}

QVMultiFileWindowController::~QVMultiFileWindowController() {
    _tabView->setDelegate(nullptr);
    // The documents go with the window; none of them may call back into it meanwhile.
    for (auto& document : _openDocuments) {
        document->setDelegate({});
        document->setEditedObserver({});
        _tabView->removeContentView(viewOfDocument(document.get()));
    }
    _activeDocument = nullptr;
    _openDocuments.clear();
}

QList<QVFileDocument*> QVMultiFileWindowController::openDocuments() const {
    QList<QVFileDocument*> documents;
    for (const auto& document : _openDocuments) documents.append(document.get());
    return documents;
}

qint64 QVMultiFileWindowController::indexOfDocument(const QVFileDocument* document) const {
    for (size_t i = 0; i < _openDocuments.size(); ++i)
        if (_openDocuments[i].get() == document) return qint64(i);
    return NotFound;
}

QVFileDocument* QVMultiFileWindowController::documentAtIndex(qint64 index) const {
    return index >= 0 && index < qint64(_openDocuments.size()) ? _openDocuments[size_t(index)].get() : nullptr;
}

QWidget* QVMultiFileWindowController::viewOfDocument(QVFileDocument* document) const {
    if (!document) return nullptr;
    if (QVFileView* view = document->fileView())
        if (QWidget* shown = view->mainView()) return shown;
    return document->textView();
}

QString QVMultiFileWindowController::uuidOf(const QVFileDocument* document) {
    return document ? document->uuid() : QString();
}

HTMLView* QVMultiFileWindowController::currentTextView() const {
    return _activeDocument ? _activeDocument->textView() : nullptr;
}

std::unique_ptr<QVFileDocument> QVMultiFileWindowController::createDocumentForFile(const std::shared_ptr<QVFile>& file) {
    if (!file || file->isFolder()) return nullptr;
    auto document = std::make_unique<QVFileDocument>(file->path());
    document->setDelegate(documentDelegate());
    return document;
}

QVFileDocument* QVMultiFileWindowController::documentForFile(const std::shared_ptr<QVFile>& file) const {
    return file ? _fileToDocument.value(file->uuid()) : nullptr;
}

QVFileDocument* QVMultiFileWindowController::documentForPath(const QString& path) const {
    const QString wanted = canonicalPath(path);
    if (wanted.isEmpty()) return nullptr;
    for (const auto& document : _openDocuments)
        if (canonicalPath(document->fileName()) == wanted) return document.get();
    return nullptr;
}

void QVMultiFileWindowController::openFile(const std::shared_ptr<QVFile>& file) {
    if (!file) return;
    QVFileDocument* document = documentForFile(file);
    if (!document) {
        std::unique_ptr<QVFileDocument> made = createDocumentForFile(file);
        if (!made) return;
        made->setFileNode(file);
        // A file that cannot be read (a pipe, a device, no permission) opens nothing and says
        // why; one that does not exist yet opens empty and is made by the first save.
        QVError error, notice;
        if (!made->load(&error, &notice) && !(error.domain() == QVError::posixDomain() && error.code() == ENOENT)) {
            made->close();
            presentErrorAlert(error);
            return;
        }
        document = made.get();
        QPointer<QVMultiFileWindowController> self(this);
        document->setEditedObserver([self, document](bool) { if (self) self->documentNeedsRefresh(document); });
        _fileToDocument.insert(file->uuid(), document);
        _openDocuments.push_back(std::move(made));
        activateDocument(document);
        // The encoding the text was read in, once the bar reports on it (it clears what it
        // shows until then), as every "Opened using" notice: over the status bar.
        if (notice) {
            notice.setUserInfoValue(QString::fromLatin1(QVIsLowPriorityError), true);
            presentErrorAlert(notice);
        }
        return;
    }
    activateDocument(document);
}

QVFileDocument* QVMultiFileWindowController::openFileAtPath(const QString& path) {
    if (QVFileDocument* open = documentForPath(path)) {
        activateDocument(open);
        return open;
    }
    const std::shared_ptr<QVRootFile> root = QVRootFile::create(canonicalPath(path), false);
    if (!root) return nullptr;
    openFile(root);
    QVFileDocument* document = documentForFile(root);
    // A file of no tree has no folder watch to tell it of changes: the document follows its file
    // itself, as a single-file window's does (reloads unedited, asks when edited or deleted).
    if (document && !root->fileWatcher()) document->setWatchesFile(true);
    return document;
}

void QVMultiFileWindowController::activateDocument(QVFileDocument* document) {
    if (document == _activeDocument) return;
    if (document && indexOfDocument(document) == NotFound) return;
    if (_activeDocument) _activeDocument->deactivate();
    _activeDocument = document;
    if (document) {
        const QString uuid = uuidOf(document);
        if (QVTab* tab = _tabView->tabForIdentifier(uuid)) {
            _tabView->selectTabViewItem(tab);
        } else {
            QVTab* made = _tabView->addTabWithIdentifier(uuid);
            // Its name as read, a control that reorders text as its code.
            made->setTitle(FileName::readable(document->displayName()));
            made->setToolTip(FileName::readable(document->fileName()));
            made->setIsChanged(document->isDocumentEdited());
        }
        document->activate();
    } else {
        _tabView->selectTabViewItem(nullptr);
    }
    reportToStatusBar(document ? document->textView() : nullptr);
    refreshForDocument();
    updateCloseItems();
    updateActions();
}

void QVMultiFileWindowController::deactivateActiveDocument() {
    if (!_activeDocument) return;
    _activeDocument->deactivate();
    _activeDocument = nullptr;
    reportToStatusBar(nullptr);
    refreshForDocument();
    updateCloseItems();
    updateActions();
}

void QVMultiFileWindowController::closeDocument(QVFileDocument* document) {
    const qint64 index = indexOfDocument(document);
    if (index == NotFound) return;
    std::unique_ptr<QVFileDocument> closing = std::move(_openDocuments[size_t(index)]);
    _openDocuments.erase(_openDocuments.begin() + index);
    _fileToDocument.remove(_fileToDocument.key(document));
    // A close sequence stops waiting for this document's save.
    if (_pendingSaves.remove(document) && _pendingSaves.isEmpty() && _pendingSaveContext)
        QTimer::singleShot(0, this, [this] { if (_pendingSaves.isEmpty() && _pendingSaveContext) endCloseSequence(true); });
    if (document == _activeDocument) {
        _activeDocument = nullptr;
        if (!_openDocuments.empty())
            activateDocument(documentAtIndex(std::min<qint64>(index, qint64(_openDocuments.size()) - 1)));
        else
            activateDocument(nullptr);
    }
    closing->close();
    closing->setDelegate({});
    closing->setEditedObserver({});
    _tabView->removeContentView(viewOfDocument(closing.get()));
    // The document may be the one calling (a forced close it asked for): it goes on a later turn.
    // Held by an object deleted later, never by a queued call: a queued call still pending when
    // the application ends is destroyed under Qt's event lock, where the document's widgets
    // could not go.
    auto* holder = new QObject;
    connect(holder, &QObject::destroyed, [gone = std::shared_ptr<QVFileDocument>(std::move(closing))]() mutable { gone.reset(); });
    holder->deleteLater();
    updateCloseItems();
    updateActions();
}

void QVMultiFileWindowController::documentUUIDChangedTo(const QString& oldUUID, const QString& newUUID) {
    QVFileDocument* document = _fileToDocument.value(oldUUID);
    if (!document || oldUUID == newUUID) return;
    _tabView->tabIdentifierChangedTo(oldUUID, newUUID);
    _fileToDocument.remove(oldUUID);
    _fileToDocument.insert(newUUID, document);
}

QList<QVFileDocument*> QVMultiFileWindowController::editedDocuments() const {
    QList<QVFileDocument*> edited;
    for (const auto& document : _openDocuments)
        if (document->isDocumentEdited()) edited.append(document.get());
    return edited;
}

QMenu* QVMultiFileWindowController::menuForOpenFiles(QWidget* parent) {
    auto* menu = new QMenu(parent);
    for (const auto& owned : _openDocuments) {
        QVFileDocument* document = owned.get();
        QAction* item = menu->addAction(document->fileName().isEmpty() ? document->displayName() : document->titleForLists());
        if (document->fileNode()) item->setIcon(QIcon(QPixmap::fromImage(document->fileNode()->icon())));
        item->setCheckable(true);
        item->setChecked(document == _activeDocument);
        QPointer<QVMultiFileWindowController> self(this);
        connect(item, &QAction::triggered, this, [self, document] {
            if (self && self->indexOfDocument(document) != NotFound) self->activateDocument(document);
        });
    }
    return menu;
}

void QVMultiFileWindowController::documentNeedsRefresh(QVFileDocument* document) {
    if (QVTab* tab = _tabView->tabForIdentifier(uuidOf(document))) {
        tab->setTitle(FileName::readable(document->displayName()));
        tab->setIsChanged(document->isDocumentEdited());
        tab->setToolTip(FileName::readable(document->fileName()));
    }
    if (document == _activeDocument) refreshForDocument();
    updateActions();
}

std::shared_ptr<QVFile> QVMultiFileWindowController::backingFileForPath(QVFileDocument* document, const QString& path) {
    // Saved under another name: a node of its own for the new file, and the tab re-keyed to it.
    const std::shared_ptr<QVRootFile> root = QVRootFile::create(canonicalPath(path), false);
    if (!root || indexOfDocument(document) == NotFound) return root;
    documentUUIDChangedTo(uuidOf(document), root->uuid());
    return root;
}

void QVMultiFileWindowController::documentShouldForceClose(QVFileDocument* document) {
    if (QVTab* tab = _tabView->tabForIdentifier(uuidOf(document))) _tabView->closeTabViewItem(tab, true);
}

void QVMultiFileWindowController::previousFile() {
    const qint64 count = _tabView->countOfTabs();
    if (count < 2) return;
    const qint64 selected = _tabView->selectedTabIndex();
    _tabView->selectTabViewItemAtIndex(selected == NotFound || selected == 0 ? count - 1 : selected - 1);
}

void QVMultiFileWindowController::nextFile() {
    const qint64 count = _tabView->countOfTabs();
    if (count < 2) return;
    const qint64 selected = _tabView->selectedTabIndex();
    _tabView->selectTabViewItemAtIndex(selected == NotFound || selected + 1 >= count ? 0 : selected + 1);
}

void QVMultiFileWindowController::closeCurrentFile() {
    if (_activeDocument) tryToCloseDocument(_activeDocument);
    else close();
}

void QVMultiFileWindowController::closeOpenFiles() {
    if (closeSequenceRunning()) return;
    closeOpenFilesWithContext(std::make_shared<CloseRequest>());
}

void QVMultiFileWindowController::saveAllFiles() {
    for (QVFileDocument* document : editedDocuments()) {
        if (!canSave(document)) continue;
        QVError error, warning;
        if (!document->save(&error, &warning)) presentErrorAlert(error);
        else if (warning) presentErrorAlert(warning);
    }
}

void QVMultiFileWindowController::tryToCloseDocument(QVFileDocument* document) {
    QPointer<QVMultiFileWindowController> self(this);
    askToCloseDocument(document, [self, document](bool mayClose) {
        // The tab closes without asking again; a refusal leaves tab and document as they were.
        if (!self || !mayClose || self->indexOfDocument(document) == NotFound) return;
        if (QVTab* tab = self->_tabView->tabForIdentifier(uuidOf(document))) self->_tabView->closeTabViewItem(tab, true);
    });
}

void QVMultiFileWindowController::canCloseWindow(std::function<void(bool)> answer) {
    if (closeSequenceRunning()) return answer(false);
    auto request = std::make_shared<CloseRequest>();
    request->answer = std::move(answer);
    closeOpenFilesWithContext(request);
}

void QVMultiFileWindowController::closeOpenFilesWithContext(const std::shared_ptr<CloseRequest>& request) {
    if (_openDocuments.empty()) return request->reply(true);
    const QList<QVFileDocument*> edited = editedDocuments();
    if (edited.isEmpty()) {
        _tabView->closeAllTabs(true, request.get());
        return request->reply(true);
    }
    if (!_multiFileCloseController) _multiFileCloseController = new QVMultiFileCloseController(this);
    _sheetOpen = true;
    QPointer<QVMultiFileWindowController> self(this);
    _multiFileCloseController->displayOnWindow(
        this, edited, [self, request](QVMultiFileCloseController*, int result, const QList<QVFileDocument*>& documents) {
            if (!self) return request->reply(false);
            self->_sheetOpen = false;
            self->closeSheetEnded(result, documents, request);
        });
}

void QVMultiFileWindowController::closeSheetEnded(int result, const QList<QVFileDocument*>& documents,
                                                  const std::shared_ptr<CloseRequest>& request) {
    if (result == QVMultiFileCloseController::CloseWithoutSaving) {
        _tabView->closeAllTabs(true, request.get());
        return request->reply(true);
    }
    if (result == QVMultiFileCloseController::Cancel) return request->reply(false);
    // Only documents still open count; with none to save the close goes on at once.
    QList<QVFileDocument*> toSave;
    for (QVFileDocument* document : documents)
        if (indexOfDocument(document) != NotFound) toSave.append(document);
    if (toSave.isEmpty()) {
        _tabView->closeAllTabs(true, request.get());
        return request->reply(true);
    }
    const quint64 sequence = ++_closeSequence;
    _pendingSaveContext = request;
    _pendingSaves.clear();
    for (QVFileDocument* document : toSave) _pendingSaves.insert(document);
    QPointer<QVMultiFileWindowController> self(this);
    for (QVFileDocument* document : toSave) {
        if (_closeSequence != sequence || !_pendingSaves.contains(document)) return;  // ended meanwhile
        QVError error, warning;
        const bool started = canSave(document) && document->saveForClose(
            [self, document, sequence](bool saved) { if (self) self->documentSaveForCloseFinished(document, sequence, saved); },
            &error, &warning);
        if (!started) {
            // A save that cannot run ends the whole close: every tab stays.
            if (error) presentErrorAlert(error);
            return endCloseSequence(false);
        }
        if (warning && !warning.isLowPriority()) presentErrorAlert(warning);
    }
}

void QVMultiFileWindowController::documentSaveForCloseFinished(QVFileDocument* document, quint64 sequence, bool saved) {
    // A save of an earlier close, or of a document this close does not wait for, counts for nothing.
    if (sequence != _closeSequence || !_pendingSaveContext || !_pendingSaves.contains(document)) return;
    if (!saved) return endCloseSequence(false);
    _pendingSaves.remove(document);
    if (_pendingSaves.isEmpty()) endCloseSequence(true);
}

void QVMultiFileWindowController::endCloseSequence(bool mayClose) {
    std::shared_ptr<CloseRequest> request = std::exchange(_pendingSaveContext, {});
    _pendingSaves.clear();
    ++_closeSequence;
    if (!request) return;
    if (mayClose) _tabView->closeAllTabs(true, request.get());
    request->reply(mayClose);
}

void QVMultiFileWindowController::closeEvent(QCloseEvent* event) {
    if (_closeAgreed || _openDocuments.empty()) {
        _closeAgreed = true;
        return QVDocumentWindowController::closeEvent(event);
    }
    event->ignore();
    if (closeSequenceRunning()) return;
    // Without edited documents the answer comes at once and the window closes now; after the
    // close sheet or saves it closes on a later turn.
    struct Answer {
        bool waiting = true;
        std::optional<bool> now;
    };
    auto answer = std::make_shared<Answer>();
    QPointer<QVMultiFileWindowController> self(this);
    canCloseWindow([self, answer](bool mayClose) {
        if (std::exchange(answer->waiting, false)) {
            answer->now = mayClose;
            return;
        }
        if (!self) return;
        if (!mayClose) return Q_EMIT self->closeRefused();
        self->_closeAgreed = true;
        QTimer::singleShot(0, self, [self] { if (self) self->close(); });
    });
    answer->waiting = false;
    if (answer->now.value_or(false)) {
        _closeAgreed = true;
        event->accept();
        QVDocumentWindowController::closeEvent(event);
    } else if (answer->now) {
        Q_EMIT closeRefused();
    }
}

void QVMultiFileWindowController::changeEvent(QEvent* event) {
    QVDocumentWindowController::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow() && _mainDocument)
        QVMultiFileDocument::noteFront(_mainDocument.get());
}

QWidget* QVMultiFileWindowController::viewForTabView(QVTabView*, qint64 index) {
    return viewOfDocument(documentAtIndex(index));
}

void QVMultiFileWindowController::tabViewDidSelectTabAtIndex(QVTabView*, qint64 index) {
    activateDocument(documentAtIndex(index));
}

bool QVMultiFileWindowController::tabViewShouldCloseTab(QVTabView*, const QString& identifier, qint64) {
    QVFileDocument* document = _fileToDocument.value(identifier);
    if (!document || !document->isDocumentEdited()) return true;
    tryToCloseDocument(document);
    return false;
}

void QVMultiFileWindowController::tabViewDidCloseTab(QVTabView*, const QString& identifier, qint64, void*) {
    if (QVFileDocument* document = _fileToDocument.value(identifier)) closeDocument(document);
    if (_openDocuments.empty() && _closingLastTabClosesDocument) {
        // Held weakly: the window may be gone by the time the call runs.
        QTimer::singleShot(0, this, [self = QPointer<QVMultiFileWindowController>(this)] { if (self) self->close(); });
    }
}

void QVMultiFileWindowController::tabViewDraggedTabFromIndex(QVTabView*, qint64 from, qint64 to) {
    const qint64 count = qint64(_openDocuments.size());
    if (from < 0 || to < 0 || from >= count || to >= count || from == to) return;
    std::unique_ptr<QVFileDocument> moving = std::move(_openDocuments[size_t(from)]);
    _openDocuments.erase(_openDocuments.begin() + from);
    _openDocuments.insert(_openDocuments.begin() + to, std::move(moving));
}

void QVMultiFileWindowController::buildTabMenus() {
    namespace P = QVMainMenuPlace;
    _closeTabAction = new QAction(QVLocalized(QStringLiteral("Close Tab")), this);
    connect(_closeTabAction, &QAction::triggered, this, &QVMultiFileWindowController::closeCurrentFile);
    _closeAllAction = new QAction(QVLocalized(QStringLiteral("Close All Tabs")), this);
    connect(_closeAllAction, &QAction::triggered, this, &QVMultiFileWindowController::closeOpenFiles);
    _saveAllAction = new QAction(QVLocalized(QStringLiteral("Save All")), this);
    _saveAllAction->setShortcut(QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_S));
    connect(_saveAllAction, &QAction::triggered, this, &QVMultiFileWindowController::saveAllFiles);
    // Close Tab and Close All Tabs lead the close items; Save All follows Save As.
    QMenu* file = fileMenu();
    file->insertAction(closeAction(), _closeTabAction);
    file->insertAction(closeAction(), _closeAllAction);
    QVMainMenu::insertWindowAction(this, P::FileSave, _saveAllAction);
    _nextAction = new QAction(QVLocalized(QStringLiteral("Select Next Tab")), this);
    _nextAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_PageDown));
    connect(_nextAction, &QAction::triggered, this, &QVMultiFileWindowController::nextFile);
    _previousAction = new QAction(QVLocalized(QStringLiteral("Select Previous Tab")), this);
    _previousAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_PageUp));
    connect(_previousAction, &QAction::triggered, this, &QVMultiFileWindowController::previousFile);
    QVMainMenu::insertWindowAction(this, P::WindowMain, _nextAction);
    QVMainMenu::insertWindowAction(this, P::WindowMain, _previousAction);
    auto* files = new QMenu(QVLocalized(QStringLiteral("File List")), this);
    QVMainMenu::insertWindowAction(this, P::WindowMain, files->menuAction());
    connect(files, &QMenu::aboutToShow, this, [this, files] {
        files->clear();
        QMenu* list = menuForOpenFiles(files);
        for (QAction* item : list->actions()) files->addAction(item);
    });
}

void QVMultiFileWindowController::updateCloseItems() {
    if (!_closeTabAction) return;
    const bool tabs = !_openDocuments.empty();
    const QKeySequence plain(Qt::CTRL | Qt::Key_W), shifted(Qt::CTRL | Qt::SHIFT | Qt::Key_W);
    _closeTabAction->setShortcut(tabs ? plain : shifted);
    closeAction()->setShortcut(tabs ? shifted : plain);
}

void QVMultiFileWindowController::updateActions() {
    if (!_closeTabAction) return;
    const bool any = !_openDocuments.empty();
    _closeTabAction->setEnabled(_activeDocument != nullptr);
    _closeAllAction->setEnabled(any);
    _saveAllAction->setEnabled(!editedDocuments().isEmpty());
    _nextAction->setEnabled(_openDocuments.size() > 1);
    _previousAction->setEnabled(_openDocuments.size() > 1);
    if (toolbarDelegate()) toolbarDelegate()->validateItems();
}
