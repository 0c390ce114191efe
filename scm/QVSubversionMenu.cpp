#include "scm/QVSubversionMenu.h"

#include "editor/QVFileDocument.h"
#include "editor/windows/QVDocumentWindowController.h"
#include "platform/AppBundle.h"
#include "projects/QVProject.h"
#include "scm/QVProjectSubversionController.h"
#include "shell/QVMainMenu.h"

#include <QAction>
#include <QMenu>

namespace {

using Command = QVFileDocument::SCMCommand;

struct Item {
    const char* title;
    Command command;
    int tag;  // 0 and 1: against HEAD and BASE; 2: a revision picked from the log
};

constexpr Item items[] = {
    {"Add", Command::Add, 0},
    {"Commit\u2026", Command::Commit, 0},
    {"Discard Changes", Command::DiscardChanges, 0},
    {nullptr, Command::Add, 0},
    {"Diff with HEAD", Command::Diff, 0},
    {"Diff with BASE", Command::Diff, 1},
    {"Diff with Revision\u2026", Command::Diff, 2},
    {"Compare with HEAD", Command::CompareWith, 0},
    {"Compare with BASE", Command::CompareWith, 1},
    {"Compare with Revision\u2026", Command::CompareWith, 2},
    {"Annotate HEAD", Command::Annotate, 0},
    {"Annotate BASE", Command::Annotate, 1},
    {"Annotate Revision\u2026", Command::Annotate, 2},
    {nullptr, Command::Add, 0},
    {"Update", Command::Update, 0},
    {"Update to Revision\u2026", Command::Update, 2},
    {"View Log", Command::ViewLog, 0},
};

QVFileDocument* frontDocument() {
    auto* window = qobject_cast<QVDocumentWindowController*>(QVMainMenu::shared().frontWindow());
    return window ? window->document() : nullptr;
}

}  // namespace

void QVSubversionMenu::install(std::function<void(const QString& title, const QString& text)> openResult) {
    QVProject::setSCMControllerFactory(&QVProjectSubversionController::create);
    QVProjectSubversionController::setResultOpener(std::move(openResult));
    QMenu* menu = QVMainMenu::shared().addMenu(QVMainMenuPlace::FileDocument, QVLocalized(QStringLiteral("Subversion")),
                                               QStringLiteral("subversionMenu"));
    struct Shown {
        QAction* action;
        Command command;
        int tag;
    };
    QList<Shown> actions;
    for (const Item& item : items) {
        if (!item.title) {
            menu->addSeparator();
            continue;
        }
        QAction* action = menu->addAction(QVLocalized(QString::fromUtf8(item.title)));
        const Command command = item.command;
        const int tag = item.tag;
        QObject::connect(action, &QAction::triggered, action, [command, tag] {
            if (QVFileDocument* document = frontDocument()) document->performSCMCommand(command, tag);
        });
        actions.append({action, command, tag});
    }
    QObject::connect(menu, &QMenu::aboutToShow, menu, [actions] {
        QVFileDocument* document = frontDocument();
        for (const auto& [action, command, tag] : actions) action->setEnabled(document && document->validateSCMCommand(command, tag));
    });
}
