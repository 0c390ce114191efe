#include "tools/QVFrontEditor.h"

#include "editor/HTMLView.h"

#include <QApplication>
#include <QPointer>

namespace {

QPointer<HTMLView>& lastFocused() {
    static QPointer<HTMLView> view;
    return view;
}

std::function<HTMLView*()>& override_() {
    static std::function<HTMLView*()> view;
    return view;
}

HTMLView* editorOf(QWidget* widget) {
    for (; widget; widget = widget->parentWidget())
        if (auto* view = qobject_cast<HTMLView*>(widget)) return view;
    return nullptr;
}

}  // namespace

void QVFrontEditor::follow() {
    static bool following = false;
    if (following || !qApp) return;
    following = true;
    QObject::connect(qApp, &QApplication::focusChanged, qApp, [](QWidget*, QWidget* now) {
        if (HTMLView* view = editorOf(now)) lastFocused() = view;
    });
}

HTMLView* QVFrontEditor::view() {
    if (override_()) return override_()();
    if (HTMLView* focused = editorOf(QApplication::focusWidget())) return focused;
    HTMLView* last = lastFocused();
    return last && last->isVisible() ? last : nullptr;
}

void QVFrontEditor::setOverride(std::function<HTMLView*()> view) { override_() = std::move(view); }
