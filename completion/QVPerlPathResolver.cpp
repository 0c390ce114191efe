// Perl module names and paths: "A::B" looked for as "A/B.pm" in @INC, then beside the including file.
#include "completion/QVPerlPathResolver.h"

#include "shell/QVFileCategories.h"

const QString QVPerlPathResolver::SearchPathScript = QStringLiteral(
    "#!/usr/bin/env perl\n"
    "foreach(@INC) {\n"
    "print $_ . \"\\n\";\n"
    "}\n"
    "exit 0;\n");

const QVPerlPathResolver& QVPerlPathResolver::sharedResolver() {
    static const QVPerlPathResolver resolver;
    return resolver;
}

QString QVPerlPathResolver::pathForRelativeString(const QString& string, const QString& base, bool* isTag) const {
    const bool isModuleName = !string.isEmpty() && QVFileCategories::pathExtension(string).isEmpty();
    QString written = string;
    if (isModuleName) {
        written.replace(QStringLiteral("::"), QStringLiteral("/"));
        while (written.endsWith(QLatin1Char('/'))) written.chop(1);
        written += QStringLiteral(".pm");
    }
    const QString path = QVPathResolver::pathForRelativeString(written, base, isTag);
    if (path.isNull() && isModuleName) {
        if (isTag) *isTag = true;
        return string;
    }
    return path;
}

QStringList QVPerlPathResolver::searchPaths() const {
    // Asked once per run; a second thread asking meanwhile waits for the first answer.
    static const QStringList folders = searchPathsFromScript(QStringLiteral("Perl"), SearchPathScript);
    return folders;
}
