// Pages in the encodings they are in, in qorvel's real project window over a Subversion working
// copy: a Shift_JIS page holding the second codes of the IBM and NEC rows, edited with Japanese
// and saved by every answer of the save question (the bytes outside the edit compared with the
// original), reopened, reverted with svn while its remembered encoding says UTF-8, and a page
// without a declaration reopened with Encoding › Japanese (Shift JIS); and pages declaring
// Windows Latin 1 and a wrong charset in a plain folder, the second read in the fallback and
// saved with the user's typing, which asks to reopen first and converts nothing unasked.
#include "tests/scenarios/Scenario.h"

#include "app/QVDocumentController.h"
#include "editor/HTMLView.h"
#include "editor/QVFileDocument.h"
#include "editor/QVStatusBar.h"
#include "editor/QVStatusMessages.h"
#include "platform/MainQueue.h"
#include "platform/TextEncoding.h"
#include "projects/windows/QVProjectView.h"
#include "projects/windows/QVProjectWindowController.h"
#include "shell/FileEncodings.h"
#include "shell/QVStartupItems.h"
#include "tests/scm/SubversionPeers.h"
#include "tests/support/TestSupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QInputDialog>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

#include <gtest/gtest.h>

using namespace scenario;
using namespace scmtest;

namespace {

const QVStringEncoding ShiftJIS = FileEncodings::encodingFromString(QStringLiteral("shift_jis"));

// The page's second codes (Ⅰ and ⅰ of the IBM row, 纊 and ￢ of the NEC-selected IBM rows, ∵ of
// NEC row 13) and the standard codes a save in Shift_JIS writes for them.
const struct {
    QByteArray read, written;
} secondCodes[] = {
    {"\xfa\x4a", "\x87\x54"}, {"\xee\xef", "\xfa\x40"}, {"\xed\x40", "\xfa\x5c"}, {"\xee\xf9", "\x81\xca"}, {"\x87\x9a", "\x81\xe6"},
};

QByteArray shiftJISPage(const QByteArray& head) {
    QByteArray body = "<p>\x83\x81\x83\x6a\x83\x85\x81\x5b";  // メニュー
    for (const auto& code : secondCodes) body += ' ' + code.read;
    return head + body + " \x87\x40</p>\n</body></html>\n";  // and ① in its standard NEC row 13 code
}

const QByteArray page = shiftJISPage("<html><head><meta charset=\"Shift_JIS\"><title>\x83\x81\x83\x6a\x83\x85\x81\x5b</title></head>\n<body>\n");

QVProjectWindowController* openProject(const QString& folder) {
    auto* window = qobject_cast<QVProjectWindowController*>(application().openDocumentWithContentsOfFile(folder));
    if (window) bringForward(window);
    return window;
}

// The file opened from the outline; its editor gets the focus.
HTMLView* openFromOutline(QVProjectWindowController* window, const QString& name) {
    QVProjectView* view = outline(window);
    if (!waitFor([&] { return row(view, name, {}).isValid(); })) return nullptr;
    doubleClick(view, row(view, name, {}));
    const auto shown = [&] { return window->currentTextView() && window->currentTextView()->path().endsWith(u'/' + name); };
    if (!waitFor(shown, std::chrono::seconds(5))) return nullptr;
    bringForward(window);
    window->currentTextView()->setFocus();
    return window->currentTextView();
}

QString statusText(QVProjectWindowController* window) { return window->documentStatusBar()->statusField()->text(); }

QString overlayMessage(QVProjectWindowController* window) {
    QVStatusBarOverlayView* overlay = window->documentStatusBar()->overlayView();
    return overlay && overlay->messageView() ? overlay->messageView()->message() : QString();
}

QString decoded(const QByteArray& bytes, QVStringEncoding encoding) { return TextEncoding::decode(bytes, encoding).value_or(QStringLiteral("<not valid>")); }

// The item titled title of the window's menu bar, in the submenu titled menu, as its menus are
// filled when they open.
QAction* menuItem(const QList<QAction*>& actions, const QString& menu, const QString& title, bool inside = false) {
    for (QAction* action : actions) {
        if (inside && action->text() == title) return action;
        if (QMenu* sub = action->menu()) {
            Q_EMIT sub->aboutToShow();
            if (QAction* found = menuItem(sub->actions(), menu, title, sub->title() == menu)) return found;
        }
    }
    return nullptr;
}

}  // namespace

TEST(EncodingScenario, AShiftJISPageWithSecondCodesKeepsItsTextByEveryAnswer) {
    application();
    Repository repository;
    const QByteArray latin = "<html><head><meta charset=\"iso-8859-1\"></head>\n<body>Men\xfc</body></html>\n";
    const QByteArray undeclared = shiftJISPage("<html><body>\n");
    repository.commit({{"a.html", page}, {"b.html", page}, {"c.html", page}, {"d.html", page}, {"e.html", latin}, {"f.html", undeclared}});
    QPointer<QVProjectWindowController> window = openProject(repository.wc);
    ASSERT_TRUE(window);

    const struct {
        const char* file;
        const char* typed;   // 日本 as an input method commits it, then these keys
        const char* answer;  // to the save question; none: the save asks nothing
        QVStringEncoding saved;  // 0: nothing written
        const char* declared;    // what the page then declares
    } rows[] = {
        {"a.html", "", nullptr, ShiftJIS, "Shift_JIS"},
        {"b.html", "\u00fc", "Cancel", 0, "Shift_JIS"},
        {"c.html", "\u00fc", "Save as UTF-8", TextEncoding::UTF8, "UTF-8"},
        {"d.html", "\u00fc", "Other Encoding\u2026", TextEncoding::UTF16, "UTF-16"},
        {"e.html", "", "Save as UTF-8", TextEncoding::UTF8, "utf-8"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.file);
        const QString name = QString::fromLatin1(r.file);
        const QString path = repository.wc + u'/' + name;
        HTMLView* editor = openFromOutline(window, name);
        ASSERT_TRUE(editor);
        QVFileDocument* document = window->documentForPath(path);
        ASSERT_TRUE(document);
        const QByteArray before = readAll(path);
        const bool japanese = before == page;
        const QVStringEncoding read = japanese ? ShiftJIS : TextEncoding::ISOLatin1;
        // Shown in the encoding it is in, whole; the bar says once what saving it would change.
        EXPECT_EQ(editor->stringEncoding(), read);
        EXPECT_EQ(editor->string(), decoded(before, read));
        const QString told = QStringLiteral("Opened using Japanese (Shift JIS); saving it changes the bytes of some characters");
        EXPECT_EQ(statusText(window).startsWith(told), japanese) << statusText(window).toStdString();
        if (japanese) {
            EXPECT_TRUE(statusText(window).contains(QStringLiteral("\u2160, read from FA 4A at byte 88, is written as 87 54")))
                << statusText(window).toStdString();
        }

        const qsizetype at = editor->string().indexOf(QStringLiteral("</body>"));
        editor->setSelectedRange(QVRange(at, 0));
        QInputMethodEvent commit;
        commit.setCommitString(QStringLiteral("\u65e5\u672c"));
        QApplication::sendEvent(editor, &commit);
        // The keys of a keyboard that has them.
        for (const QChar k : QString::fromUtf8(r.typed)) {
            QKeyEvent press(QEvent::KeyPress, Qt::Key_Udiaeresis, Qt::NoModifier, QString(k));
            QKeyEvent release(QEvent::KeyRelease, Qt::Key_Udiaeresis, Qt::NoModifier, QString(k));
            QApplication::sendEvent(editor, &press);
            QApplication::sendEvent(editor, &release);
        }
        const QString typed = QStringLiteral("\u65e5\u672c") + QString::fromUtf8(r.typed);
        ASSERT_EQ(editor->string(), decoded(before, read).insert(at, typed));
        key(Qt::Key_S, Qt::ControlModifier);
        if (r.answer) {
            QMessageBox* box = nullptr;
            ASSERT_TRUE(waitFor([&] { return !visibleBoxes().isEmpty() && (box = visibleBoxes().front()); }));
            EXPECT_TRUE(box->text().contains(QStringLiteral("without losing characters"))) << box->text().toStdString();
            EXPECT_EQ(readAll(path), before);
            QAbstractButton* chosen = nullptr;
            for (QAbstractButton* button : box->buttons())
                if (button->text() == QString::fromUtf8(r.answer)) chosen = button;
            ASSERT_TRUE(chosen);
            chosen->click();
            if (r.saved == TextEncoding::UTF16) {
                QInputDialog* chooser = nullptr;
                ASSERT_TRUE(waitFor([&] { return (chooser = window->findChild<QInputDialog*>(QStringLiteral("SaveEncodingChooser"))) && chooser->isVisible(); }));
                EXPECT_EQ(readAll(path), before);
                chooser->setTextValue(QStringLiteral("Unicode (UTF-16)"));
                chooser->accept();
            }
        }
        if (!r.saved) {
            waitFor([] { return false; }, std::chrono::milliseconds(100));
            EXPECT_EQ(readAll(path), before);
            EXPECT_TRUE(document->isDocumentEdited());
            continue;
        }
        ASSERT_TRUE(waitFor([&] { return !document->isDocumentEdited(); }));
        const QByteArray after = readAll(path);
        // Every character the user did not type is the one read, in the encoding saved; only
        // the declaration names it.
        QString expected = decoded(before, read).insert(at, typed);
        const QString declared = japanese ? QStringLiteral("Shift_JIS") : QStringLiteral("iso-8859-1");
        expected.replace(QStringLiteral("charset=\"%1\"").arg(declared), QStringLiteral("charset=\"%1\"").arg(QString::fromLatin1(r.declared)));
        EXPECT_EQ(decoded(after, r.saved), expected);
        EXPECT_EQ(editor->string(), expected);
        EXPECT_EQ(editor->stringEncoding(), r.saved);
        if (r.saved == ShiftJIS) {
            // Byte for byte what was read but the second codes, now standard ones, and the typing.
            QByteArray bytes = before;
            for (const auto& code : secondCodes) bytes.replace(code.read, code.written);
            bytes.insert(bytes.indexOf("</body>"), "\x93\xfa\x96\x7b");
            EXPECT_EQ(after, bytes);
            // Said once: by the save, and no longer by the bar; the next save says nothing.
            EXPECT_EQ(overlayMessage(window), QStringLiteral("Saved using Japanese (Shift JIS); some characters were written with other bytes than the file had"));
            EXPECT_EQ(statusText(window), QString());
            type(QStringLiteral("x"));
            QVError error, warning;
            EXPECT_TRUE(document->save(&error, &warning));
            EXPECT_TRUE(warning.isNull()) << warning.localizedDescription().toStdString();
        } else {
            // The declaration changed in one undo step of its own.
            editor->undo();
            EXPECT_EQ(editor->string(), decoded(before, read).insert(at, typed));
        }
    }

    // Reopened, the page saved as UTF-8 reads as UTF-8.
    closeEverything();
    window = openProject(repository.wc);
    ASSERT_TRUE(window);
    const QString c = repository.wc + QStringLiteral("/c.html");
    HTMLView* editor = openFromOutline(window, QStringLiteral("c.html"));
    ASSERT_TRUE(editor);
    EXPECT_EQ(editor->stringEncoding(), TextEncoding::UTF8);
    EXPECT_EQ(editor->string(), decoded(readAll(c), TextEncoding::UTF8));
    EXPECT_EQ(statusText(window), QString());

    // svn revert brings the clean Shift_JIS page back: the UTF-8 remembered for it no longer
    // reads it, and the page's own declaration does, in the open window and when opened again.
    client({QStringLiteral("revert"), QStringLiteral("c.html")}, repository.wc);
    ASSERT_EQ(readAll(c), page);
    EXPECT_TRUE(waitFor([&] { return editor->string() == decoded(page, ShiftJIS); })) << editor->string().toStdString();
    EXPECT_EQ(editor->stringEncoding(), ShiftJIS);
    closeEverything();
    window = openProject(repository.wc);
    ASSERT_TRUE(window);
    editor = openFromOutline(window, QStringLiteral("c.html"));
    ASSERT_TRUE(editor);
    EXPECT_EQ(editor->stringEncoding(), ShiftJIS);
    EXPECT_EQ(editor->string(), decoded(page, ShiftJIS));

    // A page without a declaration is not valid in the default encoding (UTF-8): it opens in
    // Mac OS Roman, and Reopen with Encoding › Japanese (Shift JIS) reads it as it is.
    editor = openFromOutline(window, QStringLiteral("f.html"));
    ASSERT_TRUE(editor);
    EXPECT_EQ(editor->stringEncoding(), TextEncoding::MacOSRoman);
    // The menu as the start-up item that fills it at launch leaves it.
    if (!menuItem(window->menuBar()->actions(), QStringLiteral("Reopen with Encoding"), QStringLiteral("Japanese (Shift JIS) (shift-jis)"))) {
        QVSetupEncodingsMenu({}).run();
        MainQueue::drain();
    }
    QAction* item = menuItem(window->menuBar()->actions(), QStringLiteral("Reopen with Encoding"), QStringLiteral("Japanese (Shift JIS) (shift-jis)"));
    ASSERT_TRUE(item);
    item->trigger();
    EXPECT_TRUE(waitFor([&] { return editor->stringEncoding() == ShiftJIS; }));
    EXPECT_EQ(editor->string(), decoded(undeclared, ShiftJIS));
    EXPECT_TRUE(statusText(window).startsWith(QStringLiteral("Opened using Japanese (Shift JIS); saving it changes"))) << statusText(window).toStdString();
    closeEverything();
}

TEST(EncodingScenario, AMisreadPageOffersToReopenAndConvertsNothingUnasked) {
    application();
    TestDir site;
    const QByteArray quotes = "<html><head><meta charset=\"windows-1252\"></head>\n<body>\x93Quotes\x94 \x97 dash</body></html>\n";
    const QByteArray misdeclared = "<html><head><meta charset=\"utf-8\"></head>\n<body>Men\xfc caf\xe9</body></html>\n";
    const QString quotesPath = site.write(QStringLiteral("quotes.html"), quotes);
    const QString path = site.write(QStringLiteral("menu.html"), misdeclared);
    QPointer<QVProjectWindowController> window = openProject(site.path());
    ASSERT_TRUE(window);

    // The page declaring Windows Latin 1 reads as it says, with nothing to tell.
    HTMLView* editor = openFromOutline(window, QStringLiteral("quotes.html"));
    ASSERT_TRUE(editor);
    EXPECT_EQ(editor->stringEncoding(), TextEncoding::WindowsCP1252);
    EXPECT_TRUE(editor->string().contains(QStringLiteral("\u201cQuotes\u201d \u2014 dash"))) << editor->string().toStdString();
    EXPECT_EQ(statusText(window), QString());

    // The page whose bytes its declaration does not read opens in the fallback, and says so.
    editor = openFromOutline(window, QStringLiteral("menu.html"));
    ASSERT_TRUE(editor);
    QVFileDocument* document = window->documentForPath(path);
    ASSERT_TRUE(document);
    EXPECT_EQ(editor->stringEncoding(), TextEncoding::MacOSRoman);
    EXPECT_TRUE(statusText(window).startsWith(QStringLiteral("Opened using Western (Mac OS Roman)"))) << statusText(window).toStdString();
    const qsizetype at = editor->string().indexOf(QStringLiteral("</body>"));
    editor->setSelectedRange(QVRange(at, 0));
    QInputMethodEvent commit;
    commit.setCommitString(QStringLiteral("\u65e5\u672c"));
    QApplication::sendEvent(editor, &commit);
    key(Qt::Key_S, Qt::ControlModifier);

    // The save asks; its first answer reopens, and the chooser starts at the declared charset.
    QMessageBox* box = nullptr;
    ASSERT_TRUE(waitFor([&] { return !visibleBoxes().isEmpty() && (box = visibleBoxes().front()); }));
    EXPECT_TRUE(box->text().contains(QStringLiteral("without losing characters"))) << box->text().toStdString();
    ASSERT_TRUE(box->defaultButton());
    EXPECT_EQ(box->defaultButton()->text(), QStringLiteral("Reopen with Encoding\u2026"));
    EXPECT_EQ(readAll(path), misdeclared);
    box->defaultButton()->click();
    QInputDialog* chooser = nullptr;
    ASSERT_TRUE(waitFor([&] { return (chooser = window->findChild<QInputDialog*>(QStringLiteral("ReopenEncodingChooser"))) && chooser->isVisible(); }));
    EXPECT_EQ(chooser->textValue(), QStringLiteral("Unicode (UTF-8)"));
    EXPECT_EQ(readAll(path), misdeclared);
    chooser->setTextValue(QStringLiteral("Western (ISO Latin 1)"));
    chooser->accept();

    // Edited, the reopen asks again: discarding the typing is the first answer, not saving it.
    ASSERT_TRUE(waitFor([&] { return !visibleBoxes().isEmpty() && (box = visibleBoxes().front()) && box->text() == QStringLiteral("File has unsaved changes"); }));
    ASSERT_TRUE(box->defaultButton());
    EXPECT_EQ(box->defaultButton()->text(), QStringLiteral("Discard Changes"));
    box->defaultButton()->click();
    EXPECT_TRUE(waitFor([&] { return editor->stringEncoding() == TextEncoding::ISOLatin1; }));
    EXPECT_EQ(editor->string(), decoded(misdeclared, TextEncoding::ISOLatin1));
    EXPECT_FALSE(document->isDocumentEdited());
    EXPECT_EQ(readAll(path), misdeclared);
    EXPECT_EQ(readAll(quotesPath), quotes);
    closeEverything();
}
