// Path operations on URL strings.
#include "shell/URLStringAdditions.h"

QString URLStringAdditions::urlStringByAppendingPathComponent(const QString& url, const QString& component) {
    if (url.endsWith(QLatin1Char('/'))) return url + component;
    return url + QLatin1Char('/') + component;
}

QString URLStringAdditions::urlStringByDeletingLastPathComponent(const QString& url) {
    const qsizetype slash = url.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? url : url.left(slash);
}
