// A transfer tab: for a folder of a project connected to its site, a two-pane file manager with
// the folder's local mirror on the left and the site's folder on the right, each under a pop-up
// of its path, and commands to upload, download, delete (after asking), rename in place, make
// and go to folders and refresh. All remote work goes through the project's site queue; the
// lists change only when the queue reports success. The tab has no file of its own.
#pragma once

#include "projects/windows/QVTransferListModel.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

class QComboBox;
class QLabel;
class QImage;
class QVError;
class QVFile;
class QVFileListingTable;
class QVRemoteSiteQueue;
class QVRemoteSiteQueueDelegate;
class QVTransferModeActionPanelController;
class QWidget;

// What a transfer tab asks of the window that shows it.
class QVTransferModeDelegate {
public:
    virtual ~QVTransferModeDelegate() = default;
    // The project's root folder on the local disk; empty without a project.
    virtual QString projectRootDirectory() const = 0;
    // The site the remote list shows, as its header names it ("user@host"); empty when unknown.
    virtual QString siteName() const { return {}; }
    // A failure the user should see (the window's error queue).
    virtual void presentErrorAlert(const QVError& error) = 0;
    // A question whose recovery options are its buttons; answer hears the index chosen.
    virtual void askQuestion(const QVError& question, std::function<void(int option)> answer) = 0;
};

class QVTransferModeDocument : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool changingRemoteDirectory READ changingRemoteDirectory NOTIFY changingRemoteDirectoryChanged)
public:
    enum DeleteOption { MoveToTrash = 0, Delete = 1, Cancel = 2 };

    // For the folder node, through the site's queue; the delegate outlives the tab.
    QVTransferModeDocument(const std::shared_ptr<QVFile>& folder, const std::shared_ptr<QVRemoteSiteQueue>& queue,
                           QVTransferModeDelegate* delegate);
    ~QVTransferModeDocument() override;
    // A closed tab that goes on a later turn: from now on it tells its delegate (which may go
    // first) nothing, and the queue's replies for it go to the queue's delegate.
    void detach();

    // The tab is keyed by the folder: one transfer tab per folder.
    QString uuid() const;
    QString displayName() const;   // "Transfer: " and the folder's name
    QString titleForLists() const;  // "Transfer: " and its path from the root
    static QImage icon();
    std::shared_ptr<QVFile> file() const { return _file; }
    // A transfer tab is never edited and never saved in the project's open-file list.
    bool isDocumentEdited() const { return false; }

    // The pane, made on first use (the document owns it).
    QWidget* view();
    // The tab came forward: the lists are filled on the next turn.
    void activate();
    void deactivate() {}

    QString currentLocalPath() const { return _currentLocalPath; }
    QString currentRemotePath() const { return _currentRemotePath; }
    bool changingRemoteDirectory() const { return _changingRemoteDirectory; }
    void setCurrentLocalPath(const QString& path);
    QVTransferListModel* localModel() const { return _localModel; }
    QVTransferListModel* remoteModel() const { return _remoteModel; }
    QVFileListingTable* localTable() const { return _localTable; }
    QVFileListingTable* remoteTable() const { return _remoteTable; }
    QComboBox* localPopup() const { return _localPopup; }
    QComboBox* remotePopup() const { return _remotePopup; }
    // The headers of the two lists: the local folder, and the site with its folder.
    QLabel* localHeader() const { return _localHeader; }
    QLabel* remoteHeader() const { return _remoteHeader; }
    QVTransferModeActionPanelController* actionPanel();
    // The focused list; none when neither has the focus.
    QVFileListingTable* activeTable() const;

    // The commands (buttons, menus, keys).
    void transfer();
    void deleteSelection();
    void rename();
    void makeDirectory();
    void gotoDirectory();
    void refresh();
    void chooseLocalFile(int index);
    void chooseRemoteFile(int index);
    // The answer of the name-or-path sheet ("mkdir" or "goto").
    void actionPanelDidEnd(const QString& value, int returnCode, bool remote, const QString& context);

    // Lists the remote folder unless it is shown already (always when forced).
    void changeToRemoteDirectory(const QString& path, bool force);
    void uploadEntries(const QList<QVTransferListModel::Entry>& entries, const QString& localFolder);
    void downloadEntries(const QList<QVTransferListModel::Entry>& entries);
    // A drop onto one of the lists: entries of a live transfer tab on the same site, or files
    // from outside onto the remote list. Stale or foreign entries are refused.
    bool acceptDrop(QVTransferListModel::Side onto, const QMimeData* data);

    // The queue's reports, on the main thread.
    void retrievedFiles(const QList<QVRemoteFile>& files, const QString& path);
    void createdDirectory(const QString& path);
    void deletedFile(const QString& path);
    void uploadedFile(const QString& localPath, const QString& remotePath);
    void downloadedFile(const QString& remotePath, const QString& localPath);
    void movedFile(const QString& oldPath, const QString& newPath);
    void listingFailed();

    // A name typed or listed that stays inside its folder when joined to it: not empty, not
    // "." or "..", without "/" or NUL.
    static bool isSafeComponent(const QString& name);

Q_SIGNALS:
    void changingRemoteDirectoryChanged(bool changing);
    void haveActiveTableChanged();

private:
    class Forwarder;

    void buildView();
    void delayedActivate();
    void refreshLocalPane();
    void rebuildPopup(QComboBox* popup, const QString& path, bool local);
    void updateHeaders();
    QList<QVTransferListModel::Entry> selectedEntries(QVFileListingTable* table) const;
    bool renameEntry(QVTransferListModel::Side side, int row, const QString& name);
    void deleteEntries(QVTransferListModel::Side side, const QList<QVTransferListModel::Entry>& entries, int option,
                       const QString& folder);
    void localTableDoubleClicked();
    void remoteTableDoubleClicked();
    void refuse(const QString& description, const QString& reason);
    std::shared_ptr<QVRemoteSiteQueueDelegate> forwarder();
    static QString parentPath(const QString& path);

    std::shared_ptr<QVFile> _file;
    std::shared_ptr<QVRemoteSiteQueue> _queue;
    QVTransferModeDelegate* _delegate;
    std::shared_ptr<Forwarder> _forwarder;
    QString _token;
    QPointer<QWidget> _mainView;
    QVTransferListModel* _localModel = nullptr;
    QVTransferListModel* _remoteModel = nullptr;
    QVFileListingTable* _localTable = nullptr;
    QVFileListingTable* _remoteTable = nullptr;
    QComboBox* _localPopup = nullptr;
    QComboBox* _remotePopup = nullptr;
    QLabel* _localHeader = nullptr;
    QLabel* _remoteHeader = nullptr;
    QPointer<QVTransferModeActionPanelController> _actionPanelController;
    QString _currentLocalPath;
    QString _currentRemotePath;
    bool _remoteListed = false;
    bool _changingRemoteDirectory = false;
};
