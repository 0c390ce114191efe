// Reading and writing the head of an HTML page.
#include "editor/QVDocumentProperties.h"

#include "platform/PropertyList.h"
#include "platform/QVRegex.h"
#include "shell/Defaults.h"

#include <algorithm>
#include <optional>

namespace {

// Case-insensitive, "." across lines: what the sheet's patterns are written for; with MultiLine
// "^" also matches at every line start.
constexpr quint32 Options = QVRegex::CaseInsensitive | QVRegex::DotMatchesAll;
constexpr quint32 LineOptions = Options | QVRegex::MultiLine;

std::optional<QVRegexMatch> find(const QString& pattern, const QString& text, quint32 options = Options, qint64 from = 0) {
    const auto regex = QVRegex::create(pattern, options);
    if (!regex || from > text.size()) return std::nullopt;
    return regex->copyMatchForString(text, QVRange(0, text.size()), QVRegex::MatchDefault, from);
}

QString capture(const QString& pattern, const QString& text) {
    const auto match = find(pattern, text);
    if (!match) return {};
    const QVRange range = match->rangeForCapture(1);
    return range.location == QVRange::NotFound ? QString() : text.mid(range.location, range.length);
}

QString escapeAttribute(QString value) { return value.replace(QLatin1Char('"'), QLatin1String("&quot;")); }

// The range to delete for an element at range: its whole line with the line break when nothing
// else stands on the line, else the element alone.
QVRange lineOrElement(const QString& text, QVRange range) {
    qint64 start = range.location, end = range.location + range.length;
    while (start > 0 && (text[start - 1] == u' ' || text[start - 1] == u'\t')) --start;
    if (start > 0 && text[start - 1] != u'\n' && text[start - 1] != u'\r') return range;
    while (end < text.size() && (text[end] == u' ' || text[end] == u'\t')) ++end;
    if (end < text.size() && text[end] == u'\r') ++end;
    if (end < text.size() && text[end] == u'\n') ++end;
    else if (end < text.size() && text[end - 1] != u'\r') return range;
    return QVRange(start, end - start);
}

void removeRange(QString& text, QVRange range) { text.remove(range.location, range.length); }

QStringList stringList(const QVariant& value) {
    QStringList list;
    for (const QVariant& item : value.toList())
        if (item.typeId() == QMetaType::QString) list << item.toString();
    return list;
}

QList<QVDocumentProperties::Item> pairedItems(const QVariantMap& map, const QString& titles, const QString& values) {
    const QStringList t = stringList(map.value(titles)), v = stringList(map.value(values));
    QList<QVDocumentProperties::Item> items;
    for (qsizetype i = 0; i < std::min(t.size(), v.size()); ++i) items.push_back({t[i], v[i]});
    return items;
}

QVariant readList(const QString& name) {
    const QString path = Defaults::pathForResource(name, QStringLiteral("plist"));
    return path.isEmpty() ? QVariant() : PropertyList::readFile(path);
}

// The meta elements the sheet reads, in text order: the element's range (to its ">") with its
// type and value, for the types the lists know.
struct FoundMeta {
    QVRange element;
    QVDocumentProperties::MetaElement meta;
};

QList<FoundMeta> findMetas(const QString& text, const QVDocumentProperties& properties) {
    QList<FoundMeta> found;
    const auto regex = QVRegex::create(QStringLiteral("<meta\\s[^=>]+=\"([^\"]+)\"[^>]+content=\"([^\"]+)\""), Options);
    if (!regex) return found;
    qint64 from = 0;
    while (auto match = regex->copyMatchForString(text, QVRange(0, text.size()), QVRegex::MatchDefault, from)) {
        const QVRange whole = match->rangeForCapture(0);
        const QVRange type = match->rangeForCapture(1), value = match->rangeForCapture(2);
        qint64 close = text.indexOf(u'>', whole.location + whole.length);
        close = close < 0 ? text.size() : close + 1;
        from = close;
        const QVDocumentProperties::MetaElement meta{text.mid(type.location, type.length), text.mid(value.location, value.length)};
        if (!properties.attributeNameForMetaType(meta.type).isEmpty())
            found.push_back({QVRange(whole.location, close - whole.location), meta});
    }
    return found;
}

const QVDocumentProperties::Item* itemWithValue(const QList<QVDocumentProperties::Item>& items, const QString& value) {
    for (const auto& item : items)
        if (!item.title.isEmpty() && item.value.compare(value, Qt::CaseInsensitive) == 0) return &item;
    return nullptr;
}

// The html start tag with attribute name set to value (added before the tag's end when absent).
QString setAttribute(QString tag, const QString& name, const QString& value) {
    const auto match = find(QStringLiteral("\\s%1\\s*=\\s*(\"[^\"]*\"|'[^']*'|[^\\s>]*)").arg(name), tag);
    const QString quoted = QLatin1Char('"') + escapeAttribute(value) + QLatin1Char('"');
    if (match) {
        const QVRange range = match->rangeForCapture(1);
        tag.replace(range.location, range.length, quoted);
    } else {
        qsizetype end = tag.size() - 1;
        if (end > 0 && (tag[end - 1] == u'/' || tag[end - 1] == u'?')) --end;
        while (end > 0 && tag[end - 1].isSpace()) --end;
        tag.insert(end, QLatin1Char(' ') + name + QLatin1Char('=') + quoted);
    }
    return tag;
}

QString removeAttribute(QString tag, const QString& name) {
    if (const auto match = find(QStringLiteral("\\s+%1\\s*=\\s*(\"[^\"]*\"|'[^']*'|[^\\s>]*)").arg(name), tag)) {
        const QVRange range = match->rangeForCapture(0);
        tag.remove(range.location, range.length);
    }
    return tag;
}

bool hasAttribute(const QString& tag, const QString& name) {
    return find(QStringLiteral("\\s%1\\s*=").arg(name), tag).has_value();
}

// The XML prolog with its encoding set; a new encoding goes right after the version, where the
// declaration's grammar wants it.
QString setPrologEncoding(QString prolog, const QString& charset) {
    if (hasAttribute(prolog, QStringLiteral("encoding"))) return setAttribute(prolog, QStringLiteral("encoding"), charset);
    if (const auto version = find(QStringLiteral("\\sversion\\s*=\\s*(\"[^\"]*\"|'[^']*')"), prolog)) {
        const QVRange range = version->rangeForCapture(0);
        prolog.insert(range.location + range.length, QStringLiteral(" encoding=\"%1\"").arg(escapeAttribute(charset)));
        return prolog;
    }
    return setAttribute(prolog, QStringLiteral("encoding"), charset);
}

}  // namespace

const QVDocumentProperties::Lists& QVDocumentProperties::sharedLists() {
    static const Lists lists = [] {
        Lists made;
        const QVariantMap doctypes = readList(QStringLiteral("doctypes")).toMap();
        made.doctypes = pairedItems(doctypes, QStringLiteral("Name"), QStringLiteral("Value"));
        for (const QVariant& entry : readList(QStringLiteral("charsets")).toList()) {
            if (entry.typeId() == QMetaType::QString) {
                made.encodings.push_back({});
            } else {
                const QVariantMap map = entry.toMap();
                const QString shortName = map.value(QStringLiteral("short")).toString();
                if (shortName.isEmpty()) continue;
                made.encodings.push_back({QStringLiteral("%1 (%2)").arg(shortName, map.value(QStringLiteral("full")).toString()), shortName});
            }
        }
        const QVariantMap languages = readList(QStringLiteral("languageCodes")).toMap();
        made.languages = pairedItems(languages, QStringLiteral("Titles"), QStringLiteral("Codes"));
        const QVariantMap meta = readList(QStringLiteral("metaTypes")).toMap();
        made.nameMetaTypes = stringList(meta.value(QStringLiteral("name")));
        made.httpEquivMetaTypes = stringList(meta.value(QStringLiteral("http-equiv")));
        return made;
    }();
    return lists;
}

QStringList QVDocumentProperties::metaTypes(const Lists& lists) {
    QStringList types = lists.nameMetaTypes + lists.httpEquivMetaTypes;
    std::stable_sort(types.begin(), types.end(), [](const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) < 0; });
    return types;
}

QString QVDocumentProperties::valueOf(const QList<Item>& items, const QString& title) {
    if (title.isEmpty()) return {};
    for (const Item& item : items)
        if (item.title == title) return item.value;
    return {};
}

QString QVDocumentProperties::attributeNameForMetaType(const QString& type) const {
    if (_lists.nameMetaTypes.contains(type, Qt::CaseInsensitive)) return QStringLiteral("name");
    if (_lists.httpEquivMetaTypes.contains(type, Qt::CaseInsensitive)) return QStringLiteral("http-equiv");
    return {};
}

void QVDocumentProperties::parse(const QString& text) {
    _unknown = {};
    // Document type: by the DTD's name, else (a declaration without one, as HTML 5's) by the
    // whole declaration.
    doctype.clear();
    if (const auto match = find(QStringLiteral("<!DOCTYPE[^>]+>"), text)) {
        const QVRange range = match->rangeForCapture(0);
        const QString declaration = text.mid(range.location, range.length);
        const QString name = capture(QStringLiteral("//DTD ([^/]+)//"), declaration);
        for (const Item& item : _lists.doctypes) {
            if (name.isEmpty() ? item.value.simplified().compare(declaration.simplified(), Qt::CaseInsensitive) == 0
                               : name.startsWith(item.title, Qt::CaseInsensitive)) {
                doctype = item.title;
                break;
            }
        }
        _unknown.doctype = doctype.isEmpty();
    }
    addXMLProlog = text.startsWith(QLatin1String("<?xml"));

    QString charset = capture(QStringLiteral("<\\?xml[^>]+encoding=\"([^\"]*)\""), text);
    if (charset.isEmpty()) charset = capture(QStringLiteral("<meta[^>]+charset=([^\"]*)\""), text);
    if (charset.isEmpty()) charset = capture(QStringLiteral("<meta\\s+charset\\s*=\\s*[\"']?([^\"'\\s/>]+)"), text);
    const Item* encodingItem = charset.isEmpty() ? nullptr : itemWithValue(_lists.encodings, charset);
    encoding = encodingItem ? encodingItem->title : QString();
    _unknown.encoding = !charset.isEmpty() && !encodingItem;

    const QString code = capture(QStringLiteral("<html[^>]+lang=\"([^\"]*)\""), text);
    const Item* languageItem = code.isEmpty() ? nullptr : itemWithValue(_lists.languages, code);
    language = languageItem ? languageItem->title : QString();
    _unknown.language = !code.isEmpty() && !languageItem;

    title.clear();
    if (const auto open = find(QStringLiteral("<title[^>]*>"), text)) {
        const QVRange tag = open->rangeForCapture(0);
        const qsizetype start = tag.location + tag.length;
        const qsizetype end = text.indexOf(QLatin1String("</title>"), start, Qt::CaseInsensitive);
        if (end >= 0) title = text.mid(start, end - start);
    }
    base = capture(QStringLiteral("<base[^>]+href=\"([^\"]*)\""), text);

    metaElements.clear();
    for (const FoundMeta& found : findMetas(text, *this)) metaElements.push_back(found.meta);
    _readDoctype = doctype;
    _readEncoding = encoding;
    _readLanguage = language;
}

QString QVDocumentProperties::apply(const QString& original, const QString& lb, const QString& indent) const {
    QString s = original;
    const bool newFile = includeBasicTags && original.isEmpty();
    const QString indent2 = indent + indent;
    const QString closer = tagCloser();
    const QString headPattern = QStringLiteral("<head(?:\\s[^>]*)?>");

    // 1. The document type, after an XML prolog when there is one.
    const QString declaration = doctypeDeclaration();
    if (!(declaration.isEmpty() && _unknown.doctype && doctype == _readDoctype)) {
        if (const auto match = find(QStringLiteral("<!DOCTYPE[^>]+>"), s)) {
            const QVRange range = match->rangeForCapture(0);
            if (declaration.isEmpty()) removeRange(s, lineOrElement(s, range));
            else s.replace(range.location, range.length, declaration);
        } else if (!declaration.isEmpty()) {
            qsizetype at = 0;
            QString line = declaration + lb;
            if (const auto prolog = find(QStringLiteral("\\A<\\?xml[^>]*\\?>"), s)) {
                at = prolog->rangeForCapture(0).length;
                if (s.mid(at, 2) == QLatin1String("\r\n")) at += 2;
                else if (at < s.size() && (s[at] == u'\n' || s[at] == u'\r')) at += 1;
                else line = lb + declaration;
            }
            s.insert(at, line);
        }
    }

    // 2. The XML prolog: first in the text; an existing one keeps its other attributes.
    const QString cs = charset();
    if (const auto match = find(QStringLiteral("\\A<\\?xml[^>]*\\?>"), s)) {
        const QVRange range = match->rangeForCapture(0);
        if (!addXMLProlog) removeRange(s, lineOrElement(s, range));
        else if (!cs.isEmpty()) s.replace(range.location, range.length, setPrologEncoding(s.mid(range.location, range.length), cs));
    } else if (addXMLProlog) {
        s.insert(0, (cs.isEmpty() ? QStringLiteral("<?xml version=\"1.0\"?>")
                                  : QStringLiteral("<?xml version=\"1.0\" encoding=\"%1\"?>").arg(escapeAttribute(cs))) + lb);
    }

    // 3. The basic tags. Lines the page lacks go right after its head start tag, in order.
    qsizetype insertedInHead = 0;
    const auto insertInHead = [&](const QString& line) {
        const auto head = find(headPattern, s);
        if (!head) return;
        const QVRange tag = head->rangeForCapture(0);
        const qsizetype at = tag.location + tag.length;
        // What followed the start tag on its line moves to a line of its own after ours.
        if (insertedInHead == 0 && at < s.size() && s[at] != u'\n' && s[at] != u'\r') s.insert(at, lb);
        s.insert(at + insertedInHead, lb + line);
        insertedInHead += lb.size() + line.size();
    };
    // Replaces the element of pattern (its whole line when it has one to itself), or removes it
    // for an empty value; a missing element is appended to a new page or put into the head.
    const auto swap = [&](const QString& element, const QString& value) {
        if (const auto match = find(QStringLiteral("^[ \\t]*") + element, s, LineOptions)) {
            const QVRange range = match->rangeForCapture(0);
            if (value.isEmpty()) removeRange(s, lineOrElement(s, range));
            else s.replace(range.location, range.length, value);
        } else if (const auto inLine = find(element, s)) {
            const QVRange range = inLine->rangeForCapture(0);
            if (value.isEmpty()) removeRange(s, range);
            else s.replace(range.location, range.length, value.trimmed());
        } else if (!value.isEmpty()) {
            if (newFile) s += value + lb;
            else insertInHead(value);
        }
    };

    const QString code = languageCode();
    const bool xml = isXMLDoctype();
    if (const auto match = find(QStringLiteral("<html(?:\\s[^>]*)?>"), s)) {
        const QVRange range = match->rangeForCapture(0);
        QString tag = s.mid(range.location, range.length);
        if (!code.isEmpty()) {
            if (xml || hasAttribute(tag, QStringLiteral("xml:lang"))) tag = setAttribute(tag, QStringLiteral("xml:lang"), code);
            if (!xml || hasAttribute(tag, QStringLiteral("lang"))) tag = setAttribute(tag, QStringLiteral("lang"), code);
        } else if (!_unknown.language && language != _readLanguage) {
            tag = removeAttribute(removeAttribute(tag, QStringLiteral("lang")), QStringLiteral("xml:lang"));
        }
        if (xml && !hasAttribute(tag, QStringLiteral("xmlns"))) tag = setAttribute(tag, QStringLiteral("xmlns"), QStringLiteral("http://www.w3.org/1999/xhtml"));
        s.replace(range.location, range.length, tag);
    } else if (newFile) {
        QString tag = xml ? QStringLiteral("<html xmlns=\"http://www.w3.org/1999/xhtml\"") : QStringLiteral("<html");
        if (!code.isEmpty()) tag += QStringLiteral(" %1=\"%2\"").arg(xml ? QStringLiteral("xml:lang") : QStringLiteral("lang"), escapeAttribute(code));
        s += tag + QLatin1Char('>') + lb;
    }
    if (newFile && !find(headPattern, s)) s += indent + QStringLiteral("<head>") + lb;

    if (!(cs.isEmpty() && _unknown.encoding && encoding == _readEncoding)) {
        const QString value = cs.isEmpty() ? QString()
                                           : indent2 + QStringLiteral("<meta http-equiv=\"content-type\" content=\"text/html; charset=%1\"").arg(escapeAttribute(cs)) + closer;
        const QString contentType = QStringLiteral("<meta[^>]+content=[^>]+charset=[^>]+>");
        const auto html5 = find(QStringLiteral("<meta\\s+charset\\s*=\\s*[\"']?([^\"'\\s/>]*)[\"']?[^>]*>"), s);
        if (!find(contentType, s) && html5) {
            // A page that declares its charset the short way keeps that form.
            if (cs.isEmpty()) {
                removeRange(s, lineOrElement(s, html5->rangeForCapture(0)));
            } else {
                const QVRange range = html5->rangeForCapture(1);
                s.replace(range.location, range.length, escapeAttribute(cs));
            }
        } else {
            swap(contentType, value);
        }
    }
    QString shownTitle = title;
    shownTitle.replace(QLatin1String("</"), QLatin1String("&lt;/"));
    if (newFile || !title.isEmpty() || find(QStringLiteral("<title[^>]*>.*?</title>"), s))
        swap(QStringLiteral("<title[^>]*>.*?</title>"), indent2 + QStringLiteral("<title>%1</title>").arg(shownTitle));
    swap(QStringLiteral("<base[^>]*>"), base.isEmpty() ? QString() : indent2 + QStringLiteral("<base href=\"%1\"").arg(escapeAttribute(base)) + closer);
    if (newFile) {
        s += indent + QStringLiteral("</head>") + lb + indent + QStringLiteral("<body>") + lb + lb + indent + QStringLiteral("</body>") + lb +
             QStringLiteral("</html>");
    }

    // 4. The meta elements, in the list's order before the head's end (or after its start). A
    // page with no head keeps the ones it has: there is nowhere to write them back.
    if (s.indexOf(QLatin1String("</head>"), 0, Qt::CaseInsensitive) < 0 && !find(headPattern, s)) return s;
    const QList<FoundMeta> found = findMetas(s, *this);
    for (auto it = found.crbegin(); it != found.crend(); ++it) removeRange(s, lineOrElement(s, it->element));
    QStringList lines;
    for (const MetaElement& meta : metaElements) {
        const QString attribute = attributeNameForMetaType(meta.type);
        if (attribute.isEmpty()) continue;
        lines << indent2 + QStringLiteral("<meta %1=\"%2\" content=\"%3\"").arg(attribute, escapeAttribute(meta.type), escapeAttribute(meta.value)) + closer;
    }
    if (lines.isEmpty()) return s;
    const QString block = lines.join(lb);
    const qsizetype end = s.indexOf(QLatin1String("</head>"), 0, Qt::CaseInsensitive);
    if (end >= 0) {
        qsizetype lineStart = end;
        while (lineStart > 0 && (s[lineStart - 1] == u' ' || s[lineStart - 1] == u'\t')) --lineStart;
        if (lineStart == 0 || s[lineStart - 1] == u'\n' || s[lineStart - 1] == u'\r') s.insert(lineStart, block + lb);
        else s.insert(end, lb + block + lb);
    } else if (const auto head = find(headPattern, s)) {
        const QVRange tag = head->rangeForCapture(0);
        s.insert(tag.location + tag.length, lb + block);
    }
    return s;
}
