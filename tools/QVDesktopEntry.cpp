#include "tools/QVDesktopEntry.h"

#include "platform/RegularFile.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTextStream>
#include <QUrl>

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

// The key=value lines of one group of an ini-style file; later duplicates are ignored.
QHash<QString, QString> readGroup(const QString& path, const QString& group) {
    QHash<QString, QString> values;
    // Entries are small; anything larger is no entry.
    const std::optional<QByteArray> bytes = RegularFile::read(path, nullptr, 1024 * 1024);
    if (!bytes) return values;
    bool inGroup = false;
    const QString header = QLatin1Char('[') + group + QLatin1Char(']');
    for (const QByteArray& raw : bytes->split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#'))) continue;
        if (line.startsWith(QLatin1Char('['))) {
            inGroup = line == header;
            continue;
        }
        if (!inGroup) continue;
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals <= 0) continue;
        const QString key = line.left(equals).trimmed();
        if (!values.contains(key)) values.insert(key, line.mid(equals + 1).trimmed());
    }
    return values;
}

// The string escapes of desktop entry values: \s \n \t \r \\.
QString unescapeValue(const QString& value) {
    QString out;
    out.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] != QLatin1Char('\\') || i + 1 == value.size()) {
            out.append(value[i]);
            continue;
        }
        const QChar next = value[++i];
        switch (next.unicode()) {
        case 's': out.append(QLatin1Char(' ')); break;
        case 'n': out.append(QLatin1Char('\n')); break;
        case 't': out.append(QLatin1Char('\t')); break;
        case 'r': out.append(QLatin1Char('\r')); break;
        case '\\': out.append(QLatin1Char('\\')); break;
        default: out.append(QLatin1Char('\\')).append(next);
        }
    }
    return out;
}

bool isTrue(const QString& value) { return value == QLatin1String("true"); }

QStringList dataFolders() {
    QString home = qEnvironmentVariable("XDG_DATA_HOME");
    if (home.isEmpty()) home = QDir::homePath() + QStringLiteral("/.local/share");
    QString dirs = qEnvironmentVariable("XDG_DATA_DIRS");
    if (dirs.isEmpty()) dirs = QStringLiteral("/usr/local/share:/usr/share");
    QStringList folders{home};
    for (const QString& dir : dirs.split(QLatin1Char(':'), Qt::SkipEmptyParts)) folders.append(dir);
    return folders;
}

}  // namespace

std::optional<QVDesktopEntry> QVDesktopEntry::read(const QString& path, const QString& id) {
    const QHash<QString, QString> values = readGroup(path, QStringLiteral("Desktop Entry"));
    if (values.value(QStringLiteral("Type")) != QLatin1String("Application")) return std::nullopt;
    QVDesktopEntry entry;
    entry.path = path;
    entry.id = id.isEmpty() ? QFileInfo(path).fileName() : id;
    entry.name = unescapeValue(values.value(QStringLiteral("Name")));
    entry.exec = unescapeValue(values.value(QStringLiteral("Exec")));
    entry.icon = unescapeValue(values.value(QStringLiteral("Icon")));
    entry.mimeTypes = values.value(QStringLiteral("MimeType")).split(QLatin1Char(';'), Qt::SkipEmptyParts);
    entry.hidden = isTrue(values.value(QStringLiteral("Hidden")));
    if (entry.name.isEmpty() || entry.exec.isEmpty()) return std::nullopt;
    return entry;
}

namespace {

// One argument of Exec with, for each of its characters, whether it stood between double quotes.
struct ExecArgument {
    QString text;
    QList<bool> quoted;
};

std::optional<QList<ExecArgument>> splitArguments(const QString& exec) {
    QList<ExecArgument> arguments;
    ExecArgument current;
    bool inArgument = false, quoted = false;
    const auto append = [&](QChar c) {
        current.text.append(c);
        current.quoted.append(quoted);
    };
    for (qsizetype i = 0; i < exec.size(); ++i) {
        const QChar c = exec[i];
        if (quoted) {
            if (c == QLatin1Char('"')) {
                quoted = false;
            } else if (c == QLatin1Char('\\') && i + 1 < exec.size() &&
                       QStringLiteral("\"`$\\").contains(exec[i + 1])) {
                append(exec[++i]);
            } else {
                append(c);
            }
        } else if (c == QLatin1Char(' ') || c == QLatin1Char('\t')) {
            if (inArgument) arguments.append(current);
            current = {};
            inArgument = false;
        } else if (c == QLatin1Char('"')) {
            quoted = inArgument = true;
        } else {
            append(c);
            inArgument = true;
        }
    }
    if (quoted) return std::nullopt;
    if (inArgument) arguments.append(current);
    return arguments;
}

bool isTargetCode(QChar code) { return QStringLiteral("uUfF").contains(code); }

// --- How the page is handed over -------------------------------------------------------------------

// A target with a scheme ("http:", "file:") is an address; anything else is a path.
bool isAddress(const QString& target) {
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*:"));
    return !target.startsWith(QLatin1Char('/')) && scheme.match(target).hasMatch();
}

bool isHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

// bytes with every byte outside letters, digits and keep percent-encoded; with escapes, a "%"
// that already starts an escape stays.
QString percentEncoded(const QByteArray& bytes, const char* keep, bool escapes) {
    QString out;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || (c != 0 && std::strchr(keep, c));
        const bool escape = escapes && c == '%' && i + 2 < bytes.size() && isHex(bytes[i + 1]) && isHex(bytes[i + 2]);
        if (plain || escape) out.append(QLatin1Char(c));
        else out.append(QLatin1Char('%') + QStringLiteral("%1").arg(uchar(c), 2, 16, QLatin1Char('0')).toUpper());
    }
    return out;
}

QString localPath(const QString& target) {
    if (!isAddress(target)) return QFileInfo(target).absoluteFilePath();
    const QUrl url(target);
    return url.isLocalFile() ? url.toLocalFile() : QString();
}

// What an entry taking a URL gets: a file's URL, or the address, in which nothing but letters,
// digits and "-._~/" (and ":@" and the escapes already there, for an address) is left unencoded.
// No shell, interpreter or command-line splitter reads such a word as anything but one word.
QString inertAddress(const QString& target) {
    if (const QString path = localPath(target); !path.isEmpty()) return QStringLiteral("file://") + percentEncoded(path.toUtf8(), "-._~/", false);
    const qsizetype colon = target.indexOf(QLatin1Char(':'));
    return target.left(colon + 1) + percentEncoded(target.mid(colon + 1).toUtf8(), "-._~/:@", true);
}

// --- Judging an entry that takes a path ------------------------------------------------------------
// A path goes over as it is, so the programs of the command line must be ones that take it as a
// file: nothing on the line may be able to run text as code, and what cannot be judged is refused.

// A word's name as a program would go by it: its last path component, in lower case, without the
// version digits ("/usr/bin/Python3.11" -> "python", "ksh93" -> "ksh").
QString programName(const QString& word) {
    QString name = word.mid(word.lastIndexOf(QLatin1Char('/')) + 1).toLower();
    static const QRegularExpression version(QStringLiteral("[-_.]?[0-9][0-9.]*$"));
    name.remove(version);
    return name;
}

// The parts of a word a program could be named by: the runs of letters and digits, each without
// its version digits ("--shell=/bin/bash" -> shell, bin, bash; "mksh-static" -> mksh, static).
QStringList nameParts(const QString& word) {
    QStringList parts;
    QString part;
    for (const QChar c : word + QLatin1Char(' ')) {
        if (c.isLetterOrNumber()) {
            part.append(c);
        } else if (!part.isEmpty()) {
            parts.append(programName(part));
            part.clear();
        }
    }
    return parts;
}

// The shells this machine itself lists as login shells (tmux is one on Debian).
const QSet<QString>& loginShells() {
    static const QSet<QString> shells = [] {
        QSet<QString> names;
        QFile file(QStringLiteral("/etc/shells"));
        if (file.open(QIODevice::ReadOnly))
            for (const QByteArray& line : file.readAll().split('\n'))
                if (const QString path = QString::fromUtf8(line).trimmed(); path.startsWith(QLatin1Char('/'))) names.insert(programName(path));
        return names;
    }();
    return shells;
}

// Whether a program of this name can run text (an argument, a file named by one, or what a
// terminal or another user's session is told) as code: every shell (the names ending in "sh" or
// "shell", and whatever the machine lists in /etc/shells), the multi-call programs that hold one,
// programs that hand a string to a shell, interpreters and editors with a command line of code,
// and terminals. Families, not spellings: a false alarm costs an entry its path, never a page.
bool runsCode(const QString& name) {
    static const QSet<QString> runners = {
        "busybox", "toybox", "script", "flock", "su", "runuser", "sudo", "doas", "sg", "watch", "parallel", "tmux", "screen", "byobu",
        "expect", "eval", "at", "batch", "xargs", "python", "pypy", "perl", "ruby", "irb", "jruby", "node", "nodejs", "deno", "bun",
        "php", "awk", "gawk", "mawk", "nawk", "sed", "lua", "luajit", "tcl", "guile", "racket", "julia", "rscript", "osascript",
        "jrunscript", "groovy", "erl", "escript", "elixir", "ocaml", "swipl", "gforth", "dc", "m4", "vim", "vi", "nvim", "emacs",
        "gdb", "lldb", "make", "nu", "konsole", "kitty", "alacritty", "foot", "tilix", "rxvt", "urxvt", "sakura", "guake", "tilda",
        "yakuake"};
    return name.endsWith(QLatin1String("sh")) || name.endsWith(QLatin1String("shell")) || name.contains(QLatin1String("term")) ||
           runners.contains(name) || loginShells().contains(name);
}

// The executable a program word starts, through every link ("x-terminal-emulator" -> the
// terminal, "sh" -> dash); empty when it names none.
QString resolvedProgram(const QString& word) {
    if (word.isEmpty() || word.startsWith(QLatin1Char('-')) || word.contains(QLatin1Char('='))) return {};
    const QString found = word.contains(QLatin1Char('/')) ? word : QStandardPaths::findExecutable(word);
    if (found.isEmpty()) return {};
    const QFileInfo info(found);
    return info.isFile() && info.isExecutable() ? info.canonicalFilePath() : QString();
}

// Characters no program splits a word at, nor expands: letters, digits and "-._+/=:,@%".
bool isPlainWord(const QString& word) {
    return std::all_of(word.begin(), word.end(), [](QChar c) { return c.isLetterOrNumber() || QStringLiteral("-._+/=:,@%").contains(c); });
}

// Programs that run the program their arguments name (after their options, and after as many
// other operands as said): the page must never stand where that program is.
int wrappedOperands(const QString& name) {
    static const QHash<QString, int> wrappers = {
        {"nice", 0}, {"ionice", 0}, {"timeout", 0}, {"nohup", 0}, {"setsid", 0}, {"stdbuf", 0}, {"chrt", 0}, {"taskset", 0},
        {"time", 0}, {"chroot", 1}, {"unshare", 0}, {"nsenter", 0}, {"firejail", 0}, {"bwrap", 0}, {"prime-run", 0},
        {"pkexec", 0}, {"strace", 0}, {"ltrace", 0}, {"valgrind", 0}, {"systemd-run", 0}, {"systemd-inhibit", 0},
        {"dbus-run-session", 0}, {"dbus-launch", 0}, {"xvfb-run", 0}, {"flatpak", 1}, {"flatpak-spawn", 0}, {"snap", 1},
        {"setpriv", 0}, {"numactl", 0}, {"cgexec", 0}, {"gamemoderun", 0}, {"optirun", 0}, {"primusrun", 0}, {"torsocks", 0},
        {"proxychains", 0}, {"catchsegv", 0}, {"aa-exec", 0}, {"exec", 0}, {"command", 0}};
    return wrappers.value(name, -1);
}

// The options of those programs known to take no value; any other option written alone may take
// the word after it ("-s KILL"), which so may be a value or the program.
const QSet<QString>& wrapperFlags(const QString& name) {
    static const QHash<QString, QSet<QString>> flags = {
        {"setsid", {"-c", "-f", "-w", "--ctty", "--fork", "--wait"}},
        {"timeout", {"--foreground", "--preserve-status", "-v", "--verbose"}},
        {"time", {"-p", "-a", "-q", "-v", "--portability", "--append", "--quiet", "--verbose"}},
        {"chrt", {"-b", "-d", "-f", "-i", "-o", "-r", "-a", "-m", "-p", "-v", "-R", "--batch", "--deadline", "--fifo", "--idle",
                  "--other", "--rr", "--all-tasks", "--max", "--pid", "--verbose", "--reset-on-fork"}},
        {"taskset", {"-a", "-p", "-c", "--all-tasks", "--pid", "--cpu-list"}},
        {"ionice", {"-t", "--ignore"}},
        {"flatpak", {"--file-forwarding", "--devel", "--no-a11y-bus", "--a11y-bus", "--no-session-bus", "--session-bus",
                     "--die-with-parent", "--sandbox", "--user", "--system", "--no-documents-portal", "--parent-expose-pids",
                     "--parent-share-pids", "--log-session-bus", "--log-system-bus", "--log-a11y-bus"}}};
    static const QSet<QString> none;
    const auto found = flags.find(name);
    return found == flags.end() ? none : *found;
}

// An option's value, a priority, a duration or a CPU mask ("5", "10s", "0x3", "0-3").
bool isNumberLike(const QString& word) { return !word.isEmpty() && word[0].isDigit(); }

struct Refusal {
    QString why;
};

// Walks the programs the command line starts, one running the next (env, nice, flatpak run...),
// to the last; refuses when the page would be one of them, or handed to env as a command line of
// its own. env's options are known one by one: in an entry that takes a path (strict) any other
// option of env is refused (every spelling of "-S", "--split-string" and their prefixes among
// them); in one that takes an address the walk stops there, the address being inert.
std::optional<Refusal> judgeProgramChain(const QStringList& words, qsizetype page, bool strict) {
    qsizetype program = 0;
    while (program < words.size()) {
        if (program == page) return Refusal{QStringLiteral("its command line runs the page as a program")};
        const QString name = programName(words[program]);
        qsizetype i = program + 1;
        if (name == QLatin1String("env")) {
            while (i < words.size()) {
                const QString& word = words[i];
                if (!word.startsWith(QLatin1Char('-')) || word == QLatin1String("-")) {
                    if (word == QLatin1String("-")) ++i;
                    break;
                }
                if (word == QLatin1String("--")) {
                    ++i;
                    break;
                }
                // Where a value of the option stands: in this word from offset, or in the next.
                qsizetype valueAt = -1;
                bool split = false, known = true;
                if (word.startsWith(QLatin1String("--"))) {
                    const QString option = word.mid(2).section(QLatin1Char('='), 0, 0);
                    const bool attached = word.contains(QLatin1Char('='));
                    if (QStringList{"ignore-environment", "null", "debug"}.contains(option) && !attached) {
                    } else if (option == QLatin1String("unset") || option == QLatin1String("chdir")) {
                        if (!attached) valueAt = i + 1;
                    } else {
                        // getopt takes any prefix that names one option: "--s", "--split".
                        split = !option.isEmpty() && QStringLiteral("split-string").startsWith(option);
                        known = false;
                        valueAt = attached ? i : i + 1;
                    }
                } else {
                    for (qsizetype c = 1; c < word.size() && known; ++c) {
                        const QChar letter = word[c];
                        if (letter == QLatin1Char('i') || letter == QLatin1Char('0') || letter == QLatin1Char('v')) continue;
                        if (letter == QLatin1Char('u') || letter == QLatin1Char('C') || letter == QLatin1Char('S')) {
                            split = letter == QLatin1Char('S');
                            known = !split;
                            valueAt = c + 1 < word.size() ? i : i + 1;
                            break;
                        }
                        known = false;
                    }
                }
                if (split && valueAt == page) return Refusal{QStringLiteral("its command line hands the page to env as a command line of its own")};
                if (!known) {
                    if (!strict) return std::nullopt;
                    return Refusal{split ? QStringLiteral("its command line has env split a command line of its own (\u201c%1\u201d)").arg(word)
                                         : QStringLiteral("its command line gives env the option \u201c%1\u201d, which Qorvel cannot judge").arg(word)};
                }
                i = valueAt > i ? valueAt + 1 : i + 1;
            }
            // NAME=VALUE assignments come before the program.
            while (i < words.size() && i != page && words[i].contains(QLatin1Char('='))) ++i;
            program = i;
            continue;
        }
        const int operands = wrappedOperands(name);
        if (operands < 0) break;
        // In an entry that takes a path, a word after an option that may take a value is either
        // that value or the program: the page may be neither.
        const QSet<QString>& flags = wrapperFlags(name);
        int seen = 0;
        bool options = true, maybeValue = false;
        for (; i < words.size(); ++i) {
            const QString& word = words[i];
            if (options && word == QLatin1String("--")) {
                options = false;
                maybeValue = false;
                continue;
            }
            if (options && word.startsWith(QLatin1Char('-')) && word.size() > 1) {
                maybeValue = strict && !word.contains(QLatin1Char('=')) && !flags.contains(word);
                continue;
            }
            if (i == page && maybeValue) return Refusal{QStringLiteral("its command line may run the page as a program")};
            if (isNumberLike(word)) {
                maybeValue = false;
                continue;
            }
            if (std::exchange(maybeValue, false)) continue;
            if (seen++ < operands) continue;
            break;
        }
        program = i;
    }
    if (program >= words.size()) return Refusal{QStringLiteral("its command line names no program of its own")};
    return std::nullopt;
}

// Every word of a path entry's command line (the page's own word without the page): plain, and
// naming no program that can run text as code, neither as written nor through the links it
// resolves to.
std::optional<Refusal> judgeWords(const QStringList& words, qsizetype page, qsizetype pageOffset, qsizetype pageLength) {
    for (qsizetype i = 0; i < words.size(); ++i) {
        QString word = words[i];
        if (i == page) word.remove(pageOffset, pageLength);
        // The first word is run by Qorvel itself, never split: "/opt/my browser/run" is fine.
        if (i > 0 && !isPlainWord(word))
            return Refusal{QStringLiteral("its command line holds \u201c%1\u201d, which a program may split into a command line of its own").arg(word)};
        // A word's folders name no program ("/home/josh/bin/viewer"); its last component may,
        // also as an option's value ("--shell=/bin/bash").
        QStringList names = nameParts(word.mid(word.lastIndexOf(QLatin1Char('/')) + 1));
        names.append(programName(word));
        if (i != page)
            if (const QString resolved = resolvedProgram(word); !resolved.isEmpty()) names += nameParts(QFileInfo(resolved).fileName());
        for (const QString& name : std::as_const(names))
            if (runsCode(name))
                return Refusal{QStringLiteral("its command line names \u201c%1\u201d, which may run a page\u2019s path as code").arg(name)};
    }
    return std::nullopt;
}

}  // namespace

std::optional<QStringList> QVDesktopEntry::splitExec(const QString& exec) {
    const std::optional<QList<ExecArgument>> split = splitArguments(exec);
    if (!split) return std::nullopt;
    QStringList arguments;
    for (const ExecArgument& argument : *split) arguments.append(argument.text);
    return arguments;
}

std::optional<QStringList> QVDesktopEntry::commandFor(const QString& target, QString* why) const {
    const auto refuse = [why](const QString& reason) -> std::optional<QStringList> {
        if (why) *why = reason;
        return std::nullopt;
    };
    const std::optional<QList<ExecArgument>> split = splitArguments(exec);
    if (!split) return refuse(QStringLiteral("its command line has a quote that is never closed"));
    // The program itself never comes from a field code: "Exec=%u" would run the address.
    if (split->isEmpty() || split->first().text.contains(QLatin1Char('%'))) return refuse(QStringLiteral("its command line names no program of its own"));
    // One target only: a second code would hand it over twice, and nobody knows how it is read.
    int targetCodes = 0;
    bool takesAddress = false;
    for (const ExecArgument& argument : *split)
        for (qsizetype i = 0; i + 1 < argument.text.size(); ++i)
            if (argument.text[i] == QLatin1Char('%')) {
                if (isTargetCode(argument.text[i + 1])) {
                    ++targetCodes;
                    takesAddress = argument.text[i + 1].toLower() == QLatin1Char('u');
                }
                // Between double quotes a code is left undefined by the desktop-entry rules, and
                // its one use is splicing into a script ("sh -c \"open %u\"").
                if (argument.quoted[i] && argument.text[i + 1] != QLatin1Char('%'))
                    return refuse(QStringLiteral("its command line puts a field code inside quotes, where a shell could run part of a page\u2019s name"));
                ++i;
            }
    if (targetCodes > 1) return refuse(QStringLiteral("its command line asks for more than one page"));
    // An address goes over with everything a program could read as code percent-encoded; a
    // path as it is (only to programs judged below), absolute, so that it never reads as an option.
    QString handed = takesAddress ? inertAddress(target) : localPath(target);
    if (handed.isEmpty()) handed = target;
    QStringList command;
    qsizetype page = -1, pageOffset = 0;  // the argument that holds the page, and where in it
    for (qsizetype a = 0; a < split->size(); ++a) {
        const ExecArgument& argument = split->at(a);
        // A code standing alone may become several arguments (or none).
        if (argument.text == QLatin1String("%i")) {
            if (!icon.isEmpty()) command << QStringLiteral("--icon") << icon;
            continue;
        }
        QString expanded;
        bool dropped = false;
        for (qsizetype i = 0; i < argument.text.size(); ++i) {
            if (argument.text[i] != QLatin1Char('%')) {
                expanded.append(argument.text[i]);
                continue;
            }
            if (i + 1 == argument.text.size()) return refuse(QStringLiteral("its command line ends in a lone \u201c%\u201d"));
            switch (argument.text[++i].unicode()) {
            case '%': expanded.append(QLatin1Char('%')); break;
            case 'u': case 'f': case 'U': case 'F':
                page = command.size();
                pageOffset = expanded.size();
                expanded.append(handed);
                break;
            case 'c': expanded.append(name); break;
            case 'k': expanded.append(path); break;
            case 'd': case 'D': case 'n': case 'N': case 'v': case 'm':
                dropped = true;
                break;
            default: return refuse(QStringLiteral("its command line holds an unknown field code"));
            }
        }
        if (dropped && expanded.isEmpty()) continue;
        command.append(expanded);
    }
    if (command.isEmpty() || command.first().isEmpty()) return refuse(QStringLiteral("its command line names no program of its own"));
    if (page < 0) {
        page = command.size();
        command.append(handed);
    }
    if (const auto refusal = judgeProgramChain(command, page, !takesAddress)) return refuse(refusal->why);
    if (!takesAddress)
        if (const auto refusal = judgeWords(command, page, pageOffset, handed.size())) return refuse(refusal->why);
    return command;
}

QStringList QVDesktopEntry::applicationFolders() {
    QStringList folders;
    for (const QString& data : dataFolders()) folders.append(data + QStringLiteral("/applications"));
    return folders;
}

QList<QVDesktopEntry> QVDesktopEntry::entriesHandling(const QString& mimeType) {
    QList<QVDesktopEntry> found;
    QSet<QString> seen;
    for (const QString& folder : applicationFolders()) {
        QStringList paths;
        QDirIterator it(folder, {QStringLiteral("*.desktop")}, QDir::Files | QDir::Readable, QDirIterator::Subdirectories);
        while (it.hasNext()) paths.append(it.next());
        std::sort(paths.begin(), paths.end());
        for (const QString& path : paths) {
            // The id is the path below the folder with "/" turned into "-".
            const QString id = QDir(folder).relativeFilePath(path).replace(QLatin1Char('/'), QLatin1Char('-'));
            if (seen.contains(id)) continue;
            seen.insert(id);  // a hidden or broken entry still shadows the same id further down
            const std::optional<QVDesktopEntry> entry = read(path, id);
            if (entry && !entry->hidden && entry->mimeTypes.contains(mimeType)) found.append(*entry);
        }
    }
    return found;
}

QStringList QVDesktopEntry::defaultIds(const QString& mimeType) {
    QString configHome = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (configHome.isEmpty()) configHome = QDir::homePath() + QStringLiteral("/.config");
    QString configDirs = qEnvironmentVariable("XDG_CONFIG_DIRS");
    if (configDirs.isEmpty()) configDirs = QStringLiteral("/etc/xdg");
    QStringList lists{configHome + QStringLiteral("/mimeapps.list")};
    for (const QString& dir : configDirs.split(QLatin1Char(':'), Qt::SkipEmptyParts)) lists.append(dir + QStringLiteral("/mimeapps.list"));
    for (const QString& folder : applicationFolders()) lists.append(folder + QStringLiteral("/mimeapps.list"));
    QStringList ids;
    for (const QString& list : lists)
        for (const QString& id : readGroup(list, QStringLiteral("Default Applications")).value(mimeType).split(QLatin1Char(';'), Qt::SkipEmptyParts))
            if (!ids.contains(id.trimmed())) ids.append(id.trimmed());
    return ids;
}
