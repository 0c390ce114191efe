// The editor's beep sink.
#include "editor/QVBeep.h"

#include <QApplication>

namespace {
std::function<void()>& sink() {
    static std::function<void()> handler;
    return handler;
}
}  // namespace

void QVBeep::beep() {
    if (sink()) sink()();
    else QApplication::beep();
}

std::function<void()> QVBeep::setSink(std::function<void()> handler) {
    std::function<void()> previous = std::move(sink());
    sink() = std::move(handler);
    return previous;
}
