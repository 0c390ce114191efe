#include "kits/faultline/reports/FLTPermissionAlert.h"

#include "kits/faultline/reports/FLTCrashReportingController.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

QMessageBox* FLTMakePermissionAlert(const QString& title, const QString& message, const QString& cancel, const QString& send, const QString& alwaysSend) {
    auto* alert = new QMessageBox();
    alert->setAttribute(Qt::WA_DeleteOnClose, false);
    alert->setIcon(QMessageBox::Warning);
    alert->setText(title);
    alert->setInformativeText(message);
    // One role for all three: the style's button layout orders buttons by role, which put
    // "always send" first; a single role keeps them in the order added, left to right.
    QPushButton* sendButton = alert->addButton(send, QMessageBox::ActionRole);
    sendButton->setProperty("fltAnswer", 1000);
    int next = 1001;
    if (!alwaysSend.isNull()) alert->addButton(alwaysSend, QMessageBox::ActionRole)->setProperty("fltAnswer", next++);
    QPushButton* cancelButton = alert->addButton(cancel, QMessageBox::ActionRole);
    cancelButton->setProperty("fltAnswer", next);
    alert->setDefaultButton(sendButton);
    alert->setEscapeButton(cancelButton);
    return alert;
}

int FLTPermissionAlertAnswer(const QMessageBox* alert) {
    const QAbstractButton* clicked = alert->clickedButton();
    if (!clicked) clicked = alert->escapeButton();
    return clicked ? clicked->property("fltAnswer").toInt() : 1002;
}

void FLTInstallPermissionAlert() {
    FLTCrashReportingController::setAlertPresenter([](const QString& title, const QString& message, const QString& cancel, const QString& send,
                                                      const QString& alwaysSend) {
        std::unique_ptr<QMessageBox> alert(FLTMakePermissionAlert(title, message, cancel, send, alwaysSend));
        alert->exec();
        return FLTPermissionAlertAnswer(alert.get());
    });
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        QObject::connect(app, &QGuiApplication::applicationStateChanged, app, [](Qt::ApplicationState state) {
            FLTCrashReportingController::recordBackgroundState(state != Qt::ApplicationActive);
        });
}
