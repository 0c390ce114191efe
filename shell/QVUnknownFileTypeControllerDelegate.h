// What the owner of an unknown-file-type sheet hears when the sheet ends.
#pragma once

#include <QString>

#include <memory>

class QVFileCategory;
class QVUnknownFileTypeController;

class QVUnknownFileTypeControllerDelegate {
public:
    virtual ~QVUnknownFileTypeControllerDelegate() = default;
    // The user picked a category for the file (the extension was added to it), chose to ignore
    // files of its type (null category; the extension was made ignorable), or gave up (null
    // category; nothing changed). The delegate may destroy the controller from here.
    virtual void unknownFileTypeControllerDidPickFileType(QVUnknownFileTypeController* controller,
                                                          const std::shared_ptr<QVFileCategory>& category,
                                                          const QString& path) = 0;
};
