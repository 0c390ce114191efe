// What a site's own options may add to a client's command line. A site's settings may come from
// anyone (a project file in a downloaded folder connects by itself), so the options are read the
// way each client's option parser reads them (letters bundled behind one dash, values attached
// or in the next argument) and only options known to run nothing, load nothing and write
// nothing of the settings' choosing pass. Every ssh "-o" key must be on a list of harmless keys.
#pragma once

#include <QString>
#include <QStringList>

class QVClientOptions {
public:
    struct Verdict {
        QStringList arguments;  // what may reach the client, in order
        QStringList refused;    // each refused option as written (with its value)
        bool isClean() const { return refused.isEmpty(); }
    };

    // An option as the client reads it: its letter (or a long option's full name) and value. An
    // empty name stands for what the client would not read as options (a host, "--" and what
    // follows, an option without its value), the words in the value.
    struct Option {
        QString name;
        QString value;
        bool hasValue = false;
    };
    static QList<Option> read(const QStringList& arguments, int protocol);
    // Reads arguments as the client of the protocol (0 FTP, 1 SFTP, 2 WebDAV) would and splits
    // them into harmless ones and refused ones. An argument that is not an option (the client
    // would take it for its host) is refused too, and so is an option whose value is missing.
    static Verdict check(const QStringList& arguments, int protocol);
    // Whether an ssh option "Key=value" (or "Key value") is harmless: its key is on the list (an
    // identity file must lie in the user's own ~/.ssh).
    static bool isHarmlessSSHOption(const QString& option);
    // An ssh option split as ssh splits a configuration line: leading blanks and one "=" skipped,
    // a quoted key taken whole, then blanks and one "=" (none after a quoted key) before the value.
    struct SSHOption {
        QString key, value;
    };
    static SSHOption sshOption(const QString& option);
    // "-Fssh_config, -S prog": the refused options for a message.
    static QString describe(const QStringList& refused);
};
