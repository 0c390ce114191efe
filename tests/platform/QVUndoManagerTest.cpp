// The undo manager: groups, names, grouping by event, coalescing, change counts; and the text
// change records editors register with it.
#include "platform/MainQueue.h"
#include "platform/QVTextChange.h"
#include "platform/QVTextStorage.h"
#include "platform/QVUndoManager.h"

#include <QStringList>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

// A list whose every change registers its inverse, the way an editor does.
struct Model {
    explicit Model(QVUndoManager& manager) : undo(manager) {}
    QVUndoManager& undo;
    QStringList items;

    void add(const QString& item) {
        items << item;
        undo.registerUndo(this, [this] { removeLast(); });
    }
    void removeLast() {
        const QString item = items.takeLast();
        undo.registerUndo(this, [this, item] { add(item); });
    }
};

}  // namespace

TEST(QVUndoManager, GroupsUndoInReverseAndRedoWhatUndoRegistered) {
    QVUndoManager manager;
    manager.setGroupsByEvent(false);
    Model model(manager);
    manager.beginUndoGrouping();
    model.add("a");
    model.add("b");
    manager.setActionName("Two");
    manager.endUndoGrouping();
    model.add("c");  // a lone registration is a group of its own without grouping by event
    EXPECT_EQ(manager.dump(), "undo \"\" 1 action\nundo \"Two\" 2 actions\n");

    EXPECT_TRUE(manager.undo());
    EXPECT_TRUE(manager.undo());
    EXPECT_EQ(model.items, QStringList());
    EXPECT_EQ(manager.dump(), "redo \"Two\" 2 actions\nredo \"\" 1 action\n");
    EXPECT_EQ(manager.redoMenuItemTitle(), "Redo Two");
    EXPECT_FALSE(manager.undo());

    EXPECT_TRUE(manager.redo());
    EXPECT_EQ(model.items, QStringList({"a", "b"}));
    EXPECT_EQ(manager.undoMenuItemTitle(), "Undo Two");
    EXPECT_EQ(manager.redoMenuItemTitle(), "Redo");

    // A new change after an undo makes the redo stack unreachable.
    model.add("x");
    EXPECT_FALSE(manager.canRedo());
    EXPECT_EQ(model.items, QStringList({"a", "b", "x"}));
}

TEST(QVUndoManager, NestedGroupsMeltIntoOneStepNamedByTheOuterOrFirstInnerName) {
    struct Case {
        const char* outerName;
        const char* innerName;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {"Outer", "Inner", "undo \"Outer\" 3 actions\n"},
        {"", "Inner", "undo \"Inner\" 3 actions\n"},
        {"", "", "undo \"\" 3 actions\n"},
    };
    for (const Case& c : cases) {
        QVUndoManager manager;
        Model model(manager);
        manager.beginUndoGrouping();
        model.add("1");
        manager.beginUndoGrouping();
        model.add("2");
        model.add("3");
        manager.setActionName(c.innerName);
        manager.endUndoGrouping();
        EXPECT_EQ(manager.groupingLevel(), 1);
        if (*c.outerName) manager.setActionName(c.outerName);
        manager.endUndoGrouping();
        EXPECT_EQ(manager.dump(), c.expected) << c.outerName << "/" << c.innerName;
        manager.undo();
        EXPECT_TRUE(model.items.isEmpty());
    }
}

TEST(QVUndoManager, GroupingByEventClosesOnTheNextTurnOrWhenTheViewSaysSo) {
    QVUndoManager manager;
    Model model(manager);
    model.add("a");
    model.add("b");
    EXPECT_TRUE(manager.isEventGroupOpen());
    EXPECT_TRUE(manager.canUndo());
    MainQueue::drain();
    EXPECT_EQ(manager.dump(), "undo \"\" 2 actions\n");

    model.add("c");
    manager.closeEventGroup();
    model.add("d");
    // Undo closes the open event group first.
    EXPECT_TRUE(manager.undo());
    EXPECT_EQ(model.items, QStringList({"a", "b", "c"}));
    MainQueue::drain();  // the posted closes of groups already closed do nothing
    EXPECT_EQ(manager.dump(), "undo \"\" 1 action\nundo \"\" 2 actions\nredo \"\" 1 action\n");
}

TEST(QVUndoManager, RefusesUndoInsideAGroupAndHonoursDisabledRegistration) {
    QVUndoManager manager;
    Model model(manager);
    manager.beginUndoGrouping();
    model.add("a");
    manager.endUndoGrouping();
    manager.beginUndoGrouping();
    EXPECT_FALSE(manager.undo());
    manager.endUndoGrouping();
    EXPECT_EQ(model.items, QStringList({"a"}));

    manager.disableUndoRegistration();
    model.add("b");
    manager.enableUndoRegistration();
    EXPECT_EQ(manager.undoCount(), 1);
    manager.endUndoGrouping();  // unbalanced: ignored
    EXPECT_EQ(manager.groupingLevel(), 0);
}

TEST(QVUndoManager, RemovingATargetsActionsDropsGroupsLeftEmpty) {
    QVUndoManager manager;
    manager.setGroupsByEvent(false);
    Model first(manager);
    Model second(manager);
    manager.beginUndoGrouping();
    first.add("a");
    second.add("b");
    manager.endUndoGrouping();
    first.add("c");
    manager.removeAllActions(&first);
    EXPECT_EQ(manager.dump(), "undo \"\" 1 action\n");
    manager.undo();
    EXPECT_EQ(second.items, QStringList());
    EXPECT_EQ(first.items, QStringList({"a", "c"}));
}

TEST(QVUndoManager, CoalescingLastsUntilAnythingElseHappens) {
    int key = 0;
    struct Step {
        const char* name;
        std::function<void(QVUndoManager&, Model&)> act;
        bool coalescing;
    };
    const std::vector<Step> steps = {
        {"nothing", [](QVUndoManager&, Model&) {}, true},
        {"the group closes", [](QVUndoManager& m, Model&) { m.closeEventGroup(); }, true},
        {"another registration", [](QVUndoManager&, Model& model) { model.add("z"); }, false},
        {"breakCoalescing", [](QVUndoManager& m, Model&) { m.breakCoalescing(); }, false},
        {"undo", [](QVUndoManager& m, Model&) { m.undo(); }, false},
    };
    for (const Step& step : steps) {
        QVUndoManager manager;
        Model model(manager);
        model.add("typed");
        manager.markCoalescing(&key);
        step.act(manager, model);
        EXPECT_EQ(manager.isCoalescing(&key), step.coalescing) << step.name;
        EXPECT_FALSE(manager.isCoalescing(&model)) << step.name;
    }
    // A group opened on purpose holds a step of its own: it never coalesces.
    QVUndoManager manager;
    Model model(manager);
    manager.beginUndoGrouping();
    model.add("tool");
    manager.markCoalescing(&key);
    manager.endUndoGrouping();
    EXPECT_FALSE(manager.isCoalescing(&key));
}

TEST(QVUndoManager, ChangeCountsAndTokensFollowDoneUndoneAndRedone) {
    QVUndoManager manager;
    manager.setGroupsByEvent(false);
    Model model(manager);
    std::vector<std::pair<QVUndoManager::Change, bool>> heard;
    manager.addChangeObserver([&](QVUndoManager::Change change, bool counts) { heard.emplace_back(change, counts); });

    EXPECT_EQ(manager.changeToken(), 0u);
    model.add("a");
    const quint64 afterA = manager.changeToken();
    model.add("b");
    const quint64 afterB = manager.changeToken();
    EXPECT_NE(afterA, afterB);
    EXPECT_EQ(manager.changeCount(), 2);

    // A group that does not count (folding) changes neither the count nor the token.
    manager.beginUndoGrouping();
    model.add("fold");
    manager.setActionCountsAsChange(false);
    manager.setActionName("Collapse Region");
    manager.endUndoGrouping();
    EXPECT_EQ(manager.changeCount(), 2);
    EXPECT_EQ(manager.changeToken(), afterB);
    EXPECT_EQ(manager.dump(), "undo \"Collapse Region\" 1 action uncounted\nundo \"\" 1 action\nundo \"\" 1 action\n");
    manager.undo();  // undoing it counts as nothing either
    EXPECT_EQ(manager.changeCount(), 2);
    EXPECT_EQ(manager.changeToken(), afterB);

    manager.undo();
    EXPECT_EQ(manager.changeToken(), afterA);
    EXPECT_EQ(manager.changeCount(), 1);
    manager.redo();
    EXPECT_EQ(manager.changeToken(), afterB);  // back to the same state
    manager.undo();
    model.add("c");  // a new state after an undo is never an old one
    EXPECT_NE(manager.changeToken(), afterB);
    EXPECT_NE(manager.changeToken(), afterA);

    using C = QVUndoManager::Change;
    const std::vector<std::pair<C, bool>> expected = {
        {C::Done, true}, {C::Done, true}, {C::Done, false}, {C::Undone, false},
        {C::Undone, true}, {C::Redone, true}, {C::Undone, true}, {C::Done, true},
    };
    EXPECT_EQ(heard, expected);
}

TEST(QVUndoManager, APostedCloseOfADeadManagerDoesNothing) {
    {
        QVUndoManager manager;
        Model model(manager);
        model.add("a");  // posts its close
    }
    EXPECT_GE(MainQueue::drain(), 1);
}

// --- Text changes -----------------------------------------------------------------------------

namespace {

struct Marker : QVTextAttachment {};

}  // namespace

TEST(QVTextChange, ApplyAnswersTheInverseWithAttachments) {
    QVTextStorage storage;
    storage.replaceCharacters(QVRange(0, 0), u"ab\uFFFCcd");
    auto marker = std::make_shared<Marker>();
    storage.addAttribute(QVTextStorage::AttachmentAttribute,
                         QVariant::fromValue(std::shared_ptr<QVTextAttachment>(marker)), QVRange(2, 1));

    QVTextChange replaceMiddle(QVRange(1, 3), "XY");
    QVTextChange inverse;
    ASSERT_FALSE(replaceMiddle.apply(storage, &inverse));
    EXPECT_EQ(storage.string(), "aXYd");
    EXPECT_EQ(inverse.range(), QVRange(1, 2));
    EXPECT_EQ(inverse.text(), QStringView(u"b\uFFFCc").toString());
    ASSERT_EQ(inverse.attachments().size(), 1u);
    EXPECT_EQ(inverse.attachments()[0].first, 1);

    QVTextChange again;
    ASSERT_FALSE(inverse.apply(storage, &again));
    EXPECT_EQ(storage.string(), QStringView(u"ab\uFFFCcd").toString());
    EXPECT_EQ(storage.attachmentAt(2).get(), marker.get());
    EXPECT_EQ(again.range(), QVRange(1, 3));
    EXPECT_EQ(storage.check(), "");

    EXPECT_TRUE(QVTextChange(QVRange(4, 5), "x").apply(storage));  // outside: an error, no change
    EXPECT_EQ(storage.string(), QStringView(u"ab\uFFFCcd").toString());
}

TEST(QVTextChange, TypingMergesOnlyNextToItsOwnEnd) {
    // The record undoes "typed" over (10, 2) that replaced "old".
    struct Case {
        const char* name;
        QVRange replaced;
        QString removed;
        qint64 inserted;
        bool merges;
        QVRange range;
        QString text;
    };
    const std::vector<Case> cases = {
        {"append", {12, 0}, "", 1, true, {10, 3}, "old"},
        {"delete backwards inside", {11, 1}, "x", 0, true, {10, 1}, "old"},
        {"delete forwards at the end", {12, 1}, "q", 0, true, {10, 2}, "oldq"},
        {"type over a selection at the end", {12, 2}, "qr", 1, true, {10, 3}, "oldqr"},
        {"insert elsewhere", {5, 0}, "", 1, false, {10, 2}, "old"},
        {"delete before while typed text remains", {9, 1}, "p", 0, false, {10, 2}, "old"},
    };
    for (const Case& c : cases) {
        QVTextChange record(QVRange(10, 2), "old");
        EXPECT_EQ(record.mergeTyping(c.replaced, c.removed, c.inserted, false), c.merges) << c.name;
        EXPECT_EQ(record.range(), c.range) << c.name;
        EXPECT_EQ(record.text(), c.text) << c.name;
    }
    // Backspacing past where typing began takes the characters before into the record.
    QVTextChange record(QVRange(10, 1), "");
    EXPECT_TRUE(record.mergeTyping(QVRange(10, 1), "t", 0, false));
    EXPECT_TRUE(record.mergeTyping(QVRange(9, 1), "p", 0, false));
    EXPECT_EQ(record.range(), QVRange(9, 0));
    EXPECT_EQ(record.text(), "p");
    EXPECT_FALSE(record.mergeTyping(QVRange(9, 0), "", 1, true));
}
