// What a file-tree node reads from a version-control status record.
#pragma once

#include <QString>
#include <QtGlobal>

class QVSCMStatusEntry {
public:
    // The client's words in its order ("normal": no entry, or NoStatus).
    static constexpr qint32 NoStatus = 0;
    static constexpr qint32 AddedStatus = 1;
    static constexpr qint32 ConflictedStatus = 2;
    static constexpr qint32 DeletedStatus = 3;
    static constexpr qint32 IgnoredStatus = 4;
    static constexpr qint32 ModifiedStatus = 5;
    static constexpr qint32 ReplacedStatus = 6;
    static constexpr qint32 ExternalStatus = 7;
    static constexpr qint32 UnversionedStatus = 8;
    static constexpr qint32 MissingStatus = 11;

    virtual ~QVSCMStatusEntry() = default;
    // The path below the node the entries are handed to, components separated by "/".
    virtual QString path() const = 0;
    virtual qint32 workingCopyStatus() const = 0;
    virtual QString workingCopyStatusLetter() const = 0;
};
