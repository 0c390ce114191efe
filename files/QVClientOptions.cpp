// The allow-list of client options: each client's letters as its option parser reads them.
#include "files/QVClientOptions.h"

#include "files/QVRemoteFilesConnection.h"
#include "platform/Paths.h"

#include <QDir>
#include <QHash>

namespace {

enum class Kind { Unknown, Flag, Value, RefusedFlag, RefusedValue };

// tnftp: -N names a netrc whose "macdef init" runs commands, -o writes a file, -u uploads one;
// -a logs in as anonymous instead of the site's user. -P is harmless: the open command names the
// site's port.
Kind ftpLetter(QChar c) {
    switch (c.unicode()) {
    case '4': case '6': case 'A': case 'd': case 'e': case 'f': case 'g': case 'i': case 'n':
    case 'p': case 'R': case 't': case 'V': case 'v':
        return Kind::Flag;
    case 'P': case 'q': case 'r': case 's': case 'T': case 'x':
        return Kind::Value;
    case 'a':
        return Kind::RefusedFlag;
    case 'N': case 'o': case 'u':
        return Kind::RefusedValue;
    default:
        return Kind::Unknown;
    }
}

// OpenSSH sftp: -S and -D name programs to run, -F a configuration (which may name any), -b a
// batch of commands ("!" runs a shell), -J another ssh through a jump host, -s a server program;
// -A forwards the agent to the site, -1/-2/-h/-N change nothing useful or stop the client, -P
// names a port other than the site's; -a appends to (or skips) a file already on the site instead
// of replacing it, -p gives an uploaded file the local copy's mode; -i names a key file, which
// must be one of the user's own.
Kind sftpLetter(QChar c) {
    switch (c.unicode()) {
    case '4': case '6': case 'C': case 'f': case 'q': case 'r': case 'v':
        return Kind::Flag;
    case 'B': case 'c': case 'i': case 'l': case 'o': case 'R': case 'X':
        return Kind::Value;
    case '1': case '2': case 'a': case 'A': case 'h': case 'N': case 'p':
        return Kind::RefusedFlag;
    case 'b': case 'D': case 'F': case 'J': case 'P': case 'S': case 's':
        return Kind::RefusedValue;
    default:
        return Kind::Unknown;
    }
}

// cadaver: -r reads a script of commands; -p connects through a proxy of the settings' choosing,
// which would see every request and the site's password.
Kind cadaverLetter(QChar c) {
    switch (c.unicode()) {
    case 't': return Kind::Flag;
    case 'V': case 'h': case 'e': return Kind::RefusedFlag;
    case 'p': case 'r': return Kind::RefusedValue;
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
    {"tolerant", Kind::Flag}, {"proxy", Kind::RefusedValue}, {"rcfile", Kind::RefusedValue},
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

}  // namespace

QVClientOptions::SSHOption QVClientOptions::sshOption(const QString& option) {
    const auto blank = [&](qsizetype i) { return i < option.size() && (option[i] == u' ' || option[i] == u'\t'); };
    qsizetype i = 0;
    while (blank(i)) ++i;
    if (i < option.size() && option[i] == u'=') ++i;
    while (blank(i)) ++i;
    SSHOption line;
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

bool QVClientOptions::isHarmlessSSHOption(const QString& option) {
    // Each key with the word that makes it harmless: none reads or writes a file, starts a
    // program, loads a library or connects anywhere the settings choose. Left out on purpose,
    // among every other key: the known-hosts files, KnownHostsCommand, HostKeyAlias,
    // UpdateHostKeys, CheckHostIP (each writes host lines, or names the line's host),
    // StrictHostKeyChecking (Qorvel decides), HostName (a host past the site's checks),
    // User and Port (the site's own always win), ProxyCommand, ProxyJump, LocalCommand, PermitLocalCommand, RemoteCommand, Control*,
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
                 "preferredauthentications",         // order
                 "pubkeyacceptedalgorithms",         // algorithms
                 "pubkeyacceptedkeytypes",           // algorithms
                 "pubkeyauthentication",             // method
                 "rekeylimit",                       // amount
                 "requiredrsasize",                  // number
                 "serveralivecountmax",              // count
                 "serveraliveinterval",              // time
                 "tcpkeepalive",                     // network
                 "verifyhostkeydns",                 // lookup
             })
            keys.insert(QString::fromLatin1(key), Any);
        keys.insert(QStringLiteral("identityfile"), UserKey);  // only a key of the user's own ~/.ssh
        return keys;
    }();
    const SSHOption line = sshOption(option);
    const auto found = harmless.constFind(line.key.toLower());
    if (found == harmless.constEnd()) return false;
    return *found == Any || isUserSSHKey(line.value);
}

namespace {

// One argument, or an option with its value in the next argument, as the client reads it.
struct Reading {
    QStringList written;
    QList<QVClientOptions::Option> options;
    QList<Kind> kinds;
    bool wellFormed = true;  // no: not an option, a value missing, or an option in a value's place
};

QList<Reading> readArguments(const QStringList& arguments, int protocol) {
    QList<Reading> readings;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        Reading reading;
        reading.written = {argument};
        const auto takeValue = [&](QString value, Kind kind, QString name) {
            if (value.isNull()) {
                if (i + 1 < arguments.size()) {
                    value = arguments[++i];
                    reading.written << value;
                    // The client would take it as the value, but an option in a value's place is
                    // a mistake at best.
                    if (value.startsWith(u'-')) reading.wellFormed = false;
                } else {
                    reading.wellFormed = false;
                }
            }
            reading.options << QVClientOptions::Option{std::move(name), value, true};
            reading.kinds << kind;
        };
        if (argument == QLatin1String("--")) {
            // Everything after it is the client's host and paths.
            reading.written = arguments.mid(i);
            reading.wellFormed = false;
            readings << reading;
            break;
        }
        if (!argument.startsWith(u'-') || argument.size() < 2) {
            reading.wellFormed = false;
        } else if (argument.startsWith(QLatin1String("--"))) {
            const qsizetype equals = argument.indexOf(u'=');
            const QString name = argument.mid(2, equals < 0 ? -1 : equals - 2);
            const LongOption* option = protocol == QVRemoteFilesConnection::WebDAV ? longOption(name) : nullptr;
            if (!option) {
                reading.wellFormed = false;
            } else if (option->kind == Kind::Value || option->kind == Kind::RefusedValue) {
                takeValue(equals < 0 ? QString() : argument.mid(equals + 1), option->kind, QLatin1String(option->name));
            } else {
                reading.options << QVClientOptions::Option{QLatin1String(option->name), {}, false};
                reading.kinds << option->kind;
                if (equals >= 0) reading.wellFormed = false;
            }
        } else {
            for (qsizetype j = 1; j < argument.size(); ++j) {
                const QChar letter = argument[j];
                const Kind kind = letterKind(protocol, letter);
                if (kind == Kind::Value || kind == Kind::RefusedValue) {
                    // The rest of the argument is the value, else the next argument.
                    takeValue(j + 1 < argument.size() ? argument.mid(j + 1) : QString(), kind, letter);
                    break;
                }
                reading.options << QVClientOptions::Option{letter, {}, false};
                reading.kinds << kind;
            }
        }
        readings << reading;
    }
    return readings;
}

}  // namespace

QList<QVClientOptions::Option> QVClientOptions::read(const QStringList& arguments, int protocol) {
    QList<Option> options;
    for (const Reading& reading : readArguments(arguments, protocol)) {
        if (!reading.wellFormed) {
            options << Option{{}, reading.written.join(u' '), false};
            continue;
        }
        options << reading.options;
    }
    return options;
}

QVClientOptions::Verdict QVClientOptions::check(const QStringList& arguments, int protocol) {
    Verdict verdict;
    for (const Reading& reading : readArguments(arguments, protocol)) {
        bool harmless = reading.wellFormed;
        for (qsizetype k = 0; k < reading.options.size() && harmless; ++k) {
            const Option& option = reading.options[k];
            const Kind kind = reading.kinds[k];
            harmless = (kind == Kind::Flag || kind == Kind::Value) &&
                       (!option.hasValue || option.name.size() != 1 || valueIsHarmless(protocol, option.name[0], option.value));
        }
        if (harmless) verdict.arguments << reading.written;
        else verdict.refused << reading.written.join(u' ');
    }
    return verdict;
}

QString QVClientOptions::describe(const QStringList& refused) {
    QStringList shown;
    for (const QString& option : refused) shown << QStringLiteral("\"%1\"").arg(option.left(80));
    return shown.join(QStringLiteral(", "));
}
