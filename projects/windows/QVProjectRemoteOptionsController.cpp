// The remote options sheet.
#include "projects/windows/QVProjectRemoteOptionsController.h"

#include "platform/AppBundle.h"
#include "platform/Paths.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

std::function<QString(QWidget*, const QString&)>& fileChooser() {
    static std::function<QString(QWidget*, const QString&)> chooser = [](QWidget* parent, const QString& folder) {
        return QFileDialog::getOpenFileName(parent, QVLocalized(QStringLiteral("Choose Identity File")), folder, {}, nullptr,
                                            QFileDialog::DontResolveSymlinks);
    };
    return chooser;
}

const QString OptionsPrefix = QStringLiteral("options.");

}  // namespace

QVProjectRemoteOptionsController::QVProjectRemoteOptionsController(int protocol, QWidget* parent)
    : QDialog(parent), _protocol(protocol), _form(new QFormLayout) {
    // The forms carry the names of the three option sets: SetupFTPOptions, SetupSFTPOptions and
    // SetupWebDAVOptions.
    switch (protocol) {
    case 0:
        setObjectName(QStringLiteral("SetupFTPOptions"));
        addSwitch(QStringLiteral("A"), QVLocalized(QStringLiteral("Use active mode")));
        break;
    case 1:
        setObjectName(QStringLiteral("SetupSFTPOptions"));
        addText(QStringLiteral("oIdentityFile"), QVLocalized(QStringLiteral("Identity file:")), 0);
        addSwitch(QStringLiteral("C"), QVLocalized(QStringLiteral("Compress the connection")));
        break;
    default:
        setObjectName(QStringLiteral("SetupWebDAVOptions"));
        addSwitch(QStringLiteral("t"), QVLocalized(QStringLiteral("Tolerate collections without WebDAV")));
        break;
    }
    addText(QStringLiteral("other"), QVLocalized(QStringLiteral("Other options:")));
    setWindowTitle(QVLocalized(QStringLiteral("Connection Options")));

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* ok = buttons->addButton(QDialogButtonBox::Ok);
    QPushButton* cancel = buttons->addButton(QDialogButtonBox::Cancel);
    connect(ok, &QPushButton::clicked, this, [this] { close(OKTag); });
    connect(cancel, &QPushButton::clicked, this, [this] { close(0); });
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(_form);
    layout->addWidget(buttons);
}

QVProjectRemoteOptionsController::~QVProjectRemoteOptionsController() = default;

void QVProjectRemoteOptionsController::addSwitch(const QString& name, const QString& title) {
    auto* box = new QCheckBox(title, this);
    _controls.insert(name, box);
    _form->addRow(QString(), box);
    connect(box, &QCheckBox::toggled, this, [this, name](bool on) {
        if (!_refreshing) setValueForKeyPath(on, OptionsPrefix + name);
    });
}

void QVProjectRemoteOptionsController::addText(const QString& name, const QString& title, int chooseTag) {
    auto* field = new QLineEdit(this);
    _controls.insert(name, field);
    connect(field, &QLineEdit::textChanged, this, [this, name](const QString& text) {
        if (!_refreshing) setValueForKeyPath(text, OptionsPrefix + name);
    });
    if (chooseTag < 0) {
        _form->addRow(title, field);
        return;
    }
    auto* row = new QHBoxLayout;
    row->addWidget(field, 1);
    auto* button = new QPushButton(QVLocalized(QStringLiteral("Choose…")), this);
    connect(button, &QPushButton::clicked, this, [this, chooseTag] { choose(chooseTag); });
    row->addWidget(button);
    _form->addRow(title, row);
}

void QVProjectRemoteOptionsController::setOptions(const QVariantMap& options) {
    _options = options;
    refreshControls();
}

void QVProjectRemoteOptionsController::refreshControls() {
    _refreshing = true;
    for (auto it = _controls.constBegin(); it != _controls.constEnd(); ++it) {
        const QVariant value = _options.value(it.key());
        if (auto* box = qobject_cast<QCheckBox*>(it.value())) box->setChecked(value.toBool());
        else if (auto* field = qobject_cast<QLineEdit*>(it.value()); field && field->text() != value.toString())
            field->setText(value.toString());
    }
    _refreshing = false;
}

QString QVProjectRemoteOptionsController::adjustedKeyPath(const QString& keyPath) {
    const QStringList parts = keyPath.split(QLatin1Char('.'));
    if (parts.size() == 2 && parts[0] == QLatin1String("options") && parts[1].startsWith(QLatin1String("zzz")))
        return QStringLiteral("options.%1").arg(parts[1].mid(3));
    return keyPath;
}

QVariant QVProjectRemoteOptionsController::valueForKeyPath(const QString& keyPath) const {
    const QString path = adjustedKeyPath(keyPath);
    if (!path.startsWith(OptionsPrefix)) return {};
    return _options.value(path.mid(OptionsPrefix.size()));
}

void QVProjectRemoteOptionsController::setValueForKeyPath(const QVariant& value, const QString& keyPath) {
    const QString path = adjustedKeyPath(keyPath);
    if (!path.startsWith(OptionsPrefix)) return;
    const QString name = path.mid(OptionsPrefix.size());
    if (value.typeId() == QMetaType::QString && value.toString().isEmpty()) _options.remove(name);
    else _options.insert(name, value);
    if (!_refreshing) refreshControls();
}

void QVProjectRemoteOptionsController::displayOnWindow(
    QWidget* window, std::function<void(QVProjectRemoteOptionsController*, std::optional<QVariantMap>)> closed) {
    _closed = std::move(closed);
    if (window && parentWidget() != window) setParent(window, windowFlags() | Qt::Sheet);
    setWindowModality(Qt::WindowModal);
    open();
}

void QVProjectRemoteOptionsController::close(int tag) {
    hide();
    setResult(tag == OKTag ? Accepted : Rejected);
    auto closed = std::move(_closed);
    _closed = nullptr;
    if (closed) closed(this, tag == OKTag ? std::optional<QVariantMap>(_options) : std::nullopt);
}

void QVProjectRemoteOptionsController::choose(int tag) {
    if (tag != 0) return;
    const QString folder = QDir(Paths::home()).filePath(QStringLiteral(".ssh"));
    const QString chosen = fileChooser()(this, folder);
    if (!chosen.isEmpty()) setValueForKeyPath(chosen, QString::fromLatin1(IdentityFileKeyPath));
}

void QVProjectRemoteOptionsController::setFileChooser(std::function<QString(QWidget*, const QString&)> chooser) {
    fileChooser() = std::move(chooser);
}
