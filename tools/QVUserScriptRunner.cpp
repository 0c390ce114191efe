// The Scripts menu and runs of user scripts on the editor.
#include "tools/QVUserScriptRunner.h"
#include "platform/Threads.h"

#include "editor/HTMLView.h"
#include "platform/MainQueue.h"
#include "shell/MenuConstruction.h"
#include "shell/QVAlertDetails.h"
#include "shell/QVNoTextNotice.h"
#include "shell/QVStartupItems.h"
#include "shell/QVStartupItemsController.h"
#include "tools/QVFrontEditor.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QProgressDialog>

#include <atomic>
#include <thread>

namespace {

struct Settings {
    QVUserScriptRunner::AlertSink alertSink;
    QVUserScript::RunOptions options;
    int sheetDelayMs = 400;
};
Settings& settings() {
    static Settings shared;
    return shared;
}

void alert(QWidget* window, const QString& message, const QString& informative) {
    if (settings().alertSink) {
        settings().alertSink(window, message, informative);
        return;
    }
    auto* box = new QMessageBox(QMessageBox::Information, message, message, QMessageBox::Ok, window);
    // Script output is shown as it is, never read as markup.
    box->setTextFormat(Qt::PlainText);
    QVSetAlertDetails(box, informative);
    box->setAttribute(Qt::WA_DeleteOnClose);
    if (window) box->open();
    else box->show();
}

void performMenuItem(const QString&, QAction* item) {
    const auto entry = item->data().value<std::shared_ptr<QVUserScriptEntry>>();
    HTMLView* view = QVFrontEditor::view();
    if (!entry) return;
    if (!view) return QVNoTextNotice::show(item->text());
    view->insertUserScript(std::make_shared<QVUserScriptAction>(entry));
}

}  // namespace

void QVUserScriptAction::actOnTextView(HTMLView& view) { QVUserScriptRunner::run(&view, _entry); }

void QVUserScriptRunner::setRunOptions(const QVUserScript::RunOptions& options) { settings().options = options; }
void QVUserScriptRunner::setSheetDelay(int milliseconds) { settings().sheetDelayMs = milliseconds; }
void QVUserScriptRunner::setAlertSink(AlertSink sink) { settings().alertSink = std::move(sink); }

void QVUserScriptRunner::install() {
    QVFrontEditor::follow();
    QVStartupItemsController::registerReloadItem(QStringLiteral("QVSetupScriptsMenu"), [] {
        reloadMenu(QVUserScriptRepository::sharedInstance(), QVMainMenuPlaces::menu(QVMainMenuPlaces::UserScripts));
    });
}

void QVUserScriptRunner::reloadMenu(QVUserScriptRepository& repository, QMenu* menu) {
    repository.reloadScripts();
    if (!menu) return;
    const QList<MenuItemRep> reps = repository.menuItemRepresentations();
    QPointer<QMenu> target(menu);
    MainQueue::postAndWait([&] {
        if (!target) return;
        // The menu's own items stay: at the top when they end in a separator (the menu bar's
        // Scripts menu), else at the bottom. The scripts' items are marked, so only they go.
        static const char* const ScriptItem = "qvUserScriptItem";
        QAction* before = nullptr;
        const QList<QAction*> actions = target->actions();
        qsizetype firstOld = -1;
        for (qsizetype i = 0; i < actions.size(); ++i) {
            if (!actions[i]->property(ScriptItem).toBool()) continue;
            if (firstOld < 0) firstOld = i;
            target->removeAction(actions[i]);
            if (actions[i]->parent() == target) actions[i]->deleteLater();
        }
        const QList<QAction*> own = target->actions();
        if (firstOld >= 0) before = firstOld < own.size() ? own[firstOld] : nullptr;
        else if (!own.isEmpty() && !own.last()->isSeparator()) before = own.first();
        for (QAction* item : MenuConstruction::menuItemsFromReps(reps, target, performMenuItem)) {
            item->setProperty(ScriptItem, true);
            target->insertAction(before, item);
        }
    });
}

QVUserScriptRunner::Outcome QVUserScriptRunner::place(HTMLView& view, const QString& output, const QString& mode,
                                                      const QString& title, const QString& input) {
    const QVUserScriptPlacement placement = QVUserScriptPlacement::fromOutput(output, input.endsWith(u'\n'));
    const QVRange selection = view.selectedRange();
    qint64 insertionPoint = 0;
    if (mode == QStringLiteral("ReplaceSelection")) {
        insertionPoint = selection.location;
        view.undoableInsertText(placement.text, title);
    } else if (mode == QStringLiteral("ReplaceAllText") || mode == QStringLiteral("ReplaceText")) {
        view.undoableSetString(placement.text, title);
    } else if (mode == QStringLiteral("InsertAfterSelection")) {
        insertionPoint = selection.location + selection.length;
        view.setSelectedRange(QVRange(insertionPoint, 0));
        view.undoableInsertText(placement.text, title);
    } else if (mode == QStringLiteral("AppendToAllText")) {
        insertionPoint = view.length();
        view.setSelectedRange(QVRange(insertionPoint, 0));
        view.undoableInsertText(placement.text, title);
    } else if (mode == QStringLiteral("SeparateWindow")) {
        alert(view.window(), QStringLiteral("Output"), output);
        return Outcome::Placed;
    } else if (mode == QStringLiteral("Pasteboard")) {
        QGuiApplication::clipboard()->setText(output);
        return Outcome::Placed;
    } else {
        return Outcome::Discarded;
    }
    if (placement.markerStart >= 0)
        view.setSelectedRange(QVRange(std::min(view.length(), insertionPoint + placement.markerStart),
                                      std::min(placement.markerLength, std::max<qint64>(0, view.length() - insertionPoint - placement.markerStart))));
    return Outcome::Placed;
}

void QVUserScriptRunner::run(HTMLView* view, const std::shared_ptr<QVUserScriptEntry>& entry, std::function<void(Outcome)> finished) {
    if (!view || !entry) return;
    // What the script sees, taken now; its output lands only on this very text.
    QVUserScriptSnapshot snapshot;
    const QVRange selection = view->selectedRange();
    snapshot.allText = view->fullString();
    snapshot.selectedText = view->foldingStorage().fullStringInRange(selection);
    snapshot.selectionStart = selection.location;
    snapshot.selectionLength = selection.length;
    snapshot.filePath = view->path();
    QString input;  // null: nothing on standard input
    if (!entry->input.isNull() && entry->input != QStringLiteral("None"))
        input = entry->input == QStringLiteral("Selection") ? snapshot.selectedText : snapshot.allText;
    const quint64 revision = view->textStorage().revision();
    QPointer<HTMLView> target(view);
    auto stop = std::make_shared<std::atomic<bool>>(false);
    QVUserScript::RunOptions options = settings().options;
    options.cancel = stop.get();

    // A sheet with Stop, shown only when the run takes a while.
    auto sheetHolder = std::make_shared<QPointer<QProgressDialog>>();
    MainQueue::DelayedCall delayed = MainQueue::after(std::chrono::milliseconds(settings().sheetDelayMs), [target, entry, stop, sheetHolder] {
        if (!target || stop->load()) return;
        auto* dialog = new QProgressDialog(QStringLiteral("Running \u201c%1\u201d\u2026").arg(entry->title), QStringLiteral("Stop"), 0, 0, target->window());
        dialog->setWindowModality(Qt::WindowModal);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->setMinimumDuration(0);
        QObject::connect(dialog, &QProgressDialog::canceled, dialog, [stop] { stop->store(true); });
        *sheetHolder = dialog;
        dialog->open();
    });

    Threads::start("QVUserScript", [entry, input, snapshot, options, stop, revision, target, delayed, sheetHolder, finished = std::move(finished)] {
        QVUserScriptOutcome outcome = QVUserScript::run(entry->scriptPath, entry->arguments, input, snapshot, options);
        MainQueue::post([outcome, entry, input, stop, revision, target, delayed, sheetHolder, finished]() mutable {
            delayed.cancel();
            if (QProgressDialog* dialog = sheetHolder->data()) {
                QObject::disconnect(dialog, &QProgressDialog::canceled, nullptr, nullptr);
                dialog->close();
            }
            Outcome result = Outcome::Failed;
            if (!target) {
                result = Outcome::Gone;
            } else if (!outcome.succeeded()) {
                if (outcome.status != QVUserScriptOutcome::Status::Stopped)
                    alert(target->window(), outcome.message,
                          outcome.errors.isEmpty() ? QStringLiteral("The text was not changed.") : outcome.errors);
            } else if (target->textStorage().revision() != revision) {
                result = Outcome::Edited;
                alert(target->window(), QStringLiteral("The text changed while the script ran"),
                      QStringLiteral("The output of \u201c%1\u201d was not used. Run the script again.").arg(entry->title));
            } else {
                result = place(*target, outcome.output, entry->output, entry->title, input);
            }
            if (finished) finished(result);
        });
    }).detach();
}
