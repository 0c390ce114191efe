// The error-sheet queue of one window.
#include "shell/QVAlertManager.h"

#include "platform/AppBundle.h"
#include "platform/SystemLog.h"
#include "shell/QVAlertDetails.h"

#include <QApplication>
#include <QEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

QVAlertManager::QVAlertManager(QWidget* window, QObject* parent) : QObject(parent), _window(window) {
    // Any sheet's end is seen here, whoever opened it: the application's filter sees the hide
    // of every window-modal dialog.
    qApp->installEventFilter(this);
}

QVAlertManager::~QVAlertManager() {
    dropQueue();
}

void QVAlertManager::dropQueue() {
    // A sheet never shown is not a message the user saw: keep it where it can be found.
    if (_currentError && !_sheet) {
        _queue.push_front(std::move(*_currentError));
        _currentError.reset();
    }
    for (const Entry& entry : std::exchange(_queue, {})) {
        QString line = QStringLiteral("Error not shown, its window closed: ") + entry.error.localizedDescription();
        if (const QString suggestion = entry.error.localizedRecoverySuggestion(); !suggestion.isEmpty())
            line += QLatin1Char(' ') + suggestion;
        SystemLog::error(line);
    }
}

bool QVAlertManager::hasSheet(const QWidget* window) {
    if (!window) return false;
    for (const QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget == window || !widget->isVisible() || widget->windowModality() != Qt::WindowModal) continue;
        if (const QWidget* parent = widget->parentWidget(); parent && parent->window() == window) return true;
    }
    return false;
}

void QVAlertManager::presentError(const QVError& error, Recovery recovery) {
    // One failure told by two who heard of it (a site's queue and the file it acted for) is one
    // alert. Only a plain notice: a question answers its own asker.
    const auto same = [&error](const Entry& e) { return !e.recovery && e.error == error; };
    if (!recovery && error.localizedRecoveryOptions().isEmpty() && !error.recoveryAttempter() &&
        ((_currentError && same(*_currentError)) || std::any_of(_queue.begin(), _queue.end(), same)))
        return;
    _queue.push_back(Entry{error, std::move(recovery)});
    // In arrival order: errors already waiting go first.
    showNextError();
}

void QVAlertManager::present(Entry entry) {
    _currentError = std::move(entry);
    const QVError& error = _currentError->error;
    QString title = _window ? _window->windowTitle().remove(QStringLiteral("[*]")) : QString();
    auto* box = new QMessageBox(QMessageBox::Warning, title, error.localizedDescription(), QMessageBox::NoButton, _window);
    box->setObjectName(QStringLiteral("errorSheet"));
    QStringList options = error.localizedRecoveryOptions();
    if (options.isEmpty()) options << QVLocalized(QStringLiteral("OK"));
    QList<QPushButton*> buttons;
    QPushButton* escape = nullptr;
    for (const QString& option : options) {
        // Keeping one role for all keeps the buttons in the order the error gives them.
        QPushButton* button = box->addButton(option, QMessageBox::ActionRole);
        buttons << button;
        if (option == QVLocalized(QStringLiteral("Cancel"))) escape = button;
    }
    box->setDefaultButton(buttons.first());
    QVSetAlertDetails(box, error.localizedRecoverySuggestion());
    // Escape (and closing the sheet) picks Cancel, else the first option, which keeps the text
    // in the document's questions ("Keep Qorvel Changes", "Save File").
    box->setEscapeButton(escape ? escape : buttons.first());
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    connect(box, &QMessageBox::finished, this, [this, box, buttons, escape] {
        int option = int(buttons.indexOf(qobject_cast<QPushButton*>(box->clickedButton())));
        if (option < 0) option = escape ? int(buttons.indexOf(escape)) : 0;
        std::optional<Entry> ended = std::exchange(_currentError, std::nullopt);
        // The recovery may close the window or present more errors: let the sheet end first.
        if (ended && (ended->recovery || ended->error.recoveryAttempter()))
            QTimer::singleShot(0, this, [ended = std::move(*ended), option] {
                if (ended.recovery) ended.recovery(option);
                else ended.error.attemptRecovery(option);
            });
        scheduleAdvance();
    });
    _sheet = box;
    box->open();
}

bool QVAlertManager::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Close && watched == _window) {
        // Known only once the close event has been answered: the window may refuse to close.
        QTimer::singleShot(0, this, [this] {
            if (_window && !_window->isVisible()) dropQueue();
        });
    } else if (event->type() == QEvent::Hide && watched->isWidgetType()) {
        auto* widget = static_cast<QWidget*>(watched);
        if (widget->isWindow() && widget->windowModality() == Qt::WindowModal && widget->parentWidget() &&
            widget->parentWidget()->window() == _window)
            scheduleAdvance();
    }
    return false;
}

void QVAlertManager::scheduleAdvance() {
    // One sheet's end may be heard twice (its own end and its hide); both ask for one advance.
    if (std::exchange(_advancePosted, true)) return;
    QTimer::singleShot(0, this, [this] {
        _advancePosted = false;
        showNextError();
    });
}

void QVAlertManager::showNextError() {
    // Another sheet still up (one that opened meanwhile): its end advances again.
    if (_currentError || _queue.empty() || hasSheet(_window)) return;
    Entry next = std::move(_queue.front());
    _queue.pop_front();
    present(std::move(next));
}
