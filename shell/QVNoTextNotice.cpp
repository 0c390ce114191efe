#include "shell/QVNoTextNotice.h"

#include "platform/AppBundle.h"

#include <QApplication>
#include <QMessageBox>

void QVNoTextNotice::show(const QString& command) {
    QWidget* window = QApplication::activeWindow();
    auto* box = new QMessageBox(QMessageBox::Information, command,
                                QVLocalized(QStringLiteral("\u201c%1\u201d has no text to act on.")).arg(command),
                                QMessageBox::Ok, window);
    box->setObjectName(QStringLiteral("NoTextToActOn"));
    box->setTextFormat(Qt::PlainText);
    box->setInformativeText(QVLocalized(QStringLiteral("Click in the text of a document window, then choose it again.")));
    box->setAttribute(Qt::WA_DeleteOnClose);
    if (window) box->open();
    else box->show();
}
