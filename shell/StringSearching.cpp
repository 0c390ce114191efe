// Replacing and finding plain text inside strings.
#include "shell/StringSearching.h"

QString StringSearching::replaceAll(const QString& text, const QString& target, const QString& replacement) {
    if (target.isEmpty() || replacement.isNull()) return text;
    QString result = text;
    return result.replace(target, replacement, Qt::CaseInsensitive);
}

QString StringSearching::stringAfterString(const QString& text, const QString& marker) {
    if (marker.isEmpty()) return text;
    const qsizetype at = text.indexOf(marker);
    return at < 0 ? text : text.mid(at + marker.size());
}
