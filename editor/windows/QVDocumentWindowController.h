// The base of every window that shows file documents (single-file, tabbed and project windows):
// what its documents ask of it, command routing to the document in front, the error-sheet
// queue, the toolbar, the status bar and the File, Edit and Go menus acting on the document in
// front.
#pragma once

#include "editor/QVFilePropertiesController.h"
#include "shell/QVAlertManager.h"

#include <QByteArrayView>
#include <QMainWindow>
#include <QPointer>
#include <QVariant>

#include <functional>
#include <memory>
#include <optional>

class HTMLView;
class QMenu;
class QVDocumentToolbarDelegate;
class QPrinter;
class QVFile;
class QVFileDocument;
class QVFileDocumentDelegate;
class QVProjectSCMController;
class QVStatusBar;
class QVViewStatusReporter;

// A document holds its window weakly through documentDelegate(), which forwards every call to the
// window's virtual methods below while the window lives and does nothing afterwards.
class QVDocumentWindowController : public QMainWindow {
    Q_OBJECT
public:
    explicit QVDocumentWindowController(QWidget* parent = nullptr);
    ~QVDocumentWindowController() override;

    // What the window's documents are given as their delegate.
    std::shared_ptr<QVFileDocumentDelegate> documentDelegate() const { return _documentDelegate; }

    // The document in front (the one Save and the toolbar act on); none in the base.
    virtual QVFileDocument* document() const { return nullptr; }
    // The editor view of the document in front; none in the base.
    virtual HTMLView* currentTextView() const { return nullptr; }
    // Whether the window has an active document, for windows that can have none (a tabbed
    // window without tabs); nothing for windows that always show one.
    virtual std::optional<bool> hasActiveDocument() const { return std::nullopt; }

    // --- What documents ask (through documentDelegate()) ----------------------------------------
    // A low-priority error becomes a status-bar warning; any other waits for its sheet, whose
    // recovery options are its buttons: the one chosen goes to the error's recovery attempter.
    virtual void presentErrorAlert(const QVError& error);
    // Show this document and make it the active one.
    virtual void activateDocument(QVFileDocument* document);
    // The document's name, path or edited state changed.
    virtual void documentNeedsRefresh(QVFileDocument* document);
    // The document's file went and the user let it go: close it without asking.
    virtual void documentShouldForceClose(QVFileDocument*) {}
    // Save As: the tree node of the new path; none in the base.
    virtual std::shared_ptr<QVFile> backingFileForPath(QVFileDocument*, const QString&) { return nullptr; }
    // The per-file settings of a file of the window's project (QVFileDocumentDelegate); none by
    // default.
    virtual bool projectFileConfiguration(QVFileDocument*, const QString&, const QString&, QVariant*) { return false; }
    virtual bool setProjectFileConfiguration(QVFileDocument*, const QString&, const QString&, const QVariant&) { return false; }
    // The save panel, window-modal; chosen hears the path picked, or an empty one.
    virtual void runSavePanel(QVFileDocument* document, const QString& suggestedPath, std::function<void(const QString& chosen)> chosen);
    virtual QVProjectSCMController* scmControllerForDocument(QVFileDocument*) { return nullptr; }
    // The bar that shows the document's state: the window's.
    virtual QVStatusBar* statusBarForDocument(QVFileDocument*) { return _statusBar; }
    // The window's status bar, at the bottom of its content.
    QVStatusBar* documentStatusBar() const { return _statusBar; }

    QVAlertManager* alertManager() const { return _alertManager; }
    // Shows text as a message over the status bar.
    void showWarning(const QString& text);

    // Routes a command to the document in front (which hands it on to its editor view), else to
    // the window itself. A command that comes back here while one is being routed (through the
    // document or its view) is refused, so routing never loops; the refusal leaves the routing
    // in progress as it was.
    bool tryToPerform(QByteArrayView action, const QVariant& object = {});
    // Toggles the focus between the quick-search field and the text.
    Q_INVOKABLE void focusOnQuickSearch();
    // Shows the colour panel (the toolbar's Color item).
    Q_INVOKABLE void insertColor();

    QVDocumentToolbarDelegate* toolbarDelegate() const { return _toolbarDelegate; }

    // Asks about the document's unsaved changes (Save, Don't Save, Cancel) in a sheet and calls
    // answer exactly once, on a later turn and only while the window lives: true when the
    // document may close (saved whole, or its changes dropped), false when the user cancelled
    // or the save failed or was cancelled (an error is shown). An unedited document is
    // answered at once.
    void askToCloseDocument(QVFileDocument* document, std::function<void(bool mayClose)> answer);

    // File > Save: writes the document in front (an untitled one through Save As); failures,
    // lossy writes and the question before overwriting a file changed on disk are shown.
    void saveDocument();
    // File > Save As: the save panel, then the write to the path chosen.
    void saveDocumentAs();
    // File > Revert to Saved: reads the file again; a failure changes nothing and is shown.
    void revertDocument();
    // File > Reopen with Encoding: an edited document asks first (save in the new encoding,
    // discard the changes, or cancel).
    Q_INVOKABLE void reopenUsingEncoding(const QString& charset);
    // Text > Special Characters and Text > Line Breaks (0 LF, 1 CR, 2 CR LF) for the text in front.
    Q_INVOKABLE void insertSpecialCharacter(const QString& entity);
    Q_INVOKABLE void setLineBreakType(int tag);
    // Go > Go to Line: the go-to-line sheet for the editor in front.
    void showGotoLinePanel();
    // File > Print: the print dialog, window-modal; the document in front prints when it is
    // accepted (an image does not print).
    void printDocument();
    // The print settings, kept from one print to the next (half-inch margins at first).
    QPrinter& printer();
    // File > Modify Document Properties: the properties sheet of the text in front, one at a time.
    void modifyDocumentProperties();
    QVFilePropertiesController* propertyController() const;

Q_SIGNALS:
    // Closing was asked about and refused: the user cancelled or a save failed.
    void closeRefused();

protected:
    // The subclass makes the delegate in its constructor; this puts its toolbar on the window.
    void setToolbarDelegate(QVDocumentToolbarDelegate* delegate);
    // Shows content above the status bar.
    void setContentView(QWidget* content);
    // Connects the editor view in front to the status bar: its line and column, escaped mode and
    // notices go to the bar, the bar's language pop-up to the view. Null: an image or nothing.
    void reportToStatusBar(HTMLView* view);
    // Gives the window the application's menu bar (QVMainMenu) with this window's items at
    // their places; subclasses add their own items afterwards.
    void buildMenus();
    // The window's title for the document in front named name (empty: none in front); a
    // subclass adds what the window stands for (a project's name).
    virtual QString windowTitleForDocumentDisplayName(const QString& name) const;
    // Text: the editor's insert, tag, block and folding commands, each on the text in front.
    void buildTextMenu();
    QMenu* fileMenu() const { return _fileMenu; }
    // File > Close Window (Ctrl+W); a tabbed window gives the key to closing a tab.
    QAction* closeAction() const { return _closeAction; }
    // The title, edited mark and Save state follow the document in front.
    void refreshForDocument();
    // Whether the document may be written: not when its file could not be read (the empty text
    // must never replace it).
    virtual bool canSave(const QVFileDocument* document) const;
    // A save to a path chosen in the panel succeeded.
    virtual void documentSavedAs(QVFileDocument*) {}

private:
    std::shared_ptr<QVViewStatusReporter> _viewReporter;
    std::shared_ptr<QVFileDocumentDelegate> _documentDelegate;
    QVStatusBar* _statusBar = nullptr;
    QVAlertManager* _alertManager = nullptr;
    QVDocumentToolbarDelegate* _toolbarDelegate = nullptr;
    QMenu* _fileMenu = nullptr;
    QAction* _saveAction = nullptr;
    QAction* _revertAction = nullptr;
    QAction* _closeAction = nullptr;
    // The close that waits for its document's save, answered no if another save replaces it.
    QVFileDocument* _closeSaveDocument = nullptr;
    std::function<void(bool)> _closeSaveReply;
    std::unique_ptr<QPrinter> _printer;
    QPointer<QVFilePropertiesController> _propertyController;
};
