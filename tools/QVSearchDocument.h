// The seam through which the find tools see an open file document and its editor, implemented
// above them (the editor's documents); headless tests implement it over a plain string.
#pragma once

#include "platform/TextEncoding.h"
#include "shell/QVFullTextSource.h"

#include <QString>

// Main thread only, except that a worker may hold the object's weak pointer and the handle.
class QVSearchDocument {
public:
    virtual ~QVSearchDocument() = default;

    // The file's path; empty for an untitled document.
    virtual QString fileName() const = 0;
    // The name shown for a document without a file ("Untitled 2").
    virtual QString displayName() const = 0;
    // The editor's whole text; an empty handle when the document has no editor view.
    virtual QVFullTextSource::Handle textSource() const = 0;
    // The editor text's revision: every change moves it.
    virtual quint64 revision() const = 0;
    // Replaces the editor's whole text as one undo step named "Replace All", only while the text
    // is still at revision; answers whether it did.
    virtual bool applyReplaceAll(const QString& text, quint64 revision) = 0;
    // The encoding the document reads and writes its file in.
    virtual QVStringEncoding encoding() const = 0;
    // Whether the text is the fallback encoding's reading of bytes not valid in the file's own:
    // a replace writes only ASCII into it, as into such a file closed.
    virtual bool readInFallback() const { return false; }
    // The object the document's notifications (QVFileWillClose, QVFileDidSave,
    // QVFileBecameActive) are posted with.
    virtual const void* notificationObject() const { return this; }
};

// Posted (object: the document's notificationObject()) when a document is about to close; result nodes let go.
inline constexpr const char* QVSearchDocumentWillClose = "QVFileWillClose";
