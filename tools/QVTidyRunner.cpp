#include "tools/QVTidyRunner.h"
#include "platform/Threads.h"

#include "editor/HTMLView.h"
#include "editor/QVEditorToolSeams.h"
#include "editor/QVFileDocument.h"
#include "editor/windows/QVDocumentWindowController.h"
#include "editor/windows/QVMultiFileWindowController.h"
#include "platform/AppBundle.h"
#include "platform/MainQueue.h"
#include "projects/QVProject.h"
#include "projects/windows/QVProjectWindowController.h"
#include "shell/QVAlertDetails.h"
#include "shell/QVMainMenu.h"
#include "tools/QVOperationMenus.h"
#include "tools/QVTidyWindowController.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSet>
#include <QVBoxLayout>

#include <atomic>
#include <thread>

namespace {

QString localized(const char* text) { return QVLocalized(QString::fromUtf8(text)); }

QVTidyRunner::AlertSink& alertSink() {
    static QVTidyRunner::AlertSink sink;
    return sink;
}

void alert(QWidget* window, const QString& message, const QString& informative) {
    if (alertSink()) {
        alertSink()(window, message, informative);
        return;
    }
    auto* box = new QMessageBox(QMessageBox::Information, message, message, QMessageBox::Ok, window);
    QVSetAlertDetails(box, informative);
    box->setAttribute(Qt::WA_DeleteOnClose);
    if (window) box->open();
    else box->show();
}

// A project window's site is its project's folder (a remote-only project's local mirror).
QString projectFolder(QVDocumentWindowController* window) {
    const auto* projectWindow = qobject_cast<QVProjectWindowController*>(window);
    const QString root = projectWindow && projectWindow->project() ? projectWindow->project()->rootDirectory() : QString();
    return !root.isEmpty() && QFileInfo(root).isDir() ? root : QString();
}

QVTidyRunner::SiteFolderProvider& siteFolderProvider() {
    static QVTidyRunner::SiteFolderProvider provider = projectFolder;
    return provider;
}

std::chrono::milliseconds& closeDelay() {
    static std::chrono::milliseconds delay{2000};
    return delay;
}

// The scope the user chose last; a forced run does not change it.
int& lastScope() {
    static int scope = QVTidyRunner::CurrentFile;
    return scope;
}

// The document windows by activation, the most recent first; kept by an application-wide filter.
class WindowOrder : public QObject {
public:
    static WindowOrder& shared() {
        static auto* order = new WindowOrder;
        return *order;
    }
    QList<QVDocumentWindowController*> windows() {
        QList<QVDocumentWindowController*> result;
        for (const auto& window : _order)
            if (window && window->isVisible()) result.append(window);
        // Windows never activated (another desktop, a test) come after, in the order Qt has them.
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* window = qobject_cast<QVDocumentWindowController*>(widget); window && window->isVisible() && !result.contains(window))
                result.append(window);
        return result;
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::WindowActivate)
            if (auto* window = qobject_cast<QVDocumentWindowController*>(watched)) {
                _order.removeAll(window);
                _order.prepend(window);
                _order.removeAll(nullptr);
            }
        return false;
    }

private:
    WindowOrder() {
        if (qApp) qApp->installEventFilter(this);
    }
    QList<QPointer<QVDocumentWindowController>> _order;
};

QList<QVFileDocument*> documentsOf(QVDocumentWindowController* window) {
    if (auto* tabbed = qobject_cast<QVMultiFileWindowController*>(window)) return tabbed->openDocuments();
    if (QVFileDocument* document = window->document()) return {document};
    return {};
}

bool isPage(const QString& path) { return QFileInfo(path).suffix().startsWith(QLatin1String("htm")); }

QString nameOf(const QString& path) { return path.isEmpty() ? localized("Untitled") : QFileInfo(path).fileName(); }

QString failureText(const QVTidyResult& result) {
    QString text = result.error.localizedDescription();
    const QString why = result.error.localizedRecoverySuggestion().isEmpty() ? result.messages
                                                                             : result.error.localizedRecoverySuggestion();
    if (!why.isEmpty()) text += QLatin1Char('\n') + why;
    return text;
}

// Puts tidy's result into the view when it may: a page, and the text as it was read.
QVTidyRunner::Outcome applyToView(HTMLView* view, quint64 revision, const QVTidyResult& result) {
    if (!view) return QVTidyRunner::Outcome::Edited;
    if (!result.applicable()) return QVTidyRunner::Outcome::Failed;
    if (view->textStorage().revision() != revision) return QVTidyRunner::Outcome::Edited;
    view->undoableSetString(QString::fromUtf8(result.output), QStringLiteral("HTML Tidy"));
    return QVTidyRunner::Outcome::Applied;
}

QList<std::shared_ptr<QVTidyOperation>> copiesOf(const QList<std::shared_ptr<QVTidyOperation>>& operations) {
    // Copies, so that edits made in the Tidy window meanwhile do not race the worker.
    QList<std::shared_ptr<QVTidyOperation>> copies;
    for (const auto& operation : operations)
        if (operation) copies.append(std::static_pointer_cast<QVTidyOperation>(operation->copy()));
    return copies;
}

}  // namespace

// One unit of work: an open editor's text, or the pages of a site folder less those open.
struct QVTidyRunner::Item {
    QPointer<HTMLView> view;
    QString folder;
    QSet<QString> openPages;  // canonical paths
};

struct QVTidyRunner::Shared {
    std::atomic<bool> cancelled = false;
};

// --- The sheet ----------------------------------------------------------------------------------

QVTidyRunner::QVTidyRunner(QWidget* window) : QDialog(window), _shared(std::make_shared<Shared>()) {
    setObjectName(QStringLiteral("TidyRunnerPanel"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowModality(window ? Qt::WindowModal : Qt::ApplicationModal);
    setWindowTitle(localized("HTML Tidy"));
    auto* layout = new QVBoxLayout(this);
    _operationsLabel = new QLabel(this);
    _operationsLabel->setWordWrap(true);
    layout->addWidget(_operationsLabel);
    auto* scopeRow = new QHBoxLayout;
    scopeRow->addWidget(new QLabel(localized("Tidy:"), this));
    _scopePopUpButton = new QComboBox(this);
    _scopePopUpButton->addItems({localized("Current File"), localized("Open Files"), localized("Current Site")});
    scopeRow->addWidget(_scopePopUpButton, 1);
    layout->addLayout(scopeRow);
    _progressIndicator = new QProgressBar(this);
    _progressIndicator->setRange(0, 1);
    _progressIndicator->setValue(0);
    _progressIndicator->setTextVisible(false);
    layout->addWidget(_progressIndicator);
    _messages = new QPlainTextEdit(this);
    _messages->setReadOnly(true);
    _messages->setMinimumHeight(120);
    _messages->hide();
    layout->addWidget(_messages);
    auto* buttons = new QDialogButtonBox(this);
    _cancelButton = buttons->addButton(localized("Cancel"), QDialogButtonBox::RejectRole);
    _runButton = buttons->addButton(localized("Run"), QDialogButtonBox::AcceptRole);
    _runButton->setDefault(true);
    layout->addWidget(buttons);
    connect(_runButton, &QPushButton::clicked, this, [this] { run(); });
    connect(_cancelButton, &QPushButton::clicked, this, [this] { cancel(); });
    connect(_scopePopUpButton, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (!_running && !_forced) lastScope() = index;
        setScope(index);
    });
    WindowOrder::shared();
    // Another window in front changes what each scope reaches.
    connect(qApp, &QApplication::focusChanged, this, [this] { updateState(); });
    resize(380, sizeHint().height());
}

QVTidyRunner::~QVTidyRunner() { _shared->cancelled = true; }

void QVTidyRunner::displayOnWindow(const QList<std::shared_ptr<QVTidyOperation>>& operations, bool forceSingleFile,
                                   HTMLView* view) {
    _operations = operations;
    _running = false;
    _forced = forceSingleFile;
    _forcedView = view;
    QStringList titles;
    for (const auto& operation : operations)
        if (operation) titles.append(operation->title());
    _operationsLabel->setText(localized("Operations: %1").arg(titles.join(QStringLiteral(", "))));
    setScope(forceSingleFile ? CurrentFile : lastScope());
    _scopePopUpButton->setEnabled(!forceSingleFile);
    open();
    if (forceSingleFile) run();
}

void QVTidyRunner::setScope(int scope) {
    _scope = scope;
    if (_scopePopUpButton->currentIndex() != scope) _scopePopUpButton->setCurrentIndex(scope);
    updateState();
}

bool QVTidyRunner::cancelled() const { return _shared->cancelled; }

bool QVTidyRunner::allowCurrentFile() const {
    if (_forced) return _forcedView != nullptr;
    const QList<QVDocumentWindowController*> windows = documentWindows();
    return !windows.isEmpty() && windows.first()->currentTextView() != nullptr;
}

bool QVTidyRunner::allowOpenFiles() const {
    for (QVDocumentWindowController* window : documentWindows())
        for (QVFileDocument* document : documentsOf(window))
            if (document->textView()) return true;
    return false;
}

bool QVTidyRunner::allowCurrentSite() const {
    const QList<QVDocumentWindowController*> windows = documentWindows();
    return !windows.isEmpty() && siteFolderProvider() && !siteFolderProvider()(windows.first()).isEmpty();
}

bool QVTidyRunner::allowRun() const {
    switch (_scope) {
    case CurrentFile: return allowCurrentFile();
    case OpenFiles: return allowOpenFiles();
    case CurrentSite: return allowCurrentSite();
    default: return false;
    }
}

void QVTidyRunner::updateState() {
    if (!_scopePopUpButton) return;
    _runButton->setEnabled(!_running && !_finished && allowRun());
    _scopePopUpButton->setEnabled(!_running && !_finished && !_forced);
    Q_EMIT stateChanged();
}

QList<QVTidyRunner::Item> QVTidyRunner::workList() const {
    QList<Item> items;
    const QList<QVDocumentWindowController*> windows = documentWindows();
    switch (_scope) {
    case CurrentFile:
        if (_forced) items.append({_forcedView, {}, {}});
        else if (!windows.isEmpty()) items.append({windows.first()->currentTextView(), {}, {}});
        break;
    case OpenFiles:
        // Pages only: tidy would turn a style sheet or a script into a page.
        for (QVDocumentWindowController* window : windows)
            for (QVFileDocument* document : documentsOf(window))
                if (HTMLView* view = document->textView(); view && (view->path().isEmpty() || isPage(view->path())))
                    items.append({view, {}, {}});
        break;
    case CurrentSite: {
        if (windows.isEmpty() || !siteFolderProvider()) break;
        const QString folder = siteFolderProvider()(windows.first());
        if (folder.isEmpty()) break;
        const QString root = QFileInfo(folder).canonicalFilePath() + QLatin1Char('/');
        Item tree{nullptr, folder, {}};
        // The site's pages open in an editor are tidied there (unsaved edits too), not on disk.
        for (QVDocumentWindowController* window : windows)
            for (QVFileDocument* document : documentsOf(window)) {
                HTMLView* view = document->textView();
                const QString path = view ? QFileInfo(view->path()).canonicalFilePath() : QString();
                if (!path.isEmpty() && path.startsWith(root) && isPage(path) && !tree.openPages.contains(path)) {
                    tree.openPages.insert(path);
                    items.append({view, {}, {}});
                }
            }
        items.append(tree);
        break;
    }
    default: break;
    }
    return items;
}

bool QVTidyRunner::run() {
    if (_running || !allowRun()) return false;
    const QList<Item> items = workList();
    if (items.isEmpty()) return false;
    _running = true;
    _finished = false;
    _report.clear();
    _messages->clear();
    _messages->hide();
    _progressIndicator->setRange(0, 0);  // busy until the worker knows how much there is
    updateState();

    const auto shared = _shared;
    const auto operations = copiesOf(_operations);
    const QPointer<QVTidyRunner> runner(this);
    // Lines of the report, added on the main thread in the order the work was done.
    auto note = [runner](const QString& line, bool failed) {
        MainQueue::post([runner, line, failed] {
            if (!runner) return;
            runner->_report.append(line);
            if (failed) {
                runner->_messages->appendPlainText(line);
                runner->_messages->show();
            }
        });
    };
    auto progress = [runner](qsizetype done, qsizetype total) {
        MainQueue::post([runner, done, total] {
            if (!runner || !runner->_running) return;
            runner->_progressIndicator->setRange(0, int(std::max<qsizetype>(total, 1)));
            runner->_progressIndicator->setValue(int(done));
        });
    };
    Threads::start("QVTidy", [items, shared, operations, runner, note, progress] {
        QVTidyRun run(operations);
        QVError error;
        if (!run.prepare(&error)) {
            note(error.localizedDescription() + QLatin1Char('\n') + error.localizedRecoverySuggestion(), true);
        } else {
            qsizetype done = 0, total = 0;
            for (const Item& item : items) total += item.folder.isEmpty() ? 1 : 0;
            for (const Item& item : items) {
                if (shared->cancelled) break;
                if (!item.folder.isEmpty()) {
                    const qsizetype before = done;
                    const QSet<QString> open = item.openPages;
                    const QVTidyRun::TreeReport report = run.tidyTree(
                        item.folder, shared->cancelled,
                        [&open](const QString& path) { return open.contains(QFileInfo(path).canonicalFilePath()); },
                        [&](qsizetype pages, qsizetype count) { progress(before + pages, total + count); });
                    for (const QString& path : report.replaced) note(localized("Tidied %1").arg(nameOf(path)), false);
                    for (const auto& [path, result] : report.failed)
                        note(nameOf(path) + QStringLiteral(": ") + failureText(result), true);
                    continue;
                }
                // The editor's text as it is now, read on the main thread.
                bool alive = false;
                QString path, text;
                quint64 revision = 0;
                MainQueue::postAndWait([&] {
                    if (HTMLView* view = item.view) {
                        alive = true;
                        path = view->path();
                        text = view->string();
                        revision = view->textStorage().revision();
                    }
                });
                if (alive && path.isEmpty()) {
                    note(localized("File must be saved") + QStringLiteral(": ") + localized("Please save your file before running HTML Tidy."), true);
                } else if (alive) {
                    const QVTidyResult result = run.tidyText(text);
                    if (!shared->cancelled) {
                        MainQueue::post([runner, view = item.view, revision, result, path] {
                            const Outcome outcome = applyToView(view, revision, result);
                            if (!runner) return;
                            QString line;
                            if (outcome == Outcome::Applied) line = localized("Tidied %1").arg(nameOf(path));
                            else if (outcome == Outcome::Edited)
                                line = localized("%1 changed while HTML Tidy ran; it was left as it was.").arg(nameOf(path));
                            else line = nameOf(path) + QStringLiteral(": ") + failureText(result);
                            runner->_report.append(line);
                            if (outcome != Outcome::Applied) {
                                runner->_messages->appendPlainText(line);
                                runner->_messages->show();
                            }
                        });
                    }
                }
                progress(++done, total);
            }
        }
        MainQueue::post([runner] {
            if (runner) runner->finish();
        });
    }).detach();
    return true;
}

void QVTidyRunner::finish() {
    _running = false;
    _finished = true;
    _progressIndicator->setRange(0, 1);
    _progressIndicator->setValue(1);
    updateState();
    Q_EMIT runFinished();
    _cancelButton->setText(localized("Close"));
    _cancelButton->setEnabled(true);
    // Tidy's messages stay until the user has read them.
    if (_messages->isVisible()) return;
    const QPointer<QVTidyRunner> self(this);
    MainQueue::after(closeDelay(), [self] {
        if (self) self->cancel();
    });
}

void QVTidyRunner::cancel() {
    if (_running) {
        _shared->cancelled = true;
        _cancelButton->setEnabled(false);
        return;
    }
    close();
}

void QVTidyRunner::closeEvent(QCloseEvent* event) {
    // Closing the sheet while it runs stops the run after the file in hand.
    _shared->cancelled = true;
    QDialog::closeEvent(event);
}

void QVTidyRunner::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        cancel();
        return;
    }
    QDialog::keyPressEvent(event);
}

// --- Scopes -------------------------------------------------------------------------------------

QList<QVDocumentWindowController*> QVTidyRunner::documentWindows() { return WindowOrder::shared().windows(); }

void QVTidyRunner::setSiteFolderProvider(SiteFolderProvider provider) {
    siteFolderProvider() = provider ? std::move(provider) : SiteFolderProvider(projectFolder);
}

void QVTidyRunner::setCloseDelay(std::chrono::milliseconds delay) { closeDelay() = delay; }

void QVTidyRunner::setAlertSink(AlertSink sink) { alertSink() = std::move(sink); }

// --- The editor's side --------------------------------------------------------------------------

void QVTidyRunner::install() {
    WindowOrder::shared();
    QVEditorToolSeams::setTidyRunner([](HTMLView* view, std::shared_ptr<QVTidyOperationItem> item, bool) {
        auto operation = std::dynamic_pointer_cast<QVTidyOperation>(item);
        if (!view || !operation) return;
        if (view->path().isEmpty()) {
            alert(view->window(), localized("File must be saved"), localized("Please save your file before running HTML Tidy."));
            return;
        }
        auto* runner = new QVTidyRunner(view->window());
        runner->displayOnWindow({operation}, true, view);
    });
    // One HTML Tidy menu in every window's Tools menu, read again each time it opens so that
    // operations added to the folder show up; its items act on the text in front.
    QVEditorToolSeams::setToolsMenuBuilder({});
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) return;
    QMenu* tidy = QVMainMenu::shared().addMenu(QVMainMenuPlace::ToolsMain, localized("HTML Tidy"), QStringLiteral("tidyMenu"));
    if (tidy->property("qvTidyMenu").toBool()) return;  // installed before
    tidy->setProperty("qvTidyMenu", true);
    const auto frontView = []() -> HTMLView* {
        const QList<QVDocumentWindowController*> windows = documentWindows();
        return windows.isEmpty() ? nullptr : windows.first()->currentTextView();
    };
    QObject::connect(tidy, &QMenu::aboutToShow, tidy, [tidy, frontView] {
        QVOperationMenus::reload(QVTidyOperationRepository::sharedInstance(), true, tidy,
                                 [frontView](const QString&, QAction* item) {
                                     if (HTMLView* view = frontView())
                                         view->performTidy(item->data().value<std::shared_ptr<QVTidyOperationItem>>());
                                 });
        const bool hasText = frontView() != nullptr;
        for (QAction* action : tidy->actions()) action->setEnabled(hasText);
        tidy->addSeparator();
        tidy->addAction(localized("Edit Operations…"), [] { QVTidyWindowController::sharedInstance().showWindow(); });
    });
}

void QVTidyRunner::tidyView(HTMLView* view, const QList<std::shared_ptr<QVTidyOperation>>& operations,
                            std::function<void(Outcome, const QVTidyResult&)> finished) {
    if (!view) return;
    if (view->path().isEmpty()) {
        alert(view->window(), localized("File must be saved"), localized("Please save your file before running HTML Tidy."));
        if (finished) finished(Outcome::NotSaved, {});
        return;
    }
    // The editor's text, not the file: unsaved edits are tidied too.
    const QString text = view->string();
    const quint64 revision = view->textStorage().revision();
    QPointer<HTMLView> target(view);
    Threads::start("QVTidyText", [copies = copiesOf(operations), text, revision, target, finished = std::move(finished)] {
        QVTidyRun run(copies);
        QVTidyResult result = run.tidyText(text);
        MainQueue::post([result, revision, target, finished] {
            const Outcome outcome = applyToView(target, revision, result);
            if (target && outcome == Outcome::Edited)
                alert(target->window(), localized("The text changed while HTML Tidy ran"), localized("Nothing was replaced. Run HTML Tidy again."));
            else if (target && outcome == Outcome::Failed)
                alert(target->window(), result.error.localizedDescription(),
                      result.error.localizedRecoverySuggestion().isEmpty() ? result.messages
                                                                           : result.error.localizedRecoverySuggestion());
            if (finished) finished(outcome, result);
        });
    }).detach();
}
