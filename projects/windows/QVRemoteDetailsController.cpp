// The remote connection details.
#include "projects/windows/QVRemoteDetailsController.h"

#include "files/QVRemoteSiteQueue.h"
#include "platform/AppBundle.h"
#include "platform/UserDefaults.h"
#include "projects/windows/QVProjectRemoteOptionsController.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardItemModel>

namespace {

std::function<QList<QVRemoteDetailsController::Preset>()>& projectPresetsSource() {
    static std::function<QList<QVRemoteDetailsController::Preset>()> source;
    return source;
}

}  // namespace

void QVRemoteDetailsController::setProjectPresetsSource(std::function<QList<Preset>()> source) {
    projectPresetsSource() = std::move(source);
}

QString QVRemoteDetailsController::projectPresetTitle(const QString& displayName, const QVProjectRemoteConfiguration& site) {
    QString title = displayName + QStringLiteral("\t[%1").arg(site.host());
    if (!site.initialDirectory().isEmpty()) title += QStringLiteral(":%1").arg(site.initialDirectory());
    return title + QLatin1Char(']');
}

QVRemoteDetailsController::QVRemoteDetailsController(QVRemoteDetailsDelegate* delegate, QVProjectRemoteConfiguration* config,
                                                     QWidget* parent)
    : QWidget(parent), _delegate(delegate), _config(config), _presetsPopUpButton(new QComboBox(this)),
      _protocol(new QComboBox(this)), _host(new QLineEdit(this)), _user(new QLineEdit(this)), _password(new QLineEdit(this)),
      _useKeychain(new QCheckBox(QVLocalized(QStringLiteral("Keep the password in the keyring")), this)),
      _port(new QLineEdit(this)), _initialDirectory(new QLineEdit(this)),
      _choose(new QPushButton(QVLocalized(QStringLiteral("Choose…")), this)),
      _options(new QPushButton(QVLocalized(QStringLiteral("Options…")), this)) {
    setObjectName(QStringLiteral("RemoteDetailsView"));
    _protocol->addItems({QStringLiteral("FTP"), QStringLiteral("SFTP"), QStringLiteral("WebDAV")});
    _password->setEchoMode(QLineEdit::Password);
    _port->setValidator(new QIntValidator(1, 65535, _port));
    _port->setPlaceholderText(QVLocalized(QStringLiteral("default")));
    _host->setPlaceholderText(QVLocalized(QStringLiteral("example.com")));

    auto* form = new QFormLayout(this);
    form->addRow(QString(), _presetsPopUpButton);
    form->addRow(QVLocalized(QStringLiteral("Protocol:")), _protocol);
    form->addRow(QVLocalized(QStringLiteral("Host:")), _host);
    form->addRow(QVLocalized(QStringLiteral("Port:")), _port);
    form->addRow(QVLocalized(QStringLiteral("User:")), _user);
    form->addRow(QVLocalized(QStringLiteral("Password:")), _password);
    form->addRow(QString(), _useKeychain);
    auto* directoryRow = new QHBoxLayout;
    directoryRow->addWidget(_initialDirectory, 1);
    directoryRow->addWidget(_choose);
    form->addRow(QVLocalized(QStringLiteral("Initial directory:")), directoryRow);
    form->addRow(QString(), _options);
    // Tab goes down the form as it reads, not in the order the fields were made.
    QWidget* const order[] = {_presetsPopUpButton, _protocol, _host, _port, _user, _password, _useKeychain,
                              _initialDirectory, _choose, _options};
    for (size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);

    for (QLineEdit* field : {_host, _user, _password, _port, _initialDirectory})
        connect(field, &QLineEdit::textEdited, this, [this] { fieldEdited(); });
    connect(_protocol, &QComboBox::activated, this, [this] { fieldEdited(); });
    connect(_useKeychain, &QCheckBox::toggled, this, [this] { fieldEdited(); });
    connect(_presetsPopUpButton, &QComboBox::activated, this, [this](int index) { selectPreset(index); });
    connect(_choose, &QPushButton::clicked, this, [this] { chooseInitialDirectory(); });
    connect(_options, &QPushButton::clicked, this, [this] { showOptions(); });

    loadPresets();
    reloadFields();
    validate();
}

QVRemoteDetailsController::~QVRemoteDetailsController() {
    if (_optionsSheet) _optionsSheet->deleteLater();
}

void QVRemoteDetailsController::setConfig(QVProjectRemoteConfiguration* config) {
    if (config == _config) return;
    _config = config;
    reloadFields();
    validate();
}

void QVRemoteDetailsController::clearDelegate(QVRemoteDetailsDelegate* delegate) {
    if (_delegate == delegate) _delegate = nullptr;
}

void QVRemoteDetailsController::reloadFields() {
    _loading = true;
    const bool have = _config != nullptr;
    _protocol->setCurrentIndex(have ? std::clamp(int(_config->protocol()), 0, 2) : 0);
    _host->setText(have ? _config->host() : QString());
    _user->setText(have ? _config->user() : QString());
    _password->setText(have ? _config->password() : QString());
    _useKeychain->setChecked(have && _config->useKeychain());
    _port->setText(have && _config->port().isValid() ? QString::number(_config->port().toInt()) : QString());
    _initialDirectory->setText(have ? _config->initialDirectory() : QString());
    _loading = false;
}

void QVRemoteDetailsController::fieldEdited() {
    if (_loading || !_config) return;
    _config->setProtocol(_protocol->currentIndex());
    _config->setHost(_host->text().trimmed());
    _config->setUser(_user->text());
    // The keyring setting first: the password is then held, not looked up.
    _config->setUseKeychain(_useKeychain->isChecked());
    if (_password->text() != _config->password()) _config->setPassword(_password->text());
    bool isNumber = false;
    const int port = _port->text().toInt(&isNumber);
    _config->setPort(isNumber && port > 0 ? QVariant(port) : QVariant());
    _config->setInitialDirectory(_initialDirectory->text());
    validate();
}

void QVRemoteDetailsController::validate() {
    _valid = _config && !_config->host().isEmpty();
    updateEnabling();
    if (_delegate) _delegate->validate();
}

void QVRemoteDetailsController::setEnabled(bool enabled) {
    _enabled = enabled;
    updateEnabling();
}

void QVRemoteDetailsController::setAllowInitialDirectoryChoose(bool allow) {
    _allowInitialDirectoryChoose = allow;
    updateEnabling();
}

void QVRemoteDetailsController::updateEnabling() {
    for (QWidget* field : std::initializer_list<QWidget*>{_presetsPopUpButton, _protocol, _host, _user, _password,
                                                          _useKeychain, _port, _initialDirectory, _options})
        field->setEnabled(_enabled);
    _initialDirectory->setVisible(_allowInitialDirectoryChoose);
    _choose->setVisible(_allowInitialDirectoryChoose);
    _choose->setEnabled(_enabled && _valid);
}

QWidget* QVRemoteDetailsController::firstResponder() const { return _host; }

void QVRemoteDetailsController::loadPresets() {
    _presetsPopUpButton->clear();
    _presets.clear();
    _presetsPopUpButton->addItem(QVLocalized(QStringLiteral("Presets")));
    _presets << Preset{};
    auto* model = qobject_cast<QStandardItemModel*>(_presetsPopUpButton->model());
    auto addHeader = [&](const QString& title) {
        _presetsPopUpButton->addItem(title);
        _presets << Preset{};
        if (model) model->item(_presetsPopUpButton->count() - 1)->setEnabled(false);
    };
    auto addPreset = [&](const Preset& preset) {
        // Indented one level under its header.
        _presetsPopUpButton->addItem(QStringLiteral("    ") + preset.title);
        _presets << preset;
    };
    addHeader(QVLocalized(QStringLiteral("Projects")));
    if (projectPresetsSource())
        for (const Preset& preset : projectPresetsSource()()) addPreset(preset);
    _presetsPopUpButton->insertSeparator(_presetsPopUpButton->count());
    _presets << Preset{};
    addHeader(QVLocalized(QStringLiteral("Recents")));
    for (const QVariant& entry : UserDefaults::standard().arrayForKey(QString::fromLatin1(QVRemoteSiteQueue::RecentHostsKey))) {
        const QVariantMap record = entry.toMap();
        const QString host = record.value(QString::fromLatin1(QVRecentRemoteHost)).toString();
        if (host.isEmpty()) continue;
        addPreset(Preset{host, std::nullopt, record});
    }
    _presetsPopUpButton->setCurrentIndex(0);
}

void QVRemoteDetailsController::selectPreset(int index) {
    _presetsPopUpButton->setCurrentIndex(0);
    if (!_config || index <= 0 || index >= _presets.size()) return;
    Preset& preset = _presets[index];
    if (preset.project) _config->setFromPreset(*preset.project);
    else if (!preset.record.isEmpty()) _config->setFromPreset(preset.record);
    else return;
    reloadFields();
    validate();
}

void QVRemoteDetailsController::chooseInitialDirectory() {
    if (_delegate) _delegate->chooseRemoteDirectoryForDetails(this);
}

void QVRemoteDetailsController::showOptions() {
    if (!_config) return;
    if (_optionsSheet) _optionsSheet->deleteLater();
    _optionsSheet = new QVProjectRemoteOptionsController(_config->protocol(), window());
    _optionsSheet->setOptions(_config->options().value_or(QVariantMap()));
    _optionsSheet->displayOnWindow(window(), [this](QVProjectRemoteOptionsController* sheet, std::optional<QVariantMap> options) {
        if (options && _config) _config->setOptions(*options);
        sheet->deleteLater();
        validate();
    });
}

void QVRemoteDetailsController::tearDown() {
    _delegate = nullptr;
    _config = nullptr;
    if (_optionsSheet) _optionsSheet->close(0);
}
