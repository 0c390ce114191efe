// The gutter's marker tree against a plain sorted list given the same edits: every marker where
// the list has it, lookups by index and by position alike, walks both ways.
#include "editor/QVFoldMarkerList.h"

#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

// What replace() promises, done the slow way.
void replaceInModel(std::vector<QVFoldMarker>& model, qint64 from, qint64 to, qint64 change, const std::vector<QVFoldMarker>& found) {
    std::vector<QVFoldMarker> next;
    for (const QVFoldMarker& m : model)
        if (m.glyphIndex() < from) next.push_back(m);
    next.insert(next.end(), found.begin(), found.end());
    for (QVFoldMarker m : model) {
        if (m.glyphIndex() < to) continue;
        m.setGlyphIndex(m.glyphIndex() + change);
        next.push_back(m);
    }
    model = std::move(next);
}

}  // namespace

TEST(QVFoldMarkerList, FollowsEditsLikeASortedList) {
    struct Case {
        const char* name;
        int markers;     // at the start, every 10 characters
        int edits;
        qint64 mostSpan;  // of the text an edit replaces
    };
    const Case cases[] = {
        {"empty, filled by edits", 0, 300, 40},
        {"typing among a few", 12, 300, 3},
        {"big edits among many", 3000, 200, 2000},
        {"small edits among many", 3000, 400, 12},
    };
    for (const Case& c : cases) {
        QRandomGenerator random(uint(c.markers * 7 + c.edits));
        QVFoldMarkerList list;
        std::vector<QVFoldMarker> model;
        for (int i = 0; i < c.markers; ++i) model.emplace_back(qint64(i) * 10, QVFoldMarkerState(i % 4));
        ASSERT_FALSE(list.replace(0, 0, 0, {}));
        list.replace(0, 1, 0, model);
        qint64 length = qint64(c.markers) * 10 + 10;
        for (int step = 0; step < c.edits; ++step) {
            const qint64 from = random.bounded(length + 1);
            const qint64 to = std::min(length, from + random.bounded(c.mostSpan + 1));
            const qint64 inserted = random.bounded(c.mostSpan + 1);
            const qint64 change = inserted - (to - from);
            // New markers anywhere in the new text of the edit, a few characters apart.
            std::vector<QVFoldMarker> found;
            for (qint64 at = from + random.bounded(4); at < from + inserted; at += 1 + random.bounded(6)) {
                QVFoldMarker marker(at, QVFoldMarkerState(random.bounded(4)));
                marker.setNumberOfLines(random.bounded(3));
                found.push_back(marker);
            }
            const std::vector<QVFoldMarker> before = model;
            replaceInModel(model, from, to, change, found);
            list.replace(from, to, change, found);
            length += change;
            ASSERT_EQ(list.check(), QString()) << c.name << " step " << step;
            ASSERT_EQ(list.all(), model) << c.name << " step " << step;
        }
        // Lookups by index and by position, and walks that stop where asked.
        for (qsizetype i = 0; i < qsizetype(model.size()); i += 1 + qsizetype(model.size()) / 50) {
            EXPECT_EQ(list.at(i), model[size_t(i)]) << c.name;
            const qint64 g = model[size_t(i)].glyphIndex();
            EXPECT_EQ(list.lowerBound(g), i) << c.name;
            EXPECT_EQ(list.lowerBound(g + 1), i + 1) << c.name;
            std::vector<qsizetype> forward, backward;
            list.walk(i, qsizetype(model.size()), true, [&](qsizetype j, const QVFoldMarker& m) {
                EXPECT_EQ(m, model[size_t(j)]);
                forward.push_back(j);
                return forward.size() < 5;
            });
            list.walk(0, i + 1, false, [&](qsizetype j, const QVFoldMarker& m) {
                EXPECT_EQ(m, model[size_t(j)]);
                backward.push_back(j);
                return backward.size() < 5;
            });
            ASSERT_FALSE(forward.empty());
            EXPECT_EQ(forward.front(), i);
            EXPECT_EQ(forward.size(), std::min<size_t>(5, model.size() - size_t(i)));
            EXPECT_EQ(backward.front(), i);
            EXPECT_EQ(backward.size(), std::min<size_t>(5, size_t(i) + 1));
        }
        EXPECT_EQ(list.lowerBound(length + 100), qsizetype(model.size()));
    }
}

// A big page has a marker on most lines: what the list holds for each is a good part of what
// the page costs beside its text, so it stays near the bytes a marker needs, however the markers
// came in (all at once, or slice by slice as colouring reaches them), and a collapsed marker's
// hidden line count costs only the markers that have one.
TEST(QVFoldMarkerList, HoldsFewBytesPerMarker) {
    struct Case {
        const char* name;
        int slices;  // edits that bring the markers in, one after the other along the text
        int collapsedEvery;  // every n-th marker holds hidden lines (0: none)
    };
    const Case cases[] = {{"at once", 1, 0}, {"slice by slice", 400, 0}, {"some collapsed", 400, 1000}};
    constexpr int kMarkers = 200000;
    for (const Case& c : cases) {
        QVFoldMarkerList list;
        const int perSlice = kMarkers / c.slices;
        for (int s = 0; s < c.slices; ++s) {
            std::vector<QVFoldMarker> found;
            for (int i = s * perSlice; i < (s + 1) * perSlice; ++i) {
                QVFoldMarker marker(qint64(i) * 40, QVFoldMarkerState(i % 2));
                if (c.collapsedEvery && i % c.collapsedEvery == 0) {
                    marker.setState(QVFoldMarkerState::Collapsed);
                    marker.setNumberOfLines(i + 3);
                }
                found.push_back(marker);
            }
            list.replace(qint64(s) * perSlice * 40, qint64(s) * perSlice * 40, 0, found);
        }
        ASSERT_EQ(list.size(), kMarkers) << c.name;
        ASSERT_EQ(list.check(), QString()) << c.name;
        if (c.collapsedEvery) {
            EXPECT_EQ(list.at(c.collapsedEvery).numberOfLines(), c.collapsedEvery + 3) << c.name;
        }
        // 32 bytes a marker, plus a slot's worth of slack and what the collapsed ones add.
        EXPECT_LE(list.bytesHeld(), qsizetype(kMarkers) * 32 + 64 * 1024) << c.name;
    }
}
