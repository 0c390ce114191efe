// Language bundles on disk: opening, definitions, factories, images and saving (with its
// failures), over real bundle folders in a private application-support folder.
#include "BundleFixtures.h"

#include "languages/QVBundle.h"
#include "languages/QVCodeHinting.h"
#include "languages/QVCodeNavParser.h"
#include "languages/QVKeywordBasedParser.h"
#include "languages/QVParser.h"
#include "languages/QVTagBasedParser.h"
#include "platform/NotificationCenter.h"
#include "shell/QVFileCategories.h"

#include <QColor>
#include <QImage>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace bundles;

namespace {

const QString kKeywordSyntax = QStringLiteral("keyword");

QVariantMap keywordSyntax(const QString& identifier) {
    return {{QStringLiteral("format-type"), kKeywordSyntax},
            {QStringLiteral("format-id"), identifier},
            {QStringLiteral("keyword-characters"), QStringLiteral("abc")},
            {QStringLiteral("folding"), QVariantMap{{QStringLiteral("open"), QStringLiteral("\\{")}}}};
}

QVariantList codeNav() {
    return {QVariantMap{{QStringLiteral("pattern"), QStringLiteral("function (\\w+)")},
                        {QStringLiteral("display"), QStringLiteral("$1()")}}};
}

}  // namespace

class QVBundleTest : public BundleSandbox {};

TEST_F(QVBundleTest, OpeningReadsInfoAndDerivesExtensions) {
    categories.insert(QStringLiteral("Scripts"), {QStringLiteral("js"), QStringLiteral("mjs")});
    categories.insert(QStringLiteral("Empty"), {});
    categories.insert(QStringLiteral("Styles"), {QStringLiteral("css"), QStringLiteral("js")});
    struct Case {
        const char* name;
        QStringList claimed;
        QStringList fileTypes;
        QStringList expectedCategories;
        QStringList expectedTypes;
    };
    const QList<Case> cases{
        {"categories with types win over file-types", {u"scripts"_qs}, {u"txt"_qs}, {u"scripts"_qs}, {u"js"_qs, u"mjs"_qs}},
        {"category order, duplicates kept", {u"Styles"_qs, u"Scripts"_qs}, {}, {u"Styles"_qs, u"Scripts"_qs},
         {u"css"_qs, u"js"_qs, u"js"_qs, u"mjs"_qs}},
        {"categories without types fall back", {u"Empty"_qs}, {u"txt"_qs, u"TXT"_qs}, {u"Empty"_qs}, {u"txt"_qs, u"TXT"_qs}},
        {"unknown categories are skipped", {u"Nope"_qs, u"Scripts"_qs}, {}, {u"Scripts"_qs}, {u"js"_qs, u"mjs"_qs}},
        {"nothing claimed", {}, {}, {}, {}},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QVariantMap plist = info(QStringLiteral("com.example.b%1").arg(n), QStringLiteral("B"), c.fileTypes);
        plist.insert(QStringLiteral("file-categories"), c.claimed);
        const QString path = writeBundle(builtInBundles(), QStringLiteral("B%1.qvbundle").arg(n++), plist);
        const auto bundle = QVBundle::bundleWithPath(path, true);
        ASSERT_TRUE(bundle);
        EXPECT_EQ(bundle->fileCategories(), c.expectedCategories);
        EXPECT_EQ(bundle->fileTypes(), c.expectedTypes);
    }

    // Claiming other categories derives the extensions again at once.
    const auto bundle = QVBundle::bundleWithPath(builtInBundles() + QStringLiteral("/B2.qvbundle"), true);
    bundle->setFileCategories({QStringLiteral("Styles")});
    EXPECT_EQ(bundle->fileTypes(), QStringList({u"css"_qs, u"js"_qs}));
}

TEST_F(QVBundleTest, InfoValuesAndFoldersThatAreNoBundle) {
    QVariantMap plist = info(QStringLiteral("com.example.x"), QStringLiteral("X"));
    plist.insert(QStringLiteral("hide-in-list"), true);
    plist.insert(QStringLiteral("tooltip"), QStringLiteral("Tip"));
    const auto bundle = QVBundle::bundleWithPath(writeBundle(builtInBundles(), u"X.qvbundle"_qs, plist), true);
    ASSERT_TRUE(bundle);
    EXPECT_EQ(bundle->bundleIdentifier(), u"com.example.x"_qs);
    EXPECT_EQ(bundle->title(), u"X"_qs);
    EXPECT_EQ(bundle->version(), u"1.0"_qs);
    EXPECT_TRUE(bundle->hideInList());
    EXPECT_EQ(bundle->tooltip(), u"Tip"_qs);
    EXPECT_FALSE(bundle->parser());
    EXPECT_TRUE(bundle->identifier().isNull());

    struct Case {
        const char* name;
        QByteArray infoBytes;  // empty: no Info.plist at all
    };
    const QList<Case> cases{
        {"no Info.plist", {}},
        {"no identifier", PropertyList::toData(QVariantMap{{u"CFBundleName"_qs, u"Y"_qs}}, PlistFormat::XML)},
        {"identifier of the wrong type", PropertyList::toData(QVariantMap{{u"CFBundleIdentifier"_qs, 3}}, PlistFormat::XML)},
        {"not a dictionary", PropertyList::toData(QVariantList{u"a"_qs}, PlistFormat::Binary)},
        {"damaged list", QByteArray("<?xml version=\"1.0\"?><plist><dict><key>CFBundle")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestDir dir;
        QDir().mkpath(dir.file(u"Y.qvbundle/Contents"_qs));
        if (!c.infoBytes.isEmpty()) dir.write(u"Y.qvbundle/Contents/Info.plist"_qs, c.infoBytes);
        QVError error;
        EXPECT_FALSE(QVBundle::bundleWithPath(dir.file(u"Y.qvbundle"_qs), false, &error));
        EXPECT_FALSE(error.isNull());
    }
}

TEST_F(QVBundleTest, DefinitionsLoadFromXMLAndBinaryLists) {
    const QVariantMap tag{{u"format-type"_qs, u"tag"_qs}, {u"format-id"_qs, u"text.html"_qs}};
    struct Case {
        const char* name;
        QList<Definition> definitions;
        const std::type_info* parserType;  // null: no parser
        bool codeNav;
        bool hints;
    };
    const QList<Case> cases{
        {"keyword syntax in XML, navigation in binary",
         {{u"syntax.plist"_qs, keywordSyntax(u"source.x"_qs)}, {u"codenav.plist"_qs, codeNav(), PlistFormat::Binary}},
         &typeid(QVKeywordBasedParser), true, false},
        {"tag syntax in binary", {{u"syntax.plist"_qs, tag, PlistFormat::Binary}}, &typeid(QVTagBasedParser), false, false},
        {"any other format is a plain parser",
         {{u"syntax.plist"_qs, QVariantMap{{u"format-type"_qs, u"markdown"_qs}, {u"format-id"_qs, u"text.md"_qs}}}},
         &typeid(QVParser), false, false},
        {"navigation without syntax is not read",
         {{u"codenav.plist"_qs, codeNav()}, {u"hinting.plist"_qs, QVariantMap{{u"f"_qs, u"f(a)"_qs}}}}, nullptr, false, true},
        {"a syntax file that is no dictionary gives no parser", {{u"syntax.plist"_qs, QVariantList{1}}}, nullptr, false, false},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = writeBundle(builtInBundles(), QStringLiteral("D%1.qvbundle").arg(n),
                                         info(QStringLiteral("com.example.d%1").arg(n), u"D"_qs), c.definitions);
        ++n;
        const auto bundle = QVBundle::bundleWithPath(path, false);
        ASSERT_TRUE(bundle);
        ASSERT_EQ(bool(bundle->parser()), c.parserType != nullptr);
        if (c.parserType) {
            const QVParser& parser = *bundle->parser();
            EXPECT_EQ(typeid(parser), *c.parserType);
            EXPECT_EQ(bundle->parser()->bundle(), bundle);
            EXPECT_EQ(bundle->identifier(), bundle->parser()->identifier());
            EXPECT_FALSE(bundle->identifier().isEmpty());
        }
        EXPECT_EQ(bool(bundle->codeNavParser()), c.codeNav);
        EXPECT_EQ(bool(bundle->codeHinting()), c.hints);
        if (c.hints) {
            EXPECT_EQ(bundle->codeHinting()->prototypeInString(u"f("_qs, 2), u"f(a)"_qs);
        }
    }
}

TEST_F(QVBundleTest, CompletionAndIndexerComeFromRegisteredFactories) {
    const QVariantMap completion{{u"format-type"_qs, u"keyword"_qs}, {u"keys"_qs, QVariantMap{{u"if"_qs, u"if"_qs}}}};
    const QVariantMap css{{u"class"_qs, u"QVCSSCodeCompletion"_qs}, {u"format-type"_qs, u"keyword"_qs}};
    const QVariantMap unknownClass{{u"class"_qs, u"NoSuchEngine"_qs}, {u"format-type"_qs, u"tag"_qs}};
    const QVariantMap indexer{{u"keys"_qs, QVariantList{}}};
    auto open = [&](const QString& name, const QVariantMap& definition) {
        return QVBundle::bundleWithPath(writeBundle(builtInBundles(), name, info(name, name),
                                                    {{u"completion.plist"_qs, definition}, {u"indexer.plist"_qs, indexer}}),
                                        false);
    };

    // Before any factory: the definitions are kept and answered, there is no object.
    const auto early = open(u"Early.qvbundle"_qs, completion);
    EXPECT_FALSE(early->codeCompletion());
    EXPECT_FALSE(early->codeIndexer());
    EXPECT_EQ(early->completionDefinition(), completion);
    EXPECT_EQ(early->indexerDefinition(), indexer);

    QStringList made;
    auto factory = [&made](const QString& kind) {
        return [&made, kind](const std::shared_ptr<QVBundle>& bundle, const QVariantMap& definition) {
            EXPECT_TRUE(bundle);
            made.append(kind);
            return std::make_shared<RecordingComponent>(definition);
        };
    };
    QVBundle::registerCompletionFactory(u"keyword"_qs, factory(u"keyword"_qs));
    QVBundle::registerCompletionFactory(u"tag"_qs, factory(u"tag"_qs));
    QVBundle::registerCompletionFactory(u"QVCSSCodeCompletion"_qs, factory(u"css"_qs));
    QVBundle::registerIndexerFactory(factory(u"indexer"_qs));

    // A bundle loaded earlier builds its objects on the first request once a factory is there.
    ASSERT_TRUE(early->codeCompletion());
    EXPECT_EQ(early->codeCompletion(), early->codeCompletion());
    EXPECT_TRUE(early->codeIndexer());
    EXPECT_EQ(made, QStringList({u"keyword"_qs, u"indexer"_qs}));

    made.clear();
    const auto cssBundle = open(u"Css.qvbundle"_qs, css);
    const auto unknown = open(u"Unknown.qvbundle"_qs, unknownClass);
    const auto none = open(u"None.qvbundle"_qs, QVariantMap{{u"format-type"_qs, u"plain"_qs}});
    // Opening builds the indexers; an engine waits for the first request.
    EXPECT_EQ(made, QStringList({u"indexer"_qs, u"indexer"_qs, u"indexer"_qs}));
    made.clear();
    EXPECT_TRUE(cssBundle->codeCompletion());
    EXPECT_TRUE(unknown->codeCompletion());
    EXPECT_FALSE(none->codeCompletion());
    // "class" wins when it names an engine; otherwise "format-type" decides.
    EXPECT_EQ(made, QStringList({u"css"_qs, u"tag"_qs}));
    EXPECT_EQ(none->completionDefinition().value(u"format-type"_qs), u"plain"_qs);
}

TEST_F(QVBundleTest, HintsAndCompletionAreReadOnceOnTheFirstRequestFromAnyThread) {
    const QVariantMap hints{{u"f"_qs, u"f(a)"_qs}};
    const QVariantMap completion{{u"format-type"_qs, u"keyword"_qs}, {u"keys"_qs, QVariantMap{{u"if"_qs, u"if"_qs}}}};
    const QString path = writeBundle(builtInBundles(), u"H.qvbundle"_qs, info(u"com.example.h"_qs, u"H"_qs),
                                     {{u"hinting.plist"_qs, hints}, {u"completion.plist"_qs, completion}});
    QVBundle::registerCompletionFactory(u"keyword"_qs, [](const std::shared_ptr<QVBundle>&, const QVariantMap& definition) {
        return std::make_shared<RecordingComponent>(definition);
    });

    // Threads asking at once all get the one set of objects the folder gives.
    const auto bundle = QVBundle::bundleWithPath(path, false);
    struct Answer {
        std::shared_ptr<QVCodeHinting> hinting;
        std::shared_ptr<QVBundleComponent> engine;
        QVariantMap definition;
    };
    std::vector<Answer> answers(8);
    std::vector<std::thread> threads;
    for (Answer& answer : answers)
        threads.emplace_back([&bundle, &answer] {
            answer.definition = bundle->completionDefinition();
            answer.engine = bundle->codeCompletion();
            answer.hinting = bundle->codeHinting();
        });
    for (std::thread& thread : threads) thread.join();
    ASSERT_TRUE(answers[0].hinting && answers[0].engine);
    EXPECT_EQ(answers[0].hinting->prototypeInString(u"f("_qs, 2), u"f(a)"_qs);
    for (const Answer& answer : answers) {
        EXPECT_EQ(answer.hinting, answers[0].hinting);
        EXPECT_EQ(answer.engine, answers[0].engine);
        EXPECT_EQ(answer.definition, completion);
    }

    // An engine removed before anyone asked stays removed; what was never asked for is saved.
    const auto removed = QVBundle::bundleWithPath(path, false);
    removed->setCodeCompletion(nullptr);
    EXPECT_FALSE(removed->codeCompletion());
    EXPECT_TRUE(removed->completionDefinition().isEmpty());
    ASSERT_TRUE(removed->commit());
    EXPECT_FALSE(QFile::exists(removed->path() + u"/Contents/completion.plist"_qs));
    EXPECT_EQ(readPlist(removed->path() + u"/Contents/hinting.plist"_qs).toMap(), hints);
}

TEST_F(QVBundleTest, ImagesComeFromResourcesAndAreCached) {
    const QString path = writeBundle(builtInBundles(), u"I.qvbundle"_qs, info(u"com.example.i"_qs, u"I"_qs));
    QDir().mkpath(path + u"/Contents/Resources"_qs);
    QImage red(16, 16, QImage::Format_ARGB32);
    red.fill(Qt::red);
    ASSERT_TRUE(red.save(path + u"/Contents/Resources/red.png"_qs));
    ASSERT_TRUE(red.save(path + u"/Contents/outside.png"_qs));

    const auto bundle = QVBundle::bundleWithPath(path, true);
    const QImage first = bundle->imageNamed(u"red.png"_qs);
    ASSERT_FALSE(first.isNull());
    EXPECT_EQ(first.size(), QSize(16, 16));
    QFile::remove(path + u"/Contents/Resources/red.png"_qs);
    EXPECT_EQ(bundle->imageNamed(u"red.png"_qs).cacheKey(), first.cacheKey());
    for (const QString& name : {u"missing.png"_qs, u"../outside.png"_qs, u".."_qs, QString()})
        EXPECT_TRUE(bundle->imageNamed(name).isNull()) << name.toStdString();
    EXPECT_TRUE(QVBundle::bundleWithTitle(u"New"_qs, u"text.new"_qs)->imageNamed(u"red.png"_qs).isNull());
}

TEST_F(QVBundleTest, SavingANewBundle) {
    const auto bundle = QVBundle::bundleWithTitle(u"Foo"_qs, u"text.foo"_qs);
    EXPECT_TRUE(bundle->path().isEmpty());
    EXPECT_TRUE(QRegularExpression(u"^[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$"_qs).match(bundle->bundleIdentifier()).hasMatch());
    QVError error;
    ASSERT_TRUE(bundle->commit(&error)) << error.localizedDescription().toStdString();

    const QString folder = userBundles() + u"/Foo.qvbundle"_qs;
    EXPECT_EQ(bundle->path(), folder);
    EXPECT_EQ(userBundleEntries(), QStringList({u"Foo.qvbundle"_qs}));
    PlistFormat format = PlistFormat::XML;
    const QVariantMap written = readPlist(folder + u"/Contents/Info.plist"_qs, &format).toMap();
    EXPECT_EQ(format, PlistFormat::Binary);
    EXPECT_EQ(written, QVariantMap({{u"CFBundleIdentifier"_qs, bundle->bundleIdentifier()},
                                    {u"CFBundleVersion"_qs, u"1.0"_qs},
                                    {u"CFBundleName"_qs, u"Foo"_qs},
                                    {u"file-categories"_qs, QVariantList()}}));
    EXPECT_EQ(readPlist(folder + u"/Contents/syntax.plist"_qs).toMap().value(u"format-id"_qs), u"text.foo"_qs);
    EXPECT_FALSE(QFile::exists(folder + u"/Contents/completion.plist"_qs));

    // It opens again as the same bundle.
    const auto reopened = QVBundle::bundleWithPath(folder, false);
    ASSERT_TRUE(reopened);
    EXPECT_EQ(reopened->bundleIdentifier(), bundle->bundleIdentifier());
    EXPECT_EQ(reopened->identifier(), u"text.foo"_qs);
}

TEST_F(QVBundleTest, FolderNamesFromTitlesStayInTheBundlesFolder) {
    struct Case {
        QString title;
        QString folder;
    };
    const QList<Case> cases{
        {u"../../evil"_qs, u"-..-evil.qvbundle"_qs},
        {u"a/b"_qs, u"a-b.qvbundle"_qs},
        {u"..."_qs, QString()},  // falls back to the identifier
        {u".hidden"_qs, u"hidden.qvbundle"_qs},
        {u"  "_qs, QString()},
        {u"tab\there"_qs, u"tab-here.qvbundle"_qs},
        {u"Übersicht"_qs, u"Übersicht.qvbundle"_qs},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title.toStdString());
        const auto bundle = QVBundle::bundleWithTitle(c.title, u"text.t"_qs);
        ASSERT_TRUE(bundle->commit());
        const QString expected = c.folder.isNull() ? bundle->bundleIdentifier() + u".qvbundle"_qs : c.folder;
        EXPECT_EQ(bundle->path(), userBundles() + QLatin1Char('/') + expected);
        EXPECT_TRUE(QFileInfo(bundle->path()).isDir());
        EXPECT_EQ(QFileInfo(bundle->path()).absolutePath(), QFileInfo(userBundles()).absoluteFilePath());
    }
    EXPECT_EQ(QVBundle::safeFileName(QString()), u"Untitled"_qs);
    EXPECT_EQ(QVBundle::safeFileName(QString(300, QLatin1Char('x'))).size(), 200);
}

TEST_F(QVBundleTest, AnotherBundlesFolderOfTheSameNameIsNeverReplaced) {
    // A bundle the user removed keeps its folder; a new bundle of that title must not take it.
    const QString hidden = writeBundle(userBundles(), u"Foo.qvbundle"_qs, info(u"com.example.hidden"_qs, u"Foo"_qs),
                                       {{u"syntax.plist"_qs, keywordSyntax(u"source.hidden"_qs)}});
    QDir().mkpath(userBundles() + u"/Foo 2.qvbundle"_qs);  // not even a bundle: also someone else's
    const auto bundle = QVBundle::bundleWithTitle(u"Foo"_qs, u"text.foo"_qs);
    ASSERT_TRUE(bundle->commit());
    EXPECT_EQ(bundle->path(), userBundles() + u"/Foo 3.qvbundle"_qs);
    EXPECT_EQ(readPlist(hidden + u"/Contents/Info.plist"_qs).toMap().value(u"CFBundleIdentifier"_qs),
              u"com.example.hidden"_qs);
    EXPECT_EQ(readPlist(hidden + u"/Contents/syntax.plist"_qs).toMap().value(u"format-id"_qs), u"source.hidden"_qs);
    // Saving again replaces its own folder.
    ASSERT_TRUE(bundle->commit());
    EXPECT_EQ(bundle->path(), userBundles() + u"/Foo 3.qvbundle"_qs);
}

TEST_F(QVBundleTest, SavingABuiltInBundleKeepsWhatTheProgramDoesNotEdit) {
    QVariantMap infoPlist = info(u"com.example.js"_qs, u"JavaScript"_qs, {u"js"_qs});
    infoPlist.insert(u"hide-in-list"_qs, true);
    infoPlist.insert(u"tooltip"_qs, u"Scripts"_qs);
    infoPlist.insert(u"x-vendor"_qs, u"kept"_qs);
    QVariantMap syntax = keywordSyntax(u"source.js"_qs);
    syntax.insert(u"x-note"_qs, u"kept too"_qs);
    syntax.insert(u"embedded-elements"_qs, QVariantList{u"text.cf"_qs});
    const QVariantMap hints{{u"alert"_qs, u"alert(message)"_qs}};
    const QVariantMap completion{{u"format-type"_qs, u"keyword"_qs}, {u"edit-class"_qs, u"Pane"_qs},
                                 {u"keys"_qs, QVariantMap{{u"if"_qs, u"if"_qs}}}};
    const QVariantMap indexer{{u"pathResolution"_qs, u"Resolver"_qs}, {u"enabled"_qs, false}};
    const QString builtIn = writeBundle(builtInBundles(), u"JavaScript.qvbundle"_qs, infoPlist,
                                        {{u"syntax.plist"_qs, syntax},
                                         {u"codenav.plist"_qs, codeNav()},
                                         {u"hinting.plist"_qs, hints},
                                         {u"completion.plist"_qs, completion},
                                         {u"indexer.plist"_qs, indexer}});
    QDir().mkpath(builtIn + u"/Contents/Resources/icons"_qs);
    QFile::link(u"icons"_qs, builtIn + u"/Contents/Resources/link"_qs);
    TestDir scratch;
    QFile::copy(scratch.write(u"f.png"_qs, "png bytes"), builtIn + u"/Contents/Resources/icons/f.png"_qs);

    // An indexer exists (it edits "keys" and "enabled"); no completion engine does.
    QVBundle::registerIndexerFactory([](const std::shared_ptr<QVBundle>&, const QVariantMap& definition) {
        return std::make_shared<RecordingComponent>(definition);
    });
    const auto bundle = QVBundle::bundleWithPath(builtIn, false);
    ASSERT_TRUE(bundle);
    // The user edits: folding cleared, the indexer switched on.
    bundle->parser()->setFoldOpener(QString());
    std::static_pointer_cast<RecordingComponent>(bundle->codeIndexer())->definition.insert(u"enabled"_qs, true);
    QVError error;
    ASSERT_TRUE(bundle->commit(&error)) << error.localizedDescription().toStdString();

    const QString copy = userBundles() + u"/JavaScript.qvbundle"_qs;
    EXPECT_EQ(bundle->path(), copy);
    EXPECT_EQ(userBundleEntries(), QStringList({u"JavaScript.qvbundle"_qs}));
    const QVariantMap savedInfo = readPlist(copy + u"/Contents/Info.plist"_qs).toMap();
    EXPECT_EQ(savedInfo.value(u"hide-in-list"_qs), true);
    EXPECT_EQ(savedInfo.value(u"tooltip"_qs), u"Scripts"_qs);
    EXPECT_EQ(savedInfo.value(u"x-vendor"_qs), u"kept"_qs);
    EXPECT_EQ(savedInfo.value(u"file-types"_qs), QVariantList({u"js"_qs}));

    const QVariantMap savedSyntax = readPlist(copy + u"/Contents/syntax.plist"_qs).toMap();
    EXPECT_EQ(savedSyntax.value(u"x-note"_qs), u"kept too"_qs);
    EXPECT_EQ(savedSyntax.value(u"embedded-elements"_qs), QVariantList({u"text.cf"_qs}));
    EXPECT_FALSE(savedSyntax.contains(u"folding"_qs)) << "a cleared value came back from the file read";
    EXPECT_EQ(savedSyntax.value(u"format-id"_qs), u"source.js"_qs);
    EXPECT_EQ(readPlist(copy + u"/Contents/codenav.plist"_qs).toList().size(), 1);
    EXPECT_EQ(readPlist(copy + u"/Contents/hinting.plist"_qs).toMap(), hints);
    EXPECT_EQ(readPlist(copy + u"/Contents/completion.plist"_qs).toMap(), completion);
    EXPECT_EQ(readPlist(copy + u"/Contents/indexer.plist"_qs).toMap(),
              QVariantMap({{u"pathResolution"_qs, u"Resolver"_qs}, {u"enabled"_qs, true}}));
    EXPECT_EQ(readAll(copy + u"/Contents/Resources/icons/f.png"_qs), QByteArray("png bytes"));
    EXPECT_EQ(QFileInfo(copy + u"/Contents/Resources/link"_qs).symLinkTarget(), copy + u"/Contents/Resources/icons"_qs);
    // The built-in folder is untouched.
    EXPECT_EQ(readPlist(builtIn + u"/Contents/syntax.plist"_qs).toMap(), syntax);

    // Saving again replaces the copy through a backup that is gone afterwards; a key the
    // component clears is dropped.
    std::static_pointer_cast<RecordingComponent>(bundle->codeIndexer())->definition.remove(u"enabled"_qs);
    ASSERT_TRUE(bundle->commit(&error)) << error.localizedDescription().toStdString();
    EXPECT_EQ(userBundleEntries(), QStringList({u"JavaScript.qvbundle"_qs}));
    EXPECT_EQ(readPlist(copy + u"/Contents/indexer.plist"_qs).toMap(), QVariantMap({{u"pathResolution"_qs, u"Resolver"_qs}}));
    EXPECT_EQ(readPlist(copy + u"/Contents/Info.plist"_qs).toMap().value(u"tooltip"_qs), u"Scripts"_qs);
    EXPECT_EQ(readAll(copy + u"/Contents/Resources/icons/f.png"_qs), QByteArray("png bytes"));

    // Removing the completion engine removes its definition from the next save.
    bundle->setCodeCompletion(nullptr);
    ASSERT_TRUE(bundle->commit());
    EXPECT_FALSE(QFile::exists(copy + u"/Contents/completion.plist"_qs));
    EXPECT_TRUE(QFile::exists(copy + u"/Contents/hinting.plist"_qs));
}

TEST_F(QVBundleTest, AFailedSaveLeavesTheBundlesFolderAsItWas) {
    const QString builtIn = writeBundle(builtInBundles(), u"Css.qvbundle"_qs, info(u"com.example.css"_qs, u"CSS"_qs),
                                        {{u"syntax.plist"_qs, keywordSyntax(u"source.css"_qs)},
                                         {u"indexer.plist"_qs, QVariantMap{{u"keys"_qs, QVariantList{}}}}});
    QDir().mkpath(builtIn + u"/Contents/Resources"_qs);
    TestDir scratch;
    QFile::copy(scratch.write(u"r.txt"_qs, "resource"), builtIn + u"/Contents/Resources/r.txt"_qs);
    QVBundle::registerIndexerFactory([](const std::shared_ptr<QVBundle>&, const QVariantMap& definition) {
        return std::make_shared<RecordingComponent>(definition);
    });
    const auto bundle = QVBundle::bundleWithPath(builtIn, false);
    auto indexer = std::static_pointer_cast<RecordingComponent>(bundle->codeIndexer());
    ASSERT_TRUE(indexer);

    // A definition that has no property-list form fails the write of the last definition.
    indexer->definition.insert(u"keys"_qs, QColor(Qt::red));
    QVError error;
    EXPECT_FALSE(bundle->commit(&error));
    EXPECT_FALSE(error.isNull());
    EXPECT_EQ(userBundleEntries(), QStringList()) << "a partial user copy would shadow the built-in bundle";
    EXPECT_EQ(bundle->path(), builtIn);

    // After a good save, a failed one keeps the previous copy whole.
    indexer->definition.insert(u"keys"_qs, QVariantList{u"good"_qs});
    ASSERT_TRUE(bundle->commit());
    const QString copy = userBundles() + u"/Css.qvbundle"_qs;
    const QByteArray savedIndexer = readAll(copy + u"/Contents/indexer.plist"_qs);
    indexer->definition.insert(u"keys"_qs, QColor(Qt::blue));
    EXPECT_FALSE(bundle->commit());
    EXPECT_EQ(userBundleEntries(), QStringList({u"Css.qvbundle"_qs}));
    EXPECT_EQ(readAll(copy + u"/Contents/indexer.plist"_qs), savedIndexer);
    EXPECT_EQ(readAll(copy + u"/Contents/Resources/r.txt"_qs), QByteArray("resource"));

    // A Bundles folder that cannot exist (its parent is a regular file) fails before anything.
    TestDir data;
    qputenv("XDG_DATA_HOME", QFile::encodeName(data.write(u"file"_qs, "not a folder")));
    indexer->definition.insert(u"keys"_qs, QVariantList{});
    EXPECT_FALSE(bundle->commit(&error));
    EXPECT_FALSE(error.isNull());
}

TEST_F(QVBundleTest, ClosingThePreferencesReloadsTheIndexerFromTheSavedCopy) {
    const QString builtIn = writeBundle(builtInBundles(), u"Php.qvbundle"_qs, info(u"com.example.php"_qs, u"PHP"_qs),
                                        {{u"indexer.plist"_qs, QVariantMap{{u"enabled"_qs, false}}}});
    QVBundle::registerIndexerFactory([](const std::shared_ptr<QVBundle>&, const QVariantMap& definition) {
        return std::make_shared<RecordingComponent>(definition);
    });
    auto bundle = QVBundle::bundleWithPath(builtIn, false);
    std::static_pointer_cast<RecordingComponent>(bundle->codeIndexer())->definition.insert(u"enabled"_qs, true);
    ASSERT_TRUE(bundle->commit());

    const auto before = bundle->codeIndexer();
    NotificationCenter::defaultCenter().post(QVBundle::PrefsClosedNotification);
    const auto after = std::static_pointer_cast<RecordingComponent>(bundle->codeIndexer());
    ASSERT_TRUE(after);
    EXPECT_NE(after, before);
    EXPECT_EQ(after->definition.value(u"enabled"_qs), true) << "the edit just saved was lost";

    // A bundle that is gone no longer hears the notification.
    std::weak_ptr<QVBundle> weak = bundle;
    bundle.reset();
    EXPECT_TRUE(weak.expired());
    NotificationCenter::defaultCenter().post(QVBundle::PrefsClosedNotification);
}

// Not in the sandbox: the shared model loads its store once, and must find the real one.
TEST(QVBundleFileCategories, WithoutALookupTheSharedFileCategoryModelAnswers) {
    const auto model = QVFileCategories::sharedCategories();
    const auto scripts = model->addCategoryWithTitle(u"Bundle Test Scripts"_qs, QVFileCategoryKindText);
    const auto pictures = model->addCategoryWithTitle(u"Bundle Test Pictures"_qs, QVFileCategoryKindImage);
    ASSERT_TRUE(scripts && pictures);
    scripts->addType(u"bts"_qs);
    scripts->addType(u"btj"_qs);
    pictures->addType(u"btp"_qs);
    EXPECT_EQ(QVBundleFileCategories::typesForCategory(u"bundle test scripts"_qs), QStringList({u"btj"_qs, u"bts"_qs}));
    EXPECT_EQ(QVBundleFileCategories::typesForCategory(u"Bundle Test Pictures"_qs), QStringList({u"btp"_qs}));
    EXPECT_EQ(QVBundleFileCategories::typesForCategory(u"Bundle Test None"_qs), std::nullopt);

    QVariantMap plist = info(u"com.example.model"_qs, u"Model"_qs, {u"fallback"_qs});
    plist.insert(u"file-categories"_qs, QStringList{u"Bundle Test Scripts"_qs, u"Bundle Test Pictures"_qs});
    TestDir dir;
    const auto bundle = QVBundle::bundleWithPath(writeBundle(dir.path(), u"M.qvbundle"_qs, plist), true);
    EXPECT_EQ(bundle->fileTypes(), QStringList({u"btj"_qs, u"bts"_qs, u"btp"_qs}));
    model->removeCategory(scripts, QVFileCategoryKindText);
    model->removeCategory(pictures, QVFileCategoryKindImage);
}
