// The project window: the project's file tree as an outline in a collapsible left pane, its files
// as tabs on the right (the tabbed window's), a toolbar and a status bar that shows the site's
// connection. It is the delegate of the project, of the nodes it shows and of its documents;
// from the outline the user opens, creates, renames, duplicates, imports, moves by dragging,
// trashes, deletes, uploads and downloads files.
//
// Every deletion asks first and acts on the node it asked about; a file removed under an edited
// tab leaves the tab open; names typed for files stay one component inside their folder; moves
// and imports never replace a file. A local project (type 0) never connects or uploads.
#pragma once

#include "editor/windows/QVMultiFileWindowController.h"
#include "files/QVCredentialsController.h"
#include "files/QVRemoteLogController.h"
#include "projects/windows/QVTransferModeDocument.h"
#include "shell/QVUnknownFileTypeController.h"
#include "shell/QVUnknownFileTypeControllerDelegate.h"

#include <QHash>
#include <QPointer>
#include <QSet>

#include <memory>

class QAction;
class QVAlertManager;
class QVFile;
class QVProject;
class QVProjectOutlineModel;
class QVProjectView;

class QVSCMStatusEntry;
class QVSplitView;

class QVProjectWindowController : public QVMultiFileWindowController,
                                  private QVCredentialsDelegate,
                                  private QVTransferModeDelegate,
                                  private QVUnknownFileTypeControllerDelegate {
    Q_OBJECT
public:
    static inline const QString WindowNibName = QStringLiteral("ProjectWindow");
    static inline const QString SCMDisabledKey = QStringLiteral("QVSCMDisabledKey");
    static inline const QString DoubleClickToOpenFilesKey = QStringLiteral("QVDoubleClickToOpenFiles");
    // The code of the delete question in the application's error domain.
    static constexpr qint64 DeleteQuestionCode = 14;

    explicit QVProjectWindowController(const std::shared_ptr<QVProject>& project, QWidget* parent = nullptr);
    ~QVProjectWindowController() override;

    // Shows the project (the window becomes its delegate and its tree's); another one before
    // is let go.
    void setProject(const std::shared_ptr<QVProject>& project);
    std::shared_ptr<QVProject> project() const { return _project; }
    QVProjectView* outlineView() const { return _outlineView; }
    QVProjectOutlineModel* outlineModel() const { return _outlineModel; }
    QVSplitView* splitView() const { return _splitView; }
    QVAlertManager* questions() const { return _questions; }
    // The window's title for the document in front: "name — project", or the project's name.
    QString windowTitleForDocumentDisplayName(const QString& name) const override;

    // Opening.
    std::unique_ptr<QVFileDocument> createDocumentForFile(const std::shared_ptr<QVFile>& file) override;
    // A remote file opens once its download has finished; a folder of a connected project opens
    // as its transfer tab (one per folder), of any other project nothing.
    void openFile(const std::shared_ptr<QVFile>& file) override;
    // openFile, then the file's editor takes the keyboard focus (at once, or when a remote file
    // has arrived): what the user opens deliberately from the outline is typed into.
    void openFileAndFocus(const std::shared_ptr<QVFile>& file);
    // openFile, the keyboard focus staying in the outline when it was there.
    void openFileKeepingFocus(const std::shared_ptr<QVFile>& file);
    // The transfer tab of the folder, when open.
    QVTransferModeDocument* transferDocumentForFile(const std::shared_ptr<QVFile>& folder) const;
    QVTransferModeDocument* activeTransferDocument() const { return _activeTransfer; }
    // The node of a path inside the project, opened; none for a path the tree does not have.
    QVFileDocument* openFileAtPath(const QString& path) override;
    // Whether the tree has a file at path (a remote-only project's once the site's listing came).
    bool listsFileAtPath(const QString& path);
    void activateDocument(QVFileDocument* document) override;
    void closeDocument(QVFileDocument* document) override;
    void documentNeedsRefresh(QVFileDocument* document) override;
    std::shared_ptr<QVFile> backingFileForPath(QVFileDocument* document, const QString& path) override;
    QVProjectSCMController* scmControllerForDocument(QVFileDocument* document) override;
    void presentErrorAlert(const QVError& error) override;

    // The outline's selection and the folder commands act in.
    std::shared_ptr<QVFile> selectedFile() const;
    std::shared_ptr<QVFile> targetFolder() const;
    void selectNode(const std::shared_ptr<QVFile>& node);

    // Commands (menus, context menu, toolbar).
    void toggleProjectView();
    void establishRemoteConnection();
    void cancelRemoteOperation();
    void viewRemoteTransferLog();
    void scmRefreshStatus();
    void toggleSCM();
    void refreshAll();
    void refreshDirectory();
    void newFileInProject();
    void newFileInDirectory();
    void newFolderInDirectory();
    void addFilesToDirectory();
    void deleteFile();
    void renameFile();
    void duplicateFile();
    void showFileInFinder();
    void openFileWithFinder();
    void uploadFile();
    void downloadFile();
    // The project's settings window, editing this open project (one at a time).
    void editProjectSettings();
    // The question about a file of no known type, while it is asked.
    QVUnknownFileTypeController* unknownFileTypeController() const { return _QVUController.get(); }
    // Enables the commands and words their titles for the selection.
    void validateCommands();
    QAction* commandAction(const QString& name) const { return _commands.value(name); }

    // Steps of the flows above, for the panels' answers.
    void newFilePanelDidEnd(const QString& path, int tag);
    bool createFileAtPath(const QString& path);
    bool createDirectoryAtPath(const QString& path);
    void addFileAtPathToProject(const QString& path);
    void promptForFileImport(const QStringList& paths, const std::shared_ptr<QVFile>& target);
    // Moves (or copies) the paths into the folder, never over a file that is there, never a
    // folder into itself; what failed is shown together.
    void importFiles(const QStringList& paths, const std::shared_ptr<QVFile>& target, bool move);
    // A typed name for the node, refused (with the reason) unless it is one component.
    bool renameNode(const std::shared_ptr<QVFile>& node, const QString& name);
    // A drop of the node onto the folder; refused where it is, and into itself or below.
    bool moveNode(const std::shared_ptr<QVFile>& node, const std::shared_ptr<QVFile>& folder);

    // What the tree tells its window.
    void fileNeedsRefresh(const std::shared_ptr<QVFile>& file);
    void fileRemovedChild(const std::shared_ptr<QVFile>& parent, const std::shared_ptr<QVFile>& child);
    void fileWasDuplicatedToFile(const std::shared_ptr<QVFile>& file, const std::shared_ptr<QVFile>& copy);
    void fileContentBecameAvailable(const std::shared_ptr<QVFile>& file);
    bool fileShouldUpload(const std::shared_ptr<QVFile>& file);
    bool downloadShouldOverwriteLocalFile(const std::shared_ptr<QVFile>& file);

    // What the project tells its window.
    void projectSetStatusString(const QString& status);
    void projectShowProgress(bool show);
    void projectNeedsRemoteCredentials(bool refused = false);
    // Logs in anew when the site's connection closed (Refresh then lists through the login).
    bool loginAgainIfClosed();
    // The "SCM Login" sheet: OK hands the credentials to the controller, Cancel fails its command.
    void projectNeedsSCMCredentials(QVProjectSCMController* controller);
    QVariantList openFileInformation() const;
    void projectFinishedSCMCommand(QVProjectSCMController* controller, int command, const QStringList& files);
    void projectRetrievedStatus(const QList<std::shared_ptr<QVSCMStatusEntry>>& entries, const QString& path, bool recursive);

    // Outline events.
    void outlineSelectionChanged();
    void outlineSingleAction(const QModelIndex& index);
    void outlineDoubleAction(const QModelIndex& index);
    void outlineItemExpanded(const QModelIndex& index);
    void outlineItemCollapsed(const QModelIndex& index);
    // Shows or hides the version-control column.
    void updateSCMColumnStatus();
    bool scmColumnShown() const;

    QVCredentialsController* credentialsSheet() const { return _credentials; }
    QVRemoteLogController* logController() const { return _log; }

    // The code of the question asked when the window closes while a Subversion command runs.
    static constexpr qint64 SCMRunningQuestionCode = 15;

protected:
    // A Subversion command that changes the working copy is never cut off by the window going:
    // the window asks, then closes once it has finished, or stops it and cleans up first.
    void closeEvent(QCloseEvent* event) override;
    QWidget* viewForTabView(QVTabView* tabView, qint64 index) override;
    void tabViewDidSelectTabAtIndex(QVTabView* tabView, qint64 index) override;
    bool tabViewShouldCloseTab(QVTabView* tabView, const QString& identifier, qint64 index) override;
    void tabViewDidCloseTab(QVTabView* tabView, const QString& identifier, qint64 index, void* context) override;
    void tabViewDraggedTabFromIndex(QVTabView* tabView, qint64 from, qint64 to) override;

private:
    class TreeForwarder;
    class ProjectForwarder;

    void credentialsDidEnd(QVCredentialsController* sheet, int returnCode) override;
    void unknownFileTypeControllerDidPickFileType(QVUnknownFileTypeController* controller,
                                                  const std::shared_ptr<QVFileCategory>& category, const QString& path) override;
    // QVTransferModeDelegate.
    QString projectRootDirectory() const override;
    QString siteName() const override;
    bool projectFileConfiguration(QVFileDocument* document, const QString& path, const QString& key, QVariant* value) override;
    bool setProjectFileConfiguration(QVFileDocument* document, const QString& path, const QString& key, const QVariant& value) override;
    // Opens the files the project had open when it was last saved, in their order (a remote
    // project's only when their local copies are there).
    void reopenFiles();
    void askQuestion(const QVError& question, std::function<void(int option)> answer) override;
    // Transfer tabs among the tabs: the one at a tab index (the one being added for a tab not
    // named yet), and a tab index as an index among the file tabs.
    QVTransferModeDocument* transferAtIndex(qint64 index) const;
    qint64 fileIndexOf(qint64 index) const;
    void activateTransfer(QVTransferModeDocument* transfer);
    int projectBarMode() const;
    void buildOutline();
    void buildCommands();
    void refreshTitle();
    void commitOpenFiles();
    bool scmUsable() const;
    // The open documents of the node's file or of files below it (path: where it is, by default).
    QList<QVFileDocument*> documentsUnder(const std::shared_ptr<QVFile>& node, QString path = {}) const;
    void deleteAnswered(const std::weak_ptr<QVFile>& node, int option, bool hasRemoteSide);
    void runNewFilePanel(const QString& folder, int tag);
    // Connects the project and sends the new connection's client output to the log.
    void connectToSite();

    std::shared_ptr<QVProject> _project;
    std::shared_ptr<TreeForwarder> _treeForwarder;
    std::shared_ptr<ProjectForwarder> _projectForwarder;
    QVSplitView* _splitView = nullptr;
    QVProjectView* _outlineView = nullptr;
    QVProjectOutlineModel* _outlineModel = nullptr;
    QVAlertManager* _questions = nullptr;
    QPointer<QVCredentialsController> _credentials;
    QPointer<QVRemoteLogController> _log;
    QHash<QString, QAction*> _commands;
    QAction* _scmToggle = nullptr;
    bool _scmColumnShown = false;
    // The account (protocol, host, port, user) whose password the login sheet's OK confirmed, an
    // empty one too: another account of a changed site is asked again.
    QString _passwordConfirmedFor;
    // The window closes once Subversion has finished (the user chose so); no second question.
    bool _closingAfterSCM = false;
    bool _scmFinished = false;
    std::vector<std::unique_ptr<QVTransferModeDocument>> _transfers;
    QVTransferModeDocument* _addingTransfer = nullptr;
    QVTransferModeDocument* _activeTransfer = nullptr;
    // Files opened from the outline by a double click or Return whose download is still under
    // way: their editor takes the keyboard focus when they open.
    QSet<QString> _focusWhenOpened;
    // The last question about a file's type, and the file it asks about.
    std::unique_ptr<QVUnknownFileTypeController> _QVUController;
    std::weak_ptr<QVFile> _askedFile;
    QPointer<QWidget> _settingsWindow;
};
