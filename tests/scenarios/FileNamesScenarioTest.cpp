// Files whose names are not UTF-8, in qorvel's real windows: opened from the command line's
// arguments and from the project outline, edited, saved, saved as, renamed and changed from
// outside, while the bytes of every name on disk stay as they were.
#include "tests/scenarios/Scenario.h"

#include "app/QVDocumentController.h"
#include "editor/HTMLView.h"
#include "editor/QVFileDocument.h"
#include "editor/windows/QVDocumentWindowController.h"
#include "files/LocalFileOperations.h"
#include "platform/FileName.h"
#include "platform/UserDefaults.h"
#include "projects/windows/QVProjectView.h"
#include "projects/windows/QVProjectWindowController.h"
#include "shell/Defaults.h"
#include "tests/support/TestSupport.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QMessageBox>

#include <gtest/gtest.h>

#include <algorithm>

#include <sys/stat.h>

using namespace scenario;

namespace {

// The outline's row of a name: found by the name itself, since two names can show alike.
QModelIndex rowNamed(QVProjectView* view, const QString& name) {
    QAbstractItemModel* model = view->model();
    if (model->canFetchMore({})) model->fetchMore({});
    for (int r = 0; r < model->rowCount(); ++r)
        if (const QModelIndex index = model->index(r, 0); index.data(Qt::EditRole).toString() == name) return index;
    return {};
}

// Names with bytes that are not UTF-8, and valid ones with control characters beside them.
const struct {
    const char* label;
    QByteArray name;
} nameCases[] = {
    {"a lone 0x80", QByteArray("a\x80.html")},
    {"0xFF", QByteArray("\xff" "b.html")},
    {"a cut UTF-8 sequence", QByteArray("caf\xc3.html")},
    {"a Latin-1 e acute", QByteArray("caf\xe9.html")},
    {"valid UTF-8 with controls", QByteArray("tab\tesc\x1b caf\xc3\xa9.html")},
};

// The visible single-file or tabbed window whose front document is the file at path.
QVDocumentWindowController* windowShowing(const QByteArray& path) {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* window = qobject_cast<QVDocumentWindowController*>(widget); window && window->isVisible())
            if (window->document() && FileName::encode(window->document()->fileName()) == path) return window;
    return nullptr;
}

bool anyBoxTitled(const QString& title) {
    const QList<QMessageBox*> boxes = visibleBoxes();
    return std::any_of(boxes.begin(), boxes.end(), [&](const QMessageBox* box) { return box->windowTitle() == title; });
}

}  // namespace

TEST(FileNames, AFileFromTheCommandLineOpensSavesFollowsOutsideChangesAndKeepsItsName) {
    application();
    // In a single-file window (the document watches its file) and in a tabbed one (its file node does).
    for (const bool tabs : {false, true})
    for (const auto& c : nameCases) {
        SCOPED_TRACE(c.label);
        SCOPED_TRACE(tabs ? "tabbed window" : "single-file window");
        UserDefaults::standard().setBool(tabs, QString::fromLatin1(QVUseTabs));
        TestDir dir;
        // The working folder's own name is not UTF-8 either: a relative argument is read from it.
        const QByteArray folder = FileName::encode(dir.path()) + "/work\xfe";
        ASSERT_EQ(::mkdir(folder.constData(), 0755), 0);
        const QByteArray file = folder + '/' + c.name;
        ASSERT_TRUE(writeBytes(file, "<p>one</p>\n"));

        EXPECT_TRUE(application().openFiles({FileName::decode(c.name)}, FileName::decode(folder)));
        EXPECT_FALSE(anyBoxTitled(QStringLiteral("File not found")));
        QVDocumentWindowController* window = windowShowing(file);
        ASSERT_NE(window, nullptr);
        QVFileDocument* document = window->document();
        HTMLView* editor = window->currentTextView();
        ASSERT_NE(editor, nullptr);
        EXPECT_EQ(editor->string(), QStringLiteral("<p>one</p>\n"));
        EXPECT_EQ(document->displayName(), FileName::displayed(FileName::decode(c.name)));
        EXPECT_TRUE(window->windowTitle().contains(document->displayName())) << window->windowTitle().toStdString();
        // Asked again under another spelling, the open window comes forward.
        EXPECT_EQ(application().openDocumentWithContentsOfFile(FileName::decode(folder + "/./" + c.name)), window);

        // Typed and saved: the same file, no second one beside it.
        bringForward(window);
        editor->setFocus();
        type(QStringLiteral("x"));
        QVError error;
        ASSERT_TRUE(document->save(&error)) << error.localizedDescription().toStdString();
        EXPECT_EQ(readBytes(file), "x<p>one</p>\n");
        EXPECT_EQ(entryBytes(folder), QList<QByteArray>{c.name});

        // Another program changes it: the unedited document reads it again (it is not "removed").
        // A tabbed window outside a project does not follow its files.
        QByteArray text = "x<p>one</p>\n";
        if (!tabs) {
            text = "<p>outside</p>\n";
            ASSERT_TRUE(writeBytes(file, text));
            EXPECT_TRUE(waitFor([&] { return editor->string() == QString::fromUtf8(text); })) << editor->string().toStdString();
            EXPECT_FALSE(anyBoxTitled(QStringLiteral("Local File Removed")));
        }

        // Saved as another name that is not UTF-8, then renamed: each lands on its own bytes.
        const QByteArray copy = folder + "/copy\xff" + c.name;
        ASSERT_TRUE(document->saveAs(FileName::decode(copy), &error)) << error.localizedDescription().toStdString();
        EXPECT_EQ(FileName::encode(document->fileName()), copy);
        EXPECT_EQ(readBytes(copy), text);
        const QByteArray renamed = folder + "/renamed\x80" + c.name;
        ASSERT_TRUE(LocalFileOperations::moveItem(FileName::decode(copy), FileName::decode(renamed), &error))
            << error.localizedDescription().toStdString();
        QList<QByteArray> expected{c.name, "renamed\x80" + c.name};
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(entryBytes(folder), expected);
        EXPECT_EQ(readBytes(renamed), text);
        EXPECT_EQ(readBytes(file), text);
        closeEverything();
    }
}

TEST(FileNames, TheProjectOutlineListsOpensAndSavesNamesThatAreNotUTF8) {
    application();
    TestDir dir;
    const QByteArray folder = FileName::encode(dir.path()) + "/site\xe9";
    ASSERT_EQ(::mkdir(folder.constData(), 0755), 0);
    for (const auto& c : nameCases) ASSERT_TRUE(writeBytes(folder + '/' + c.name, c.label));

    auto* window = qobject_cast<QVProjectWindowController*>(application().openDocumentWithContentsOfFile(FileName::decode(folder)));
    ASSERT_NE(window, nullptr);
    bringForward(window);
    EXPECT_TRUE(window->windowTitle().contains(QString::fromUtf8("site\xef\xbf\xbd"))) << window->windowTitle().toStdString();
    QVProjectView* view = outline(window);
    for (const auto& c : nameCases) {
        SCOPED_TRACE(c.label);
        const QString name = FileName::decode(c.name);
        ASSERT_TRUE(waitFor([&] { return rowNamed(view, name).isValid(); }));
        // Shown readably and told apart from its UTF-8 look-alike: each byte that is not UTF-8 as
        // its Latin-1 character, each control character pictured, the name marked.
        EXPECT_EQ(rowNamed(view, name).data().toString(), FileName::shown(name));
        doubleClick(view, rowNamed(view, name));
        ASSERT_TRUE(waitFor([&] { return window->currentTextView() && window->currentTextView()->string() == QString::fromLatin1(c.label); }));
        HTMLView* editor = window->currentTextView();
        EXPECT_EQ(FileName::encode(editor->path()), folder + '/' + c.name);
        editor->setFocus();
        type(QStringLiteral("y"));
        key(Qt::Key_S, Qt::ControlModifier);
        EXPECT_TRUE(waitFor([&] { return readBytes(folder + '/' + c.name) == "y" + QByteArray(c.label); }))
            << readBytes(folder + '/' + c.name).toStdString();
        // Changed by another program: the project's file node hears it and the text follows.
        ASSERT_TRUE(writeBytes(folder + '/' + c.name, "outside"));
        EXPECT_TRUE(waitFor([&] { return editor->string() == QStringLiteral("outside"); })) << editor->string().toStdString();
        EXPECT_FALSE(anyBoxTitled(QStringLiteral("Local File Removed")));
    }
    // Nothing was written under a name Qt made up.
    for (const QByteArray& entry : entryBytes(folder)) EXPECT_FALSE(entry.contains("\xef\xbf\xbd")) << entry.toStdString();
    closeEverything();
}
