// The single-file window.
#include "editor/windows/QVSingleFileWindowController.h"

#include "completion/QVCodeIndex.h"
#include "editor/HTMLView.h"
#include "editor/HTMLViewDelegate.h"
#include "editor/QVFileView.h"
#include "editor/QVStatusBar.h"
#include "editor/QVStatusBarDelegate.h"
#include "editor/windows/QVDocumentToolbarDelegate.h"
#include "platform/AppBundle.h"
#include "platform/UserDefaults.h"

#include <QCloseEvent>
#include <QPointer>

#include <algorithm>

namespace {

QString frameKey() { return QStringLiteral("QVWindowFrame ") + QVSingleFileWindowController::FrameAutosaveName; }

}  // namespace

QVSingleFileWindowController::QVSingleFileWindowController(std::unique_ptr<QVSingleFileDocument> document, QWidget* parent)
    : QVDocumentWindowController(parent), _document(std::move(document)) {
    setObjectName(FrameAutosaveName);
    resize(900, 640);
    restoreGeometry(UserDefaults::standard().objectForKey(frameKey()).toByteArray());
    _document->setDelegate(documentDelegate());
    setToolbarDelegate(new QVDocumentToolbarDelegate(this));
    HTMLView* view = _document->textView();  // none for an image
    setContentView(_document->fileView()->mainView());
    // The view hears of the reading first; what the window says of it is decided here (a file
    // that does not exist yet is no error).
    QVError error, notice;
    if (!_document->open(&error, &notice)) presentErrorAlert(error);
    // Changes on disk reload or ask (an untitled text from its first save on); a file not read
    // is not followed: there is nothing of it to lose.
    if (_document->loaded()) _document->setWatchesFile(true);
    if (view) view->setSelectedRange(QVRange(0, 0));
    reportToStatusBar(view);
    // Once the bar reports on the text: until then it clears what it shows.
    if (notice) showWarning(notice.localizedDescription());
    if (view && !_document->fileName().isEmpty() && _document->loaded()) QVCodeIndex::sharedIndex().indexFile(_document->fileName());
    buildMenus();
    _document->setEditedObserver([this](bool) { refreshForDocument(); });
    refreshForDocument();
    // The text takes the keys from the start (an image has no text: its view takes them).
    if (HTMLView* focus = currentTextView()) {
        focus->setActive(true);
        focus->setFocus();
    } else {
        centralWidget()->setFocus();
    }
}

QVSingleFileWindowController::~QVSingleFileWindowController() {
    if (HTMLView* view = _document->textView()) view->setInterfaceDelegate({});
    _document->setEditedObserver({});
    _document->close();
}

HTMLView* QVSingleFileWindowController::currentTextView() const { return _document->textView(); }

void QVSingleFileWindowController::activateDocument(QVFileDocument* document) {
    QVDocumentWindowController::activateDocument(document);
    if (HTMLView* view = currentTextView()) {
        view->setActive(true);
        view->setFocus();
    }
}

void QVSingleFileWindowController::documentShouldForceClose(QVFileDocument*) {
    _closeAnswered = true;
    QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

bool QVSingleFileWindowController::canSave(const QVFileDocument* document) const {
    return QVDocumentWindowController::canSave(document) && _document->loaded();
}

void QVSingleFileWindowController::documentSavedAs(QVFileDocument*) {
    // Once saved elsewhere, the text is that file's: it may be saved again, and is followed.
    _document->setLoaded(true);
    _document->setWatchesFile(true);
}

void QVSingleFileWindowController::changeEvent(QEvent* event) {
    if (event->type() == QEvent::ActivationChange && isActiveWindow() && currentTextView()) currentTextView()->setActive(true);
    QVDocumentWindowController::changeEvent(event);
}

void QVSingleFileWindowController::closeEvent(QCloseEvent* event) {
    if (std::exchange(_closeAnswered, false) || !_document->isDocumentEdited()) {
        UserDefaults::standard().setObject(saveGeometry(), frameKey());
        return QVDocumentWindowController::closeEvent(event);
    }
    event->ignore();
    if (_asking) return;  // asked once, not twice
    _asking = true;
    askToCloseDocument(_document.get(), [this](bool mayClose) {
        _asking = false;
        if (!mayClose) return Q_EMIT closeRefused();
        _closeAnswered = true;
        close();
    });
}
