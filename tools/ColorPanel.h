// The colour panel: a tool window that picks a colour (a well, its hex field, and a blender of
// two wells mixed by a slider, optionally snapped to web-safe values) and inserts it into the
// front editor as "#RRGGBB". Made once and kept for the life of the process.
#pragma once

#include <QPointer>
#include <QWidget>

class QCheckBox;
class QLineEdit;
class QPushButton;
class QSlider;
class QVColorWell;

class ColorPanel : public QWidget {
    Q_OBJECT
public:
    static ColorPanel* sharedColorPanel();
    // Lets the document windows' insert-colour command show the panel.
    static void install();
    // Shows the panel in front.
    void showPanel();

    QVColorWell* mainWell() const { return _mainWell; }
    QVColorWell* leftWell() const { return _leftWell; }
    QVColorWell* rightWell() const { return _rightWell; }
    QLineEdit* mainField() const { return _mainField; }
    QLineEdit* leftField() const { return _leftField; }
    QLineEdit* rightField() const { return _rightField; }
    QSlider* slider() const { return _slider; }
    QCheckBox* websafe() const { return _websafe; }
    QPushButton* insertButton() const { return _insertButton; }

public Q_SLOTS:
    // Inserts the main colour at the front editor's selection as one "Insert Color" step: the
    // six digits alone after a "#", else with one, and selects them. Without an editor: a beep.
    void insertColor();
    void changeInMainWell();
    void changeInBlenderWell(QVColorWell* well);
    // field is the main, left or right field; its text is read as a colour.
    void textFieldChange(QLineEdit* field);
    void changeWebsafe();
    void blendColors();
    // Enables the insert button exactly when there is an editor to insert into.
    void updateInsertButton();

protected:
    void changeEvent(QEvent* event) override;

private:
    ColorPanel();
    QString hex(const QColor& color) const;
    // Sets a well's colour without the well's own change reaching the panel again.
    void setWellColor(QVColorWell* well, const QColor& color);

    QVColorWell* _mainWell = nullptr;
    QVColorWell* _leftWell = nullptr;
    QVColorWell* _rightWell = nullptr;
    QLineEdit* _mainField = nullptr;
    QLineEdit* _leftField = nullptr;
    QLineEdit* _rightField = nullptr;
    QSlider* _slider = nullptr;
    QCheckBox* _websafe = nullptr;
    QPushButton* _insertButton = nullptr;
    bool _updating = false;
};
