// The file view base and the choice of a view for a path.
#include "editor/QVFileView.h"

#include "editor/HTMLView.h"
#include "editor/QVImageFileView.h"
#include "editor/QVSnippetFileView.h"
#include "editor/QVTextFileView.h"
#include "shell/ColorUtilities.h"
#include "shell/QVGradientBar.h"

std::unique_ptr<QVFileView> QVFileView::createViewForDocument(QVFileDocument* document, const QString& path) {
    if (QVSnippetFileView::canDisplayPath(path)) return std::make_unique<QVSnippetFileView>(document, path);
    if (QVImageFileView::canDisplayPath(path)) return std::make_unique<QVImageFileView>(document);
    return std::make_unique<QVTextFileView>(document, path);
}

void QVFileView::configureBottomBar(QVGradientBar* bar) {
    bar->setTopBorderWidth(1.0f);
    bar->setTopBorderColor(ColorUtilities::bottomToolbarBorderColor());
    bar->setBackgroundColor(ColorUtilities::bottomToolbarBackgroundColor());
}

bool QVFileView::loadFromPath(const QString&, const QString&, QVError*) { return false; }

bool QVFileView::loadFromData(const QByteArray&, const QString&, const QString&, QVError*) { return false; }

QVStringEncoding QVFileView::stringEncoding() {
    HTMLView* view = textView();
    return view ? view->stringEncoding() : 0;
}

void QVFileView::setStringEncoding(QVStringEncoding encoding) {
    if (HTMLView* view = textView()) view->setStringEncoding(encoding);
}
