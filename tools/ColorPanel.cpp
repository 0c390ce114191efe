// The colour panel.
#include "tools/ColorPanel.h"

#include "editor/HTMLView.h"
#include "editor/QVBeep.h"
#include "editor/QVEditorToolSeams.h"
#include "platform/AppBundle.h"
#include "shell/ColorUtilities.h"
#include "shell/QVColorWell.h"
#include "tools/QVFrontEditor.h"

#include <QCheckBox>
#include <QColorDialog>
#include <QEvent>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSlider>

namespace {

// A well that opens the colour dialog when clicked (a drag still drags its colour out).
class PickingWell : public QVColorWell {
public:
    using QVColorWell::QVColorWell;

protected:
    void mousePressEvent(QMouseEvent* event) override {
        _dragged = false;
        QVColorWell::mousePressEvent(event);
    }
    void mouseMoveEvent(QMouseEvent* event) override {
        _dragged = true;
        QVColorWell::mouseMoveEvent(event);
    }
    void mouseReleaseEvent(QMouseEvent* event) override {
        if (event->button() != Qt::LeftButton || _dragged || !rect().contains(event->position().toPoint())) return;
        auto* dialog = new QColorDialog(color(), this);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        connect(dialog, &QColorDialog::colorSelected, this, [this](const QColor& picked) { setColor(picked); });
        dialog->open();
    }

private:
    bool _dragged = false;
};

QLineEdit* hexField(QWidget* parent) {
    auto* field = new QLineEdit(parent);
    field->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("#?[0-9A-Fa-f]{0,6}")), field));
    field->setMaxLength(7);
    field->setFixedWidth(field->fontMetrics().horizontalAdvance(QStringLiteral("#WWWWWW")) + 12);
    return field;
}

}  // namespace

ColorPanel* ColorPanel::sharedColorPanel() {
    // Kept for the life of the process, like every tool window.
    static ColorPanel* panel = new ColorPanel;
    return panel;
}

void ColorPanel::install() {
    QVFrontEditor::follow();
    QVEditorToolSeams::setColorPanelOpener([] { sharedColorPanel()->showPanel(); });
}

void ColorPanel::showPanel() {
    show();
    raise();
    activateWindow();
    updateInsertButton();
}

ColorPanel::ColorPanel() : QWidget(nullptr, Qt::Tool) {
    setObjectName(QStringLiteral("ColorPanel"));
    setWindowTitle(QVLocalized(QStringLiteral("Colors")));
    auto* grid = new QGridLayout(this);
    _mainWell = new PickingWell(this);
    _mainWell->setMinimumSize(120, 48);
    _mainField = hexField(this);
    _leftWell = new PickingWell(this);
    _rightWell = new PickingWell(this);
    _leftField = hexField(this);
    _rightField = hexField(this);
    _slider = new QSlider(Qt::Horizontal, this);
    _slider->setRange(0, 100);
    _slider->setValue(50);
    _websafe = new QCheckBox(QVLocalized(QStringLiteral("Web-safe colors")), this);
    _insertButton = new QPushButton(QVLocalized(QStringLiteral("Insert")), this);
    _insertButton->setDefault(true);
    auto* closeButton = new QPushButton(QVLocalized(QStringLiteral("Close")), this);

    grid->addWidget(_mainWell, 0, 0, 2, 2);
    grid->addWidget(new QLabel(QStringLiteral("#"), this), 0, 2, Qt::AlignRight);
    grid->addWidget(_mainField, 0, 3);
    grid->addWidget(_websafe, 1, 2, 1, 2);
    grid->addWidget(new QLabel(QVLocalized(QStringLiteral("Blend:")), this), 2, 0, 1, 4);
    grid->addWidget(_leftWell, 3, 0);
    grid->addWidget(_slider, 3, 1, 1, 2);
    grid->addWidget(_rightWell, 3, 3);
    grid->addWidget(_leftField, 4, 0);
    grid->addWidget(_rightField, 4, 3, Qt::AlignRight);
    grid->addWidget(closeButton, 5, 0, 1, 2, Qt::AlignLeft);
    grid->addWidget(_insertButton, 5, 2, 1, 2, Qt::AlignRight);

    _mainWell->setColorField(_mainField);
    _leftWell->setColorField(_leftField);
    _rightWell->setColorField(_rightField);
    _leftWell->setColor(Qt::white);
    _rightWell->setColor(Qt::black);
    connect(_mainWell, &QVColorWell::colorChanged, this, [this] { if (!_updating) changeInMainWell(); });
    connect(_leftWell, &QVColorWell::colorChanged, this, [this] { if (!_updating) changeInBlenderWell(_leftWell); });
    connect(_rightWell, &QVColorWell::colorChanged, this, [this] { if (!_updating) changeInBlenderWell(_rightWell); });
    for (QLineEdit* field : {_mainField, _leftField, _rightField})
        connect(field, &QLineEdit::textEdited, this, [this, field] { textFieldChange(field); });
    connect(_slider, &QSlider::valueChanged, this, &ColorPanel::blendColors);
    connect(_websafe, &QCheckBox::toggled, this, &ColorPanel::changeWebsafe);
    connect(_insertButton, &QPushButton::clicked, this, &ColorPanel::insertColor);
    connect(closeButton, &QPushButton::clicked, this, &QWidget::close);
    _leftField->setText(hex(_leftWell->color()));
    _rightField->setText(hex(_rightWell->color()));
    blendColors();
}

QString ColorPanel::hex(const QColor& color) const { return ColorUtilities::hexValueWebsafe(color, _websafe->isChecked()); }

void ColorPanel::setWellColor(QVColorWell* well, const QColor& color) {
    const bool updating = std::exchange(_updating, true);
    well->setColor(color);
    _updating = updating;
}

void ColorPanel::changeInMainWell() { _mainField->setText(hex(_mainWell->color())); }

void ColorPanel::changeInBlenderWell(QVColorWell* well) {
    (well == _leftWell ? _leftField : _rightField)->setText(hex(well->color()));
    blendColors();
}

void ColorPanel::textFieldChange(QLineEdit* field) {
    const QColor color = ColorUtilities::rgbFromHex(field->text());
    if (field == _mainField) {
        setWellColor(_mainWell, color);
        return;
    }
    setWellColor(field == _leftField ? _leftWell : _rightWell, color);
    blendColors();
}

void ColorPanel::changeWebsafe() {
    changeInBlenderWell(_rightWell);
    changeInBlenderWell(_leftWell);
    textFieldChange(_leftField);
    textFieldChange(_rightField);
}

void ColorPanel::blendColors() {
    const QColor left = _leftWell->color().toRgb();
    const QColor right = _rightWell->color().toRgb();
    const double t = _slider->value() / 100.0;
    const auto mix = [t](double a, double b) { return a * (1 - t) + b * t; };
    const QColor mixed = QColor::fromRgbF(float(mix(left.redF(), right.redF())), float(mix(left.greenF(), right.greenF())),
                                          float(mix(left.blueF(), right.blueF())));
    // The main colour is exactly what its text says.
    setWellColor(_mainWell, ColorUtilities::rgbFromHex(hex(mixed)));
    changeInMainWell();
}

void ColorPanel::insertColor() {
    HTMLView* view = QVFrontEditor::view();
    if (!view) {
        QVBeep::beep();
        updateInsertButton();
        return;
    }
    // The well's colour, always six digits, whatever half-typed text the field holds.
    changeInMainWell();
    const QVRange selection = view->selectedRange();
    const bool afterHash = selection.location > 0 && view->textStorage().characterAt(selection.location - 1) == u'#';
    const QString text = (afterHash ? QString() : QStringLiteral("#")) + _mainField->text();
    view->undoableInsertText(text, QVLocalized(QStringLiteral("Insert Color")));
    const qint64 caret = view->selectedRange().location;
    const qint64 length = std::min<qint64>(text.size(), caret);
    view->setSelectedRange(QVRange(caret - length, length));
}

void ColorPanel::updateInsertButton() { _insertButton->setEnabled(QVFrontEditor::view() != nullptr); }

void ColorPanel::changeEvent(QEvent* event) {
    if (event->type() == QEvent::ActivationChange && isActiveWindow()) updateInsertButton();
    QWidget::changeEvent(event);
}
