// Pictures of widgets at an opacity, out-of-range opacities drawn opaque.
#include "shell/ViewUtilities.h"

#include <QWidget>

#include <gtest/gtest.h>

namespace {

TEST(ViewUtilities, ImageWithAlphaDrawsTheWidgetAtThatOpacity) {
    QWidget view;
    view.resize(30, 20);
    view.setAutoFillBackground(true);
    QPalette palette = view.palette();
    palette.setColor(QPalette::Window, QColor(255, 0, 0));
    view.setPalette(palette);
    struct Case {
        double alpha;
        int expected;  // alpha of a pixel, 0 to 255
    };
    const Case cases[] = {{1.0, 255}, {0.5, 128}, {0.0, 0}, {1.5, 255}, {-0.2, 255}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.alpha);
        const QImage image = ViewUtilities::imageWithAlpha(&view, c.alpha);
        ASSERT_EQ(image.size(), QSize(30, 20));
        const QColor pixel = image.pixelColor(15, 10);
        EXPECT_NEAR(pixel.alpha(), c.expected, 2);
        if (c.expected) {
            EXPECT_EQ(pixel.red(), 255);
        }
    }
    EXPECT_TRUE(ViewUtilities::imageWithAlpha(nullptr, 1.0).isNull());
}

}  // namespace
