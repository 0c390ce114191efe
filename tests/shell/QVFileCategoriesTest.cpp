// The file-category model over real store files: the shipped list, shadowing, the extension
// tests, edits of categories and their extensions, removal, and writing the store back.
#include "shell/QVFileCategories.h"

#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"
#include "shell/Defaults.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

QVariantMap category(const QStringList& types, const QVariantMap& dragged = {}) {
    QVariantMap definition{{QStringLiteral("types"), types}};
    if (!dragged.isEmpty()) definition.insert(QStringLiteral("insertWhenDragged"), dragged);
    return definition;
}

// A store with the cases the tests lean on: overlaps between kinds, an ignorable extension that
// a text category also lists, and mixed-case titles.
QVariantMap fixtureStore() {
    return {
        {QStringLiteral("Text"),
         QVariantMap{
             {QStringLiteral("web"), category({QStringLiteral("html"), QStringLiteral("css"),
                                               QStringLiteral("both"), QStringLiteral("ign")},
                                              {{QStringLiteral("Default"), QStringLiteral("<a>")}})},
             {QStringLiteral("Alpha"), category({QStringLiteral("a"), QStringLiteral("C")})},
             {QStringLiteral("Scripts"), category({QStringLiteral("py"), QStringLiteral("shared")})},
         }},
        {QStringLiteral("Image"),
         QVariantMap{
             {QStringLiteral("Bitmaps"), category({QStringLiteral("png"), QStringLiteral("both")})},
             {QStringLiteral("Vectors"), category({QStringLiteral("eps"), QStringLiteral("shared")})},
         }},
        {QStringLiteral("Ignorable"), QVariantList{QStringLiteral("ign"), QStringLiteral("Bak"),
                                                   QStringLiteral("aux")}},
    };
}

struct Fixture {
    TestDir dir;
    QString store = dir.file(QStringLiteral("categories.plist"));
    QString written = dir.file(QStringLiteral("out/categories.plist"));
    std::shared_ptr<QVFileCategories> model;

    explicit Fixture(const QVariantMap& plist = fixtureStore()) {
        EXPECT_TRUE(PropertyList::writeFile(plist, store, PlistFormat::XML));
        model = QVFileCategories::create(store, written);
    }
    // A fresh model over what the first one wrote.
    std::shared_ptr<QVFileCategories> reread() const { return QVFileCategories::create(written, written); }
};

QStringList titles(const QList<std::shared_ptr<QVFileCategory>>& categories) {
    QStringList result;
    for (const auto& c : categories) result.append(c->title());
    return result;
}

// Which of the four kinds the extension is, as a string of the kinds that answer yes.
QString kindsOf(QVFileCategories& model, const QString& extension) {
    QString kinds;
    const char* names[] = {"T", "I", "O", "G"};
    for (int kind = 0; kind < 4; ++kind)
        if (model.extension(extension, QVFileCategoryKind(kind))) kinds += QLatin1String(names[kind]);
    return kinds;
}

}  // namespace

TEST(QVFileCategories, ShippedDefaultsLoadAndAnswerEveryKind) {
    // No user copy exists in the sandbox, so the application's list answers.
    ASSERT_FALSE(QFileInfo::exists(Defaults::appSupportPathForFile(QStringLiteral("fileCategories.plist"),
                                                                   QStringLiteral("data"))));
    const QString resource = Defaults::pathForResource(QStringLiteral("fileCategories"),
                                                       QStringLiteral("plist"), QStringLiteral("data"));
    ASSERT_FALSE(resource.isEmpty());
    QVError error;
    const QVariant plist = PropertyList::readFile(resource, &error);
    ASSERT_EQ(plist.typeId(), QMetaType::QVariantMap) << error.localizedDescription().toStdString();

    // Data lint: every definition is a list of strings and no extension is claimed twice.
    QSet<QString> seen;
    for (const QString& kind : {QStringLiteral("Text"), QStringLiteral("Image")}) {
        const QVariantMap categories = plist.toMap().value(kind).toMap();
        EXPECT_FALSE(categories.isEmpty()) << kind.toStdString();
        for (auto it = categories.constBegin(); it != categories.constEnd(); ++it) {
            for (const QVariant& type : it.value().toMap().value(QStringLiteral("types")).toList()) {
                EXPECT_EQ(type.typeId(), QMetaType::QString) << it.key().toStdString();
                EXPECT_FALSE(seen.contains(type.toString())) << type.toString().toStdString();
                seen.insert(type.toString());
            }
        }
    }

    const std::shared_ptr<QVFileCategories> model = QVFileCategories::create();
    const struct {
        const char* kinds;
        QStringList extensions;
    } rows[] = {
        {"T", {"html", "htm", "xhtml", "php", "css", "scss", "js", "mjs", "ts", "json", "xml",
               "svg", "md", "txt", "py", "rb", "pl", "sh", "sql", "htaccess", "yml"}},
        {"I", {"png", "jpg", "jpeg", "gif", "webp", "ico", "bmp", "tiff", "tif"}},
        {"O", {"zip", "pdf", "woff", "woff2", "ttf", "otf", "mp4", "HTML", "PNG"}},
        {"G", {"DS_Store", "svn", "git", "swp", "pyc"}},
    };
    for (const auto& row : rows)
        for (const QString& extension : row.extensions)
            EXPECT_EQ(kindsOf(*model, extension), QLatin1String(row.kinds)) << extension.toStdString();
    EXPECT_TRUE(model->categoryForTitle(QStringLiteral("html"))) << "titles match case-blind";
}

TEST(QVFileCategories, UserCopyShadowsTheShippedList) {
    const QString user = Defaults::appSupportPathForFile(QStringLiteral("fileCategories.plist"),
                                                         QStringLiteral("data"));
    QDir().mkpath(QFileInfo(user).absolutePath());
    ASSERT_TRUE(PropertyList::writeFile(
        QVariantMap{{QStringLiteral("Text"), QVariantMap{{QStringLiteral("Mine"), category({"zip"})}}}},
        user, PlistFormat::XML));
    const std::shared_ptr<QVFileCategories> model = QVFileCategories::create();
    EXPECT_EQ(kindsOf(*model, QStringLiteral("zip")), QLatin1String("T"));
    EXPECT_EQ(kindsOf(*model, QStringLiteral("html")), QLatin1String("O"));
    EXPECT_EQ(titles(model->textCategories()), QStringList{QStringLiteral("Mine")});
    QFile::remove(user);
}

TEST(QVFileCategories, ExtensionTestsFollowTheStore) {
    Fixture f;
    QVFileCategories& model = *f.model;
    const struct {
        const char* extension;
        const char* kinds;
    } rows[] = {
        {"html", "T"},
        {"HTML", "O"},   // case counts
        {"png", "I"},
        {"both", "I"},   // image read after text
        {"ign", "G"},    // listed by a text category too, but ignorable first
        {"Bak", "G"},
        {"bak", "O"},
        {"zip", "O"},
        {"", ""},        // no extension is of no kind
        {"shared", "I"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(kindsOf(model, QLatin1String(row.extension)), QLatin1String(row.kinds)) << row.extension;

    EXPECT_TRUE(model.extension(QStringLiteral("zip"), QVFileCategoryKind(7))) << "unknown kinds mean Other";
    EXPECT_FALSE(model.extension(QStringLiteral("html"), QVFileCategoryKind(-1)));
    EXPECT_FALSE(model.categoryForExtension(QStringLiteral("ign")));
    EXPECT_EQ(model.categoryForExtension(QStringLiteral("both"))->title(), QStringLiteral("Bitmaps"));
    EXPECT_TRUE(model.extension(QStringLiteral("html"), QStringLiteral("web")));
    EXPECT_FALSE(model.extension(QStringLiteral("html"), QStringLiteral("Web")));
    EXPECT_FALSE(model.extension(QStringLiteral("zip"), QStringLiteral("web")));

    // Lists sorted case-blind; look-up by title case-blind, texts first.
    EXPECT_EQ(titles(model.textCategories()),
              (QStringList{QStringLiteral("Alpha"), QStringLiteral("Scripts"), QStringLiteral("web")}));
    EXPECT_EQ(model.categoryForTitle(QStringLiteral("WEB"))->title(), QStringLiteral("web"));
    EXPECT_FALSE(model.categoryForTitle(QStringLiteral("nothing")));
    QStringList types;
    for (const QVFileCategoryType& type : model.typesForCategory(QStringLiteral("web")))
        types.append(type.title());
    EXPECT_EQ(types, (QStringList{"html", "css", "both", "ign"})) << "the store's order is kept";
    EXPECT_TRUE(model.typesForCategory(QStringLiteral("nothing")).isEmpty());
    EXPECT_EQ(model.ignoreTypes(), (QStringList{"aux", "Bak", "ign"}));

    model.addIgnorableType(QStringLiteral("html"));
    EXPECT_EQ(kindsOf(model, QStringLiteral("html")), QLatin1String("G"));
    EXPECT_EQ(model.ignoreTypes(), (QStringList{"aux", "Bak", "html", "ign"}));
    model.removeIgnorableType(QStringLiteral("html"));
    EXPECT_EQ(kindsOf(model, QStringLiteral("html")), QLatin1String("T"));
}

TEST(QVFileCategories, MissingOrMalformedStoreGivesAnEmptyModel) {
    TestDir dir;
    const QString garbage = dir.write(QStringLiteral("bad.plist"), "<plist><dict><key>Text");
    const QString wrongShape = dir.file(QStringLiteral("array.plist"));
    ASSERT_TRUE(PropertyList::writeFile(QVariantList{1, 2}, wrongShape, PlistFormat::XML));
    for (const QString& path : {dir.file(QStringLiteral("missing.plist")), garbage, wrongShape}) {
        const auto model = QVFileCategories::create(path, dir.file(QStringLiteral("out.plist")));
        EXPECT_TRUE(model->textCategories().isEmpty());
        EXPECT_TRUE(model->ignoreTypes().isEmpty());
        EXPECT_EQ(kindsOf(*model, QStringLiteral("html")), QLatin1String("O"));
    }
}

TEST(QVFileCategories, AddingCategoriesAndExtensions) {
    Fixture f;
    QVFileCategories& model = *f.model;
    EXPECT_FALSE(model.addCategoryWithTitle(QStringLiteral("Nope"), QVFileCategoryKindOther));
    EXPECT_FALSE(model.addCategoryWithTitle(QStringLiteral("Nope"), QVFileCategoryKindIgnorable));
    EXPECT_FALSE(model.categoryForTitle(QStringLiteral("Nope")));

    const auto second = model.addCategoryWithTitle(QStringLiteral("alpha"), QVFileCategoryKindText);
    const auto beta = model.addCategoryWithTitle(QStringLiteral("Beta"), QVFileCategoryKindText);
    ASSERT_TRUE(second && beta);
    EXPECT_EQ(titles(model.textCategories()),
              (QStringList{"Alpha", "alpha", "Beta", "Scripts", "web"})) << "equal titles go after";
    EXPECT_EQ(beta->countOfTypes(), 0);
    EXPECT_TRUE(beta->plistRepresentation().value(QStringLiteral("insertWhenDragged")).isNull());

    const auto alpha = model.categoryForTitle(QStringLiteral("Alpha"));
    alpha->addType(QStringLiteral("b"));
    EXPECT_EQ(alpha->typeTitles(), (QStringList{"a", "b", "C"}));
    EXPECT_EQ(alpha->objectInTypesAtIndex(1).parent(), alpha);
    EXPECT_EQ(kindsOf(model, QStringLiteral("b")), QLatin1String("T"));

    // The editor's list access keeps the extension map in step.
    EXPECT_TRUE(beta->insertObject(QStringLiteral("zip"), 0));
    EXPECT_EQ(kindsOf(model, QStringLiteral("zip")), QLatin1String("T"));
    EXPECT_TRUE(beta->replaceObjectInTypesAtIndex(0, QStringLiteral("rar")));
    EXPECT_EQ(kindsOf(model, QStringLiteral("zip")), QLatin1String("O"));
    EXPECT_EQ(kindsOf(model, QStringLiteral("rar")), QLatin1String("T"));
    EXPECT_TRUE(beta->insertObject(alpha->objectInTypesAtIndex(0), 1)) << "another category's entry";
    EXPECT_EQ(beta->objectInTypesAtIndex(1).parent(), beta);
    EXPECT_EQ(model.categoryForExtension(QStringLiteral("a")), beta);
    EXPECT_TRUE(beta->removeObjectFromTypes(QVFileCategoryType(QStringLiteral("a"), nullptr)));
    EXPECT_EQ(model.categoryForExtension(QStringLiteral("a")), alpha) << "falls back to the other";
    EXPECT_FALSE(beta->removeObjectFromTypes(QVFileCategoryType(QStringLiteral("a"), nullptr)));
    EXPECT_TRUE(beta->removeObjectFromTypesAtIndex(0));
    EXPECT_EQ(kindsOf(model, QStringLiteral("rar")), QLatin1String("O"));

    // Indexes out of range change nothing.
    EXPECT_FALSE(beta->insertObject(QStringLiteral("x"), 5));
    EXPECT_FALSE(beta->insertObject(QStringLiteral("x"), -1));
    EXPECT_FALSE(beta->removeObjectFromTypesAtIndex(0));
    EXPECT_FALSE(beta->replaceObjectInTypesAtIndex(3, QStringLiteral("x")));
    EXPECT_TRUE(beta->objectInTypesAtIndex(7).title().isEmpty());
    EXPECT_EQ(kindsOf(model, QStringLiteral("x")), QLatin1String("O"));
}

TEST(QVFileCategories, RemovingAnExtensionFromOneCategoryKeepsAnotherCategorysClaim) {
    Fixture f;
    QVFileCategories& model = *f.model;
    // "both" is listed by web (text) and claimed by Bitmaps (image).
    const auto web = model.categoryForTitle(QStringLiteral("web"));
    EXPECT_TRUE(web->removeObjectFromTypes(QVFileCategoryType(QStringLiteral("both"), web)));
    EXPECT_EQ(kindsOf(model, QStringLiteral("both")), QLatin1String("I"));
    // Removing it from the claiming category hands it to the one still listing it.
    web->addType(QStringLiteral("both"));
    EXPECT_EQ(kindsOf(model, QStringLiteral("both")), QLatin1String("T")) << "the last addition claims";
    model.categoryForTitle(QStringLiteral("web"))->removeObjectFromTypes(QVFileCategoryType(QStringLiteral("both"), web));
    EXPECT_EQ(kindsOf(model, QStringLiteral("both")), QLatin1String("I"));
}

TEST(QVFileCategories, ARemovedCategoryIsNeverReachedThroughItsExtensions) {
    Fixture f;
    QVFileCategories& model = *f.model;
    std::shared_ptr<QVFileCategory> web = model.categoryForTitle(QStringLiteral("web"));
    const std::weak_ptr<QVFileCategory> watch = web;

    model.removeCategory(web, QVFileCategoryKindImage);  // the wrong kind changes nothing
    EXPECT_EQ(kindsOf(model, QStringLiteral("html")), QLatin1String("T"));

    model.removeCategory(web, QVFileCategoryKindText);
    for (const char* extension : {"html", "css"}) {
        EXPECT_EQ(kindsOf(model, QLatin1String(extension)), QLatin1String("O")) << extension;
        EXPECT_FALSE(model.categoryForExtension(QLatin1String(extension))) << extension;
        EXPECT_FALSE(model.extension(QLatin1String(extension), QStringLiteral("web")));
    }
    EXPECT_EQ(kindsOf(model, QStringLiteral("both")), QLatin1String("I"));
    EXPECT_FALSE(model.categoryForTitle(QStringLiteral("web")));

    // The editor may still hold it and edit it: the model does not take it back.
    web->addType(QStringLiteral("zip"));
    web->insertObject(QStringLiteral("html"), 0);
    EXPECT_FALSE(model.categoryForExtension(QStringLiteral("zip")));
    EXPECT_FALSE(model.categoryForExtension(QStringLiteral("html")));
    EXPECT_FALSE(model.plistRepresentation().value(QStringLiteral("Text")).toMap().contains(QStringLiteral("web")));

    // Nothing in the model keeps it alive.
    web.reset();
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(kindsOf(model, QStringLiteral("html")), QLatin1String("O"));

    // A category that outlives its model can still be edited.
    auto scripts = model.categoryForTitle(QStringLiteral("Scripts"));
    f.model.reset();
    scripts->addType(QStringLiteral("rb"));
    EXPECT_EQ(scripts->typeTitles(), (QStringList{"py", "rb", "shared"}));
}

TEST(QVFileCategories, CommitWritesTheStorePostsOnceAndReadsBack) {
    Fixture f;
    QVFileCategories& model = *f.model;
    int posts = 0;
    const void* sender = nullptr;
    const auto token = NotificationCenter::defaultCenter().addObserver(
        QString::fromLatin1(QVFileCategoriesChangedNotification), nullptr, [&](const Notification& n) {
            ++posts;
            sender = n.object;
        });

    model.categoryForTitle(QStringLiteral("Scripts"))->addType(QStringLiteral("rb"));
    model.addIgnorableType(QStringLiteral("tmp"));
    QVError error;
    ASSERT_TRUE(model.commit(&error)) << error.localizedDescription().toStdString();
    EXPECT_EQ(posts, 1);
    EXPECT_EQ(sender, f.model.get());
    EXPECT_TRUE(readAll(f.written).startsWith("<?xml")) << "an XML property list";

    const auto again = f.reread();
    EXPECT_EQ(again->plistRepresentation(), model.plistRepresentation());
    EXPECT_EQ(kindsOf(*again, QStringLiteral("rb")), QLatin1String("T"));
    EXPECT_EQ(kindsOf(*again, QStringLiteral("tmp")), QLatin1String("G"));
    EXPECT_EQ(again->categoryForTitle(QStringLiteral("web"))->insertWhenDragged(),
              (QVariantMap{{QStringLiteral("Default"), QStringLiteral("<a>")}}))
        << "kept opaque through a read and a write";

    // A write that cannot happen leaves the old file, answers false and posts nothing.
    TestDir dir;
    const QString blocker = dir.write(QStringLiteral("file"), "not a folder");
    const auto unwritable = QVFileCategories::create(f.store, blocker + QStringLiteral("/sub/c.plist"));
    EXPECT_FALSE(unwritable->commit(&error));
    EXPECT_FALSE(error.isNull());
    const QString readOnlyFolder = dir.file(QStringLiteral("locked"));
    QDir().mkpath(readOnlyFolder);
    const QString lockedStore = dir.write(QStringLiteral("locked/c.plist"), "old");
    QFile::setPermissions(readOnlyFolder, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    if (::geteuid() != 0) {
        EXPECT_FALSE(QVFileCategories::create(f.store, lockedStore)->commit());
        EXPECT_EQ(readAll(lockedStore), QByteArray("old"));
    }
    QFile::setPermissions(readOnlyFolder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    EXPECT_EQ(posts, 1);
    NotificationCenter::defaultCenter().removeObserver(token);
}

TEST(QVFileCategories, CategoriesSharingATitleLoseNoExtensionsWhenWritten) {
    Fixture f;
    QVFileCategories& model = *f.model;
    const auto first = model.addCategoryWithTitle(QStringLiteral("Scripts"), QVFileCategoryKindText);
    first->addType(QStringLiteral("lua"));
    first->addType(QStringLiteral("py"));  // also in the stored Scripts: written once
    const auto image = model.addCategoryWithTitle(QStringLiteral("Bitmaps"), QVFileCategoryKindImage);
    image->addType(QStringLiteral("gif"));
    ASSERT_TRUE(model.commit());

    const auto again = f.reread();
    EXPECT_EQ(again->categoryForTitle(QStringLiteral("Scripts"))->typeTitles(),
              (QStringList{"py", "shared", "lua"}));
    EXPECT_EQ(again->categoryForTitle(QStringLiteral("Bitmaps"))->typeTitles(),
              (QStringList{"png", "both", "gif"}));
    EXPECT_EQ(kindsOf(*again, QStringLiteral("lua")), QLatin1String("T"));
    EXPECT_EQ(kindsOf(*again, QStringLiteral("gif")), QLatin1String("I"));
}

TEST(QVFileCategories, CopiesAreDetached) {
    Fixture f;
    const auto web = f.model->categoryForTitle(QStringLiteral("web"));
    const auto copy = web->copy();
    EXPECT_EQ(copy->plistRepresentation(), web->plistRepresentation());
    copy->addType(QStringLiteral("zip"));
    EXPECT_FALSE(f.model->categoryForExtension(QStringLiteral("zip")));
    EXPECT_EQ(web->countOfTypes() + 1, copy->countOfTypes());
    EXPECT_EQ(copy->objectInTypesAtIndex(0).parent(), copy);
}

TEST(QVFileCategories, PathExtensions) {
    const struct {
        const char* path;
        const char* extension;
    } rows[] = {
        {"/a/b/page.html", "html"}, {"page.tar.gz", "gz"},   {"/a.b/README", ""},
        {"/a/.profile", ""},        {"/a/x.DS_Store", "DS_Store"}, {"/a/dir.d/", "d"},
        {"noext.", ""},             {"", ""},                {"/", ""},
        {"/a/Page.HTML", "HTML"},   {"index.html~", "html~"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(QVFileCategories::pathExtension(QLatin1String(row.path)), QLatin1String(row.extension))
            << row.path;
}
