// A window's error sheets: errors are shown one at a time, in arrival order, as window-modal
// message boxes whose buttons are the errors' recovery options.
#pragma once

#include "platform/QVError.h"

#include <QMessageBox>
#include <QObject>
#include <QPointer>

#include <deque>
#include <functional>
#include <optional>

class QWidget;

// An error waits while any sheet (a window-modal dialog) is up on the window, whichever kind
// it is, and every end of a sheet advances the queue once: a sheet never stacks on another.
// Errors still waiting when the manager goes (its window closed) are written to the system log.
// Main thread only.
class QVAlertManager : public QObject {
    Q_OBJECT
public:
    // Called with the index of the recovery option chosen (0 for the only button of an error
    // without options; Cancel, else the first option, when the sheet was closed without a
    // button), on the turn of the event loop after the sheet ended. Without one, an error that
    // has a recovery attempter hands it the option.
    using Recovery = std::function<void(int option)>;

    explicit QVAlertManager(QWidget* window, QObject* parent = nullptr);
    ~QVAlertManager() override;

    // Shows the error now, or queues it while a sheet is up on the window. A notice (no
    // options, no recovery) equal to one showing or waiting is not shown again.
    void presentError(const QVError& error, Recovery recovery = {});

    // The error sheet now up (none: idle, or waiting for another sheet to end).
    QMessageBox* currentSheet() const { return _sheet; }
    // Errors waiting behind the current one.
    qsizetype queuedCount() const { return qsizetype(_queue.size()); }

    // Whether a window-modal dialog is visible on window.
    static bool hasSheet(const QWidget* window);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Entry {
        QVError error;
        Recovery recovery;
    };
    void present(Entry entry);
    void scheduleAdvance();
    void showNextError();
    // Writes the errors still waiting to the system log and forgets them.
    void dropQueue();

    QPointer<QWidget> _window;
    std::deque<Entry> _queue;
    std::optional<Entry> _currentError;
    QPointer<QMessageBox> _sheet;
    bool _advancePosted = false;
};
