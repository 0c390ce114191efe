// What the editor view tells its owner (in practice the file document).
#pragma once

#include "platform/QVError.h"

#include <QtGlobal>

class HTMLView;

class HTMLViewDelegate {
public:
    virtual ~HTMLViewDelegate() = default;
    // The escaped mode (every typing aid off) went on or off.
    virtual void htmlViewIsEscaped(HTMLView* view, bool escaped) = 0;
    // The selection now starts on line (1-based) at column (0-based).
    virtual void htmlViewChangedToLine(HTMLView* view, qint64 line, qint64 column) = 0;
    // Something went wrong; a critical error means the operation did not happen.
    virtual void htmlViewHadError(HTMLView* view, const QVError& error, bool isCritical) = 0;
};
