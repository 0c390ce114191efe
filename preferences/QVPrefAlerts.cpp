// Non-blocking error boxes of the preferences.
#include "preferences/QVPrefAlerts.h"

#include "platform/SystemLog.h"
#include "shell/QVAlertDetails.h"

#include <QMessageBox>

namespace QVPrefAlerts {

void showError(QWidget* near, const QVError& error) {
    SystemLog::warning(QStringLiteral("preferences: %1").arg(error.localizedDescription()));
    auto* box = new QMessageBox(QMessageBox::Warning, error.localizedDescription(), error.localizedDescription(), QMessageBox::Ok,
                                near ? near->window() : nullptr);
    box->setObjectName(QStringLiteral("PrefsError"));
    QVSetAlertDetails(box, error.localizedRecoverySuggestion());
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

}  // namespace QVPrefAlerts
