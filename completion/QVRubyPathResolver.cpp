// Ruby require paths: ".rb" added when missing, Ruby's load path searched before the including file's folder.
#include "completion/QVRubyPathResolver.h"

#include "shell/QVFileCategories.h"

const QString QVRubyPathResolver::SearchPathScript = QStringLiteral(
    "#!/usr/bin/env ruby\n"
    "$:.each do |path|\n"
    "print path, \"\\n\"\n"
    "end\n"
    "exit 0\n");

const QVRubyPathResolver& QVRubyPathResolver::sharedResolver() {
    static const QVRubyPathResolver resolver;
    return resolver;
}

QString QVRubyPathResolver::pathForRelativeString(const QString& string, const QString& base, bool* isTag) const {
    QString written = string;
    if (!written.isEmpty() && QVFileCategories::pathExtension(written).isEmpty()) {
        while (written.endsWith(QLatin1Char('/'))) written.chop(1);
        written += QStringLiteral(".rb");
    }
    return QVPathResolver::pathForRelativeString(written, base, isTag);
}

QStringList QVRubyPathResolver::searchPaths() const {
    // Asked once per run; a second thread asking meanwhile waits for the first answer.
    static const QStringList folders = searchPathsFromScript(QStringLiteral("Ruby"), SearchPathScript);
    return folders;
}
