// The colour panel: blending, web-safe snapping, the fields, and insertion into the editor.
#include "editor/HTMLView.h"
#include "editor/QVBeep.h"
#include "shell/ColorUtilities.h"
#include "shell/QVColorWell.h"
#include "tests/support/TestSupport.h"
#include "tools/ColorPanel.h"
#include "tools/QVFrontEditor.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>

#include <gtest/gtest.h>

namespace {

QString hexOf(const QVColorWell* well) { return ColorUtilities::hexValueWebsafe(well->color(), false); }

void typeInto(ColorPanel* panel, QLineEdit* field, const QString& text) {
    field->setText(text);
    panel->textFieldChange(field);
}

}  // namespace

TEST(ColorPanelTest, BlendsSnapsAndFollowsTheFields) {
    ColorPanel* panel = ColorPanel::sharedColorPanel();
    EXPECT_EQ(panel, ColorPanel::sharedColorPanel());
    panel->websafe()->setChecked(false);
    typeInto(panel, panel->leftField(), "204080");
    typeInto(panel, panel->rightField(), "#E0C0A1");
    const struct {
        int slider;
        const char* main;
    } blends[] = {{0, "204080"}, {100, "E0C0A1"}, {50, "808091"}, {25, "506088"}};
    for (const auto& b : blends) {
        panel->slider()->setValue(b.slider);
        EXPECT_EQ(panel->mainField()->text(), b.main) << b.slider;
        EXPECT_EQ(hexOf(panel->mainWell()), b.main) << b.slider;
    }
    // Typing into the left field recolours the left well and the main colour at once.
    typeInto(panel, panel->leftField(), "1");
    EXPECT_EQ(hexOf(panel->leftWell()), "000001");
    EXPECT_EQ(panel->leftField()->text(), "1");  // what the user typed stays while typing
    EXPECT_EQ(panel->mainField()->text(), "383029");
    // Web-safe snaps both ends, their texts and the main colour (each pair by its digits' mean:
    // E0, C0 and A1 all become 66).
    panel->websafe()->setChecked(true);
    EXPECT_EQ(panel->leftField()->text(), "000000");
    EXPECT_EQ(panel->rightField()->text(), "666666");
    EXPECT_EQ(hexOf(panel->rightWell()), "666666");
    EXPECT_EQ(hexOf(panel->mainWell()), panel->mainField()->text());
    EXPECT_NE(panel->mainField()->text(), "1A1A1A");
    // The main field alone recolours the main well, without blending.
    typeInto(panel, panel->mainField(), "123456");
    EXPECT_EQ(hexOf(panel->mainWell()), "123456");
    EXPECT_EQ(panel->leftField()->text(), "000000");
    panel->websafe()->setChecked(false);
}

TEST(ColorPanelTest, InsertsAfterAHashOrWithOneAndBeepsWithoutAnEditor) {
    ColorPanel* panel = ColorPanel::sharedColorPanel();
    panel->websafe()->setChecked(false);
    typeInto(panel, panel->mainField(), "a0b1c2");
    HTMLView view;
    QVFrontEditor::setOverride([&] { return &view; });
    const struct {
        const char* text;
        QVRange selection;
        const char* after;
        QVRange selected;
    } cases[] = {
        {"color: ", {7, 0}, "color: #A0B1C2", {7, 7}},
        {"color: #", {8, 0}, "color: #A0B1C2", {8, 6}},
        {"x", {0, 0}, "#A0B1C2x", {0, 7}},
        {"color: #fff;", {8, 3}, "color: #A0B1C2;", {8, 6}},
    };
    for (const auto& c : cases) {
        view.setString(c.text);
        view.setSelectedRange(c.selection);
        panel->insertColor();
        EXPECT_EQ(view.string(), c.after) << c.text;
        EXPECT_EQ(view.selectedRange(), c.selected) << c.text;
        EXPECT_EQ(view.undoManager().undoActionName(), "Insert Color");
        view.undo();
        EXPECT_EQ(view.string(), c.text);
    }
    // A half-typed value goes in as the six digits of the colour it reads as.
    view.setString("");
    typeInto(panel, panel->mainField(), "fa");
    panel->insertColor();
    EXPECT_EQ(view.string(), "#0000FA");

    int beeps = 0;
    const auto previous = QVBeep::setSink([&] { ++beeps; });
    QVFrontEditor::setOverride([] { return nullptr; });
    panel->updateInsertButton();
    EXPECT_FALSE(panel->insertButton()->isEnabled());
    panel->insertColor();
    EXPECT_EQ(beeps, 1);
    QVBeep::setSink(previous);
    QVFrontEditor::setOverride({});
}
