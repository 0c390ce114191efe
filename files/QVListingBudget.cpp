#include "files/QVListingBudget.h"

#include <QCoreApplication>

namespace {

QString tr(const char* text) { return QCoreApplication::translate("QVListingBudget", text); }

}  // namespace

bool QVListingBudget::refuse(const QString& why) {
    if (_refusal.isEmpty()) _refusal = why;
    return false;
}

bool QVListingBudget::takeAnswer(qint64 bytes) {
    if (refused()) return false;
    if (bytes <= _limits.answerBytes) return true;
    return refuse(tr("The site's answer is longer than %1 MB, more than Qorvel reads.").arg(_limits.answerBytes >> 20));
}

bool QVListingBudget::takeDepth(int depth) {
    if (refused()) return false;
    if (depth <= _limits.depth) return true;
    return refuse(tr("The site's answer nests more than %1 elements inside each other, more than Qorvel reads.")
                      .arg(_limits.depth));
}

bool QVListingBudget::takeText(qsizetype bytes) {
    if (refused()) return false;
    if (bytes <= _limits.textBytes) return true;
    return refuse(tr("The site's answer holds a name or text longer than %1 KB, more than Qorvel reads.")
                      .arg(_limits.textBytes >> 10));
}

bool QVListingBudget::takeEntry(qint64 keptBytes) {
    if (refused()) return false;
    ++_entries;
    _memory += keptBytes;
    if (_entries > _limits.entries)
        return refuse(tr("The site's answer lists more than %1 entries, more than Qorvel reads.").arg(_limits.entries));
    if (_memory > _limits.entryMemory)
        return refuse(tr("The site's answer would take more than %1 MB of memory to list, more than Qorvel reads.")
                          .arg(_limits.entryMemory >> 20));
    return true;
}

bool QVListingBudget::takeLines(QByteArrayView bytes) {
    for (qsizetype start = 0; start < bytes.size() && !refused();) {
        qsizetype end = bytes.indexOf('\n', start);
        if (end < 0) end = bytes.size();
        takeText(end - start);
        start = end + 1;
    }
    return !refused();
}
