// The base of Qorvel's windows that are not document windows (settings, open-remote panel): a
// status text and the error-sheet queue.
#pragma once

#include "platform/QVError.h"
#include "shell/QVAlertManager.h"

#include <QMainWindow>
#include <QString>

class QVWindowController : public QMainWindow {
    Q_OBJECT
public:
    explicit QVWindowController(QWidget* parent = nullptr);
    ~QVWindowController() override;

    QString status() const { return _status; }
    void setStatus(const QString& status);

    // Shows the error as a sheet on the window, after the sheets before it.
    void presentErrorAlert(const QVError& error, QVAlertManager::Recovery recovery = {});
    // The queue; none until the first error.
    QVAlertManager* alertManager() const { return _alertManager; }

Q_SIGNALS:
    void statusChanged(const QString& status);

private:
    QVAlertManager* _alertManager = nullptr;
    QString _status;
};
