// The editor's layout manager: marks for blanks, tabs and line ends in the invisibles colour.
#include "editor/QVEditorNotifications.h"
#include "editor/QVLayoutManager.h"
#include "platform/NotificationCenter.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QImage>
#include <QPainter>

#include <gtest/gtest.h>

#include <cmath>

namespace {

const QColor Marks(0, 200, 0);

QImage draw(QVTextLayoutManager& manager, qint64 line = 0) {
    QImage image(300, 40, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    manager.drawLine(painter, line, QPointF(0, 0), {}, QRectF(image.rect()));
    painter.end();
    return image;
}

// Pixels of the colour (give or take antialiasing) in the columns [from, to).
int inked(const QImage& image, const QColor& color, qreal from, qreal to) {
    int n = 0;
    for (int x = std::max(0, int(from)); x < std::min(image.width(), int(std::ceil(to))); ++x)
        for (int y = 0; y < image.height(); ++y) {
            const QColor c(image.pixel(x, y));
            if (c != QColor(Qt::white) && std::abs(c.red() - color.red()) < 90 && std::abs(c.green() - color.green()) < 90 &&
                std::abs(c.blue() - color.blue()) < 90)
                ++n;
        }
    return n;
}

struct Fixture {
    QVTextStorage storage;
    QVLayoutManager manager;
    explicit Fixture(const QString& text) {
        storage.replaceCharacters(QVRange(0, 0), text);
        QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font.setPointSize(12);
        manager.setFont(font);
        manager.setTextStorage(&storage);
        manager.setInvisiblesColor(Marks);
    }
};

}  // namespace

TEST(QVLayoutManager, WithMarksOffDrawingIsThePlatformsAlone) {
    Fixture fixture("a b\tc\r\n");
    fixture.manager.setShowInvisibleCharacters(false);
    QVTextLayoutManager plain;
    plain.setFont(fixture.manager.font());
    plain.setTextStorage(&fixture.storage);
    EXPECT_EQ(draw(fixture.manager), draw(plain));
    fixture.manager.setShowInvisibleCharacters(true);
    EXPECT_NE(draw(fixture.manager), draw(plain));
}

TEST(QVLayoutManager, MarksStandWhereTheirCharactersAreAndCRLFShowsTwoPilcrows) {
    Fixture fixture("ab \tc\r\n");
    fixture.manager.setShowInvisibleCharacters(true);
    EXPECT_EQ(fixture.manager.markColor(), Marks);
    const QImage image = draw(fixture.manager);
    QVLayoutManager& m = fixture.manager;
    const qreal pilcrow = QFontMetricsF(m.markFont()).horizontalAdvance(QVLayoutManager::newLineCharacter());
    const qreal end = m.caretRect(5).left();
    // Nothing under the letters, a dot for the blank, an ellipsis for the tab, two pilcrows.
    EXPECT_EQ(inked(image, Marks, 0, m.caretRect(2).left()), 0);
    EXPECT_GT(inked(image, Marks, m.caretRect(2).left(), m.caretRect(3).left()), 0);
    EXPECT_GT(inked(image, Marks, m.caretRect(3).left(), m.caretRect(4).left()), 0);
    EXPECT_GT(inked(image, Marks, end, end + pilcrow), 3);
    EXPECT_GT(inked(image, Marks, end + pilcrow, end + 2 * pilcrow), 3);
    EXPECT_EQ(inked(image, Marks, end + 2 * pilcrow + 1, image.width()), 0);

    // A lone line feed shows one.
    Fixture single("c\n");
    single.manager.setShowInvisibleCharacters(true);
    const QImage one = draw(single.manager);
    const qreal afterC = single.manager.caretRect(1).left();
    EXPECT_GT(inked(one, Marks, afterC, afterC + pilcrow), 3);
    EXPECT_EQ(inked(one, Marks, afterC + pilcrow + 1, one.width()), 0);
}

TEST(QVLayoutManager, AThemeChangeRecoloursTheMarksAndPreferencesAreReadAgain) {
    Fixture fixture(" \n");
    fixture.manager.setShowInvisibleCharacters(true);
    const QColor red(220, 0, 0);
    fixture.manager.setInvisiblesColor(red);
    EXPECT_GT(inked(draw(fixture.manager), red, 0, 300), 0);
    EXPECT_EQ(inked(draw(fixture.manager), Marks, 0, 300), 0);
    fixture.manager.setInvisiblesColor(QColor());
    EXPECT_EQ(fixture.manager.markColor(), QColor(Qt::gray));

    UserDefaults::standard().setBool(true, QVShowInvisibles);
    QFont stored = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    stored.setPointSize(17);
    Defaults::setDefaultFont(stored);
    fixture.manager.setShowInvisibleCharacters(false);
    NotificationCenter::defaultCenter().post(QString::fromLatin1(QorvelEditorPrefsChange));
    EXPECT_TRUE(fixture.manager.showInvisibleCharacters());
    EXPECT_EQ(fixture.manager.markFont().pointSize(), 17);
    UserDefaults::standard().removeObject(QVShowInvisibles);
    UserDefaults::standard().removeObject(QVDefaultFontKey);
    Defaults::resetDefaults();
    NotificationCenter::defaultCenter().post(QString::fromLatin1(QorvelEditorPrefsChange));
    EXPECT_FALSE(fixture.manager.showInvisibleCharacters());
    EXPECT_DOUBLE_EQ(fixture.manager.markFont().pointSizeF(), 11.0);
}
