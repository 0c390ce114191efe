// Errors the panes show: a message box on the preferences window that does not block, so a
// failure met while the window closes (or the application quits) never stops the session's end.
#pragma once

#include "platform/QVError.h"

class QWidget;

namespace QVPrefAlerts {

// Shows the error (its description and recovery suggestion); the box is named "PrefsError".
void showError(QWidget* near, const QVError& error);

}  // namespace QVPrefAlerts
