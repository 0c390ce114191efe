// What a file representation asks of and reports to its owner (the file-tree node), always on
// the main thread.
#pragma once

#include "platform/QVError.h"

#include <QList>
#include <QString>
#include <QtGlobal>

#include <memory>

class QVFile;
class QVFileRepresentation;

// A file's type, from the type field of its mode (QVFileRepresentation::fileType).
enum QVFileType : qint32 {
    QVFileTypeFile = 0,
    QVFileTypeFolder = 1,
    QVFileTypeSymbolicLink = 2,
    QVFileTypeNamedPipe = 3,
    QVFileTypeCharacterDevice = 4,
    QVFileTypeBlockDevice = 5,
    QVFileTypeSocket = 6,
};

// The request a failure report is about.
enum class QVFileOperation {
    List,
    Upload,
    MakeDirectory,
    Download,
    Delete,
    Duplicate,
    Move,
    Rename,
    MoveToTrash,
};

using QVFileRepresentationList = QList<std::shared_ptr<QVFileRepresentation>>;
// The sibling node an operation may merge into; it comes back with the operation's report.
using QVFileContext = std::shared_ptr<QVFile>;

class QVFileRepresentationDelegate {
public:
    virtual ~QVFileRepresentationDelegate() = default;

    virtual QVFileType typeForFileRepresentation(QVFileRepresentation* representation) = 0;
    // The node's absolute local path.
    virtual QString pathForFileRepresentation(QVFileRepresentation* representation) = 0;
    // The node's path below the tree root (its remote path).
    virtual QString pathFromRootForFileRepresentation(QVFileRepresentation* representation) = 0;
    virtual QString pathFromRootForPath(const QString& path) = 0;
    // Where a download goes; empty, with the reason in error, when there is no safe place.
    virtual QString pathForRemoteFileRepresentation(QVFileRepresentation* representation, QVError* error) = 0;

    virtual void fileRepresentationContentBecameAvailable(QVFileRepresentation* representation) = 0;
    virtual void fileRepresentationContentChangeFinished(QVFileRepresentation* representation) = 0;
    // A file-operation error; the operation's own report follows.
    virtual void fileRepresentationHadError(QVFileRepresentation* representation, const QVError& error) = 0;
    virtual void fileRepresentationDidDelete(QVFileRepresentation* representation, bool success) = 0;
    // The copy's representation (no delegate yet), or null on failure.
    virtual void fileRepresentationDidDuplicate(QVFileRepresentation* representation,
                                                const std::shared_ptr<QVFileRepresentation>& copy) = 0;
    virtual void fileRepresentationDidMove(QVFileRepresentation* representation, bool success,
                                           const QVFileContext& context) = 0;
    virtual void fileRepresentationDidMoveToTrash(QVFileRepresentation* representation, bool success) = 0;
    virtual void fileRepresentationDidRename(QVFileRepresentation* representation, bool success,
                                             const QVFileContext& context) = 0;
    virtual void fileRepresentationDidLoadChildren(QVFileRepresentation* representation,
                                                   const QVFileRepresentationList& children) = 0;
    virtual void fileRepresentationDidReloadChildren(QVFileRepresentation* representation,
                                                     const QVFileRepresentationList& children) = 0;
    // A request that will never report success (a remote action refused by the server, a
    // connection given up, a download with nowhere to go). The node settles what waited for it.
    virtual void fileRepresentationFailed(QVFileRepresentation* representation, QVFileOperation operation,
                                          const QVError& error) = 0;
};
