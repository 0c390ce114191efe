// The process-wide find pasteboard.
#include "tools/QVFindPasteboard.h"

QVFindPasteboard& QVFindPasteboard::general() {
    static QVFindPasteboard pasteboard;
    return pasteboard;
}

QString QVFindPasteboard::string() const {
    QMutexLocker locker(&_lock);
    return _string;
}

void QVFindPasteboard::setString(const QString& string) {
    QMutexLocker locker(&_lock);
    _string = string;
}
