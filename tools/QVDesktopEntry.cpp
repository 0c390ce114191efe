#include "tools/QVDesktopEntry.h"

#include "platform/RegularFile.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QSet>
#include <QTextStream>

#include <algorithm>

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

// The shells whose "-c" takes a script (sh, bash, dash, zsh, ksh, csh, fish... and busybox): a
// field code standing unquoted in that script would make the target the program.
bool isShell(const QString& program) {
    const QString name = QFileInfo(program).fileName();
    return !program.startsWith(QLatin1Char('-')) && (name.endsWith(QLatin1String("sh")) || name == QLatin1String("busybox"));
}

// env's "-S STRING" (also "-vS", "-SSTRING", "--split-string=STRING"): env splits the string
// into a command line of its own. Answers where the string stands (argument, and offset within
// it) or -1.
std::pair<qsizetype, qsizetype> envSplitString(const QStringList& command, qsizetype a) {
    const QString& argument = command[a];
    if (argument == QLatin1String("--split-string")) return {a + 1, 0};
    if (argument.startsWith(QLatin1String("--split-string="))) return {a, 15};
    if (!argument.startsWith(QLatin1Char('-')) || argument.startsWith(QLatin1String("--"))) return {-1, 0};
    const qsizetype s = argument.indexOf(QLatin1Char('S'));
    if (s < 0) return {-1, 0};
    return s + 1 == argument.size() ? std::pair{a + 1, qsizetype(0)} : std::pair{a, s + 1};
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
    const auto refuse = [why](const char* reason) -> std::optional<QStringList> {
        if (why) *why = QString::fromUtf8(reason);
        return std::nullopt;
    };
    const std::optional<QList<ExecArgument>> split = splitArguments(exec);
    if (!split) return refuse("its command line has a quote that is never closed");
    // The program itself never comes from a field code: "Exec=%u" would run the address.
    if (split->isEmpty() || split->first().text.contains(QLatin1Char('%'))) return refuse("its command line names no program of its own");
    // One target only: a second code would hand it over twice, and nobody knows how it is read.
    int targetCodes = 0;
    for (const ExecArgument& argument : *split)
        for (qsizetype i = 0; i + 1 < argument.text.size(); ++i)
            if (argument.text[i] == QLatin1Char('%')) {
                targetCodes += isTargetCode(argument.text[i + 1]) ? 1 : 0;
                // Between double quotes a code is left undefined by the desktop-entry rules, and
                // its one use is splicing into a script ("sh -c \"open %u\""), where a page's
                // name would be read as code whatever quoting is put around it.
                if (argument.quoted[i] && argument.text[i + 1] != QLatin1Char('%'))
                    return refuse("its command line puts a field code inside quotes, where a shell could run part of a page\u2019s name");
                ++i;
            }
    if (targetCodes > 1) return refuse("its command line asks for more than one page");
    QStringList command;
    bool targetPlaced = false;
    qsizetype rawTarget = -1;  // the argument that holds the target
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
            if (i + 1 == argument.text.size()) return refuse("its command line ends in a lone \u201c%\u201d");
            switch (argument.text[++i].unicode()) {
            case '%': expanded.append(QLatin1Char('%')); break;
            case 'u': case 'f': case 'U': case 'F':
                expanded.append(target);
                targetPlaced = true;
                rawTarget = command.size();
                break;
            case 'c': expanded.append(name); break;
            case 'k': expanded.append(path); break;
            case 'd': case 'D': case 'n': case 'N': case 'v': case 'm':
                dropped = true;
                break;
            default: return refuse("its command line holds an unknown field code");
            }
        }
        if (dropped && expanded.isEmpty()) continue;
        command.append(expanded);
    }
    if (command.isEmpty() || command.first().isEmpty()) return refuse("its command line names no program of its own");
    if (!targetPlaced) {
        rawTarget = command.size();
        command.append(target);
    }
    // The words as the programs read them: env's "-S" string is split by env into a command line
    // of its own ("env -S \"sh -c\" %u"); each word remembers the argument it came from.
    QList<std::pair<QString, qsizetype>> words;
    bool envSeen = false;
    for (qsizetype a = 0; a < command.size(); ++a) {
        if (envSeen) {
            if (const auto [at, offset] = envSplitString(command, a); at >= 0 && at < command.size()) {
                if (at == rawTarget) return refuse("its command line hands the page to env as a command line of its own");
                if (at != a) words.append({command[a], a});
                for (const QString& word : QProcess::splitCommand(command[at].mid(offset))) words.append({word, at});
                a = at;
                envSeen = false;
                continue;
            }
        }
        words.append({command[a], a});
        if (QFileInfo(command[a]).fileName() == QLatin1String("env")) envSeen = true;
    }
    // The script of "sh -c", also behind another program (env, nice, a sandbox): the word after
    // the first option holding "c" that follows a shell's name. The target there ("sh -c %u",
    // or appended to "sh -c") would be run as code.
    bool shellSeen = false;
    for (qsizetype w = 0; w + 1 < words.size(); ++w) {
        const QString& word = words[w].first;
        if (isShell(word)) {
            shellSeen = true;
        } else if (shellSeen && word.startsWith(QLatin1Char('-')) && !word.startsWith(QLatin1String("--")) &&
                   word.contains(QLatin1Char('c'))) {
            if (words[w + 1].second == rawTarget) return refuse("its command line hands the page to a shell as a script");
            break;
        }
    }
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
