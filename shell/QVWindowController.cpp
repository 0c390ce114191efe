// The window base: status text and error sheets.
#include "shell/QVWindowController.h"

QVWindowController::QVWindowController(QWidget* parent) : QMainWindow(parent) {}

QVWindowController::~QVWindowController() = default;

void QVWindowController::setStatus(const QString& status) {
    if (status == _status) return;
    _status = status;
    Q_EMIT statusChanged(_status);
}

void QVWindowController::presentErrorAlert(const QVError& error, QVAlertManager::Recovery recovery) {
    if (!_alertManager) _alertManager = new QVAlertManager(this, this);
    _alertManager->presentError(error, std::move(recovery));
}
