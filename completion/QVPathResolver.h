// Finds the file that an include or require statement names: beside the including file or in a
// language's own search folders, which are learnt by running a small script through its interpreter.
#pragma once

#include "platform/QVError.h"

#include <QString>
#include <QStringList>

class QVPathResolver {
public:
    QVPathResolver() = default;
    virtual ~QVPathResolver() = default;
    QVPathResolver(const QVPathResolver&) = delete;
    QVPathResolver& operator=(const QVPathResolver&) = delete;

    // The process-wide resolver for plain paths.
    static const QVPathResolver& sharedResolver();
    // The process-wide resolver of a class name ("QVPathResolver", "QVRubyPathResolver",
    // "QVPerlPathResolver"), as indexing rules name it; null for any other name.
    static const QVPathResolver* resolverNamed(const QString& className);

    // The file a written path names, relative to base (the including file's path). Clears
    // *isTag when given. A path beginning with "/" comes back unchanged; anything else goes to
    // pathForRelativeString. A null string when no such file exists.
    QString pathForString(const QString& string, const QString& base, bool* isTag = nullptr) const;
    // Tries the search folders in their order, then the folder of base when there is one; the
    // first candidate that exists, or a null string. An empty string names nothing.
    virtual QString pathForRelativeString(const QString& string, const QString& base, bool* isTag) const;
    // The language's search folders, each with one trailing slash; none for plain paths.
    virtual QStringList searchPaths() const;

    // How long a search-folder script may run before it is killed.
    static constexpr int ScriptTimeoutMilliseconds = 10000;
    // Writes the script to a fresh private temporary file, makes it executable, runs it (a first
    // line "#!/usr/bin/env NAME" runs through /usr/bin/env with NAME), reads its output while it
    // runs, and removes the file again whatever happened. On exit status 0: the output's lines,
    // without empty lines and lines that are exactly ".", each with exactly one trailing slash.
    // Otherwise an empty list, with the reason in error (the temporary file, the start, the
    // time-out, or the exit status with what the script wrote to its error output).
    static QStringList pathsFromRunningScript(const QString& script, QVError* error = nullptr,
                                              int timeoutMilliseconds = ScriptTimeoutMilliseconds);

protected:
    // The search folders a script prints, or none (logged) when it cannot tell them.
    static QStringList searchPathsFromScript(const QString& language, const QString& script);
};
