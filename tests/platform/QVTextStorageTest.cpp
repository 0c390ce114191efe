// The attributed text storage: edits, attribute runs, ranges, lines, batches and observers.
#include "platform/QVTextStorage.h"

#include <QColor>
#include <QFont>

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <vector>

namespace {

const QString Color = QVTextStorage::ForegroundColorAttribute;
const QColor Red(255, 0, 0);
const QColor Blue(0, 0, 255);

// One letter per character for the colour attribute: R red, B blue, - none.
QString colorMap(const QVTextStorage& storage) {
    QString out;
    for (qint64 i = 0; i < storage.length(); ++i) {
        const QVariant v = storage.attribute(Color, i);
        out += !v.isValid() ? u'-' : v.value<QColor>() == Red ? u'R' : v.value<QColor>() == Blue ? u'B' : u'?';
    }
    return out;
}

std::vector<qint64> lineStarts(const QVTextStorage& storage) {
    std::vector<qint64> starts;
    for (qint64 i = 0; i < storage.lineCount(); ++i) starts.push_back(storage.lineStart(i));
    return starts;
}

struct Region : QVTextAttachment {
    QString text;
};

}  // namespace

// Outside the anonymous namespace, so that its type name in dumps is plain.
struct QVTextStorageTestParser {
    QString name;
};
using FakeParser = QVTextStorageTestParser;

TEST(QVTextStorage, EditsKeepTextLinesAndRunsTogether) {
    // "abc\r\ndef\nxy": red over "abc", blue over "\r\nd".
    struct Case {
        const char* name;
        QVRange range;
        QString replacement;
        QString text;
        std::vector<qint64> lines;
        QString colors;
    };
    const std::vector<Case> cases = {
        {"insert at start", {0, 0}, "Z", "Zabc\r\ndef\nxy", {0, 6, 10}, "RRRRBBB-----"},
        {"insert in the middle", {7, 0}, "Z", "abc\r\ndeZf\nxy", {0, 5, 10}, "RRRBBB------"},
        {"insert at end", {11, 0}, "Z", "abc\r\ndef\nxyZ", {0, 5, 9}, "RRRBBB------"},
        {"insert at a run end takes the run before", {3, 0}, "Z", "abcZ\r\ndef\nxy", {0, 6, 10}, "RRRRBBB-----"},
        {"delete at start", {0, 1}, "", "bc\r\ndef\nxy", {0, 4, 8}, "RRBBB-----"},
        {"delete in the middle", {6, 1}, "", "abc\r\ndf\nxy", {0, 5, 8}, "RRRBBB----"},
        {"delete at end", {10, 1}, "", "abc\r\ndef\nx", {0, 5, 9}, "RRRBBB----"},
        {"delete across runs", {2, 4}, "", "abef\nxy", {0, 5}, "RR-----"},
        {"replace across runs takes the first replaced", {1, 5}, "Q", "aQef\nxy", {0, 5}, "RR-----"},
        {"insert between CR and LF", {4, 0}, "Z", "abc\rZ\ndef\nxy", {0, 4, 6, 10}, "RRRBBBB-----"},
        {"delete LF of CRLF", {4, 1}, "", "abc\rdef\nxy", {0, 4, 8}, "RRRBB-----"},
        {"delete CR of CRLF", {3, 1}, "", "abc\ndef\nxy", {0, 4, 8}, "RRRBB-----"},
        {"CRLF becomes LF CR", {3, 2}, "\n\r", "abc\n\rdef\nxy", {0, 4, 5, 9}, "RRRBBB-----"},
        {"CR before LF joins", {8, 0}, "\r", "abc\r\ndef\r\nxy", {0, 5, 10}, "RRRBBB------"},
        {"text ending in CR before LF", {4, 0}, "x\r", "abc\rx\r\ndef\nxy", {0, 4, 7, 11}, "RRRBBBBB-----"},
        {"replace everything", {0, 11}, "new\n", "new\n", {0, 4}, "RRRR"},
        {"delete everything", {0, 11}, "", "", {0}, ""},
        {"insert several lines", {6, 0}, "1\r\n2\r3\n", "abc\r\nd1\r\n2\r3\nef\nxy", {0, 5, 9, 11, 13, 16},
         "RRRBBBBBBBBBB-----"},
        {"delete a whole line", {5, 4}, "", "abc\r\nxy", {0, 5}, "RRRBB--"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QVTextStorage storage;
        ASSERT_TRUE(storage.replaceCharacters({0, 0}, u"abc\r\ndef\nxy").isNull());
        storage.addAttribute(Color, Red, {0, 3});
        storage.addAttribute(Color, Blue, {3, 3});
        ASSERT_EQ(colorMap(storage), "RRRBBB-----");

        EXPECT_TRUE(storage.replaceCharacters(c.range, c.replacement).isNull());
        EXPECT_EQ(storage.string().toStdString(), c.text.toStdString());
        EXPECT_EQ(lineStarts(storage), c.lines);
        EXPECT_EQ(colorMap(storage).toStdString(), c.colors.toStdString());
        EXPECT_EQ(storage.check().toStdString(), "");
    }
}

TEST(QVTextStorage, RunsMergeAndSplit) {
    QVTextStorage storage;
    storage.replaceCharacters({0, 0}, u"0123456789");
    QFont font(QStringLiteral("Monospace"), 11);
    const QString fontDump = QStringLiteral("font(%1)").arg(font.toString());
    struct Step {
        const char* name;
        std::function<void()> op;
        QString dump;
    };
    const std::vector<Step> steps = {
        {"set", [&] { storage.addAttribute(Color, Red, {2, 3}); },
         "foreground-color: [0,2)=none [2,5)=#ff0000 [5,10)=none\n"},
        {"extend: equal neighbours merge", [&] { storage.addAttribute(Color, Red, {5, 2}); },
         "foreground-color: [0,2)=none [2,7)=#ff0000 [7,10)=none\n"},
        {"split in three", [&] { storage.addAttribute(Color, Blue, {3, 1}); },
         "foreground-color: [0,2)=none [2,3)=#ff0000 [3,4)=#0000ff [4,7)=#ff0000 [7,10)=none\n"},
        {"same colour again: one run", [&] { storage.addAttribute(Color, Red, {3, 1}); },
         "foreground-color: [0,2)=none [2,7)=#ff0000 [7,10)=none\n"},
        {"a second attribute", [&] { storage.addAttribute(QVTextStorage::MultiLineAttribute, true, {6, 4}); },
         "foreground-color: [0,2)=none [2,7)=#ff0000 [7,10)=none\nmulti-line: [0,6)=none [6,10)=true\n"},
        {"setAttributes replaces every attribute",
         [&] { storage.setAttributes({{QVTextStorage::FontAttribute, font}}, {1, 7}); },
         "font: [0,1)=none [1,8)=" + fontDump + " [8,10)=none\n"
         "multi-line: [0,8)=none [8,10)=true\n"},
        {"remove over everything", [&] { storage.removeAttribute(QVTextStorage::MultiLineAttribute, {0, 10}); },
         "font: [0,1)=none [1,8)=" + fontDump + " [8,10)=none\n"},
        {"deleting a run's text removes the run", [&] { storage.replaceCharacters({1, 7}, u""); }, ""},
        {"translucent colours keep their alpha", [&] { storage.addAttribute(Color, QColor(1, 2, 3, 4), {0, 3}); },
         "foreground-color: [0,3)=#04010203\n"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        step.op();
        EXPECT_EQ(storage.dump().toStdString(), step.dump.toStdString());
        EXPECT_EQ(storage.check().toStdString(), "");
    }
}

TEST(QVTextStorage, EffectiveAndLongestEffectiveRanges) {
    QVTextStorage storage;
    storage.replaceCharacters({0, 0}, u"0123456789");
    storage.addAttribute(Color, Red, {2, 6});
    storage.addAttribute(QVTextStorage::MultiLineAttribute, true, {5, 5});
    // Cut the red run and join it again: the run must come back whole, not as two pieces.
    storage.addAttribute(Color, Blue, {4, 1});
    storage.addAttribute(Color, Red, {4, 1});

    struct Case {
        const char* name;
        QString attribute;
        qint64 index;
        std::optional<QVRange> inRange;
        QVariant value;
        QVRange range;
    };
    const std::vector<Case> cases = {
        {"inside a run", Color, 5, {}, Red, {2, 6}},
        {"before the run", Color, 0, {}, {}, {0, 2}},
        {"after the run", Color, 9, {}, {}, {8, 2}},
        {"clipped to a range", Color, 5, QVRange(4, 3), Red, {4, 3}},
        {"clip larger than the run", Color, 3, QVRange(0, 10), Red, {2, 6}},
        {"clip past the text", Color, 9, QVRange(9, 100), {}, {9, 1}},
        {"index outside the clip", Color, 1, QVRange(4, 3), {}, {0, 0}},
        {"past the end", Color, 10, {}, {}, {0, 0}},
        {"negative index", Color, -1, {}, {}, {0, 0}},
        {"unknown attribute", "underline", 3, {}, {}, {0, 10}},
        {"boolean run", QVTextStorage::MultiLineAttribute, 5, {}, true, {5, 5}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QVRange range(-7, -7);
        const QVariant value = c.inRange ? storage.attribute(c.attribute, c.index, &range, *c.inRange)
                                         : storage.attribute(c.attribute, c.index, &range);
        EXPECT_EQ(value, c.value);
        EXPECT_EQ(range, c.range);
    }

    QVRange range;
    EXPECT_EQ(storage.attributes(6, &range),
              (QVariantMap{{Color, Red}, {QVTextStorage::MultiLineAttribute, true}}));
    EXPECT_EQ(range, QVRange(5, 3));
    EXPECT_EQ(storage.attributes(1, &range), QVariantMap());
    EXPECT_EQ(range, QVRange(0, 2));
    EXPECT_EQ(storage.attributes(10, &range), QVariantMap());
    EXPECT_EQ(range, QVRange(0, 0));
    EXPECT_EQ(storage.check().toStdString(), "");
}

TEST(QVTextStorage, BatchesReportTheirUnionAndLengthChange) {
    using E = QVTextStorage;
    struct Case {
        const char* name;
        std::function<void(QVTextStorage&)> ops;
        std::vector<std::tuple<int, QVRange, qint64>> reports;  // mask, range, change in length
    };
    const std::vector<Case> cases = {
        {"a lone insert is its own batch", [](QVTextStorage& s) { s.replaceCharacters({5, 0}, u"abc"); },
         {{E::EditedCharacters, {5, 3}, 3}}},
        {"nested batches report once at the outermost end",
         [](QVTextStorage& s) {
             s.beginEditing();
             s.beginEditing();
             s.replaceCharacters({2, 3}, u"ab");  // "01ab56789"
             s.endEditing();
             s.addAttribute(Color, Red, {7, 1});
             s.replaceCharacters({0, 0}, u"xyz");  // carries the earlier range 3 to the right
             s.endEditing();
         },
         {{E::EditedCharacters | E::EditedAttributes, {0, 11}, 2}}},
        {"a later delete swallows the earlier edit",
         [](QVTextStorage& s) {
             s.beginEditing();
             s.replaceCharacters({5, 2}, u"QQQQ");  // "01234QQQQ789"
             s.replaceCharacters({3, 8}, u"");      // "0129"
             s.endEditing();
         },
         {{E::EditedCharacters, {3, 0}, -6}}},
        {"an edit before the earlier one shifts it",
         [](QVTextStorage& s) {
             s.beginEditing();
             s.addAttribute(Color, Red, {6, 2});
             s.replaceCharacters({1, 2}, u"");
             s.endEditing();
         },
         {{E::EditedCharacters | E::EditedAttributes, {1, 5}, -2}}},
        {"attributes only: where a value changed (removing what is not there changes nothing)",
         [](QVTextStorage& s) {
             s.beginEditing();
             s.addAttribute(Color, Red, {1, 2});
             s.removeAttribute(Color, {5, 1});
             s.endEditing();
         },
         {{E::EditedAttributes, {1, 2}, 0}}},
        {"values set again as they were: an empty range at the start",
         [](QVTextStorage& s) {
             s.addAttribute(Color, Red, {2, 6});
             s.beginEditing();
             s.addAttribute(Color, Red, {1, 3});   // one more character red
             s.addAttribute(Color, Red, {4, 4});   // red already
             s.endEditing();
             s.beginEditing();
             s.addAttribute(Color, Red, {1, 7});
             s.endEditing();
         },
         {{E::EditedAttributes, {2, 6}, 0}, {E::EditedAttributes, {1, 1}, 0}, {E::EditedAttributes, {1, 0}, 0}}},
        {"two batches, two reports",
         [](QVTextStorage& s) {
             s.replaceCharacters({0, 1}, u"");
             s.addAttribute(Color, Blue, {0, 9});
         },
         {{E::EditedCharacters, {0, 0}, -1}, {E::EditedAttributes, {0, 9}, 0}}},
        {"an empty batch and no-op calls report nothing",
         [](QVTextStorage& s) {
             s.beginEditing();
             s.endEditing();
             s.replaceCharacters({4, 0}, u"");
             s.addAttribute(Color, Red, {4, 0});
         },
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QVTextStorage storage;
        storage.replaceCharacters({0, 0}, u"0123456789");
        std::vector<QVTextStorage::Edit> edits;
        storage.addObserver([&](const QVTextStorage::Edit& e) {
            // The storage answers the batch being reported while observers run.
            EXPECT_EQ(storage.editedRange(), e.editedRange);
            EXPECT_EQ(storage.changeInLength(), e.changeInLength);
            EXPECT_EQ(storage.revision(), e.revision);
            edits.push_back(e);
        });
        c.ops(storage);
        ASSERT_EQ(edits.size(), c.reports.size());
        for (size_t i = 0; i < edits.size(); ++i) {
            EXPECT_EQ(edits[i].editedMask, std::get<0>(c.reports[i])) << i;
            EXPECT_EQ(edits[i].editedRange, std::get<1>(c.reports[i])) << i;
            EXPECT_EQ(edits[i].changeInLength, std::get<2>(c.reports[i])) << i;
        }
        EXPECT_EQ(storage.editedMask(), 0);
        EXPECT_EQ(storage.changeInLength(), 0);
        EXPECT_TRUE(storage.editedRange().isNotFound());
        EXPECT_EQ(storage.check().toStdString(), "");
    }
}

TEST(QVTextStorage, EveryChangeBumpsTheRevisionAndRefusalsChangeNothing) {
    QVTextStorage storage;
    EXPECT_EQ(storage.revision(), 0u);
    storage.replaceCharacters({0, 0}, u"hello\nworld");
    storage.addAttribute(Color, Red, {0, 5});
    const quint64 start = storage.revision();
    EXPECT_EQ(start, 2u);

    struct Case {
        const char* name;
        std::function<QVError()> op;
        bool changes;
    };
    const qint64 huge = std::numeric_limits<qint64>::max();
    const std::vector<Case> cases = {
        {"replace", [&] { return storage.replaceCharacters({0, 1}, u"H"); }, true},
        {"attribute", [&] { return storage.addAttribute(Color, Blue, {6, 5}); }, true},
        {"attributes", [&] { return storage.addAttributes({{Color, Red}}, {1, 1}); }, true},
        {"set attributes", [&] { return storage.setAttributes({}, {0, 2}); }, true},
        {"remove", [&] { return storage.removeAttribute(Color, {0, 11}); }, true},
        {"range past the end", [&] { return storage.replaceCharacters({5, 7}, u"x"); }, false},
        {"negative location", [&] { return storage.replaceCharacters({-1, 1}, u"x"); }, false},
        {"negative length", [&] { return storage.addAttribute(Color, Red, {3, -1}); }, false},
        {"not-found location", [&] { return storage.removeAttribute(Color, {QVRange::NotFound, 0}); }, false},
        {"length that overflows", [&] { return storage.setAttributes({}, {5, huge}); }, false},
    };
    quint64 expected = start;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString before = storage.string();
        const QString dump = storage.dump();
        const QVError error = c.op();
        EXPECT_EQ(error.isNull(), c.changes);
        if (c.changes) {
            ++expected;
        } else {
            EXPECT_EQ(error.domain(), "QVTextStorageErrorDomain");
            EXPECT_FALSE(error.localizedDescription().isEmpty());
            EXPECT_EQ(storage.string(), before);
            EXPECT_EQ(storage.dump(), dump);
        }
        EXPECT_EQ(storage.revision(), expected);
    }
    // An unmatched end is ignored.
    storage.endEditing();
    EXPECT_EQ(storage.editingDepth(), 0);
    EXPECT_EQ(storage.check().toStdString(), "");
}

TEST(QVTextStorage, ObserversThatEditOrLeaveDuringAReport) {
    QVTextStorage storage;
    std::vector<QString> log;
    QVTextStorage::ObserverToken second = 0;
    QVTextStorage::ObserverToken fourth = 0;
    storage.addObserver([&](const QVTextStorage::Edit& e) {
        log.push_back(QStringLiteral("first %1").arg(e.changeInLength));
        // A highlighter-like reaction: colour what was typed, a change of its own.
        if (e.editedMask & QVTextStorage::EditedCharacters) storage.addAttribute(Color, Red, e.editedRange);
    });
    second = storage.addObserver([&](const QVTextStorage::Edit& e) {
        log.push_back(QStringLiteral("second %1").arg(e.changeInLength));
        storage.removeObserver(second);
        storage.removeObserver(fourth);  // later in this very round: it must not be called
    });
    storage.addObserver([&](const QVTextStorage::Edit& e) { log.push_back(QStringLiteral("third %1 %2").arg(e.editedMask).arg(e.revision)); });
    fourth = storage.addObserver([&](const QVTextStorage::Edit&) { log.push_back(QStringLiteral("fourth")); });

    storage.replaceCharacters({0, 0}, u"abc");
    // The attribute change made by the first observer is reported after every observer has
    // seen the insert; the second observer left during the first report and took the fourth.
    EXPECT_EQ(log, (std::vector<QString>{"first 3", "second 3", "third 1 1", "first 0", "third 2 2"}));
    EXPECT_EQ(colorMap(storage), "RRR");
    EXPECT_EQ(storage.check().toStdString(), "");
}

TEST(QVTextStorage, ViewsOfTheTextAndSelfInsertion) {
    QVTextStorage storage(4);  // pieces too long to be merged
    storage.replaceCharacters({0, 0}, u"0123456789");
    storage.replaceCharacters({5, 0}, u"-");  // three pieces now
    EXPECT_EQ(storage.characters({2, 7}), u"234-567");
    QStringList parts;
    storage.segments({0, 11}, [&](QStringView part) { parts << part.toString(); });
    EXPECT_EQ(parts, QStringList({"01234", "-", "56789"}));
    EXPECT_EQ(storage.substring({9, 2}), "89");
    EXPECT_EQ(storage.characterAt(5), QChar(u'-'));
    EXPECT_TRUE(storage.characterAt(11).isNull());
    EXPECT_TRUE(storage.characters({5, 100}).isEmpty());
    EXPECT_TRUE(storage.substring({-1, 2}).isEmpty());

    // Inserting a view of the storage's own characters (a copy across pieces, or a piece), which
    // the edit itself replaces.
    storage.replaceCharacters({3, 5}, storage.characters({2, 5}));
    EXPECT_EQ(storage.string().toStdString(), "012234-5789");
    storage.replaceCharacters({0, 11}, storage.characters({5, 1}));
    EXPECT_EQ(storage.string().toStdString(), "4");
    storage.replaceCharacters({0, 1}, u"01234-56789");
    storage.replaceCharacters({0, 0}, storage.characters({0, 11}));
    EXPECT_EQ(storage.string().toStdString(), "01234-5678901234-56789");
    storage.replaceCharacters({22, 0}, storage.characters({0, 22}));
    EXPECT_EQ(storage.string().toStdString(), "01234-5678901234-5678901234-5678901234-56789");
    EXPECT_EQ(storage.check().toStdString(), "");
}

TEST(QVTextStorage, LineRanges) {
    QVTextStorage storage;
    storage.replaceCharacters({0, 0}, u"ab\r\ncd\n\ref\r");
    // Lines: "ab\r\n" [0,4), "cd\n" [4,7), "\r" [7,8), "ef\r" [8,11), "" [11,11).
    EXPECT_EQ(storage.lineCount(), 5);
    struct Case {
        qint64 line;
        QVRange range;
        qint64 contentsEnd;
    };
    for (const Case& c : std::vector<Case>{{0, {0, 4}, 2}, {1, {4, 3}, 6}, {2, {7, 1}, 7}, {3, {8, 3}, 10}, {4, {11, 0}, 11}}) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(storage.lineRange(c.line), c.range);
        EXPECT_EQ(storage.lineContentsEnd(c.line), c.contentsEnd);
    }
    EXPECT_TRUE(storage.lineRange(5).isNotFound());
    EXPECT_EQ(storage.lineStart(-1), QVRange::NotFound);

    struct RangeCase {
        QVRange range;
        QVRange lines;
    };
    for (const RangeCase& c : std::vector<RangeCase>{
             {{0, 0}, {0, 4}}, {{3, 0}, {0, 4}}, {{3, 2}, {0, 7}}, {{4, 3}, {4, 3}}, {{5, 4}, {4, 7}},
             {{11, 0}, {11, 0}}, {{9, 50}, {8, 3}}, {{-3, 1}, {0, 4}}}) {
        SCOPED_TRACE(c.range.location);
        EXPECT_EQ(storage.lineRangeForRange(c.range), c.lines);
    }
    EXPECT_EQ(storage.lineOfPosition(3), 0);  // between CR and LF
    EXPECT_EQ(storage.lineOfPosition(11), 4);
    EXPECT_EQ(storage.lineOfPosition(100), 4);
}

TEST(QVTextStorage, ParsersAndAttachmentsAreComparedByIdentity) {
    QVTextStorage storage;
    storage.replaceCharacters({0, 0}, u"<p>x</p>\uFFFC!");
    auto html = std::make_shared<FakeParser>(FakeParser{"text.html"});
    auto twin = std::make_shared<FakeParser>(FakeParser{"text.html"});
    storage.addAttribute(QVTextStorage::ParserAttribute, QVariant::fromValue(html), {0, 4});
    storage.addAttribute(QVTextStorage::ParserAttribute, QVariant::fromValue(twin), {4, 4});
    storage.addAttribute(QVTextStorage::ParserAttribute, QVariant::fromValue(html), {3, 1});

    QVRange range;
    EXPECT_EQ(QVTextStorage::objectOf<FakeParser>(storage.attribute(QVTextStorage::ParserAttribute, 2, &range)), html.get());
    EXPECT_EQ(range, QVRange(0, 4));
    EXPECT_EQ(QVTextStorage::objectOf<FakeParser>(storage.attribute(QVTextStorage::ParserAttribute, 4, &range)), twin.get());
    EXPECT_EQ(QVTextStorage::objectOf<Region>(storage.attribute(QVTextStorage::ParserAttribute, 4)), nullptr);
    EXPECT_EQ(QVTextStorage::objectOf<FakeParser>(QVariant(3)), nullptr);

    auto region = std::make_shared<Region>();
    region->text = "hidden\ntext";
    std::weak_ptr<Region> watch = region;
    storage.addAttribute(QVTextStorage::AttachmentAttribute,
                         QVariant::fromValue(std::shared_ptr<QVTextAttachment>(region)), {8, 1});
    region.reset();
    EXPECT_EQ(storage.dump().toStdString(),
              "attachment: [0,8)=none [8,9)=attachment#1 [9,10)=none\n"
              "parser: [0,4)=std::shared_ptr<QVTextStorageTestParser>#1 [4,8)=std::shared_ptr<QVTextStorageTestParser>#2 [8,10)=none\n");
    EXPECT_EQ(storage.characterAt(8), QChar(QVTextAttachment::Character));
    ASSERT_NE(storage.attachmentAt(8, &range), nullptr);
    EXPECT_EQ(std::static_pointer_cast<Region>(storage.attachmentAt(8))->text, "hidden\ntext");
    EXPECT_EQ(range, QVRange(8, 1));
    EXPECT_EQ(storage.attachmentAt(7), nullptr);

    // Text typed right after the attachment character does not take the attachment over.
    storage.replaceCharacters({9, 0}, u"zz");
    EXPECT_EQ(storage.attachmentAt(9), nullptr);
    ASSERT_NE(storage.attachmentAt(8, &range), nullptr);
    EXPECT_EQ(range, QVRange(8, 1));

    // Expanding the region: the attachment goes with its character.
    storage.replaceCharacters({8, 1}, u"hidden\ntext");
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(storage.check().toStdString(), "");
}

TEST(QVTextStorage, RandomEditsMatchANaiveModel) {
    // Thousands of edits and attribute changes in random batches against a plain string with one
    // colour per character; each report must cover every change of its batch. Pieces of a few
    // characters split, drop and merge at every edit; the text is read back in every way.
    for (const qsizetype chunkSize : {qsizetype(4), qsizetype(16), PieceText::DefaultChunkSize}) {
        SCOPED_TRACE(chunkSize);
        std::mt19937 rng(424242);
        const char16_t alphabet[] = {u'a', u'b', u'\r', u'\n', u' '};
        QVTextStorage storage(chunkSize);
        QString text;
        QString colors;  // '-', 'R', 'B'
        QVTextStorage::Edit last;
        int reports = 0;
        storage.addObserver([&](const QVTextStorage::Edit& e) {
            last = e;
            ++reports;
        });
        for (int batch = 0; batch < 400; ++batch) {
            const QString oldText = text;
            const QString oldColors = colors;
            const int before = reports;
            storage.beginEditing();
            const int edits = 1 + int(rng() % 8);
            for (int i = 0; i < edits; ++i) {
                const qint64 size = text.size();
                if (rng() % 3 == 0 && size > 0) {
                    const qint64 location = qint64(rng() % size_t(size));
                    const qint64 length = 1 + qint64(rng() % size_t(std::min<qint64>(size - location, 10)));
                    const int pick = int(rng() % 3);
                    const QChar code = QChar(u"-RB"[pick]);
                    if (pick == 0) storage.removeAttribute(Color, {location, length});
                    else storage.addAttribute(Color, pick == 1 ? Red : Blue, {location, length});
                    for (qint64 k = location; k < location + length; ++k) colors[k] = code;
                } else {
                    const qint64 location = qint64(rng() % size_t(size + 1));
                    const qint64 removed = qint64(rng() % size_t(std::min<qint64>(size - location, 6) + 1));
                    QString inserted;
                    const int count = rng() % 5 == 0 ? int(rng() % 30) : int(rng() % 3);
                    for (int k = 0; k < count; ++k) inserted += QChar(alphabet[rng() % 5]);
                    QChar inherit = u'-';
                    if (!colors.isEmpty()) inherit = colors[removed > 0 ? location : std::max<qint64>(location - 1, 0)];
                    storage.replaceCharacters({location, removed}, inserted);
                    text.replace(location, removed, inserted);
                    colors.replace(location, removed, QString(inserted.size(), inherit));
                }
            }
            storage.endEditing();

            ASSERT_EQ(storage.string().toStdString(), text.toStdString());
            ASSERT_EQ(colorMap(storage).toStdString(), colors.toStdString());
            if (text != oldText || colors != oldColors) {
                ASSERT_EQ(reports, before + 1);
                ASSERT_EQ(last.changeInLength, text.size() - oldText.size());
                // Outside the reported range, the new state is the old one: the same before it, and
                // the same after it once shifted by the change in length.
                const QVRange r = last.editedRange;
                ASSERT_GE(r.location, 0);
                ASSERT_LE(r.end(), text.size()) << "batch " << batch;
                const qint64 tail = text.size() - r.end();
                ASSERT_GE(oldText.size() - tail, r.location) << "batch " << batch;
                ASSERT_EQ(text.left(r.location), oldText.left(r.location)) << "batch " << batch;
                ASSERT_EQ(colors.left(r.location), oldColors.left(r.location)) << "batch " << batch;
                ASSERT_EQ(text.right(tail), oldText.right(tail)) << "batch " << batch;
                ASSERT_EQ(colors.right(tail), oldColors.right(tail)) << "batch " << batch;
            }
            ASSERT_EQ(storage.check().toStdString(), "") << "batch " << batch;
            for (int read = 0; read < 4; ++read) {
                const qint64 from = qint64(rng() % size_t(text.size() + 1));
                const qint64 count = qint64(rng() % size_t(text.size() - from + 1));
                const QString expected = text.mid(from, count);
                ASSERT_EQ(storage.characters({from, count}).toString(), expected);
                QString joined;
                storage.segments({from, count}, [&](QStringView part) { joined += part; });
                ASSERT_EQ(joined, expected);
                ASSERT_EQ(storage.substring({from, count}), expected);
                if (from < text.size()) {
                    ASSERT_EQ(storage.characterAt(from), text[from]);
                }
                const qint64 line = storage.lineOfPosition(from);
                const QVRange range = storage.lineRange(line);
                const QStringView contents = QStringView(text).mid(range.location, storage.lineContentsEnd(line) - range.location);
                ASSERT_FALSE(contents.contains(u'\n') || contents.contains(u'\r')) << "batch " << batch;
            }
        }
        EXPECT_EQ(storage.check().toStdString(), "");
    }
}

namespace {

// The colour map walked run by run, which keeps it linear on large texts.
QString colorMapByRuns(const QVTextStorage& storage) {
    QString out;
    out.reserve(storage.length());
    QVRange run;
    for (qint64 i = 0; i < storage.length(); i = run.end()) {
        const QVariant v = storage.attribute(Color, i, &run);
        const QChar code = !v.isValid() ? u'-' : v.value<QColor>() == Red ? u'R' : v.value<QColor>() == Blue ? u'B' : u'?';
        if (run.length <= 0) return out + QStringLiteral("<empty run at %1>").arg(i);
        out += QString(run.length, code);
    }
    return out;
}

std::vector<qint64> naiveLineStarts(const QString& text) {
    std::vector<qint64> starts{0};
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == u'\n' || (text[i] == u'\r' && (i + 1 == text.size() || text[i + 1] != u'\n')))
            starts.push_back(i + 1);
    }
    return starts;
}

}  // namespace

TEST(QVTextStorage, EditsAlternatingBetweenFarEndsOfALargeText) {
    // 30,000 lines under some 180,000 colour runs: the edits jump between the start, the end and
    // the middle, so that every container carries its pending work across the whole text.
    QString text;
    QString colors;
    for (int line = 0; line < 30000; ++line) {
        text += QStringLiteral("var item%1 = call(value);").arg(line % 1000, 3, 10, QLatin1Char('0'));
        text += line % 7 == 0 ? QStringLiteral("\r\n") : QStringLiteral("\n");
    }
    colors = QString(text.size(), u'-');
    QVTextStorage storage;
    storage.beginEditing();
    storage.replaceCharacters({0, 0}, text);
    for (qint64 start = 0; start + 20 < text.size(); start += 27) {
        storage.addAttribute(Color, Red, {start, 3});
        storage.addAttribute(Color, Blue, {start + 4, 7});
        storage.addAttribute(Color, Red, {start + 14, 4});
        for (qint64 k = 0; k < 3; ++k) colors[start + k] = u'R';
        for (qint64 k = 4; k < 11; ++k) colors[start + k] = u'B';
        for (qint64 k = 14; k < 18; ++k) colors[start + k] = u'R';
    }
    storage.endEditing();
    ASSERT_EQ(colorMapByRuns(storage), colors);

    std::mt19937 rng(17);
    const QString pieces[] = {u"x"_qs, u"ab"_qs, u"\n"_qs, u"\r"_qs, u"q\r\n"_qs};
    for (int step = 0; step < 3000; ++step) {
        const qint64 size = text.size();
        const int where = step % 5 == 4 ? 2 : step % 2;  // start, end, and now and then the middle
        const qint64 near = qint64(rng() % 40);
        const qint64 location = where == 0 ? near : where == 1 ? std::max<qint64>(size - near, 0) : size / 2 + near;
        const int op = int(rng() % 3);
        if (op == 0 && location < size) {
            const qint64 length = std::min<qint64>(1 + qint64(rng() % 12), size - location);
            const int pick = int(rng() % 3);
            if (pick == 0) storage.removeAttribute(Color, {location, length});
            else storage.addAttribute(Color, pick == 1 ? Red : Blue, {location, length});
            for (qint64 k = location; k < location + length; ++k) colors[k] = QChar(u"-RB"[pick]);
        } else {
            const qint64 removed = op == 1 ? std::min<qint64>(qint64(rng() % 4), size - location) : 0;
            const QString inserted = op == 1 && rng() % 2 ? QString() : pieces[rng() % 5];
            QChar inherit = u'-';
            if (!colors.isEmpty()) inherit = colors[removed > 0 ? location : std::max<qint64>(location - 1, 0)];
            ASSERT_TRUE(storage.replaceCharacters({location, removed}, inserted).isNull());
            text.replace(location, removed, inserted);
            colors.replace(location, removed, QString(inserted.size(), inherit));
        }
        // Right where the edit happened, and far from it.
        ASSERT_EQ(storage.length(), text.size());
        for (const qint64 probe : {location - 1, location, text.size() - 1 - location, text.size() / 3}) {
            if (probe < 0 || probe >= text.size()) continue;
            ASSERT_EQ(storage.characterAt(probe), text[probe]) << "step " << step << " at " << probe;
            const QVariant v = storage.attribute(Color, probe);
            const QChar code = !v.isValid() ? u'-' : v.value<QColor>() == Red ? u'R' : u'B';
            ASSERT_EQ(code, colors[probe]) << "step " << step << " at " << probe;
        }
        if (step % 500 == 499) {
            ASSERT_EQ(storage.check().toStdString(), "") << "step " << step;
            ASSERT_EQ(lineStarts(storage), naiveLineStarts(text)) << "step " << step;
        }
    }
    EXPECT_EQ(storage.string(), text);
    EXPECT_EQ(colorMapByRuns(storage), colors);
    EXPECT_EQ(lineStarts(storage), naiveLineStarts(text));
    EXPECT_EQ(storage.check().toStdString(), "");
}
