#include "CodeIndexFixtures.h"
#include "CompletionFixtures.h"

#include "completion/QVCodeIndex.h"
#include "completion/QVTagCodeCompletion.h"
#include "platform/MainQueue.h"

#include <gtest/gtest.h>

using namespace codeindex;
using namespace completion;

namespace {

// The text with "|" marking the caret.
std::pair<QString, qint64> caretText(const QString& marked) {
    QString text = marked;
    const qint64 caret = text.indexOf(QLatin1Char('|'));
    text.remove(caret, 1);
    return {text, caret};
}

}  // namespace

TEST(QVTagCodeCompletionTest, ContextRangeAndCandidatesOverTheShippedElements) {
    const auto bundle = shippedBundle(u"HTML"_qs);
    const auto engine = shippedEngine<QVTagCodeCompletion>(bundle);
    ASSERT_TRUE(engine);
    QString manyAttributes = u"<div "_qs;
    for (int i = 0; i < 300; ++i) manyAttributes += u"x%1=\"%1\" "_qs.arg(i);
    const QString unbalanced = u"<div "_qs + u"a=\"b "_qs.repeated(300) + u"di|"_qs;
    const QString megabyte = u"<p>x</p>"_qs.repeated(1 << 17) + u"<di|"_qs;
    const struct {
        QString marked;
        QString partial;    // "NULL": outside a tag
        QString replaced;   // the text the accepted entry replaces
        QStringList first;  // the first candidates
    } cases[] = {
        {u"<di|"_qs, u"di"_qs, u"di"_qs, {u"dialog"_qs, u"div"_qs}},
        {u"<DIV cl|"_qs, u"cl"_qs, u"cl"_qs, {u"class"_qs}},
        {u"<div |"_qs, u""_qs, u""_qs, {u"accesskey"_qs}},
        {u"<div dir=\"|\">"_qs, u""_qs, u"\"\""_qs, {u"auto"_qs, u"ltr"_qs, u"rtl"_qs}},
        {u"<div dir=\"l|\" id=\"x\">"_qs, u"l"_qs, u"\"l\""_qs, {u"ltr"_qs}},
        // No closing quote before the next attribute: the next one's opening quote is not it.
        {u"<div dir=\"l| id=\"x\">"_qs, u"l"_qs, u"\"l"_qs, {u"ltr"_qs}},
        // No closing quote on the line: the line break and the next line stay.
        {u"<div dir=\"r|\nnext line"_qs, u"r"_qs, u"\"r"_qs, {u"rtl"_qs}},
        {u"<div dir=\"r|\r\nnext"_qs, u"r"_qs, u"\"r"_qs, {u"rtl"_qs}},
        {u"<input type=\"te|\" />"_qs, u"te"_qs, u"\"te\""_qs, {u"tel"_qs, u"text"_qs}},
        {u"<div>te|"_qs, u"NULL"_qs, u""_qs, {u"NONE"_qs}},  // after a closed start tag
        {u"|<div>"_qs, u"NULL"_qs, u""_qs, {u"NONE"_qs}},    // caret at 0
        {u"<b>x</b><i>y</i> <sp|"_qs, u"sp"_qs, u"sp"_qs, {u"span"_qs}},
        {manyAttributes + u"ti|"_qs, u"ti"_qs, u"ti"_qs, {u"title"_qs}},
        {unbalanced, u"NULL"_qs, u""_qs, {}},
        {megabyte, u"di"_qs, u"di"_qs, {u"dialog"_qs, u"div"_qs}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.marked.right(60).toStdString());
        const auto [text, caret] = caretText(c.marked);
        const QString partial = engine->partialKeywordForString(text, caret);
        if (c.partial == u"NULL"_qs) {
            if (c.first.isEmpty()) continue;  // whatever it makes of it, it ends
            EXPECT_TRUE(partial.isNull());
            EXPECT_FALSE(engine->completionsForString(partial, {}, caret));
            continue;
        }
        EXPECT_EQ(partial, c.partial);
        const QVRange range = engine->keywordRangeForString(text, caret);
        ASSERT_FALSE(range.isNotFound());
        EXPECT_EQ(text.mid(range.location, range.length), c.replaced);
        const QStringList keys = keysOf(engine->completionsForString(partial, {}, caret));
        EXPECT_EQ(keys.mid(0, c.first.size()), c.first);
    }

    // Entries: elements keep the list open for attributes, attributes for values.
    auto [text, caret] = caretText(u"<a hr|"_qs);
    auto entries = engine->completionsForString(engine->partialKeywordForString(text, caret), {}, caret);
    ASSERT_TRUE(entries && !entries->isEmpty());
    EXPECT_EQ(entries->first().completion(), u"href=\"\""_qs);
    EXPECT_EQ(entries->first().type(), u"attribute"_qs);
    EXPECT_FALSE(entries->first().hideOnComplete());
    std::tie(text, caret) = caretText(u"<a href=\"|\""_qs);
    entries = engine->completionsForString(engine->partialKeywordForString(text, caret), {}, caret);
    ASSERT_TRUE(entries && entries->size() == 1);
    QString completion = entries->first().completion();
    EXPECT_EQ(completion, u"\"path…\""_qs);
    EXPECT_TRUE(engine->shouldShowUIForCompletion(completion));
    EXPECT_EQ(completion, u"path…"_qs);
}

TEST(QVTagCodeCompletionTest, DefinitionsWithWrongTypesAndThePreferencesForm) {
    const QVariantMap plist{
        {u"elements"_qs, QVariantMap{{u"x"_qs, QVariantMap{{u"a"_qs, QStringList{u"1"_qs, u"2"_qs}},
                                                          {u"b"_qs, u"one"_qs},
                                                          {u"c"_qs, u""_qs},
                                                          {u"d"_qs, 7},
                                                          {u"e"_qs, u"#nodot"_qs}}},
                                     {u"bad"_qs, u"not a dictionary"_qs}}}};
    QVTagCodeCompletion engine(nullptr, plist);
    const struct {
        QString marked;
        QStringList keys;
    } cases[] = {
        {u"<|"_qs, {u"x"_qs}}, {u"<x a=\"|"_qs, {u"1"_qs, u"2"_qs}}, {u"<x b=\"|"_qs, {u"one"_qs}},
        {u"<x c=\"|"_qs, {}},  {u"<x d=\"|"_qs, {}},               {u"<x e=\"|"_qs, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.marked.toStdString());
        const auto [text, caret] = caretText(c.marked);
        EXPECT_EQ(keysOf(engine.completionsForString(engine.partialKeywordForString(text, caret), u"/f.html"_qs, caret)),
                  c.keys);
    }
    const QVariantList form = engine.entries(true);
    ASSERT_EQ(form.size(), 1);
    QVTagCodeCompletion copy(nullptr, {});
    QVariantList edited = form;
    edited.append(QVariantMap{{u"title"_qs, u""_qs}});
    copy.setEntries(edited);
    const QVariantMap written = copy.plistRepresentation();
    EXPECT_EQ(written.value(u"format-type"_qs).toString(), u"tag"_qs);
    const QVariantMap x = written.value(u"elements"_qs).toMap().value(u"x"_qs).toMap();
    EXPECT_EQ(x.value(u"a"_qs).toStringList(), QStringList({u"1"_qs, u"2"_qs}));
    EXPECT_EQ(x.value(u"b"_qs).toString(), u"one"_qs);
    EXPECT_EQ(x.value(u"c"_qs).toString(), u""_qs);
    EXPECT_EQ(x.value(u"e"_qs).toString(), u"#nodot"_qs);
}

class QVTagIndexTest : public CodeIndexSandbox {};

TEST_F(QVTagIndexTest, IndexValuesComeFromTheDocumentAndItsIncludes) {
    writeBundle(u"Lang"_qs, u"text.t"_qs, {u"t"_qs},
                {{u"keys"_qs, QVariantList{keyRule(u"def (\\w+)"_qs, u"class"_qs)}},
                 {u"external-files"_qs, QStringList{u"use '([^']+)'"_qs}}});
    const auto repository = makeRepository();
    QVCodeIndex index(indexPath(), defaults.get(), repository.get());
    const QString a = files.write(u"a.t"_qs, "def header\nuse 'b.t'\n");
    files.write(u"b.t"_qs, "def hero\n");
    index.start();
    index.indexFile(a);
    index.indexFile(files.path() + u"/b.t"_qs);
    ASSERT_TRUE(index.waitUntilIdle(30000));
    MainQueue::drain();

    QVTagCodeCompletion engine(nullptr, {{u"elements"_qs, QVariantMap{{u"div"_qs, QVariantMap{{u"class"_qs, u"#text.t.class"_qs}}}}}});
    engine.setCodeIndex(&index);
    const auto [text, caret] = caretText(u"<div class=\"he|\">"_qs);
    const QString partial = engine.partialKeywordForString(text, caret);
    const auto entries = engine.completionsForString(partial, a, caret);
    EXPECT_EQ(keysOf(entries), QStringList({u"header"_qs, u"hero"_qs}));
    EXPECT_EQ(entries->first().completion(), u"\"header\""_qs);
    EXPECT_EQ(entries->first().type(), u"class"_qs);
    // Another document, or none, does not see the first one's values.
    EXPECT_EQ(keysOf(engine.completionsForString(partial, files.path() + u"/b.t"_qs, caret)), QStringList{u"hero"_qs});
    EXPECT_EQ(keysOf(engine.completionsForString(partial, QString(), caret)), QStringList{});
}
