// The application controller: the launch sequence, the one open path every open request goes
// through (command line, a later `qorvel FILE`, qvdt: links, the menus), the application's menu
// items in the shared menu bar, and quitting. It calls the subsystems' windows directly; the
// setters at the end only let a test stand in for one of them.
#pragma once

#include "editor/QVRecoveryFolder.h"
#include "shell/QVUnknownFileTypeControllerDelegate.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <optional>

class QAction;
class QMainWindow;
class QWidget;

class QVError;
class QVProjectWindowController;
class QVUnknownFileTypeController;

class QVDocumentController : public QObject, private QVUnknownFileTypeControllerDelegate {
    Q_OBJECT
public:
    // Class set-up: writes the factory value of every setting that has none. The first one
    // made is the shared one.
    QVDocumentController();
    ~QVDocumentController() override;
    static QVDocumentController* shared();

    // --- Launch, in this order ----------------------------------------------------------------
    // A damaged settings file this run set aside, told once (before the consent question it
    // brings back); the consent question (once: any stored answer is kept) and the snippet and
    // script folders.
    void applicationWillFinishLaunching();
    // Opens each argument through the open path; true (and filesLoaded) when every one opened.
    bool openFiles(const QStringList& arguments, const QString& workingDirectory);
    // The outside services (silent by default), an untitled document unless filesLoaded, the
    // code index, the information window once per version, and the configuration thread.
    void applicationDidFinishLaunching();
    bool filesLoaded() const { return _filesLoaded; }

    // --- The open path ------------------------------------------------------------------------
    // Shows path and answers the window that shows it with it in front, or nothing. An open
    // project containing the path takes it; with QVHowToOpenFiles 1 the front tabbed window
    // takes a file; a file open anywhere comes forward; otherwise a folder opens as a project
    // (a folder window until projects land) and a file in a tabbed or single-file window as
    // QVUseTabs says. A missing path shows "File not found" on the front window and opens nothing.
    QMainWindow* openDocumentWithContentsOfFile(const QString& path, bool display = true);
    // One argument of a command line: a path relative to workingDirectory, a site address, or a
    // qvdt: address whose range is selected.
    QMainWindow* openArgument(const QString& argument, const QString& workingDirectory);
    // A new untitled single-file document.
    QMainWindow* openUntitledDocument();
    // A new untitled document holding text, edited (closing it asks), as New from Clipboard makes.
    QMainWindow* openUntitledDocumentWithText(const QString& text);
    // A result shown as text (a diff, annotations): named title, unedited, so that it closes
    // without a question until the user changes it.
    QMainWindow* openResultDocument(const QString& title, const QString& text);

    // --- Menu actions (found by name through the shared menu bar) -----------------------------
    Q_INVOKABLE void newDocument();
    Q_INVOKABLE void newFileWithClipboard();
    // A new untitled document holding the front text's selection (collapsed parts included),
    // edited; nothing without a text in front.
    Q_INVOKABLE void newFileWithSelection();
    Q_INVOKABLE void openDocument();
    // A file chosen in the open panel: one of no known type opens once the user has said what
    // it is (the question sits on the front window), an ignorable one not at all; anything else
    // takes the open path.
    void openChosenFile(const QString& path);
    // The type questions being asked, for tests.
    QList<QVUnknownFileTypeController*> fileTypeQuestions() const { return _fileTypeQuestions.keys(); }
    Q_INVOKABLE void editSnippets();
    Q_INVOKABLE void editUserScripts();
    Q_INVOKABLE void reloadSnippets();
    Q_INVOKABLE void reloadUserScripts();
    Q_INVOKABLE void showHTMLHelp();
    // The web addresses of Info.plist; an unset one leaves its item hidden.
    Q_INVOKABLE void showWebAddress(const QString& action);
    // The windows the application's menu items show, by the item's action name: insertColor,
    // multiFileFind, newProject, openRemoteDirectory, showInfoWindow, showPreferences,
    // showProjectManager, showTidyPanel.
    Q_INVOKABLE void showPanel(const QString& action);
    enum class Panel {
        NewProject,
        OpenRemoteDirectory,
        MultiFileFind,
        Preferences,
        InsertColor,
        ProjectManager,
        TidyPanel,
        InfoWindow,
    };
    void showPanel(Panel panel);
    // Asks every window about its unsaved changes in turn; the first that is cancelled (or
    // whose save fails) keeps every window still open and the application running.
    Q_INVOKABLE void terminateApp();

    // The address of a Help item (showWebsite, showSupport, ...) from Info.plist, or nothing.
    static std::optional<QUrl> webAddress(const QString& action);

    // --- Stand-ins for tests -----------------------------------------------------------------
    // Replaces what shows a panel (an empty function goes back to the application's own). An
    // item is hidden while nothing shows its window.
    static void setPanel(Panel panel, std::function<void()> show);
    struct Projects {
        // The window of an open project that contains path (a file opened as its tab, a
        // folder below its root brought forward), or nothing.
        std::function<QMainWindow*(const QString& path, bool isFolder)> openInOpenProject;
        // A new project for a folder no open project contains.
        std::function<QMainWindow*(const QString& folder)> openFolder;
    };
    // Replaces the open projects' side of the open path (empty members: the project windows').
    static void setProjects(Projects projects);
    // Opens the HTML help page (a file URL) in the default browser or preview.
    static void setBrowser(std::function<void(const QUrl&)> open);
    // The consent question's answer: true for "Help", false for "Don't Help". Tests replace it.
    static void setConsentQuestion(std::function<bool()> ask);

private:
    void unknownFileTypeControllerDidPickFileType(QVUnknownFileTypeController* controller,
                                                  const std::shared_ptr<QVFileCategory>& category, const QString& path) override;
    void installMenuItems();
    void refreshPanelItems();
    static std::function<void()> panelShower(Panel panel);
    void initMetricline();
    void sendCountStat(const QString& name, double count = 1.0);
    void missingPath(const QString& path);
    void notOpened(const QString& path, const QVError& error);
    // Asks before opening a file above the size set for asking; true to open it.
    bool confirmLargeFile(const QString& path, qint64 size);
    void closeNextWindow();
    // What an earlier run that did not quit kept: the question, and each text opened edited.
    void offerRecoveredTexts();
    // Tells of a damaged settings file the settings store found, where the user sees it.
    // beforeQuestion: the first-launch question follows, so the window waits to be closed before
    // it (a key pressed on it never answers the question).
    void tellOfDamagedSettings(bool beforeQuestion);
    // False when it could not be opened (its folder stays).
    bool openRecoveredText(const QVRecoveryFolder::Text& kept);
    // In a remote-only site's window once the site lists the file and it has come down; beside
    // it, saying it is not uploaded, when the window goes or the file does not come.
    // asked: the window was asked for the file already.
    void openRecoveredTextOnceListed(const QVRecoveryFolder::Text& kept, QVProjectWindowController* site, bool asked);
    bool openRecoveredTextBeside(const QVRecoveryFolder::Text& kept);

    QHash<QVUnknownFileTypeController*, QString> _fileTypeQuestions;
    bool _filesLoaded = false;
    bool _quitting = false;
    quint64 _trackingObserver = 0;
    QList<QPointer<QAction>> _panelItems;
};
