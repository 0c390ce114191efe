// The project window's split: the stored width as a window takes it, collapse and restore, the
// minimum width under a drag of the grip.
#include "platform/UserDefaults.h"
#include "projects/windows/QVSplitView.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QTest>

#include <cmath>
#include <limits>

namespace {

struct Window {
    QWidget top;
    QVSplitView* split = new QVSplitView(&top);
    QLabel* grip = new QLabel(QStringLiteral("⋮"));
    explicit Window(int width = 800) {
        auto* left = new QWidget;
        grip->setParent(left);
        grip->setGeometry(0, 370, 15, 15);
        split->setPanes(left, new QWidget);
        split->setSplitterHandle(grip);
        top.resize(width, 400);
        split->resize(width, 400);
        top.show();
        QTest::qWait(1);
    }
};

// Presses the grip, moves to x in the split's coordinates and lets go.
void dragGrip(Window& window, int x) {
    const QPointF inside = window.grip->rect().center();
    const QPointF global = window.split->mapToGlobal(QPointF(x, 10));
    for (auto [type, at] : {std::pair{QEvent::MouseButtonPress, window.grip->mapToGlobal(inside)}, std::pair{QEvent::MouseMove, global},
                            std::pair{QEvent::MouseButtonRelease, global}}) {
        QMouseEvent event(type, inside, at, Qt::LeftButton, type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, {});
        QApplication::sendEvent(window.grip, &event);
    }
}

// The width a test stores would be every later project window's: gone again when the test ends.
struct ForgetsTheWidth {
    ~ForgetsTheWidth() { UserDefaults::standard().removeObject(QVSplitView::WidthKey); }
};

}  // namespace

TEST(SplitView, StoredWidthIsTakenWithinTheWindowAndMalformedValuesAreIgnored) {
    const struct {
        const char* what;
        QVariant stored;
        int expected;
    } cases[] = {
        {"absent", QVariant(), QVSplitView::DefaultPaneWidth},
        {"a fraction is floored", 230.7, 230},
        {"below the minimum", 120, QVSplitView::MinimumPaneWidth},
        {"collapsed", 0, 0},
        {"negative", -40, QVSplitView::DefaultPaneWidth},
        {"not a number", QStringLiteral("wide"), QVSplitView::DefaultPaneWidth},
        {"NaN", std::numeric_limits<double>::quiet_NaN(), QVSplitView::DefaultPaneWidth},
        {"wider than the window leaves the right pane", 5000, 800 - 1 - 100},
    };
    const ForgetsTheWidth forget;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        UserDefaults::standard().setObject(c.stored, QVSplitView::WidthKey);
        Window window;
        EXPECT_EQ(window.split->leftPaneWidth(), c.expected);
        EXPECT_EQ(window.split->isLeftPaneCollapsed(), c.expected == 0);
        EXPECT_EQ(UserDefaults::standard().integerForKey(QVSplitView::WidthKey), c.expected);
    }
}

TEST(SplitView, TogglesRestoreTheWidthAndAGripDragKeepsTheMinimum) {
    const ForgetsTheWidth forget;
    UserDefaults::standard().setInteger(200, QVSplitView::WidthKey);
    Window window;
    ASSERT_EQ(window.split->leftPaneWidth(), 200);
    window.split->toggleLeftPane();
    EXPECT_TRUE(window.split->isLeftPaneCollapsed());
    EXPECT_EQ(UserDefaults::standard().integerForKey(QVSplitView::WidthKey), 0);
    window.split->toggleLeftPane();
    EXPECT_EQ(window.split->leftPaneWidth(), 200);

    // Collapsed at launch: the first restore gives the minimum.
    UserDefaults::standard().setInteger(0, QVSplitView::WidthKey);
    Window collapsed;
    ASSERT_TRUE(collapsed.split->isLeftPaneCollapsed());
    collapsed.split->toggleLeftPane();
    EXPECT_EQ(collapsed.split->leftPaneWidth(), QVSplitView::MinimumPaneWidth);

    // The grip drags the divider; never below the minimum, and the release stores the width.
    const struct {
        int x;
        int expected;
    } drags[] = {{60, QVSplitView::MinimumPaneWidth}, {321, 321}, {5000, 800 - 1 - 100}};
    for (const auto& d : drags) {
        SCOPED_TRACE(d.x);
        dragGrip(window, d.x);
        EXPECT_EQ(window.split->leftPaneWidth(), d.expected);
        EXPECT_EQ(UserDefaults::standard().integerForKey(QVSplitView::WidthKey), d.expected);
    }

    // A double click on the divider collapses the pane.
    QSplitterHandle* divider = window.split->handle(1);
    QTest::mouseDClick(divider, Qt::LeftButton);
    EXPECT_TRUE(window.split->isLeftPaneCollapsed());
}
