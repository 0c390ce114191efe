// The informative text of an alert, which may be a tool's whole output (hundreds of lines of
// Subversion or Tidy messages): a long one scrolls inside the alert, which stays within its screen.
#pragma once

#include <QString>

class QMessageBox;

// Sets text as the box's informative text. Text longer than a few lines, or with a run the label
// could not break within the alert's width (a very long file name), goes into a read-only
// scrolling field below the message instead, which wraps anywhere, sized so that the whole
// alert (buttons included) fits the screen the box is shown on. Call it after the box's other texts and buttons are set.
void QVSetAlertDetails(QMessageBox* box, const QString& text);
