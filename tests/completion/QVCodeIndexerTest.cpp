// The indexing rules of bundles over real bundle folders and files: reading and writing
// "indexer.plist", the order of the extraction steps, embedded sections, and runs that must end.
#include "CodeIndexFixtures.h"

#include "completion/QVCodeIndexer.h"
#include "tests/support/LogCapture.h"
#include "languages/QVBundle.h"

#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

using namespace codeindex;

namespace {

// "type key => completion @class" per key, then the references and tags.
QStringList dump(const QVCodeIndexer::Output& output) {
    QStringList lines;
    for (const QVCodeIndexKey& key : output.results)
        lines << QStringLiteral("%1 %2 => %3 @%4")
                     .arg(key.type().isNull() ? QStringLiteral("-") : key.type(), key.key(), key.completion(),
                          key.classString());
    for (const QString& file : output.referencedFiles) lines << QStringLiteral("file ") + file;
    for (const QString& tag : output.referencedTags) lines << QStringLiteral("reftag ") + tag;
    for (const QString& tag : output.tags) lines << QStringLiteral("tag ") + tag;
    return lines;
}

}  // namespace

class QVCodeIndexerTest : public CodeIndexSandbox {
protected:
    // The indexer of the bundle with that parser identifier in a registry over what was written.
    std::shared_ptr<QVCodeIndexer> indexerOf(const QString& parserIdentifier) {
        if (!repository) repository = makeRepository();
        const auto bundle = repository->bundleForIdentifier(parserIdentifier);
        EXPECT_TRUE(bundle) << parserIdentifier.toStdString();
        return bundle ? std::dynamic_pointer_cast<QVCodeIndexer>(bundle->codeIndexer()) : nullptr;
    }
    QVCodeIndexer::Output run(const QString& parserIdentifier, QByteArray text, const QString& path = {}) {
        const auto indexer = indexerOf(parserIdentifier);
        if (!indexer) return {};
        return indexer->runOnData(text, path.isNull() ? files.file(QStringLiteral("main.t")) : path, repository.get());
    }
    std::unique_ptr<QVBundleRepository> repository;
};

TEST_F(QVCodeIndexerTest, ReadsTheSwitchAndWritesTheRulesBack) {
    const QVariantMap full{
        {u"keys"_qs, QVariantList{keyRule(u"fn (\\w+)"_qs, u"function"_qs), keyRule(u"broken ("_qs)}},
        {u"pre-remove-keys"_qs, QVariantList{keyRule(u"pre (\\w+)"_qs)}},
        {u"external-files"_qs, QStringList{u"use \"(.+?)\""_qs, u"[unclosed"_qs}},
        {u"tags"_qs, QStringList{u"module (\\w+)"_qs}},
        {u"remove"_qs, QStringList{u"\"[^\"]*\""_qs, u"(bad"_qs}},
        {u"comments"_qs, QStringList{u"#[^\\n]*"_qs}},
        {u"includes"_qs, QVariantList{includeRule(u"text.b"_qs, u"<b>"_qs, u"</b>"_qs),
                                      includeRule(u"text.b"_qs, u"(unbalanced"_qs, u"</b>"_qs)}},
        {u"pathResolution"_qs, u"QVPerlPathResolver"_qs},
        {u"unknown"_qs, u"kept by the bundle, not the rules"_qs},
    };
    struct Case {
        const char* name;
        QVariant enabled;  // invalid: absent
        QVCodeIndexer::Enabled expected;
        bool foundByExtension;
    };
    const Case cases[] = {
        {"absent", QVariant(), QVCodeIndexer::EnabledNotStated, true},
        {"true", QVariant(true), QVCodeIndexer::EnabledOn, true},
        {"false", QVariant(false), QVCodeIndexer::EnabledOff, false},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QVariantMap rules = full;
        if (c.enabled.isValid()) rules.insert(u"enabled"_qs, c.enabled);
        const QString name = QStringLiteral("Switch%1").arg(++n);
        const QString extension = QStringLiteral("sw%1").arg(n);
        writeBundle(name, QStringLiteral("text.switch%1").arg(n), {extension}, rules);
        auto registry = makeRepository();
        const auto bundle = registry->bundleForIdentifier(QStringLiteral("text.switch%1").arg(n));
        ASSERT_TRUE(bundle);
        const auto indexer = std::dynamic_pointer_cast<QVCodeIndexer>(bundle->codeIndexer());
        ASSERT_TRUE(indexer);
        EXPECT_EQ(indexer->enabled(), c.expected);
        EXPECT_EQ(bool(QVCodeIndexer::indexerForPath(files.file(u"a."_qs + extension), registry.get())),
                  c.foundByExtension);
        EXPECT_EQ(indexer->indexClass(), QStringLiteral("text.switch%1").arg(n));

        TestDir out;
        ASSERT_TRUE(indexer->commitToPath(out.path()));
        PlistFormat format = PlistFormat::XML;
        const QVariantMap written = PropertyList::readFile(out.file(u"indexer.plist"_qs), nullptr, &format).toMap();
        EXPECT_EQ(format, PlistFormat::Binary);
        QVariantMap expected{
            {u"format-version"_qs, u"1.0"_qs},
            // Patterns that do not compile are gone; an include rule is kept whatever it holds.
            {u"keys"_qs, QVariantList{keyRule(u"fn (\\w+)"_qs, u"function"_qs)}},
            {u"pre-remove-keys"_qs, full.value(u"pre-remove-keys"_qs)},
            {u"external-files"_qs, QVariantList{u"use \"(.+?)\""_qs}},
            {u"tags"_qs, QVariantList{u"module (\\w+)"_qs}},
            {u"remove"_qs, QVariantList{u"\"[^\"]*\""_qs}},
            {u"comments"_qs, QVariantList{u"#[^\\n]*"_qs}},
            {u"includes"_qs, full.value(u"includes"_qs)},
            {u"pathResolution"_qs, u"QVPerlPathResolver"_qs},
        };
        if (c.enabled.isValid()) expected.insert(u"enabled"_qs, c.enabled);
        EXPECT_EQ(written, expected);

        // Saved with its bundle, the keys the rules do not know are carried over.
        indexer->setEnabled(QVCodeIndexer::EnabledOff);
        ASSERT_TRUE(bundle->commit());
        const QVariantMap saved =
            PropertyList::readFile(bundle->path() + u"/Contents/indexer.plist"_qs).toMap();
        EXPECT_EQ(saved.value(u"enabled"_qs), QVariant(false));
        EXPECT_EQ(saved.value(u"unknown"_qs), full.value(u"unknown"_qs));
    }
}

TEST_F(QVCodeIndexerTest, RunsItsStepsInOrder) {
    files.write(u"lib/util.t"_qs, "x");
    writeBundle(u"Steps"_qs, u"text.steps"_qs, {u"st"_qs},
                {{u"comments"_qs, QStringList{u"/\\*[\\s\\S]*?\\*/"_qs, u"#[^\\n]*"_qs}},
                 {u"remove"_qs, QStringList{u"\"[^\"]*\""_qs}},
                 {u"tags"_qs, QStringList{u"module\\s+(\\w+)"_qs, u"@\\w+"_qs}},
                 {u"external-files"_qs, QStringList{u"use\\s+'([^']+)'"_qs}},
                 {u"pre-remove-keys"_qs, QVariantList{keyRule(u"\"(\\w+)\""_qs, u"string"_qs, 1, 1)}},
                 {u"keys"_qs, QVariantList{keyRule(u"def\\s+((\\w+)\\([^)]*\\))"_qs, u"function"_qs, 2, 1),
                                           keyRule(u"var\\s+(\\w+)"_qs, QString(), 1, 1),
                                           keyRule(u"(\\w+)\\s*:="_qs, u"binding"_qs, 1, 1)}}});
    const QByteArray text =
        "module alpha\n"
        "@beta @beta\n"
        "/* def hidden() */ # def alsoHidden()\n"
        "use 'lib/util.t'\n"
        "use 'lib/missing.t'\n"
        "use '/abs/olute.t'\n"
        "def first(a, b)\n"
        "def first(c)\n"
        "var first\n"
        "x := \"quoted\"\n"
        "say \"def inString()\"\n"
        "var quoted\n";
    const QString path = files.file(u"main.st"_qs);
    EXPECT_EQ(dump(run(u"text.steps"_qs, text, path)),
              QStringList({
                  u"string quoted => quoted @text.steps"_qs,
                  // The second pass has its own set: "quoted" comes again; the first "first" wins.
                  u"function first => first(a, b) @text.steps"_qs,
                  u"- quoted => quoted @text.steps"_qs,
                  u"binding x => x @text.steps"_qs,
                  u"file "_qs + files.file(u"lib/util.t"_qs),
                  u"file /abs/olute.t"_qs,
                  u"tag alpha"_qs,
                  u"tag @beta"_qs,
                  u"tag @beta"_qs,
              }));
}

TEST_F(QVCodeIndexerTest, ModuleNamesFoundNowhereBecomeReferencedTags) {
    writeBundle(u"Perlish"_qs, u"text.perlish"_qs, {u"plx"_qs},
                {{u"pathResolution"_qs, u"QVPerlPathResolver"_qs},
                 {u"external-files"_qs, QStringList{u"use\\s+([\\w:./]+);"_qs}}});
    const QVCodeIndexer::Output output =
        run(u"text.perlish"_qs, "use No::Such::Module;\nuse lib/none.pm;\n", files.file(u"a.plx"_qs));
    EXPECT_EQ(dump(output), QStringList({u"reftag No::Such::Module"_qs}));
}

TEST_F(QVCodeIndexerTest, HandsEmbeddedSectionsToOtherLanguages) {
    files.write(u"site/app.js"_qs, "x");
    writeBundle(u"Page"_qs, u"text.page"_qs, {u"page"_qs},
                {{u"includes"_qs, QVariantList{includeRule(u"text.script"_qs, u"<script>"_qs, u"</script>"_qs),
                                               includeRule(u"text.nobody"_qs, u"<nobody>"_qs, u"</nobody>"_qs),
                                               includeRule(u"text.off"_qs, u"<off>"_qs, u"</off>"_qs)}},
                 {u"keys"_qs, QVariantList{keyRule(u"id=\"(\\w+)\""_qs, u"id"_qs), keyRule(u"function (\\w+)"_qs, u"leak"_qs)}}});
    writeBundle(u"Script"_qs, u"text.script"_qs, {u"script"_qs},
                {{u"keys"_qs, QVariantList{keyRule(u"function (\\w+)"_qs, u"function"_qs)}},
                 {u"tags"_qs, QStringList{u"module (\\w+)"_qs}},
                 {u"external-files"_qs, QStringList{u"src=\"([^\"]+)\""_qs}}});
    // Switched off for its own files, but its rules still serve sections handed to it.
    writeBundle(u"Off"_qs, u"text.off"_qs, {u"off"_qs},
                {{u"enabled"_qs, false}, {u"keys"_qs, QVariantList{keyRule(u"let (\\w+)"_qs, u"variable"_qs)}}});

    const QString path = files.file(u"site/index.page"_qs);
    const QByteArray text =
        "<div id=\"top\"></div>\n"
        "<script>function one() {} module m1 src=\"app.js\"</script>\n"
        "<nobody>function visible()</nobody>\n"
        "<script>\nfunction two() {}\n</script>\n"
        "<off>let answer = 42</off>\n"
        "<p id=\"bottom\"></p>\n"
        "<script>function three() { never closed\n";
    EXPECT_EQ(dump(run(u"text.page"_qs, text, path)),
              QStringList({
                  u"function one => one @text.script"_qs,
                  u"function two => two @text.script"_qs,
                  u"function three => three @text.script"_qs,
                  u"variable answer => answer @text.off"_qs,
                  u"id top => top @text.page"_qs,
                  u"id bottom => bottom @text.page"_qs,
                  // Only the section without a language of its own stays visible to the page's rules.
                  u"leak visible => visible @text.page"_qs,
                  u"file "_qs + files.file(u"site/app.js"_qs),
              }));
    EXPECT_EQ(QVCodeIndexer::indexerForPath(files.file(u"x.off"_qs), repository.get()), nullptr);
}

TEST_F(QVCodeIndexerTest, RunsThatCouldLoopForEverEnd) {
    // Languages that include themselves or each other, and patterns that match the empty string.
    writeBundle(u"Self"_qs, u"text.self"_qs, {u"self"_qs},
                {{u"includes"_qs, QVariantList{includeRule(u"text.self"_qs, u"<s>"_qs, u"</s>"_qs)}},
                 {u"keys"_qs, QVariantList{keyRule(u"k(\\w)"_qs, u"self"_qs)}}});
    writeBundle(u"Ping"_qs, u"text.ping"_qs, {u"ping"_qs},
                {{u"includes"_qs, QVariantList{includeRule(u"text.pong"_qs, u"\\["_qs, u"$"_qs)}},
                 {u"keys"_qs, QVariantList{keyRule(u"k(\\w)"_qs, u"ping"_qs)}}});
    writeBundle(u"Pong"_qs, u"text.pong"_qs, {u"pong"_qs},
                {{u"includes"_qs, QVariantList{includeRule(u"text.ping"_qs, u"\\["_qs, u"$"_qs)}},
                 {u"keys"_qs, QVariantList{keyRule(u"k(\\w)"_qs, u"pong"_qs)}}});
    writeBundle(u"Empty"_qs, u"text.empty"_qs, {u"empty"_qs},
                {{u"comments"_qs, QStringList{u"x*"_qs}},
                 {u"remove"_qs, QStringList{u"(?=z)"_qs}},
                 {u"includes"_qs, QVariantList{includeRule(u"text.ping"_qs, u""_qs, u"(?=t)"_qs)}},
                 {u"tags"_qs, QStringList{u"\\b"_qs, u"(t*)"_qs}},
                 {u"external-files"_qs, QStringList{u"(?:)"_qs}},
                 {u"keys"_qs, QVariantList{keyRule(u"(\\w*)"_qs, u"word"_qs), keyRule(u"(?<=a)"_qs, u"nothing"_qs, 0)}}});
    struct Case {
        const char* name;
        QString language;
        QByteArray text;
        QStringList expected;
    };
    const Case cases[] = {
        {"a language including itself sees its own sections", u"text.self"_qs, "<s>ka <s>kb</s></s> kc",
         {u"self a => a @text.self"_qs, u"self b => b @text.self"_qs, u"self c => c @text.self"_qs}},
        {"two languages including each other", u"text.ping"_qs, "ka [kb [kc",
         {u"pong b => b @text.pong"_qs, u"pong c => c @text.pong"_qs, u"ping a => a @text.ping"_qs}},
        {"empty matches everywhere", u"text.empty"_qs, "xxab tt\xc3\xa9q",
         // Empty sections hand nothing over; the text around "tt" goes to ping, where "k" finds
         // nothing.
         {u"word tt => tt @text.empty"_qs, u"tag tt"_qs}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(dump(run(c.language, c.text)), c.expected);
    }
}

TEST_F(QVCodeIndexerTest, MatchesThatCannotMakeAKeyAreSkipped) {
    writeBundle(u"Odd"_qs, u"text.odd"_qs, {u"odd"_qs},
                {{u"keys"_qs, QVariantList{keyRule(u"beyond (\\w+)"_qs, u"beyond"_qs, 5, 1),
                                           keyRule(u"opt (a)?(\\w+)"_qs, u"optional"_qs, 1, 2),
                                           keyRule(u"cut (\\w*)"_qs, u"cut"_qs, 1, 1),
                                           keyRule(u"good (\\w+)"_qs, u"good"_qs, 1, 1)}}});
    // A capture the pattern lacks, one that took no part, and an empty key text.
    const QVCodeIndexer::Output output = run(u"text.odd"_qs, "beyond one\nopt two\ncut \ngood three\n");
    EXPECT_EQ(dump(output), QStringList({u"good three => three @text.odd"_qs}));
}

TEST_F(QVCodeIndexerTest, ReadsFilesAsUTF8Text) {
    writeBundle(u"Words"_qs, u"text.words"_qs, {u"words"_qs}, {{u"keys"_qs, QVariantList{keyRule(u"key ([^ \\n]+)"_qs)}}});
    struct Case {
        const char* name;
        QString file;
        QByteArray bytes;
        QStringList keys;
    };
    const Case cases[] = {
        {"utf-8 with a byte-order mark", u"bom.words"_qs, "\xEF\xBB\xBFkey caf\xC3\xA9", {u"café"_qs}},
        {"latin-1 by its declaration", u"latin.words"_qs,
         "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>\nkey caf\xE9", {u"café"_qs}},
        {"cut at the first zero byte", u"zero.words"_qs, QByteArray("key one\0key two", 15), {u"one"_qs}},
        {"empty", u"empty.words"_qs, QByteArray(), {}},
    };
    const auto indexer = indexerOf(u"text.words"_qs);
    ASSERT_TRUE(indexer);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = files.write(c.file, c.bytes);
        QStringList keys;
        for (const QVCodeIndexKey& key : indexer->indexFile(path, repository.get())) keys << key.key();
        EXPECT_EQ(keys, c.keys);
        EXPECT_EQ(indexer->results().size(), c.keys.size());
    }
    // A path that cannot be read gives no outputs, and says why when asked.
    QVError error;
    EXPECT_FALSE(indexer->runOnFile(files.file(u"missing.words"_qs), repository.get(), &error));
    EXPECT_TRUE(error);
    EXPECT_FALSE(indexer->runOnFile(files.path(), repository.get()));
    EXPECT_TRUE(indexer->indexFile(files.file(u"missing.words"_qs), repository.get()).isEmpty());
}

TEST_F(QVCodeIndexerTest, ShippedRulesFindTheSymbolsOfWebFiles) {
    useShippedBundles();
    repository = makeRepository();
    if (!repository->bundleForIdentifier(u"text.js"_qs) || !repository->bundleForIdentifier(u"text.php"_qs))
        GTEST_SKIP() << "the shipped JavaScript and PHP bundles are not there";
    files.write(u"web/lib/util.js"_qs, "export const x = 1;");
    files.write(u"web/inc/config.php"_qs, "<?php");
    const QString jsPath = files.write(u"web/app.js"_qs,
                                       "import { x } from './lib/util.js';\n"
                                       "// function commentedOut() {}\n"
                                       "/* class Hidden {} */\n"
                                       "function greet(name) { return 'hi ' + name; }\n"
                                       "class Widget {\n"
                                       "  render(target) {\n"
                                       "    return target;\n"
                                       "  }\n"
                                       "}\n"
                                       "const add = (a, b) => a + b;\n");
    const auto js = QVCodeIndexer::indexerForPath(jsPath, repository.get());
    ASSERT_TRUE(js);
    const auto jsOutput = js->runOnFile(jsPath, repository.get());
    ASSERT_TRUE(jsOutput);
    QStringList jsKeys;
    for (const QVCodeIndexKey& key : jsOutput->results) jsKeys << key.type() + u' ' + key.key() + u' ' + key.completion();
    EXPECT_TRUE(jsKeys.contains(u"function greet greet(name)"_qs)) << jsKeys.join(u'\n').toStdString();
    EXPECT_TRUE(jsKeys.contains(u"class Widget Widget"_qs)) << jsKeys.join(u'\n').toStdString();
    EXPECT_TRUE(jsKeys.contains(u"function add add"_qs)) << jsKeys.join(u'\n').toStdString();
    EXPECT_FALSE(jsKeys.join(u'\n').contains(u"commentedOut"_qs));
    EXPECT_FALSE(jsKeys.join(u'\n').contains(u"Hidden"_qs));
    EXPECT_EQ(jsOutput->referencedFiles, QStringList{files.file(u"web/lib/util.js"_qs)});

    const QString phpPath = files.write(u"web/index.php"_qs,
                                        "<?php\n"
                                        "require_once 'inc/config.php';\n"
                                        "# function notThis() {}\n"
                                        "class Cart { function total($items) { return 0; } }\n"
                                        "define('MAX_ITEMS', 10);\n"
                                        "?>\n");
    const auto php = QVCodeIndexer::indexerForPath(phpPath, repository.get());
    ASSERT_TRUE(php);
    const auto phpOutput = php->runOnFile(phpPath, repository.get());
    ASSERT_TRUE(phpOutput);
    QStringList phpKeys;
    for (const QVCodeIndexKey& key : phpOutput->results) phpKeys << key.type() + u' ' + key.key();
    EXPECT_TRUE(phpKeys.contains(u"class Cart"_qs)) << phpKeys.join(u'\n').toStdString();
    EXPECT_TRUE(phpKeys.contains(u"function total"_qs)) << phpKeys.join(u'\n').toStdString();
    EXPECT_TRUE(phpKeys.contains(u"constant MAX_ITEMS"_qs)) << phpKeys.join(u'\n').toStdString();
    EXPECT_FALSE(phpKeys.join(u'\n').contains(u"notThis"_qs));
    EXPECT_EQ(phpOutput->referencedFiles, QStringList{files.file(u"web/inc/config.php"_qs)});

    // A page hands its script and PHP sections to those languages.
    const QString htmlPath = files.write(u"web/page.html"_qs,
                                         "<div id=\"main\"></div>\n"
                                         "<script>function onLoad() {}</script>\n"
                                         "<?php function helper() {} ?>\n");
    const auto html = QVCodeIndexer::indexerForPath(htmlPath, repository.get());
    if (!html) GTEST_SKIP() << "the shipped HTML bundle has no rules";
    const auto htmlOutput = html->runOnFile(htmlPath, repository.get());
    ASSERT_TRUE(htmlOutput);
    QStringList htmlKeys;
    for (const QVCodeIndexKey& key : htmlOutput->results) htmlKeys << key.classString() + u' ' + key.key();
    EXPECT_TRUE(htmlKeys.contains(u"text.js onLoad"_qs)) << htmlKeys.join(u'\n').toStdString();
    EXPECT_TRUE(htmlKeys.contains(u"text.php helper"_qs)) << htmlKeys.join(u'\n').toStdString();
    EXPECT_TRUE(htmlKeys.contains(u"text.html main"_qs)) << htmlKeys.join(u'\n').toStdString();
}

TEST_F(QVCodeIndexerTest, ShippedPageRulesEndServerSectionsWhereTheCodeEnds) {
    useShippedBundles();
    struct Case {
        const char* name;
        QByteArray page;
        QStringList keys;  // "class name" of every function found, in order
    };
    const QList<Case> cases{
        {"end marker in a single-quoted string", "<?php $a = '?>'; function after() {} ?>", {"text.php after"}},
        {"end marker in a double-quoted string", "<?php $a = \"?>\"; function after() {} ?>", {"text.php after"}},
        {"escaped quotes", "<?php $a = 'it\\'s ?>'; $b = \"\\\"?>\"; function after() {} ?>", {"text.php after"}},
        {"double quote inside a single-quoted string", "<?php $x = '<?x a=\"'.$b.'\"?>'; function after() {} ?>",
         {"text.php after"}},
        {"end marker in a block comment", "<?php /* ?> */ function after() {} ?>", {"text.php after"}},
        {"apostrophe in a line comment", "<?php // don't\nfunction inside() {}\n?><script>function after() {}</script>",
         {"text.php inside", "text.js after"}},
        {"a line comment ends at the end marker", "<?php // x ?><script>function after() {}</script>", {"text.js after"}},
        {"unclosed string runs to the end", "<?php $a = '?><script>function after() {}</script>", {"text.php after"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QStringList keys;
        for (const QVCodeIndexKey& key : run(u"text.html"_qs, c.page).results)
            if (key.type() == u"function"_qs) keys << key.classString() + u' ' + key.key();
        EXPECT_EQ(keys, c.keys);
    }

    // A whole library file indexed as a page finds every function its own language's rules find.
    QFile library(QStringLiteral("/usr/share/php/tcpdf/tcpdf.php"));
    ASSERT_TRUE(library.open(QIODevice::ReadOnly)) << "php-tcpdf is missing: run scripts/setup";
    const QByteArray bytes = library.readAll();
    auto functions = [](const QVCodeIndexer::Output& output) {
        QStringList names;
        for (const QVCodeIndexKey& key : output.results)
            if (key.type() == u"function"_qs) names << key.key();
        return names;
    };
    const QStringList asCode = functions(run(u"text.php"_qs, bytes));
    EXPECT_GT(asCode.size(), 400);
    const QStringList asPage = functions(run(u"text.html"_qs, bytes));
    EXPECT_EQ(asPage.size(), asCode.size());
    EXPECT_TRUE(asPage == asCode);
}

TEST_F(QVCodeIndexerTest, RulesTooComplexForAFileAreSkippedAndLogged) {
    // Nested repeats on a near miss: each rule whose pattern gives up on the file stops there and
    // is logged; the other rules still find their keys.
    writeBundle(u"Hard"_qs, u"text.hard"_qs, {u"hard"_qs},
                {{u"comments"_qs, QStringList{u"#(a+)+$"_qs}},
                 {u"keys"_qs, QVariantList{keyRule(u"x(a+)+$"_qs, u"runaway"_qs), keyRule(u"k(\\w)"_qs, u"good"_qs)}}});
    LogCapture log;
    const QString path = files.file(u"hard.hard"_qs);
    const QByteArray nearMiss = QByteArray(40, 'a') + "b";
    EXPECT_EQ(dump(run(u"text.hard"_qs, "ka #" + nearMiss + " kb x" + nearMiss + " kc", path)),
              QStringList({u"good a => a @text.hard"_qs, u"good b => b @text.hard"_qs, u"good c => c @text.hard"_qs}));
    for (const char* pattern : {"#(a+)+$", "x(a+)+$"})
        EXPECT_TRUE(log.contains(QStringLiteral("The code index skipped a rule for \"%1\": the pattern \"%2\" is too "
                                                "complex for the file.").arg(path, pattern)))
            << log.lines().join(u'\n').toStdString();
}
