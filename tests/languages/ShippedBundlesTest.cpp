// The shipped bundles and themes: every file reads, every pattern compiles, every style and
// embedded language they name exists, and their vocabularies have the shape the engines read.
#include "tests/languages/ShippedLanguages.h"
#include "tests/support/TestSupport.h"

#include "languages/QVCodeNavParser.h"
#include "languages/QVKeywordBasedParser.h"
#include "languages/QVTagBasedParser.h"
#include "languages/QVThemeRepository.h"
#include "platform/PropertyList.h"
#include "platform/QVRegex.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"

#include <QColor>
#include <QDir>
#include <QDirIterator>
#include <QRegularExpression>
#include <QSet>

#include <gtest/gtest.h>

using namespace shipped;

namespace {

QVariantMap readMap(const QString& path) { return PropertyList::readFile(path).toMap(); }
QString contents(const QString& bundle, const char* file) { return bundle + QStringLiteral("/Contents/") + QLatin1String(file); }
QString nameOf(const QString& path) { return QDir(path).dirName(); }

// Every pattern of a bundle's definitions, each with where it stands.
QList<std::pair<QString, QString>> patternsOf(const QString& bundle) {
    QList<std::pair<QString, QString>> patterns;
    auto add = [&](const QString& where, const QVariant& pattern) {
        if (pattern.isValid()) patterns.append({nameOf(bundle) + QLatin1Char(' ') + where, pattern.toString()});
    };
    const QVariantMap syntax = readMap(contents(bundle, "syntax.plist"));
    const QVariantMap folding = syntax.value(QStringLiteral("folding")).toMap();
    add(QStringLiteral("folding open"), folding.value(QStringLiteral("open")));
    add(QStringLiteral("folding close"), folding.value(QStringLiteral("close")));
    for (const QVariant& keyword : syntax.value(QStringLiteral("regex-keywords")).toList())
        add(QStringLiteral("regex-keyword"), keyword.toMap().value(QStringLiteral("keyword")));
    for (const QVariant& search : PropertyList::readFile(contents(bundle, "codenav.plist")).toList())
        add(QStringLiteral("codenav"), search.toMap().value(QStringLiteral("pattern")));
    const QVariantMap indexer = readMap(contents(bundle, "indexer.plist"));
    for (const char* key : {"external-files", "tags", "remove", "comments"})
        for (const QVariant& pattern : indexer.value(QLatin1String(key)).toList()) add(QLatin1String(key), pattern);
    for (const char* key : {"keys", "pre-remove-keys"})
        for (const QVariant& rule : indexer.value(QLatin1String(key)).toList())
            add(QLatin1String(key), rule.toMap().value(QStringLiteral("pattern")));
    for (const QVariant& rule : indexer.value(QStringLiteral("includes")).toList()) {
        add(QStringLiteral("include begin"), rule.toMap().value(QStringLiteral("begin")));
        add(QStringLiteral("include end"), rule.toMap().value(QStringLiteral("end")));
    }
    return patterns;
}

}  // namespace

TEST(ShippedBundles, EveryShippedPropertyListReadsWithTheShapeItsReaderTakes) {
    const QHash<QString, QMetaType> shapes{
        {QStringLiteral("Info.plist"), QMetaType::fromType<QVariantMap>()},
        {QStringLiteral("syntax.plist"), QMetaType::fromType<QVariantMap>()},
        {QStringLiteral("codenav.plist"), QMetaType::fromType<QVariantList>()},
        {QStringLiteral("hinting.plist"), QMetaType::fromType<QVariantMap>()},
        {QStringLiteral("completion.plist"), QMetaType::fromType<QVariantMap>()},
        {QStringLiteral("indexer.plist"), QMetaType::fromType<QVariantMap>()},
    };
    int files = 0;
    for (const QString& folder : {bundlesFolder(), themesFolder()}) {
        QDirIterator it(folder, {QStringLiteral("*.plist")}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            QVError error;
            const QVariant plist = PropertyList::readFile(path, &error);
            ASSERT_TRUE(plist.isValid()) << path.toStdString() << ": " << error.localizedDescription().toStdString();
            const QMetaType shape = folder == themesFolder() ? QMetaType::fromType<QVariantMap>()
                                                             : shapes.value(QFileInfo(path).fileName());
            EXPECT_TRUE(shape.isValid()) << "unknown definition file " << path.toStdString();
            EXPECT_EQ(plist.metaType(), shape) << path.toStdString();
            ++files;
        }
    }
    EXPECT_GE(files, 25);
}

TEST(ShippedBundles, EachBundleLoadsItsParserAndDefinitions) {
    struct Expected {
        const char* folder;
        const char* bundleIdentifier;
        const char* parserIdentifier;
        const char* format;  // "keyword", "tag" or "plain"
        bool codeNavigation, hints, completion, indexer;
    };
    const QList<Expected> table{
        {"CSS.qvbundle", "com.qorvel.Qorvel.bundles.css", "text.css", "keyword", true, false, true, true},
        {"HTML.qvbundle", "com.qorvel.Qorvel.bundles.html", "text.html", "tag", true, false, true, true},
        {"JavaScript.qvbundle", "com.qorvel.Qorvel.bundles.javascript", "text.js", "keyword", true, true, true, true},
        {"PHP.qvbundle", "com.qorvel.Qorvel.bundles.php", "text.php", "keyword", true, true, true, true},
        {"Plain Text.qvbundle", "com.qorvel.Qorvel.bundles.plaintext", "text.plain", "plain", false, false, false, false},
        {"XML.qvbundle", "com.qorvel.Qorvel.bundles.xml", "text.xml", "tag", true, false, false, false},
    };
    QStringList folders;
    for (const QString& path : bundlePaths()) folders.append(nameOf(path));
    QStringList expectedFolders;
    for (const Expected& row : table) expectedFolders.append(QLatin1String(row.folder));
    EXPECT_EQ(folders, expectedFolders);

    for (const Expected& row : table) {
        SCOPED_TRACE(row.folder);
        QVError error;
        const auto bundle = QVBundle::bundleWithPath(bundlesFolder() + QLatin1Char('/') + QLatin1String(row.folder), false, &error);
        ASSERT_TRUE(bundle) << error.localizedDescription().toStdString();
        EXPECT_EQ(bundle->bundleIdentifier(), QLatin1String(row.bundleIdentifier));
        EXPECT_EQ(bundle->identifier(), QLatin1String(row.parserIdentifier));
        const auto parser = bundle->parser();
        ASSERT_TRUE(parser);
        const QString format = std::dynamic_pointer_cast<QVKeywordBasedParser>(parser) ? QStringLiteral("keyword")
                               : std::dynamic_pointer_cast<QVTagBasedParser>(parser)   ? QStringLiteral("tag")
                                                                                         : QStringLiteral("plain");
        EXPECT_EQ(format, QLatin1String(row.format));
        EXPECT_EQ(bool(bundle->codeNavParser()), row.codeNavigation);
        if (row.codeNavigation) {
            EXPECT_EQ(bundle->codeNavParser()->searches().size(),
                      PropertyList::readFile(contents(bundle->path(), "codenav.plist")).toList().size());
        }
        EXPECT_EQ(bool(bundle->codeHinting()), row.hints);
        EXPECT_EQ(!bundle->completionDefinition().isEmpty(), row.completion);
        EXPECT_EQ(!bundle->indexerDefinition().isEmpty(), row.indexer);
    }
}

TEST(ShippedBundles, TheRegistryFindsEachLanguageByExtensionAndParserIdentifier) {
    // Pages that mix HTML with PHP open as HTML; the PHP language colours their PHP blocks.
    const QList<std::pair<const char*, const char*>> byExtension{
        {"html", "text.html"}, {"htm", "text.html"}, {"xhtml", "text.html"}, {"php", "text.html"},
        {"phtml", "text.html"}, {"css", "text.css"}, {"js", "text.js"}, {"mjs", "text.js"},
        {"xml", "text.xml"}, {"svg", "text.xml"}, {"rss", "text.xml"}, {"txt", "text.plain"},
        {"md", "text.plain"},
    };
    for (const auto& [extension, parserIdentifier] : byExtension) {
        const auto bundle = repository().bundleForFileCategory({}, QLatin1String(extension));
        ASSERT_TRUE(bundle) << extension;
        EXPECT_EQ(bundle->identifier(), QLatin1String(parserIdentifier)) << extension;
    }
    for (const char* identifier : {"text.html", "text.css", "text.js", "text.php", "text.xml", "text.plain"}) {
        const auto bundle = repository().bundleForIdentifier(QLatin1String(identifier));
        ASSERT_TRUE(bundle) << identifier;
        EXPECT_EQ(bundle->identifier(), QLatin1String(identifier));
    }
    EXPECT_EQ(repository().bundles().size(), 6);
}

TEST(ShippedBundles, EveryPatternOfEveryDefinitionCompiles) {
    int count = 0;
    for (const QString& bundle : bundlePaths()) {
        for (const auto& [where, pattern] : patternsOf(bundle)) {
            EXPECT_TRUE(QVRegex::validPattern(pattern)) << where.toStdString() << ": " << pattern.toStdString();
            ++count;
        }
    }
    EXPECT_GE(count, 60);
}

TEST(ShippedBundles, EveryStyleABundleNamesIsColouredByBothThemesAndStandsOutFromTheText) {
    const auto light = theme(LightThemeIdentifier);
    const auto dark = theme(DarkThemeIdentifier);
    ASSERT_TRUE(light && dark);
    EXPECT_EQ(light->title(), QStringLiteral("Light"));
    EXPECT_EQ(dark->title(), QStringLiteral("Dark"));
    // One theme is the other's counterpart: a style only one of them knows would be coloured by
    // one and fall back to its parent in the other.
    EXPECT_EQ(light->styleIdentifiers(), dark->styleIdentifiers());

    const QStringList styles = allReferencedStyles();
    EXPECT_GE(styles.size(), 50);
    for (const auto& current : {light, dark}) {
        for (const QString& style : styles) {
            const QColor colour = current->attributesForIdentifier(style).value(QVTextStorage::ForegroundColorAttribute).value<QColor>();
            ASSERT_TRUE(colour.isValid()) << current->title().toStdString() << " lacks " << style.toStdString();
            EXPECT_NE(colour.rgb(), current->textColor().rgb()) << style.toStdString();
            EXPECT_NE(colour.rgb(), current->backgroundColor().rgb()) << style.toStdString();
        }
    }
}

TEST(ShippedBundles, TheThemeListMakesTheLightThemeTheFactoryTheme) {
    TestDir dir;
    UserDefaults store(dir.file(QStringLiteral("defaults.plist")));
    Defaults::resetDefaults(store);
    QVThemeRepository themes(&store);
    QStringList titles;
    for (const auto& entry : themes.themes()) titles.append(entry->title());
    EXPECT_EQ(titles, QStringList({QStringLiteral("Dark"), QStringLiteral("Light")}));
    ASSERT_TRUE(themes.currentTheme());
    EXPECT_EQ(themes.currentTheme()->identifier(), LightThemeIdentifier);
}

TEST(ShippedBundles, EveryLanguageAnotherOneNamesIsShipped) {
    QStringList named;
    for (const QString& bundle : bundlePaths()) {
        const QVariantMap syntax = readMap(contents(bundle, "syntax.plist"));
        for (const QVariant& entry : syntax.value(QStringLiteral("embedded")).toMap())
            named.append(entry.metaType() == QMetaType::fromType<QString>() ? entry.toString()
                                                                            : entry.toMap().value(QStringLiteral("id")).toString());
        for (const QVariant& identifier : syntax.value(QStringLiteral("embedded-elements")).toList()) named.append(identifier.toString());
        for (const QVariant& rule : readMap(contents(bundle, "indexer.plist")).value(QStringLiteral("includes")).toList())
            named.append(rule.toMap().value(QStringLiteral("id")).toString());
        // Attribute values looked up in the index name their language class before the last dot.
        for (const QVariant& attributes : readMap(contents(bundle, "completion.plist")).value(QStringLiteral("elements")).toMap())
            for (const QVariant& values : attributes.toMap())
                if (values.toString().startsWith(QLatin1Char('#'))) named.append(values.toString().mid(1).section(QLatin1Char('.'), 0, -2));
    }
    named.removeDuplicates();
    named.sort();
    EXPECT_EQ(named, QStringList({QStringLiteral("text.css"), QStringLiteral("text.html"), QStringLiteral("text.js"),
                                  QStringLiteral("text.php"), QStringLiteral("text.plain")}));
    for (const QString& identifier : named) EXPECT_TRUE(repository().bundleForIdentifier(identifier)) << identifier.toStdString();

    // Resolved, the page language hands its script, style and PHP blocks to those languages.
    const auto html = std::dynamic_pointer_cast<QVTagBasedParser>(repository().bundleForIdentifier(QStringLiteral("text.html"))->parser());
    ASSERT_TRUE(html);
    QStringList subparsers;
    for (const auto& parser : html->subparsers()) subparsers.append(parser->identifier());
    subparsers.sort();
    EXPECT_EQ(subparsers, QStringList({QStringLiteral("text.css"), QStringLiteral("text.js"), QStringLiteral("text.php")}));
    for (const auto& [tag, entry] : html->embedded().asKeyValueRange()) EXPECT_FALSE(entry.parser.expired()) << tag.toStdString();
}

TEST(ShippedBundles, KeywordsHaveOneStyleAndTheCaseTheirLanguageMatches) {
    for (const QString& bundle : bundlePaths()) {
        const QVariantMap syntax = readMap(contents(bundle, "syntax.plist"));
        if (syntax.value(QStringLiteral("format-type")).toString() != QStringLiteral("keyword")) continue;
        SCOPED_TRACE(nameOf(bundle).toStdString());
        const bool caseSensitive = syntax.value(QStringLiteral("case-sensitive")).toBool();
        const QString characters = syntax.value(QStringLiteral("keyword-characters")).toString();
        QHash<QString, QString> styleOf;
        const QVariantMap groups = syntax.value(QStringLiteral("keywords")).toMap();
        for (auto group = groups.cbegin(); group != groups.cend(); ++group) {
            for (const QVariant& value : group.value().toList()) {
                const QString word = value.toString();
                // A word listed under two styles would take whichever the loader enters last.
                EXPECT_FALSE(styleOf.contains(word)) << word.toStdString() << " is " << styleOf.value(word).toStdString()
                                                     << " and " << group.key().toStdString();
                styleOf.insert(word, group.key());
                // The highlighter looks words of a case-insensitive language up lower-cased, and
                // only ever sees words made of keyword characters.
                if (!caseSensitive) {
                    EXPECT_EQ(word, word.toLower()) << word.toStdString();
                }
                for (const QChar c : word)
                    EXPECT_TRUE(characters.contains(c, Qt::CaseInsensitive)) << word.toStdString() << " holds " << QString(c).toStdString();
            }
        }
        EXPECT_GE(styleOf.size(), 50);
    }
}

TEST(ShippedBundles, CompletionAndHintEntriesHaveTheShapeTheEnginesRead) {
    // One-string entries: a type, one blank, a prototype; calls balance their brackets.
    auto balanced = [](const QString& text) {
        int round = 0, square = 0;
        for (const QChar c : text) {
            round += c == QLatin1Char('(') ? 1 : c == QLatin1Char(')') ? -1 : 0;
            square += c == QLatin1Char('[') ? 1 : c == QLatin1Char(']') ? -1 : 0;
            if (round < 0 || square < 0) return false;
        }
        return round == 0 && square == 0;
    };
    const QSet<QString> sheetLabels{QStringLiteral("length"), QStringLiteral("size"), QStringLiteral("angle"),
                                    QStringLiteral("percentage"), QStringLiteral("color"), QStringLiteral("integer"),
                                    QStringLiteral("number"), QStringLiteral("family-name"), QStringLiteral("uri"),
                                    QStringLiteral("path")};
    const QString ellipsis(QChar(0x2026));
    int entries = 0;
    for (const QString& bundle : bundlePaths()) {
        SCOPED_TRACE(nameOf(bundle).toStdString());
        const QVariantMap completion = readMap(contents(bundle, "completion.plist"));
        const QVariantMap keys = completion.value(QStringLiteral("keys")).toMap();
        for (auto it = keys.cbegin(); it != keys.cend(); ++it) {
            const QVariantList list = it.value().metaType() == QMetaType::fromType<QVariantList>() ? it.value().toList() : QVariantList{it.value()};
            for (const QVariant& entry : list) {
                const QString text = entry.toString();
                const QString prototype = text.section(QLatin1Char(' '), 1);
                EXPECT_FALSE(text.section(QLatin1Char(' '), 0, 0).isEmpty()) << text.toStdString();
                EXPECT_TRUE(prototype.startsWith(it.key())) << it.key().toStdString() << ": " << text.toStdString();
                EXPECT_TRUE(balanced(prototype)) << text.toStdString();
                ++entries;
            }
        }
        const QVariantMap properties = completion.value(QStringLiteral("properties")).toMap();
        for (auto it = properties.cbegin(); it != properties.cend(); ++it) {
            EXPECT_EQ(it.key(), it.key().toLower());
            EXPECT_FALSE(it.value().toList().isEmpty()) << it.key().toStdString();
            for (const QVariant& value : it.value().toList())
                if (value.toString().endsWith(ellipsis)) {
                    EXPECT_TRUE(sheetLabels.contains(value.toString().chopped(1))) << value.toString().toStdString();
                }
            ++entries;
        }
        const QVariantMap elements = completion.value(QStringLiteral("elements")).toMap();
        for (auto element = elements.cbegin(); element != elements.cend(); ++element) {
            EXPECT_TRUE(element.value().toMap().contains(QStringLiteral("class"))) << element.key().toStdString();
            for (const QVariant& values : element.value().toMap()) {
                if (values.metaType() == QMetaType::fromType<QVariantList>()) {
                    for (const QVariant& value : values.toList()) {
                        EXPECT_FALSE(value.toString().isEmpty()) << element.key().toStdString();
                        if (value.toString().endsWith(ellipsis)) {
                            EXPECT_TRUE(sheetLabels.contains(value.toString().chopped(1)));
                        }
                    }
                } else {
                    const QString text = values.toString();
                    EXPECT_TRUE(text.isEmpty() || (text.startsWith(QLatin1Char('#')) && text.count(QLatin1Char('.')) >= 2)) << text.toStdString();
                }
            }
            ++entries;
        }
        const QVariantMap hints = readMap(contents(bundle, "hinting.plist"));
        const QRegularExpression call(QStringLiteral("^[A-Za-z_$][\\w$]*\\("));
        for (auto it = hints.cbegin(); it != hints.cend(); ++it) {
            EXPECT_TRUE(it.value().toString().startsWith(it.key() + QLatin1Char('('))) << it.value().toString().toStdString();
            EXPECT_TRUE(call.match(it.value().toString()).hasMatch());
            ++entries;
        }
    }
    EXPECT_GE(entries, 5000);
}

// The generated vocabularies hold what a web developer types every day; a generator that lost
// a source (an extension missing from PHP, a renamed data file) shows here.
TEST(ShippedBundles, TheVocabulariesCoverTheEverydayWebPlatform) {
    const QString ellipsis(QChar(0x2026));
    auto completion = [](const char* bundle) { return readMap(bundlesFolder() + QLatin1Char('/') + QLatin1String(bundle) + QStringLiteral("/Contents/completion.plist")); };
    auto hints = [](const char* bundle) { return readMap(bundlesFolder() + QLatin1Char('/') + QLatin1String(bundle) + QStringLiteral("/Contents/hinting.plist")); };
    auto styleOf = [](const char* bundle, const QString& word) {
        const QVariantMap groups = readMap(bundlesFolder() + QLatin1Char('/') + QLatin1String(bundle) + QStringLiteral("/Contents/syntax.plist"))
                                       .value(QStringLiteral("keywords")).toMap();
        for (auto it = groups.cbegin(); it != groups.cend(); ++it)
            if (it.value().toStringList().contains(word)) return it.key();
        return QString();
    };

    const QVariantMap elements = completion("HTML.qvbundle").value(QStringLiteral("elements")).toMap();
    for (const char* element : {"html", "div", "main", "dialog", "template", "picture", "search", "input", "video"})
        EXPECT_TRUE(elements.contains(QLatin1String(element))) << element;
    for (const char* obsolete : {"font", "center", "marquee", "frameset", "acronym"})
        EXPECT_FALSE(elements.contains(QLatin1String(obsolete))) << obsolete;
    const QVariantMap input = elements.value(QStringLiteral("input")).toMap();
    EXPECT_TRUE(input.value(QStringLiteral("type")).toStringList().contains(QStringLiteral("email")));
    EXPECT_EQ(input.value(QStringLiteral("list")).toString(), QStringLiteral("#text.html.id"));
    EXPECT_TRUE(input.contains(QStringLiteral("onclick")));
    EXPECT_EQ(elements.value(QStringLiteral("a")).toMap().value(QStringLiteral("href")).toStringList(), QStringList({QStringLiteral("path") + ellipsis}));
    EXPECT_FALSE(elements.value(QStringLiteral("a")).toMap().contains(QStringLiteral("charset"))) << "deprecated";
    EXPECT_EQ(elements.value(QStringLiteral("div")).toMap().value(QStringLiteral("class")).toString(), QStringLiteral("#text.css.class"));

    const QVariantMap properties = completion("CSS.qvbundle").value(QStringLiteral("properties")).toMap();
    EXPECT_TRUE(properties.value(QStringLiteral("display")).toStringList().contains(QStringLiteral("flex")));
    EXPECT_TRUE(properties.value(QStringLiteral("color")).toStringList().contains(QStringLiteral("color") + ellipsis));
    EXPECT_TRUE(properties.value(QStringLiteral("margin")).toStringList().contains(QStringLiteral("length") + ellipsis));
    EXPECT_TRUE(properties.value(QStringLiteral("background-image")).toStringList().contains(QStringLiteral("uri") + ellipsis));
    EXPECT_TRUE(properties.value(QStringLiteral("font-family")).toStringList().contains(QStringLiteral("family-name") + ellipsis));
    EXPECT_TRUE(properties.contains(QStringLiteral("grid-template-columns")));
    EXPECT_EQ(styleOf("CSS.qvbundle", QStringLiteral("display")), QStringLiteral("support.type.property-name.css"));
    EXPECT_EQ(styleOf("CSS.qvbundle", QStringLiteral("rebeccapurple")), QStringLiteral("support.constant.color.css"));

    const QVariantMap js = hints("JavaScript.qvbundle");
    for (const char* function : {"getElementById", "querySelector", "addEventListener", "fetch", "setTimeout", "parseInt", "push", "then"})
        EXPECT_TRUE(js.contains(QLatin1String(function))) << function;
    EXPECT_EQ(js.value(QStringLiteral("parseInt")).toString(), QStringLiteral("parseInt(string: string, radix?: number): number"));
    EXPECT_EQ(completion("JavaScript.qvbundle").value(QStringLiteral("keys")).toMap().value(QStringLiteral("getElementById")).toString(),
              QStringLiteral("method getElementById(elementId)"));
    EXPECT_EQ(styleOf("JavaScript.qvbundle", QStringLiteral("Promise")), QStringLiteral("support.class.js"));
    EXPECT_EQ(styleOf("JavaScript.qvbundle", QStringLiteral("HTMLElement")), QStringLiteral("support.class.dom.js"));

    const QVariantMap php = hints("PHP.qvbundle");
    for (const char* function : {"str_contains", "array_map", "json_encode", "mb_strlen", "preg_match", "curl_init", "mysqli_connect", "htmlspecialchars", "session_start", "date"})
        EXPECT_TRUE(php.contains(QLatin1String(function))) << function;
    EXPECT_EQ(completion("PHP.qvbundle").value(QStringLiteral("keys")).toMap().value(QStringLiteral("substr")).toString(),
              QStringLiteral("function substr($string, $offset[, $length])"));
    EXPECT_EQ(styleOf("PHP.qvbundle", QStringLiteral("foreach")), QStringLiteral("keyword.control.php"));
    EXPECT_EQ(styleOf("PHP.qvbundle", QStringLiteral("exception")), QStringLiteral("support.class.php"));
}

namespace {

// The indexer rules of a bundle applied to bytes the way the code index applies them, in short:
// comments deleted, then every key rule scanned over what is left. Answers "type key => completion"
// lines and the referenced names the file patterns capture.
struct Indexed {
    QStringList keys;
    QStringList references;
};
Indexed applyIndexerRules(const QVariantMap& rules, QByteArray data) {
    auto scan = [&](const QString& pattern, const std::function<void(const QVRegexMatch&)>& each) {
        const auto regex = QVRegex::create(pattern);
        if (!regex) return;
        qint64 from = 0;
        while (from < data.size()) {
            const auto match = regex->copyMatchForUTF8Data(data, QVRange(from, data.size() - from));
            if (!match || match->rangeForCapture(0).length == 0) break;
            each(*match);
            from = match->rangeForCapture(0).end();
        }
    };
    auto text = [&](QVRange range) { return QString::fromUtf8(data.mid(range.location, range.length)); };
    for (const QVariant& comment : rules.value(QStringLiteral("comments")).toList()) {
        const auto regex = QVRegex::create(comment.toString(), 3);
        for (auto match = regex->copyMatchForUTF8Data(data, QVRange(0, data.size())); match;
             match = regex->copyMatchForUTF8Data(data, QVRange(match->rangeForCapture(0).location, data.size() - match->rangeForCapture(0).location))) {
            if (match->rangeForCapture(0).length == 0) break;
            data.remove(match->rangeForCapture(0).location, match->rangeForCapture(0).length);
        }
    }
    Indexed indexed;
    for (const QVariant& pattern : rules.value(QStringLiteral("external-files")).toList())
        scan(pattern.toString(), [&](const QVRegexMatch& m) { indexed.references.append(text(m.rangeForCapture(m.count() >= 2 ? 1 : 0))); });
    QSet<QString> seen;
    for (const QVariant& value : rules.value(QStringLiteral("keys")).toList()) {
        const QVariantMap rule = value.toMap();
        scan(rule.value(QStringLiteral("pattern")).toString(), [&](const QVRegexMatch& m) {
            const QString key = text(m.rangeForCapture(rule.value(QStringLiteral("key")).toInt()));
            if (seen.contains(key)) return;
            seen.insert(key);
            indexed.keys.append(QStringLiteral("%1 %2 => %3").arg(rule.value(QStringLiteral("type")).toString(), key,
                                                                  text(m.rangeForCapture(rule.value(QStringLiteral("completion")).toInt()))));
        });
    }
    return indexed;
}

}  // namespace

TEST(ShippedBundles, IndexerRulesFindTheIncludesFunctionsAndClassesOfTheSamples) {
    struct Case {
        const char* bundle;
        const char* sample;
        QStringList keys;
        QStringList references;
    };
    const QList<Case> cases{
        {"PHP.qvbundle", "php/functions.php",
         {u"function price => price()"_qs, u"function __construct => __construct(private string $name, private float $net)"_qs,
          u"function format_price => format_price(float $amount, string $currency = Item::CURRENCY)"_qs,
          u"class Item => Item"_qs, u"interface Priced => Priced"_qs, u"constant TAX_RATE => TAX_RATE"_qs,
          u"constant CURRENCY => CURRENCY"_qs},
         {u"lib/db.php"_qs, u"lib/cart.php"_qs}},
        {"JavaScript.qvbundle", "js/app.js",
         {u"function render => render(list, root)"_qs, u"class TodoList => TodoList"_qs, u"function onReady => onReady"_qs,
          u"method constructor => constructor(items = [])"_qs, u"method add => add(title)"_qs, u"method load => load(url)"_qs},
         {u"./util.js"_qs}},
        {"CSS.qvbundle", "css/site.css",
         {u"class nav => nav"_qs, u"class button => button"_qs, u"class primary => primary"_qs, u"class sidebar => sidebar"_qs,
          u"id header => header"_qs, u"custom-property --accent => --accent"_qs, u"custom-property --gap => --gap"_qs},
         {u"reset.css"_qs}},
        {"HTML.qvbundle", "html/document.html", {u"id intro => intro"_qs, u"id usage => usage"_qs}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sample);
        const QVariantMap rules = readMap(bundlesFolder() + QLatin1Char('/') + QLatin1String(c.bundle) + QStringLiteral("/Contents/indexer.plist"));
        const Indexed indexed = applyIndexerRules(rules, readAll(samplesFolder() + QLatin1Char('/') + QLatin1String(c.sample)));
        EXPECT_EQ(indexed.keys, c.keys);
        EXPECT_EQ(indexed.references, c.references);
    }
}
