// The seam through which the search runner finds the application's documents and the front
// project: filled in by the application controller; until then every answer is empty.
#pragma once

#include "tools/QVSearchDocument.h"

#include <QList>
#include <QString>

#include <memory>

// Main thread only.
class QVSearchScopes {
public:
    virtual ~QVSearchScopes() = default;
    // The active file document of the front window (mode 0).
    virtual std::shared_ptr<QVSearchDocument> frontDocument() { return nullptr; }
    // The root folder of the front window's project (mode 1); empty for none.
    virtual QString frontProjectRootPath() { return {}; }
    // Every open file document, in window order (mode 2).
    virtual QList<std::shared_ptr<QVSearchDocument>> openDocuments() { return {}; }
    // The open document of a file, looked up when a file is searched or replaced.
    virtual std::shared_ptr<QVSearchDocument> documentForPath(const QString& path);
    // The open document whose notifications carry object.
    virtual std::shared_ptr<QVSearchDocument> documentForObject(const void* object);

    // What the multi-file find offers: a document window at all (mode 0), a front window that
    // holds several files (a tabbed or project window, mode 1), and whether the front window's
    // project keeps its files on a remote site (searched only in their local copies).
    virtual bool hasDocumentWindow() { return frontDocument() != nullptr; }
    virtual bool frontIsMultiFile() { return false; }
    virtual bool frontProjectHasRemoteSite() { return false; }
};
