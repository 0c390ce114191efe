// The properties sheet on a real editor: one undoable step when applied, nothing when cancelled,
// the rest of the text's line breaks kept, and the encoding following the charset written.
#include "editor/QVFilePropertiesController.h"

#include "editor/HTMLView.h"
#include "platform/TextEncoding.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QTableWidget>

#include <gtest/gtest.h>

namespace {

TEST(QVFilePropertiesController, ApplyIsOneUndoableStepAndCancelWritesNothing) {
    // The head uses "\n", the body "\r\n": only the head's changed lines may change.
    const QString page = QStringLiteral(
        "<html lang=\"en\">\n<head>\n<meta http-equiv=\"content-type\" content=\"text/html; charset=utf-8\">\n"
        "<title>Old</title>\n</head>\r\n<body>\r\n<p>x</p>\r\n</body>\r\n</html>\r\n");
    for (const int tag : {1, 0}) {
        SCOPED_TRACE(tag);
        QWidget window;
        window.resize(700, 600);
        window.show();
        auto* view = new HTMLView(QStringLiteral("/tmp/page.html"), &window);
        // Loaded as a file is, so the text keeps its own line breaks.
        ASSERT_TRUE(view->loadFromData(page.toUtf8(), QStringLiteral("/tmp/page.html")));
        ASSERT_EQ(view->fullString(), page);
        ASSERT_EQ(view->stringEncoding(), TextEncoding::UTF8);
        view->undoManager().removeAllActions();

        QPointer<QVFilePropertiesController> sheet = new QVFilePropertiesController(&window);
        sheet->displayOnWindow(&window, view);
        ASSERT_TRUE(sheet->isVisible());
        EXPECT_EQ(sheet->windowModality(), Qt::WindowModal);
        EXPECT_EQ(sheet->parentWidget(), &window);
        EXPECT_EQ(QApplication::activeModalWidget(), sheet.data());
        EXPECT_EQ(sheet->titleField()->text(), QStringLiteral("Old"));
        EXPECT_EQ(sheet->doctypePopUpButton()->currentText(), QStringLiteral("---"));
        EXPECT_TRUE(sheet->encodingPopUpButton()->currentText().startsWith(QStringLiteral("utf-8")));
        EXPECT_FALSE(sheet->includeBasicTagsBox()->isEnabled());  // not a new file

        sheet->titleField()->setText(QStringLiteral("New \"title\""));
        const int latin = sheet->encodingPopUpButton()->findData(QStringLiteral("iso-8859-1"));
        ASSERT_GT(latin, 0);
        sheet->encodingPopUpButton()->setCurrentIndex(latin);
        sheet->addMetaRow(QStringLiteral("description"), QStringLiteral("About x"));
        sheet->close(tag);
        QApplication::processEvents();
        EXPECT_TRUE(sheet.isNull() || !sheet->isVisible());

        if (tag == 0) {
            EXPECT_EQ(view->fullString(), page);
            EXPECT_FALSE(view->undoManager().canUndo());
            EXPECT_EQ(view->stringEncoding(), TextEncoding::UTF8);
            continue;
        }
        EXPECT_EQ(view->fullString(), QStringLiteral(
            "<html lang=\"en\">\n<head>\n\t\t<meta http-equiv=\"content-type\" content=\"text/html; charset=iso-8859-1\">\n"
            "\t\t<title>New \"title\"</title>\n\t\t<meta name=\"description\" content=\"About x\">\n</head>\r\n"
            "<body>\r\n<p>x</p>\r\n</body>\r\n</html>\r\n"));
        EXPECT_EQ(view->stringEncoding(), TextEncoding::ISOLatin1);
        EXPECT_EQ(view->undoManager().undoMenuItemTitle(), QStringLiteral("Undo Modify Document Properties"));
        view->undo();
        EXPECT_EQ(view->fullString(), page);
        EXPECT_FALSE(view->undoManager().canUndo());
    }
}

TEST(QVFilePropertiesController, ANewFileGetsThePageSkeleton) {
    QWidget window;
    window.show();
    auto* view = new HTMLView(QString(), &window);
    auto* sheet = new QVFilePropertiesController(&window);
    sheet->displayOnWindow(&window, view);
    EXPECT_TRUE(sheet->includeBasicTagsBox()->isEnabled());
    EXPECT_TRUE(sheet->includeBasicTagsBox()->isChecked());
    // The XML prolog is offered for the XML document types only.
    for (int i = 1; i < sheet->doctypePopUpButton()->count(); ++i) {
        sheet->doctypePopUpButton()->setCurrentIndex(i);
        EXPECT_EQ(sheet->addXMLPrologBox()->isEnabled(), sheet->doctypePopUpButton()->currentText().contains(QStringLiteral("XHTML")))
            << sheet->doctypePopUpButton()->currentText().toStdString();
    }
    const int html5 = sheet->doctypePopUpButton()->findData(QStringLiteral("<!DOCTYPE html>"));
    ASSERT_GT(html5, 0);
    sheet->doctypePopUpButton()->setCurrentIndex(html5);
    sheet->titleField()->setText(QStringLiteral("Start"));
    sheet->close(1);
    const QString lb = view->lineBreak();
    EXPECT_EQ(view->fullString(), QStringLiteral("<!DOCTYPE html>%1<html>%1\t<head>%1\t\t<title>Start</title>%1\t</head>%1\t<body>%1%1\t</body>%1</html>").arg(lb));
}

}  // namespace
