// The go-to-line sheet.
#include "editor/windows/QVGotoLineWindowController.h"

#include "editor/HTMLView.h"
#include "platform/AppBundle.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QPushButton>
#include <QSpinBox>

QVGotoLineWindowController::QVGotoLineWindowController(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("GotoLinePanel"));
    setWindowTitle(QVLocalized(QStringLiteral("Go to Line")));
    auto* layout = new QFormLayout(this);
    _lineField = new QSpinBox(this);
    _lineField->setObjectName(QStringLiteral("lineNumber"));
    _lineField->setRange(1, std::numeric_limits<int>::max());
    _lineField->setMinimumWidth(120);
    layout->addRow(QVLocalized(QStringLiteral("Line:")), _lineField);
    auto* buttons = new QDialogButtonBox(this);
    QPushButton* cancel = buttons->addButton(QVLocalized(QStringLiteral("Cancel")), QDialogButtonBox::RejectRole);
    QPushButton* ok = buttons->addButton(QVLocalized(QStringLiteral("Go")), QDialogButtonBox::AcceptRole);
    ok->setDefault(true);
    layout->addRow(buttons);
    connect(ok, &QPushButton::clicked, this, [this] { close(OKTag); });
    connect(cancel, &QPushButton::clicked, this, [this] { close(0); });
}

QVGotoLineWindowController::~QVGotoLineWindowController() = default;

void QVGotoLineWindowController::displayForTarget(HTMLView* target, quint32 line) {
    _target = target;
    setLineNumber(line);
    if (target && target->window() != parentWidget()) setParent(target->window(), windowFlags());
    setWindowModality(Qt::WindowModal);
    open();
    _lineField->setFocus();
    _lineField->selectAll();
}

void QVGotoLineWindowController::close(int tag) {
    if (tag == OKTag && _target) _target->gotoLine(lineNumber());
    done(tag == OKTag ? Accepted : Rejected);
    // Typing goes on in the text, at the line gone to.
    if (_target) _target->setFocus(Qt::OtherFocusReason);
}

quint32 QVGotoLineWindowController::lineNumber() const { return quint32(_lineField->value()); }

void QVGotoLineWindowController::setLineNumber(quint32 line) {
    _lineField->setValue(int(std::min<quint32>(std::max<quint32>(line, 1), quint32(std::numeric_limits<int>::max()))));
}
