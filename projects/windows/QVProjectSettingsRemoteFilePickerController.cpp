// The picker sheet of the settings window.
#include "projects/windows/QVProjectSettingsRemoteFilePickerController.h"

#include "files/QVRemoteSiteQueue.h"
#include "platform/AppBundle.h"
#include "projects/windows/QVRemoteFilePickerController.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

QVProjectSettingsRemoteFilePickerController::QVProjectSettingsRemoteFilePickerController(QWidget* parent)
    : QDialog(parent), _picker(new QVRemoteFilePickerController(this)) {
    setObjectName(QStringLiteral("ProjectSettingsRemoteFilePicker"));
    setWindowTitle(QVLocalized(QStringLiteral("Choose Initial Directory")));
    auto* buttons = new QDialogButtonBox(this);
    QPushButton* ok = buttons->addButton(QVLocalized(QStringLiteral("Choose")), QDialogButtonBox::AcceptRole);
    QPushButton* cancel = buttons->addButton(QDialogButtonBox::Cancel);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, [this] { close(OKTag); });
    connect(cancel, &QPushButton::clicked, this, [this] { close(0); });
    // Escape and the window's close box are a cancel too.
    connect(this, &QDialog::rejected, this, [this] { close(0); });
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QVLocalized(QStringLiteral("Choose the folder the project starts in:")), this));
    layout->addWidget(_picker, 1);
    layout->addWidget(buttons);
    resize(560, 360);
}

QVProjectSettingsRemoteFilePickerController::~QVProjectSettingsRemoteFilePickerController() = default;

void QVProjectSettingsRemoteFilePickerController::displayOnWindow(QWidget* window, Ended ended,
                                                                  const std::shared_ptr<QVRemoteSiteQueue>& queue) {
    _ended = std::move(ended);
    if (window && parentWidget() != window) setParent(window, windowFlags() | Qt::Sheet);
    setWindowModality(Qt::WindowModal);
    open();
    _picker->setQueue(queue);
    _picker->setInitialDirectory(QLatin1String(""));
}

void QVProjectSettingsRemoteFilePickerController::close(int tag) {
    if (!_ended) return;  // ended already
    auto ended = std::move(_ended);
    _ended = nullptr;
    const std::optional<QString> path = tag == OKTag ? std::optional<QString>(_picker->selectedPath()) : std::nullopt;
    hide();
    _picker->setQueue(nullptr);
    ended(this, path);
}

void QVProjectSettingsRemoteFilePickerController::setStatusString(const QString& status) { _picker->setStatus(status); }

void QVProjectSettingsRemoteFilePickerController::showProgress(bool show) { _picker->setShowProgress(show); }

void QVProjectSettingsRemoteFilePickerController::presentErrorAlert(const QVError& error) {
    const QString suggestion = error.localizedRecoverySuggestion();
    _picker->setStatus(suggestion.isEmpty() ? error.localizedDescription() : suggestion);
}
