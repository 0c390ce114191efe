// The find pasteboard: the one search text the find windows share. Linux has no system-wide
// find pasteboard, so Qorvel keeps one per process.
#pragma once

#include <QMutex>
#include <QString>

class QVFindPasteboard {
public:
    static QVFindPasteboard& general();

    // The plain string on the pasteboard; null when nothing was written.
    QString string() const;
    // Replaces the pasteboard's contents with the string as its only item.
    void setString(const QString& string);

private:
    mutable QMutex _lock;
    QString _string;
};
