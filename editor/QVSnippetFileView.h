// The view of a snippet file (a file in the application-support "snippets" folder): the text view
// with the snippet editor's settings bar under it.
#pragma once

#include "editor/QVTextFileView.h"

#include <functional>

// The snippet editor makes the settings bar; until it is installed (setSettingsBarFactory) a
// snippet shows as plain text.
class QVSnippetFileView : public QVTextFileView {
public:
    // Makes the bar for a snippet's view; the view takes it as a child of its main view.
    using SettingsBarFactory = std::function<QWidget*(QVSnippetFileView& view)>;

    QVSnippetFileView(QVFileDocument* document, const QString& path);
    ~QVSnippetFileView() override;

    // Whether path lies inside the snippets folder (whatever its extension).
    static bool canDisplayPath(const QString& path);
    static void setSettingsBarFactory(SettingsBarFactory factory);

    // The editor view and, when the snippet editor is installed, its bar below.
    QWidget* mainView() override;

private:
    QPointer<QWidget> _mainView;
};
