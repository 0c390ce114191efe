// The application's window hosting one editor view.
#include "shell/app/MainWindow.h"

#include "editor/HTMLView.h"
#include "editor/QVFileDocument.h"
#include "editor/QVFileDocumentDelegate.h"
#include "editor/QVFilePropertiesController.h"
#include "editor/QVFileView.h"
#include "editor/QVPrintOperation.h"
#include "platform/AppBundle.h"
#include "shell/FileEncodings.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeySequence>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QPrintDialog>
#include <QPrinter>
#include <QPushButton>
#include <QStatusBar>

#include <cerrno>
#include <utility>

namespace {

// Shows the editor's line and column and its errors in the window's status bar.
class StatusReporter : public HTMLViewDelegate {
public:
    StatusReporter(QLabel* position, QStatusBar* bar) : _position(position), _bar(bar) {}
    void htmlViewIsEscaped(HTMLView*, bool) override {}
    void htmlViewChangedToLine(HTMLView*, qint64 line, qint64 column) override {
        _position->setText(QVLocalized(QStringLiteral("Line %1, Column %2")).arg(line).arg(column + 1));
    }
    void htmlViewHadError(HTMLView*, const QVError& error, bool) override {
        _bar->showMessage(error.localizedDescription());
    }

private:
    QLabel* _position;
    QStatusBar* _bar;
};

}  // namespace

// What the document asks of its window, in one place, so that the document windows can take it
// over whole.
class DocumentWindowSeam : public QVFileDocumentDelegate {
public:
    explicit DocumentWindowSeam(MainWindow* window) : _window(window) {}
    void presentErrorAlert(const QVError& error) override {
        if (!_window || !error) return;
        if (error.isLowPriority()) return _window->statusBar()->showMessage(error.localizedDescription());
        auto* box = new QMessageBox(QMessageBox::Warning, _window->windowTitle().remove(QStringLiteral("[*]")),
                                    error.localizedDescription(), QMessageBox::NoButton, _window);
        box->setInformativeText(error.localizedRecoverySuggestion());
        const QStringList options = error.localizedRecoveryOptions();
        if (options.isEmpty()) box->addButton(QMessageBox::Ok);
        // The first option is the default, as the alert's first button.
        for (const QString& option : options) {
            QPushButton* button = box->addButton(option, QMessageBox::ActionRole);
            if (option == options.first()) box->setDefaultButton(button);
        }
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(Qt::WindowModal);
        QObject::connect(box, &QMessageBox::finished, box, [box, error] {
            const QStringList options = error.localizedRecoveryOptions();
            if (options.isEmpty()) return;
            qsizetype index = box->buttons().indexOf(box->clickedButton());
            // Closed without a button: Cancel where there is one, else the first option, which
            // keeps the text (Keep Qorvel Changes, Save File).
            if (index < 0) index = qMax<qsizetype>(0, options.indexOf(QVLocalized(QStringLiteral("Cancel"))));
            error.attemptRecovery(int(index));
        });
        box->open();
    }
    void activateDocument(QVFileDocument*) override {
        if (!_window) return;
        _window->raise();
        _window->activateWindow();
    }
    void documentNeedsRefresh(QVFileDocument*) override {
        if (_window) _window->refreshTitle();
    }
    void documentShouldForceClose(QVFileDocument*) override {
        if (!_window) return;
        _window->_closeAnswered = true;
        QMetaObject::invokeMethod(_window, &QWidget::close, Qt::QueuedConnection);
    }
    void runSavePanel(QVFileDocument*, const QString& suggested, std::function<void(const QString&)> chosen) override {
        if (!_window) return chosen({});
        auto* panel = new QFileDialog(_window, QVLocalized(QStringLiteral("Save As")));
        panel->setAcceptMode(QFileDialog::AcceptSave);
        panel->setObjectName(QStringLiteral("savePanel"));
        const QFileInfo info(suggested);
        if (info.isAbsolute()) panel->setDirectory(info.absolutePath());
        panel->selectFile(info.fileName());
        panel->setAttribute(Qt::WA_DeleteOnClose);
        panel->setWindowModality(Qt::WindowModal);
        QObject::connect(panel, &QFileDialog::finished, panel, [panel, chosen](int result) {
            chosen(result == QDialog::Accepted ? panel->selectedFiles().value(0) : QString());
        });
        panel->open();
    }

private:
    QPointer<MainWindow> _window;
};

MainWindow::MainWindow(const QString& path, QWidget* parent)
    : QMainWindow(parent), _document(std::make_unique<QVFileDocument>(path)) {
    refreshTitle();
    resize(900, 640);
    _documentWindow = std::make_shared<DocumentWindowSeam>(this);
    _document->setDelegate(_documentWindow);
    _editor = _document->textView();
    setCentralWidget(_document->fileView()->mainView());
    _position = new QLabel(this);
    statusBar()->addPermanentWidget(_position);
    _editorDelegate = std::make_shared<StatusReporter>(_position, statusBar());
    if (_editor) _editor->setInterfaceDelegate(_editorDelegate);
    if (!path.isEmpty()) {
        // A file that does not exist yet is created by the first save; one that exists but
        // cannot be read is never replaced by the empty text.
        QVError error;
        _loaded = _document->load(&error) || (error.domain() == QVError::posixDomain() && error.code() == ENOENT);
        // The editor tells its own failures; an image view has nobody else to say why it is empty.
        if (!_editor && error) statusBar()->showMessage(error.localizedDescription() + QLatin1Char(' ') + error.localizedRecoverySuggestion());
    }
    // Changes on disk reload or ask (an untitled text from its first save on); a file not read
    // is not followed: there is nothing of it to lose.
    if (_loaded) _document->setWatchesFile(true);
    if (_editor) {
        _editor->setSelectedRange(QVRange(0, 0));
        _editorDelegate->htmlViewChangedToLine(_editor, 1, 0);
    }
    buildMenus();
    centralWidget()->setFocus();
}

MainWindow::~MainWindow() {
    if (_editor) _editor->setInterfaceDelegate({});
    _document->setEditedObserver({});
    _document->close();
}

void MainWindow::refreshTitle() {
    setWindowTitle((_document->fileName().isEmpty() ? AppBundle::main().bundleName() : _document->displayName()) +
                   QStringLiteral("[*]"));
}

void MainWindow::showError(const QVError& error) { _documentWindow->presentErrorAlert(error); }

void MainWindow::saveDocument() {
    // A file that could not be read must not be replaced by the empty text.
    if (!_loaded) return;
    if (_document->fileName().isEmpty()) return saveDocumentAs();
    QVError error, warning;
    if (!_document->save(&error, &warning)) showError(error);
    else showError(warning);
}

void MainWindow::saveDocumentAs() {
    // Once saved elsewhere, the text is that file's: it may be saved again.
    _document->runSaveAs([window = QPointer<MainWindow>(this)](bool saved) {
        if (!window || !saved) return;
        window->_loaded = true;
        window->_document->setWatchesFile(true);
    });
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (std::exchange(_closeAnswered, false) || !_document->isDocumentEdited()) return QMainWindow::closeEvent(event);
    event->ignore();
    if (findChild<QMessageBox*>(QStringLiteral("unsavedChanges"))) return;
    auto* box = new QMessageBox(QMessageBox::Warning, windowTitle().remove(QStringLiteral("[*]")),
                                QVLocalized(QStringLiteral("Do you want to save the changes you made in the document \u201c%1\u201d?"))
                                    .arg(_document->displayName()),
                                QMessageBox::NoButton, this);
    box->setObjectName(QStringLiteral("unsavedChanges"));
    box->setInformativeText(QVLocalized(QStringLiteral("Your changes will be lost if you don't save them.")));
    QPushButton* saveButton = box->addButton(QVLocalized(QStringLiteral("Save")), QMessageBox::AcceptRole);
    saveButton->setEnabled(_loaded);
    QPushButton* discardButton = box->addButton(QVLocalized(QStringLiteral("Don't Save")), QMessageBox::DestructiveRole);
    box->addButton(QVLocalized(QStringLiteral("Cancel")), QMessageBox::RejectRole);
    box->setDefaultButton(saveButton);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    connect(box, &QMessageBox::finished, this, [this, box, saveButton, discardButton] {
        const auto closeNow = [window = QPointer<MainWindow>(this)] {
            if (!window) return;
            window->_closeAnswered = true;
            QMetaObject::invokeMethod(window, &QWidget::close, Qt::QueuedConnection);
        };
        if (box->clickedButton() == saveButton && _document->fileName().isEmpty()) {
            // An untitled text: the save panel first; closes only after a whole save.
            _document->runSaveAs([closeNow](bool saved) { if (saved) closeNow(); });
        } else if (box->clickedButton() == saveButton) {
            QVError error, warning;
            // Closes only when this save has ended whole (its upload included); a failed
            // upload shows its error through the editor and the window stays open.
            if (!_document->saveForClose([closeNow](bool saved) { if (saved) closeNow(); }, &error, &warning))
                return showError(error);
            // What did not fit is still unsaved: say so and stay open.
            if (warning && !warning.isLowPriority()) showError(warning);
        } else if (box->clickedButton() == discardButton) {
            closeNow();
        }
    });
    box->open();
}

void MainWindow::reopenUsingEncoding(const QString& charset) {
    const QVStringEncoding encoding = FileEncodings::encodingFromString(charset);
    if (_document->fileName().isEmpty() || !encoding) return;
    QVError error, notice;
    // An edited document's question comes back as the error, its options carried out by the
    // document.
    if (_document->reopenUsingEncoding(encoding, &error, &notice)) statusBar()->showMessage(notice.localizedDescription());
    else showError(error);
}

void MainWindow::revertDocument() {
    if (_document->fileName().isEmpty()) return;
    QVError error;
    if (_document->revertToContentsOfFile({}, &error)) _loaded = true;
    else showError(error);
}

QPrinter& MainWindow::printer() {
    if (!_printer) {
        _printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
        QVPrintOperation::configure(*_printer);
    }
    return *_printer;
}

void MainWindow::printDocument() {
    if (!QVPrintOperation::canPrint(*_document)) return;
    printer().setDocName(_document->displayName());
    auto* dialog = new QPrintDialog(_printer.get(), this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setOption(QAbstractPrintDialog::PrintSelection, false);
    connect(dialog, &QDialog::accepted, this, [this] {
        QVError error;
        if (!QVPrintOperation::print(*_document, *_printer, &error)) showError(error);
    });
    dialog->open();
}

QVFilePropertiesController* MainWindow::propertyController() const { return _propertyController.data(); }

void MainWindow::modifyDocumentProperties() {
    if (!_editor || _propertyController) return;
    _propertyController = new QVFilePropertiesController(this);
    _propertyController->displayOnWindow(this, _editor);
}

void MainWindow::buildMenus() {
    QMenu* file = menuBar()->addMenu(QVLocalized(QStringLiteral("File")));
    QAction* save = file->addAction(QVLocalized(QStringLiteral("Save")));
    save->setShortcut(QKeySequence::Save);
    connect(save, &QAction::triggered, this, &MainWindow::saveDocument);
    QAction* saveAs = file->addAction(QVLocalized(QStringLiteral("Save As\u2026")));
    // Not every desktop names a Save As key: Ctrl+Shift+S where none does.
    const QList<QKeySequence> saveAsKeys = QKeySequence::keyBindings(QKeySequence::SaveAs);
    saveAs->setShortcut(saveAsKeys.isEmpty() ? QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S) : saveAsKeys.first());
    connect(saveAs, &QAction::triggered, this, &MainWindow::saveDocumentAs);
    QAction* revert = file->addAction(QVLocalized(QStringLiteral("Revert to Saved")));
    connect(revert, &QAction::triggered, this, &MainWindow::revertDocument);
    // Saving and reverting are offered while the document is edited; the title shows the mark.
    const auto showEdited = [this, save, revert](bool edited) {
        setWindowModified(edited);
        save->setEnabled(edited && _loaded);
        revert->setEnabled(edited && !_document->fileName().isEmpty());
    };
    _document->setEditedObserver(showEdited);
    showEdited(_document->isDocumentEdited());
    QMenu* reopen = file->addMenu(QVLocalized(QStringLiteral("Reopen with Encoding")));
    for (const char* charset : {"utf-8", "utf-16", "iso-8859-1", "windows-1252", "macintosh", "iso-8859-2",
                                "windows-1251", "shift_jis", "euc-jp", "iso-2022-jp"}) {
        const QString name = QString::fromLatin1(charset);
        const QVStringEncoding encoding = FileEncodings::encodingFromString(name);
        if (!encoding) continue;
        QAction* item = reopen->addAction(FileEncodings::stringFromEncoding(encoding));
        connect(item, &QAction::triggered, this, [this, name] { reopenUsingEncoding(name); });
    }
    QAction* properties = file->addAction(QVLocalized(QStringLiteral("Modify Document Properties\u2026")));
    connect(properties, &QAction::triggered, this, &MainWindow::modifyDocumentProperties);
    file->addSeparator();
    QAction* print = file->addAction(QVLocalized(QStringLiteral("Print\u2026")));
    print->setShortcut(QKeySequence::Print);
    connect(print, &QAction::triggered, this, &MainWindow::printDocument);
    // Encodings, properties and printing are the text's: an image has none of them.
    reopen->setEnabled(_editor && !_document->fileName().isEmpty());
    properties->setEnabled(_editor);
    print->setEnabled(QVPrintOperation::canPrint(*_document));
    connect(file, &QMenu::aboutToShow, this, [this, reopen] { reopen->setEnabled(_editor && !_document->fileName().isEmpty()); });
    file->addSeparator();
    QAction* quit = file->addAction(QVLocalized(QStringLiteral("Quit")));
    quit->setShortcut(QKeySequence::Quit);
    quit->setMenuRole(QAction::QuitRole);
    // Closing every window lets each ask about its unsaved changes; the last one closed quits.
    connect(quit, &QAction::triggered, qApp, &QApplication::closeAllWindows);

    // The editor handles these keys itself; the menu shows them and works by mouse.
    QMenu* edit = menuBar()->addMenu(QVLocalized(QStringLiteral("Edit")));
    edit->setEnabled(_editor);
    struct Item {
        const char* title;
        QKeySequence::StandardKey key;
        void (HTMLView::*command)();
    };
    const Item items[] = {
        {"Undo", QKeySequence::Undo, &HTMLView::undo},         {"Redo", QKeySequence::Redo, &HTMLView::redo},
        {"Cut", QKeySequence::Cut, &HTMLView::cut},            {"Copy", QKeySequence::Copy, &HTMLView::copy},
        {"Paste", QKeySequence::Paste, &HTMLView::paste},      {"Select All", QKeySequence::SelectAll, &HTMLView::selectAll},
    };
    for (const Item& item : items) {
        if (!_editor) break;
        QAction* action = edit->addAction(QVLocalized(QString::fromLatin1(item.title)));
        action->setShortcut(item.key);
        action->setShortcutContext(Qt::WidgetShortcut);
        connect(action, &QAction::triggered, _editor, item.command);
    }
    connect(edit, &QMenu::aboutToShow, this, [this, edit] {
        const QList<QAction*> actions = edit->actions();
        if (!_editor || actions.size() < 2) return;
        actions[0]->setText(_editor->undoManager().undoMenuItemTitle());
        actions[0]->setEnabled(_editor->undoManager().canUndo());
        actions[1]->setText(_editor->undoManager().redoMenuItemTitle());
        actions[1]->setEnabled(_editor->undoManager().canRedo());
    });
    menuBar()->addMenu(QVLocalized(QStringLiteral("View")));
    menuBar()->addMenu(QVLocalized(QStringLiteral("Window")));
    menuBar()->addMenu(QVLocalized(QStringLiteral("Help")));
}
