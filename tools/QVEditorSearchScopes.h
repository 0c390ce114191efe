// The multi-file find's view of the running editor: the document windows in the order they were
// last in front, their file documents, and the front window's project (through a seam until
// projects arrive).
#pragma once

#include "tools/QVSearchScopes.h"

#include <QList>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QVDocumentWindowController;
class QVFileDocument;

// Main thread only. A document is handed out as a QVSearchDocument that checks, at every use,
// that its window still holds it: one kept past its close answers nothing and changes nothing.
class QVEditorSearchScopes : public QVSearchScopes {
public:
    QVEditorSearchScopes();
    ~QVEditorSearchScopes() override;

    std::shared_ptr<QVSearchDocument> frontDocument() override;
    QString frontProjectRootPath() override;
    QList<std::shared_ptr<QVSearchDocument>> openDocuments() override;
    bool hasDocumentWindow() override { return !documentWindows().isEmpty(); }
    bool frontIsMultiFile() override;
    bool frontProjectHasRemoteSite() override;

    // The document windows, the front one first (the order in which they were last activated).
    static QList<QVDocumentWindowController*> documentWindows();
    // The search document of a file document shown by window.
    static std::shared_ptr<QVSearchDocument> searchDocument(QVDocumentWindowController* window, QVFileDocument* document);
    // The file document behind a search document made here (null when gone or not one of ours).
    static QVFileDocument* fileDocument(const std::shared_ptr<QVSearchDocument>& document);

    // The project of a window: its root folder and whether its files live on a remote site.
    struct Project {
        QString rootPath;
        bool remote = false;
    };
    using ProjectProvider = std::function<std::optional<Project>(QVDocumentWindowController* window)>;
    // Installed by the projects; without it no window has a project.
    static void setProjectProvider(ProjectProvider provider);

    // Opens a file for a chosen match through the application's open path and answers the
    // window that shows it; installed by the application controller.
    using Opener = std::function<QVDocumentWindowController*(const QString& path)>;
    static void setOpener(Opener opener);
    static QVDocumentWindowController* open(const QString& path);

private:
    std::optional<Project> frontProject();
};
