// The script literals a plain quote-and-comment scan gets wrong: regular-expression literals
// (`/a'b/`, whose quotes open nothing), template strings (`` `a ${b} c` ``, whose holes hold
// code with its own quotes and backticks) and PHP's heredocs and nowdocs (`<<<ID`, whose lines
// may hold quotes and "?>" alike).
#pragma once

#include <QStringView>
#include <QtGlobal>

#include <vector>

namespace QVScriptLiterals {

// Whether an operand may start at index: what stands before it on its line (from floor, the
// start of the text being looked at when that is later) is nothing, an operator or opening
// punctuation, or a word after which an expression follows (return, typeof, case...). After a
// name, a number, a closing bracket or a string a slash divides. Only the same line counts, so
// colouring a line never depends on the lines before it.
bool operandMayStartAt(QStringView text, qint64 index, qint64 floor);

// Whether c belongs to a word (a name, a number or a word like "return") for operandMayStartAt().
bool isWordCharacter(QChar c);

// The first index operandMayStartAt(text, index, floor) reads, for any floor at or below it:
// the character before the blanks in front of index, or the character before the word that
// ends there. -1 when it would read on to the start of text.
qint64 lookBackStart(QStringView text, qint64 index);

// The end (just past its flags) of the regular-expression literal whose opening slash is at
// index, or -1 when none closes before the line ends or limit: then the slash divides. A slash
// inside a character class or after a backslash does not close it. The caller has already ruled
// out the comment begins "//" and "/*". read, when given, receives the end of what was read
// (past limit when the scan reached it). sameUntil, when given, receives where the later slashes
// the scan passed stop being rejected as it was (-1 when it closes); closesAlikeUntil where those
// of a scan that closes stop closing where it does (-1 when it does not).
qint64 endOfRegexLiteral(QStringView text, qint64 index, qint64 limit, qint64* read = nullptr, qint64* sameUntil = nullptr,
                         qint64* closesAlikeUntil = nullptr);

// Where a read of a template string stands: in the outermost string's own text (no frames), or
// inside what its "${...}" holes opened, outermost first: a hole's code (how many of its own
// braces are open, 0 or more), a template string opened in that code (Template) or a quoted
// string there (DoubleQuoted, SingleQuoted) or a comment there (LineComment, BlockComment; a
// regular-expression literal there is passed over whole, being one line's). TooDeep: nested
// deeper than a read follows, so the outermost string never closes. A line break ends a quoted string of a hole unless a backslash
// carries it on, so a read that stops at a line's start needs nothing else to go on.
struct TemplateNesting {
    static constexpr qint64 Template = -1;
    static constexpr qint64 DoubleQuoted = -2;
    static constexpr qint64 SingleQuoted = -3;
    static constexpr qint64 TooDeep = -4;
    static constexpr qint64 LineComment = -5;
    static constexpr qint64 BlockComment = -6;
    std::vector<qint64> frames;
    bool operator==(const TemplateNesting&) const = default;
};

// The end (just past the closing backtick) of the template string whose backtick is at index,
// or -1 when it is not closed before limit. Backslashes escape; the code of a "${...}" hole is
// skipped with its quoted strings, comments, regular-expression literals, nested template
// strings and braces.
qint64 endOfTemplateString(QStringView text, qint64 index, qint64 limit);
// The same read begun at from, where an earlier read stood in nesting (no backslash pending):
// just past the outermost string's closing backtick, or -1 when it is not closed before limit;
// then resumable receives where the read can go on (limit itself unless a backslash, a "$", a
// slash or a comment's "*" stands just before it, or a hole's regular-expression literal runs
// up to it, whose meaning the characters from limit on decide) and nesting how it stands there.
qint64 readTemplate(QStringView text, qint64 from, qint64 limit, TemplateNesting& nesting, qint64* resumable);

// The end (just past the closing identifier) of the heredoc or nowdoc whose "<<<" is at index,
// limit when it is not closed before limit, or -1 when none opens there. It opens with "<<<",
// blanks, an identifier (bare or in double quotes: a heredoc; in single quotes: a nowdoc) and
// a line break right after it, and closes at the first line that begins, after blanks, with
// the identifier not followed by an identifier character. read, when given, receives the end
// of what was read.
qint64 endOfHeredoc(QStringView text, qint64 index, qint64 limit, qint64* read = nullptr);
// The opening of that heredoc or nowdoc: the start of its body's first line (just past the line
// break after the identifier), with label the identifier; -1 when none opens at index before
// limit (read then as for endOfHeredoc()).
qint64 heredocBody(QStringView text, qint64 index, qint64 limit, QStringView* label, qint64* read = nullptr);
// Whether the line of a heredoc's body that begins at lineStart closes it: just past label
// there, else -1.
qint64 heredocClosesAt(QStringView text, qint64 lineStart, qint64 limit, QStringView label);

}  // namespace QVScriptLiterals
