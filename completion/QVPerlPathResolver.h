// Resolves Perl module names and paths: "A::B" is looked for as "A/B.pm", in @INC first.
#pragma once

#include "completion/QVPathResolver.h"

class QVPerlPathResolver : public QVPathResolver {
public:
    static const QVPerlPathResolver& sharedResolver();

    // A string without an extension is a module name: "::" becomes "/" and ".pm" is added. A
    // module found nowhere comes back as the name itself with *isTag set, for the caller to treat
    // as a tag; a path with an extension found nowhere gives a null string.
    QString pathForRelativeString(const QString& string, const QString& base, bool* isTag) const override;
    // Perl's @INC, asked of the interpreter on the first call and kept for the whole run (empty
    // for the run when the interpreter cannot be run).
    QStringList searchPaths() const override;

    static const QString SearchPathScript;
};
