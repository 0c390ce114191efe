// File views: which view a path gets, images shown at their pixel size with the scrollers where
// they do not fit, images saved as the bytes they were read from, and broken images refused.
#include "editor/QVFileView.h"

#include "editor/HTMLView.h"
#include "editor/QVFileDocument.h"
#include "editor/QVImageFileView.h"
#include "editor/QVSnippetFileView.h"
#include "editor/QVTextFileView.h"
#include "platform/NotificationCenter.h"
#include "shell/Defaults.h"
#include "shell/QVGradientBar.h"
#include "tests/support/TestSupport.h"

#include <QBuffer>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QTest>
#include <QtEndian>

#include <gtest/gtest.h>

namespace {

QByteArray png(int width, int height, int dotsPerMeter = 0) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(QColor(30, 120, 200));
    if (dotsPerMeter) {
        image.setDotsPerMeterX(dotsPerMeter);
        image.setDotsPerMeterY(dotsPerMeter);
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

quint32 crc32(const QByteArray& bytes) {
    quint32 crc = 0xffffffffu;
    for (const char c : bytes) {
        crc ^= quint8(c);
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// A valid PNG whose header claims width x height pixels.
QByteArray pngClaiming(quint32 width, quint32 height) {
    QByteArray bytes = png(4, 4);
    // Signature (8), length (4), "IHDR" (4), then width and height; the CRC covers type and data.
    qToBigEndian(width, bytes.data() + 16);
    qToBigEndian(height, bytes.data() + 20);
    qToBigEndian(crc32(bytes.mid(12, 17)), bytes.data() + 29);
    return bytes;
}

TEST(QVFileView, EachPathGetsTheFirstViewThatCanShowIt) {
    TestDir dir;
    const QString snippets = Defaults::appSupportPathForFile(QStringLiteral("snippets"));
    ASSERT_TRUE(QDir().mkpath(snippets));
    struct Case {
        QString path;
        QByteArray bytes;
        const char* kind;
    };
    const Case cases[] = {
        {dir.file(QStringLiteral("page.html")), "<p>", "text"},
        {dir.file(QStringLiteral("picture.png")), png(3, 2), "image"},
        {dir.file(QStringLiteral("photo.JPEG.txt")), "x", "text"},
        {dir.file(QStringLiteral("README")), "plain words\n", "text"},
        {snippets + QStringLiteral("/logo.png"), png(3, 2), "snippet"},
        {snippets + QStringLiteral("/Group/table.html"), "<table>", "snippet"},
        {snippets + QStringLiteral("-old/a.html"), "<p>", "text"},
        {QString(), {}, "text"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.toStdString());
        if (!c.path.isEmpty()) {
            QDir().mkpath(QFileInfo(c.path).path());
            QFile file(c.path);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(c.bytes);
        }
        QVFileDocument document(c.path);
        QVFileView* view = document.fileView();
        ASSERT_NE(view, nullptr);
        const std::string kind = dynamic_cast<QVSnippetFileView*>(view) ? "snippet"
                                 : dynamic_cast<QVImageFileView*>(view) ? "image"
                                 : dynamic_cast<QVTextFileView*>(view)  ? "text"
                                                                        : "none";
        EXPECT_EQ(kind, c.kind);
        EXPECT_EQ(document.textView() == nullptr, kind == "image");
        EXPECT_EQ(view->textView(), document.textView());
        EXPECT_NE(view->mainView(), nullptr);
        // Closing the document closes its view; a text view says so with its editor.
        int closings = 0;
        const void* closed = nullptr;
        const auto token = NotificationCenter::defaultCenter().addObserver(QString::fromLatin1(QVTextViewIsClosing), nullptr,
                                                                           [&](const Notification& n) { ++closings, closed = n.object; });
        document.close();
        NotificationCenter::defaultCenter().removeObserver(token);
        EXPECT_EQ(closings, kind == "image" ? 0 : 1);
        EXPECT_EQ(closed, static_cast<const void*>(document.textView()));
    }
}

TEST(QVFileView, ImagesShowAtTheirPixelSizeWithScrollersWhereTheyDoNotFit) {
    TestDir dir;
    struct Case {
        const char* name;
        QByteArray bytes;
    };
    // 144 dpi and an "@2x" name must not halve what is shown: one pixel is one point.
    const Case cases[] = {
        {"plain.png", png(300, 200)},
        {"print.png", png(300, 200, 5669)},
        {"retina@2x.png", png(300, 200)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = dir.write(QString::fromLatin1(c.name), c.bytes);
        QVFileDocument document(path);
        QVError error;
        ASSERT_TRUE(document.load(&error)) << error.localizedDescription().toStdString();
        auto* view = dynamic_cast<QVImageFileView*>(document.fileView());
        ASSERT_NE(view, nullptr);
        EXPECT_EQ(view->imageSize(), QSizeF(380, 200));
        EXPECT_EQ(view->descriptionText(), QStringLiteral("Size: 300 x 200"));
        QWidget* main = view->mainView();
        EXPECT_NE(main->findChild<QLabel*>()->text().indexOf(QStringLiteral("300 x 200")), -1);
        QScrollArea* scroll = view->scrollView();
        const int bar = scroll->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
        const int barHeight = main->findChild<QVGradientBar*>()->sizeHint().height();
        struct Fit {
            QSize content;  // the scroll view's own size
            bool horizontal, vertical;
        };
        // 350 points wide: 380 does not fit, so the horizontal scroller shows; 200 high fits.
        const Fit fits[] = {
            {QSize(350, 200 + bar), true, false},
            {QSize(600, 500), false, false},
            {QSize(600, 150), false, true},
            {QSize(200, 100), true, true},
        };
        main->show();
        for (const Fit& fit : fits) {
            SCOPED_TRACE(testing::Message() << fit.content.width() << "x" << fit.content.height());
            main->resize(fit.content.width(), fit.content.height() + barHeight);
            QCoreApplication::processEvents();
            ASSERT_EQ(scroll->size(), fit.content);
            EXPECT_EQ(scroll->horizontalScrollBar()->isVisible(), fit.horizontal);
            EXPECT_EQ(scroll->verticalScrollBar()->isVisible(), fit.vertical);
            const QSize viewport = scroll->viewport()->size();
            EXPECT_EQ(view->imageView()->size(), QSize(std::max(380, viewport.width()), std::max(200, viewport.height())));
        }
        main->hide();
    }
}

TEST(QVFileView, ImagesSaveTheirBytesAndBrokenOnesAreRefusedWithoutChangingAnything) {
    TestDir dir;
    const QByteArray picture = png(40, 30);
    const QString path = dir.write(QStringLiteral("picture.png"), picture);
    QVFileDocument document(path);
    ASSERT_TRUE(document.load());
    // Saving an image under another name copies the bytes it was read from.
    const QString copy = dir.file(QStringLiteral("copy.png"));
    QVError error;
    ASSERT_TRUE(document.saveToFile(copy, &error)) << error.localizedDescription().toStdString();
    EXPECT_EQ(readAll(copy), picture);
    EXPECT_FALSE(document.isDocumentEdited());

    auto* view = dynamic_cast<QVImageFileView*>(document.fileView());
    ASSERT_NE(view, nullptr);
    struct Case {
        const char* name;
        QByteArray bytes;
    };
    const Case broken[] = {
        {"empty", QByteArray()},
        {"not an image", QByteArray("<html>not a picture</html>")},
        {"truncated", picture.left(20)},
        {"a header claiming 100000 x 100000 pixels", pngClaiming(100000, 100000)},
    };
    for (const Case& c : broken) {
        SCOPED_TRACE(c.name);
        QVError failure;
        EXPECT_FALSE(view->loadFromData(c.bytes, copy, {}, &failure));
        EXPECT_FALSE(failure.isNull());
        EXPECT_EQ(view->imageSize(), QSizeF(120, 30));
        EXPECT_EQ(view->contents(), picture);
    }
    // A reload from a file turned broken keeps what was shown (the document is the copy now).
    EXPECT_EQ(document.fileName(), copy);
    ASSERT_TRUE(QFile::resize(copy, 10));
    EXPECT_FALSE(document.revertToContentsOfFile({}, &error));
    EXPECT_EQ(view->contents(), picture);
}

TEST(QVFileView, SnippetsShowTheSnippetEditorsBarOnceItIsInstalled) {
    const QString snippets = Defaults::appSupportPathForFile(QStringLiteral("snippets"));
    ASSERT_TRUE(QDir().mkpath(snippets));
    const QString path = snippets + QStringLiteral("/hello.html");
    {
        QVFileDocument plain(path);
        EXPECT_EQ(plain.fileView()->mainView(), plain.textView());
    }
    QVSnippetFileView* asked = nullptr;
    QVSnippetFileView::setSettingsBarFactory([&asked](QVSnippetFileView& view) {
        asked = &view;
        return new QLabel(QStringLiteral("settings"));
    });
    {
        QVFileDocument snippet(path);
        QWidget* main = snippet.fileView()->mainView();
        EXPECT_EQ(asked, snippet.fileView());
        EXPECT_NE(main, snippet.textView());
        EXPECT_EQ(snippet.textView()->parentWidget(), main);
        EXPECT_NE(main->findChild<QLabel*>(), nullptr);
    }
    QVSnippetFileView::setSettingsBarFactory({});
}

}  // namespace
