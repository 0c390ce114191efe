// What the editor's insert commands need of the editing tools that come later: user scripts
// and the Tidy runner, and the windows' Tools menu. Until the tools install their side, these
// commands do nothing.
#pragma once

#include <functional>
#include <memory>

class HTMLView;
class QMenu;

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
    // Runs operation over the view's text (forceSingleFile: that file only, at once); the view
    // names the file and the window the run reports on.
    using TidyRunner = std::function<void(HTMLView* view, std::shared_ptr<QVTidyOperationItem> operation, bool forceSingleFile)>;
    static void setTidyRunner(TidyRunner runner) { tidyRunner() = std::move(runner); }
    static TidyRunner& tidyRunner() {
        static TidyRunner runner;
        return runner;
    }

    // Fills a document window's Tools menu (the HTML Tidy operations); frontView answers the
    // editor in front when an item is chosen (none: no text in front). Without a builder the
    // windows show no Tools menu.
    using ToolsMenuBuilder = std::function<void(QMenu* tools, std::function<HTMLView*()> frontView)>;
    static void setToolsMenuBuilder(ToolsMenuBuilder builder) { toolsMenuBuilder() = std::move(builder); }
    static ToolsMenuBuilder& toolsMenuBuilder() {
        static ToolsMenuBuilder builder;
        return builder;
    }

    // Adds the multi-file find's items to a document window's Edit > Find menu.
    using FindMenuBuilder = std::function<void(QMenu* find)>;
    static void setFindMenuBuilder(FindMenuBuilder builder) { findMenuBuilder() = std::move(builder); }
    static FindMenuBuilder& findMenuBuilder() {
        static FindMenuBuilder builder;
        return builder;
    }
};
