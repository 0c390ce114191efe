// The head of an HTML page as the document properties sheet edits it: document type, XML
// prolog, character set, language, title, base address and meta elements, read from a text and
// written back into it.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// The lists the sheet offers come from the shipped resources "doctypes", "charsets",
// "languageCodes" and "metaTypes" (a copy in the application-support folder comes first).
//
// Reading scans the page's tags as a browser meets them (comments, scripts and styles hold none;
// an unclosed quote or a missing ">" never takes the next element with it). Writing changes only
// the values that differ from what was read, so applying the sheet unchanged leaves the text as
// it was; it keeps what the sheet did not read: attributes of the html and head start tags, meta
// elements of other types, and a declaration, charset or language the lists do not know while
// the sheet still shows it as none. Typed values are written literally (a double quote inside an
// attribute becomes "&quot;", an end tag's "</" inside the title "&lt;/").
class QVDocumentProperties {
public:
    struct Item {
        QString title;
        QString value;  // the declaration, the short charset name or the language code
    };
    struct MetaElement {
        QString type;
        QString value;
        bool operator==(const MetaElement& o) const { return type == o.type && value == o.value; }
    };
    struct Lists {
        QList<Item> doctypes;
        QList<Item> encodings;  // an item with an empty title and value is a separator
        QList<Item> languages;
        QStringList nameMetaTypes;
        QStringList httpEquivMetaTypes;
    };

    // The shipped lists, read once per run; a missing or broken list is empty.
    static const Lists& sharedLists();
    // The "name" and "http-equiv" meta types together, sorted without regard to case.
    static QStringList metaTypes(const Lists& lists = sharedLists());

    explicit QVDocumentProperties(const Lists& lists = sharedLists()) : _lists(lists) {}

    // The values, as titles of the lists' items (empty: none, the sheet's "---").
    QString doctype;
    QString encoding;
    QString language;
    bool addXMLProlog = false;
    QString title;
    QString base;
    QList<MetaElement> metaElements;
    // A new (empty) page is completed with the page skeleton.
    bool includeBasicTags = true;

    // Reads the head of text into the values.
    void parse(const QString& text);
    // text with the values written into it, each a line of its own in lineBreak and indent.
    QString apply(const QString& text, const QString& lineBreak, const QString& indent) const;

    bool isXMLDoctype() const { return doctype.contains(QLatin1String("XML")) || doctype.contains(QLatin1String("XHTML")); }
    // The chosen items' values; empty for none.
    QString doctypeDeclaration() const { return valueOf(_lists.doctypes, doctype); }
    QString charset() const { return valueOf(_lists.encodings, encoding); }
    QString languageCode() const { return valueOf(_lists.languages, language); }
    // "name" or "http-equiv" for a known meta type, else empty.
    QString attributeNameForMetaType(const QString& type) const;
    const Lists& lists() const { return _lists; }

private:
    static QString valueOf(const QList<Item>& items, const QString& title);
    // What the text held where the lists found nothing: kept unless the user chose a value.
    struct Unknown {
        bool doctype = false;
        bool encoding = false;
        bool language = false;
    };
    QString tagCloser() const { return isXMLDoctype() ? QStringLiteral(" />") : QStringLiteral(">"); }

    Lists _lists;
    Unknown _unknown;
    // What parse read: a value still equal to it is not written, so applying unchanged values
    // leaves the text as it was.
    QString _readDoctype, _readEncoding, _readLanguage, _readTitle, _readBase;
    QList<MetaElement> _readMetas;
    bool _readProlog = false;
};
