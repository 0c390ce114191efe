// The container document of a tabbed window: no content of its own, it holds the file documents
// its window shows as tabs. Made for a file opened with tabs in use; its window opens with that
// file as the only tab and the container ends with the window.
#pragma once

#include "editor/windows/QVMultiFileWindowController.h"

#include <QList>
#include <QPointer>
#include <QString>

#include <memory>

class QVFileDocument;

class QVMultiFileDocument {
public:
    // A container that will open the file at path (none: an empty window) when its window is made.
    explicit QVMultiFileDocument(const QString& path = {});
    ~QVMultiFileDocument();
    QVMultiFileDocument(const QVMultiFileDocument&) = delete;
    QVMultiFileDocument& operator=(const QVMultiFileDocument&) = delete;

    // A shown window for a new container that opened the file (none: no tab). The window owns
    // the container and deletes itself, and the container with it, when it closes.
    static QVMultiFileWindowController* openWindow(const QString& path = {});
    // Makes the window, which takes the container (passed as self), and opens the file.
    QVMultiFileWindowController* makeWindowControllers(std::unique_ptr<QVMultiFileDocument> self);
    QVMultiFileWindowController* windowController() const { return _multiFileController; }

    QVFileDocument* activeDocument() const;
    QVFileDocument* documentForPath(const QString& path) const;
    QVFileDocument* openFileAtPath(const QString& path);
    QList<QVFileDocument*> openDocuments() const;
    bool isMultiFile() const { return true; }
    // Whether any open document has unsaved changes.
    bool isDocumentEdited() const;

    // The containers whose windows are open, the most recently made last.
    static QList<QVMultiFileDocument*> openContainers();
    // The container's window came to the front.
    static void noteFront(QVMultiFileDocument* container);

private:
    QPointer<QVMultiFileWindowController> _multiFileController;
    QString _fileToOpen;
};
