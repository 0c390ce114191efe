#include "completion/QVCodeCompletionEntry.h"

#include "shell/QVSearch.h"

#include <QCoreApplication>

namespace {

// Built once, on whichever thread first needs them (bundles may load on the index thread);
// each use works on a copy, which shares the compiled pattern.
const QVSearch& optionalPartsSearch() {
    static const QVSearch search = [] {
        QVSearch made = QVSearch::withExpressionString(QStringLiteral("\\[(([^\\]]*)|(\\[[^\\]]*\\]))*\\]+"), false);
        made.setReplaceString(QStringLiteral(""));
        return made;
    }();
    return search;
}

const QVSearch& argumentsSearch() {
    static const QVSearch search = [] {
        QVSearch made = QVSearch::withExpressionString(
            QStringLiteral("(?:[a-zA-Z]+ )?([a-zA-Z0-9_$&]+(?:\\s*=\\s*[a-zA-Z0-9_]+)?)(,|\\))"), false);
        made.setReplaceString(QStringLiteral("[*$1*]$2"));
        return made;
    }();
    return search;
}

}  // namespace

QVCodeCompletionEntry::QVCodeCompletionEntry(const QString& key, const QString& stringRepresentation) : _key(key) {
    setStringRepresentation(stringRepresentation);
}

QString QVCodeCompletionEntry::stringRepresentation() const {
    return (_type.isNull() ? QString() : _type) + QLatin1Char(' ') + _prototype;
}

void QVCodeCompletionEntry::setStringRepresentation(const QString& representation) {
    const qsizetype blank = representation.indexOf(QLatin1Char(' '));
    if (blank < 0) {
        _prototype = representation;
        return;
    }
    _type = representation.left(blank);
    _prototype = representation.mid(blank + 1);
}

QString QVCodeCompletionEntry::completion() const {
    QString text = _prototype;
    // Plain words need no pattern at all: most keys are such.
    if (!text.contains(QLatin1Char('[')) && !text.contains(QLatin1Char(')')) && !text.contains(QLatin1Char(',')))
        return text;
    QVSearch optional = optionalPartsSearch();
    optional.replaceAllInString(text);
    QVSearch arguments = argumentsSearch();
    arguments.replaceAllInString(text);
    return text;
}

bool QVCodeCompletionEntry::hasPrefix(const QString& prefix) const {
    return _key.startsWith(prefix) || (!_type.isNull() && _type.startsWith(prefix));
}

void QVCodeCompletionEntry::setKeyFromEditor(const QString& key) {
    if (_prototype.isEmpty()) _prototype = key;
    _key = key;
}

QVError QVCodeCompletionEntry::validateKey(const QString& key) {
    if (!key.isEmpty()) return {};
    return QVError::app(0, QCoreApplication::translate("QVCodeCompletionEntry", "Key cannot be blank"),
                        QCoreApplication::translate("QVCodeCompletionEntry",
                                                    "Please provide a non-blank key or delete the entry."));
}
