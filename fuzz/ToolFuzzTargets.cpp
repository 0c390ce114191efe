// The fuzzing entry points of what the editing tools read from outside: snippet files and their
// expansion, user-script directives, Tidy operation files, desktop entries, qvdt: addresses and
// the head of a page as the document properties read it.
#include "fuzz/FuzzTargets.h"

#include "editor/QVDocumentProperties.h"
#include "editor/QVSnippet.h"
#include "editor/QVSnippetRepository.h"
#include "platform/FileName.h"
#include "shell/QVURLHandlerCommand.h"
#include "tools/QVBrowser.h"
#include "tools/QVDesktopEntry.h"
#include "tools/QVTidyOperation.h"
#include "tools/QVUserScript.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

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
    // Any entry: what the started process could open or run through the page is the page itself,
    // as its file's address, and nothing else. The page is one argument, never the program, never
    // cut, and only ever its address: every shell, interpreter or terminal that takes the address
    // as a path or a command reads "file:/…" below the folder the browser starts in, which must be
    // empty (no "file:" tree, unlike the fuzzer's own working folder may be) and not the folder
    // Qorvel runs in. Independent of how Qorvel judges the line.
    const QString path = scratchFile(QStringLiteral("fuzz.desktop"), bytes);
    const std::optional<QVDesktopEntry> entry = QVDesktopEntry::read(path);
    if (!entry) return {};
    const QByteArray target = "/tmp/Q'$(touch pwned)\"`x`; a b*\xff.html";
    const QString address = QStringLiteral("file://") + QString::fromLatin1(target.toPercentEncoding("/"));
    const std::optional<QStringList> command = entry->commandFor(FileName::decode(target));
    if (!command) return {};
    if (command->isEmpty() || command->first().isEmpty()) return QStringLiteral("an empty program");
    if (command->first().contains(QLatin1String("pwned"))) return QStringLiteral("the program comes from the target: ") + command->first();
    const QString folder = QVBrowser::startFolder();
    if (folder.isEmpty() || FileName::canonical(folder) == FileName::canonical(QDir::currentPath()) || !FileName::entries(folder).isEmpty())
        return QStringLiteral("the browser would start in \u201c%1\u201d, which is no empty folder of its own").arg(folder);
    int holders = 0;
    for (const QString& argument : *command) {
        if (!argument.contains(QLatin1String("pwned"))) continue;
        ++holders;
        const qsizetype at = argument.indexOf(address);
        if (at < 0) return QStringLiteral("the page goes over otherwise than as its address: ") + argument;
        // Read as a path, from its start or from where the address starts ("--app=file:…").
        for (const QString& read : {argument, argument.mid(at)})
            if (FileName::exists(folder + QLatin1Char('/') + read)) return QStringLiteral("\u201c%1\u201d names a file where the browser starts").arg(read);
    }
    if (holders != 1) return QStringLiteral("the target is in %1 arguments: %2").arg(holders).arg(command->join(QLatin1Char('|')));
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
