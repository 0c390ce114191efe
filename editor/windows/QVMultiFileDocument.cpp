// The container document of a tabbed window.
#include "editor/windows/QVMultiFileDocument.h"

#include "editor/QVFileDocument.h"
#include "editor/windows/QVMultiFileWindowController.h"

#include <memory>

namespace {

QList<QVMultiFileDocument*>& containers() {
    static QList<QVMultiFileDocument*> list;
    return list;
}

}  // namespace

QVMultiFileDocument::QVMultiFileDocument(const QString& path) : _fileToOpen(path) { containers().append(this); }

QVMultiFileDocument::~QVMultiFileDocument() { containers().removeAll(this); }

QList<QVMultiFileDocument*> QVMultiFileDocument::openContainers() { return containers(); }

void QVMultiFileDocument::noteFront(QVMultiFileDocument* container) {
    if (containers().removeAll(container)) containers().append(container);
}

QVMultiFileWindowController* QVMultiFileDocument::openWindow(const QString& path) {
    auto container = std::make_unique<QVMultiFileDocument>(path);
    QVMultiFileDocument* made = container.get();
    QVMultiFileWindowController* window = made->makeWindowControllers(std::move(container));
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->show();
    return window;
}

QVMultiFileWindowController* QVMultiFileDocument::makeWindowControllers(std::unique_ptr<QVMultiFileDocument> self) {
    auto* window = new QVMultiFileWindowController(std::move(self));
    _multiFileController = window;
    window->setClosingLastTabClosesDocument(true);
    if (!_fileToOpen.isEmpty()) openFileAtPath(std::exchange(_fileToOpen, {}));
    return window;
}

QVFileDocument* QVMultiFileDocument::activeDocument() const {
    return _multiFileController ? _multiFileController->activeDocument() : nullptr;
}

QVFileDocument* QVMultiFileDocument::documentForPath(const QString& path) const {
    return _multiFileController ? _multiFileController->documentForPath(path) : nullptr;
}

QVFileDocument* QVMultiFileDocument::openFileAtPath(const QString& path) {
    return _multiFileController ? _multiFileController->openFileAtPath(path) : nullptr;
}

QList<QVFileDocument*> QVMultiFileDocument::openDocuments() const {
    return _multiFileController ? _multiFileController->openDocuments() : QList<QVFileDocument*>();
}

bool QVMultiFileDocument::isDocumentEdited() const {
    for (QVFileDocument* document : openDocuments())
        if (document->isDocumentEdited()) return true;
    return false;
}
