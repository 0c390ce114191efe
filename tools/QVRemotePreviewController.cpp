#include "tools/QVRemotePreviewController.h"

#include "platform/AppBundle.h"
#include "platform/UserDefaults.h"
#include "tools/QVBrowserRepository.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QVBoxLayout>

QVRemotePreviewController::QVRemotePreviewController(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QVLocalized(QStringLiteral("Remote Preview")));
    auto* column = new QVBoxLayout(this);
    auto* explanation = new QLabel(QVLocalized(QStringLiteral("Enter the web address under which this project's files are served:")), this);
    explanation->setWordWrap(true);
    column->addWidget(explanation);
    auto* form = new QFormLayout();
    _addressField = new QComboBox(this);
    _addressField->setEditable(true);
    _addressField->setInsertPolicy(QComboBox::NoInsert);
    _addressField->setMinimumWidth(360);
    _browserPopUpButton = new QComboBox(this);
    form->addRow(QVLocalized(QStringLiteral("Address:")), _addressField);
    form->addRow(QVLocalized(QStringLiteral("Browser:")), _browserPopUpButton);
    column->addLayout(form);
    auto* buttons = new QDialogButtonBox(this);
    QPushButton* preview = buttons->addButton(QVLocalized(QStringLiteral("Preview")), QDialogButtonBox::AcceptRole);
    buttons->addButton(QVLocalized(QStringLiteral("Cancel")), QDialogButtonBox::RejectRole);
    preview->setDefault(true);
    column->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] { close(1); });
    connect(buttons, &QDialogButtonBox::rejected, this, [this] { close(0); });
}

void QVRemotePreviewController::displayOnWindow(QWidget* window, Done done, const QString& prefix) {
    _done = std::move(done);
    if (window && window != parentWidget()) setParent(window, windowFlags());
    setWindowModality(window ? Qt::WindowModal : Qt::ApplicationModal);
    _browserPopUpButton->clear();
    QVBrowserRepository::sharedInstance().reloadList(false);
    for (const auto& browser : QVBrowserRepository::sharedInstance().browsers())
        _browserPopUpButton->addItem(browser->browserName(), QVariant::fromValue(browser));
    _addressField->clear();
    QStringList known = UserDefaults::standard().objectForKey(URLPrefixesKey).toStringList();
    known.sort(Qt::CaseInsensitive);
    _addressField->addItems(known);
    setUrlPrefix(prefix);
    open();
}

void QVRemotePreviewController::close(int tag) {
    QString prefix;
    if (tag == 1) {
        prefix = resolvedPrefix(urlPrefix());
        if (!prefix.isEmpty()) rememberPrefix(prefix);
    }
    const auto browser = _browserPopUpButton->currentData().value<std::shared_ptr<QVBrowser>>();
    hide();
    setResult(tag == 1 ? Accepted : Rejected);
    Done done = std::move(_done);
    _done = {};
    if (done) done(prefix, browser);
}

QString QVRemotePreviewController::urlPrefix() const { return _addressField->currentText(); }

void QVRemotePreviewController::setUrlPrefix(const QString& prefix) { _addressField->setEditText(prefix); }

QString QVRemotePreviewController::resolvedPrefix(const QString& typed) {
    const QString trimmed = typed.trimmed();
    if (trimmed.isEmpty()) return {};
    static const QRegularExpression scheme(QStringLiteral("^\\w+://"));
    return scheme.match(trimmed).hasMatch() ? trimmed : QStringLiteral("http://") + trimmed;
}

void QVRemotePreviewController::rememberPrefix(const QString& prefix) {
    UserDefaults& defaults = UserDefaults::standard();
    QStringList known = defaults.objectForKey(URLPrefixesKey).toStringList();
    if (known.contains(prefix)) return;
    known.append(prefix);
    defaults.setObject(known, URLPrefixesKey);
}
