// The allow-list of client options: each client's letters as its option parser reads them.
#include "files/QVClientOptions.h"

#include "files/QVRemoteFilesConnection.h"
#include "platform/Paths.h"

#include <QDir>
#include <QHash>

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
// -A forwards the agent to the site, -1/-2/-h/-N change nothing useful or stop the client; -i
// names a key file, which must be one of the user's own.
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

// ssh reads "~" and tokens ("%d", "${HOME}") in a key file's name, and a blank or quote would
// split it: a key file passes when its plain name lies in the user's own ssh folder, where ssh
// looks for the user's keys anyway, so no setting points ssh at a file of its choosing.
bool isUserSSHKey(const QString& path) {
    if (path.isEmpty()) return false;
    for (QChar c : path)
        if (QStringView(u" \t\r\n\"'\\%$#").contains(c)) return false;
    const QString expanded = path.startsWith(QLatin1String("~/")) ? Paths::home() + path.mid(1) : path;
    if (!QDir::isAbsolutePath(expanded) || expanded.split(u'/').contains(QLatin1String(".."))) return false;
    const QString folder = QDir::cleanPath(Paths::home()) + QLatin1String("/.ssh/");
    const QString cleaned = QDir::cleanPath(expanded);
    return cleaned.startsWith(folder) && cleaned.size() > folder.size();
}

bool valueIsHarmless(int protocol, QChar letter, const QString& value) {
    if (protocol != QVRemoteFilesConnection::SFTP) return true;
    if (letter == u'o') return QVClientOptions::isHarmlessSSHOption(value);
    if (letter == u'i') return isUserSSHKey(value);
    return true;
}

// A configuration line split as ssh splits it: the key (a quoted key taken whole), then blanks
// and one "=" (none after a quoted key), then the value.
struct SSHLine {
    QString key, value;
};

SSHLine splitSSHLine(const QString& option) {
    const auto blank = [&](qsizetype i) { return i < option.size() && (option[i] == u' ' || option[i] == u'\t'); };
    qsizetype i = 0;
    while (blank(i)) ++i;
    if (i < option.size() && option[i] == u'=') ++i;
    while (blank(i)) ++i;
    SSHLine line;
    if (i < option.size() && option[i] == u'"') {
        const qsizetype close = option.indexOf(u'"', i + 1);
        if (close < 0) return line;
        line.key = option.mid(i + 1, close - i - 1);
        i = close + 1;
        while (blank(i)) ++i;
    } else {
        qsizetype end = i;
        while (end < option.size() && !blank(end) && option[end] != u'=') ++end;
        line.key = option.mid(i, end - i);
        i = end;
        while (blank(i)) ++i;
        if (i < option.size() && option[i] == u'=') ++i;
        while (blank(i)) ++i;
    }
    line.value = option.mid(i);
    return line;
}

}  // namespace

QString QVClientOptions::sshOptionKey(const QString& option) { return splitSSHLine(option).key; }

bool QVClientOptions::isHarmlessSSHOption(const QString& option) {
    // Each key with the word that makes it harmless: none reads or writes a file, starts a
    // program, loads a library or connects anywhere the settings choose. Left out on purpose,
    // among every other key: the known-hosts files, KnownHostsCommand, HostKeyAlias,
    // UpdateHostKeys, CheckHostIP (each writes host lines, or names the line's host),
    // StrictHostKeyChecking (Qorvel decides), HostName (a host past the site's checks),
    // ProxyCommand, ProxyJump, LocalCommand, PermitLocalCommand, RemoteCommand, Control*,
    // every forwarding and Tunnel, IdentityAgent, PKCS11Provider, SecurityKeyProvider,
    // HostbasedAuthentication and EnableSSHKeysign (ssh-keysign), Include, Match, Host,
    // CertificateFile, RevokedHostKeys, XAuthLocation, SendEnv and SetEnv, HashKnownHosts.
    enum Value { Any, UserKey };
    static const QHash<QString, Value> harmless = [] {
        QHash<QString, Value> keys;
        for (const char* key : {
                 "addressfamily",                    // network
                 "batchmode",                        // prompts
                 "bindaddress",                      // source address
                 "casignaturealgorithms",            // algorithms
                 "challengeresponseauthentication",  // method
                 "ciphers",                          // algorithms
                 "compression",                      // transfer
                 "connectionattempts",               // count
                 "connecttimeout",                   // time
                 "escapechar",                       // terminal (sftp has none)
                 "fingerprinthash",                  // display
                 "hostkeyalgorithms",                // algorithms
                 "identitiesonly",                   // method
                 "ipqos",                            // network
                 "kbdinteractiveauthentication",     // method
                 "kexalgorithms",                    // algorithms
                 "loglevel",                         // verbosity (to the terminal)
                 "macs",                             // algorithms
                 "numberofpasswordprompts",          // count
                 "passwordauthentication",           // method
                 "port",                             // number
                 "preferredauthentications",         // order
                 "pubkeyacceptedalgorithms",         // algorithms
                 "pubkeyacceptedkeytypes",           // algorithms
                 "pubkeyauthentication",             // method
                 "rekeylimit",                       // amount
                 "requiredrsasize",                  // number
                 "serveralivecountmax",              // count
                 "serveraliveinterval",              // time
                 "tcpkeepalive",                     // network
                 "user",                             // login name
                 "verifyhostkeydns",                 // lookup
             })
            keys.insert(QString::fromLatin1(key), Any);
        keys.insert(QStringLiteral("identityfile"), UserKey);  // only a key of the user's own ~/.ssh
        return keys;
    }();
    const SSHLine line = splitSSHLine(option);
    const auto found = harmless.constFind(line.key.toLower());
    if (found == harmless.constEnd()) return false;
    return *found == Any || isUserSSHKey(line.value);
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
