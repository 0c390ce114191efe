// The head of a page as the properties sheet reads and writes it: a new page's skeleton, and
// pages whose other content, attributes and unknown values survive an Apply.
#include "editor/QVDocumentProperties.h"

#include <gtest/gtest.h>

namespace {

QVDocumentProperties::Lists lists() {
    QVDocumentProperties::Lists l;
    l.doctypes = {{QStringLiteral("HTML 5"), QStringLiteral("<!DOCTYPE html>")},
                  {QStringLiteral("HTML 4.01 Transitional"), QStringLiteral("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\" \"http://www.w3.org/TR/html4/loose.dtd\">")},
                  {QStringLiteral("HTML 4.01"), QStringLiteral("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\" \"http://www.w3.org/TR/html4/strict.dtd\">")},
                  {QStringLiteral("XHTML 1.0 Strict"), QStringLiteral("<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Strict//EN\" \"http://www.w3.org/TR/xhtml1/DTD/xhtml1-strict.dtd\">")}};
    l.encodings = {{QStringLiteral("utf-8 (Unicode (UTF-8))"), QStringLiteral("utf-8")},
                   {},
                   {QStringLiteral("iso-8859-1 (Western (ISO Latin 1))"), QStringLiteral("iso-8859-1")}};
    l.languages = {{QStringLiteral("English"), QStringLiteral("en")}, {QStringLiteral("German"), QStringLiteral("de")}};
    l.nameMetaTypes = {QStringLiteral("description"), QStringLiteral("keywords"), QStringLiteral("Author")};
    l.httpEquivMetaTypes = {QStringLiteral("refresh")};
    return l;
}

const QString Page = QStringLiteral(
    "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\" \"http://www.w3.org/TR/html4/loose.dtd\">\n"
    "<html lang=\"en\" class=\"no-js\" dir=\"ltr\">\n"
    "<head profile=\"http://gmpg.org/xfn/11\">\n"
    "  <meta http-equiv=\"content-type\" content=\"text/html; charset=iso-8859-1\">\n"
    "  <title>Tom &amp; Jerry</title>\n"
    "  <meta name=\"keywords\" content=\"cat, mouse\">\n"
    "  <meta property=\"og:title\" content=\"Cartoon\">\n"
    "  <meta name=\"description\" content=\"A chase\">\n"
    "  <base href=\"http://example.org/\">\n"
    "</head>\n"
    "<body>\n<p>Hello</p>\n</body>\n</html>\n");

TEST(QVDocumentProperties, ReadsTheHeadAndWritesItBackKeepingWhatItDidNotRead) {
    QVDocumentProperties properties(lists());
    properties.parse(Page);
    EXPECT_EQ(properties.doctype, QStringLiteral("HTML 4.01 Transitional"));
    EXPECT_EQ(properties.encoding, QStringLiteral("iso-8859-1 (Western (ISO Latin 1))"));
    EXPECT_EQ(properties.language, QStringLiteral("English"));
    EXPECT_EQ(properties.title, QStringLiteral("Tom &amp; Jerry"));
    EXPECT_EQ(properties.base, QStringLiteral("http://example.org/"));
    EXPECT_FALSE(properties.addXMLProlog);
    const QList<QVDocumentProperties::MetaElement> metas{{QStringLiteral("keywords"), QStringLiteral("cat, mouse")},
                                                         {QStringLiteral("description"), QStringLiteral("A chase")}};
    EXPECT_EQ(properties.metaElements, metas);

    // Applied unchanged: nothing moves, nothing takes the sheet's indentation.
    EXPECT_EQ(properties.apply(Page, QStringLiteral("\n"), QStringLiteral("\t")), Page);
}

TEST(QVDocumentProperties, HostileHeadsReadElementByElementAndSurviveAnUnchangedApply) {
    struct Case {
        const char* name;
        QString text;
        QString doctype, encoding, language;
        QList<QVDocumentProperties::MetaElement> metas;
    };
    const QString english = QStringLiteral("English"), utf8 = QStringLiteral("utf-8 (Unicode (UTF-8))");
    const Case cases[] = {
        {"an unclosed quote in one meta element does not swallow the next",
         "<html lang=\"en\"><head>\n<meta name=\"Author\" content=\"Me>\n<meta name=\"description\" content=\"d\">\n</head></html>",
         "", "", english, {{"description", "d"}}},
        {"a prolog in capitals is a prolog with its encoding",
         "<?XML version=\"1.0\" encoding=\"UTF-8\"?>\n<html><head>\n</head></html>", "", utf8, "", {}},
        {"a doctype without its \">\" leaves the html start tag alone",
         "<!DOCTYPE html\n<html lang=\"en\"><head><title>t</title></head></html>", "", "", english, {}},
        {"a meta element with an unknown attribute in a page without a head",
         "<meta data-x=\"1\" name=\"keywords\" content=\"k\">\n<meta charset=utf-8 data-y>\n<p>body</p>", "", utf8, "",
         {{"keywords", "k"}}},
        {"a quoted \">\" stays inside its attribute",
         "<!DOCTYPE html>\n<html lang='en'><head><meta content=\"a > b\" name=keywords></head></html>", "HTML 5", "", english,
         {{"keywords", "a > b"}}},
        {"tags inside comments and scripts are no elements",
         "<html><head><!-- <meta name=\"keywords\" content=\"c\"> --><script>'<meta name=\"Author\" content=\"s\">'</script>\n"
         "<meta http-equiv=\"refresh\" content=\"5\"></head></html>",
         "", "", "", {{"refresh", "5"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QVDocumentProperties properties(lists());
        properties.parse(c.text);
        EXPECT_EQ(properties.doctype, c.doctype);
        EXPECT_EQ(properties.encoding, c.encoding);
        EXPECT_EQ(properties.language, c.language);
        EXPECT_EQ(properties.metaElements, c.metas);
        EXPECT_EQ(properties.apply(c.text, QStringLiteral("\n"), QStringLiteral("  ")), c.text);
    }
    // A changed value rewrites its own element only: the broken meta element and the
    // unterminated doctype stay as they are.
    QVDocumentProperties properties(lists());
    const QString broken = QStringLiteral("<!DOCTYPE html\n<html><head>\n<meta name=\"Author\" content=\"Me>\n"
                                          "<meta name=\"description\" content=\"d\">\n</head></html>");
    properties.parse(broken);
    properties.metaElements = {{"description", "e"}};
    properties.language = english;
    EXPECT_EQ(properties.apply(broken, QStringLiteral("\n"), QStringLiteral(" ")),
              QStringLiteral("<!DOCTYPE html\n<html lang=\"en\"><head>\n<meta name=\"Author\" content=\"Me>\n"
                             "  <meta name=\"description\" content=\"e\">\n</head></html>"));
    properties.doctype = QStringLiteral("HTML 5");
    EXPECT_TRUE(properties.apply(broken, QStringLiteral("\n"), QStringLiteral(" ")).startsWith(QStringLiteral("<!DOCTYPE html>\n<html lang=\"en\">")));
}

TEST(QVDocumentProperties, WritesWhatWasChosen) {
    struct Case {
        const char* name;
        QString text;
        std::function<void(QVDocumentProperties&)> change;
        QString expected;
    };
    const QString lb = QStringLiteral("\r\n");
    const Case cases[] = {
        {"a new page with XHTML, a prolog, an encoding, a language and a title", QString(),
         [](QVDocumentProperties& p) {
             p.doctype = QStringLiteral("XHTML 1.0 Strict");
             p.addXMLProlog = true;
             p.encoding = QStringLiteral("utf-8 (Unicode (UTF-8))");
             p.language = QStringLiteral("German");
             p.title = QStringLiteral("Neu");
             p.metaElements = {{QStringLiteral("description"), QStringLiteral("d")}, {QStringLiteral("refresh"), QStringLiteral("5")}};
         },
         QStringLiteral("<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
                        "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Strict//EN\" \"http://www.w3.org/TR/xhtml1/DTD/xhtml1-strict.dtd\">\r\n"
                        "<html xmlns=\"http://www.w3.org/1999/xhtml\" xml:lang=\"de\">\r\n"
                        "  <head>\r\n"
                        "    <meta http-equiv=\"content-type\" content=\"text/html; charset=utf-8\" />\r\n"
                        "    <title>Neu</title>\r\n"
                        "    <meta name=\"description\" content=\"d\" />\r\n"
                        "    <meta http-equiv=\"refresh\" content=\"5\" />\r\n"
                        "  </head>\r\n  <body>\r\n\r\n  </body>\r\n</html>")},
        {"\"---\" removes a known document type and a cleared base its element",
         QStringLiteral("<!DOCTYPE html>\r\n<html><head>\r\n<base href=\"x/\">\r\n</head></html>"),
         [](QVDocumentProperties& p) {
             EXPECT_EQ(p.doctype, QStringLiteral("HTML 5"));
             p.doctype.clear();
             p.base.clear();
         },
         QStringLiteral("<html><head>\r\n</head></html>")},
        {"a document type the list does not know stays while the sheet shows none",
         QStringLiteral("<!DOCTYPE html SYSTEM \"about:legacy-compat\">\r\n<html><head></head></html>"),
         [](QVDocumentProperties& p) { EXPECT_TRUE(p.doctype.isEmpty()); },
         QStringLiteral("<!DOCTYPE html SYSTEM \"about:legacy-compat\">\r\n<html><head></head></html>")},
        {"a title holding \"<\" is replaced, not doubled; a new language keeps the tag's attributes",
         QStringLiteral("<html lang=\"en\" data-x=\"1\"><head><title>a < b</title></head></html>"),
         [](QVDocumentProperties& p) {
             EXPECT_EQ(p.title, QStringLiteral("a < b"));
             p.title = QStringLiteral("x </title> y");
             p.language = QStringLiteral("German");
         },
         QStringLiteral("<html lang=\"de\" data-x=\"1\"><head><title>x &lt;/title> y</title></head></html>")},
        {"typed values stay literal: quotes escaped, template characters as typed",
         QStringLiteral("<html><head>\r\n</head></html>"),
         [](QVDocumentProperties& p) {
             p.base = QStringLiteral("http://x/?a=\"$1\"&b=\\0");
             p.metaElements = {{QStringLiteral("keywords"), QStringLiteral("say \"$&\"")}};
         },
         QStringLiteral("<html><head>\r\n    <base href=\"http://x/?a=&quot;$1&quot;&b=\\0\">\r\n"
                        "    <meta name=\"keywords\" content=\"say &quot;$&&quot;\">\r\n</head></html>")},
        {"without a head the meta elements stay where they are",
         QStringLiteral("<meta name=\"keywords\" content=\"k\">\r\n<p>body</p>"),
         [](QVDocumentProperties& p) { p.metaElements.clear(); },
         QStringLiteral("<meta name=\"keywords\" content=\"k\">\r\n<p>body</p>")},
        {"a short charset declaration keeps its form",
         QStringLiteral("<html><head>\r\n<meta charset=\"utf-8\">\r\n</head></html>"),
         [](QVDocumentProperties& p) {
             EXPECT_EQ(p.encoding, QStringLiteral("utf-8 (Unicode (UTF-8))"));
             p.encoding = QStringLiteral("iso-8859-1 (Western (ISO Latin 1))");
         },
         QStringLiteral("<html><head>\r\n<meta charset=\"iso-8859-1\">\r\n</head></html>")},
        {"a prolog goes before an existing document type and keeps its attributes when rewritten",
         QStringLiteral("<?xml version=\"1.1\" standalone=\"yes\"?>\r\n<html><head></head></html>"),
         [](QVDocumentProperties& p) {
             EXPECT_TRUE(p.addXMLProlog);
             p.doctype = QStringLiteral("XHTML 1.0 Strict");
             p.encoding = QStringLiteral("utf-8 (Unicode (UTF-8))");
         },
         QStringLiteral("<?xml version=\"1.1\" encoding=\"utf-8\" standalone=\"yes\"?>\r\n"
                        "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Strict//EN\" \"http://www.w3.org/TR/xhtml1/DTD/xhtml1-strict.dtd\">\r\n"
                        "<html xmlns=\"http://www.w3.org/1999/xhtml\"><head>\r\n"
                        "    <meta http-equiv=\"content-type\" content=\"text/html; charset=utf-8\" />\r\n"
                        "</head></html>")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QVDocumentProperties properties(lists());
        properties.parse(c.text);
        c.change(properties);
        EXPECT_EQ(properties.apply(c.text, lb, QStringLiteral("  ")), c.expected);
    }
}

TEST(QVDocumentProperties, TheShippedListsLoadAndPairUp) {
    const QVDocumentProperties::Lists& shipped = QVDocumentProperties::sharedLists();
    EXPECT_GE(shipped.doctypes.size(), 8);
    EXPECT_GE(shipped.languages.size(), 100);
    EXPECT_GE(shipped.encodings.size(), 20);
    const QStringList types = QVDocumentProperties::metaTypes(shipped);
    EXPECT_TRUE(types.contains(QStringLiteral("description")));
    EXPECT_TRUE(types.contains(QStringLiteral("refresh")));
    EXPECT_FALSE(types.contains(QStringLiteral("content-type"), Qt::CaseInsensitive));  // the charset is its own field
    for (qsizetype i = 1; i < types.size(); ++i) EXPECT_LE(types[i - 1].compare(types[i], Qt::CaseInsensitive), 0);
    // Every declaration reads back as its own title.
    for (const auto& item : shipped.doctypes) {
        QVDocumentProperties properties;
        properties.parse(item.value + QStringLiteral("\n<html></html>"));
        EXPECT_EQ(properties.doctype, item.title) << item.value.toStdString();
    }
    for (const auto& item : shipped.languages) {
        QVDocumentProperties properties;
        properties.parse(QStringLiteral("<html lang=\"%1\">").arg(item.value));
        EXPECT_EQ(properties.language, item.title);
    }
}

}  // namespace
