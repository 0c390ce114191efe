// The Preferences window in qorvel's real set-up, offscreen: opened from Edit > Preferences…, a
// theme's colour and a bundle's keywords changed in it re-colour an open editor once it closes,
// and not before.
#include "tests/scenarios/Scenario.h"

#include "app/QVDocumentController.h"
#include "editor/HTMLView.h"
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
#include <QColor>
#include <QMainWindow>
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

TEST(Scenario, ThemeAndBundleEditsReColourAnOpenEditorWhenThePreferencesClose) {
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

    // Nothing changes in the editor while the window is open.
    EXPECT_EQ(colourOf(view, "note"), comment);
    EXPECT_EQ(colourOf(view, "zzkeyword"), plain);
    window.close();
    EXPECT_TRUE(waitFor([&] { return colourOf(view, "note") == chosen && colourOf(view, "zzkeyword") == property; },
                        std::chrono::seconds(5)))
        << colourOf(view, "note").toStdString() << " " << colourOf(view, "zzkeyword").toStdString();
    closeEverything();
}
