// A file on the local disk. Every operation works on the delegate's path and reports to the
// delegate before it returns; file-operation errors reach the delegate first.
#pragma once

#include "files/QVFileRepresentation.h"

class QVLocalFileRepresentation : public QVFileRepresentation {
public:
    using QVFileRepresentation::QVFileRepresentation;
    // typeField: the mode's type bits a listing saw (0 unknown).
    QVLocalFileRepresentation(Name entry, quint16 typeField) : QVFileRepresentation(std::move(entry)) { _typeHint = typeField; }

    // stat of the path (links followed): owner, group, mode, whole-second date, size.
    bool loadFileAttributes() override;
    // Lists the folder once (names that cannot be told apart from another name in this
    // program's encoding are left out); later calls report nothing.
    bool loadChildren() override;
    bool reloadChildren() override;
    void deleteFile(bool toTrash = false) override;
    void duplicate() override;
    void moveToTrash() override;
    // Both refuse an occupied name.
    void rename(const QString& name, const QVFileContext& context) override;
    bool moveToPath(const QString& path, const QVFileContext& context) override;

    // The representations of the folder's entries at path, hidden ones included; empty for
    // an unreadable folder.
    static QVFileRepresentationList listFolder(const QString& path);

private:
    QString path() const;
    void reportError(const QVError& error);
};
