// Function prototypes and the call and argument at a caret.
#include "languages/QVCodeHinting.h"

#include "platform/QVRegex.h"

#include <QList>

namespace {

bool isLineBreak(QChar c) { return c == QLatin1Char('\n') || c == QLatin1Char('\r'); }

}  // namespace

QVCodeHinting::QVCodeHinting(std::weak_ptr<QVBundle> bundle, const QVariantMap& plist)
    : _bundle(std::move(bundle)),
      _prototypes(plist),
      _functionNameExpr(QVRegex::create(QStringLiteral("([a-zA-Z][\\w\\d\\-_>]*)\\s*\\($"))) {}

QString QVCodeHinting::prototypeInString(const QString& text, qint64 location, qint64* argumentNumber) const {
    const QString name = functionNameInString(text, location, argumentNumber);
    if (name.isNull()) return {};
    const QVariant prototype = _prototypes.value(name);
    return prototype.typeId() == QMetaType::QString ? prototype.toString() : QString();
}

QString QVCodeHinting::functionNameInString(const QString& text, qint64 location, qint64* argumentNumber) const {
    location = std::clamp<qint64>(location, 0, text.size());
    qint64 lineStart = location;
    while (lineStart > 0 && !isLineBreak(text[lineStart - 1])) --lineStart;
    qint64 lineEnd = location;
    while (lineEnd < text.size() && !isLineBreak(text[lineEnd])) ++lineEnd;

    qint64 open = -1;
    int depth = 0;
    for (qint64 i = location - 1; i >= lineStart; --i) {
        const QChar c = text[i];
        if (c == QLatin1Char(')')) {
            ++depth;
        } else if (c == QLatin1Char('(')) {
            if (depth < 1) {
                open = i;
                break;
            }
            --depth;
        }
    }
    if (open < 0) return {};

    const QStringView line = QStringView(text).mid(lineStart, lineEnd - lineStart);
    const QString name = functionNameBefore(open + 1 - lineStart, line);
    if (name.isNull()) return {};
    if (argumentNumber) {
        const QStringView arguments = line.mid(open + 1 - lineStart);
        *argumentNumber = argumentIndexInString(arguments, location - (open + 1));
    }
    return name;
}

QString QVCodeHinting::functionNameBefore(qint64 index, QStringView text) const {
    if (!_functionNameExpr) return {};
    index = std::clamp<qint64>(index, 0, text.size());
    const std::optional<QVRegexMatch> match = _functionNameExpr->copyMatchForUTF16(
        reinterpret_cast<const char16_t*>(text.utf16()), text.size(), QVRange(0, index));
    if (!match) return {};
    const QVRange name = match->rangeForCapture(1);
    if (name.isNotFound()) return {};
    return text.mid(name.location, name.length).toString();
}

qint64 QVCodeHinting::argumentIndexInString(QStringView text, qint64 position) {
    const QChar backslash = QLatin1Char('\\');
    QList<QChar> stack;
    qint64 commas = 0;
    const qint64 last = std::min<qint64>(position, text.size() - 1);
    for (qint64 i = 0; i <= last; ++i) {
        const QChar c = text[i];
        const bool empty = stack.isEmpty();
        const QChar top = empty ? QChar() : stack.last();
        bool applied = true;
        if (c == QLatin1Char('\'') || c == QLatin1Char('"')) {
            if (!empty && (top == c || top == backslash)) stack.removeLast();
            else if (empty) stack.append(c);
            // a quote inside another string or inside parentheses is plain text
            else applied = false;
        } else if (c == backslash) {
            if (!empty && top == backslash) stack.removeLast();
            else if (empty) stack.append(c);
            else applied = false;
        } else if (c == QLatin1Char('(')) {
            if (empty) stack.append(c);
            else applied = false;
        } else if (c == QLatin1Char(')')) {
            if (!empty && top == QLatin1Char('(')) stack.removeLast();
            else applied = false;
        } else if (c == QLatin1Char(',')) {
            if (empty) ++commas;
            else applied = false;
        } else {
            applied = false;
        }
        // An escaped character is consumed by the backslash before it.
        if (!applied && !stack.isEmpty() && stack.last() == backslash) stack.removeLast();
    }
    return commas;
}
