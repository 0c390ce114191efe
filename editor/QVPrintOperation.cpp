// Printing a file document.
#include "editor/QVPrintOperation.h"

#include "editor/HTMLView.h"
#include "editor/QVFileDocument.h"
#include "platform/AppBundle.h"

#include <QMarginsF>
#include <QPageLayout>
#include <QPagedPaintDevice>

void QVPrintOperation::configure(QPagedPaintDevice& device) {
    device.setPageMargins(QMarginsF(Margin, Margin, Margin, Margin), QPageLayout::Point);
}

bool QVPrintOperation::canPrint(const QVFileDocument& document) { return document.textView() != nullptr; }

bool QVPrintOperation::print(const QVFileDocument& document, QPagedPaintDevice& device, QVError* error) {
    const HTMLView* view = document.textView();
    if (!view) {
        qvSetError(error, QVError::app(0, QVLocalized(QStringLiteral("This document cannot be printed."))));
        return false;
    }
    if (!view->print(&device)) {
        qvSetError(error, QVError::app(0, QVLocalized(QStringLiteral("The document \u201c%1\u201d could not be printed.")).arg(document.displayName()),
                                       QVLocalized(QStringLiteral("Check the printer or the file chosen to print to."))));
        return false;
    }
    return true;
}
