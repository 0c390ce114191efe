// The bundle registry over real bundle folders in the user's and the application's Bundles
// folders: loading, precedence, lookups, adding and hiding, embedded languages, threads.
#include "BundleFixtures.h"

#include "languages/QVBundleRepository.h"
#include "languages/QVTagBasedParser.h"
#include "platform/UserDefaults.h"

#include <gtest/gtest.h>

#include <thread>

using namespace bundles;

namespace {

Definition syntax(const QString& parserIdentifier, const QString& type = u"keyword"_qs) {
    return {u"syntax.plist"_qs, QVariantMap{{u"format-type"_qs, type}, {u"format-id"_qs, parserIdentifier}}};
}

QStringList identifiersOf(const QList<std::shared_ptr<QVBundle>>& list) {
    QStringList identifiers;
    for (const auto& bundle : list) identifiers.append(bundle->bundleIdentifier());
    return identifiers;
}

}  // namespace

class QVBundleRepositoryTest : public BundleSandbox {
protected:
    void SetUp() override {
        BundleSandbox::SetUp();
        store = std::make_unique<UserDefaults>(settings.file(u"defaults.plist"_qs));
    }
    TestDir settings;
    std::unique_ptr<UserDefaults> store;
};

TEST_F(QVBundleRepositoryTest, UserCopiesOverrideBuiltInBundles) {
    categories.insert(u"PHP Files"_qs, {u"php"_qs, u"phtml"_qs});
    writeBundle(builtInBundles(), u"HTML.qvbundle"_qs, info(u"com.example.html"_qs, u"HTML"_qs, {u"html"_qs, u"htm"_qs}),
                {syntax(u"text.html"_qs, u"tag"_qs)});
    writeBundle(builtInBundles(), u"CSS.qvbundle"_qs, info(u"com.example.css"_qs, u"CSS"_qs, {u"css"_qs}),
                {syntax(u"text.css"_qs)});
    // The user's copy of CSS claims other extensions and has another parser identifier.
    writeBundle(userBundles(), u"Mine/CSS.qvbundle"_qs, info(u"com.example.css"_qs, u"My CSS"_qs, {u"scss"_qs}),
                {syntax(u"text.mycss"_qs)});
    QVariantMap php = info(u"com.example.php"_qs, u"PHP"_qs, {u"ignored"_qs});
    php.insert(u"file-categories"_qs, QStringList{u"PHP Files"_qs});
    writeBundle(userBundles(), u"PHP.qvbundle"_qs, php, {syntax(u"text.php"_qs)});
    writeBundle(userBundles(), u"NoBundle.qvbundle"_qs, QVariantMap{{u"CFBundleName"_qs, u"Nothing"_qs}});
    // Not bundles to the registry: a backup and a save that never finished.
    writeBundle(userBundles(), u"CSS.qvbundle.backup"_qs, info(u"com.example.backup"_qs, u"Backup"_qs, {u"bak"_qs}));
    writeBundle(userBundles(), u".CSS.qvbundle.saving-abc123"_qs, info(u"com.example.partial"_qs, u"Partial"_qs, {u"part"_qs}));

    QVBundleRepository repository(store.get());
    EXPECT_EQ(identifiersOf(repository.bundles(&QVBundle::compareTitle)),
              QStringList({u"com.example.html"_qs, u"com.example.css"_qs, u"com.example.php"_qs}));

    const auto css = repository.bundleForBundleIdentifier(u"com.example.css"_qs);
    ASSERT_TRUE(css);
    EXPECT_EQ(css->title(), u"My CSS"_qs);
    EXPECT_EQ(repository.bundleForIdentifier(u"text.mycss"_qs), css);
    EXPECT_FALSE(repository.bundleForIdentifier(u"text.css"_qs)) << "the built-in copy was loaded";

    struct Case {
        QString extension;
        QString bundle;  // null: none
    };
    const QList<Case> cases{
        {u"html"_qs, u"com.example.html"_qs}, {u"htm"_qs, u"com.example.html"_qs}, {u"scss"_qs, u"com.example.css"_qs},
        {u"css"_qs, QString()},                {u"php"_qs, u"com.example.php"_qs},  {u"phtml"_qs, u"com.example.php"_qs},
        {u"PHP"_qs, QString()},                {u"ignored"_qs, QString()},           {u"bak"_qs, QString()},
        {u"part"_qs, QString()},               {QString(), QString()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.extension.toStdString());
        const auto found = repository.bundleForFileCategory(u"PHP Files"_qs, c.extension);
        EXPECT_EQ(found ? found->bundleIdentifier() : QString(), c.bundle);
    }
    EXPECT_FALSE(repository.bundleForIdentifier(QString()));
    EXPECT_FALSE(repository.bundleForBundleIdentifier(u"com.example.none"_qs));
    EXPECT_EQ(repository.parserForIdentifier(u"text.php"_qs), repository.bundleForBundleIdentifier(u"com.example.php"_qs)->parser());
}

TEST_F(QVBundleRepositoryTest, ExtensionPrecedence) {
    // Several bundles claim "x": user bundles first, then the smaller identifier.
    struct Case {
        const char* name;
        QList<std::pair<bool, QString>> claimants;  // (in the user's folder, identifier)
        QString winner;
    };
    const QList<Case> cases{
        {"a user bundle beats a built-in one", {{false, u"a.builtin"_qs}, {true, u"z.user"_qs}}, u"z.user"_qs},
        {"among built-in bundles the smaller identifier", {{false, u"m.two"_qs}, {false, u"m.one"_qs}}, u"m.one"_qs},
        {"among user bundles the smaller identifier", {{true, u"b"_qs}, {true, u"B"_qs}, {false, u"A"_qs}}, u"B"_qs},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QDir(userBundles()).removeRecursively();
        QDir(builtInBundles()).removeRecursively();
        int n = 0;
        for (const auto& [user, identifier] : c.claimants)
            writeBundle(user ? userBundles() : builtInBundles(), QStringLiteral("C%1.qvbundle").arg(n++),
                        info(identifier, identifier, {u"x"_qs}));
        // The same answer however often the map is rebuilt.
        QVBundleRepository repository(store.get());
        for (int round = 0; round < 3; ++round) {
            ASSERT_TRUE(repository.bundleForFileCategory({}, u"x"_qs));
            EXPECT_EQ(repository.bundleForFileCategory({}, u"x"_qs)->bundleIdentifier(), c.winner);
            repository.refreshBundleFileTypes();
        }
    }
}

TEST_F(QVBundleRepositoryTest, RemovingHidesAcrossLaunches) {
    writeBundle(builtInBundles(), u"A.qvbundle"_qs, info(u"com.example.a"_qs, u"A"_qs, {u"a"_qs, u"shared"_qs}),
                {syntax(u"text.same"_qs)});
    writeBundle(builtInBundles(), u"B.qvbundle"_qs, info(u"com.example.b"_qs, u"B"_qs, {u"shared"_qs}),
                {syntax(u"text.same"_qs)});
    writeBundle(builtInBundles(), u"C.qvbundle"_qs, info(u"com.example.c"_qs, u"C"_qs, {u"c"_qs}));
    store->setObject(QStringList{u"com.example.c"_qs}, QLatin1String(QVHiddenBundles));

    {
        QVBundleRepository repository(store.get());
        EXPECT_FALSE(repository.bundleForBundleIdentifier(u"com.example.c"_qs)) << "hidden bundle loaded";
        const auto a = repository.bundleForBundleIdentifier(u"com.example.a"_qs);
        const auto b = repository.bundleForBundleIdentifier(u"com.example.b"_qs);
        // B was loaded after A, so it answers for the shared parser identifier.
        EXPECT_EQ(repository.bundleForIdentifier(u"text.same"_qs), b);
        EXPECT_EQ(repository.bundleForFileCategory({}, u"shared"_qs), a);

        EXPECT_TRUE(repository.removeBundle(a));
        EXPECT_FALSE(repository.bundleForBundleIdentifier(u"com.example.a"_qs));
        EXPECT_FALSE(repository.bundleForFileCategory({}, u"a"_qs));
        EXPECT_EQ(repository.bundleForFileCategory({}, u"shared"_qs), b) << "the other claimant takes over";
        EXPECT_EQ(repository.bundleForIdentifier(u"text.same"_qs), b);

        EXPECT_TRUE(repository.removeBundle(b));
        EXPECT_FALSE(repository.bundleForIdentifier(u"text.same"_qs));
        EXPECT_FALSE(repository.bundleForFileCategory({}, u"shared"_qs));
    }
    QStringList hidden;
    for (const QVariant& value : store->arrayForKey(QLatin1String(QVHiddenBundles))) hidden.append(value.toString());
    hidden.sort();
    EXPECT_EQ(hidden, QStringList({u"com.example.a"_qs, u"com.example.b"_qs, u"com.example.c"_qs}));
    // The folders stay; a new registry (the next launch) does not list them.
    EXPECT_TRUE(QFileInfo::exists(builtInBundles() + u"/A.qvbundle"_qs));
    QVBundleRepository next(store.get());
    EXPECT_EQ(next.bundles(), QList<std::shared_ptr<QVBundle>>());
    EXPECT_FALSE(next.bundleForFileCategory({}, u"a"_qs));
}

TEST_F(QVBundleRepositoryTest, AddingBundles) {
    writeBundle(builtInBundles(), u"HTML.qvbundle"_qs, info(u"com.example.html"_qs, u"HTML"_qs, {u"html"_qs}),
                {syntax(u"text.html"_qs, u"tag"_qs)});
    QVBundleRepository repository(store.get());
    // Adding first still loads what is on disk.
    const auto html = repository.addBundleWithTitle(u"html"_qs, u"text.other"_qs);
    ASSERT_TRUE(html);
    EXPECT_EQ(html->bundleIdentifier(), u"com.example.html"_qs);
    EXPECT_FALSE(repository.addBundleWithTitle(u"New"_qs, u"text.html"_qs)) << "parser identifier in use";

    const auto added = repository.addBundleWithTitle(u"Markdown"_qs, u"text.md"_qs);
    ASSERT_TRUE(added);
    EXPECT_TRUE(added->path().isEmpty());
    EXPECT_EQ(added->fileTypes(), QStringList());
    EXPECT_EQ(repository.bundleForIdentifier(u"text.md"_qs), added);
    EXPECT_EQ(repository.bundleForBundleIdentifier(added->bundleIdentifier()), added);
    EXPECT_EQ(repository.addBundleWithTitle(u"MARKDOWN"_qs, u"text.x"_qs), added);
    EXPECT_EQ(repository.bundles().size(), 2);

    // Claiming an extension counts once the map is rebuilt; an added bundle ranks as a user one.
    categories.insert(u"Markup"_qs, {u"html"_qs, u"md"_qs});
    added->setFileCategories({u"Markup"_qs});
    repository.refreshBundleFileTypes();
    EXPECT_EQ(repository.bundleForFileCategory({}, u"md"_qs), added);
    EXPECT_EQ(repository.bundleForFileCategory({}, u"html"_qs), added);
}

TEST_F(QVBundleRepositoryTest, TagParsersResolveEmbeddedLanguagesThroughTheRegistry) {
    const QVariantMap html{
        {u"format-type"_qs, u"tag"_qs},
        {u"format-id"_qs, u"text.html"_qs},
        {u"embedded"_qs, QVariantMap{{u"script"_qs, u"source.js"_qs}, {u"style"_qs, u"text.missing"_qs}}},
    };
    writeBundle(builtInBundles(), u"HTML.qvbundle"_qs, info(u"com.example.html"_qs, u"HTML"_qs, {u"html"_qs}),
                {{u"syntax.plist"_qs, html, PlistFormat::Binary}});
    writeBundle(userBundles(), u"JS.qvbundle"_qs, info(u"com.example.js"_qs, u"JavaScript"_qs, {u"js"_qs}),
                {syntax(u"source.js"_qs)});
    QVBundleRepository repository(store.get());
    const auto parser = std::dynamic_pointer_cast<QVTagBasedParser>(repository.bundleForIdentifier(u"text.html"_qs)->parser());
    ASSERT_TRUE(parser);
    const auto js = repository.bundleForIdentifier(u"source.js"_qs)->parser();
    EXPECT_EQ(parser->subparsers(), QList<std::shared_ptr<QVParser>>({js}));
    EXPECT_EQ(parser->embedded().value(u"script"_qs).parser.lock(), js);
    EXPECT_FALSE(parser->embedded().value(u"style"_qs).parser.lock());
}

TEST_F(QVBundleRepositoryTest, AnEmptyRegistryLooksAgainAndThreadsShareOneLoad) {
    QVBundleRepository repository(store.get());
    EXPECT_TRUE(repository.bundles().isEmpty());
    EXPECT_FALSE(repository.bundleForFileCategory({}, u"js"_qs));
    // A folder that appears later is found by the next lookup of an empty map.
    for (int i = 0; i < 20; ++i)
        writeBundle(builtInBundles(), QStringLiteral("L%1.qvbundle").arg(i),
                    info(QStringLiteral("com.example.l%1").arg(i), QStringLiteral("L%1").arg(i), {QStringLiteral("l%1").arg(i)}),
                    {syntax(QStringLiteral("text.l%1").arg(i))});

    QVBundleRepository shared(store.get());
    std::vector<std::shared_ptr<QVBundle>> found(8);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            found[t] = t % 2 ? shared.bundleForFileCategory({}, u"l7"_qs) : shared.bundleForIdentifier(u"text.l7"_qs);
        });
    for (std::thread& thread : threads) thread.join();
    ASSERT_TRUE(found[0]);
    for (const auto& bundle : found) EXPECT_EQ(bundle, found[0]);
    EXPECT_EQ(shared.bundles().size(), 20);
    EXPECT_TRUE(repository.bundleForFileCategory({}, u"l3"_qs));
}

TEST_F(QVBundleRepositoryTest, AFailedFirstSaveLeavesTheBuiltInBundleInCharge) {
    writeBundle(builtInBundles(), u"Js.qvbundle"_qs, info(u"com.example.js"_qs, u"JS"_qs, {u"js"_qs}),
                {syntax(u"source.js"_qs), {u"indexer.plist"_qs, QVariantMap{{u"keys"_qs, QVariantList{}}}}});
    QVBundle::registerIndexerFactory([](const std::shared_ptr<QVBundle>&, const QVariantMap& definition) {
        auto component = std::make_shared<RecordingComponent>(definition);
        component->definition.insert(u"keys"_qs, QVariant::fromValue(QSize(1, 1)));  // no plist form
        return component;
    });
    {
        QVBundleRepository repository(store.get());
        const auto bundle = repository.bundleForFileCategory({}, u"js"_qs);
        ASSERT_TRUE(bundle);
        EXPECT_FALSE(bundle->commit());
    }
    QVBundleRepository next(store.get());
    const auto bundle = next.bundleForFileCategory({}, u"js"_qs);
    ASSERT_TRUE(bundle);
    EXPECT_EQ(bundle->path(), builtInBundles() + u"/Js.qvbundle"_qs);
}
