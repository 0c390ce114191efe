// Runs Tidy operations from the editor: over the text of the view in front (the HTML Tidy
// menu), on a worker thread. The result replaces the view's text as one undoable "HTML Tidy"
// step, only if tidy produced a page and the text was not edited meanwhile; otherwise the text
// stays and tidy's messages are shown on the view's window.
#pragma once

#include "tools/QVTidyRun.h"

#include <functional>
#include <memory>

class HTMLView;
class QWidget;

class QVTidyRunner {
public:
    QVTidyRunner() = delete;

    // Installs the runner behind the editor's performTidy and the windows' Tools > HTML Tidy menu.
    static void install();

    enum class Outcome { Applied, NotSaved, Edited, Failed };
    // Tidies the view's text with the operations. finished (main thread) hears the outcome
    // once the run ended; the view may be gone by then.
    static void tidyView(HTMLView* view, const QList<std::shared_ptr<QVTidyOperation>>& operations,
                         std::function<void(Outcome, const QVTidyResult&)> finished = {});

    // Where alerts go; tests replace it. Default: a window-modal message box on window.
    using AlertSink = std::function<void(QWidget* window, const QString& message, const QString& informative)>;
    static void setAlertSink(AlertSink sink);
};
