// The results outline's row geometry: origins, hit tests and bands against a plain recount, as
// rows come and go in any order.
#include "tools/QVVariableHeightRowGeometry.h"

#include <gtest/gtest.h>

#include <random>

namespace {

// file, match, match, file, match with a spacing of 2.
QVVariableHeightRowGeometry example() {
    QVVariableHeightRowGeometry g;
    g.setSpacing(2);
    g.insertRows(0, {25, 16, 16, 25, 16});
    return g;
}

TEST(RowGeometry, OriginsHitsAndBands) {
    const QVVariableHeightRowGeometry g = example();
    const double origins[] = {0, 27, 45, 63, 90};
    for (int row = 0; row < 5; ++row) EXPECT_EQ(g.originOfRow(row), origins[row]) << row;

    const struct {
        double y;
        int row;
    } hits[] = {{-3, 0}, {0, 0}, {26.5, 0}, {27, 1}, {44.9, 1}, {45, 2}, {89.99, 3}, {107.9, 4}, {108, -1}, {5000, -1}};
    for (const auto& h : hits) EXPECT_EQ(g.rowAtY(h.y), h.row) << h.y;

    const struct {
        double top, height;
        int first, count;
    } bands[] = {
        {30, 40, 1, 3},   // starts inside row 1, ends inside row 3
        {0, 27, 0, 1},    // exactly row 0 with its spacing
        {0, 27.5, 0, 2},  // reaches into row 1
        {100, 500, 4, 1}, {200, 10, 0, 0}, {-50, 10, 0, 1},
    };
    for (const auto& b : bands)
        EXPECT_EQ(g.rowsInBand(b.top, b.height), std::make_pair(b.first, b.count)) << b.top << "+" << b.height;

    // Past the end: directly below the last row with its height; nothing at all without rows.
    EXPECT_EQ(g.rectOfRow(4, 300), QRectF(0, 90, 300, 18));
    EXPECT_EQ(g.rectOfRow(9, 300), QRectF(0, 106, 300, 16));
    EXPECT_EQ(QVVariableHeightRowGeometry().rectOfRow(0, 300), QRectF());
    EXPECT_EQ(QVVariableHeightRowGeometry().rowAtY(0), -1);
    EXPECT_EQ(QVVariableHeightRowGeometry().rowsInBand(0, 100), std::make_pair(0, 0));
    EXPECT_EQ(g.totalHeight(), 108);

    // A single digit's badge is a point wider than its text; two digits are not.
    const QRectF r(10, 0, 200, 21);
    EXPECT_EQ(QVVariableHeightRowGeometry::countBadgeRect(r, QSizeF(6, 13), 7), QRectF(210 - 7 - 13, 4, 7, 13));
    EXPECT_EQ(QVVariableHeightRowGeometry::countBadgeRect(r, QSizeF(12, 13), 12), QRectF(210 - 12 - 13, 4, 12, 13));
}

// Rows inserted, removed and resized anywhere, spacing changed, queried in between: every
// origin and hit equals a recount from scratch (a lazy layout that forgets a change would not).
TEST(RowGeometry, ChangesAnywhereAgreeWithARecount) {
    std::mt19937 random(7);
    QVVariableHeightRowGeometry g;
    std::vector<float> heights;
    for (int step = 0; step < 400; ++step) {
        const int op = int(random() % 5);
        const int at = heights.empty() ? 0 : int(random() % (heights.size() + 1));
        if (op <= 1) {
            std::vector<float> added(random() % 4 + 1);
            for (float& h : added) h = random() % 2 ? 25 : 16;
            g.insertRows(at, added);
            heights.insert(heights.begin() + at, added.begin(), added.end());
        } else if (op == 2 && !heights.empty()) {
            const int from = std::min(at, int(heights.size()) - 1);
            const int n = std::min(int(random() % 3 + 1), int(heights.size()) - from);
            g.removeRows(from, n);
            heights.erase(heights.begin() + from, heights.begin() + from + n);
        } else if (op == 3 && !heights.empty()) {
            const int row = int(random() % heights.size());
            heights[size_t(row)] = float(10 + random() % 20);
            g.setHeight(row, heights[size_t(row)]);
        } else if (op == 4) {
            g.setSpacing(double(random() % 3));
        }
        ASSERT_EQ(g.count(), int(heights.size()));
        double y = 0;
        for (size_t row = 0; row < heights.size(); ++row) {
            ASSERT_EQ(g.originOfRow(int(row)), y) << "step " << step << " row " << row;
            ASSERT_EQ(g.rowAtY(y + heights[row] / 2), int(row)) << "step " << step;
            y += heights[row] + g.spacing();
        }
        ASSERT_EQ(g.rowAtY(y), -1);
    }
}

}  // namespace
