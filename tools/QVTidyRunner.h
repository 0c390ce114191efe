// Runs Tidy operations from the editor and the Tidy window: the run sheet (scope pop-up, progress
// bar) and its worker thread. Scopes: the current file, the open files (of every document
// window, front first) and the current site (every page of the front project's folder). An open
// file is tidied as the editor's text, unsaved edits too, and its result replaces the text as one
// undoable "HTML Tidy" step only if tidy produced a page and the text was not edited meanwhile;
// a page that is not open is replaced on disk atomically (QVTidyRun). Nothing is changed where
// tidy failed; its messages are shown in the sheet, which then stays open.
#pragma once

#include "tools/QVTidyRun.h"

#include <QDialog>
#include <QPointer>
#include <QStringList>

#include <functional>
#include <memory>

class HTMLView;
class QComboBox;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QVDocumentWindowController;

class QVTidyRunner : public QDialog {
    Q_OBJECT
public:
    enum Scope { CurrentFile = 0, OpenFiles = 1, CurrentSite = 2 };

    // A run sheet over window (the Tidy window, or a document window for a forced run). It
    // deletes itself when it closes.
    explicit QVTidyRunner(QWidget* window);
    ~QVTidyRunner() override;

    // Keeps the operations, shows the sheet; forced: the scope is the current file (view, when
    // given, else the front document's) and the run starts at once. Otherwise the scope chosen
    // last stays and the user starts the run.
    void displayOnWindow(const QList<std::shared_ptr<QVTidyOperation>>& operations, bool forceSingleFile,
                         HTMLView* view = nullptr);
    // Builds the work list for the scope and starts the worker. False when the scope allows no run.
    bool run();
    // While running: stop after the file in hand. Otherwise: close the sheet.
    void cancel();

    int scope() const { return _scope; }
    void setScope(int scope);
    bool running() const { return _running; }
    bool cancelled() const;
    bool finished() const { return _finished; }
    QList<std::shared_ptr<QVTidyOperation>> operations() const { return _operations; }
    qsizetype operationsCount() const { return _operations.size(); }
    bool allowCurrentFile() const;
    bool allowOpenFiles() const;
    bool allowCurrentSite() const;
    bool allowRun() const;

    // What the last run did, one line a file ("Tidied", "Not changed", errors with tidy's words).
    QStringList report() const { return _report; }
    QProgressBar* progressIndicator() const { return _progressIndicator; }
    QComboBox* scopePopUpButton() const { return _scopePopUpButton; }
    QPushButton* runButton() const { return _runButton; }

    // --- The editor's side ----------------------------------------------------------------------
    // Installs the runner behind the editor's performTidy and the windows' Tools > HTML Tidy menu.
    static void install();
    // How long a finished run's sheet stays (two seconds); tests shorten it.
    static void setCloseDelay(std::chrono::milliseconds delay);

    enum class Outcome { Applied, NotSaved, Edited, Failed };
    // Tidies the view's text without a sheet. finished (main thread) hears the outcome once the
    // run ended; the view may be gone by then.
    static void tidyView(HTMLView* view, const QList<std::shared_ptr<QVTidyOperation>>& operations,
                         std::function<void(Outcome, const QVTidyResult&)> finished = {});

    // Where alerts go; tests replace it. Default: a window-modal message box on window.
    using AlertSink = std::function<void(QWidget* window, const QString& message, const QString& informative)>;
    static void setAlertSink(AlertSink sink);

    // --- Where the scopes come from ---------------------------------------------------------------
    // The document windows, the most recently active first.
    static QList<QVDocumentWindowController*> documentWindows();
    // The folder of the site a document window shows; empty: the window shows none. By default
    // (and when set to nothing) a project window's project folder.
    using SiteFolderProvider = std::function<QString(QVDocumentWindowController* window)>;
    static void setSiteFolderProvider(SiteFolderProvider provider);

Q_SIGNALS:
    // The allow values or the running state changed.
    void stateChanged();
    // The run ended (cancelled or not) and the report is complete.
    void runFinished();

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    struct Item;
    struct Shared;

    void updateState();
    QList<Item> workList() const;
    void finish();

    std::shared_ptr<Shared> _shared;
    QList<std::shared_ptr<QVTidyOperation>> _operations;
    QPointer<HTMLView> _forcedView;
    bool _forced = false;
    int _scope = CurrentFile;
    bool _running = false;
    bool _finished = false;
    QStringList _report;
    QLabel* _operationsLabel = nullptr;
    QComboBox* _scopePopUpButton = nullptr;
    QProgressBar* _progressIndicator = nullptr;
    QPlainTextEdit* _messages = nullptr;
    QPushButton* _runButton = nullptr;
    QPushButton* _cancelButton = nullptr;
};
