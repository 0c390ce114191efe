// What the editor's insert commands need of the editing tools that come later: user scripts
// and the Tidy runner. Until the tools install their side, these commands do nothing.
#pragma once

#include <functional>
#include <memory>

class HTMLView;
class QWidget;

// A user script as a menu item represents it.
class QVUserScriptContext {
public:
    virtual ~QVUserScriptContext() = default;
    // Whether the script acts only on selected text (its item is disabled without a selection).
    virtual bool requiresSelection() const = 0;
    // Runs the script on the view's text.
    virtual void actOnTextView(HTMLView& view) = 0;
};

// A Tidy operation as a menu item represents it; the runner knows what it holds.
class QVTidyOperationItem {
public:
    virtual ~QVTidyOperationItem() = default;
};

class QVEditorToolSeams {
public:
    QVEditorToolSeams() = delete;
    // Shows a Tidy run of operation on window for the one file in front (forceSingleFile).
    using TidyRunner = std::function<void(QWidget* window, std::shared_ptr<QVTidyOperationItem> operation, bool forceSingleFile)>;
    static void setTidyRunner(TidyRunner runner) { tidyRunner() = std::move(runner); }
    static TidyRunner& tidyRunner() {
        static TidyRunner runner;
        return runner;
    }
};
