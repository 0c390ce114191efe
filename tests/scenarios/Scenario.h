// What the scenarios share: the application as qorvel sets it up, and the few moves a user makes
// in its windows (clicks on outline rows, keys to the widget that has the focus).
#pragma once

#include <QList>
#include <QString>

#include <chrono>
#include <functional>

class HTMLView;
class QMainWindow;
class QMessageBox;
class QModelIndex;
class QVDocumentController;
class QVProjectView;
class QVProjectWindowController;
class QWidget;

namespace scenario {

// The application controller after the set-up and launch qorvel runs (once per process; no
// untitled window is left open).
QVDocumentController& application();
// Closes every window and message box, dropping unsaved changes.
void closeEverything();
// Shows window in front with the keyboard focus.
void bringForward(QWidget* window);
// Lets events run until done answers true or timeout passes.
bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// The project outline of a project window and the row of a name below parent (the root's rows
// without one); invalid when it is not shown.
QVProjectView* outline(QVProjectWindowController* window);
QModelIndex row(QVProjectView* view, const QString& name, const QModelIndex& parent);
void click(QVProjectView* view, const QModelIndex& row);
void doubleClick(QVProjectView* view, const QModelIndex& row);

// Keys and text to whatever has the keyboard focus now.
void key(int key, int modifiers = 0);
void type(const QString& text);

// The visible message boxes.
QList<QMessageBox*> visibleBoxes();

}  // namespace scenario
