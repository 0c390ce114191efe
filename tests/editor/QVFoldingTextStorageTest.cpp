// The text storage with collapsed regions: full and blank-substituted texts, the searches for
// regions, and the attachments' line counts.
#include "editor/QVFoldingTextStorage.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct OtherAttachment : QVTextAttachment {};

// Builds a storage from a visible text in which "#" marks a collapsed region; regions[i] is
// the full text of the i-th "#".
void fill(QVFoldingTextStorage& storage, const QString& visible, const QStringList& regions) {
    QString text = visible;
    text.replace(QLatin1Char('#'), QChar(QVTextAttachment::Character));
    storage.replaceCharacters(QVRange(0, storage.length()), text);
    qsizetype next = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text.at(i) != QChar(QVTextAttachment::Character)) continue;
        auto region = std::make_shared<QVFoldMarkerTextAttachment>();
        region->setString(regions.at(next++));
        storage.addAttribute(QVTextStorage::AttachmentAttribute,
                             QVariant::fromValue(std::shared_ptr<QVTextAttachment>(region)), QVRange(i, 1));
    }
}

}  // namespace

TEST(QVFoldingTextStorage, FullAndBlankTextsOfRanges) {
    struct Case {
        const char* name;
        QString visible;
        QStringList regions;
        QVRange range;
        QString full;
        QString blank;
    };
    const std::vector<Case> cases = {
        {"no region: all three agree", "abc\ndef", {}, {0, 7}, "abc\ndef", "abc\ndef"},
        {"one region", "f() {#}", {"\n  x;\n"}, {0, 7}, "f() {\n  x;\n}", "f() { }"},
        {"two regions, part of the text", "a#b#c", {"11", "222"}, {1, 3}, "11b222", " b "},
        {"a region at the start", "#z", {"head"}, {0, 2}, "headz", " z"},
        {"a range running past the end is cut", "ab#", {"xyz"}, {1, 10}, "bxyz", "b "},
        {"a range starting at the end is empty", "ab#", {"xyz"}, {3, 2}, "", ""},
        {"an empty range is empty", "ab#", {"xyz"}, {1, 0}, "", ""},
    };
    for (const Case& c : cases) {
        QVFoldingTextStorage storage;
        fill(storage, c.visible, c.regions);
        EXPECT_EQ(storage.fullStringInRange(c.range), c.full) << c.name;
        const QString blank = storage.stringWithoutAttachmentsInRange(c.range);
        EXPECT_EQ(blank, c.blank) << c.name;
        // Positions in the blank text are visible positions.
        EXPECT_EQ(blank.size(), c.range.intersection(QVRange(0, storage.length())).length) << c.name;
    }
    // The full text is longer by each region's text length less one.
    QVFoldingTextStorage storage;
    fill(storage, "a#b#c", {"11", "222"});
    EXPECT_EQ(storage.fullString().size(), storage.length() + (2 - 1) + (3 - 1));
    // A U+FFFC with another kind of attachment is an ordinary character.
    storage.addAttribute(QVTextStorage::AttachmentAttribute,
                         QVariant::fromValue(std::shared_ptr<QVTextAttachment>(std::make_shared<OtherAttachment>())),
                         QVRange(1, 1));
    EXPECT_EQ(storage.fullString(), QString(u'a') + QChar(QVTextAttachment::Character) + QStringLiteral("b222c"));
}

TEST(QVFoldingTextStorage, FindsTheFirstPreviousAndNextRegion) {
    QVFoldingTextStorage storage;
    // Regions at 0 and 6; another kind of attachment at 3.
    fill(storage, "#ab@cd#ef", {"zero", "six"});
    storage.addAttribute(QVTextStorage::AttachmentAttribute,
                         QVariant::fromValue(std::shared_ptr<QVTextAttachment>(std::make_shared<OtherAttachment>())),
                         QVRange(3, 1));
    auto textOf = [](const std::shared_ptr<QVFoldMarkerTextAttachment>& a) { return a ? a->string() : QStringLiteral("none"); };
    struct Case {
        const char* what;
        std::function<std::shared_ptr<QVFoldMarkerTextAttachment>()> find;
        QString expected;
    };
    const std::vector<Case> cases = {
        {"first in a range starting on a region", [&] { return storage.firstAttachmentInRange({0, 3}); }, "zero"},
        {"first after another attachment", [&] { return storage.firstAttachmentInRange({1, 8}); }, "six"},
        {"first when the region lies past the range", [&] { return storage.firstAttachmentInRange({1, 5}); }, "none"},
        {"previous from a later index", [&] { return storage.previousAttachmentBeforeIndex(5); }, "zero"},
        {"previous at a region", [&] { return storage.previousAttachmentBeforeIndex(6); }, "six"},
        {"previous from the end", [&] { return storage.previousAttachmentBeforeIndex(storage.length()); }, "six"},
        {"previous from past the end", [&] { return storage.previousAttachmentBeforeIndex(500); }, "six"},
        {"next from the start", [&] { return storage.nextAttachmentAfterIndex(0); }, "zero"},
        {"next over another attachment", [&] { return storage.nextAttachmentAfterIndex(1); }, "six"},
        {"next after the last", [&] { return storage.nextAttachmentAfterIndex(7); }, "none"},
        {"next at the end", [&] { return storage.nextAttachmentAfterIndex(storage.length()); }, "none"},
    };
    for (const Case& c : cases) EXPECT_EQ(textOf(c.find()), c.expected) << c.what;
    QVRange run;
    ASSERT_TRUE(storage.nextAttachmentAfterIndex(4, &run));
    EXPECT_EQ(run, QVRange(6, 1));
    // A region at 0 is found backwards from every later index.
    for (qint64 index = 0; index <= 5; ++index) EXPECT_EQ(textOf(storage.previousAttachmentBeforeIndex(index)), "zero") << index;
}

TEST(QVFoldingTextStorage, AttachmentsHoldExpandedTextAndCountTheirLines) {
    struct Case {
        QString text;
        quint64 lines;
    };
    for (const Case& c : std::vector<Case>{{"\n  indented\n", 2}, {"\n  indented", 2}, {"", 0}, {"one", 1}, {"a\r\nb\rc", 3}}) {
        QVFoldMarkerTextAttachment region;
        region.setString(c.text);
        EXPECT_EQ(region.numberOfLines(), c.lines) << c.text.toStdString();
    }
    EXPECT_EQ(QVFoldMarkerTextAttachment::emptyRepresentation(), " ");

    // Collapsing a range that holds a collapsed region keeps the inner one's text expanded.
    QVFoldingTextStorage storage;
    fill(storage, "outer { inner {#} }", {" body "});
    auto outer = storage.attachmentForRange(QVRange(7, 11));
    EXPECT_EQ(outer->string(), " inner { body } ");
    EXPECT_FALSE(outer->string().contains(QChar(QVTextAttachment::Character)));
    EXPECT_EQ(storage.length(), 19);  // the storage itself is unchanged
    EXPECT_FALSE(storage.foldMarkerImage().isNull());
    EXPECT_EQ(outer->image().cacheKey(), storage.foldMarkerImage().cacheKey());
}
