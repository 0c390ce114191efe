// The application controller.
#include "app/QVDocumentController.h"
#include "platform/Threads.h"

#include "completion/QVCodeIndex.h"
#include "editor/HTMLView.h"
#include "editor/QVFileDocument.h"
#include "editor/QVRecoveryFolder.h"
#include "editor/QVSingleFileDocument.h"
#include "editor/QVSnippetRepository.h"
#include "editor/windows/QVMultiFileDocument.h"
#include "editor/windows/QVMultiFileWindowController.h"
#include "editor/windows/QVSingleFileWindowController.h"
#include "platform/AppBundle.h"
#include "platform/FileName.h"
#include "platform/MainQueue.h"
#include "platform/SystemLog.h"
#include "platform/UserDefaults.h"
#include "projects/QVProject.h"
#include "shell/Defaults.h"
#include "shell/FileEncodings.h"
#include "shell/LargeFiles.h"
#include "shell/QVAlertDetails.h"
#include "shell/QVUnknownFileTypeController.h"
#include "shell/QVMainMenu.h"
#include "shell/QVOutsideServices.h"
#include "shell/QVStartupItemsController.h"
#include "shell/QVURLHandlerCommand.h"
#include "app/FileOpener.h"
#include "app/FolderWindow.h"
#include "projects/windows/QVProjectDocument.h"
#include "projects/windows/QVProjectManager.h"
#include "projects/windows/QVProjectSettingsWindowController.h"
#include "projects/windows/QVProjectWindowController.h"
#include "projects/windows/QVRemoteOpenPanelController.h"
#include "preferences/QVPreferences.h"
#include "shell/web/QVInfoWindowController.h"
#include "tools/ColorPanel.h"
#include "tools/QVMultiFileSearchController.h"
#include "tools/QVTidyWindowController.h"
#include "tools/QVUserScriptRunner.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHash>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSet>
#include <QTimer>
#include <QUrlQuery>

#include <thread>
#include <utility>

namespace {

namespace P = QVMainMenuPlace;

QPointer<QVDocumentController>& sharedController() {
    static QPointer<QVDocumentController> controller;
    return controller;
}

using Panel = QVDocumentController::Panel;

// What tests put in place of a panel's window.
QHash<Panel, std::function<void()>>& panelStandIns() {
    static QHash<Panel, std::function<void()>> shown;
    return shown;
}

QVDocumentController::Projects& projects() {
    static QVDocumentController::Projects seam;
    return seam;
}

std::function<void(const QUrl&)>& browser() {
    static std::function<void(const QUrl&)> open = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    return open;
}

std::function<bool()>& consentQuestion() {
    static std::function<bool()> ask = [] {
        QMessageBox box(QMessageBox::Question,
                        QVLocalized(QStringLiteral("Help us make %@ better")).replace(QStringLiteral("%@"), AppBundle::main().bundleName()),
                        QVLocalized(QStringLiteral("Help us make %@ better")).replace(QStringLiteral("%@"), AppBundle::main().bundleName()));
        box.setInformativeText(QVLocalized(QStringLiteral("Allow us to collect anonymous usage data (Setting can be modified in Preferences)")));
        QPushButton* dontHelp = box.addButton(QVLocalized(QStringLiteral("Don't Help")), QMessageBox::RejectRole);
        box.addButton(QVLocalized(QStringLiteral("Help")), QMessageBox::AcceptRole);
        box.setDefaultButton(dontHelp);
        box.exec();
        return box.clickedButton() != dontHelp;
    };
    return ask;
}

// The web addresses of the Help menu: the Info.plist key of the site and the path on it. An
// unset key hides the item, so a default install names no host.
struct WebItem {
    const char* action;
    const char* title;
    const char* key;
    const char* path;
    const char* tracked;
};
constexpr WebItem webItems[] = {
    {"showWebsite", "Qorvel Website", "QVWebsiteURL", "/glimbo", "Show Website"},
    {"showOnlineDocs", "Online Documentation", "QVWebsiteURL", "/documentation", "Show Online Docs"},
    {"showSupport", "Support", "QVFeedbackURL", "", "Show Support"},
    {"showKnowledgeBase", "Knowledge Base", "QVFeedbackURL", "/knowledgebase", "Show Knowledgebase"},
    {"showFeatureVote", "Vote on Features", "QVFeedbackURL", "/forums/178323-general", "Show Feature Vote"},
    {"showTwitter", "Qorvel on Twitter", "QVTwitterURL", "", "Show Twitter"},
    {"showFacebook", "Qorvel on Facebook", "QVFacebookURL", "", "Show Facebook"},
    {"showFindMoreSnippets", "Find More Snippets", "QVSharingSiteURL", "/collections/qorvel-snippets", "Show Find More Snippets"},
    {"showFindMoreScripts", "Find More Scripts", "QVSharingSiteURL", "/collections/qorvel-scripts", "Show Find More Scripts"},
};

// The panels' menu items: the action name the menus send, the title, the event a choice tracks.
struct PanelItem {
    Panel panel;
    const char* action;
    const char* title;
    const char* tracked;
    const QString& section;
};

// Tells once when window hides (closed, or deleted on close), then goes.
class CloseWatcher : public QObject {
public:
    CloseWatcher(QWidget* window, std::function<void()> closed) : QObject(window), _closed(std::move(closed)) {
        window->installEventFilter(this);
    }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Hide && _closed) {
            std::exchange(_closed, nullptr)();
            deleteLater();
        }
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> _closed;
};

const std::vector<PanelItem>& panelItems() {
    static const std::vector<PanelItem> items = {
        {Panel::NewProject, "newProject", "New Project\u2026", "New Project", P::FileNew},
        {Panel::OpenRemoteDirectory, "openRemoteDirectory", "Open Remote Directory\u2026", "Open Remote Directory", P::FileOpen},
        {Panel::MultiFileFind, "multiFileFind", "Multi File Find\u2026", "Multi File Find", P::EditFind},
        {Panel::Preferences, "showPreferences", "Preferences\u2026", "Show Preferences", P::EditOther},
        {Panel::InsertColor, "insertColor", "Insert Color\u2026", "Insert Color", P::TextInsert},
        {Panel::ProjectManager, "showProjectManager", "Project Manager", "Show Project Manager", P::WindowPanels},
        {Panel::TidyPanel, "showTidyPanel", "HTML Tidy Operations", "Show Tidy Panel", P::WindowPanels},
        {Panel::InfoWindow, "showInfoWindow", "What Is New in Qorvel", "Show Info Window", P::HelpMain},
    };
    return items;
}

void closeProjectManager() {
    if (QVProjectManager* manager = QVProjectManager::sharedInstanceIfMade()) manager->close();
}

// A file dialog's sheet or a box on the front window, else on its own.
QWidget* frontWindow() { return QVMainMenu::shared().frontWindow(); }

void bringForward(QMainWindow* window) {
    window->show();
    window->raise();
    window->activateWindow();
}

// The single-file window already showing path (the same file under any spelling).
QVSingleFileWindowController* singleWindowShowing(const QString& path) {
    const QString canonical = FileName::canonical(path);
    if (canonical.isEmpty()) return nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* window = qobject_cast<QVSingleFileWindowController*>(widget); window && !window->isHidden())
            if (FileName::canonical(window->document()->fileName()) == canonical) return window;
    return nullptr;
}

}  // namespace

QVDocumentController::QVDocumentController() {
    Defaults::resetDefaults();
    // The first controller is the application's: it answers the menus.
    if (sharedController()) return;
    sharedController() = this;
    QVMainMenu::shared().setApplicationResponder(this);
    installMenuItems();
}

QVDocumentController::~QVDocumentController() {
    if (_trackingObserver) UserDefaults::standard().removeObserver(_trackingObserver);
}

QVDocumentController* QVDocumentController::shared() { return sharedController(); }

// --- Launch ---------------------------------------------------------------------------------------

void QVDocumentController::applicationWillFinishLaunching() {
    UserDefaults& defaults = UserDefaults::standard();
    const QString consent = QString::fromLatin1(qvAnonymousUsageTracking);
    // Asked once: any stored answer, no included, is never asked again.
    const bool ask = !defaults.objectForKey(consent).isValid();
    tellOfDamagedSettings(ask);
    if (ask) defaults.setBool(consentQuestion()(), consent);
    for (const auto& [key, folder] : {std::pair{qvSnippetsLocation, "snippets"}, std::pair{qvUserScriptsLocation, "userscripts"}}) {
        const QString name = QString::fromLatin1(key);
        if (!defaults.objectForKey(name).isValid()) defaults.setString(Defaults::appSupportPathForFile(QString::fromLatin1(folder)), name);
    }
}

bool QVDocumentController::openFiles(const QStringList& arguments, const QString& workingDirectory) {
    qsizetype opened = 0;
    for (const QString& argument : arguments)
        if (openArgument(argument, workingDirectory)) ++opened;
    if (opened < arguments.size()) return false;
    _filesLoaded = true;
    return true;
}

void QVDocumentController::applicationDidFinishLaunching() {
    UserDefaults& defaults = UserDefaults::standard();
    // Consent given later starts the analytics client then; taking it back (or the preferences'
    // reset removing it) stops the client, which drops what it had not sent yet.
    if (!_trackingObserver) {
        QPointer<QVDocumentController> self(this);
        _trackingObserver = defaults.addObserver(QString::fromLatin1(qvAnonymousUsageTracking),
                                                 [self](const QString&, const QVariant&, const QVariant& value) {
            if (value.isValid() && value.toInt() == 1) MainQueue::post([self] { if (self) self->initMetricline(); });
            else MainQueue::post([] { if (!QVOutsideServices::trackingAllowed()) QVOutsideServices::analytics().stop(); });
        });
    }
    initMetricline();
    QVOutsideServices::crashKits().start();
    if (!_filesLoaded) newDocument();
    QVRecoveryFolder::shared().setSiteProjectFinder([](const QString& path) {
        for (QVProjectDocument* project : QVProjectDocument::openDocuments())
            if (project->canOpenFile(path) && project->project()->hasRemoteEquivalent()) return project->project()->rootDirectory();
        return QString();
    });
    QVRecoveryFolder::shared().start();
    // After what the launch queued: the windows it opens come first, the question over them.
    MainQueue::post([self = QPointer<QVDocumentController>(this)] {
        if (self) self->offerRecoveredTexts();
    });
    QVCodeIndex::sharedIndex().start();
    const QUrl reportAddress(QVOutsideServices::infoValue(QStringLiteral("QVErrorReportURL")));
    if (reportAddress.isValid() && reportAddress.scheme() == QLatin1String("https")) {
        QVOutsideServices::errorReporting().addReportMethod(reportAddress, reportAddress.host());
        QVOutsideServices::errorReporting().toggleFeedbackMenuItem();
    }
    if (const QString identifier = QVOutsideServices::infoValue(QStringLiteral("QVCrashReportIdentifier")); !identifier.isEmpty()) {
        QVOutsideServices::crashDesk().configure(identifier);
        QVOutsideServices::crashDesk().startManager();
    }
    sendCountStat(QStringLiteral("Qorvel: app_start"));
    // The information window, once per version until the user turns it off for that version.
    if (AppBundle::main().shortVersion() != defaults.stringForKey(QString::fromLatin1(qvDisplayInfoView)))
        showPanel(Panel::InfoWindow);
    // The configuration thread: start-up items off the main thread; the wizard only when a
    // check needs the user. Menus reach the main thread through the main queue.
    Threads::start("QVLaunchWarmup", [] {
        if (QVStartupItemsController::sharedController().needsDisplay())
            MainQueue::post([] { QVStartupItemsController::sharedController().showWindow(); });
    }).detach();
}

void QVDocumentController::initMetricline() {
    if (!QVOutsideServices::trackingAllowed() || !QVOutsideServices::analyticsConfigured()) return;
    const QString token = QVOutsideServices::infoValue(QStringLiteral("QVAnalyticsToken"));
    const QStringList languages = QLocale().uiLanguages();
    QVAnalyticsClient& client = QVOutsideServices::analytics();
    client.start(token);
    client.registerSuperProperties({{QStringLiteral("app-name"), AppBundle::main().bundleName()},
                                    {QStringLiteral("app-version"), AppBundle::main().shortVersion()},
                                    {QStringLiteral("preferred-language"), languages.value(0, QStringLiteral("undefined"))},
                                    {QStringLiteral("secondary-language"), languages.value(1, QStringLiteral("undefined"))}});
    client.track(QStringLiteral("App Start"), {});
    client.flush();
}

void QVDocumentController::sendCountStat(const QString& name, double count) {
    const QString account = QVOutsideServices::infoValue(QStringLiteral("QVStatAccount"));
    if (QVOutsideServices::trackingAllowed() && !account.isEmpty()) QVOutsideServices::stats().postQuickStat(name, count, account);
}

// --- The open path --------------------------------------------------------------------------------

QMainWindow* QVDocumentController::openArgument(const QString& argument, const QString& workingDirectory) {
    if (argument.startsWith(QLatin1String("qvdt:"))) {
        const std::optional<QVURLHandlerCommand::Request> request = QVURLHandlerCommand::parse(argument);
        if (!request || request->file.isEmpty()) return nullptr;
        QMainWindow* window = openDocumentWithContentsOfFile(QDir(workingDirectory).absoluteFilePath(request->file));
        auto* documentWindow = qobject_cast<QVDocumentWindowController*>(window);
        HTMLView* view = documentWindow ? documentWindow->currentTextView() : nullptr;
        if (view && request->range) {
            const QVRange range = QVURLHandlerCommand::clampedRange(*request->range, view->length());
            view->setSelectedRange(range);
            view->scrollRangeToVisible(range);
        }
        return window;
    }
    if (argument.isEmpty()) return openUntitledDocument();
    if (FolderWindow::isSiteAddress(argument)) {
        QMainWindow* window = FileOpener::open(argument);
        if (window) bringForward(window);
        return window;
    }
    return openDocumentWithContentsOfFile(QDir(workingDirectory).absoluteFilePath(argument));
}

QMainWindow* QVDocumentController::openDocumentWithContentsOfFile(const QString& path, bool display) {
    closeProjectManager();
    // Stat'ed on the path's own bytes, and made absolute on the string: a name that is not
    // UTF-8 is found as it is.
    const QString absolute = FileName::absolute(path);
    if (path.isEmpty() || !FileName::exists(path)) {
        missingPath(path);
        return nullptr;
    }
    const bool isFolder = FileName::isFolder(path);
    // A pipe, a device or a file without read permission opens nothing: no empty text stands
    // behind the message.
    if (QVError unreadable; !isFolder && !FileEncodings::canOpenForReading(path, &unreadable)) {
        notOpened(path, unreadable);
        return nullptr;
    }
    if (!isFolder && !singleWindowShowing(path) && !confirmLargeFile(absolute, FileName::size(path))) return nullptr;
    QMainWindow* window = nullptr;
    // An open project containing the path takes it, whatever QVHowToOpenFiles says.
    window = projects().openInOpenProject ? projects().openInOpenProject(absolute, isFolder)
                                          : QVProjectDocument::openInOpenProject(absolute, isFolder);
    // A file open anywhere comes forward rather than opening twice.
    if (!window && !isFolder) window = singleWindowShowing(path);
    if (!window && isFolder && projects().openFolder) window = projects().openFolder(absolute);
    // Otherwise what the settings say: a folder as its project, a file in the front tabbed
    // window, a tabbed window or a single-file window.
    if (!window) window = FileOpener::open(absolute);
    if (window && display) bringForward(window);
    return window;
}

bool QVDocumentController::confirmLargeFile(const QString& path, qint64 size) {
    if (!LargeFiles::needsConfirmation(size)) return true;
    QMessageBox box(QMessageBox::Question, QVLocalized(QStringLiteral("Open a large file?")),
                    LargeFiles::question(FileName::displayed(path), size), QMessageBox::Open | QMessageBox::Cancel,
                    frontWindow());
    box.setDefaultButton(QMessageBox::Cancel);
    const bool open = box.exec() == QMessageBox::Open;
    if (!open) SystemLog::notice(QStringLiteral("Not opened: %1 is larger than the size set for asking").arg(FileName::displayed(path)));
    return open;
}

void QVDocumentController::notOpened(const QString& path, const QVError& error) {
    QWidget* front = frontWindow();
    auto* box = new QMessageBox(QMessageBox::Warning, QVLocalized(QStringLiteral("The file could not be opened")),
                                QVLocalized(QStringLiteral("The file \u201c%1\u201d could not be opened.")).arg(FileName::displayed(path)), QMessageBox::Ok, front);
    box->setObjectName(QStringLiteral("NotOpened"));
    QVSetAlertDetails(box, error.localizedDescription());
    box->setAttribute(Qt::WA_DeleteOnClose);
    SystemLog::warning(QStringLiteral("Not opened: %1: %2").arg(FileName::displayed(path), error.localizedDescription()));
    if (front) {
        box->setWindowModality(Qt::WindowModal);
        box->open();
    } else {
        box->show();
    }
}

void QVDocumentController::missingPath(const QString& path) {
    // The box says which path and opens nothing else; it sits on the front window when there is one.
    QWidget* front = frontWindow();
    auto* box = new QMessageBox(QMessageBox::Warning, QVLocalized(QStringLiteral("File not found")),
                                QVLocalized(QStringLiteral("The file \u201c%1\u201d does not exist.")).arg(FileName::displayed(path)), QMessageBox::Ok, front);
    box->setAttribute(Qt::WA_DeleteOnClose);
    SystemLog::warning(QStringLiteral("Not opened: %1 does not exist").arg(FileName::displayed(path)));
    if (front) {
        box->setWindowModality(Qt::WindowModal);
        box->open();
    } else {
        box->show();
    }
}

QMainWindow* QVDocumentController::openUntitledDocument() {
    closeProjectManager();
    QMainWindow* window = FileOpener::open(QString());
    if (window) bringForward(window);
    return window;
}

// --- Menu actions ---------------------------------------------------------------------------------

void QVDocumentController::installMenuItems() {
    QVMainMenu& menu = QVMainMenu::shared();
    const auto item = [this, &menu](const QString& section, const QString& title, const QKeySequence& key, const char* tracked,
                                    std::function<void()> act) {
        auto* action = new QAction(QVLocalized(title), this);
        action->setShortcut(key);
        const QString event = tracked ? QString::fromLatin1(tracked) : QString();
        connect(action, &QAction::triggered, this, [event, act] {
            if (!event.isEmpty()) QVOutsideServices::track(event);
            act();
        });
        menu.addAction(section, action);
        return action;
    };
    item(P::FileNew, QStringLiteral("New"), QKeySequence::New, nullptr, [this] { newDocument(); });
    item(P::FileNew, QStringLiteral("New from Clipboard"), {}, nullptr,
         [this] { newFileWithClipboard(); });
    item(P::FileNew, QStringLiteral("New File with Selection"), {}, nullptr,
         [this] { newFileWithSelection(); });
    item(P::FileOpen, QStringLiteral("Open\u2026"), QKeySequence::Open, nullptr, [this] { openDocument(); });
    // Not every desktop names a Quit key: Ctrl+Q where none does.
    const QList<QKeySequence> quitKeys = QKeySequence::keyBindings(QKeySequence::Quit);
    item(P::FileQuit, QStringLiteral("Quit"), quitKeys.isEmpty() ? QKeySequence(Qt::CTRL | Qt::Key_Q) : quitKeys.first(), "App Quit",
         [this] { terminateApp(); })
        ->setMenuRole(QAction::QuitRole);

    QMenu* snippets = menu.menu(P::SnippetsMenu);
    const auto snippetItem = [this, snippets](const QString& title, const char* tracked, std::function<void()> act) {
        QAction* action = snippets->addAction(QVLocalized(title));
        connect(action, &QAction::triggered, this, [event = QString::fromLatin1(tracked), act] {
            QVOutsideServices::track(event);
            act();
        });
        return action;
    };
    // The snippets menu keeps its first four items when it is refilled from the folder.
    snippetItem(QStringLiteral("Edit Snippets"), "Edit Snippets", [this] { editSnippets(); });
    snippetItem(QStringLiteral("Reload Snippets"), "Reload Snippets", [this] { reloadSnippets(); });
    _panelItems << snippetItem(QStringLiteral("Find More Snippets"), "Show Find More Snippets",
                               [this] { showWebAddress(QStringLiteral("showFindMoreSnippets")); });
    _panelItems.back()->setObjectName(QStringLiteral("showFindMoreSnippets"));
    snippets->addSeparator();
    // The snippets folder fills the rest, at launch on the configuration thread and from Reload.
    QVSnippetRepository::sharedRepository().setMainMenu(snippets);
    QVStartupItemsController::registerReloadItem(QStringLiteral("QVSetupSnippetMenu"),
                                                 [] { QVSnippetRepository::sharedRepository().reloadSnippets(); });
    QMenu* scripts = menu.menu(P::UserScriptsMenu);
    scripts->addAction(QVLocalized(QStringLiteral("Edit User Scripts")), this, [this] {
        QVOutsideServices::track(QStringLiteral("Edit User Scripts"));
        editUserScripts();
    });
    scripts->addAction(QVLocalized(QStringLiteral("Reload User Scripts")), this, [this] {
        QVOutsideServices::track(QStringLiteral("Reload User Scripts"));
        reloadUserScripts();
    });
    _panelItems << scripts->addAction(QVLocalized(QStringLiteral("Find More Scripts")), this, [this] {
        QVOutsideServices::track(QStringLiteral("Show Find More Scripts"));
        showWebAddress(QStringLiteral("showFindMoreScripts"));
    });
    _panelItems.back()->setObjectName(QStringLiteral("showFindMoreScripts"));
    scripts->addSeparator();

    for (const PanelItem& panel : panelItems()) {
        const QString action = QString::fromLatin1(panel.action);
        QAction* added = item(panel.section, QString::fromUtf8(panel.title), {}, panel.tracked,
                              [this, which = panel.panel] { showPanel(which); });
        added->setObjectName(action);
        if (action == QLatin1String("showPreferences")) added->setMenuRole(QAction::PreferencesRole);
        if (action == QLatin1String("newProject")) added->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_N));
        if (action == QLatin1String("multiFileFind")) added->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_F));
        _panelItems << added;
    }
    item(P::HelpMain, QStringLiteral("Qorvel Help"), QKeySequence::HelpContents, "Show HTML Help", [this] { showHTMLHelp(); });
    for (const WebItem& web : webItems) {
        if (QString::fromLatin1(web.action).startsWith(QLatin1String("showFindMore"))) continue;  // in their own menus
        const QString action = QString::fromLatin1(web.action);
        QAction* added = item(P::HelpWeb, QString::fromUtf8(web.title), {}, web.tracked, [this, action] { showWebAddress(action); });
        added->setObjectName(action);
        _panelItems << added;
    }
    refreshPanelItems();
}

void QVDocumentController::refreshPanelItems() {
    for (const QPointer<QAction>& action : std::as_const(_panelItems)) {
        if (!action) continue;
        const QString name = action->objectName();
        const auto panel = std::find_if(panelItems().begin(), panelItems().end(),
                                        [&](const PanelItem& item) { return name == QLatin1String(item.action); });
        action->setVisible(panel != panelItems().end() ? bool(panelShower(panel->panel)) : webAddress(name).has_value());
    }
}

void QVDocumentController::newDocument() { openUntitledDocument(); }

void QVDocumentController::newFileWithClipboard() { openUntitledDocumentWithText(QApplication::clipboard()->text()); }

QMainWindow* QVDocumentController::openUntitledDocumentWithText(const QString& text) {
    auto* window = qobject_cast<QVDocumentWindowController*>(openUntitledDocument());
    HTMLView* view = window ? window->currentTextView() : nullptr;
    if (!view) return window;
    view->setString(text);
    if (QVFileDocument* document = window->document()) document->updateChangeCount(QVDocument::ChangeType::Done);
    window->documentNeedsRefresh(window->document());
    return window;
}

void QVDocumentController::tellOfDamagedSettings(bool beforeQuestion) {
    const std::optional<UserDefaults::SetAside> damaged = UserDefaults::standard().takeSetAside();
    if (!damaged) return;
    const QString file = FileName::displayed(damaged->path);
    const QString what = damaged->movedTo.isEmpty()
        ? QVLocalized(QStringLiteral("The settings file \u201c%1\u201d is damaged (%2) and could not be moved aside. Qorvel leaves it as it is, starts with its first-launch settings and keeps any you change only until it quits."))
              .arg(file, damaged->reason)
        : QVLocalized(QStringLiteral("The settings file \u201c%1\u201d is damaged (%2). It is kept as \u201c%3\u201d, and Qorvel starts with its first-launch settings."))
              .arg(file, damaged->reason, FileName::displayed(damaged->movedTo));
    const QString title = QVLocalized(QStringLiteral("Settings Could Not Be Read"));
    if (beforeQuestion) {
        // Read and closed before the first-launch question it explains: shown beside it, it
        // lay under it and Return there answered the question.
        QMessageBox box(QMessageBox::Warning, title, what, QMessageBox::Ok, frontWindow());
        box.setObjectName(QStringLiteral("QVDamagedSettings"));
        box.exec();
        return;
    }
    // Not modal: nothing waits on it.
    auto* box = new QMessageBox(QMessageBox::Warning, title, what, QMessageBox::Ok, frontWindow());
    box->setObjectName(QStringLiteral("QVDamagedSettings"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->show();
}

void QVDocumentController::offerRecoveredTexts() {
    const QVRecoveryFolder::LeftBehind found = QVRecoveryFolder::shared().leftBehind();
    if (found.texts.isEmpty()) return;
    QStringList names;
    for (const QVRecoveryFolder::Text& kept : found.texts)
        names << (kept.path.isEmpty() ? kept.name : FileName::displayed(kept.path));
    // Not modal: the windows stay usable while it waits. Until one of its buttons is chosen the
    // texts stay where they are, and a quit before that leaves them for the next launch.
    auto* box = new QMessageBox(QMessageBox::Question, QVLocalized(QStringLiteral("Recover Unsaved Changes")),
                                QVLocalized(QStringLiteral("Qorvel ended without quitting and kept the unsaved changes of:")),
                                QMessageBox::NoButton, frontWindow());
    box->setObjectName(QStringLiteral("QVRecoveredTexts"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->setInformativeText(names.join(QLatin1Char('\n')));
    QPushButton* open = box->addButton(QVLocalized(QStringLiteral("&Open as Edited Documents")), QMessageBox::AcceptRole);
    QPushButton* discard = box->addButton(QVLocalized(QStringLiteral("&Discard")), QMessageBox::DestructiveRole);
    box->setDefaultButton(open);
    connect(box, &QMessageBox::buttonClicked, this, [this, found, open, discard](QAbstractButton* clicked) {
        QStringList unopened;
        if (clicked == open) {
            for (const QVRecoveryFolder::Text& kept : found.texts)
                if (!openRecoveredText(kept)) unopened << kept.folder;
            // Kept by this run before the old folders go.
            QVRecoveryFolder::shared().keepEditedDocuments();
        }
        // A folder goes once each of its texts is open (or all are discarded).
        if (clicked == open || clicked == discard) QVRecoveryFolder::remove(found, unopened);
    });
    box->show();
    // In front of the windows the launch opened, which came first.
    box->raise();
    box->activateWindow();
}

namespace {

// A site's file whose kept text came back outside the site's window: said for as long as the
// window shows it, since a save there writes the local copy only.
void sayNotUploaded(QVFileDocument* document, const QVRecoveryFolder::Text& kept) {
    document->setStandingNotice(QStringLiteral("site"),
                                QVLocalized(QStringLiteral("This is the local copy of %1, a file of the site at %2: saving it here does not upload it."))
                                    .arg(FileName::displayed(kept.path), FileName::displayed(kept.siteProject)));
}

}  // namespace

bool QVDocumentController::openRecoveredText(const QVRecoveryFolder::Text& kept) {
    // Over its file when that is still there, its name still leads to the file the text was
    // read from or written to (not to a link put in its place since) and no document shows it
    // yet; else as an untitled text beside it, titled as the file's recovered text, which saves
    // in the file's encoding and line breaks and never replaces a document's text.
    // The same file under another name (moved, a link to it put in its place) is no other file;
    // unchanged too, since a new file may have been given the inode of one removed meanwhile.
    const auto sameFile = [&kept](const QVDiskStamp& now) {
        return kept.leadsTo.isEmpty() || now.leadsTo == kept.leadsTo ||
               (kept.inode && now.exists && now.device == kept.device && now.inode == kept.inode && now.size == kept.size &&
                now.modified == kept.modified);
    };
    const bool leadsWhereItLed = sameFile(QVDiskStamp::of(kept.path));
    if (!kept.path.isEmpty() && leadsWhereItLed && QFileInfo(kept.path).isFile() && !QVRecoveryFolder::shared().isOpen(kept.path)) {
        // A site project's file in its project's window, where a save uploads it.
        QMainWindow* opened = nullptr;
        if (!kept.siteProject.isEmpty() && QVProjectDocument::open(kept.siteProject))
            opened = QVProjectDocument::openInOpenProject(kept.path, false);
        const bool inSite = opened != nullptr;
        auto* site = qobject_cast<QVProjectWindowController*>(opened);
        if (!opened) opened = openDocumentWithContentsOfFile(kept.path);
        auto* window = qobject_cast<QVDocumentWindowController*>(opened);
        // In a site's window the file's own tab, whichever is in front.
        QVFileDocument* document = site ? site->documentForPath(kept.path) : window ? window->document() : nullptr;
        // An older text of a file whose newest waits for its site's window (found after the
        // newest) comes back beside it, whether or not the file has come down meanwhile.
        static QSet<QString> awaited;
        if (site && awaited.contains(FileName::canonical(kept.path))) return openRecoveredTextBeside(kept);
        if (site && !document && site->project() && site->project()->type() == QVProject::RemoteOnly) {
            // Its tree is the site's, listed once the window has logged in; the file opens once
            // it has come down. Its old folder stays until then.
            awaited.insert(FileName::canonical(kept.path));
            // A window that had listed the file has just been asked for it, and fetches it.
            openRecoveredTextOnceListed(kept, site, site->listsFileAtPath(kept.path));
            return false;
        }
        // Judged again on what the document read: a link put in place between the look and the read.
        if (document && document->textView() && FileName::canonical(document->fileName()) == FileName::canonical(kept.path) &&
            sameFile(document->diskStamp())) {
            if (document->textView()->fullString() != kept.text) document->takeRecoveredText(kept.text, kept.size, kept.modified);
            if (!kept.siteProject.isEmpty() && !inSite) sayNotUploaded(document, kept);
            return true;
        }
    }
    return openRecoveredTextBeside(kept);
}

void QVDocumentController::openRecoveredTextOnceListed(const QVRecoveryFolder::Text& kept, QVProjectWindowController* site, bool asked) {
    static QHash<QString, int> waiting;  // the texts of each old run's folder not open yet
    ++waiting[kept.folder];
    // The local copy as the text was kept over it: what comes down is another's change only
    // where it differs (a download always writes the copy anew).
    QByteArray before;
    if (const QVDiskStamp stamp = QVDiskStamp::of(kept.path); stamp.exists && stamp.size == kept.size && stamp.modified == kept.modified) {
        QFile file(kept.path);
        if (file.open(QIODevice::ReadOnly)) before = file.readAll();
    }
    const qint64 giveUpAt = QDateTime::currentMSecsSinceEpoch() + 60000;
    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, [this, timer, kept, before, giveUpAt, site = QPointer<QVProjectWindowController>(site), asked]() mutable {
        QVFileDocument* document = site ? site->documentForPath(kept.path) : nullptr;
        // Asked once: each ask of a file not come down yet would download it again.
        if (site && !document && !asked && site->listsFileAtPath(kept.path)) {
            asked = true;
            document = site->openFileAtPath(kept.path);
        }
        if (!document && site && QDateTime::currentMSecsSinceEpoch() < giveUpAt) return;
        timer->stop();
        timer->deleteLater();
        bool opened = false;
        if (document && document->textView()) {
            QFile file(kept.path);
            const bool unchanged = !before.isNull() && file.open(QIODevice::ReadOnly) && file.readAll() == before;
            const QVDiskStamp now = document->diskStamp();
            if (document->textView()->fullString() != kept.text)
                document->takeRecoveredText(kept.text, unchanged ? now.size : kept.size, unchanged ? now.modified : kept.modified);
            opened = true;
        } else {
            opened = openRecoveredTextBeside(kept);
        }
        if (--waiting[kept.folder] > 0 || !opened) return;
        waiting.remove(kept.folder);
        // Kept by this run before the old folder goes.
        QVRecoveryFolder::shared().keepEditedDocuments();
        QVRecoveryFolder::LeftBehind gone;
        gone.folders << kept.folder;
        QVRecoveryFolder::remove(gone);
    });
    timer->start(200);
}

bool QVDocumentController::openRecoveredTextBeside(const QVRecoveryFolder::Text& kept) {
    auto* window = qobject_cast<QVDocumentWindowController*>(openUntitledDocument());
    QVFileDocument* document = window ? window->document() : nullptr;
    HTMLView* view = document ? document->textView() : nullptr;
    if (!view) return false;
    view->setStringAsFileText(kept.text, kept.lineBreak);
    if (kept.encoding) view->setStringEncoding(QVStringEncoding(kept.encoding));
    document->updateChangeCount(QVDocument::ChangeType::Done);
    document->setUntitledName(kept.path.isEmpty() ? kept.name : QVLocalized(QStringLiteral("%1 (recovered)")).arg(kept.name));
    if (!kept.siteProject.isEmpty()) sayNotUploaded(document, kept);
    window->documentNeedsRefresh(document);
    return true;
}

QMainWindow* QVDocumentController::openResultDocument(const QString& title, const QString& text) {
    auto* window = qobject_cast<QVDocumentWindowController*>(openUntitledDocument());
    HTMLView* view = window ? window->currentTextView() : nullptr;
    QVFileDocument* document = window ? window->document() : nullptr;
    if (!view || !document) return window;
    view->setString(text);
    document->setUntitledName(title);
    document->updateChangeCount(QVDocument::ChangeType::Cleared);
    window->documentNeedsRefresh(document);
    return window;
}

void QVDocumentController::openChosenFile(const QString& path) {
    const QFileInfo info(path);
    bool ignore = false;
    if (info.isFile() && info.suffix() != QVProject::FileExtension &&
        QVUnknownFileTypeController::shouldDisplayForFile(info.absoluteFilePath(), false, &ignore)) {
        auto* question = new QVUnknownFileTypeController({}, this);
        _fileTypeQuestions.insert(question, info.absoluteFilePath());
        question->displayOnWindow(frontWindow(), this, info.absoluteFilePath());
        return;
    }
    if (ignore) return;
    openDocumentWithContentsOfFile(path);
}

void QVDocumentController::unknownFileTypeControllerDidPickFileType(QVUnknownFileTypeController* controller,
                                                                    const std::shared_ptr<QVFileCategory>& category,
                                                                    const QString&) {
    const QString path = _fileTypeQuestions.take(controller);
    controller->deleteLater();
    if (category && !path.isEmpty()) openDocumentWithContentsOfFile(path);
}

void QVDocumentController::newFileWithSelection() {
    auto* front = qobject_cast<QVDocumentWindowController*>(frontWindow());
    HTMLView* source = front ? front->currentTextView() : nullptr;
    if (!source) return;
    const QString selected = source->foldingStorage().fullStringInRange(source->selectedRange());
    auto* window = qobject_cast<QVDocumentWindowController*>(openUntitledDocument());
    HTMLView* view = window ? window->currentTextView() : nullptr;
    if (!view) return;
    view->setString(selected);
    if (QVFileDocument* document = window->document()) document->updateChangeCount(QVDocument::ChangeType::Done);
    window->documentNeedsRefresh(window->document());
}

void QVDocumentController::openDocument() {
    // Files and folders alike: a folder opens as a project.
    auto* dialog = new QFileDialog(frontWindow(), QVLocalized(QStringLiteral("Open")));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setFileMode(QFileDialog::ExistingFiles);
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    connect(dialog, &QFileDialog::filesSelected, this, [this](const QStringList& chosen) {
        for (const QString& path : chosen) openChosenFile(path);
    });
    // A folder chosen by name (the panel's Open on a folder enters it otherwise).
    connect(dialog, &QFileDialog::currentChanged, dialog, [dialog](const QString& path) {
        dialog->setFileMode(QFileInfo(path).isDir() ? QFileDialog::Directory : QFileDialog::ExistingFiles);
    });
    dialog->open();
}

void QVDocumentController::editSnippets() {
    openDocumentWithContentsOfFile(QVSnippetRepository::snippetsLocation());
}

void QVDocumentController::editUserScripts() {
    openDocumentWithContentsOfFile(QVUserScriptRepository::scriptsLocation());
}

void QVDocumentController::reloadSnippets() { QVSnippetRepository::sharedRepository().reloadSnippets(); }

void QVDocumentController::reloadUserScripts() {
    QVUserScriptRunner::reloadMenu(QVUserScriptRepository::sharedInstance(), QVMainMenuPlaces::menu(QVMainMenuPlaces::UserScripts));
}

void QVDocumentController::showHTMLHelp() {
    const QString page = AppBundle::main().pathForResource(QStringLiteral("index"), QStringLiteral("html"), QStringLiteral("Documentation"));
    if (page.isEmpty()) return SystemLog::warning(QStringLiteral("The HTML help is missing from the resources"));
    browser()(QUrl::fromLocalFile(page));
}

std::optional<QUrl> QVDocumentController::webAddress(const QString& action) {
    for (const WebItem& web : webItems) {
        if (action != QLatin1String(web.action)) continue;
        const QString base = QVOutsideServices::infoValue(QString::fromLatin1(web.key));
        QUrl url(base);
        if (base.isEmpty() || !url.isValid() || (url.scheme() != QLatin1String("https") && url.scheme() != QLatin1String("http")))
            return std::nullopt;
        if (*web.path) url.setPath(url.path().chopped(url.path().endsWith(QLatin1Char('/')) ? 1 : 0) + QString::fromLatin1(web.path));
        if (action.startsWith(QLatin1String("showFindMore"))) url.setQuery(QStringLiteral("src=Glimbo"));
        return url;
    }
    return std::nullopt;
}

void QVDocumentController::showWebAddress(const QString& action) {
    if (const std::optional<QUrl> url = webAddress(action)) QDesktopServices::openUrl(*url);
}

void QVDocumentController::showPanel(const QString& action) {
    for (const PanelItem& item : panelItems())
        if (action == QLatin1String(item.action)) return showPanel(item.panel);
}

void QVDocumentController::showPanel(Panel panel) {
    if (const std::function<void()> show = panelShower(panel)) show();
}

std::function<void()> QVDocumentController::panelShower(Panel panel) {
    if (const auto standIn = panelStandIns().find(panel); standIn != panelStandIns().end()) return *standIn;
    switch (panel) {
    case Panel::NewProject: return [] { QVProjectSettingsWindowController::showSettings(nullptr); };
    case Panel::OpenRemoteDirectory: return [] { QVRemoteOpenPanelController::showPanel(); };
    case Panel::InsertColor: return [] { ColorPanel::sharedColorPanel()->showPanel(); };
    case Panel::TidyPanel: return [] { QVTidyWindowController::sharedInstance().showWindow(); };
    case Panel::ProjectManager:
        return [] {
            QVProjectManager* manager = QVProjectManager::sharedInstance();
            manager->show();
            manager->raise();
            manager->activateWindow();
        };
    case Panel::InfoWindow:
        // It comes forward on a later turn, after the windows the launch opened have been shown
        // and activated, or it would open behind them.
        return [] {
            QVInfoWindowController& info = QVInfoWindowController::sharedInstance();
            info.show();
            QTimer::singleShot(0, &info, [&info] {
                info.raise();
                info.activateWindow();
            });
        };
    case Panel::MultiFileFind: return [] { QVMultiFileSearchController::sharedController().showWindow(); };
    case Panel::Preferences: return [] { QVPreferences::sharedInstance().showWindow(); };
    }
    return {};
}

void QVDocumentController::terminateApp() {
    QVOutsideServices::analytics().flush();
    _quitting = true;
    closeNextWindow();
}

void QVDocumentController::closeNextWindow() {
    if (!_quitting) return;
    QMainWindow* next = nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* window = qobject_cast<QMainWindow*>(widget); window && window->isVisible()) next = window;
    if (!next) {
        _quitting = false;
        return QCoreApplication::quit();
    }
    // A window that asks about its unsaved changes closes on a later turn: the quit goes on
    // once it has, and ends where the user cancels or a save fails (every window still open
    // stays as it is).
    auto* watcher = new CloseWatcher(next, [this] { QTimer::singleShot(0, this, &QVDocumentController::closeNextWindow); });
    if (auto* documentWindow = qobject_cast<QVDocumentWindowController*>(next)) {
        connect(documentWindow, &QVDocumentWindowController::closeRefused, watcher, [this, watcher] {
            _quitting = false;
            watcher->deleteLater();
        });
    }
    next->close();
}

// --- Seams ----------------------------------------------------------------------------------------

void QVDocumentController::setPanel(Panel panel, std::function<void()> show) {
    if (show) panelStandIns().insert(panel, std::move(show));
    else panelStandIns().remove(panel);
    if (QVDocumentController* controller = shared()) controller->refreshPanelItems();
}

void QVDocumentController::setProjects(Projects seam) { projects() = std::move(seam); }

void QVDocumentController::setBrowser(std::function<void(const QUrl&)> open) {
    if (open) browser() = std::move(open);
}

void QVDocumentController::setConsentQuestion(std::function<bool()> ask) {
    if (ask) consentQuestion() = std::move(ask);
}
