#include "CompletionFixtures.h"

#include "completion/QVCSSCodeCompletion.h"
#include "platform/PropertyList.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

using namespace completion;

TEST(QVCSSCodeCompletionTest, PropertiesThenValuesInsideRules) {
    const auto bundle = shippedBundle(u"CSS"_qs);
    const auto engine = shippedEngine<QVCSSCodeCompletion>(bundle);
    ASSERT_TRUE(engine);
    EXPECT_TRUE(engine->suggestAutomatically());
    const QString minified = u"a{color:red}"_qs.repeated(1 << 17);
    const struct {
        QString marked;
        QString partial;   // "NULL": nothing to complete
        QString replaced;  // what the accepted entry replaces
        QStringList first;
    } cases[] = {
        {u"a { back|"_qs, u"back"_qs, u"back"_qs, {u"backdrop-filter"_qs, u"backface-visibility"_qs, u"background"_qs}},
        {u"a {\n  color: re|"_qs, u"re"_qs, u"re"_qs, {u"revert"_qs, u"revert-layer"_qs}},
        {u"a {\r\n  font: bold ita|"_qs, u"ita"_qs, u"ita"_qs, {u"italic"_qs}},
        {u"a {\r  color: |\r}"_qs, u""_qs, u""_qs, {u"currentcolor"_qs, u"transparent"_qs}},
        {u"a {\n  back|grou\n"_qs, u"backgrou"_qs, u"backgrou"_qs, {u"background"_qs}},  // the whole word
        {u"a {\n  color: red;|"_qs, u"NULL"_qs, u""_qs, {}},
        {u"a { color: red } back|"_qs, u"NULL"_qs, u""_qs, {}},
        {u"|a {"_qs, u"NULL"_qs, u""_qs, {}},
        {minified + u"b{back|"_qs, u"back"_qs, u"back"_qs, {u"backdrop-filter"_qs}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.marked.right(40).toStdString());
        QString text = c.marked;
        const qint64 caret = text.indexOf(QLatin1Char('|'));
        text.remove(caret, 1);
        const QString partial = engine->partialKeywordForString(text, caret);
        const auto entries = engine->completionsForString(partial, {}, caret);
        if (c.partial == u"NULL"_qs) {
            EXPECT_TRUE(partial.isNull());
            EXPECT_FALSE(entries);
            continue;
        }
        EXPECT_EQ(partial, c.partial);
        const QVRange range = engine->keywordRangeForString(text, caret);
        EXPECT_EQ(text.mid(range.location, range.length), c.replaced);
        EXPECT_EQ(keysOf(entries).mid(0, c.first.size()), c.first);
    }
    QString text = u"a { backgr"_qs;
    auto entries = engine->completionsForString(engine->partialKeywordForString(text, text.size()), {}, text.size());
    ASSERT_TRUE(entries && !entries->isEmpty());
    EXPECT_EQ(entries->first().completion(), u"background: "_qs);
    EXPECT_FALSE(entries->first().hideOnComplete());  // its values follow
    text = u"a { width: le"_qs;
    entries = engine->completionsForString(engine->partialKeywordForString(text, text.size()), {}, text.size());
    ASSERT_TRUE(entries && entries->size() == 1);
    EXPECT_TRUE(entries->first().hideOnComplete());
    QString completion = entries->first().completion();
    EXPECT_TRUE(engine->shouldShowUIForCompletion(completion));

    // Saved and read back, it is the same engine with the same vocabulary.
    TestDir dir;
    ASSERT_TRUE(engine->commitToPath(dir.path()));
    const QVariantMap written = PropertyList::readFile(dir.path() + u"/completion.plist"_qs).toMap();
    EXPECT_EQ(written.value(u"class"_qs).toString(), QVCSSCodeCompletion::ClassName);
    QVCSSCodeCompletion again(nullptr, written);
    EXPECT_EQ(again.entries(true), engine->entries(true));
    QVariantList form = again.entries(true);
    form.append(QVariantMap{{u"title"_qs, u""_qs}});
    form.append(QVariantMap{{u"title"_qs, u"zoom-x"_qs}, {u"values"_qs, QVariantList{QVariantMap{{u"title"_qs, u"1"_qs}}}}});
    again.setEntries(form);
    EXPECT_EQ(again.valuesForProperty(u"zoom-x"_qs), QStringList{u"1"_qs});
    EXPECT_EQ(again.entries(true).size(), engine->entries(true).size() + 1);
    // Wrong value types in a user's definition are skipped.
    QVCSSCodeCompletion odd(nullptr, {{u"properties"_qs, QVariantMap{{u"a-b"_qs, 3}, {u"c"_qs, QVariantList{u"x"_qs, 4}}}}});
    EXPECT_EQ(odd.valuesForProperty(u"a-b"_qs), QStringList{});
    EXPECT_EQ(odd.valuesForProperty(u"c"_qs), QStringList{u"x"_qs});
}
