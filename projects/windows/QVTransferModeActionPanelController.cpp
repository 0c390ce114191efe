// The transfer tab's name-or-path sheet.
#include "projects/windows/QVTransferModeActionPanelController.h"

#include "platform/AppBundle.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

QVTransferModeActionPanelController::QVTransferModeActionPanelController(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("TransferModeActionPanel"));
    setWindowModality(Qt::WindowModal);
    auto* form = new QFormLayout;
    _label = new QLabel(this);
    _field = new QLineEdit(this);
    _field->setMinimumWidth(240);
    form->addRow(_label, _field);
    _side = new QComboBox(this);
    _side->addItem(QVLocalized(QStringLiteral("Local")));
    _side->addItem(QVLocalized(QStringLiteral("Remote")));
    form->addRow(QString(), _side);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons->button(QDialogButtonBox::Ok), &QPushButton::clicked, this, [this] { close(1); });
    connect(buttons->button(QDialogButtonBox::Cancel), &QPushButton::clicked, this, [this] { close(0); });
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
    connect(_field, &QLineEdit::textChanged, this, [this](const QString& text) { _value = text; });
    connect(_side, &QComboBox::currentIndexChanged, this, [this](int index) { _remoteOrLocal = index == 1 ? 1 : 0; });
    // Escape and the window's close button cancel.
    connect(this, &QDialog::rejected, this, [this] { if (_answer) close(0); });
}

void QVTransferModeActionPanelController::setTitle(const QString& title) {
    _title = title;
    _label->setText(title);
}

void QVTransferModeActionPanelController::setValue(const QString& value) {
    _value = value;
    if (_field->text() != value) _field->setText(value);
}

void QVTransferModeActionPanelController::setRemoteOrLocal(int side) {
    _remoteOrLocal = side == 1 ? 1 : 0;
    _side->setCurrentIndex(_remoteOrLocal);
}

void QVTransferModeActionPanelController::displayOnWindow(QWidget* window, const QString& context, Answer answer) {
    if (window && parentWidget() != window->window()) setParent(window->window(), windowFlags());
    _context = context;
    _answer = std::move(answer);
    _field->setText(_value);
    _field->selectAll();
    _side->setCurrentIndex(_remoteOrLocal);
    open();
    _field->setFocus();
}

void QVTransferModeActionPanelController::close(int tag) {
    Answer answer = std::exchange(_answer, {});
    if (isVisible()) QDialog::done(tag == 1 ? QDialog::Accepted : QDialog::Rejected);
    if (answer) answer(_value, tag, _remoteOrLocal == 1, _context);
}
