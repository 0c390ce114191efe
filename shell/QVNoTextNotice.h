// What a command that acts on a text says when no text is in front to act on (a snippet or a
// script chosen while the Welcome or Preview window is in front, or with every document closed).
#pragma once

#include <QString>

class QVNoTextNotice {
public:
    QVNoTextNotice() = delete;
    // A message on the active window (or on its own) naming the command.
    static void show(const QString& command);
};
