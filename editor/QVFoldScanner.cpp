// One-pass matching of the element fold patterns.
#include "editor/QVFoldScanner.h"

#include "platform/QVRegex.h"

#include <QHash>
#include <QMutex>
#include <QStringList>

#include <algorithm>
#include <atomic>
#include <map>

namespace {

std::atomic<quint64> scanned{0};

bool isWordUnit(char16_t c) {
    return c < 128 && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_');
}
bool isSpaceUnit(char16_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// The end of the run of word characters from at.
qint64 wordEnd(QStringView line, qint64 at) {
    while (at < line.size() && isWordUnit(line[at].unicode())) ++at;
    return at;
}

bool startsWithAt(QStringView line, qint64 at, QStringView what) {
    return at + what.size() <= line.size() && line.sliced(at, what.size()) == what;
}

// The names of the element patterns: opener "<(a|b)\b[^>]*>(?!.*</\1\s*>)|<!--(?!.*-->)" and
// closer "^(?:(?!<(?:a|b)\b).)*</(?:a|b)\s*>|^(?:(?!<!--).)*-->"; none for other patterns.
std::vector<QString> elementNames(const QString& opener, const QString& closer) {
    static const QString head = QStringLiteral("<(");
    static const QString tail = QStringLiteral(R"()\b[^>]*>(?!.*</\1\s*>)|<!--(?!.*-->))");
    if (!opener.startsWith(head) || !opener.endsWith(tail)) return {};
    const QString alternatives = opener.mid(head.size(), opener.size() - head.size() - tail.size());
    const QStringList names = alternatives.split(u'|');
    for (const QString& name : names) {
        if (name.isEmpty()) return {};
        for (const QChar c : name)
            if (!isWordUnit(c.unicode())) return {};
    }
    const QString expected = QStringLiteral(R"(^(?:(?!<(?:%1)\b).)*</(?:%1)\s*>|^(?:(?!<!--).)*-->)").arg(alternatives);
    if (closer != expected) return {};
    std::vector<QString> sorted(names.begin(), names.end());
    std::sort(sorted.begin(), sorted.end());
    return sorted;
}

}  // namespace

QVFoldScanner::QVFoldScanner(std::shared_ptr<const QVRegex> opener, std::shared_ptr<const QVRegex> closer)
    : _opener(std::move(opener)), _closer(std::move(closer)) {
    if (_opener && _closer && _opener->options() == QVRegex::DefaultOptions && _closer->options() == QVRegex::DefaultOptions)
        _names = elementNames(_opener->pattern(), _closer->pattern());
}

std::shared_ptr<const QVFoldScanner> QVFoldScanner::forPatterns(const std::shared_ptr<const QVRegex>& opener,
                                                                const std::shared_ptr<const QVRegex>& closer) {
    // The scanner holds its patterns, so the addresses stay theirs while the entry lives.
    static QMutex mutex;
    static std::map<std::pair<const QVRegex*, const QVRegex*>, std::shared_ptr<const QVFoldScanner>> scanners;
    const QMutexLocker lock(&mutex);
    std::shared_ptr<const QVFoldScanner>& scanner = scanners[{opener.get(), closer.get()}];
    if (!scanner) scanner.reset(new QVFoldScanner(opener, closer));
    return scanner;
}

quint64 QVFoldScanner::charactersScanned() { return scanned.load(std::memory_order_relaxed); }

int QVFoldScanner::nameIndex(QStringView name) const {
    const auto it = std::lower_bound(_names.begin(), _names.end(), name, [](const QString& a, QStringView b) { return QStringView(a) < b; });
    return it != _names.end() && QStringView(*it) == name ? int(it - _names.begin()) : -1;
}

std::optional<QVRange> QVFoldScanner::regexMatch(const QVRegex& pattern, QStringView line, qint64 limit, qint64 from) {
    scanned.fetch_add(quint64(std::max<qint64>(limit - from, 0)), std::memory_order_relaxed);
    const auto* units = reinterpret_cast<const char16_t*>(line.utf16());
    std::optional<QVRegexMatch> match = pattern.copyMatchForUTF16(units, line.size(), QVRange(0, limit), QVRegex::MatchNone, from);
    if (!match) return std::nullopt;
    return match->rangeForCapture(0);
}

QList<QVRange> QVFoldScanner::scanOpeners(QStringView line, qint64 from, bool first) const {
    const qint64 n = line.size();
    scanned.fetch_add(quint64(n + std::max<qint64>(n - from, 0)), std::memory_order_relaxed);
    // Where each element's last closing tag and the last comment end start: an opener is one
    // when nothing closes it after it.
    std::vector<qint64> lastClose(_names.size(), -1);
    qint64 lastCommentEnd = -1;
    for (qint64 i = 0; i + 1 < n; ++i) {
        const char16_t c = line[i].unicode();
        if (c == '-' && startsWithAt(line, i, u"-->")) {
            lastCommentEnd = i;
        } else if (c == '<' && line[i + 1] == u'/') {
            const qint64 end = wordEnd(line, i + 2);
            const int k = end > i + 2 ? nameIndex(line.sliced(i + 2, end - i - 2)) : -1;
            if (k < 0) continue;
            qint64 j = end;
            while (j < n && isSpaceUnit(line[j].unicode())) ++j;
            if (j < n && line[j] == u'>') lastClose[size_t(k)] = i;
        }
    }
    QList<QVRange> found;
    qint64 nextGt = -1;  // the first '>' at or after where it was last looked for; n when none
    for (qint64 i = std::max<qint64>(from, 0); i < n; ++i) {
        if (line[i] != u'<') continue;
        if (startsWithAt(line, i, u"<!--")) {
            if (lastCommentEnd < i + 4) {
                found.append(QVRange(i, 4));
                if (first) break;
                i += 3;
            }
            continue;
        }
        const qint64 end = wordEnd(line, i + 1);
        if (end == i + 1) continue;
        const int k = nameIndex(line.sliced(i + 1, end - i - 1));
        if (k < 0) continue;
        if (nextGt < end) {
            nextGt = end;
            while (nextGt < n && line[nextGt] != u'>') ++nextGt;
        }
        if (nextGt >= n) continue;
        if (lastClose[size_t(k)] < nextGt + 1) {
            found.append(QVRange(i, nextGt + 1 - i));
            if (first) break;
            i = nextGt;
        }
    }
    return found;
}

std::optional<QVRange> QVFoldScanner::scanCloser(QStringView line) const {
    const qint64 n = line.size();
    scanned.fetch_add(quint64(n), std::memory_order_relaxed);
    // A closing tag before the first opening one (the last such, as the greedy pattern takes),
    // else a comment end before the first comment start.
    qint64 tagEnd = -1, commentEnd = -1;
    bool tagsOpen = false, commentsOpen = false;
    for (qint64 i = 0; i < n && !(tagsOpen && commentsOpen); ++i) {
        const char16_t c = line[i].unicode();
        if (c == '-' && !commentsOpen && startsWithAt(line, i, u"-->")) {
            commentEnd = i + 3;
        } else if (c == '<') {
            if (startsWithAt(line, i, u"<!--")) commentsOpen = true;
            if (tagsOpen) continue;
            if (i + 1 < n && line[i + 1] == u'/') {
                const qint64 end = wordEnd(line, i + 2);
                if (end == i + 2 || nameIndex(line.sliced(i + 2, end - i - 2)) < 0) continue;
                qint64 j = end;
                while (j < n && isSpaceUnit(line[j].unicode())) ++j;
                if (j < n && line[j] == u'>') tagEnd = j + 1;
            } else {
                const qint64 end = wordEnd(line, i + 1);
                if (end > i + 1 && nameIndex(line.sliced(i + 1, end - i - 1)) >= 0) tagsOpen = true;
            }
        }
    }
    if (tagEnd >= 0) return QVRange(0, tagEnd);
    if (commentEnd >= 0) return QVRange(0, commentEnd);
    return std::nullopt;
}

std::optional<QVRange> QVFoldScanner::firstOpener(QStringView line, qint64 from) const {
    if (!_opener) return std::nullopt;
    if (!scansTags()) return regexMatch(*_opener, line, line.size(), from);
    const QList<QVRange> found = scanOpeners(line, from, true);
    if (found.isEmpty()) return std::nullopt;
    return found.first();
}

QList<QVRange> QVFoldScanner::openers(QStringView line) const {
    if (scansTags()) return scanOpeners(line, 0, false);
    QList<QVRange> found;
    for (qint64 from = 0; _opener && from <= line.size();) {
        const std::optional<QVRange> match = regexMatch(*_opener, line, line.size(), from);
        if (!match) break;
        found.append(*match);
        from = match->length > 0 ? match->end() : match->location + 1;
    }
    return found;
}

std::optional<QVRange> QVFoldScanner::firstCloser(QStringView line, qint64 limit, qint64 from) const {
    if (!_closer) return std::nullopt;
    limit = std::clamp<qint64>(limit, 0, line.size());
    if (!scansTags()) return regexMatch(*_closer, line, limit, from);
    // Both alternatives are anchored at the start of the line.
    if (from > 0) return std::nullopt;
    return scanCloser(line.first(limit));
}

QList<QVRange> QVFoldScanner::closers(QStringView line) const {
    QList<QVRange> found;
    for (qint64 from = 0; _closer && from <= line.size();) {
        const std::optional<QVRange> match = firstCloser(line, line.size(), from);
        if (!match) break;
        found.append(*match);
        from = match->length > 0 ? match->end() : match->location + 1;
    }
    return found;
}
