// What the status bar asks of the active document.
#pragma once

#include <memory>

class QVBundle;
class QVStatusBar;

class QVStatusBarDelegate {
public:
    virtual ~QVStatusBarDelegate() = default;
    // The user chose a language mode in the bar: the bundle, or null for "Unknown".
    virtual void statusBarSetMode(QVStatusBar* bar, const std::shared_ptr<QVBundle>& bundle) = 0;
};
