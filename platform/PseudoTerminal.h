// Interactive programs on a pseudo-terminal of their own: started from an argument vector,
// talked to through the terminal's controlling side.
#pragma once

#include <QString>
#include <QStringList>

#include <sys/types.h>

struct PseudoTerminalChild {
    pid_t pid = 0;       // 0 when nothing started
    int masterFD = -1;   // the controlling side, non-blocking and close-on-exec; the caller closes it
    int outputFD = -1;   // with output to a file: a reading end of its own (close-on-exec, the caller closes it); else -1
    QString error;       // why nothing started
    bool started() const { return pid > 0; }
};

class PseudoTerminal {
public:
    // Starts program (an absolute path) with args on a new terminal, in a session and process
    // group of its own that exist by the time spawn returns, so that a signal sent to the group
    // at once reaches the child. The child gets the caller's environment with extraEnvironment
    // ("NAME=value") added or replacing, and no descriptor of ours beyond the terminal. When the
    // program cannot be executed, the child prints "EXEC FAILED: <path>, <reason>" on its
    // terminal and exits with status 1.
    //
    // workingDirectory (when given) is entered before the program starts; when it cannot be,
    // the child prints "CHDIR FAILED: <folder>, <reason>" and exits with status 1 instead of
    // running anywhere else. A raw terminal neither echoes what is written to it nor turns the
    // program's line feeds into CR LF, so output arrives as the bytes the program wrote.
    //
    // With outputToFile, standard output and error go to one anonymous file in memory instead
    // (they interleave as on the terminal), which the caller reads as it grows, and the terminal
    // is the program's input only, not its controlling terminal. The program then outlives its
    // caller whole: our end closing sends it no hang-up and no write of its fails, so a program
    // in the middle of a change (a commit the repository has taken) finishes it.
    static PseudoTerminalChild spawn(const QString& program, const QStringList& args,
                                     const QStringList& extraEnvironment = {}, const QString& workingDirectory = {},
                                     bool rawTerminal = false, bool outputToFile = false);
    // Whether what is written to the terminal is echoed back (a password must not be typed then).
    static bool echoes(int masterFD);
};
