// The Preferences window in qorvel's real set-up, offscreen: opened from Edit > Preferences…, the
// text-editing settings and a theme's colours changed in it reach the open editors of every kind
// of window at once; a bundle's keywords re-colour them once the window closes.
#include "tests/scenarios/Scenario.h"

#include "app/QVDocumentController.h"
#include "editor/HTMLView.h"
#include "editor/QVFileDocument.h"
#include "editor/QVLayoutManager.h"
#include "editor/QVLineNumberingRulerView.h"
#include "editor/windows/QVDocumentWindowController.h"
#include "editor/windows/QVMultiFileWindowController.h"
#include "platform/UserDefaults.h"
#include "preferences/QVTextEditingPrefPane.h"
#include "projects/windows/QVProjectWindowController.h"
#include "shell/Defaults.h"
#include "languages/QVBundle.h"
#include "preferences/QVColorsPrefPane.h"
#include "preferences/QVLanguageEditors.h"
#include "preferences/QVLanguagesPrefPane.h"
#include "preferences/QVPreferences.h"
#include "shell/QVColorWell.h"
#include "shell/QVCustomSelectionColorTable.h"
#include "tests/support/TestSupport.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QColor>
#include <QFontDatabase>
#include <QMainWindow>
#include <QSpinBox>
#include <QStandardItemModel>

#include <gtest/gtest.h>

using namespace scenario;

namespace {

QAction* menuItem(const QString& name) {
    for (QWidget* widget : QApplication::allWidgets())
        for (QAction* action : widget->actions())
            if (action->objectName() == name) return action;
    return nullptr;
}

template <class Pane>
Pane* showPane(QVPreferences& window) {
    for (int i = 0; i < int(window.panes().size()); ++i)
        if (auto* pane = dynamic_cast<Pane*>(window.panes()[i].get())) {
            window.changePane(i);
            return pane;
        }
    return nullptr;
}

QString colourOf(HTMLView* view, const QString& needle) {
    view->finishHighlighting();
    const qint64 index = view->string().indexOf(needle);
    return index < 0 ? QStringLiteral("missing")
                     : view->textStorage().attribute(QVTextStorage::ForegroundColorAttribute, index).value<QColor>().name();
}

}  // namespace

TEST(Scenario, ThemeAndBundleEditsReColourAnOpenEditor) {
    application();
    TestDir dir;
    const QString path = dir.write("site.css", "/* note */\nbody { color: red; zzkeyword: red; }\n");
    QMainWindow* document = application().openDocumentWithContentsOfFile(path);
    ASSERT_NE(document, nullptr);
    bringForward(document);
    HTMLView* view = document->findChild<HTMLView*>();
    ASSERT_NE(view, nullptr);
    const QString comment = colourOf(view, "note");
    const QString property = colourOf(view, "color");
    const QString plain = colourOf(view, "zzkeyword");
    ASSERT_NE(property, plain);

    // Edit > Preferences… shows the shared window.
    QAction* preferences = menuItem(QStringLiteral("showPreferences"));
    ASSERT_NE(preferences, nullptr);
    preferences->trigger();
    QVPreferences& window = QVPreferences::sharedInstance();
    ASSERT_TRUE(window.isVisible());

    // The comments' colour, through the colours pane's wells.
    auto* colours = showPane<QVColorsPrefPane>(window);
    ASSERT_NE(colours, nullptr);
    int row = -1;
    for (int i = 0; i < colours->styles().size(); ++i)
        if (QStringLiteral("comment.block.css").startsWith(colours->styles()[i]) &&
            (row < 0 || colours->styles()[i].size() > colours->styles()[row].size()))
            row = i;
    ASSERT_GE(row, 0);
    colours->tableView()->selectRow(row);
    const QString chosen = comment == QLatin1String("#123456") ? QStringLiteral("#654321") : QStringLiteral("#123456");
    colours->foregroundWell()->setColor(QColor(chosen));
    colours->changeStyleColor();

    // A new property name, through the keyword syntax editor of CSS.
    auto* languages = showPane<QVLanguagesPrefPane>(window);
    ASSERT_NE(languages, nullptr);
    std::shared_ptr<QVBundle> css;
    for (const auto& bundle : languages->bundles())
        if (bundle->title() == QLatin1String("CSS")) css = bundle;
    ASSERT_NE(css, nullptr);
    languages->selectRow(css, 2);
    auto* syntax = dynamic_cast<QVKeywordSyntaxLangPane*>(languages->currentPane());
    ASSERT_NE(syntax, nullptr);
    int group = -1;
    for (int i = 0; i < syntax->model()->rowCount(); ++i)
        if (syntax->model()->item(i)->text() == QLatin1String("support.type.property-name.css")) group = i;
    ASSERT_GE(group, 0);
    syntax->addKeyword(group, QStringLiteral("zzkeyword"));

    // The colour shows at once; the keyword waits for the window to close.
    EXPECT_TRUE(waitFor([&] { return colourOf(view, "note") == chosen; }, std::chrono::seconds(2)));
    EXPECT_EQ(colourOf(view, "zzkeyword"), plain);
    window.close();
    EXPECT_TRUE(waitFor([&] { return colourOf(view, "note") == chosen && colourOf(view, "zzkeyword") == property; },
                        std::chrono::seconds(5)))
        << colourOf(view, "note").toStdString() << " " << colourOf(view, "zzkeyword").toStdString();
    closeEverything();
}

namespace {

// The editors of an open single-file window, of a tabbed window (its front tab and one behind
// it) and of a project window, as the user opens them.
struct OpenEditors {
    QList<QPair<QString, HTMLView*>> views;  // the window kind, the editor

    explicit OpenEditors(const TestDir& dir) {
        UserDefaults& defaults = UserDefaults::standard();
        defaults.setBool(false, QString::fromLatin1(QVUseTabs));
        if (auto* single = qobject_cast<QVDocumentWindowController*>(application().openDocumentWithContentsOfFile(dir.file("single.html"))))
            views << qMakePair(QStringLiteral("single-file"), single->currentTextView());
        defaults.setBool(true, QString::fromLatin1(QVUseTabs));
        if (auto* tabbed = qobject_cast<QVMultiFileWindowController*>(application().openDocumentWithContentsOfFile(dir.file("behind.html")))) {
            QVFileDocument* behind = tabbed->documentForPath(dir.file("behind.html"));
            QVFileDocument* front = tabbed->openFileAtPath(dir.file("front.html"));
            views << qMakePair(QStringLiteral("tabbed, front tab"), front ? front->textView() : nullptr);
            views << qMakePair(QStringLiteral("tabbed, tab behind"), behind ? behind->textView() : nullptr);
        }
        if (auto* project = qobject_cast<QVProjectWindowController*>(application().openDocumentWithContentsOfFile(dir.file("site")))) {
            QVFileDocument* page = project->openFileAtPath(dir.file("site/page.html"));
            views << qMakePair(QStringLiteral("project"), page ? page->textView() : nullptr);
        }
    }
    // Brings view's window and tab to the front, as a user looking at it does.
    static void look(HTMLView* view) {
        auto* window = qobject_cast<QVDocumentWindowController*>(view->window());
        bringForward(window);
        if (auto* tabbed = qobject_cast<QVMultiFileWindowController*>(window))
            for (QVFileDocument* document : tabbed->openDocuments())
                if (document->textView() == view) tabbed->activateDocument(document);
        QCoreApplication::processEvents();
    }
};

}  // namespace

// Every setting the preference panes announce reaches the editors already open in each kind of
// window while the Preferences window stays open, and a file opened afterwards shows it too.
TEST(Scenario, PreferenceChangesReachOpenEditorsInEveryKindOfWindow) {
    application();
    TestDir dir;
    for (const char* name : {"single.html", "behind.html", "front.html", "site/page.html", "later.html", "later.xml"})
        dir.write(name, "<p>para</p>\n\tindented\n<!-- note -->\n");
    UserDefaults& defaults = UserDefaults::standard();
    defaults.setInteger(4, QString::fromLatin1(QVTabSizeKey));
    for (const char* key : {QVLineNums, QVCodeFoldingEnabled}) defaults.setBool(true, QString::fromLatin1(key));
    for (const char* key : {QVShowInvisibles, QVWrapText}) defaults.setBool(false, QString::fromLatin1(key));
    // An XML file seen and closed before the change: its language is coloured in the old theme.
    if (QMainWindow* seen = application().openDocumentWithContentsOfFile(dir.file("later.xml"))) seen->close();
    OpenEditors open(dir);
    ASSERT_EQ(open.views.size(), 4);
    for (const auto& [kind, view] : open.views) ASSERT_NE(view, nullptr) << kind.toStdString();

    menuItem(QStringLiteral("showPreferences"))->trigger();
    QVPreferences& window = QVPreferences::sharedInstance();
    ASSERT_TRUE(window.isVisible());
    auto* editing = showPane<QVTextEditingPrefPane>(window);
    ASSERT_NE(editing, nullptr);
    const auto control = [&](const char* key) { return editing->mainView()->findChild<QWidget*>(QString::fromLatin1(key)); };
    auto* colours = showPane<QVColorsPrefPane>(window);
    ASSERT_NE(colours, nullptr);
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSizeF(17);
    // A colour the tags and the comments (the style the tags take last) have not.
    QColor tagColour;
    for (const char* candidate : {"#123456", "#654321", "#2a7f3c"})
        if (!tagColour.isValid() && colourOf(open.views.first().second, "p>") != QLatin1String(candidate) &&
            colourOf(open.views.first().second, "note") != QLatin1String(candidate))
            tagColour = QColor(QString::fromLatin1(candidate));

    const struct {
        const char* setting;
        std::function<void()> change;  // what the pane's control does
        std::function<bool(HTMLView*)> shows;
    } cases[] = {
        {"tab size 2", [&] { qobject_cast<QSpinBox*>(control(QVTabSizeKey))->setValue(2); },
         [](HTMLView* v) { return v->tabWidth() == 2; }},
        {"line numbers off", [&] { qobject_cast<QCheckBox*>(control(QVLineNums))->click(); },
         [](HTMLView* v) { return !v->rulerView()->lineNumbersEnabled(); }},
        {"folding off", [&] { qobject_cast<QCheckBox*>(control(QVCodeFoldingEnabled))->click(); },
         [](HTMLView* v) { return !v->rulerView()->codeFoldingEnabled(); }},
        {"invisibles on", [&] { qobject_cast<QCheckBox*>(control(QVShowInvisibles))->click(); },
         [](HTMLView* v) { return dynamic_cast<QVLayoutManager&>(v->layoutManager()).showInvisibleCharacters(); }},
        {"wrapping on", [&] { qobject_cast<QCheckBox*>(control(QVWrapText))->click(); },
         [](HTMLView* v) { return v->wrapsLines(); }},
        {"font", [&] { editing->prefsFontChanged(font); },
         [&](HTMLView* v) { return v->textFont().pointSizeF() == 17; }},
        {"tag colour", [&] {
             window.changePane(int(std::find_if(window.panes().begin(), window.panes().end(),
                                                [&](const auto& p) { return p.get() == colours; }) - window.panes().begin()));
             int row = -1;
             for (int i = 0; i < colours->styles().size(); ++i)
                 if (colours->styles()[i] == QLatin1String("entity.name.tag")) row = i;
             ASSERT_GE(row, 0);
             colours->tableView()->selectRow(row);
             colours->foregroundWell()->setColor(tagColour);
             colours->changeStyleColor();
         },
         [&](HTMLView* v) { return colourOf(v, "p>") == tagColour.name(); }},
    };
    for (const auto& c : cases) {
        c.change();
        for (const auto& [kind, view] : open.views) {
            OpenEditors::look(view);
            EXPECT_TRUE(waitFor([&] { return c.shows(view); }, std::chrono::seconds(2))) << c.setting << " in " << kind.toStdString();
        }
    }
    // A file opened now, with the window still open, shows every setting.
    defaults.setBool(false, QString::fromLatin1(QVUseTabs));
    auto* later = qobject_cast<QVDocumentWindowController*>(application().openDocumentWithContentsOfFile(dir.file("later.html")));
    ASSERT_TRUE(later && later->currentTextView());
    for (const auto& c : cases) EXPECT_TRUE(waitFor([&] { return c.shows(later->currentTextView()); }, std::chrono::seconds(2))) << c.setting << " in a new window";
    // So does a file of a language no open editor had used since the change.
    auto* xml = qobject_cast<QVDocumentWindowController*>(application().openDocumentWithContentsOfFile(dir.file("later.xml")));
    ASSERT_TRUE(xml && xml->currentTextView());
    EXPECT_EQ(colourOf(xml->currentTextView(), "p>"), tagColour.name()) << "a new XML window";
    EXPECT_TRUE(window.isVisible());

    // The language editors' changes reach them all when the window closes: the tags of HTML
    // take another style.
    auto* languages = showPane<QVLanguagesPrefPane>(window);
    ASSERT_NE(languages, nullptr);
    for (const auto& bundle : languages->bundles())
        if (bundle->title() == QLatin1String("HTML")) languages->selectRow(bundle, 2);
    auto* tags = dynamic_cast<QVTagSyntaxLangPane*>(languages->currentPane());
    ASSERT_NE(tags, nullptr);
    ASSERT_NE(tags->model(), nullptr);
    tags->setStyleValue(QStringLiteral("tags"), QStringLiteral("comment.block.html"));
    window.close();
    for (const auto& [kind, view] : open.views) {
        OpenEditors::look(view);
        EXPECT_TRUE(waitFor([&] { return colourOf(view, "p>") != tagColour.name(); }, std::chrono::seconds(2))) << "tag style in " << kind.toStdString();
    }
    for (const char* key : {QVTabSizeKey, QVLineNums, QVCodeFoldingEnabled, QVShowInvisibles, QVWrapText, QVUseTabs, QVDefaultFontKey})
        defaults.removeObject(QString::fromLatin1(key));
    closeEverything();
}
