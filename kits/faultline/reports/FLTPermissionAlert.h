// The windows side of crash reporting: the alert that asks the user whether to send a report of
// the last run (send, always send, don't send, in that order from left to right), and the observer that records
// whether the application is in the background.
#pragma once

class QMessageBox;
class QString;

// Installs the alert and the application-state observer; call once a QApplication exists.
void FLTInstallPermissionAlert();
// The alert as it is shown; the caller runs it (for tests, which answer it themselves).
QMessageBox* FLTMakePermissionAlert(const QString& title, const QString& message, const QString& cancel, const QString& send, const QString& alwaysSend);
// The answer of a finished alert: 1000 send, 1001 always send (or cancel without that button), 1002 cancel.
int FLTPermissionAlertAnswer(const QMessageBox* alert);
