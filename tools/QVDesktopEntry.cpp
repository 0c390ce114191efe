#include "tools/QVDesktopEntry.h"

#include "platform/FileName.h"
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
// Every entry gets the page as an address in which nothing but letters, digits and "-._~/" (and
// ":@" and the escapes already there, for an address other than a file's) is left unencoded: no
// shell, interpreter or command-line splitter reads such a word as anything but one word. A
// program that takes it as a path instead ("sh -c", "timeout 5", a terminal's "-e", execvp of a
// file without "#!") reads "file:/…" below its working folder, and every browser starts in an
// empty folder of Qorvel's own, so that reading names nothing.

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

// The local file a target names, as the bytes of its absolute path: a path (in FileName's form,
// so a name that is not UTF-8 keeps its bytes) or a file's address; nothing for other addresses.
std::optional<QByteArray> localFile(const QString& target) {
    if (!isAddress(target)) return FileName::encode(FileName::absolute(target));
    if (!target.startsWith(QLatin1String("file:"), Qt::CaseInsensitive)) return std::nullopt;
    QString rest = target.mid(5).section(QLatin1Char('#'), 0, 0).section(QLatin1Char('?'), 0, 0);
    if (rest.startsWith(QLatin1String("//"))) {
        const qsizetype slash = rest.indexOf(QLatin1Char('/'), 2);
        const QString host = rest.mid(2, slash < 0 ? -1 : slash - 2);
        if (slash < 0 || !(host.isEmpty() || host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)) return std::nullopt;
        rest = rest.mid(slash);
    }
    if (!rest.startsWith(QLatin1Char('/'))) return std::nullopt;
    return QByteArray::fromPercentEncoding(FileName::encode(rest));
}

QString pageAddress(const QString& target) {
    if (const std::optional<QByteArray> file = localFile(target)) return QStringLiteral("file://") + percentEncoded(*file, "-._~/", false);
    const qsizetype colon = target.indexOf(QLatin1Char(':'));
    return target.left(colon + 1) + percentEncoded(target.mid(colon + 1).toUtf8(), "-._~/:@", true);
}

// --- Judging an entry ------------------------------------------------------------------------------
// The address alone keeps the page from being run; what is judged is only what the command line
// itself says: the page must not stand where a program is, nor be handed to env as a command
// line, nor go to one of the few programs that fetch an address given as their script.

// A word's name as a program would go by it: its last path component, in lower case, without the
// version digits ("/usr/bin/Gjs-1.76" -> "gjs").
QString programName(const QString& word) {
    QString name = word.mid(word.lastIndexOf(QLatin1Char('/')) + 1).toLower();
    static const QRegularExpression version(QStringLiteral("[-_.][0-9][0-9.]*$"));
    name.remove(version);
    return name;
}

// Interpreters that open an address given as their script themselves, and so would run the page.
bool fetchesScripts(const QString& name) {
    static const QSet<QString> fetchers = {"gjs", "cjs", "deno", "groovy"};
    return fetchers.contains(name);
}

// The executable a program word starts, through every link; empty when it names none.
QString resolvedProgram(const QString& word) {
    const QString found = word.contains(QLatin1Char('/')) ? word : QStandardPaths::findExecutable(word);
    if (found.isEmpty()) return {};
    const QFileInfo info(found);
    return info.isFile() && info.isExecutable() ? info.canonicalFilePath() : QString();
}

// Programs that run the program their arguments name (after their options, and after as many
// other operands as said).
int wrappedOperands(const QString& name) {
    static const QHash<QString, int> wrappers = {
        {"nice", 0}, {"ionice", 0}, {"timeout", 0}, {"nohup", 0}, {"setsid", 0}, {"stdbuf", 0}, {"chrt", 0}, {"taskset", 0},
        {"time", 0}, {"chroot", 1}, {"unshare", 0}, {"nsenter", 0}, {"firejail", 0}, {"bwrap", 0}, {"prime-run", 0},
        {"pkexec", 0}, {"strace", 0}, {"ltrace", 0}, {"valgrind", 0}, {"systemd-run", 0}, {"systemd-inhibit", 0},
        {"dbus-run-session", 0}, {"dbus-launch", 0}, {"xvfb-run", 0}, {"flatpak", 1}, {"flatpak-spawn", 0}, {"snap", 1},
        {"setpriv", 0}, {"numactl", 0}, {"cgexec", 0}, {"gamemoderun", 0}, {"optirun", 0}, {"primusrun", 0}, {"torsocks", 0},
        {"proxychains", 0}, {"catchsegv", 0}, {"aa-exec", 0}, {"exec", 0}, {"command", 0}, {"prlimit", 0}, {"setarch", 1},
        {"linux32", 0}, {"linux64", 0}, {"fakeroot", 0}, {"eatmydata", 0}, {"faketime", 0}, {"perf", 1}};
    return wrappers.value(name, -1);
}

// An option's value, a priority, a duration or a CPU mask ("5", "10s", "0x3", "0-3", ".5").
bool isNumberLike(const QString& word) { return !word.isEmpty() && (word[0].isDigit() || word[0] == QLatin1Char('.')); }

struct Refusal {
    QString why;
};

// Walks the programs the command line starts, one running the next (env, nice, flatpak run...),
// as far as it can tell them; refuses when the page would be one of them, or handed to env as a
// command line of its own, or given to a program that fetches its script. A word it cannot place
// ends the walk: it is an option's value or a program no list knows, and either way the address
// it may receive reads as nothing but an address.
std::optional<Refusal> judgeProgramChain(const QStringList& words, qsizetype page) {
    qsizetype program = 0;
    // Whether the word taken for the program stands right after an option of a wrapper, and so
    // may be that option's value ("perf stat -e gjs"): then it is never judged by its name.
    bool mayBeValue = false;
    while (program < words.size()) {
        if (program == page) return Refusal{QStringLiteral("its command line runs the page as a program")};
        const QString name = programName(words[program]);
        QStringList names{name};
        if (const QString resolved = resolvedProgram(words[program]); !resolved.isEmpty()) names.append(programName(resolved));
        for (const QString& each : std::as_const(names))
            if (!mayBeValue && fetchesScripts(each))
                return Refusal{QStringLiteral("its command line hands the page to \u201c%1\u201d, which runs an address as a script").arg(each)};
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
                // Where a value of the option stands: in this word, or in the next.
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
                if (!known) return std::nullopt;
                i = valueAt > i ? valueAt + 1 : i + 1;
            }
            // NAME=VALUE assignments come before the program.
            while (i < words.size() && i != page && words[i].contains(QLatin1Char('='))) ++i;
            program = i;
            mayBeValue = false;
            continue;
        }
        const int operands = wrappedOperands(name);
        if (operands < 0) break;
        int seen = 0;
        bool options = true;
        for (; i < words.size(); ++i) {
            const QString& word = words[i];
            if (options && word == QLatin1String("--")) {
                options = false;
                continue;
            }
            if (options && word.startsWith(QLatin1Char('-')) && word.size() > 1) continue;
            if (isNumberLike(word)) continue;
            if (seen++ < operands) continue;
            break;
        }
        mayBeValue = i < words.size() && words[i - 1].startsWith(QLatin1Char('-')) && !words[i - 1].contains(QLatin1Char('='));
        program = i;
    }
    if (program >= words.size()) return Refusal{QStringLiteral("its command line names no program of its own")};
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
    for (const ExecArgument& argument : *split)
        for (qsizetype i = 0; i + 1 < argument.text.size(); ++i)
            if (argument.text[i] == QLatin1Char('%')) {
                if (isTargetCode(argument.text[i + 1])) ++targetCodes;
                // Between double quotes a code is left undefined by the desktop-entry rules, and
                // its one use is splicing into a script ("sh -c \"open %u\"").
                if (argument.quoted[i] && argument.text[i + 1] != QLatin1Char('%'))
                    return refuse(QStringLiteral("its command line puts a field code inside quotes, where a shell could run part of a page\u2019s name"));
                ++i;
            }
    if (targetCodes > 1) return refuse(QStringLiteral("its command line asks for more than one page"));
    // Entries that take a path get the address too: every browser takes a file's address, and
    // only an address cannot be run.
    const QString handed = pageAddress(target);
    QStringList command;
    qsizetype page = -1;  // the argument that holds the page
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
    if (const auto refusal = judgeProgramChain(command, page)) return refuse(refusal->why);
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
