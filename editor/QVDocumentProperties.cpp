// Reading and writing the head of an HTML page.
#include "editor/QVDocumentProperties.h"

#include "platform/PropertyList.h"
#include "platform/QVRegex.h"
#include "shell/Defaults.h"

#include <algorithm>
#include <optional>

namespace {

// Case-insensitive, "." across lines: what the sheet's patterns (inside one tag) are written for.
constexpr quint32 Options = QVRegex::CaseInsensitive | QVRegex::DotMatchesAll;

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

// ---- the tag scanner ---------------------------------------------------------------------------
// The elements of a page as a browser's tokenizer meets them, reduced to what the head needs: a
// tag ends at the first ">" outside its quoted values, comments and the text of script, style,
// title and textarea hold no tags, and a broken tag never reaches into the next one: a
// declaration or tag without its ">" ends before the next "<", and a quoted value that would run
// over a "<" (an unclosed quote) makes the tag end at its first ">" and marks it broken.

struct Attribute {
    QString name;  // lower case
    QString value;
    QVRange valueRange;  // inside the text; not found for an attribute without a value
};

struct Tag {
    qsizetype start = 0, end = 0;  // [start, end) in the text, with the "<" and the ">"
    QString name;                  // lower case: "meta", "/head", "!doctype", "?xml"
    QList<Attribute> attributes;
    bool closed = true;   // ended by its own ">"
    bool broken = false;  // an unclosed quote: its attributes are not to be trusted
    QVRange range() const { return QVRange(start, end - start); }
    const Attribute* attribute(const QString& wanted) const {
        for (const Attribute& a : attributes)
            if (a.name == wanted) return &a;
        return nullptr;
    }
    QString value(const QString& wanted) const {
        const Attribute* a = attribute(wanted);
        return a ? a->value : QString();
    }
};

bool isNameChar(QChar c) { return !c.isSpace() && c != u'>' && c != u'<' && c != u'/' && c != u'=' && c != u'"' && c != u'\''; }

// The position of the first ">" at or after from that comes before any "<"; -1 when a "<" or the
// end comes first.
qsizetype closingBracket(const QString& text, qsizetype from) {
    for (qsizetype i = from; i < text.size(); ++i) {
        if (text[i] == u'>') return i;
        if (text[i] == u'<') return -1;
    }
    return -1;
}

// The tag at text[at] == '<', or nothing when the "<" starts no tag (text that is just a "<").
std::optional<Tag> scanTag(const QString& text, qsizetype at) {
    Tag tag;
    tag.start = at;
    qsizetype i = at + 1;
    const auto endBefore = [&](qsizetype from) {
        const qsizetype close = closingBracket(text, from);
        if (close >= 0) {
            tag.end = close + 1;
        } else {
            tag.closed = false;
            const qsizetype next = text.indexOf(u'<', from);
            tag.end = next < 0 ? text.size() : next;
            while (tag.end > from && text[tag.end - 1].isSpace()) --tag.end;
        }
    };
    if (text.mid(i, 3) == QLatin1String("!--")) {
        const qsizetype close = text.indexOf(QLatin1String("-->"), i + 3);
        tag.name = QStringLiteral("!--");
        tag.end = close < 0 ? text.size() : close + 3;
        tag.closed = close >= 0;
        return tag;
    }
    const bool special = i < text.size() && (text[i] == u'!' || text[i] == u'?' || text[i] == u'/');
    qsizetype nameStart = special ? i + 1 : i;
    qsizetype nameEnd = nameStart;
    while (nameEnd < text.size() && isNameChar(text[nameEnd])) ++nameEnd;
    if (nameEnd == nameStart || !(text[nameStart].isLetter() || (special && text[i] != u'/'))) return std::nullopt;
    tag.name = (special ? QString(text[i]) : QString()) + text.mid(nameStart, nameEnd - nameStart).toLower();
    i = nameEnd;
    // Attributes: declarations and end tags have none worth reading but use the same rules, so
    // a quoted ">" in a DOCTYPE's public id stays inside it.
    while (i < text.size()) {
        const QChar c = text[i];
        if (c == u'>') {
            tag.end = i + 1;
            return tag;
        }
        if (c == u'<') break;
        if (c.isSpace() || c == u'/' || c == u'?') {
            ++i;
            continue;
        }
        if (c == u'"' || c == u'\'') {  // a quoted string without a name (a DOCTYPE's ids)
            const qsizetype close = text.indexOf(c, i + 1);
            const qsizetype next = text.indexOf(u'<', i + 1);
            if (close < 0 || (next >= 0 && next < close)) {
                tag.broken = true;
                endBefore(at + 1);
                return tag;
            }
            i = close + 1;
            continue;
        }
        Attribute attribute;
        const qsizetype attributeStart = i;
        while (i < text.size() && isNameChar(text[i])) ++i;
        if (i == attributeStart) ++i;  // a stray "=": skip it
        attribute.name = text.mid(attributeStart, i - attributeStart).toLower();
        qsizetype j = i;
        while (j < text.size() && text[j].isSpace()) ++j;
        if (j < text.size() && text[j] == u'=') {
            ++j;
            while (j < text.size() && text[j].isSpace()) ++j;
            if (j < text.size() && (text[j] == u'"' || text[j] == u'\'')) {
                const QChar quote = text[j];
                const qsizetype close = text.indexOf(quote, j + 1);
                const qsizetype next = text.indexOf(u'<', j + 1);
                if (close < 0 || (next >= 0 && next < close)) {
                    tag.broken = true;
                    endBefore(at + 1);
                    return tag;
                }
                attribute.valueRange = QVRange(j + 1, close - j - 1);
                i = close + 1;
            } else {
                qsizetype k = j;
                while (k < text.size() && !text[k].isSpace() && text[k] != u'>' && text[k] != u'<') ++k;
                attribute.valueRange = QVRange(j, k - j);
                i = k;
            }
            attribute.value = text.mid(attribute.valueRange.location, attribute.valueRange.length);
        }
        if (!attribute.name.isEmpty()) tag.attributes.push_back(attribute);
    }
    tag.closed = false;
    tag.end = i;
    while (tag.end > at + 1 && text[tag.end - 1].isSpace()) --tag.end;
    return tag;
}

// Where the text of a raw-text element (script, style, title, textarea) that starts at from ends:
// the "<" of its end tag, "</name" followed by a blank, "/", ">" or the end; -1 without one.
qsizetype rawTextEnd(const QString& text, qsizetype from, const QString& name) {
    const QString end = QLatin1String("</") + name;
    for (qsizetype at = from; (at = text.indexOf(end, at, Qt::CaseInsensitive)) >= 0; ++at) {
        const qsizetype after = at + end.size();
        if (after == text.size() || text[after].isSpace() || text[after] == u'/' || text[after] == u'>') return at;
    }
    return -1;
}

// Every tag of text in order. Comments are kept (as "!--") so that a caller can tell them apart;
// the contents of raw-text elements are skipped.
QList<Tag> scanTags(const QString& text) {
    QList<Tag> tags;
    qsizetype i = 0;
    while ((i = text.indexOf(u'<', i)) >= 0) {
        const std::optional<Tag> tag = scanTag(text, i);
        if (!tag) {
            ++i;
            continue;
        }
        tags.push_back(*tag);
        i = std::max(tag->end, i + 1);
        static const QStringList raw = {"script", "style", "title", "textarea"};
        if (raw.contains(tag->name) && tag->closed) {
            const qsizetype close = rawTextEnd(text, i, tag->name);
            i = close < 0 ? text.size() : close;
        }
    }
    return tags;
}

const Tag* firstTag(const QList<Tag>& tags, const QString& name) {
    for (const Tag& tag : tags)
        if (tag.name == name) return &tag;
    return nullptr;
}

// The XML prolog: a "<?xml" at the very start, in any case.
const Tag* prologOf(const QList<Tag>& tags) {
    return !tags.isEmpty() && tags.first().start == 0 && tags.first().name == QLatin1String("?xml") && tags.first().closed
               ? &tags.first()
               : nullptr;
}

// The charset a meta element declares: "charset" or a content type's "charset=" parameter.
QString metaCharset(const Tag& meta) {
    if (meta.attribute(QStringLiteral("charset"))) return meta.value(QStringLiteral("charset")).trimmed();
    const QString content = meta.value(QStringLiteral("content"));
    const qsizetype at = content.indexOf(QLatin1String("charset="), 0, Qt::CaseInsensitive);
    return at < 0 ? QString() : content.mid(at + 8).trimmed();
}

bool isContentTypeMeta(const Tag& tag) {
    return tag.name == QLatin1String("meta") && !tag.broken && !tag.attribute(QStringLiteral("charset")) && !metaCharset(tag).isEmpty();
}

// The meta elements the sheet reads, in text order: the element's range with its type and
// value, for the types the lists know.
struct FoundMeta {
    QVRange element;
    QVDocumentProperties::MetaElement meta;
};

QList<FoundMeta> findMetas(const QString& text, const QVDocumentProperties& properties) {
    QList<FoundMeta> found;
    for (const Tag& tag : scanTags(text)) {
        if (tag.name != QLatin1String("meta") || tag.broken || !tag.closed || !tag.attribute(QStringLiteral("content"))) continue;
        const Attribute* type = tag.attribute(QStringLiteral("name"));
        if (!type) type = tag.attribute(QStringLiteral("http-equiv"));
        if (!type || properties.attributeNameForMetaType(type->value).isEmpty()) continue;
        found.push_back({tag.range(), {type->value, tag.value(QStringLiteral("content"))}});
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
    const QList<Tag> tags = scanTags(text);
    // Document type: by the DTD's name, else (a declaration without one, as HTML 5's) by the
    // whole declaration. One without its ">" matches nothing and stays as it is.
    doctype.clear();
    if (const Tag* tag = firstTag(tags, QStringLiteral("!doctype"))) {
        const QString declaration = text.mid(tag->start, tag->end - tag->start);
        const QString name = capture(QStringLiteral("//DTD ([^/]+)//"), declaration);
        for (const Item& item : _lists.doctypes) {
            if (!tag->closed) break;
            if (name.isEmpty() ? item.value.simplified().compare(declaration.simplified(), Qt::CaseInsensitive) == 0
                               : name.startsWith(item.title, Qt::CaseInsensitive)) {
                doctype = item.title;
                break;
            }
        }
        _unknown.doctype = doctype.isEmpty();
    }
    const Tag* prolog = prologOf(tags);
    addXMLProlog = prolog != nullptr;

    QString charset = prolog ? prolog->value(QStringLiteral("encoding")) : QString();
    for (const Tag& tag : tags)
        if (charset.isEmpty() && isContentTypeMeta(tag)) charset = metaCharset(tag);
    for (const Tag& tag : tags)
        if (charset.isEmpty() && tag.name == QLatin1String("meta") && !tag.broken) charset = tag.value(QStringLiteral("charset")).trimmed();
    const Item* encodingItem = charset.isEmpty() ? nullptr : itemWithValue(_lists.encodings, charset);
    encoding = encodingItem ? encodingItem->title : QString();
    _unknown.encoding = !charset.isEmpty() && !encodingItem;

    QString code;
    if (const Tag* html = firstTag(tags, QStringLiteral("html")); html && !html->broken) {
        code = html->value(QStringLiteral("lang"));
        if (code.isEmpty()) code = html->value(QStringLiteral("xml:lang"));
    }
    const Item* languageItem = code.isEmpty() ? nullptr : itemWithValue(_lists.languages, code);
    language = languageItem ? languageItem->title : QString();
    _unknown.language = !code.isEmpty() && !languageItem;

    title.clear();
    if (const Tag* open = firstTag(tags, QStringLiteral("title")); open && open->closed) {
        const qsizetype end = rawTextEnd(text, open->end, QStringLiteral("title"));
        if (end >= 0) title = text.mid(open->end, end - open->end);
    }
    base.clear();
    if (const Tag* tag = firstTag(tags, QStringLiteral("base")); tag && !tag->broken) base = tag->value(QStringLiteral("href"));

    metaElements.clear();
    for (const FoundMeta& found : findMetas(text, *this)) metaElements.push_back(found.meta);
    _readDoctype = doctype;
    _readEncoding = encoding;
    _readLanguage = language;
    _readTitle = title;
    _readBase = base;
    _readMetas = metaElements;
    _readProlog = addXMLProlog;
}

QString QVDocumentProperties::apply(const QString& original, const QString& lb, const QString& indent) const {
    QString s = original;
    const bool newFile = includeBasicTags && original.isEmpty();
    const QString indent2 = indent + indent;
    const QString closer = tagCloser();
    // Only what the user changed is written: an element the sheet read and left alone keeps its
    // form, place and neighbours.
    const bool doctypeChanged = newFile || doctype != _readDoctype;
    const bool encodingChanged = newFile || encoding != _readEncoding;
    const auto headStart = [](const QList<Tag>& tags) -> const Tag* {
        const Tag* head = firstTag(tags, QStringLiteral("head"));
        return head && head->closed && !head->broken ? head : nullptr;
    };

    // 1. The document type, after an XML prolog when there is one.
    const QString declaration = doctypeDeclaration();
    if (doctypeChanged && !(declaration.isEmpty() && _unknown.doctype && doctype == _readDoctype)) {
        const QList<Tag> tags = scanTags(s);
        if (const Tag* tag = firstTag(tags, QStringLiteral("!doctype"))) {
            if (declaration.isEmpty()) removeRange(s, lineOrElement(s, tag->range()));
            else s.replace(tag->start, tag->end - tag->start, declaration);
        } else if (!declaration.isEmpty()) {
            qsizetype at = 0;
            QString line = declaration + lb;
            if (const Tag* prolog = prologOf(tags)) {
                at = prolog->end;
                if (s.mid(at, 2) == QLatin1String("\r\n")) at += 2;
                else if (at < s.size() && (s[at] == u'\n' || s[at] == u'\r')) at += 1;
                else line = lb + declaration;
            }
            s.insert(at, line);
        }
    }

    // 2. The XML prolog: first in the text; an existing one keeps its other attributes.
    const QString cs = charset();
    if (newFile || addXMLProlog != _readProlog || (addXMLProlog && encodingChanged)) {
        const QList<Tag> tags = scanTags(s);
        if (const Tag* prolog = prologOf(tags)) {
            if (!addXMLProlog) removeRange(s, lineOrElement(s, prolog->range()));
            else if (!cs.isEmpty()) s.replace(prolog->start, prolog->end - prolog->start, setPrologEncoding(s.mid(prolog->start, prolog->end - prolog->start), cs));
        } else if (addXMLProlog) {
            s.insert(0, (cs.isEmpty() ? QStringLiteral("<?xml version=\"1.0\"?>")
                                      : QStringLiteral("<?xml version=\"1.0\" encoding=\"%1\"?>").arg(escapeAttribute(cs))) + lb);
        }
    }

    // 3. The basic tags. Lines the page lacks go right after its head start tag, in order.
    qsizetype insertedInHead = 0;
    const auto insertInHead = [&](const QString& line) {
        const QList<Tag> tags = scanTags(s);
        const Tag* head = headStart(tags);
        if (!head) return;
        const qsizetype at = head->end;
        // What followed the start tag on its line moves to a line of its own after ours.
        if (insertedInHead == 0 && at < s.size() && s[at] != u'\n' && s[at] != u'\r') s.insert(at, lb);
        s.insert(at + insertedInHead, lb + line);
        insertedInHead += lb.size() + line.size();
    };
    // Replaces the element at range (its whole line when it has one to itself), or removes it
    // for an empty value; a missing element is appended to a new page or put into the head.
    const auto swap = [&](std::optional<QVRange> element, const QString& value) {
        if (element) {
            qint64 lineStart = element->location;
            while (lineStart > 0 && (s[lineStart - 1] == u' ' || s[lineStart - 1] == u'\t')) --lineStart;
            const bool ownLine = lineStart == 0 || s[lineStart - 1] == u'\n' || s[lineStart - 1] == u'\r';
            if (value.isEmpty()) removeRange(s, lineOrElement(s, *element));
            else if (ownLine) s.replace(lineStart, element->end() - lineStart, value);
            else s.replace(element->location, element->length, value.trimmed());
        } else if (!value.isEmpty()) {
            if (newFile) s += value + lb;
            else insertInHead(value);
        }
    };

    const QString code = languageCode();
    const bool xml = isXMLDoctype();
    if (newFile || language != _readLanguage || (xml && doctypeChanged)) {
        const QList<Tag> tags = scanTags(s);
        if (const Tag* html = firstTag(tags, QStringLiteral("html")); html && html->closed) {
            if (!html->broken) {
                QString tag = s.mid(html->start, html->end - html->start);
                if (!code.isEmpty()) {
                    if (xml || hasAttribute(tag, QStringLiteral("xml:lang"))) tag = setAttribute(tag, QStringLiteral("xml:lang"), code);
                    if (!xml || hasAttribute(tag, QStringLiteral("lang"))) tag = setAttribute(tag, QStringLiteral("lang"), code);
                } else if (!_unknown.language && language != _readLanguage) {
                    tag = removeAttribute(removeAttribute(tag, QStringLiteral("lang")), QStringLiteral("xml:lang"));
                }
                if (xml && !hasAttribute(tag, QStringLiteral("xmlns"))) tag = setAttribute(tag, QStringLiteral("xmlns"), QStringLiteral("http://www.w3.org/1999/xhtml"));
                s.replace(html->start, html->end - html->start, tag);
            }
        } else if (newFile) {
            QString tag = xml ? QStringLiteral("<html xmlns=\"http://www.w3.org/1999/xhtml\"") : QStringLiteral("<html");
            if (!code.isEmpty()) tag += QStringLiteral(" %1=\"%2\"").arg(xml ? QStringLiteral("xml:lang") : QStringLiteral("lang"), escapeAttribute(code));
            s += tag + QLatin1Char('>') + lb;
        }
    }
    if (newFile && !headStart(scanTags(s))) s += indent + QStringLiteral("<head>") + lb;

    if (encodingChanged && !(cs.isEmpty() && _unknown.encoding && encoding == _readEncoding)) {
        const QString value = cs.isEmpty() ? QString()
                                           : indent2 + QStringLiteral("<meta http-equiv=\"content-type\" content=\"text/html; charset=%1\"").arg(escapeAttribute(cs)) + closer;
        const QList<Tag> tags = scanTags(s);
        const Tag *contentType = nullptr, *html5 = nullptr;
        for (const Tag& tag : tags) {
            if (!contentType && isContentTypeMeta(tag) && tag.closed) contentType = &tag;
            if (!html5 && tag.name == QLatin1String("meta") && !tag.broken && tag.closed && tag.attribute(QStringLiteral("charset"))) html5 = &tag;
        }
        if (!contentType && html5) {
            // A page that declares its charset the short way keeps that form.
            const Attribute* attribute = html5->attribute(QStringLiteral("charset"));
            if (cs.isEmpty()) removeRange(s, lineOrElement(s, html5->range()));
            else if (attribute->valueRange.isNotFound()) s.insert(html5->start + 5, QStringLiteral(" charset=\"%1\"").arg(escapeAttribute(cs)));
            else s.replace(attribute->valueRange.location, attribute->valueRange.length, escapeAttribute(cs));
        } else {
            swap(contentType ? std::optional<QVRange>(contentType->range()) : std::nullopt, value);
        }
    }
    if (newFile || title != _readTitle) {
        QString shownTitle = title;
        shownTitle.replace(QLatin1String("</"), QLatin1String("&lt;/"));
        std::optional<QVRange> element;
        const QList<Tag> tags = scanTags(s);
        if (const Tag* open = firstTag(tags, QStringLiteral("title")); open && open->closed) {
            const qsizetype end = rawTextEnd(s, open->end, QStringLiteral("title"));
            if (const std::optional<Tag> close = end >= 0 ? scanTag(s, end) : std::nullopt)
                element = QVRange(open->start, close->end - open->start);
        }
        if (newFile || !title.isEmpty() || element) swap(element, indent2 + QStringLiteral("<title>%1</title>").arg(shownTitle));
    }
    if (newFile || base != _readBase) {
        const QList<Tag> tags = scanTags(s);
        const Tag* tag = firstTag(tags, QStringLiteral("base"));
        swap(tag && tag->closed ? std::optional<QVRange>(tag->range()) : std::nullopt,
             base.isEmpty() ? QString() : indent2 + QStringLiteral("<base href=\"%1\"").arg(escapeAttribute(base)) + closer);
    }
    if (newFile) {
        s += indent + QStringLiteral("</head>") + lb + indent + QStringLiteral("<body>") + lb + lb + indent + QStringLiteral("</body>") + lb +
             QStringLiteral("</html>");
    }

    // 4. The meta elements, in the list's order before the head's end (or after its start). A
    // page with no head keeps the ones it has: there is nowhere to write them back.
    if (!newFile && metaElements == _readMetas) return s;
    const QList<Tag> tags = scanTags(s);
    const Tag* headEnd = firstTag(tags, QStringLiteral("/head"));
    if (!headEnd && !headStart(tags)) return s;
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
    const QList<Tag> after = scanTags(s);
    if (const Tag* end = firstTag(after, QStringLiteral("/head"))) {
        qsizetype lineStart = end->start;
        while (lineStart > 0 && (s[lineStart - 1] == u' ' || s[lineStart - 1] == u'\t')) --lineStart;
        if (lineStart == 0 || s[lineStart - 1] == u'\n' || s[lineStart - 1] == u'\r') s.insert(lineStart, block + lb);
        else s.insert(end->start, lb + block + lb);
    } else if (const Tag* head = headStart(after)) {
        s.insert(head->end, lb + block);
    }
    return s;
}
