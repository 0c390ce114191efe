// The fuzzing entry points of what the editing tools read from outside: snippet files and their
// expansion, user-script directives, Tidy operation files, desktop entries, qvdt: addresses and
// the head of a page as the document properties read it.
#include "fuzz/FuzzTargets.h"

#include "editor/QVDocumentProperties.h"
#include "editor/QVSnippet.h"
#include "editor/QVSnippetRepository.h"
#include "shell/QVURLHandlerCommand.h"
#include "tools/QVDesktopEntry.h"
#include "tools/QVTidyOperation.h"
#include "tools/QVUserScript.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cstring>
#include <optional>

namespace fuzz {

namespace {

// A private folder for the readers that take a path, made once per run.
QString scratchFile(const QString& name, const QByteArray& bytes) {
    static QTemporaryDir folder;
    const QString path = QDir(folder.path()).filePath(name);
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) file.write(bytes);
    return path;
}

bool hasLoneSurrogate(const QString& text) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) ++i;
        else if (text[i].isSurrogate()) return true;
    }
    return false;
}

// The input's first NUL splits it in two texts.
std::pair<QString, QString> twoTexts(const QByteArray& bytes) {
    const qsizetype nul = bytes.indexOf('\0');
    if (nul < 0) return {QString::fromUtf8(bytes), QString()};
    return {QString::fromUtf8(bytes.left(nul)), QString::fromUtf8(bytes.mid(nul + 1))};
}

}  // namespace

// --- What a command line does with a page, judged as exec, env, the shells and the interpreters
// would: independent of how Qorvel builds or judges the line, so a false alarm never stops a run.

namespace handover {

QString lastComponent(const QString& word) { return word.mid(word.lastIndexOf(QLatin1Char('/')) + 1); }

// The program exec starts for a word: through PATH and every link ("sh" is dash here).
QString programOf(const QString& word) {
    const QString found = word.contains(QLatin1Char('/')) ? word : QStandardPaths::findExecutable(word);
    const QString resolved = found.isEmpty() ? QString() : QFileInfo(found).canonicalFilePath();
    return lastComponent(resolved.isEmpty() ? word : resolved);
}

// env -S's string split as env splits it: blanks between arguments, '…' literal, "…" with
// escapes, \_ a blank (between arguments outside quotes), \c the end, ${NAME} from the
// environment, # a comment at the start of an argument. Nothing when env would stop with an
// error (an open quote, an unknown escape, "$" without braces).
std::optional<QStringList> envSplit(const QString& text) {
    QStringList words;
    QString word;
    bool inWord = false;
    enum { None, Single, Double } quote = None;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (quote == Single) {
            if (c == QLatin1Char('\'')) quote = None;
            else if (c == QLatin1Char('\\') && i + 1 < text.size() && (text[i + 1] == QLatin1Char('\\') || text[i + 1] == QLatin1Char('\''))) word.append(text[++i]);
            else word.append(c);
            continue;
        }
        if (quote == Double && c == QLatin1Char('"')) {
            quote = None;
            continue;
        }
        if (quote == None && (c == QLatin1Char('\'') || c == QLatin1Char('"'))) {
            quote = c == QLatin1Char('"') ? Double : Single;
            inWord = true;
            continue;
        }
        if (quote == None && (c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n') || c == QLatin1Char('\r') ||
                              c == QLatin1Char('\f') || c == QLatin1Char('\v'))) {
            if (inWord) words.append(word);
            word.clear();
            inWord = false;
            continue;
        }
        if (quote == None && c == QLatin1Char('#') && !inWord) break;
        if (c == QLatin1Char('$')) {
            const qsizetype close = text.indexOf(QLatin1Char('}'), i);
            if (i + 1 >= text.size() || text[i + 1] != QLatin1Char('{') || close < 0) return std::nullopt;
            word.append(qEnvironmentVariable(text.mid(i + 2, close - i - 2).toLocal8Bit().constData()));
            inWord = true;
            i = close;
            continue;
        }
        if (c == QLatin1Char('\\')) {
            if (i + 1 >= text.size()) return std::nullopt;
            const QChar e = text[++i];
            if (e == QLatin1Char('c')) break;
            if (e == QLatin1Char('_')) {
                if (quote == Double) {
                    word.append(QLatin1Char(' '));
                } else {
                    if (inWord) words.append(word);
                    word.clear();
                    inWord = false;
                }
                continue;
            }
            static const QHash<QChar, QChar> escapes = {{'f', '\f'}, {'n', '\n'}, {'r', '\r'}, {'t', '\t'}, {'v', '\v'}, {'#', '#'},
                                                        {'$', '$'}, {'\\', '\\'}, {'"', '"'}, {'\'', '\''}};
            if (!escapes.contains(e)) return std::nullopt;
            word.append(escapes.value(e));
            inWord = true;
            continue;
        }
        word.append(c);
        inWord = true;
    }
    if (quote != None) return std::nullopt;
    if (inWord) words.append(word);
    return words;
}

// Why argv reads page as code or runs it (a shell's or interpreter's code, the script it runs, a
// string a program hands to a shell, the program itself), followed from program to program;
// empty when it never does.
QString handsOver(QStringList argv, const QString& page, int depth = 0) {
    const auto holds = [&](const QString& word) { return word.contains(page); };
    const auto holdsFrom = [&](qsizetype from) {
        for (qsizetype i = from; i < argv.size(); ++i)
            if (holds(argv[i])) return true;
        return false;
    };
    if (argv.isEmpty() || depth > 16) return {};
    if (holds(argv[0])) return QStringLiteral("runs the page as a program");
    const QString name = programOf(argv[0]);
    static const QRegularExpression versioned(QStringLiteral("[0-9.]+$"));
    const QString family = QString(name).remove(versioned);
    static const QSet<QString> shells = {"sh", "bash", "dash", "ash", "ksh", "mksh", "lksh", "pdksh", "zsh", "yash", "posh",
                                         "rbash", "rksh", "hush", "csh", "tcsh", "fish"};
    // Takes "-X value" or "-Xvalue" for the options in withValue; answers the value and moves i past it.
    const auto value = [&](qsizetype& i, qsizetype at) -> std::optional<QString> {
        const QString& word = argv[i];
        if (at + 1 < word.size()) return (++i, word.mid(at + 1));
        if (i + 1 >= argv.size()) return std::nullopt;
        i += 2;
        return argv[i - 1];
    };
    if (name == QLatin1String("busybox") || name == QLatin1String("toybox"))
        return argv.size() > 1 && holds(argv[1]) ? QStringLiteral("runs the page as an applet") : handsOver(argv.mid(1), page, depth + 1);
    if (name == QLatin1String("env")) {
        qsizetype i = 1;
        while (i < argv.size() && argv[i].startsWith(QLatin1Char('-')) && argv[i] != QLatin1String("-")) {
            const QString word = argv[i];
            if (word == QLatin1String("--")) {
                ++i;
                break;
            }
            if (word.startsWith(QLatin1String("--"))) {
                const QString option = word.mid(2).section(QLatin1Char('='), 0, 0);
                static const QStringList longOptions = {"argv0", "block-signal", "chdir", "debug", "default-signal", "help", "ignore-environment",
                                                        "ignore-signal", "list-signal-handling", "null", "split-string", "unset", "version"};
                QStringList matches;
                for (const QString& candidate : longOptions)
                    if (candidate.startsWith(option)) matches.append(candidate);
                if (option.isEmpty() || (matches.size() != 1 && !matches.contains(option))) return {};  // env stops: no such option
                const QString full = matches.contains(option) ? option : matches.first();
                const bool attached = word.contains(QLatin1Char('='));
                QString argument;
                if (QStringList{"argv0", "chdir", "split-string", "unset"}.contains(full) && !attached) {
                    if (i + 1 >= argv.size()) return {};
                    argument = argv[++i];
                } else {
                    argument = word.section(QLatin1Char('='), 1);
                }
                ++i;
                if (full == QLatin1String("help") || full == QLatin1String("version")) return {};
                if (full == QLatin1String("split-string")) {
                    if (holds(argument)) return QStringLiteral("env splits the page as a command line");
                    const std::optional<QStringList> split = envSplit(argument);
                    if (!split) return {};
                    argv = QStringList{argv[0]} + *split + argv.mid(i);
                    i = 1;
                }
                continue;
            }
            bool moved = false;
            for (qsizetype c = 1; c < word.size() && !moved; ++c) {
                const QChar letter = word[c];
                if (QStringLiteral("i0v").contains(letter)) continue;
                if (QStringLiteral("uCaS").contains(letter) || letter == QLatin1Char('A')) {
                    const std::optional<QString> argument = value(i, c);
                    if (!argument) return {};
                    if (letter == QLatin1Char('S')) {
                        if (holds(*argument)) return QStringLiteral("env splits the page as a command line");
                        const std::optional<QStringList> split = envSplit(*argument);
                        if (!split) return {};
                        argv = QStringList{argv[0]} + *split + argv.mid(i);
                        i = 1;
                    }
                    moved = true;
                    continue;
                }
                return {};  // env stops: no such option
            }
            if (!moved) ++i;
        }
        if (i < argv.size() && argv[i] == QLatin1String("-")) ++i;
        while (i < argv.size() && argv[i].contains(QLatin1Char('='))) ++i;
        return handsOver(argv.mid(i), page, depth + 1);
    }
    if (shells.contains(family)) {
        bool command = false;
        qsizetype i = 1;
        while (i < argv.size()) {
            const QString& word = argv[i];
            if (word == QLatin1String("--") || word == QLatin1String("-")) {
                ++i;
                break;
            }
            if (word.startsWith(QLatin1String("--"))) {
                i += word == QLatin1String("--rcfile") || word == QLatin1String("--init-file") ? 2 : 1;
                continue;
            }
            if (word.size() < 2 || (word[0] != QLatin1Char('-') && word[0] != QLatin1Char('+'))) break;
            qsizetype next = i + 1;
            for (qsizetype c = 1; c < word.size(); ++c) {
                const QChar letter = word[c];
                if (!letter.isLetter() || letter.unicode() > 127) return {};  // the shell stops: no such option
                if (letter == QLatin1Char('c')) {
                    if (word[0] == QLatin1Char('+')) return {};
                    command = true;
                } else if (letter == QLatin1Char('o') || letter == QLatin1Char('O')) {
                    ++next;
                }
            }
            i = next;
        }
        if (i >= argv.size()) return {};
        if (command) return holds(argv[i]) ? QStringLiteral("%1 runs the page in its script").arg(name) : QString();
        return holds(argv[i]) ? QStringLiteral("%1 runs the page as its script").arg(name) : QString();
    }
    // Interpreters: the options that take code, and whether the first operand is then a script.
    static const QHash<QString, QString> codeOptions = {{"python", "c"}, {"pypy", "c"}, {"perl", "eE"}, {"ruby", "e"},
                                                        {"node", "ep"}, {"nodejs", "ep"}, {"php", "r"}, {"awk", ""}, {"gawk", ""},
                                                        {"mawk", ""}, {"nawk", ""}, {"sed", "e"}};
    if (codeOptions.contains(family)) {
        const QString code = codeOptions.value(family);
        const bool programFirst = family.endsWith(QLatin1String("awk")) || family == QLatin1String("sed");
        bool given = false;
        qsizetype i = 1;
        while (i < argv.size() && argv[i].startsWith(QLatin1Char('-')) && argv[i].size() > 1) {
            if (argv[i] == QLatin1String("--")) {
                ++i;
                break;
            }
            if (argv[i].startsWith(QLatin1String("--"))) {
                if ((family.startsWith(QLatin1String("node")) && (argv[i] == QLatin1String("--eval") || argv[i] == QLatin1String("--print")))) {
                    if (i + 1 < argv.size() && holds(argv[i + 1])) return QStringLiteral("%1 runs the page as code").arg(name);
                    given = true;
                    i += 2;
                    continue;
                }
                if (holds(argv[i])) return QStringLiteral("%1 reads the page as an option").arg(name);
                ++i;
                continue;
            }
            const qsizetype at = i;
            bool done = false;
            for (qsizetype c = 1; c < argv[at].size() && !done; ++c) {
                const QChar letter = argv[at][c];
                if (code.contains(letter)) {
                    const std::optional<QString> text = value(i, c);
                    if (text && holds(*text)) return QStringLiteral("%1 runs the page as code").arg(name);
                    given = true;
                    done = true;
                } else if (QStringLiteral("fvFWXm").contains(letter)) {
                    // A file of code, an assignment, a separator, a warning, a module: an argument.
                    const std::optional<QString> text = value(i, c);
                    if (text && holds(*text) && letter == QLatin1Char('f')) return QStringLiteral("%1 runs the page as its program").arg(name);
                    given = given || letter == QLatin1Char('f') || letter == QLatin1Char('m');
                    done = true;
                }
            }
            if (!done) ++i;
        }
        if (!given && i < argv.size() && holds(argv[i])) return QStringLiteral("%1 runs the page as %2").arg(name, programFirst ? "its program" : "its script");
        return {};
    }
    // Programs that hand a string to a shell.
    if (family == QLatin1String("watch")) {
        if (argv.contains(QLatin1String("-x")) || argv.contains(QLatin1String("--exec"))) return {};
        return holdsFrom(1) ? QStringLiteral("watch hands the page to sh -c") : QString();
    }
    if (QStringList{"script", "flock", "su", "runuser"}.contains(family)) {
        for (qsizetype i = 1; i < argv.size(); ++i) {
            const QString& word = argv[i];
            if ((word == QLatin1String("-c") || word == QLatin1String("--command")) && i + 1 < argv.size() && holds(argv[i + 1]))
                return QStringLiteral("%1 hands the page to a shell").arg(name);
            if ((word.startsWith(QLatin1String("--command=")) || (word.startsWith(QLatin1String("-c")) && !word.startsWith(QLatin1String("--")))) && holds(word))
                return QStringLiteral("%1 hands the page to a shell").arg(name);
        }
        // su and runuser pass what follows to the user's shell.
        if ((family == QLatin1String("su") || family == QLatin1String("runuser")) && holdsFrom(1)) return QStringLiteral("%1 hands the page to a shell").arg(name);
        return {};
    }
    if (family == QLatin1String("sudo") || family == QLatin1String("doas")) return holdsFrom(1) ? QStringLiteral("%1 runs the page as another user").arg(name) : QString();
    // Programs that run the program after their options.
    static const QHash<QString, QString> wrappers = {{"nice", "n"}, {"nohup", ""}, {"setsid", ""}, {"stdbuf", "ioe"}, {"timeout", "sk"}};
    if (wrappers.contains(family)) {
        qsizetype i = 1;
        while (i < argv.size() && argv[i].startsWith(QLatin1Char('-')) && argv[i].size() > 1) {
            if (argv[i] == QLatin1String("--")) {
                ++i;
                break;
            }
            const bool takes = !argv[i].startsWith(QLatin1String("--")) && argv[i].size() == 2 && wrappers.value(family).contains(argv[i][1]);
            i += takes ? 2 : 1;
        }
        if (family == QLatin1String("timeout")) ++i;  // the duration
        return handsOver(argv.mid(i), page, depth + 1);
    }
    return {};
}

}  // namespace handover

QString snippets(const QByteArray& bytes) {
    // The file as Qorvel writes it and as another editor may have: the metadata reads, the body
    // expands with a selection, and the caret lands inside the result.
    const QString path = scratchFile(QStringLiteral("snippet"), bytes);
    QVSnippet snippet(path, false);
    snippet.parse();
    (void)snippet.keyEquivalent();
    (void)snippet.keywordTrigger();
    const std::optional<QString> body = QVSnippet::readFile(path);
    if (!body) return QStringLiteral("a regular file did not read");
    const auto [text, selection] = twoTexts(bytes);
    qint64 cursor = -1;
    if (const std::optional<QString> expanded = QVSnippet::expand(text, selection, &cursor)) {
        if (cursor < 0 || cursor > expanded->size()) return QStringLiteral("the caret lies outside the expansion: %1").arg(cursor);
        qint64 again = -1;
        if (snippet.stringWithSelection(selection, &again) && (again < 0)) return QStringLiteral("no caret from the file");
    }
    // The first line as a title: a file name that a file system takes as it is.
    const QString name = QVSnippetRepository::safeFileName(text);
    if (name.isEmpty() || name.toUtf8().size() > 255 || name.contains(QLatin1Char('/')) || name == QLatin1String(".") ||
        name == QLatin1String("..") || hasLoneSurrogate(name) || name.contains(QChar(0)))
        return QStringLiteral("a title became the file name \"%1\"").arg(name);
    return {};
}

QString userScripts(const QByteArray& bytes) {
    // Directives declare entries of the script itself: the program run is always the file.
    const QString path = QStringLiteral("/nonexistent/fuzz/script.sh");
    const QString text = QString::fromUtf8(bytes);
    for (const QVUserScriptEntry& entry : QVUserScript::entriesInText(text, path)) {
        if (entry.scriptPath != path) return QStringLiteral("an entry runs \"%1\"").arg(entry.scriptPath);
        for (const QString& value : QStringList{entry.title, entry.keyEquivalent, entry.input, entry.output} + entry.arguments)
            if (value.contains(QLatin1Char('}'))) return QStringLiteral("a directive's value runs past its end: ") + value;
        (void)entry.menuItemRepresentation();
        (void)QVUserScriptPlacement::fromOutput(entry.output);
    }
    QVUserScriptSnapshot snapshot;
    snapshot.allText = text;
    (void)QVUserScript::substitutePlaceholders(text, snapshot);
    return {};
}

QString tidyConfigurations(const QByteArray& bytes) {
    // An operation file reads; what commit writes (when it writes at all) reads back as the
    // same operation.
    const QString path = scratchFile(QStringLiteral("fuzz.tidy"), bytes);
    QVTidyOperation operation(path);
    operation.read();
    if (!operation.commit()) return {};
    QVTidyOperation again(path);
    again.read();
    if (again.title() != operation.title() || again.description() != operation.description() ||
        again.fileText() != operation.fileText())
        return QStringLiteral("an operation written out reads back otherwise:\n%1\n---\n%2").arg(operation.fileText(), again.fileText());
    return {};
}

QString desktopEntries(const QByteArray& bytes) {
    // Any entry: the page is one argument, never the program, never cut, and nothing the line
    // starts reads it as code; an address goes over percent-encoded, a path as it is.
    const QString path = scratchFile(QStringLiteral("fuzz.desktop"), bytes);
    const std::optional<QVDesktopEntry> entry = QVDesktopEntry::read(path);
    if (!entry) return {};
    const QString target = QStringLiteral("/tmp/Q'$(touch pwned)\"`x`; a b*.html");
    QString address = QStringLiteral("file://");
    for (const char c : target.toUtf8()) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || (c != 0 && std::strchr("-._~/", c));
        address += plain ? QString(QLatin1Char(c)) : QLatin1Char('%') + QStringLiteral("%1").arg(uchar(c), 2, 16, QLatin1Char('0')).toUpper();
    }
    const std::optional<QStringList> command = entry->commandFor(target);
    if (!command) return {};
    if (command->isEmpty() || command->first().isEmpty()) return QStringLiteral("an empty program");
    if (command->first().contains(QLatin1String("pwned"))) return QStringLiteral("the program comes from the target: ") + command->first();
    int holders = 0;
    for (const QString& argument : *command) {
        if (!argument.contains(QLatin1String("pwned"))) continue;
        ++holders;
        if (!argument.contains(target) && !argument.contains(address)) return QStringLiteral("the target is cut: ") + argument;
    }
    if (holders != 1) return QStringLiteral("the target is in %1 arguments: %2").arg(holders).arg(command->join(QLatin1Char('|')));
    if (const QString how = handover::handsOver(*command, target); !how.isEmpty())
        return QStringLiteral("%1: %2").arg(how, command->join(QLatin1Char('|')));
    return {};
}

QString qvdtAddresses(const QByteArray& bytes) {
    const QString url = QString::fromUtf8(bytes);
    const std::optional<QVURLHandlerCommand::Request> request = QVURLHandlerCommand::parse(url);
    if (!request || !request->range) return {};
    for (const qint64 length : {qint64(0), qint64(1), qint64(17), qint64(1) << 40}) {
        const QVRange clamped = QVURLHandlerCommand::clampedRange(*request->range, length);
        if (clamped.location < 0 || clamped.length < 0 || clamped.location > length || clamped.end() > length)
            return QStringLiteral("a range outside a text of %1: %2+%3").arg(length).arg(clamped.location).arg(clamped.length);
    }
    return {};
}

QString documentProperties(const QByteArray& bytes) {
    // Read, apply unchanged, read again: the text and every value stay as they were.
    // (An empty text is a new page, which gets the skeleton: not an unchanged apply.)
    QVDocumentProperties::Lists lists = QVDocumentProperties::sharedLists();
    const QString text = QString::fromUtf8(bytes);
    QVDocumentProperties first(lists);
    first.includeBasicTags = false;
    first.parse(text);
    const QString applied = first.apply(text, QStringLiteral("\n"), QStringLiteral("  "));
    if (applied != text) return QStringLiteral("applying unchanged values changed the text:\n") + applied;
    QVDocumentProperties second(lists);
    second.parse(applied);
    if (second.doctype != first.doctype || second.encoding != first.encoding || second.language != first.language ||
        second.title != first.title || second.base != first.base || second.addXMLProlog != first.addXMLProlog ||
        second.metaElements != first.metaElements)
        return QStringLiteral("the head reads otherwise the second time");
    // A new title or base rewrites its own element only: every other value reads as before.
    for (const bool title : {true, false}) {
        QVDocumentProperties changed(lists);
        changed.includeBasicTags = false;
        changed.parse(text);
        (title ? changed.title : changed.base) = QStringLiteral("Fuzz \"value\" </title>");
        const QString written = changed.apply(text, QStringLiteral("\n"), QStringLiteral("  "));
        QVDocumentProperties reread(lists);
        reread.parse(written);
        if (reread.doctype != first.doctype || reread.encoding != first.encoding || reread.language != first.language ||
            (title ? reread.base != first.base : reread.title != first.title) || reread.addXMLProlog != first.addXMLProlog ||
            reread.metaElements != first.metaElements)
            return QStringLiteral("a new %1 changed another value:\n%2").arg(title ? "title" : "base", written);
    }
    return {};
}

}  // namespace fuzz
