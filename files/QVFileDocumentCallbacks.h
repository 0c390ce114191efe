// What a file-tree node tells the open document of its file, on the main thread.
#pragma once

#include "platform/QVError.h"

class QVFileDocumentCallbacks {
public:
    virtual ~QVFileDocumentCallbacks() = default;

    // The node got a new name or folder: take its new path.
    virtual void filePathDidChange() = 0;
    // The watcher saw the file change on disk.
    virtual void fileContentsChangedExternally() = 0;
    // The local file vanished.
    virtual void fileContentsDisappeared() = 0;
    // A save (with its upload, when there is one) is complete: the document is no longer edited.
    virtual void fileContentChangeFinished() = 0;
    // The upload after a save failed: the save ends, the document stays edited.
    virtual void fileContentChangeFailed(const QVError& error) = 0;
};
