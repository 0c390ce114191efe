// Colours as text, tinting, and the desktop's icons at requested sizes.
#include "shell/ColorUtilities.h"
#include "shell/ImageTint.h"
#include "shell/WorkspaceUtilities.h"

#include "tests/support/TestSupport.h"

#include <QPainter>

#include <gtest/gtest.h>

#include <climits>

using CU = ColorUtilities;

namespace {
std::string rgba(const QColor& c) {
    return QString::asprintf("%d,%d,%d,%d", c.red(), c.green(), c.blue(), c.alpha()).toStdString();
}
}  // namespace

TEST(ColorUtilities, ReadsBareHex) {
    const struct {
        const char* text;
        QColor color;
    } rows[] = {
        {"ff8000", QColor(255, 128, 0)},
        {"#FF8000", QColor(255, 128, 0)},
        {"FF8000", QColor(255, 128, 0)},
        {"F", QColor(0, 0, 15)},           // padded to 00000F
        {"#F", QColor(0, 0, 15)},          // padded first, so the "#" stays and counts 0
        {"0A0B", QColor(0, 10, 11)},
        {"#ABCDE", QColor(0xAB, 0xCD, 0xE0)},  // a digit missing at the end counts 0
        {"zz8000", QColor(0, 128, 0)},
        {"", QColor(0, 0, 0)},
        {"123456789", QColor(0x12, 0x34, 0x56)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        const QColor c = CU::rgbFromHex(QLatin1String(row.text));
        EXPECT_EQ(rgba(c), rgba(row.color));
    }
}

TEST(ColorUtilities, WritesBareHexAndSnapsToWebSafe) {
    const QColor orange = QColor::fromRgbF(1.0f, 0.5f, 0.0f);
    EXPECT_EQ(CU::hexValueWebsafe(orange, false), QStringLiteral("FF8000"));
    EXPECT_EQ(CU::hexValueWebsafe(orange, true), QStringLiteral("FF3300"));
    EXPECT_EQ(CU::hexValueWebsafe(QColor(18, 52, 86), false), QStringLiteral("123456"));
    EXPECT_EQ(CU::hexValueWebsafe(QColor::fromHsv(0, 255, 255), false), QStringLiteral("FF0000"));

    const struct {
        const char* in;
        const char* out;
    } rows[] = {
        {"FFFFFF", "FFFFFF"}, {"C0C0C0", "666666"}, {"123456", "003366"}, {"7F7F7F", "CCCCCC"},
        {"ffffff", "000000"}, {"000000", "000000"}, {"E0E0E0", "666666"}, {"ABCDE", "99CC66"},
        {"", ""},
    };
    for (const auto& row : rows)
        EXPECT_EQ(CU::webSafeHexValueFromString(QLatin1String(row.in)), QLatin1String(row.out)) << row.in;
    // Every output digit pair is web-safe for every input pair.
    for (int v = 0; v < 256; ++v) {
        const QString pair = CU::webSafeHexValueFromString(QString::asprintf("%02X", v));
        ASSERT_EQ(pair.size(), 2);
        EXPECT_EQ(pair.at(0), pair.at(1));
        EXPECT_TRUE(QStringLiteral("0369CF").contains(pair.at(0))) << v;
    }
}

TEST(ColorUtilities, StyleStrings) {
    const struct {
        const char* text;
        bool valid;
        QColor color;
    } rows[] = {
        {"#ff800080", true, QColor(255, 128, 0, 128)},
        {"#ff8000", true, QColor(255, 128, 0, 255)},
        {"#FF8000", true, QColor(255, 128, 0, 255)},
        {"#zz8000", true, QColor(255, 128, 0, 255)},        // not hexadecimal: 255
        {"#ff8000ff00", true, QColor(255, 128, 0, 255)},    // alpha only at exactly nine
        {"#ff8000 0", true, QColor(255, 128, 0, 0)},
        {"ff8000", false, {}},
        {"", false, {}},
        {"#", false, {}},
        {"#ff80", false, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        const QColor c = CU::colorFromStyleString(QLatin1String(row.text));
        EXPECT_EQ(c.isValid(), row.valid);
        if (row.valid) {
            EXPECT_EQ(rgba(c), rgba(row.color));
        }
    }

    EXPECT_EQ(CU::styleString(QColor(Qt::red)), QStringLiteral("#ff0000ff"));
    EXPECT_EQ(CU::styleString(QColor(Qt::red), false), QStringLiteral("#ff0000"));
    EXPECT_EQ(CU::styleString(QColor::fromRgbF(0.5f, 0.5f, 0.5f, 0.5f)), QStringLiteral("#7f7f7f7f"));
    // Every 8-bit colour survives writing and reading back.
    for (int v = 0; v < 256; ++v) {
        const QColor c(v, 255 - v, (v * 7) % 256, (v * 13) % 256);
        ASSERT_EQ(rgba(CU::colorFromStyleString(CU::styleString(c))), rgba(c)) << v;
        ASSERT_EQ(rgba(CU::rgbFromHex(CU::hexValueWebsafe(c, false))), rgba(QColor(c.red(), c.green(), c.blue())));
    }

    const struct {
        const char* text;
        int value;
    } ints[] = {{"ff", 255}, {"0x1A", 26}, {"  7f", 127}, {"12g", 18}, {"zz", 255},
                {"", 255},   {"0x", 0},    {"FFFFFFFFFF", INT_MAX}};
    for (const auto& row : ints) EXPECT_EQ(CU::integerFromHexString(QLatin1String(row.text)), row.value) << row.text;

    EXPECT_NEAR(CU::bottomToolbarBorderColor().redF(), 0.41, 1e-3);
    EXPECT_NEAR(CU::bottomToolbarBackgroundColor().greenF(), 0.88, 1e-3);
    EXPECT_EQ(CU::bottomToolbarBackgroundColor().alpha(), 255);
}

TEST(ImageTint, TintsDrawnPixelsAndLeavesTheOriginalAlone) {
    // Left half opaque red, right column half-transparent green, the rest transparent.
    QImage source(4, 4, QImage::Format_ARGB32);
    source.fill(Qt::transparent);
    for (int y = 0; y < 4; ++y) {
        source.setPixelColor(0, y, QColor(255, 0, 0));
        source.setPixelColor(1, y, QColor(255, 0, 0));
        source.setPixelColor(3, y, QColor(0, 255, 0, 128));
    }
    const QImage before = source.copy();

    const QImage tinted = ImageTint::tintedImageWithColor(source, QColor(0, 0, 255));
    ASSERT_EQ(tinted.size(), source.size());
    EXPECT_EQ(source, before);
    EXPECT_EQ(source.format(), QImage::Format_ARGB32);
    for (int y = 0; y < 4; ++y) {
        EXPECT_EQ(rgba(tinted.pixelColor(0, y)), rgba(QColor(0, 0, 255)));
        EXPECT_EQ(tinted.pixelColor(2, y).alpha(), 0);
        const QColor half = tinted.pixelColor(3, y);
        EXPECT_NEAR(half.alpha(), 128, 1);
        EXPECT_EQ(half.red(), 0);
        EXPECT_EQ(half.green(), 0);
        EXPECT_NEAR(half.blue(), 255, 2);
    }

    // Source-over covers everything, transparent pixels included.
    const QImage over = ImageTint::tintedImageWithColor(source, QColor(0, 0, 255), ImageTint::SourceOver);
    EXPECT_EQ(rgba(over.pixelColor(2, 0)), rgba(QColor(0, 0, 255)));
    // Source-in keeps only the colour, where pixels were drawn.
    const QImage in = ImageTint::tintedImageWithColor(source, QColor(0, 0, 255), ImageTint::SourceIn);
    EXPECT_EQ(in.pixelColor(2, 0).alpha(), 0);
    EXPECT_EQ(rgba(in.pixelColor(1, 0)), rgba(QColor(0, 0, 255)));

    EXPECT_TRUE(ImageTint::tintedImageWithColor(source, Qt::blue, 11).isNull());
    EXPECT_TRUE(ImageTint::tintedImageWithColor(source, Qt::blue, 999).isNull());
    EXPECT_TRUE(ImageTint::tintedImageWithColor(QImage(), Qt::blue).isNull());
    EXPECT_EQ(source, before);
}

TEST(WorkspaceUtilities, IconsComeAtTheRequestedSize) {
    for (const QSize size : {QSize(16, 16), QSize(32, 32), QSize(20, 10)}) {
        SCOPED_TRACE(size.width());
        const QImage file = WorkspaceUtilities::fileIconOfSize(size);
        const QImage folder = WorkspaceUtilities::folderIconOfSize(size);
        EXPECT_EQ(file.size(), size);
        EXPECT_EQ(folder.size(), size);
        EXPECT_NE(file, folder);
        EXPECT_EQ(WorkspaceUtilities::fileIconOfSize(size), file);
        EXPECT_EQ(WorkspaceUtilities::iconWithHFSType(WorkspaceUtilities::GenericFolderType, size), folder);
        EXPECT_EQ(WorkspaceUtilities::iconWithHFSType(QVFileTypeCode("docu"), size), file);
        // Unknown type codes still get an icon.
        EXPECT_EQ(WorkspaceUtilities::iconWithHFSType(QVFileTypeCode("zzzz"), size).size(), size);
    }
    EXPECT_EQ(QVFileTypeCode("fldr"), 0x666C6472u);

    TestDir dir;
    const QString page = dir.write(QStringLiteral("index.html"), "<html></html>");
    EXPECT_EQ(WorkspaceUtilities::iconForFile(page, QSize(16, 16)).size(), QSize(16, 16));
    EXPECT_EQ(WorkspaceUtilities::iconForFile(dir.path(), QSize(16, 16)),
              WorkspaceUtilities::iconForFile(dir.path(), QSize(16, 16)));
    EXPECT_TRUE(WorkspaceUtilities::iconForFile(QString(), QSize(16, 16)).isNull());
    EXPECT_TRUE(WorkspaceUtilities::imageFromIcon(QIcon(), QSize(16, 16)).isNull());
    EXPECT_TRUE(WorkspaceUtilities::fileIconOfSize(QSize(0, 0)).isNull());
}
