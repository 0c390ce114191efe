// The editor the application's tools act on: the editor view holding the focus, else the one
// that held it last while it is still shown (a tool window such as the colour panel takes the
// focus away from it).
#pragma once

#include <functional>

class HTMLView;

class QVFrontEditor {
public:
    QVFrontEditor() = delete;
    // Starts following the focus; called once the application object exists (install()ers do).
    static void follow();
    // The front editor, none when no editor is shown.
    static HTMLView* view();
    // Tests name the editor themselves; an empty function restores the focus rule.
    static void setOverride(std::function<HTMLView*()> view);
};
