// What a file tree tells the window that shows it (the project window, the multi-file window).
// Every node of a tree has the same delegate; all calls come on the main thread.
#pragma once

#include "platform/QVError.h"

#include <memory>
#include <optional>

class QVFile;

class QVFileTreeDelegate {
public:
    virtual ~QVFileTreeDelegate() = default;

    // The node's children, sides or name changed: redraw it (the whole outline for the root).
    virtual void fileNeedsRefresh(const std::shared_ptr<QVFile>& file) = 0;
    // The child left the tree after a delete or trash: close its document, refresh the parent.
    virtual void fileRemovedChild(const std::shared_ptr<QVFile>& parent, const std::shared_ptr<QVFile>& child) = 0;
    // A copy was made: start an inline rename of it.
    virtual void fileWasDuplicatedToFile(const std::shared_ptr<QVFile>& file, const std::shared_ptr<QVFile>& copy) = 0;
    // A download finished: open the node.
    virtual void fileContentBecameAvailable(const std::shared_ptr<QVFile>& file) = 0;
    // Whether saved files go to the remote site.
    virtual bool fileShouldUpload(const std::shared_ptr<QVFile>& file) = 0;
    // True: a download goes onto the node's own local path. No answer counts as false.
    virtual std::optional<bool> downloadShouldOverwriteLocalFile(const std::shared_ptr<QVFile>&) { return std::nullopt; }
    virtual void presentErrorAlert(const QVError& error) = 0;
};
