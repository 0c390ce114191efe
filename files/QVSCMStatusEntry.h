// What a file-tree node reads from a version-control status record.
#pragma once

#include <QString>
#include <QtGlobal>

class QVSCMStatusEntry {
public:
    static constexpr qint32 ModifiedStatus = 5;
    static constexpr qint32 UnversionedStatus = 8;

    virtual ~QVSCMStatusEntry() = default;
    // The path below the node the entries are handed to, components separated by "/".
    virtual QString path() const = 0;
    virtual qint32 workingCopyStatus() const = 0;
    virtual QString workingCopyStatusLetter() const = 0;
};
