// What the editor's insert commands need of the editing tools that come later: user scripts
// and the Tidy runner, the windows' Tools menu, and the preview (the document's preview
// commands, the text as it is typed). Until the tools install their side, these do nothing.
#pragma once

#include <QByteArrayView>
#include <QVariant>

#include <functional>
#include <memory>

class HTMLView;
class QMenu;
class QVFileDocument;

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

    // Shows the colour panel (the windows' insert-colour command); none: the command does nothing.
    using ColorPanelOpener = std::function<void()>;
    static void setColorPanelOpener(ColorPanelOpener opener) { colorPanelOpener() = std::move(opener); }
    static ColorPanelOpener& colorPanelOpener() {
        static ColorPanelOpener opener;
        return opener;
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

    // Commands a document hands to the tools before its editor view ("previewInBrowser" with
    // the browser chosen): true when one was performed.
    using DocumentCommands = std::function<bool(QVFileDocument& document, QByteArrayView action, const QVariant& object)>;
    static void setDocumentCommands(DocumentCommands commands) { documentCommands() = std::move(commands); }
    static DocumentCommands& documentCommands() {
        static DocumentCommands commands;
        return commands;
    }

    // Told after every change the user makes to an editor's text (the built-in preview follows
    // typing); main thread.
    using TextChangeObserver = std::function<void(HTMLView& view)>;
    static void setTextChangeObserver(TextChangeObserver observer) { textChangeObserver() = std::move(observer); }
    static TextChangeObserver& textChangeObserver() {
        static TextChangeObserver observer;
        return observer;
    }
};
