#include "tools/QVTidyRunner.h"

#include "editor/HTMLView.h"
#include "editor/QVEditorToolSeams.h"
#include "platform/MainQueue.h"
#include "tools/QVOperationMenus.h"

#include <QAction>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>

#include <thread>

namespace {

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
    box->setInformativeText(informative);
    box->setAttribute(Qt::WA_DeleteOnClose);
    if (window) box->open();
    else box->show();
}

}  // namespace

void QVTidyRunner::setAlertSink(AlertSink sink) { alertSink() = std::move(sink); }

void QVTidyRunner::install() {
    QVEditorToolSeams::setTidyRunner([](HTMLView* view, std::shared_ptr<QVTidyOperationItem> item, bool) {
        auto operation = std::dynamic_pointer_cast<QVTidyOperation>(item);
        if (view && operation) tidyView(view, {operation});
    });
    QVEditorToolSeams::setToolsMenuBuilder([](QMenu* tools, std::function<HTMLView*()> frontView) {
        QMenu* tidy = tools->addMenu(QStringLiteral("HTML Tidy"));
        // Read again each time it opens, so operations added to the folder show up.
        QObject::connect(tidy, &QMenu::aboutToShow, tidy, [tidy, frontView] {
            QVOperationMenus::reload(QVTidyOperationRepository::sharedInstance(), true, tidy,
                                     [frontView](const QString&, QAction* item) {
                                         if (HTMLView* view = frontView())
                                             view->performTidy(item->data().value<std::shared_ptr<QVTidyOperationItem>>());
                                     });
            const bool hasText = frontView() != nullptr;
            for (QAction* action : tidy->actions()) action->setEnabled(hasText);
        });
    });
}

void QVTidyRunner::tidyView(HTMLView* view, const QList<std::shared_ptr<QVTidyOperation>>& operations,
                            std::function<void(Outcome, const QVTidyResult&)> finished) {
    if (!view) return;
    if (view->path().isEmpty()) {
        alert(view->window(), QStringLiteral("File must be saved"), QStringLiteral("Please save your file before running HTML Tidy."));
        if (finished) finished(Outcome::NotSaved, {});
        return;
    }
    // The editor's text, not the file: unsaved edits are tidied too.
    const QString text = view->string();
    const quint64 revision = view->textStorage().revision();
    QPointer<HTMLView> target(view);
    // Each operation is copied so that edits made in the Tidy window meanwhile do not race.
    QList<std::shared_ptr<QVTidyOperation>> copies;
    for (const auto& operation : operations)
        if (operation) copies.append(std::static_pointer_cast<QVTidyOperation>(operation->copy()));
    std::thread([copies, text, revision, target, finished = std::move(finished)] {
        QVTidyRun run(copies);
        QVTidyResult result = run.tidyText(text);
        MainQueue::post([result, revision, target, finished] {
            Outcome outcome = Outcome::Failed;
            if (!target) {
                outcome = Outcome::Edited;
            } else if (result.applicable() && target->textStorage().revision() == revision) {
                target->undoableSetString(QString::fromUtf8(result.output), QStringLiteral("HTML Tidy"));
                outcome = Outcome::Applied;
            } else if (result.applicable()) {
                outcome = Outcome::Edited;
                alert(target->window(), QStringLiteral("The text changed while HTML Tidy ran"),
                      QStringLiteral("Nothing was replaced. Run HTML Tidy again."));
            } else {
                const QString informative = result.error.localizedRecoverySuggestion().isEmpty()
                                                ? result.messages
                                                : result.error.localizedRecoverySuggestion();
                alert(target->window(), result.error.localizedDescription(), informative);
            }
            if (finished) finished(outcome, result);
        });
    }).detach();
}
