// The theme list: user copies before built-in themes, the current theme, duplicates, hidden
// themes across starts, and commits.
#include "tests/support/TestSupport.h"

#include "languages/QVThemeRepository.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"
#include "shell/StringUtilities.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

namespace {

QString userThemes() { return StringUtilities::tildePath() + u"/Themes"_qs; }

QVariantMap themePlist(const QString& identifier, const QString& title) {
    return {{u"id"_qs, identifier},
            {u"format-title"_qs, title},
            {u"global-settings"_qs, QVariantMap{{u"background"_qs, u"#000000"_qs}}},
            {u"styles"_qs, QVariantList{}}};
}

void writeTheme(const QString& folder, const QString& file, const QVariantMap& plist) {
    ASSERT_TRUE(QDir().mkpath(folder));
    ASSERT_TRUE(PropertyList::writeFile(plist, folder + u"/"_qs + file, PlistFormat::XML));
}

QStringList titles(QVThemeRepository& repository) {
    QStringList list;
    for (const auto& theme : repository.themes()) list.append(theme->title());
    return list;
}

// Built-in themes in a resources folder of the test's own, user themes in the sandbox's
// support folder, settings in a store of the test's own.
class QVThemeRepositoryTest : public testing::Test {
protected:
    void SetUp() override {
        _oldResources = qgetenv("QORVEL_RESOURCES");
        qputenv("QORVEL_RESOURCES", _resources.path().toUtf8());
        QDir(userThemes()).removeRecursively();
        _defaults = std::make_unique<UserDefaults>(_settings.file(u"settings.plist"_qs));
        writeTheme(builtIn(), u"light.plist"_qs, themePlist(u"light"_qs, u"Light"_qs));
        writeTheme(builtIn(), u"dark.plist"_qs, themePlist(u"dark"_qs, u"Dark"_qs));
        writeTheme(builtIn(), u"solar.plist"_qs, themePlist(u"solar"_qs, u"solarized"_qs));
    }
    void TearDown() override {
        if (_oldResources.isNull()) qunsetenv("QORVEL_RESOURCES");
        else qputenv("QORVEL_RESOURCES", _oldResources);
        QDir(userThemes()).removeRecursively();
    }
    QString builtIn() const { return _resources.path() + u"/Themes"_qs; }
    UserDefaults& defaults() { return *_defaults; }

private:
    QByteArray _oldResources;
    TestDir _resources;
    TestDir _settings;
    std::unique_ptr<UserDefaults> _defaults;
};

}  // namespace

TEST_F(QVThemeRepositoryTest, UserCopiesWinAndTheFirstTitleBecomesCurrent) {
    writeTheme(userThemes(), u"mine.plist"_qs, themePlist(u"dark"_qs, u"My Dark"_qs));
    writeTheme(userThemes(), u"junk.plist"_qs, {});
    QFile junk(userThemes() + u"/junk.plist"_qs);
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write("not a property list");
    junk.close();
    writeTheme(userThemes(), u"list.plist"_qs, {});
    ASSERT_TRUE(PropertyList::writeFile(QVariantList{1, 2}, userThemes() + u"/list.plist"_qs, PlistFormat::XML));

    QVThemeRepository repository(&defaults());
    // Sorted by title ignoring case; the built-in "dark" is shadowed; files that are no theme
    // dictionaries are left out.
    EXPECT_EQ(titles(repository), QStringList({u"Light"_qs, u"My Dark"_qs, u"solarized"_qs}));
    ASSERT_TRUE(repository.currentTheme());
    EXPECT_EQ(repository.currentTheme()->title(), u"Light"_qs);
    EXPECT_EQ(defaults().stringForKey(QLatin1String(QVCurrentThemeID)), u"light"_qs);
}

TEST_F(QVThemeRepositoryTest, StoredCurrentThemeAndDuplicates) {
    defaults().setString(u"solar"_qs, QLatin1String(QVCurrentThemeID));
    QVThemeRepository repository(&defaults());
    EXPECT_EQ(repository.currentTheme()->identifier(), u"solar"_qs);
    EXPECT_FALSE(repository.modified());

    const auto copy = repository.duplicateTheme(repository.objectInThemesAtIndex(0));
    ASSERT_TRUE(copy);
    EXPECT_EQ(titles(repository), QStringList({u"Dark"_qs, u"Light"_qs, u"solarized"_qs, u"Dark copy"_qs}));
    EXPECT_TRUE(copy->modified());
    EXPECT_NE(copy->identifier(), u"dark"_qs);
    EXPECT_TRUE(repository.modified());
    ASSERT_TRUE(repository.commit());
    EXPECT_FALSE(repository.modified());
    EXPECT_EQ(PropertyList::readFile(userThemes() + u"/"_qs + copy->identifier() + u".plist"_qs).toMap().value(u"format-title"_qs),
              u"Dark copy"_qs);

    // Inserting does not sort.
    repository.insertObject(std::make_shared<QVTheme>(themePlist(u"aaa"_qs, u"Aaa"_qs)), 2);
    EXPECT_EQ(repository.objectInThemesAtIndex(2)->title(), u"Aaa"_qs);
    EXPECT_FALSE(repository.objectInThemesAtIndex(99));
}

TEST_F(QVThemeRepositoryTest, RemovedThemesStayHidden) {
    defaults().setString(u"light"_qs, QLatin1String(QVCurrentThemeID));
    {
        QVThemeRepository repository(&defaults());
        ASSERT_EQ(repository.currentTheme()->identifier(), u"light"_qs);
        // Removing the current theme makes the last listed one current.
        repository.removeObjectFromThemesAtIndex(1);
        EXPECT_EQ(titles(repository), QStringList({u"Dark"_qs, u"solarized"_qs}));
        EXPECT_EQ(repository.currentTheme()->identifier(), u"solar"_qs);
        EXPECT_EQ(defaults().stringForKey(QLatin1String(QVCurrentThemeID)), u"solar"_qs);
        EXPECT_EQ(defaults().arrayForKey(QLatin1String(QVHiddenThemes)), QVariantList{u"light"_qs});
        // Removing another leaves the current theme alone.
        repository.removeObjectFromThemesAtIndex(0);
        EXPECT_EQ(repository.currentTheme()->identifier(), u"solar"_qs);
        repository.removeObjectFromThemesAtIndex(5);
        EXPECT_EQ(repository.countOfThemes(), 1);
    }
    // The next start does not list them, though their files remain.
    QVThemeRepository next(&defaults());
    EXPECT_EQ(titles(next), QStringList{u"solarized"_qs});
    EXPECT_TRUE(QFile::exists(builtIn() + u"/light.plist"_qs));
}

TEST_F(QVThemeRepositoryTest, CommitStopsAtTheFirstFailure) {
    QVThemeRepository repository(&defaults());
    ASSERT_EQ(repository.countOfThemes(), 3);
    for (const auto& theme : repository.themes()) ASSERT_TRUE(theme->setValue(theme->title() + u"!"_qs, u"title"_qs));
    // The first theme (Dark) cannot be written; Light and solarized are then not asked.
    ASSERT_TRUE(QDir().mkpath(userThemes() + u"/dark.plist"_qs));
    QVError error;
    EXPECT_FALSE(repository.commit(&error));
    EXPECT_FALSE(error.isNull());
    EXPECT_FALSE(QFile::exists(userThemes() + u"/light.plist"_qs));
    EXPECT_TRUE(repository.modified());
    ASSERT_TRUE(QDir(userThemes() + u"/dark.plist"_qs).removeRecursively());
    EXPECT_TRUE(repository.commit());
    EXPECT_TRUE(QFile::exists(userThemes() + u"/light.plist"_qs));
    EXPECT_FALSE(repository.modified());
}
