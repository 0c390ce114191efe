// The allow-list of client options: each client's letters as its option parser reads them.
#include "files/QVClientOptions.h"

#include "files/QVRemoteFilesConnection.h"

#include <QSet>

namespace {

enum class Kind { Unknown, Flag, Value, RefusedFlag, RefusedValue };

// tnftp: -N names a netrc whose "macdef init" runs commands, -o writes a file, -u uploads one.
Kind ftpLetter(QChar c) {
    switch (c.unicode()) {
    case '4': case '6': case 'A': case 'a': case 'd': case 'e': case 'f': case 'g': case 'i': case 'n':
    case 'p': case 'R': case 't': case 'V': case 'v':
        return Kind::Flag;
    case 'P': case 'q': case 'r': case 's': case 'T': case 'x':
        return Kind::Value;
    case 'N': case 'o': case 'u':
        return Kind::RefusedValue;
    default:
        return Kind::Unknown;
    }
}

// OpenSSH sftp: -S and -D name programs to run, -F a configuration (which may name any), -b a
// batch of commands ("!" runs a shell), -J another ssh through a jump host, -s a server program;
// -A forwards the agent to the site, -1/-2/-h/-N change nothing useful or stop the client.
Kind sftpLetter(QChar c) {
    switch (c.unicode()) {
    case '4': case '6': case 'a': case 'C': case 'f': case 'p': case 'q': case 'r': case 'v':
        return Kind::Flag;
    case 'B': case 'c': case 'i': case 'l': case 'o': case 'P': case 'R': case 'X':
        return Kind::Value;
    case '1': case '2': case 'A': case 'h': case 'N':
        return Kind::RefusedFlag;
    case 'b': case 'D': case 'F': case 'J': case 'S': case 's':
        return Kind::RefusedValue;
    default:
        return Kind::Unknown;
    }
}

// cadaver: -r reads a script of commands.
Kind cadaverLetter(QChar c) {
    switch (c.unicode()) {
    case 't': return Kind::Flag;
    case 'p': return Kind::Value;
    case 'V': case 'h': case 'e': return Kind::RefusedFlag;
    case 'r': return Kind::RefusedValue;
    default: return Kind::Unknown;
    }
}

Kind letterKind(int protocol, QChar c) {
    switch (protocol) {
    case QVRemoteFilesConnection::FTP: return ftpLetter(c);
    case QVRemoteFilesConnection::SFTP: return sftpLetter(c);
    case QVRemoteFilesConnection::WebDAV: return cadaverLetter(c);
    default: return Kind::Unknown;
    }
}

struct LongOption {
    const char* name;
    Kind kind;
};

// cadaver's long options; getopt_long takes any unambiguous prefix of a name.
constexpr LongOption cadaverLongOptions[] = {
    {"tolerant", Kind::Flag}, {"proxy", Kind::Value}, {"rcfile", Kind::RefusedValue},
    {"version", Kind::RefusedFlag}, {"help", Kind::RefusedFlag},
};

const LongOption* longOption(const QString& written) {
    const LongOption* found = nullptr;
    for (const LongOption& option : cadaverLongOptions) {
        const QLatin1String name(option.name);
        if (name == written) return &option;
        if (!written.isEmpty() && name.startsWith(written)) {
            if (found) return nullptr;  // ambiguous: getopt_long refuses it, and so do we
            found = &option;
        }
    }
    return found;
}

bool valueIsHarmless(int protocol, QChar letter, const QString& value) {
    if (protocol == QVRemoteFilesConnection::SFTP && letter == u'o') return QVClientOptions::isHarmlessSSHOption(value);
    return true;
}

}  // namespace

QString QVClientOptions::sshOptionKey(const QString& option) {
    // ssh splits a configuration line at blanks or one "=", skipping an empty first word, and
    // takes a quoted word whole.
    qsizetype i = 0;
    while (i < option.size() && (option[i] == u' ' || option[i] == u'\t')) ++i;
    if (i < option.size() && option[i] == u'=') ++i;
    while (i < option.size() && (option[i] == u' ' || option[i] == u'\t')) ++i;
    if (i < option.size() && option[i] == u'"') {
        const qsizetype close = option.indexOf(u'"', i + 1);
        return close < 0 ? QString() : option.mid(i + 1, close - i - 1);
    }
    qsizetype end = i;
    while (end < option.size() && option[end] != u' ' && option[end] != u'\t' && option[end] != u'=') ++end;
    return option.mid(i, end - i);
}

bool QVClientOptions::isHarmlessSSHOption(const QString& option) {
    // Keys that start nothing, load no library and connect nowhere else. Left out on purpose:
    // ProxyCommand, ProxyJump, LocalCommand, PermitLocalCommand, KnownHostsCommand,
    // PKCS11Provider, SecurityKeyProvider, Include, Match, Host, ControlMaster/Path,
    // IdentityAgent, ForwardAgent and every forwarding, HostbasedAuthentication (ssh-keysign),
    // HashKnownHosts (an unhashed line in a known-hosts file of the settings' choosing begins with
    // the host name the settings give).
    static const QSet<QString> harmless = [] {
        QSet<QString> keys;
        for (const char* key :
             {"addressfamily", "batchmode", "bindaddress", "casignaturealgorithms", "certificatefile",
              "challengeresponseauthentication", "checkhostip", "ciphers", "compression", "connectionattempts",
              "connecttimeout", "escapechar", "fingerprinthash", "globalknownhostsfile",
              "hostkeyalgorithms", "hostkeyalias", "hostname", "identitiesonly", "identityfile", "ipqos",
              "kbdinteractiveauthentication", "kexalgorithms", "loglevel", "macs", "numberofpasswordprompts",
              "passwordauthentication", "port", "preferredauthentications", "pubkeyacceptedalgorithms",
              "pubkeyacceptedkeytypes", "pubkeyauthentication", "rekeylimit", "requiredrsasize",
              "serveralivecountmax", "serveraliveinterval", "stricthostkeychecking", "tcpkeepalive",
              "updatehostkeys", "user", "userknownhostsfile", "verifyhostkeydns"})
            keys.insert(QString::fromLatin1(key));
        return keys;
    }();
    return harmless.contains(sshOptionKey(option).toLower());
}

QVClientOptions::Verdict QVClientOptions::check(const QStringList& arguments, int protocol) {
    Verdict verdict;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        QStringList taken{argument};
        bool harmless = true;
        if (argument == QLatin1String("--")) {
            // Everything after it is the client's host and paths.
            verdict.refused << arguments.mid(i).join(u' ');
            break;
        }
        if (!argument.startsWith(u'-') || argument.size() < 2) {
            harmless = false;
        } else if (argument.startsWith(QLatin1String("--"))) {
            const qsizetype equals = argument.indexOf(u'=');
            const QString name = argument.mid(2, equals < 0 ? -1 : equals - 2);
            const LongOption* option = protocol == QVRemoteFilesConnection::WebDAV ? longOption(name) : nullptr;
            if (!option) {
                harmless = false;
            } else if (option->kind == Kind::Value || option->kind == Kind::RefusedValue) {
                if (equals < 0) {
                    if (i + 1 < arguments.size()) {
                        taken << arguments[++i];
                        if (taken.last().startsWith(u'-')) harmless = false;
                    } else {
                        harmless = false;
                    }
                }
                harmless = harmless && option->kind == Kind::Value;
            } else {
                harmless = option->kind == Kind::Flag && equals < 0;
            }
        } else {
            for (qsizetype j = 1; j < argument.size(); ++j) {
                const QChar letter = argument[j];
                const Kind kind = letterKind(protocol, letter);
                if (kind == Kind::Flag) continue;
                if (kind == Kind::Unknown || kind == Kind::RefusedFlag) {
                    harmless = false;
                    continue;
                }
                // The rest of the argument is the value, else the next argument.
                QString value = argument.mid(j + 1);
                if (value.isEmpty()) {
                    if (i + 1 < arguments.size()) {
                        value = arguments[++i];
                        taken << value;
                        // The client would take it as the value, but an option in a value's
                        // place is a mistake at best: refused with it.
                        if (value.startsWith(u'-')) harmless = false;
                    } else {
                        harmless = false;
                    }
                }
                harmless = harmless && kind == Kind::Value && valueIsHarmless(protocol, letter, value);
                break;
            }
        }
        if (harmless) verdict.arguments << taken;
        else verdict.refused << taken.join(u' ');
    }
    return verdict;
}

QString QVClientOptions::describe(const QStringList& refused) {
    QStringList shown;
    for (const QString& option : refused) shown << QStringLiteral("\"%1\"").arg(option.left(80));
    return shown.join(QStringLiteral(", "));
}
