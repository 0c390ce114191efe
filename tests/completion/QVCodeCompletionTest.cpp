#include "CodeIndexFixtures.h"
#include "CompletionFixtures.h"

#include "completion/QVCodeCompletion.h"
#include "completion/QVCodeIndex.h"
#include "completion/QVKeywordCodeCompletion.h"
#include "languages/QVBundle.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"

#include <QObject>

#include <gtest/gtest.h>

using namespace codeindex;
using namespace completion;

namespace {

// A sheet that ends when the test says so.
class FakeSheet : public QVCodeCompletionUI {
public:
    QString stringValue() const override { return values().value(u"value"_qs).toString(); }
    void displayWithDelegate(const std::shared_ptr<QVCodeCompletion>& engine) override {
        QVCodeCompletionUI::displayWithDelegate(engine);
        shown = true;
    }
    bool shown = false;
};

class SheetEngine : public QVCodeCompletion {
public:
    SheetEngine() : QVCodeCompletion(nullptr, {}) {}
    std::shared_ptr<QVCodeCompletionUI> createCodeCompletionUIForCompletion(const QString& label) override {
        if (label != u"length"_qs) return nullptr;
        last = std::make_shared<FakeSheet>();
        return last;
    }
    void setPath(const QString& path) { setLastPath(path); }
    std::shared_ptr<FakeSheet> last;
};

}  // namespace

TEST(QVCodeCompletionEntryTest, PrototypesBecomeCompletionsAndRepresentationsRoundTrip) {
    const struct {
        QString representation, type, prototype, completion;
        bool typeSet;
    } cases[] = {
        {u"function substr(string, start[, length])"_qs, u"function"_qs, u"substr(string, start[, length])"_qs,
         u"substr([*string*], [*start*])"_qs, true},
        {u"function f(int a, b = 2)"_qs, u"function"_qs, u"f(int a, b = 2)"_qs, u"f([*a*], [*b = 2*])"_qs, true},
        {u"foo"_qs, QString(), u"foo"_qs, u"foo"_qs, false},
        {u" foo(a)"_qs, u""_qs, u"foo(a)"_qs, u"foo([*a*])"_qs, true},
        // Nested optional parts, and brackets that never close or open.
        {u"f f(a[, b[, c]])"_qs, u"f"_qs, u"f(a[, b[, c]])"_qs, u"f([*a*])"_qs, true},
        {u"f f(a[, b"_qs, u"f"_qs, u"f(a[, b"_qs, u"f(a[, b"_qs, true},
        {u"f f(a], b)"_qs, u"f"_qs, u"f(a], b)"_qs, u"f(a], [*b*])"_qs, true},
        {u"f f($x, &$y)"_qs, u"f"_qs, u"f($x, &$y)"_qs, u"f([*$x*], [*&$y*])"_qs, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.representation.toStdString());
        QVCodeCompletionEntry entry(u"k"_qs, c.representation);
        EXPECT_EQ(entry.type().isNull(), !c.typeSet);
        EXPECT_EQ(entry.type(), c.type);
        EXPECT_EQ(entry.prototype(), c.prototype);
        EXPECT_EQ(entry.completion(), c.completion);
        const QVCodeCompletionEntry again(u"k"_qs, entry.stringRepresentation());
        EXPECT_EQ(again.prototype(), c.prototype);
        EXPECT_EQ(again.type(), c.type.isNull() ? u""_qs : c.type);
    }

    QVCodeCompletionEntry entry(u"zeta"_qs, u"function zeta(a)"_qs);
    entry.setHideOnComplete(true);
    const QVCodeCompletionEntry copy = entry;
    EXPECT_TRUE(copy.hideOnComplete());
    EXPECT_TRUE(entry.hasPrefix(u"fun"_qs));
    EXPECT_TRUE(entry.hasPrefix(u"ze"_qs));
    EXPECT_FALSE(entry.hasPrefix(u"Ze"_qs));
    EXPECT_LT(QVCodeCompletionEntry(u"Zeta"_qs, u"x"_qs).compare(entry), 0);

    QVCodeCompletionEntry edited;
    edited.setKeyFromEditor(u"echo"_qs);
    edited.setKeyFromEditor(u"echo2"_qs);
    EXPECT_EQ(edited.prototype(), u"echo"_qs);
    EXPECT_TRUE(QVCodeCompletionEntry::validateKey(u"x"_qs).isNull());
    const QVError blank = QVCodeCompletionEntry::validateKey(QString());
    EXPECT_EQ(blank.code(), 0);
    EXPECT_EQ(blank.localizedDescription(), u"Key cannot be blank"_qs);
    EXPECT_EQ(blank.localizedRecoverySuggestion(), u"Please provide a non-blank key or delete the entry."_qs);
}

TEST(QVCodeCompletionTest, PostProcessingReportsOnlyToTheViewThatAskedWithItsRange) {
    int beeps = 0;
    QVCodeCompletion::setBeepHandler([&beeps] { ++beeps; });
    const auto engine = std::make_shared<SheetEngine>();
    struct Got {
        QString text;
        QVRange range;
        int calls = 0;
    };
    Got first, second;
    auto viewA = std::make_unique<QObject>();
    auto viewB = std::make_unique<QObject>();
    const auto to = [](Got& got) {
        return [&got](const QString& text, QVRange range) {
            got.text = text;
            got.range = range;
            ++got.calls;
        };
    };

    // Without an ellipsis the completion comes back at once, unchanged.
    EXPECT_TRUE(engine->postprocessCompletion(u"width"_qs, {3, 2}, viewA.get(), to(first)));
    EXPECT_EQ(first.text, u"width"_qs);
    EXPECT_EQ(first.range, QVRange(3, 2));
    // A value no sheet asks for beeps and ends.
    EXPECT_FALSE(engine->postprocessCompletion(u"bogus…"_qs, {0, 0}, viewA.get(), to(first)));
    EXPECT_EQ(beeps, 1);
    EXPECT_EQ(first.calls, 1);

    // Two views of the language share the engine; each sheet answers its own view and range,
    // and relative paths are made from its own document.
    engine->setPath(u"/site/a.css"_qs);
    ASSERT_TRUE(engine->postprocessCompletion(u"length…"_qs, {10, 2}, viewA.get(), to(first)));
    const std::shared_ptr<FakeSheet> sheetA = engine->last;
    engine->setPath(QString());
    ASSERT_TRUE(engine->postprocessCompletion(u"length…"_qs, {20, 3}, viewB.get(), to(second)));
    const std::shared_ptr<FakeSheet> sheetB = engine->last;
    EXPECT_FALSE(sheetA->shown);
    MainQueue::drain();
    EXPECT_TRUE(sheetA->shown && sheetB->shown);
    EXPECT_EQ(engine->openSheetCount(), 2);
    EXPECT_EQ(engine->pathForUI(*sheetA), u"/site/a.css"_qs);
    EXPECT_TRUE(engine->pathForUI(*sheetB).isEmpty());  // untitled: no home folder stands in

    sheetB->values().insert(u"value"_qs, u"12em"_qs);
    sheetB->end(1);
    EXPECT_EQ(second.text, u"12em"_qs);
    EXPECT_EQ(second.range, QVRange(20, 3));
    EXPECT_EQ(first.calls, 1);

    // A view closed while its sheet is open hears nothing; a cancelled sheet inserts nothing.
    viewA.reset();
    sheetA->values().insert(u"value"_qs, u"3px"_qs);
    sheetA->end(1);
    EXPECT_EQ(first.calls, 1);
    ASSERT_TRUE(engine->postprocessCompletion(u"length…"_qs, {1, 1}, viewB.get(), to(second)));
    engine->last->end(0);
    sheetB->end(1);  // a second end is ignored
    EXPECT_EQ(second.calls, 1);
    EXPECT_EQ(engine->openSheetCount(), 0);
    QVCodeCompletion::setBeepHandler({});
}

TEST(QVCodeCompletionTest, DefinitionFlagsAndWriting) {
    const struct {
        QVariantMap plist;
        bool showType;
        QString editClass;
    } cases[] = {
        {{}, true, QString()},
        {{{u"hide-type-column"_qs, true}, {u"edit-class"_qs, u"Pane"_qs}}, false, u"Pane"_qs},
        // Wrong types in a user's definition change nothing.
        {{{u"hide-type-column"_qs, u"yes"_qs}, {u"edit-class"_qs, 3}}, true, QString()},
    };
    for (const auto& c : cases) {
        const QVKeywordCodeCompletion engine(nullptr, c.plist);
        EXPECT_EQ(engine.showTypeColumn(), c.showType);
        EXPECT_EQ(engine.editClass(), c.editClass);
    }
    TestDir dir;
    QVKeywordCodeCompletion engine(nullptr, {{u"keys"_qs, QVariantMap{{u"print"_qs, QStringList{u"function print(a)"_qs,
                                                                                                  u"function print(a, b)"_qs}},
                                                                      {u"echo"_qs, u"keyword echo"_qs},
                                                                      {u"bad"_qs, 12},
                                                                      {u""_qs, u"x y"_qs}}}});
    ASSERT_TRUE(engine.commitToPath(dir.path()));
    const QVariantMap written = PropertyList::readFile(dir.path() + u"/completion.plist"_qs).toMap();
    EXPECT_EQ(written.value(u"format-type"_qs).toString(), u"keyword"_qs);
    const QVariantMap keys = written.value(u"keys"_qs).toMap();
    EXPECT_EQ(keys.keys(), QStringList({u"echo"_qs, u"print"_qs}));
    EXPECT_EQ(keys.value(u"print"_qs).toStringList(), QStringList({u"function print(a)"_qs, u"function print(a, b)"_qs}));
    EXPECT_FALSE(engine.commitToPath(dir.path() + u"/missing/folder"_qs));

    // The preferences' form goes back and forth; blank keys are dropped.
    QVariantList entries = engine.entries(true);
    ASSERT_EQ(entries.size(), 3);
    EXPECT_EQ(entries.first().toMap().value(u"key"_qs).toString(), u"echo"_qs);
    entries.append(QVariantMap{{u"key"_qs, u""_qs}});
    entries.append(QVariantMap{{u"key"_qs, u"new"_qs}});
    engine.setEntries(entries);
    EXPECT_EQ(keysOf(engine.completionsForString(u"ne"_qs, {}, 2)), QStringList{u"new"_qs});
    EXPECT_EQ(engine.keywordEntries(true).size(), 4);
}

TEST(QVKeywordCodeCompletionTest, PartialWordsAndCandidatesOverTheShippedKeys) {
    const auto phpBundle = shippedBundle(u"PHP"_qs), jsBundle = shippedBundle(u"JavaScript"_qs);
    const auto phpEngine = shippedEngine<QVKeywordCodeCompletion>(phpBundle);
    const auto jsEngine = shippedEngine<QVKeywordCodeCompletion>(jsBundle);
    ASSERT_TRUE(phpEngine && jsEngine);
    QVKeywordCodeCompletion& php = *phpEngine;
    QVKeywordCodeCompletion& js = *jsEngine;
    const QString bigLine = QString(1 << 20, u'x') + u" str_rep"_qs;
    const struct {
        QVKeywordCodeCompletion* engine;
        QString text;
        qint64 cursor;
        QString partial;
        QStringList firstKeys;
    } cases[] = {
        {&php, u"<?php\n$x = substr"_qs, 17, u"substr"_qs, {u"substr"_qs, u"substr_compare"_qs, u"substr_count"_qs}},
        {&php, u"$x = Substr"_qs, 11, u"Substr"_qs, {}},          // case-sensitive
        {&php, u"echo "_qs, 5, u""_qs, {u"NONE"_qs}},               // after a blank: nothing
        {&php, u""_qs, 0, u""_qs, {u"NONE"_qs}},                    // empty text
        {&php, u"str_repeat\r\nstr_rep"_qs, 19, u"str_rep"_qs, {u"str_repeat"_qs, u"str_replace"_qs}},
        {&php, u"a\rstr_rep\rb"_qs, 9, u"str_rep"_qs, {u"str_repeat"_qs, u"str_replace"_qs}},
        {&php, bigLine, bigLine.size(), u"str_rep"_qs, {u"str_repeat"_qs, u"str_replace"_qs}},
        {&js, u"document.getElementBy"_qs, 21, u"getElementBy"_qs, {u"getElementById"_qs}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.left(40).toStdString());
        const QString partial = c.engine->partialKeywordForString(c.text, c.cursor);
        EXPECT_EQ(partial, c.partial);
        EXPECT_EQ(c.engine->keywordRangeForString(c.text, c.cursor), QVRange(c.cursor - c.partial.size(), c.partial.size()));
        const QStringList keys = keysOf(c.engine->completionsForString(partial, {}, c.cursor));
        EXPECT_EQ(keys.mid(0, c.firstKeys.size()), c.firstKeys);
    }
    const auto substr = php.completionsForString(u"substr"_qs, {}, 0);
    ASSERT_TRUE(substr && !substr->isEmpty());
    EXPECT_EQ(substr->first().completion(), u"substr([*$string*], [*$offset*])"_qs);
    EXPECT_EQ(substr->first().type(), u"function"_qs);
    EXPECT_TRUE(substr->first().hideOnComplete());
}

class QVKeywordIndexTest : public CodeIndexSandbox {};

TEST_F(QVKeywordIndexTest, IndexKeysOfTheFileAndItsIncludesLoadOncePerDocument) {
    writeBundle(u"Lang"_qs, u"text.t"_qs, {u"t"_qs},
                {{u"keys"_qs, QVariantList{keyRule(u"def (\\w+)"_qs, u"function"_qs)}},
                 {u"external-files"_qs, QStringList{u"use '([^']+)'"_qs}}});
    const auto repository = makeRepository();
    QVCodeIndex index(indexPath(), defaults.get(), repository.get());
    const QString a = files.write(u"a.t"_qs, "def alpha\nuse 'b.t'\n");
    const QString b = files.write(u"b.t"_qs, "def alps\nuse 'a.t'\n");  // they include each other
    const QString c = files.write(u"c.t"_qs, "def alpine\n");

    const std::shared_ptr<QVBundle> bundle = repository->bundleForFileCategory(QString(), u"t"_qs);
    ASSERT_TRUE(bundle);
    QVKeywordCodeCompletion engine(bundle, {{u"keys"_qs, QVariantMap{{u"alias"_qs, u"keyword alias"_qs}}}});
    engine.setCodeIndex(&index);

    // Not open yet: no index keys, and no waiting for it.
    EXPECT_EQ(keysOf(engine.completionsForString(u"al"_qs, a, 2)), QStringList{u"alias"_qs});
    EXPECT_EQ(engine.indexQueryCount(), 1);

    index.start();
    for (const QString& file : {a, b, c}) index.indexFile(file);
    ASSERT_TRUE(index.waitUntilIdle(30000));
    // Same document: still the keys loaded before, until the index says it changed.
    EXPECT_EQ(keysOf(engine.completionsForString(u"al"_qs, a, 2)), QStringList{u"alias"_qs});
    EXPECT_EQ(engine.indexQueryCount(), 1);
    MainQueue::drain();
    const auto merged = engine.completionsForString(u"al"_qs, a, 2);
    EXPECT_EQ(keysOf(merged), QStringList({u"alias"_qs, u"alpha"_qs, u"alps"_qs}));
    EXPECT_EQ(engine.indexQueryCount(), 2);
    EXPECT_FALSE(merged->at(1).hideOnComplete());  // index keys keep the list open
    EXPECT_EQ(merged->at(1).type(), u"function"_qs);
    EXPECT_EQ(keysOf(engine.completionsForString(u"alp"_qs, a, 3)), QStringList({u"alpha"_qs, u"alps"_qs}));
    EXPECT_EQ(engine.indexQueryCount(), 2);

    // Another document reloads once; an untitled one has no index keys and never asks.
    EXPECT_EQ(keysOf(engine.completionsForString(u"alp"_qs, c, 3)), QStringList{u"alpine"_qs});
    EXPECT_EQ(keysOf(engine.completionsForString(u"alp"_qs, QString(), 3)), QStringList{});
    EXPECT_EQ(engine.indexQueryCount(), 3);
    engine.completionsForString(u"alp"_qs, b, 3);
    engine.forgetLastPath();
    EXPECT_EQ(keysOf(engine.completionsForString(u"alp"_qs, QString(), 3)), QStringList{});

    // Switched off, the index answers nothing and the engine offers its own keys.
    index.setEnabled(false);
    MainQueue::drain();
    EXPECT_EQ(keysOf(engine.completionsForString(u"al"_qs, a, 2)), QStringList{u"alias"_qs});
}
