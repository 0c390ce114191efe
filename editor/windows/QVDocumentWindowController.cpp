// The document window base.
#include "editor/windows/QVDocumentWindowController.h"

#include "editor/HTMLView.h"
#include "editor/HTMLViewFind.h"
#include "editor/HTMLViewTypingAids.h"
#include "editor/QVFileDocument.h"
#include "editor/QVFileDocumentDelegate.h"
#include "editor/QVFilePropertiesController.h"
#include "editor/QVEditorToolSeams.h"
#include "editor/QVPrintOperation.h"
#include "editor/HTMLViewDelegate.h"
#include "editor/QVStatusBar.h"
#include "editor/QVStatusBarDelegate.h"
#include "editor/windows/QVDocumentToolbarDelegate.h"
#include "editor/windows/QVGotoLineWindowController.h"
#include "platform/AppBundle.h"
#include "platform/FileName.h"
#include "platform/QVPerform.h"
#include "shell/FileEncodings.h"
#include "shell/QVMainMenu.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeySequence>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QPrintDialog>
#include <QPrinter>
#include <QPushButton>
#include <QToolBar>
#include <QVBoxLayout>

#include <algorithm>
#include <functional>
#include <climits>
#include <utility>

namespace {

// One process-wide flag: a command coming back to any window while one is routed is refused.
bool routingCommand = false;

}  // namespace

// What a document holds of its window: every call forwarded while the window lives.
class QVDocumentWindowSeam : public QVFileDocumentDelegate {
public:
    explicit QVDocumentWindowSeam(QVDocumentWindowController* window) : _window(window) {}
    void presentErrorAlert(const QVError& error) override {
        if (_window) _window->presentErrorAlert(error);
    }
    void activateDocument(QVFileDocument* document) override {
        if (_window) _window->activateDocument(document);
    }
    void documentNeedsRefresh(QVFileDocument* document) override {
        if (_window) _window->documentNeedsRefresh(document);
    }
    void documentShouldForceClose(QVFileDocument* document) override {
        if (_window) _window->documentShouldForceClose(document);
    }
    std::shared_ptr<QVFile> backingFileForPath(QVFileDocument* document, const QString& path) override {
        return _window ? _window->backingFileForPath(document, path) : nullptr;
    }
    void runSavePanel(QVFileDocument* document, const QString& suggestedPath, std::function<void(const QString&)> chosen) override {
        if (!_window) return chosen({});
        _window->runSavePanel(document, suggestedPath, std::move(chosen));
    }
    QVProjectSCMController* scmControllerForDocument(QVFileDocument* document) override {
        return _window ? _window->scmControllerForDocument(document) : nullptr;
    }
    bool projectFileConfiguration(QVFileDocument* document, const QString& path, const QString& key, QVariant* value) override {
        return _window && _window->projectFileConfiguration(document, path, key, value);
    }
    bool setProjectFileConfiguration(QVFileDocument* document, const QString& path, const QString& key, const QVariant& value) override {
        return _window && _window->setProjectFileConfiguration(document, path, key, value);
    }

private:
    QPointer<QVDocumentWindowController> _window;
};

QVDocumentWindowController::QVDocumentWindowController(QWidget* parent)
    : QMainWindow(parent), _documentDelegate(std::make_shared<QVDocumentWindowSeam>(this)), _statusBar(new QVStatusBar(this)) {
    _statusBar->setObjectName(QStringLiteral("documentStatusBar"));
}

QVDocumentWindowController::~QVDocumentWindowController() = default;

QPrinter& QVDocumentWindowController::printer() {
    if (!_printer) {
        _printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
        QVPrintOperation::configure(*_printer);
    }
    return *_printer;
}

void QVDocumentWindowController::printDocument() {
    QVFileDocument* front = document();
    if (!front || !QVPrintOperation::canPrint(*front)) return;
    printer().setDocName(front->displayName());
    auto* dialog = new QPrintDialog(_printer.get(), this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setOption(QAbstractPrintDialog::PrintSelection, false);
    QPointer<QObject> alive(front->textView());
    connect(dialog, &QDialog::accepted, this, [this, front, alive] {
        QVError error;
        if (alive && !QVPrintOperation::print(*front, *_printer, &error)) presentErrorAlert(error);
    });
    dialog->open();
}

QVFilePropertiesController* QVDocumentWindowController::propertyController() const { return _propertyController.data(); }

void QVDocumentWindowController::modifyDocumentProperties() {
    HTMLView* view = currentTextView();
    if (!view || _propertyController) return;
    _propertyController = new QVFilePropertiesController(this);
    _propertyController->displayOnWindow(this, view);
}

void QVDocumentWindowController::presentErrorAlert(const QVError& error) {
    if (!error) return;
    if (error.isLowPriority()) return showWarning(error.localizedDescription());
    if (!_alertManager) _alertManager = new QVAlertManager(this, this);
    _alertManager->presentError(error);
}

void QVDocumentWindowController::activateDocument(QVFileDocument*) {
    raise();
    activateWindow();
}

void QVDocumentWindowController::documentNeedsRefresh(QVFileDocument*) {
    refreshForDocument();
}

void QVDocumentWindowController::runSavePanel(QVFileDocument*, const QString& suggestedPath,
                                              std::function<void(const QString&)> chosen) {
    auto* panel = new QFileDialog(this, QVLocalized(QStringLiteral("Save As")));
    panel->setAcceptMode(QFileDialog::AcceptSave);
    panel->setObjectName(QStringLiteral("savePanel"));
    const QFileInfo info(suggestedPath);
    if (info.isAbsolute()) panel->setDirectory(info.absolutePath());
    panel->selectFile(info.fileName());
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->setWindowModality(Qt::WindowModal);
    connect(panel, &QFileDialog::finished, panel, [panel, chosen](int result) {
        chosen(result == QDialog::Accepted ? panel->selectedFiles().value(0) : QString());
    });
    panel->open();
}

void QVDocumentWindowController::showWarning(const QString& text) {
    _statusBar->showWarning(text);
}

bool QVDocumentWindowController::tryToPerform(QByteArrayView action, const QVariant& object) {
    if (routingCommand) return false;
    // Restored, not cleared, on the way out: a refused nested call must not end the routing of
    // the call it is nested in.
    const bool previous = std::exchange(routingCommand, true);
    bool done = false;
    if (QVFileDocument* front = document()) done = front->tryToPerform(action, object);
    if (!done) done = QVPerform::tryToPerform(this, action, object);
    routingCommand = previous;
    return done;
}

// What the editor tells the window's status bar (the caret's line and column, the escaped mode,
// its notices), and what the bar's language pop-up tells the editor.
class QVViewStatusReporter : public HTMLViewDelegate, public QVStatusBarDelegate {
public:
    QVViewStatusReporter(HTMLView* view, QVStatusBar* bar, QVDocumentWindowController* window)
        : _view(view), _bar(bar), _window(window) {}
    void htmlViewIsEscaped(HTMLView*, bool escaped) override {
        if (_bar) _bar->setEscaped(escaped);
    }
    void htmlViewChangedToLine(HTMLView*, qint64 line, qint64 column) override {
        if (_bar) _bar->setLineNumber(quint64(std::max<qint64>(0, line)), quint64(std::max<qint64>(0, column)));
    }
    // The document presents what needs a sheet itself (through its delegate): what the view
    // says goes over the status bar, never a second sheet for one failure.
    void htmlViewHadError(HTMLView*, const QVError& error, bool) override {
        if (_bar) _bar->showWarning(error.localizedDescription());
    }
    // A language picked by hand is the file's from now on (kept with its other settings).
    void statusBarSetMode(QVStatusBar*, const std::shared_ptr<QVBundle>& bundle) override {
        if (!_view) return;
        QVFileDocument* front = _window ? _window->document() : nullptr;
        if (front && front->textView() == _view) front->setCustomBundle(bundle);
        else _view->setBundle(bundle);
    }

private:
    QPointer<HTMLView> _view;
    QPointer<QVStatusBar> _bar;
    QPointer<QVDocumentWindowController> _window;
};

void QVDocumentWindowController::reportToStatusBar(HTMLView* view) {
    QVStatusBar* bar = documentStatusBar();
    bar->setIsText(view);
    // The mark is the front text's: each tab keeps its own mode.
    bar->setEscaped(view && view->escaped());
    if (!view) return;
    _viewReporter = std::make_shared<QVViewStatusReporter>(view, bar, this);
    view->setInterfaceDelegate(_viewReporter);
    bar->setDelegate(_viewReporter);
    bar->setMode(view->bundle());
    const qint64 caret = view->selectedRange().location;
    const qint64 line = view->textStorage().lineOfPosition(caret);
    _viewReporter->htmlViewChangedToLine(view, line + 1, caret - view->textStorage().lineStart(line));
}

void QVDocumentWindowController::setContentView(QWidget* content) {
    auto* frame = new QWidget(this);
    auto* layout = new QVBoxLayout(frame);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(content, 1);
    layout->addWidget(_statusBar);
    setCentralWidget(frame);
}

void QVDocumentWindowController::insertColor() {
    if (const auto& open = QVEditorToolSeams::colorPanelOpener()) open();
}

void QVDocumentWindowController::focusOnQuickSearch() {
    if (!_toolbarDelegate) return;
    if (!_toolbarDelegate->isQuickSearchFocused()) return _toolbarDelegate->focusOnQuickSearch();
    if (HTMLView* view = currentTextView()) view->setFocus(Qt::ShortcutFocusReason);
}

void QVDocumentWindowController::setToolbarDelegate(QVDocumentToolbarDelegate* delegate) {
    _toolbarDelegate = delegate;
    if (_toolbarDelegate && _toolbarDelegate->toolbar()) addToolBar(Qt::TopToolBarArea, _toolbarDelegate->toolbar());
}

bool QVDocumentWindowController::canSave(const QVFileDocument* document) const {
    return document;
}

QString QVDocumentWindowController::windowTitleForDocumentDisplayName(const QString& name) const {
    return name.isEmpty() ? AppBundle::main().bundleName() : name;
}

void QVDocumentWindowController::refreshForDocument() {
    QVFileDocument* front = document();
    const bool edited = front && front->isDocumentEdited();
    setWindowTitle(front ? windowTitleForDocumentDisplayName(FileName::readable(front->displayName())) + QStringLiteral("[*]")
                         : windowTitleForDocumentDisplayName(QString()));
    setWindowModified(edited);
    _statusBar->setDocumentNotice(!front ? QString() : front->standingNotice().isEmpty() ? front->encodingNotice() : front->standingNotice());
    if (_saveAction) _saveAction->setEnabled(edited && canSave(front));
    if (_revertAction) _revertAction->setEnabled(edited && front && !front->fileName().isEmpty());
    if (_toolbarDelegate) _toolbarDelegate->validateItems();
}

void QVDocumentWindowController::saveDocument() {
    QVFileDocument* front = document();
    if (!canSave(front)) return;
    if (front->fileName().isEmpty()) return saveDocumentAs();
    // A save made while a close waits for its own replaces that one, which then never ends:
    // the close is answered no now (the window stays open), so no request stays unanswered.
    if (_closeSaveDocument == front && _closeSaveReply) std::exchange(_closeSaveReply, {})(false);
    QVError error, warning;
    // The question before overwriting a file changed on disk comes back as the error, its
    // options carried out by the document.
    if (!front->save(&error, &warning)) presentErrorAlert(error);
    else presentErrorAlert(warning);
    refreshForDocument();
}

void QVDocumentWindowController::saveDocumentAs() {
    QVFileDocument* front = document();
    if (!canSave(front)) return;
    QPointer<QObject> alive(front->textView());
    front->runSaveAs([window = QPointer<QVDocumentWindowController>(this), front, alive](bool saved) {
        if (!window || !alive || !saved) return;
        window->documentSavedAs(front);
        window->refreshForDocument();
    });
}

void QVDocumentWindowController::revertDocument() {
    QVFileDocument* front = document();
    if (!front || front->fileName().isEmpty()) return;
    QVError error;
    if (!front->revertToContentsOfFile({}, &error)) presentErrorAlert(error);
    refreshForDocument();
}

void QVDocumentWindowController::askToCloseDocument(QVFileDocument* document, std::function<void(bool)> answer) {
    if (!document || !document->isDocumentEdited()) return answer(true);
    auto* box = new QMessageBox(QMessageBox::Warning, windowTitle().remove(QStringLiteral("[*]")),
                                QVLocalized(QStringLiteral("Do you want to save the changes you made in the document \u201c%1\u201d?"))
                                    .arg(document->displayName()),
                                QMessageBox::NoButton, this);
    box->setObjectName(QStringLiteral("unsavedChanges"));
    box->setInformativeText(QVLocalized(QStringLiteral("Your changes will be lost if you don't save them.")));
    QPushButton* saveButton = box->addButton(QVLocalized(QStringLiteral("Save")), QMessageBox::AcceptRole);
    saveButton->setEnabled(canSave(document));
    QPushButton* discardButton = box->addButton(QVLocalized(QStringLiteral("Don't Save")), QMessageBox::DestructiveRole);
    box->addButton(QVLocalized(QStringLiteral("Cancel")), QMessageBox::RejectRole);
    box->setDefaultButton(saveButton->isEnabled() ? saveButton : nullptr);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    // The document may go while the sheet is up (its tab closed otherwise): then nobody is asked.
    QPointer<QObject> alive(document->textView());
    connect(box, &QMessageBox::finished, this, [this, box, saveButton, discardButton, document, alive, answer] {
        // Every answer goes out on a later turn: the caller may close the window.
        const auto reply = [window = QPointer<QVDocumentWindowController>(this), answer](bool mayClose) {
            QMetaObject::invokeMethod(qApp, [window, answer, mayClose] { if (window) answer(mayClose); }, Qt::QueuedConnection);
        };
        if (!alive) return;
        if (box->clickedButton() == discardButton) return reply(true);
        if (box->clickedButton() != saveButton) return reply(false);
        // An untitled text: the save panel first; a cancelled panel or failed save answers no.
        if (document->fileName().isEmpty()) return document->runSaveAs([reply](bool saved) { reply(saved); });
        QVError error, warning;
        // The window may close only once this save has ended whole, its upload included; a save
        // that fails later answers no, so the request never stays unanswered.
        auto once = std::make_shared<std::function<void(bool)>>(reply);
        _closeSaveDocument = document;
        _closeSaveReply = [once](bool saved) { if (*once) std::exchange(*once, {})(saved); };
        const bool started = document->saveForClose([window = QPointer<QVDocumentWindowController>(this), once, document](bool saved) {
            if (window && window->_closeSaveDocument == document) window->_closeSaveReply = {};
            if (*once) std::exchange(*once, {})(saved);
        }, &error, &warning);
        if (!started) {
            _closeSaveReply = {};
            presentErrorAlert(error);
            return reply(false);
        }
        // What did not fit is still unsaved: say so; the answer comes when the save ends.
        if (warning && !warning.isLowPriority()) presentErrorAlert(warning);
        refreshForDocument();
    });
    box->open();
}

void QVDocumentWindowController::reopenUsingEncoding(const QString& charset) {
    QVFileDocument* front = document();
    const QVStringEncoding encoding = FileEncodings::encodingFromString(charset);
    if (!front || front->fileName().isEmpty() || !encoding) return;
    QVError error, notice;
    if (front->reopenUsingEncoding(encoding, &error, &notice)) {
        showWarning(notice.localizedDescription());
        return refreshForDocument();
    }
    // An edited document's question comes back as the error, its options carried out by the
    // document.
    presentErrorAlert(error);
}

void QVDocumentWindowController::showGotoLinePanel() {
    HTMLView* view = currentTextView();
    if (!view) return;
    auto* sheet = new QVGotoLineWindowController(this);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->displayForTarget(view, quint32(std::clamp<qint64>(view->lineNumber(), 0, UINT32_MAX)));
}

void QVDocumentWindowController::buildMenus() {
    namespace P = QVMainMenuPlace;
    QVMainMenu& mainMenu = QVMainMenu::shared();
    // Items of the shared menus (special characters, line breaks, encodings, scripts) reach the
    // front window's document first, then the window.
    mainMenu.setRouter([](QWidget* window, QByteArrayView action, const QVariant& object) {
        if (auto* documentWindow = qobject_cast<QVDocumentWindowController*>(window)) return documentWindow->tryToPerform(action, object);
        return QVPerform::tryToPerform(window, action, object);
    });
    mainMenu.attach(this);
    const auto own = [this](const QString& section, const QString& title, const QKeySequence& key = {}) {
        auto* action = new QAction(QVLocalized(title), this);
        action->setShortcut(key);
        QVMainMenu::insertWindowAction(this, section, action);
        return action;
    };
    _fileMenu = QVMainMenu::windowMenu(this, P::FileMenu);
    _closeAction = own(P::FileClose, QStringLiteral("Close Window"), QKeySequence(Qt::CTRL | Qt::Key_W));
    connect(_closeAction, &QAction::triggered, this, &QWidget::close);
    _saveAction = own(P::FileSave, QStringLiteral("Save"), QKeySequence::Save);
    connect(_saveAction, &QAction::triggered, this, &QVDocumentWindowController::saveDocument);
    // Not every desktop names a Save As key: Ctrl+Shift+S where none does.
    const QList<QKeySequence> saveAsKeys = QKeySequence::keyBindings(QKeySequence::SaveAs);
    QAction* saveAs = own(P::FileSave, QStringLiteral("Save As\u2026"),
                          saveAsKeys.isEmpty() ? QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S) : saveAsKeys.first());
    connect(saveAs, &QAction::triggered, this, &QVDocumentWindowController::saveDocumentAs);
    _revertAction = own(P::FileSave, QStringLiteral("Revert to Saved"));
    connect(_revertAction, &QAction::triggered, this, &QVDocumentWindowController::revertDocument);
    QAction* properties = own(P::FileDocument, QStringLiteral("Modify Document Properties\u2026"));
    connect(properties, &QAction::triggered, this, &QVDocumentWindowController::modifyDocumentProperties);
    QAction* print = own(P::FilePrint, QStringLiteral("Print\u2026"), QKeySequence::Print);
    connect(print, &QAction::triggered, this, &QVDocumentWindowController::printDocument);
    // Properties and printing are the text's: an image has neither.
    const auto enableTextItems = [this, properties, print] {
        QVFileDocument* front = document();
        properties->setEnabled(currentTextView());
        print->setEnabled(front && QVPrintOperation::canPrint(*front));
    };
    enableTextItems();
    connect(_fileMenu, &QMenu::aboutToShow, this, enableTextItems);

    // The editor handles these keys itself; the menu shows them and works by mouse.
    QMenu* edit = QVMainMenu::windowMenu(this, P::EditMenu);
    struct Item {
        const char* title;
        QKeySequence::StandardKey key;
        void (HTMLView::*command)();
    };
    const Item items[] = {
        {"Undo", QKeySequence::Undo, &HTMLView::undo},    {"Redo", QKeySequence::Redo, &HTMLView::redo},
        {"Cut", QKeySequence::Cut, &HTMLView::cut},       {"Copy", QKeySequence::Copy, &HTMLView::copy},
        {"Paste", QKeySequence::Paste, &HTMLView::paste}, {"Select All", QKeySequence::SelectAll, &HTMLView::selectAll},
    };
    QList<QAction*> textItems;
    for (const Item& item : items) {
        QAction* action = own(P::EditMain, QString::fromLatin1(item.title), item.key);
        action->setShortcutContext(Qt::WidgetShortcut);
        connect(action, &QAction::triggered, this, [this, command = item.command] {
            if (HTMLView* view = currentTextView()) (view->*command)();
        });
        textItems.append(action);
    }
    // Find: the editor's commands through the shared find panel, which each binds to its
    // editor first, so they work while the panel is hidden.
    auto* find = new QMenu(QVLocalized(QStringLiteral("Find")), this);
    QVMainMenu::insertWindowAction(this, P::EditFind, find->menuAction());
    const struct {
        const char* title;
        QKeySequence key;
        HTMLViewFind::Action action;
    } finds[] = {
        {"Find\u2026", QKeySequence(QKeySequence::Find), HTMLViewFind::Action::SingleFileFind},
        {"Find Next", QKeySequence(QKeySequence::FindNext), HTMLViewFind::Action::FindNext},
        {"Find Previous", QKeySequence(QKeySequence::FindPrevious), HTMLViewFind::Action::FindPrevious},
        {"Replace and Find", QKeySequence(), HTMLViewFind::Action::ReplaceAndFind},
        {"Use Selection for Find", QKeySequence(Qt::CTRL | Qt::Key_E), HTMLViewFind::Action::FindUsingSelection},
    };
    for (const auto& item : finds) {
        QAction* action = find->addAction(QVLocalized(QString::fromUtf8(item.title)));
        action->setShortcut(item.key);
        connect(action, &QAction::triggered, this, [this, command = item.action] {
            if (HTMLView* view = currentTextView()) HTMLViewFind::perform(*view, command);
        });
    }
    const auto enableEditItems = [this, textItems] {
        HTMLView* view = currentTextView();
        for (QAction* action : textItems) action->setEnabled(view);
        if (!view) return;
        textItems[0]->setText(view->undoManager().undoMenuItemTitle());
        textItems[0]->setEnabled(view->undoManager().canUndo());
        textItems[1]->setText(view->undoManager().redoMenuItemTitle());
        textItems[1]->setEnabled(view->undoManager().canRedo());
    };
    enableEditItems();
    connect(edit, &QMenu::aboutToShow, this, enableEditItems);

    QAction* toolbarShown = own(P::ViewMain, QStringLiteral("Show Toolbar"));
    toolbarShown->setCheckable(true);
    connect(QVMainMenu::windowMenu(this, P::ViewMenu), &QMenu::aboutToShow, this, [this, toolbarShown] {
        const QToolBar* toolbar = _toolbarDelegate ? _toolbarDelegate->toolbar() : nullptr;
        toolbarShown->setEnabled(toolbar);
        toolbarShown->setChecked(toolbar && toolbar->isVisible());
    });
    connect(toolbarShown, &QAction::triggered, this, [this](bool shown) {
        if (QToolBar* toolbar = _toolbarDelegate ? _toolbarDelegate->toolbar() : nullptr) toolbar->setVisible(shown);
    });

    QAction* gotoLine = own(P::GoMain, QStringLiteral("Go to Line\u2026"), QKeySequence(Qt::CTRL | Qt::Key_L));
    connect(gotoLine, &QAction::triggered, this, &QVDocumentWindowController::showGotoLinePanel);
    QAction* quickSearch = own(P::GoMain, QStringLiteral("Quick Search"), QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_F));
    connect(quickSearch, &QAction::triggered, this, &QVDocumentWindowController::focusOnQuickSearch);
    connect(QVMainMenu::windowMenu(this, P::GoMenu), &QMenu::aboutToShow, this, [this, gotoLine] { gotoLine->setEnabled(currentTextView()); });
    if (const auto& buildTools = QVEditorToolSeams::toolsMenuBuilder())
        buildTools(QVMainMenu::windowMenu(this, P::ToolsMenu), [this] { return currentTextView(); });
    buildTextMenu();
}

void QVDocumentWindowController::buildTextMenu() {
    namespace P = QVMainMenuPlace;
    QList<QAction*> textItems;
    const auto add = [this, &textItems](QMenu* menu, const char* title, const QKeySequence& key, std::function<void(HTMLView&)> command) {
        auto* action = new QAction(QVLocalized(QString::fromUtf8(title)), this);
        action->setShortcut(key);
        if (menu) menu->addAction(action);
        else QVMainMenu::insertWindowAction(this, P::TextMain, action);
        connect(action, &QAction::triggered, this, [this, command = std::move(command)] {
            if (HTMLView* view = currentTextView()) command(*view);
        });
        textItems.append(action);
        return action;
    };
    const auto separator = [this] {
        auto* line = new QAction(this);
        line->setSeparator(true);
        QVMainMenu::insertWindowAction(this, P::TextMain, line);
    };
    const auto key = [](int modifiers, Qt::Key key) { return QKeySequence(QKeyCombination(Qt::KeyboardModifiers(modifiers), key)); };
    constexpr int Ctrl = Qt::ControlModifier, Shift = Qt::ShiftModifier, Alt = Qt::AltModifier;

    add(nullptr, "Insert Path\u2026", key(Ctrl | Shift, Qt::Key_P), [](HTMLView& view) { view.insertPathToFile(); });
    add(nullptr, "Insert Image\u2026", key(Ctrl | Shift, Qt::Key_I), [](HTMLView& view) { view.insertImage(); });
    add(nullptr, "Insert Contents of File\u2026", key(Ctrl | Alt, Qt::Key_I), [](HTMLView& view) { view.insertContentsOfFile(); });
    separator();
    // The tags of Format Text are those of its items: 4 strong, 5 em, 6 u.
    auto* format = new QMenu(QVLocalized(QStringLiteral("Format Text")), this);
    format->menuAction()->setObjectName(QStringLiteral("formatText"));
    QVMainMenu::insertWindowAction(this, P::TextMain, format->menuAction());
    add(format, "Strong", key(Ctrl, Qt::Key_B), [](HTMLView& view) { view.formatText(4); });
    add(format, "Emphasis", key(Ctrl, Qt::Key_I), [](HTMLView& view) { view.formatText(5); });
    add(format, "Underline", key(Ctrl, Qt::Key_U), [](HTMLView& view) { view.formatText(6); });
    add(nullptr, "Make Link", key(Ctrl, Qt::Key_K), [](HTMLView& view) { view.makeLinkFromMenu(); });
    add(nullptr, "Convert Characters to Entities", key(Ctrl | Shift, Qt::Key_E),
        [](HTMLView& view) { view.convertCharacterEntitiesToHTML(); });
    add(nullptr, "Close Tag", key(Ctrl | Alt, Qt::Key_Period), [](HTMLView& view) { view.typingAids().closeTag(); });
    separator();
    add(nullptr, "Indent Block", key(Ctrl, Qt::Key_BracketRight), [](HTMLView& view) { view.entabBlock(); });
    add(nullptr, "Outdent Block", key(Ctrl, Qt::Key_BracketLeft), [](HTMLView& view) { view.detabBlock(); });
    separator();
    add(nullptr, "Fold Current Block", key(Ctrl | Alt, Qt::Key_B), [](HTMLView& view) { view.foldCurrentBlock(); });
    add(nullptr, "Collapse All", key(Ctrl | Alt, Qt::Key_Minus), [](HTMLView& view) { view.collapseAllBlocks(); });
    add(nullptr, "Expand All", key(Ctrl | Alt, Qt::Key_Equal), [](HTMLView& view) { view.expandAllBlocks(); });
    // An image or no document has nothing to act on: the open menu says so. The keys stay live
    // (a command without a text does nothing), so a tab switched while the menu was shut never
    // leaves them dead.
    QMenu* text = QVMainMenu::windowMenu(this, P::TextMenu);
    connect(text, &QMenu::aboutToShow, this, [this, textItems] {
        for (QAction* action : textItems) action->setEnabled(currentTextView());
    });
    connect(text, &QMenu::aboutToHide, this, [textItems] {
        for (QAction* action : textItems) action->setEnabled(true);
    });
}

void QVDocumentWindowController::insertSpecialCharacter(const QString& entity) {
    if (HTMLView* view = currentTextView()) view->insertSpecialCharacter(entity);
}

void QVDocumentWindowController::setLineBreakType(int tag) {
    if (HTMLView* view = currentTextView()) view->typingAids().setLineBreakType(tag);
}
