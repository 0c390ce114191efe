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
    // The save named save (as the document gave it to contentsDidChange) is complete, with its
    // upload when there is one, or locally when the site is offline. A save may be named twice
    // (offline, then when its queued upload ends): only the first report counts.
    virtual void fileContentChangeFinished(quint64 save) = 0;
    // The upload after the save named save failed: that save ends, the document stays edited.
    virtual void fileContentChangeFailed(quint64 save, const QVError& error) = 0;
};
