// One snippet: its file's metadata and its expansion into the text the editor inserts.
#include "editor/QVSnippet.h"

#include "editor/QVSnippetRepository.h"
#include "platform/QVRegex.h"
#include "platform/RegularFile.h"
#include "shell/StringUtilities.h"

#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QStringEncoder>

namespace {

const QString SelectionVariable = QStringLiteral("[*sel]");
const QString CursorVariable = QStringLiteral("[*cur]");
const QString LineBlockOpener = QStringLiteral("[*<line>]");
const QString LineBlockCloser = QStringLiteral("[*</line>]");

bool isBreak(QChar c) { return c == u'\n' || c == u'\r'; }

// body without its comment lines: "#" then a blank, a tab or the line's end, the line's
// break going with it. "#!" and "#id" lines are text.
QString withoutComments(const QString& body) {
    QString result;
    result.reserve(body.size());
    qint64 start = 0;
    const qint64 n = body.size();
    while (start < n) {
        qint64 end = start;
        while (end < n && !isBreak(body[end])) ++end;
        qint64 next = end;
        if (next < n) next += body[next] == u'\r' && next + 1 < n && body[next + 1] == u'\n' ? 2 : 1;
        const bool comment = body[start] == u'#' &&
                             (start + 1 == end || body[start + 1] == u' ' || body[start + 1] == u'\t');
        if (!comment) result += QStringView(body).mid(start, next - start);
        start = next;
    }
    return result;
}

// The selection's lines, split at LF, CR and CR LF, the empty ones left out.
QStringList selectionLines(const QString& selection) {
    QStringList lines;
    qint64 start = 0;
    const qint64 n = selection.size();
    while (start <= n) {
        qint64 end = start;
        while (end < n && !isBreak(selection[end])) ++end;
        if (end > start) lines.append(selection.mid(start, end - start));
        if (end >= n) break;
        start = end + (selection[end] == u'\r' && end + 1 < n && selection[end + 1] == u'\n' ? 2 : 1);
    }
    return lines;
}

}  // namespace

QVSnippet::QVSnippet(QString path, bool isDirectory) : _path(std::move(path)), _isDirectory(isDirectory) {}

QString QVSnippet::title() const { return QFileInfo(_path).fileName(); }

QString QVSnippet::keyEquivalent() {
    if (!_keyEquivalent) parse();
    return *_keyEquivalent;
}

quint64 QVSnippet::keyEquivalentModifiers() {
    if (!_keyEquivalent) parse();
    return _keyEquivalentModifiers;
}

QString QVSnippet::keywordTrigger() {
    if (!_keyEquivalent) parse();
    return _keywordTrigger;
}

void QVSnippet::parse() {
    _keywordTrigger.clear();
    _keyEquivalentModifiers = 0;
    _keyEquivalent = QString();
    if (_isDirectory) return;
    const std::optional<QString> text = readFile(_path);
    if (!text) return;
    if (const auto& pattern = QVSnippetRepository::keywordTriggerPattern()) {
        if (std::optional<QVRegexMatch> match = pattern->copyMatchForString(*text)) {
            const QVRange value = match->rangeForCapture(1);
            _keywordTrigger = text->mid(value.location, value.length);
        }
    }
    if (const auto& pattern = QVSnippetRepository::keyComboPattern()) {
        if (std::optional<QVRegexMatch> match = pattern->copyMatchForString(*text)) {
            const QVRange value = match->rangeForCapture(1);
            _keyEquivalent = StringUtilities::actualKeyWithModifier(text->mid(value.location, value.length), &_keyEquivalentModifiers);
        }
    }
}

MenuItemRep QVSnippet::menuItemRepWithIndentation(qint64 level, bool allowKeyEquivalent) {
    MenuItemRep rep = MenuItemRep::withTitle(title(), _isDirectory ? QString() : QStringLiteral("insertSnippet:"),
                                             allowKeyEquivalent ? keyEquivalent() : QString());
    if (allowKeyEquivalent && !keyEquivalent().isEmpty()) {
        // "@" (Command on the Mac) is Ctrl here, "^" Meta, "~" Alt, "$" Shift.
        const quint64 mask = keyEquivalentModifiers();
        Qt::KeyboardModifiers modifiers;
        if (mask & StringUtilities::CommandKeyMask) modifiers |= Qt::ControlModifier;
        if (mask & StringUtilities::ControlKeyMask) modifiers |= Qt::MetaModifier;
        if (mask & StringUtilities::OptionKeyMask) modifiers |= Qt::AltModifier;
        if (mask & StringUtilities::ShiftKeyMask) modifiers |= Qt::ShiftModifier;
        rep.setKeyEquivalentModifierMask(quint32(modifiers.toInt()));
    }
    if (_isDirectory) rep.setImageIsFolder(true);
    else rep.setImageIsFile(true);
    rep.setIndentation(quint32(std::max<qint64>(0, level)));
    return rep;
}

std::optional<QString> QVSnippet::readFile(const QString& path) {
    const std::optional<QByteArray> bytes = RegularFile::read(path);
    if (!bytes) return std::nullopt;
    const QByteArray& data = *bytes;
    QStringConverter::Encoding encoding = QStringConverter::Utf8;
    if (data.startsWith("\xFF\xFE")) encoding = QStringConverter::Utf16LE;
    else if (data.startsWith("\xFE\xFF")) encoding = QStringConverter::Utf16BE;
    QStringDecoder decoder(encoding, QStringConverter::Flag::ConvertInitialBom | QStringConverter::Flag::Stateless);
    QString text = decoder.decode(data);
    // The byte-order mark is no part of the text.
    if (text.startsWith(QChar(0xFEFF))) text.remove(0, 1);
    return text;
}

QByteArray QVSnippet::fileData(const QString& text) {
    QStringEncoder encoder(QStringConverter::Utf16LE, QStringConverter::Flag::WriteBom);
    return encoder.encode(text);
}

std::optional<QString> QVSnippet::stringWithSelection(const QString& selection, qint64* cursorOffset,
                                                      const QString& indentation) const {
    const std::optional<QString> body = readFile(_path);
    if (!body) return std::nullopt;
    return expand(*body, selection, cursorOffset, indentation);
}

std::optional<QString> QVSnippet::expand(const QString& body, const QString& selection, qint64* cursorOffset,
                                         const QString& indentation) {
    const QString text = withoutComments(body);
    // The template's own lines after the first take the indentation; a blank line stays empty.
    const auto appendIndented = [&](QStringView piece, QString& to) {
        if (indentation.isEmpty()) {
            to += piece;
            return;
        }
        for (qsizetype i = 0; i < piece.size(); ++i) {
            to += piece[i];
            const bool lineEnds = piece[i] == u'\n' || (piece[i] == u'\r' && (i + 1 >= piece.size() || piece[i + 1] != u'\n'));
            if (lineEnds && (i + 1 >= piece.size() || !isBreak(piece[i + 1]))) to += indentation;
        }
    };
    // One pass over the template: what the selection brings is inserted verbatim and never
    // searched for variables, so a selection holding "[*<line>]" or "[*cur]" stays as it is.
    QString result;
    std::vector<QVRange> inserted;  // where the selection's text went
    const auto insertSelection = [&](const QString& piece) {
        inserted.emplace_back(result.size(), piece.size());
        result += piece;
    };
    const auto appendTemplate = [&](QStringView part, const QString& selectionText) {
        qint64 at = 0;
        for (;;) {
            const qint64 found = part.indexOf(SelectionVariable, at);
            if (found < 0) break;
            appendIndented(part.mid(at, found - at), result);
            insertSelection(selectionText);
            at = found + SelectionVariable.size();
        }
        appendIndented(part.mid(at), result);
    };
    const QStringList lines = selectionLines(selection);
    qint64 at = 0;
    for (;;) {
        const qint64 open = text.indexOf(LineBlockOpener, at);
        if (open < 0) break;
        const qint64 close = text.indexOf(LineBlockCloser, open + LineBlockOpener.size());
        if (close < 0) return std::nullopt;
        appendTemplate(QStringView(text).mid(at, open - at), selection);
        const QStringView block = QStringView(text).mid(open + LineBlockOpener.size(), close - open - LineBlockOpener.size());
        for (qsizetype i = 0; i < lines.size(); ++i) {
            if (i > 0) appendIndented(u"\n", result);
            appendTemplate(block, lines[i]);
        }
        at = close + LineBlockCloser.size();
    }
    appendTemplate(QStringView(text).mid(at), selection);

    if (cursorOffset) {
        *cursorOffset = result.size();
        qint64 from = 0;
        for (;;) {
            const qint64 found = result.indexOf(CursorVariable, from);
            if (found < 0) break;
            const bool fromSelection = std::any_of(inserted.begin(), inserted.end(), [&](QVRange r) {
                return found < r.end() && found + CursorVariable.size() > r.location;
            });
            if (!fromSelection) {
                result.remove(found, CursorVariable.size());
                *cursorOffset = found;
                break;
            }
            from = found + 1;
        }
    }
    return result;
}
