// The gradient bar as drawn: fill or gradient inside the borders, each border exactly its strip.
#include "shell/QVGradientBar.h"

#include <QImage>

#include <gtest/gtest.h>

namespace {

QColor pixel(const QImage& image, int x, int y) { return image.pixelColor(x, y); }

bool near(const QColor& a, const QColor& b, int slack = 3) {
    return std::abs(a.red() - b.red()) <= slack && std::abs(a.green() - b.green()) <= slack && std::abs(a.blue() - b.blue()) <= slack;
}

TEST(QVGradientBar, FillsBetweenTheBordersAndDrawsEachBorderOverItsStrip) {
    struct Case {
        const char* name;
        float top, right, bottom, left;
        QColor second;  // invalid: a flat fill
    };
    const QColor background(200, 220, 240), second(20, 40, 60);
    const QColor topColor(255, 0, 0), rightColor(0, 255, 0), bottomColor(0, 0, 255), leftColor(255, 255, 0);
    const Case cases[] = {
        {"flat, top border only", 1, 0, 0, 0, QColor()},
        {"flat, all borders", 2, 3, 4, 5, QColor()},
        {"gradient, top and bottom", 1, 0, 2, 0, second},
        {"gradient, no borders", 0, 0, 0, 0, second},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QVGradientBar bar;
        bar.resize(100, 40);
        bar.setBackgroundColor(background);
        bar.setBackgroundColor2(c.second);
        bar.setTopBorderWidth(c.top);
        bar.setRightBorderWidth(c.right);
        bar.setBottomBorderWidth(c.bottom);
        bar.setLeftBorderWidth(c.left);
        bar.setTopBorderColor(topColor);
        bar.setRightBorderColor(rightColor);
        bar.setBottomBorderColor(bottomColor);
        bar.setLeftBorderColor(leftColor);
        const QImage image = bar.grab().toImage();
        const int l = int(c.left), t = int(c.top), r = 100 - int(c.right) - 1, b = 40 - int(c.bottom) - 1;
        // Borders cover their whole strip, corners drawn by the later border (right over top).
        if (c.top > 0) {
            EXPECT_TRUE(near(pixel(image, 50, 0), topColor)) << pixel(image, 50, 0).name().toStdString();
        }
        if (c.top > 1) {
            EXPECT_TRUE(near(pixel(image, 50, t - 1), topColor));
        }
        if (c.right > 0) {
            EXPECT_TRUE(near(pixel(image, 99, 20), rightColor));
        }
        if (c.right > 0) {
            EXPECT_TRUE(near(pixel(image, 100 - int(c.right), 20), rightColor));
        }
        if (c.bottom > 0) {
            EXPECT_TRUE(near(pixel(image, 50, 39), bottomColor));
        }
        if (c.bottom > 0) {
            EXPECT_TRUE(near(pixel(image, 50, 40 - int(c.bottom)), bottomColor));
        }
        if (c.left > 0) {
            EXPECT_TRUE(near(pixel(image, 0, 20), leftColor));
        }
        if (c.left > 0) {
            EXPECT_TRUE(near(pixel(image, l - 1, 20), leftColor));
        }
        EXPECT_EQ(bar.fillRect(), QRectF(c.left, c.top, 100 - c.left - c.right, 40 - c.top - c.bottom));
        if (!c.second.isValid()) {
            // Flat, whatever the borders: the fill's corners and middle alike.
            for (const QPoint p : {QPoint(l, t), QPoint(r, b), QPoint(50, 20)})
                EXPECT_TRUE(near(pixel(image, p.x(), p.y()), background)) << p.x() << "," << p.y();
        } else {
            // The background colour at the fill's bottom, the second colour at its top.
            EXPECT_TRUE(near(pixel(image, 50, b), background, 12)) << pixel(image, 50, b).name().toStdString();
            EXPECT_TRUE(near(pixel(image, 50, t), second, 12)) << pixel(image, 50, t).name().toStdString();
            EXPECT_GT(pixel(image, 50, b).red(), pixel(image, 50, 20).red());
            EXPECT_GT(pixel(image, 50, 20).red(), pixel(image, 50, t).red());
        }
    }
}

}  // namespace
