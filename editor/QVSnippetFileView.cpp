// The snippet file view.
#include "editor/QVSnippetFileView.h"

#include "editor/HTMLView.h"
#include "editor/QVSnippetRepository.h"

#include <QDir>
#include <QVBoxLayout>

namespace {

QVSnippetFileView::SettingsBarFactory& settingsBarFactory() {
    static QVSnippetFileView::SettingsBarFactory factory;
    return factory;
}

}  // namespace

QVSnippetFileView::QVSnippetFileView(QVFileDocument* document, const QString& path) : QVTextFileView(document, path) {}

QVSnippetFileView::~QVSnippetFileView() {
    // The editor view inside belongs to the container once it was made.
    if (_mainView && !_mainView->parent()) delete _mainView.data();
}

bool QVSnippetFileView::canDisplayPath(const QString& path) {
    if (path.isEmpty()) return false;
    const QString folder = QDir::cleanPath(QVSnippetRepository::snippetsLocation());
    return QDir::cleanPath(path).startsWith(folder + QLatin1Char('/'));
}

void QVSnippetFileView::setSettingsBarFactory(SettingsBarFactory factory) { settingsBarFactory() = std::move(factory); }

QWidget* QVSnippetFileView::mainView() {
    if (_mainView) return _mainView;
    const SettingsBarFactory& factory = settingsBarFactory();
    if (!factory || !textView()) return QVTextFileView::mainView();
    _mainView = new QWidget;
    auto* layout = new QVBoxLayout(_mainView);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(textView(), 1);
    if (QWidget* bar = factory(*this)) layout->addWidget(bar);
    return _mainView;
}
