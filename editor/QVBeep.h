// The editor's beep, behind a sink that tests replace to count beeps.
#pragma once

#include <functional>

class QVBeep {
public:
    QVBeep() = delete;
    // Beeps through the sink (the application's beep until one is set).
    static void beep();
    // Replaces the sink; an empty one restores the application's beep. Answers the previous.
    static std::function<void()> setSink(std::function<void()> sink);
};
