// Resolves Ruby require paths: ".rb" is added when missing, and Ruby's load path is searched first.
#pragma once

#include "completion/QVPathResolver.h"

class QVRubyPathResolver : public QVPathResolver {
public:
    static const QVRubyPathResolver& sharedResolver();

    QString pathForRelativeString(const QString& string, const QString& base, bool* isTag) const override;
    // Ruby's load path, asked of the interpreter on the first call and kept for the whole run
    // (empty for the run when the interpreter cannot be run).
    QStringList searchPaths() const override;

    // The script that prints the load path, one folder a line.
    static const QString SearchPathScript;
};
