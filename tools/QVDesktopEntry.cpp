#include "tools/QVDesktopEntry.h"

#include "platform/RegularFile.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
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

// text as one word of a POSIX shell: between single quotes, each quote closed, escaped and
// reopened. A field code inside a quoted argument is left undefined by the desktop-entry rules;
// the only use it has is a script handed to a shell ("sh -c \"open %u\""), where the shell must
// read the target as one word, never as code.
QString shellWord(const QString& text) {
    QString word = text;
    word.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + word + QLatin1Char('\'');
}

bool isTargetCode(QChar code) { return QStringLiteral("uUfF").contains(code); }

// The shells whose "-c" takes a script (sh, bash, dash, zsh, ksh, csh, fish... and busybox): a
// field code standing unquoted in that script would make the target the program.
bool isShell(const QString& program) {
    const QString name = QFileInfo(program).fileName();
    return !program.startsWith(QLatin1Char('-')) && (name.endsWith(QLatin1String("sh")) || name == QLatin1String("busybox"));
}

}  // namespace

std::optional<QStringList> QVDesktopEntry::splitExec(const QString& exec) {
    const std::optional<QList<ExecArgument>> split = splitArguments(exec);
    if (!split) return std::nullopt;
    QStringList arguments;
    for (const ExecArgument& argument : *split) arguments.append(argument.text);
    return arguments;
}

std::optional<QStringList> QVDesktopEntry::commandFor(const QString& target) const {
    const std::optional<QList<ExecArgument>> split = splitArguments(exec);
    // The program itself never comes from a field code: "Exec=%u" would run the address.
    if (!split || split->isEmpty() || split->first().text.contains(QLatin1Char('%'))) return std::nullopt;
    // One target only: a second code would hand it over twice, and nobody knows how it is read.
    int targetCodes = 0;
    for (const ExecArgument& argument : *split)
        for (qsizetype i = 0; i + 1 < argument.text.size(); ++i)
            if (argument.text[i] == QLatin1Char('%')) {
                targetCodes += isTargetCode(argument.text[i + 1]) ? 1 : 0;
                ++i;
            }
    if (targetCodes > 1) return std::nullopt;
    QStringList command;
    bool targetPlaced = false;
    qsizetype rawTarget = -1;  // the argument that holds the target unquoted
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
            if (i + 1 == argument.text.size()) return std::nullopt;
            const bool quoted = argument.quoted[i];
            const auto place = [&](const QString& value) { expanded.append(quoted ? shellWord(value) : value); };
            switch (argument.text[++i].unicode()) {
            case '%': expanded.append(QLatin1Char('%')); break;
            case 'u': case 'f': case 'U': case 'F':
                place(target);
                targetPlaced = true;
                if (!quoted) rawTarget = command.size();
                break;
            case 'c': place(name); break;
            case 'k': place(path); break;
            case 'd': case 'D': case 'n': case 'N': case 'v': case 'm':
                dropped = true;
                break;
            default: return std::nullopt;
            }
        }
        if (dropped && expanded.isEmpty()) continue;
        command.append(expanded);
    }
    if (command.isEmpty() || command.first().isEmpty()) return std::nullopt;
    if (!targetPlaced) {
        rawTarget = command.size();
        command.append(target);
    }
    // The script of "sh -c", also behind another program (env, nice, a sandbox): the argument
    // after the first option holding "c" that follows a shell's name. The target unquoted there
    // ("sh -c %u", or appended to "sh -c") would be run as code.
    bool shellSeen = false;
    for (qsizetype a = 0; a + 1 < command.size(); ++a) {
        const QString& argument = command[a];
        if (isShell(argument)) {
            shellSeen = true;
        } else if (shellSeen && argument.startsWith(QLatin1Char('-')) && !argument.startsWith(QLatin1String("--")) &&
                   argument.contains(QLatin1Char('c'))) {
            if (a + 1 == rawTarget) return std::nullopt;
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
