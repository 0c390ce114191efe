// Colour themes: style lookup along dotted identifiers, the theme file, copies, edits, commits.
#include "tests/support/TestSupport.h"

#include "languages/QVTheme.h"
#include "platform/PropertyList.h"
#include "platform/QVTextStorage.h"
#include "shell/StringUtilities.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

namespace {

QString themesFolder() { return StringUtilities::tildePath() + u"/Themes"_qs; }

QVariantMap style(const QString& identifier, const QString& foreground, const QString& background = {}) {
    QVariantMap map{{u"id"_qs, identifier}, {u"foreground"_qs, foreground}};
    if (!background.isNull()) map.insert(u"background"_qs, background);
    return map;
}

QVariantMap samplePlist() {
    return {{u"id"_qs, u"sample"_qs},
            {u"format-title"_qs, u"Sample"_qs},
            {u"global-settings"_qs, QVariantMap{{u"background"_qs, u"#FFFFFF"_qs},
                                                 {u"foreground"_qs, u"#12345678"_qs},
                                                 {u"insertion-point"_qs, u"#FF8000"_qs},
                                                 {u"invisibles"_qs, u"red"_qs},
                                                 {u"selection"_qs, 42}}},
            {u"styles"_qs, QVariantList{style(u"comment"_qs, u"#00FF00"_qs),
                                        style(u"keyword.control"_qs, u"#0000ff"_qs, u"#eeeeee"_qs),
                                        style(u"broken"_qs, u"blue"_qs),
                                        QVariantMap{{u"foreground"_qs, u"#111111"_qs}},
                                        u"not a style"_qs}}};
}

class QVThemeTest : public testing::Test {
protected:
    void SetUp() override { QDir(themesFolder()).removeRecursively(); }
    void TearDown() override {
        QFile::setPermissions(themesFolder(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QDir(themesFolder()).removeRecursively();
    }
};

}  // namespace

TEST_F(QVThemeTest, StylesFallBackToTheirParents) {
    const QVTheme theme(samplePlist());
    const QVariantMap comment{{QVTextStorage::ForegroundColorAttribute, QColor(u"#00ff00"_qs)}};
    const QVariantMap control{{QVTextStorage::ForegroundColorAttribute, QColor(u"#0000ff"_qs)},
                              {QVTextStorage::BackgroundColorAttribute, QColor(u"#eeeeee"_qs)}};
    struct Case {
        QString identifier;
        QVariantMap expected;
    };
    const QList<Case> cases{
        {u"comment"_qs, comment},
        {u"comment.line.double-slash"_qs, comment},
        {u"comment."_qs, comment},
        {u"keyword.control.flow.js"_qs, control},
        {u"keyword"_qs, {}},
        {u"x.comment"_qs, {}},
        {u""_qs, {}},
        {u"broken"_qs, {}},
    };
    for (const Case& c : cases) EXPECT_EQ(theme.attributesForIdentifier(c.identifier), c.expected) << c.identifier.toStdString();
    EXPECT_TRUE(theme.containsIdentifier(u"comment"_qs));
    EXPECT_FALSE(theme.containsIdentifier(u"comment.line"_qs));
    EXPECT_EQ(theme.styleIdentifiers(), QStringList({u"comment"_qs, u"keyword.control"_qs}));
}

TEST_F(QVThemeTest, FileRoundTrip) {
    const QVTheme theme(samplePlist());
    EXPECT_FALSE(theme.modified());
    EXPECT_EQ(theme.title(), u"Sample"_qs);
    EXPECT_EQ(theme.identifier(), u"sample"_qs);
    EXPECT_FALSE(theme.invisiblesColor().isValid());
    EXPECT_FALSE(theme.selectionColor().isValid());
    // Every colour is written with its alpha, in lower case; colours that did not read are left out.
    const QVariantMap expected{
        {u"id"_qs, u"sample"_qs},
        {u"format-title"_qs, u"Sample"_qs},
        {u"format-version"_qs, u"1.0"_qs},
        {u"global-settings"_qs, QVariantMap{{u"background"_qs, u"#ffffffff"_qs},
                                             {u"foreground"_qs, u"#12345678"_qs},
                                             {u"insertion-point"_qs, u"#ff8000ff"_qs}}},
        {u"styles"_qs, QVariantList{style(u"comment"_qs, u"#00ff00ff"_qs),
                                    style(u"keyword.control"_qs, u"#0000ffff"_qs, u"#eeeeeeff"_qs)}},
    };
    EXPECT_EQ(theme.plistRepresentation(), expected);
    EXPECT_EQ(QVTheme(expected).plistRepresentation(), expected);
    EXPECT_TRUE(theme.stylePlistForIdentifier(u"missing"_qs).isEmpty());
}

TEST_F(QVThemeTest, NewThemesAndCopies) {
    QVTheme fresh;
    EXPECT_TRUE(fresh.modified());
    EXPECT_EQ(fresh.title(), u"New Theme"_qs);
    EXPECT_EQ(fresh.backgroundColor(), QColor(Qt::white));
    EXPECT_EQ(fresh.textColor(), QColor(Qt::black));
    EXPECT_EQ(fresh.insertionPointColor(), fresh.textColor());
    EXPECT_EQ(fresh.invisiblesColor(), fresh.textColor());
    EXPECT_TRUE(fresh.selectionColor().isValid());
    EXPECT_TRUE(fresh.styles().isEmpty());
    // The identifier is made once and kept.
    EXPECT_EQ(fresh.identifier().size(), 36);
    EXPECT_EQ(fresh.identifier(), fresh.identifier());

    const QVTheme theme(samplePlist());
    const auto copy = theme.copy();
    EXPECT_NE(copy->identifier(), theme.identifier());
    EXPECT_FALSE(copy->modified());
    QVariantMap copied = copy->plistRepresentation();
    copied.insert(u"id"_qs, theme.identifier());
    EXPECT_EQ(copied, theme.plistRepresentation());
    EXPECT_LT(QVTheme(QVariantMap{{u"format-title"_qs, u"apple"_qs}}).compareTitle(QVTheme(QVariantMap{{u"format-title"_qs, u"Banana"_qs}})), 0);
    EXPECT_EQ(QVTheme(QVariantMap{{u"format-title"_qs, u"dark"_qs}}).compareTitle(QVTheme(QVariantMap{{u"format-title"_qs, u"Dark"_qs}})), 0);
}

TEST_F(QVThemeTest, EditsMarkTheThemeModified) {
    struct Case {
        const char* name;
        std::function<void(QVTheme&)> edit;
        bool modified;
    };
    const QList<Case> cases{
        {"title through the editing path", [](QVTheme& t) { EXPECT_TRUE(t.setValue(u"Other"_qs, u"title"_qs)); }, true},
        {"colour through the editing path", [](QVTheme& t) { EXPECT_TRUE(t.setValue(QColor(Qt::red), u"textColor"_qs)); }, true},
        {"unknown key", [](QVTheme& t) { EXPECT_FALSE(t.setValue(u"x"_qs, u"fontSize"_qs)); }, false},
        {"wrong value type", [](QVTheme& t) { EXPECT_FALSE(t.setValue(3, u"textColor"_qs)); }, false},
        {"direct setter", [](QVTheme& t) { t.setTextColor(Qt::red); }, false},
        {"add a new style", [](QVTheme& t) { t.addStyle(u"string"_qs, {{QVTextStorage::ForegroundColorAttribute, QColor(Qt::red)}}); }, true},
        {"add an existing style", [](QVTheme& t) { t.addStyle(u"comment"_qs, {}); }, false},
        {"change a style", [](QVTheme& t) { t.changeStyle(u"comment"_qs, {}); }, true},
        {"remove a style", [](QVTheme& t) { t.removeStyle(u"comment"_qs); }, true},
        {"rename a style", [](QVTheme& t) { t.changeIdentifier(u"comment"_qs, u"remark"_qs); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QVTheme theme(samplePlist());
        c.edit(theme);
        EXPECT_EQ(theme.modified(), c.modified);
    }
    // Renaming a style defined only through its parent gives the new one the parent's colours.
    QVTheme theme(samplePlist());
    theme.changeIdentifier(u"comment.line"_qs, u"comment.doc"_qs);
    EXPECT_TRUE(theme.containsIdentifier(u"comment.doc"_qs));
    EXPECT_EQ(theme.attributesForIdentifier(u"comment.doc"_qs), theme.attributesForIdentifier(u"comment"_qs));
    EXPECT_TRUE(theme.containsIdentifier(u"comment"_qs));
}

TEST_F(QVThemeTest, CommitWritesOnlyWhenModified) {
    QVTheme theme(samplePlist());
    const QString path = themesFolder() + u"/sample.plist"_qs;
    // Not modified: nothing is written.
    EXPECT_TRUE(theme.commit());
    EXPECT_FALSE(QFile::exists(path));

    ASSERT_TRUE(theme.setValue(u"Renamed"_qs, u"title"_qs));
    QVError error;
    ASSERT_TRUE(theme.commit(&error)) << error.localizedDescription().toStdString();
    EXPECT_FALSE(theme.modified());
    PlistFormat format;
    EXPECT_EQ(PropertyList::readFile(path, nullptr, &format), QVariant(theme.plistRepresentation()));
    EXPECT_EQ(format, PlistFormat::XML);
}

TEST_F(QVThemeTest, FailedCommitStaysModified) {
    QVTheme theme(samplePlist());
    ASSERT_TRUE(theme.setValue(u"Renamed"_qs, u"title"_qs));
    // A folder where the file should go: the write fails, and the theme still needs saving.
    const QString path = themesFolder() + u"/sample.plist"_qs;
    ASSERT_TRUE(QDir().mkpath(path));
    QVError error;
    EXPECT_FALSE(theme.commit(&error));
    EXPECT_FALSE(error.isNull());
    EXPECT_TRUE(theme.modified());
    ASSERT_TRUE(QDir(path).removeRecursively());
    EXPECT_TRUE(theme.commit());
    EXPECT_FALSE(theme.modified());
    EXPECT_TRUE(QFile::exists(path));

    // An identifier that would write outside the themes folder is refused.
    QVTheme escaping(samplePlist());
    escaping.setIdentifier(u"../escaped"_qs);
    ASSERT_TRUE(escaping.setValue(u"x"_qs, u"title"_qs));
    EXPECT_FALSE(escaping.commit(&error));
    EXPECT_TRUE(escaping.modified());
    EXPECT_FALSE(QFile::exists(StringUtilities::tildePath() + u"/escaped.plist"_qs));
}
