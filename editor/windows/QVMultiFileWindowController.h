// The tabbed window: the file documents of one container document, one tab each, the selected
// tab's document in front. Closing a tab asks about that document's changes; closing the window
// asks once for all of them with the close sheet.
#pragma once

#include "editor/QVTabViewDelegate.h"
#include "editor/windows/QVDocumentWindowController.h"

#include <QHash>
#include <QList>
#include <QPointer>
#include <QSet>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class QMenu;
class QVFile;
class QVMultiFileCloseController;
class QVMultiFileDocument;
class QVTabView;

class QVMultiFileWindowController : public QVDocumentWindowController, protected QVTabViewDelegate {
    Q_OBJECT
public:
    // The name under which the window's frame is kept.
    static inline const QString WindowNibName = QStringLiteral("MultiFileWindow");

    // A window for the container document, which lives as long as the window.
    explicit QVMultiFileWindowController(std::unique_ptr<QVMultiFileDocument> mainDocument, QWidget* parent = nullptr);
    ~QVMultiFileWindowController() override;

    QVMultiFileDocument* mainDocument() const { return _mainDocument.get(); }
    QVTabView* tabView() const { return _tabView; }
    void setClosingLastTabClosesDocument(bool closes) { _closingLastTabClosesDocument = closes; }

    QVFileDocument* activeDocument() const { return _activeDocument; }
    QVFileDocument* document() const override { return _activeDocument; }
    std::optional<bool> hasActiveDocument() const override { return _activeDocument != nullptr; }
    // In tab order.
    QList<QVFileDocument*> openDocuments() const;

    // Brings the document's tab forward (making it when the document has none yet); none
    // selects no tab.
    void activateDocument(QVFileDocument* document) override;
    // Opens the file node's document as a tab (or brings its tab forward). A folder opens nothing.
    virtual void openFile(const std::shared_ptr<QVFile>& file);
    // The document of the file at path: an open one (however the path is spelled: links, "..",
    // doubled slashes) comes forward, else the file opens in a new tab. None when nothing opened.
    virtual QVFileDocument* openFileAtPath(const QString& path);
    virtual std::unique_ptr<QVFileDocument> createDocumentForFile(const std::shared_ptr<QVFile>& file);
    QVFileDocument* documentForFile(const std::shared_ptr<QVFile>& file) const;
    QVFileDocument* documentForPath(const QString& path) const;
    // A document's tab identifier changed (it was saved under another name).
    void documentUUIDChangedTo(const QString& oldUUID, const QString& newUUID);
    QList<QVFileDocument*> editedDocuments() const;
    // One item per open document in tab order, the active one checked; choosing one brings it
    // forward.
    QMenu* menuForOpenFiles(QWidget* parent);
    // Takes the document out of the window (its tab is gone already) and lets it go.
    virtual void closeDocument(QVFileDocument* document);
    HTMLView* currentTextView() const override;

    // The window's commands.
    void previousFile();
    void nextFile();
    void closeCurrentFile();
    void closeOpenFiles();
    void saveAllFiles();

    // What the documents tell their window.
    void documentNeedsRefresh(QVFileDocument* document) override;
    void documentShouldForceClose(QVFileDocument* document) override;
    std::shared_ptr<QVFile> backingFileForPath(QVFileDocument* document, const QString& path) override;
    void documentSavedAs(QVFileDocument* document) override { documentNeedsRefresh(document); }

    // Asks for the window's close: answer hears exactly once whether it may close (after the
    // close sheet, and after the saves it asked for); the tabs are closed when it may.
    void canCloseWindow(std::function<void(bool mayClose)> answer);
    // Whether a close of all the tabs waits for the sheet or for saves.
    bool closeSequenceRunning() const { return bool(_pendingSaveContext) || _sheetOpen; }

    // The close keys: while the window has an open document Ctrl+W closes the tab and
    // Ctrl+Shift+W the window; without one Ctrl+W closes the window.
    void updateCloseItems();
    QAction* closeTabAction() const { return _closeTabAction; }
    QAction* closeAllTabsAction() const { return _closeAllAction; }
    QAction* saveAllAction() const { return _saveAllAction; }
    QAction* nextTabAction() const { return _nextAction; }
    QAction* previousTabAction() const { return _previousAction; }
    // Enables the window's commands for its documents.
    void updateActions();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

    // No document in front any more, the tabs left as they are (a tab of another kind came
    // forward).
    void deactivateActiveDocument();

    // QVTabViewDelegate; a subclass adds to them.
    QWidget* viewForTabView(QVTabView* tabView, qint64 index) override;
    void tabViewDidSelectTabAtIndex(QVTabView* tabView, qint64 index) override;
    bool tabViewShouldCloseTab(QVTabView* tabView, const QString& identifier, qint64 index) override;
    void tabViewDidCloseTab(QVTabView* tabView, const QString& identifier, qint64 index, void* context) override;
    void tabViewDraggedTabFromIndex(QVTabView* tabView, qint64 from, qint64 to) override;

private:
    struct CloseRequest;

    qint64 indexOfDocument(const QVFileDocument* document) const;
    QVFileDocument* documentAtIndex(qint64 index) const;
    QWidget* viewOfDocument(QVFileDocument* document) const;
    static QString uuidOf(const QVFileDocument* document);
    void tryToCloseDocument(QVFileDocument* document);
    void closeOpenFilesWithContext(const std::shared_ptr<CloseRequest>& request);
    void closeSheetEnded(int result, const QList<QVFileDocument*>& documents, const std::shared_ptr<CloseRequest>& request);
    void documentSaveForCloseFinished(QVFileDocument* document, quint64 sequence, bool saved);
    void endCloseSequence(bool mayClose);
    void buildTabMenus();

    QVTabView* _tabView = nullptr;
    std::unique_ptr<QVMultiFileDocument> _mainDocument;
    QVFileDocument* _activeDocument = nullptr;
    QVMultiFileCloseController* _multiFileCloseController = nullptr;
    std::vector<std::unique_ptr<QVFileDocument>> _openDocuments;
    QHash<QString, QVFileDocument*> _fileToDocument;
    bool _closingLastTabClosesDocument = false;
    // The close of all the tabs under way: the documents whose saves it waits for (others'
    // saves never count), and the request it answers.
    QSet<const QVFileDocument*> _pendingSaves;
    std::shared_ptr<CloseRequest> _pendingSaveContext;
    quint64 _closeSequence = 0;
    bool _sheetOpen = false;
    // The window may close now: the question was answered yes.
    bool _closeAgreed = false;
    QAction* _closeTabAction = nullptr;
    QAction* _closeAllAction = nullptr;
    QAction* _saveAllAction = nullptr;
    QAction* _nextAction = nullptr;
    QAction* _previousAction = nullptr;
};
