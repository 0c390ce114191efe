// User scripts in the editor: the Scripts menu and the run of one entry on the editor in front.
// A run works on a snapshot of the text on a worker thread while a sheet offers Stop; its
// output is placed only when the script succeeded and the text is still the one it read.
// A failed, stopped or timed-out script changes nothing and says why, with what it wrote to
// standard error.
#pragma once

#include "editor/QVEditorToolSeams.h"
#include "tools/QVUserScript.h"

#include <functional>
#include <memory>

class HTMLView;
class QMenu;
class QWidget;

// A menu entry as the editor's insertUserScript() takes it.
class QVUserScriptAction : public QVUserScriptContext {
public:
    explicit QVUserScriptAction(std::shared_ptr<QVUserScriptEntry> entry) : _entry(std::move(entry)) {}
    bool requiresSelection() const override { return _entry && _entry->requiresSelection(); }
    void actOnTextView(HTMLView& view) override;
    const std::shared_ptr<QVUserScriptEntry>& entry() const { return _entry; }

private:
    std::shared_ptr<QVUserScriptEntry> _entry;
};

class QVUserScriptRunner {
public:
    QVUserScriptRunner() = delete;

    // Registers the start-up item that fills the main menu's Scripts menu (the place
    // "userScriptsMenu") and routes its items to the editor in front (QVFrontEditor).
    static void install();
    // Reloads the scripts and fills menu with their items, in place of those of the last fill;
    // the menu's own items stay (above the scripts when they end in a separator, else below).
    // Any thread; the menu is filled on the main thread, the caller waiting.
    static void reloadMenu(QVUserScriptRepository& repository, QMenu* menu);

    enum class Outcome { Placed, Discarded, Failed, Edited, Gone };
    // Runs entry on view's text; finished (main thread) hears how it ended.
    static void run(HTMLView* view, const std::shared_ptr<QVUserScriptEntry>& entry,
                    std::function<void(Outcome)> finished = {});
    // Places a successful output by the entry's Output mode, as one undoable step named title.
    // Discarded for an unknown mode. input is what the script read (null for none): its final
    // line feed, if any, stays at the end of what is placed.
    static Outcome place(HTMLView& view, const QString& output, const QString& mode, const QString& title,
                         const QString& input = {});

    // Run limits (tests shorten them).
    static void setRunOptions(const QVUserScript::RunOptions& options);
    // How long a run goes before its Stop sheet shows.
    static void setSheetDelay(int milliseconds);
    // Where messages go (the "Output" of SeparateWindow too); default: a window-modal message box.
    using AlertSink = std::function<void(QWidget* window, const QString& message, const QString& informative)>;
    static void setAlertSink(AlertSink sink);
};
