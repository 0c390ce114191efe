// The credentials sheet: its fields edit the controller's values directly.
#include "files/QVCredentialsController.h"

#include "platform/AppBundle.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

QVCredentialsController::QVCredentialsController(QWidget* parent) : QDialog(parent) {
    setWindowModality(Qt::WindowModal);
    _titleLabel = new QLabel(this);
    _titleLabel->setWordWrap(true);
    _messageLabel = new QLabel(this);
    _messageLabel->setWordWrap(true);
    _messageLabel->hide();
    _usernameField = new QLineEdit(this);
    _passwordField = new QLineEdit(this);
    _passwordField->setEchoMode(QLineEdit::Password);
    _keychainBox = new QCheckBox(QVLocalized(QStringLiteral("Remember this password in my keyring")), this);
    _okButton = new QPushButton(QVLocalized(QStringLiteral("OK")), this);
    _okButton->setDefault(true);
    _cancelButton = new QPushButton(QVLocalized(QStringLiteral("Cancel")), this);
    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(_cancelButton, QDialogButtonBox::RejectRole);
    buttons->addButton(_okButton, QDialogButtonBox::AcceptRole);
    auto* form = new QFormLayout;
    form->addRow(QVLocalized(QStringLiteral("Name:")), _usernameField);
    form->addRow(QVLocalized(QStringLiteral("Password:")), _passwordField);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(_titleLabel);
    layout->addWidget(_messageLabel);
    layout->addLayout(form);
    layout->addWidget(_keychainBox);
    layout->addWidget(buttons);
    connect(_usernameField, &QLineEdit::textChanged, this, [this](const QString& t) { _username = t; });
    connect(_passwordField, &QLineEdit::textChanged, this, [this](const QString& t) { _password = t; });
    connect(_keychainBox, &QCheckBox::toggled, this, [this](bool on) { _useKeychain = on; });
    connect(_okButton, &QPushButton::clicked, this, [this] { close(OKTag); });
    connect(_cancelButton, &QPushButton::clicked, this, [this] { close(CancelTag); });
}

QVCredentialsController::~QVCredentialsController() {
    _title.clear();
    _username.clear();
    _password.clear();
}

void QVCredentialsController::displayOnWindow(QWidget* window, const QString& user, QVCredentialsDelegate* delegate, int tag) {
    setUsername(user);
    _delegate = delegate;
    _tag = tag;
    QPointer<QWidget> parent(window);
    QTimer::singleShot(0, this, [this, parent] {
        if (parent) setParent(parent, windowFlags() | Qt::Sheet | Qt::Dialog);
        setWindowModality(Qt::WindowModal);
        open();
        (_username.isEmpty() ? _usernameField : _passwordField)->setFocus(Qt::OtherFocusReason);
    });
}

void QVCredentialsController::clearDelegate(QVCredentialsDelegate* delegate) {
    if (_delegate == delegate) _delegate = nullptr;
}

void QVCredentialsController::close(int buttonTag) {
    hide();
    setResult(buttonTag);
    if (QVCredentialsDelegate* delegate = _delegate) delegate->credentialsDidEnd(this, buttonTag);
}

void QVCredentialsController::reject() { close(CancelTag); }

void QVCredentialsController::setMessage(const QString& message) {
    _message = message;
    _messageLabel->setText(message);
    _messageLabel->setVisible(!message.isEmpty());
}

void QVCredentialsController::setTitle(const QString& title) {
    _title = title;
    _titleLabel->setText(title);
    setWindowTitle(title);
}

void QVCredentialsController::setUsername(const QString& username) {
    _username = username;
    if (_usernameField->text() != username) _usernameField->setText(username);
}

void QVCredentialsController::setPassword(const QString& password) {
    _password = password;
    if (_passwordField->text() != password) _passwordField->setText(password);
}

void QVCredentialsController::setUseKeychain(bool use) {
    _useKeychain = use;
    _keychainBox->setChecked(use);
}
