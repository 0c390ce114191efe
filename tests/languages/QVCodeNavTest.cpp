// Code navigation: items and titles found in sample texts, separators, title shortening, icons
// and the saved searches.
#include "BundleFixtures.h"

#include "languages/QVCodeNavItem.h"
#include "languages/QVCodeNavMenuItem.h"
#include "languages/QVCodeNavParser.h"
#include "languages/QVParser.h"

#include <QImage>

#include <gtest/gtest.h>

using namespace bundles;

namespace {

QVariantMap search(const QString& pattern, const QString& display, bool bold = false, bool italic = false,
                   const QString& icon = {}) {
    QVariantMap map{{u"pattern"_qs, pattern}, {u"display"_qs, display}};
    if (bold) map.insert(u"bold"_qs, true);
    if (italic) map.insert(u"italic"_qs, true);
    if (!icon.isEmpty()) map.insert(u"icon"_qs, icon);
    return map;
}

// "title@location+length", "-@location+length" for a separator.
QStringList dump(const QList<QVCodeNavMenuItem>& items) {
    QStringList lines;
    for (const QVCodeNavMenuItem& item : items)
        lines.append(QStringLiteral("%1@%2+%3")
                         .arg(item.isSeparator() ? u"-"_qs : item.title())
                         .arg(item.range().location)
                         .arg(item.range().length));
    return lines;
}

const QString kScript = uR"(// tools
function alpha(x) { return x; }
FUNCTION Beta() {}
class Gamma {}
// ----
function delta() {}
)"_qs;

}  // namespace

TEST(QVCodeNavParser, ItemsAndTitlesOfASampleText) {
    auto parser = std::make_shared<QVParser>(std::weak_ptr<QVBundle>(), u"source.js"_qs);
    // A bare "(n)" in a template inserts capture n, so literal parentheses are escaped.
    const QVCodeNavParser navigation(
        QVariantList{search(u"function\\s+(\\w+)"_qs, u"$1\\(\\)"_qs, true),
                     search(u"class\\s+(\\w+)"_qs, u"Class $1"_qs, false, true),
                     search(u"// -+"_qs, QString()),
                     search(u"//( tools)?"_qs, u"$1"_qs),  // a title that comes out empty
                     QVariantMap{{u"display"_qs, u"no pattern"_qs}},
                     search(u"q*"_qs, u"empty matches"_qs),
                     search(u"(unclosed"_qs, u"bad pattern"_qs),
                     u"not a dictionary"_qs},
        parser);
    EXPECT_EQ(navigation.searches().size(), 7);
    EXPECT_EQ(navigation.parser(), parser);

    struct Case {
        const char* name;
        QVRange range;
        QStringList expected;
    };
    const int alpha = int(kScript.indexOf(u"function alpha"_qs));
    const int gamma = int(kScript.indexOf(u"class Gamma"_qs));
    const QList<Case> cases{
        {"whole text: grouped by search, then by position", QVRange(0, kScript.size()),
         {QStringLiteral("alpha()@%1+14").arg(alpha), QStringLiteral("Beta()@%1+13").arg(kScript.indexOf(u"FUNCTION"_qs)),
          QStringLiteral("delta()@%1+14").arg(kScript.indexOf(u"function delta"_qs)),
          QStringLiteral("Class Gamma@%1+11").arg(gamma), QStringLiteral("-@%1+7").arg(kScript.indexOf(u"// ----"_qs)),
          u" tools@0+8"_qs, QStringLiteral("-@%1+2").arg(kScript.indexOf(u"// ----"_qs))}},
        {"a part of the text keeps whole-text positions", QVRange(alpha, gamma + 11 - alpha),
         {QStringLiteral("alpha()@%1+14").arg(alpha), QStringLiteral("Beta()@%1+13").arg(kScript.indexOf(u"FUNCTION"_qs)),
          QStringLiteral("Class Gamma@%1+11").arg(gamma)}},
        {"a match cut by the range is not found", QVRange(alpha, 8), {}},
        {"an empty range", QVRange(5, 0), {}},
        {"a range outside the text", QVRange(kScript.size() + 5, 3), {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(dump(navigation.matchesForString(kScript, c.range)), c.expected);
    }

    const QList<QVCodeNavMenuItem> items = navigation.matchesForString(kScript, QVRange(0, kScript.size()));
    ASSERT_GE(items.size(), 4);
    EXPECT_TRUE(items[0].font().bold());
    EXPECT_FALSE(items[0].font().italic());
    EXPECT_TRUE(items[3].font().italic());
    EXPECT_FALSE(items[3].font().bold());
    EXPECT_TRUE(items[0].icon().isNull());
}

TEST(QVCodeNavParser, LongTitlesAreShortened) {
    struct Case {
        qsizetype length;
        qsizetype expected;
    };
    for (const Case& c : QList<Case>{{0, 0}, {70, 70}, {71, 71}, {200, 71}}) {
        QString title;
        for (qsizetype i = 0; i < c.length; ++i) title.append(QChar(char16_t(u'a' + i % 26)));
        const QString shortened = QVCodeNavItem::truncatedTitleForTitle(title);
        EXPECT_EQ(shortened.size(), c.expected);
        if (c.length > 70) {
            EXPECT_EQ(shortened.left(35), title.left(35));
            EXPECT_EQ(shortened.at(35), QChar(0x2026));
            EXPECT_EQ(shortened.right(35), title.right(35));
        } else {
            EXPECT_EQ(shortened, title);
        }
    }
    // Titles made from long matches are shortened too.
    auto parser = std::make_shared<QVParser>(std::weak_ptr<QVBundle>(), u"t"_qs);
    const QVCodeNavParser navigation(QVariantList{search(u"#(.+)"_qs, u"$1"_qs)}, parser);
    const QString text = u"#"_qs + QString(100, QLatin1Char('x'));
    const QList<QVCodeNavMenuItem> items = navigation.matchesForString(text, QVRange(0, text.size()));
    ASSERT_EQ(items.size(), 1);
    EXPECT_EQ(items[0].title().size(), 71);
    EXPECT_EQ(items[0].range(), QVRange(0, 101));
}

TEST(QVCodeNavParser, SavedSearches) {
    auto parser = std::make_shared<QVParser>(std::weak_ptr<QVBundle>(), u"t"_qs);
    const QVariantList plist{search(u"a(b)"_qs, u"$1"_qs), search(u"c"_qs, u"C"_qs, true, true, u"star.png"_qs),
                             search(u"(broken"_qs, QString())};
    QVCodeNavParser navigation(plist, parser);
    // Flags only when on, the icon only when named, a pattern that does not compile as typed.
    EXPECT_EQ(navigation.plistRepresentation(), plist);

    QVCodeNavItem item(std::weak_ptr<QVBundle>{});
    EXPECT_EQ(item.plistRepresentation(), QVariantMap({{u"pattern"_qs, QString()}, {u"display"_qs, QString()}}));
    EXPECT_TRUE(item.isSeparator());
    EXPECT_FALSE(item.isUsable());
    item.setSearchExpression(u"x(\\d)"_qs);
    item.setMenuTitle(u"X$1"_qs);
    item.setIsItalic(true);
    QVCodeNavItem copy = item;
    copy.setMenuTitle(u"changed"_qs);
    EXPECT_EQ(item.menuTitle(), u"X$1"_qs);
    EXPECT_TRUE(copy.isItalic());
    navigation.setSearches({item, copy});
    EXPECT_EQ(dump(navigation.matchesForString(u"..X5"_qs, QVRange(0, 4))),
              QStringList({u"X5@2+2"_qs, u"changed@2+2"_qs}));

    TestDir dir;
    ASSERT_TRUE(navigation.commitToPath(dir.path()));
    PlistFormat format = PlistFormat::XML;
    EXPECT_EQ(readPlist(dir.file(u"codenav.plist"_qs), &format).toList(), navigation.plistRepresentation());
    EXPECT_EQ(format, PlistFormat::Binary);
    QVError error;
    EXPECT_FALSE(navigation.commitToPath(dir.file(u"missing/folder"_qs), &error));
    EXPECT_FALSE(error.isNull());
}

class QVCodeNavIconTest : public BundleSandbox {};

TEST_F(QVCodeNavIconTest, IconsComeFromTheBundleScaledAndShared) {
    const QString path = writeBundle(builtInBundles(), u"Icons.qvbundle"_qs, info(u"com.example.icons"_qs, u"Icons"_qs),
                                     {{u"syntax.plist"_qs, QVariantMap{{u"format-id"_qs, u"text.icons"_qs}}},
                                      {u"codenav.plist"_qs,
                                       QVariantList{search(u"big"_qs, u"Big"_qs, false, false, u"navtest-big.png"_qs),
                                                    search(u"small"_qs, u"Small"_qs, false, false, u"navtest-small.png"_qs),
                                                    search(u"none"_qs, u"None"_qs, false, false, u"navtest-none.png"_qs)}}});
    QDir().mkpath(path + u"/Contents/Resources"_qs);
    QImage big(16, 16, QImage::Format_ARGB32);
    big.fill(Qt::blue);
    ASSERT_TRUE(big.save(path + u"/Contents/Resources/navtest-big.png"_qs));
    QImage small(8, 8, QImage::Format_ARGB32);
    small.fill(Qt::green);
    ASSERT_TRUE(small.save(path + u"/Contents/Resources/navtest-small.png"_qs));

    const auto bundle = QVBundle::bundleWithPath(path, false);
    ASSERT_TRUE(bundle && bundle->codeNavParser());
    const QList<QVCodeNavItem>& searches = bundle->codeNavParser()->searches();
    ASSERT_EQ(searches.size(), 3);
    EXPECT_EQ(searches[0].icon().size(), QSize(10, 10));
    EXPECT_EQ(searches[1].icon().size(), QSize(8, 8));
    EXPECT_TRUE(searches[2].icon().isNull());

    const QList<QVCodeNavMenuItem> items = bundle->parser()->codeNavItemsForString(u"small big"_qs, QVRange(0, 9));
    ASSERT_EQ(dump(items), QStringList({u"Small@0+5"_qs, u"Big@6+3"_qs}));
    EXPECT_EQ(items[1].icon().size(), QSize(10, 10));

    // One cache for the whole process, by name: another item finds the icon after the file is gone.
    QFile::remove(path + u"/Contents/Resources/navtest-big.png"_qs);
    QVCodeNavItem other(std::weak_ptr<QVBundle>{});
    other.setIconName(u"navtest-big.png"_qs);
    EXPECT_EQ(other.icon().size(), QSize(10, 10));
    other.setIconName(u"navtest-none.png"_qs);
    EXPECT_TRUE(other.icon().isNull());
}
