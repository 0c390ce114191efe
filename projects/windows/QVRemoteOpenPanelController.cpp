// The open-remote panel.
#include "projects/windows/QVRemoteOpenPanelController.h"

#include "files/QVRemoteSiteQueue.h"
#include "platform/AppBundle.h"
#include "platform/NotificationCenter.h"
#include "projects/QVProject.h"
#include "projects/QVProjectDelegate.h"
#include "projects/QVProjectRepository.h"
#include "projects/windows/QVProjectSettingsWindowController.h"
#include "projects/windows/QVRemoteFilePickerController.h"
#include "shell/StringUtilities.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

// The panel's project reports here (on the main thread); it answers neither credentials (a
// refused login just fails) nor anything of Subversion.
class QVRemoteOpenPanelController::Forwarder : public QVProjectDelegate {
public:
    explicit Forwarder(QVRemoteOpenPanelController* panel) : _panel(panel) {}
    unsigned respondsTo() const override { return Status | Progress | ConnectionOpen | PresentError | RemoteCredentials; }
    // A refused login is said where the details are, for another try.
    void projectNeedsRemoteCredentials(QVProject*) override {
        if (_panel)
            _panel->_failure = QVLocalized(QStringLiteral("The login failed: the site did not accept this name and password."));
    }
    void projectSetStatusString(QVProject*, const QString& status) override {
        if (_panel) _panel->projectStatus(status);
    }
    void projectShowProgress(QVProject*, bool show) override {
        if (_panel) _panel->projectProgress(show);
    }
    void projectDidConnectToRemoteSite(QVProject*, bool connected) override {
        if (_panel) _panel->projectConnected(connected);
    }
    void presentErrorAlert(const QVError& error) override {
        if (!_panel) return;
        if (_panel->currentTab() == 1) {
            const QString suggestion = error.localizedRecoverySuggestion();
            _panel->_filePicker->setStatus(suggestion.isEmpty() ? error.localizedDescription() : suggestion);
        } else {
            _panel->presentErrorAlert(error);
        }
    }

private:
    QPointer<QVRemoteOpenPanelController> _panel;
};

QVRemoteOpenPanelController* QVRemoteOpenPanelController::showPanel() {
    auto* panel = new QVRemoteOpenPanelController;
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->show();
    panel->raise();
    panel->activateWindow();
    return panel;
}

QString QVRemoteOpenPanelController::displayNameForHost(const QString& host) {
    // A WebDAV host field may name a folder ("127.0.0.1/t9/"): its steps stay apart, as the
    // address reads, rather than run together ("127.0.0.1t9"). The project's folder takes the
    // name with each "/" as "-".
    QStringList steps;
    for (const QString& step : host.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        const QString reduced = StringUtilities::stringByReducingToCharactersFromSet(step, [](char32_t c) {
            return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        });
        // "." and ".." would name no folder of their own.
        if (!reduced.isEmpty() && reduced.count(QLatin1Char('.')) != reduced.size()) steps.append(reduced);
    }
    return steps.join(QLatin1Char('/'));
}

QVRemoteOpenPanelController::QVRemoteOpenPanelController(QWidget* parent)
    : QVWindowController(parent), _project(QVProject::create()), _forwarder(std::make_shared<Forwarder>(this)),
      _detailsController(nullptr), _filePicker(new QVRemoteFilePickerController), _tabView(new QStackedWidget),
      _statusLabel(new QLabel), _progress(new QProgressBar),
      _connectButton(new QPushButton(QVLocalized(QStringLiteral("Connect")))),
      _openButton(new QPushButton(QVLocalized(QStringLiteral("Open")))) {
    setObjectName(QStringLiteral("RemoteOpenPanel"));
    setWindowTitle(QVLocalized(QStringLiteral("Open Remote Directory")));
    _project->setType(QVProject::RemoteOnly);
    _project->setDelegate(_forwarder);
    _detailsController = new QVRemoteDetailsController(this, &_project->remoteConfig());
    _detailsController->setAllowInitialDirectoryChoose(false);
    _tabView->addWidget(_detailsController);
    _tabView->addWidget(_filePicker);

    _progress->setRange(0, 0);
    _progress->setMaximumWidth(80);
    _progress->setVisible(false);
    _statusLabel->setWordWrap(true);
    auto* cancel = new QPushButton(QVLocalized(QStringLiteral("Cancel")));
    _openButton->setVisible(false);
    _connectButton->setDefault(true);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(_progress);
    bottom->addWidget(_statusLabel, 1);
    bottom->addWidget(cancel);
    bottom->addWidget(_connectButton);
    bottom->addWidget(_openButton);
    auto* central = new QWidget;
    auto* layout = new QVBoxLayout(central);
    layout->addWidget(_tabView, 1);
    layout->addLayout(bottom);
    setCentralWidget(central);
    resize(560, 420);

    connect(_connectButton, &QPushButton::clicked, this, [this] { connectToSite(); });
    connect(_openButton, &QPushButton::clicked, this, [this] { close(OKTag); });
    connect(cancel, &QPushButton::clicked, this, [this] { close(0); });
    connect(this, &QVWindowController::statusChanged, _statusLabel, &QLabel::setText);
    _detailsController->firstResponder()->setFocus();
    validate();
}

QVRemoteOpenPanelController::~QVRemoteOpenPanelController() {
    _project->clearDelegate(_forwarder.get());
    if (!_project->isOpen()) _project->closeRemoteConnection();
    _detailsController->tearDown();
}

int QVRemoteOpenPanelController::currentTab() const { return _tabView->currentIndex(); }

void QVRemoteOpenPanelController::validate() {
    _valid = currentTab() != 0 || (_detailsController && _detailsController->valid());
    _connectButton->setEnabled(_valid && !_showProgress);
}

void QVRemoteOpenPanelController::setShowProgress(bool show) {
    _showProgress = show;
    _progress->setVisible(show);
    validate();
}

void QVRemoteOpenPanelController::connectToSite() {
    if (!_valid) return;
    const QVError refused = _project->remoteConfig().connectionError();
    if (!refused.isNull()) {
        setStatus(refused.localizedDescription());
        return;
    }
    // The settings are the project's own, edited in place: nothing to hand over.
    _failure.clear();
    _project->connectToRemoteSite();
}

void QVRemoteOpenPanelController::projectStatus(const QString& status) {
    // The queue's end clears its status: why the login failed stays until the next try.
    if (currentTab() == 0) setStatus(status.isEmpty() || status == QVLocalized(QStringLiteral("Failed to connect")) ? (_failure.isEmpty() ? status : _failure) : status);
    else _filePicker->setStatus(status);
}

void QVRemoteOpenPanelController::projectProgress(bool show) {
    if (currentTab() == 0) setShowProgress(show);
    else _filePicker->setShowProgress(show);
}

void QVRemoteOpenPanelController::projectConnected(bool connected) {
    if (!connected) {
        // Why, as the project window says it (a refused name and password, a folder the site
        // does not have); the details stay for another try.
        if (_failure.isEmpty())
            if (const auto queue = _project->remoteQueue()) _failure = queue->closedBecause();
        if (!_failure.isEmpty()) setStatus(_failure);
        return;
    }
    _filePicker->setQueue(_project->remoteQueue());
    _filePicker->setInitialDirectory(QString());
    _tabView->setCurrentIndex(1);
    // From here the picker shows the connection's status under its browser.
    _filePicker->setStatus(status());
    setStatus(QString());
    _connectButton->setVisible(false);
    _openButton->setVisible(true);
    _openButton->setDefault(true);
    validate();
}

bool QVRemoteOpenPanelController::close(int tag) {
    if (tag != OKTag || currentTab() != 1) {
        QVWindowController::close();
        return true;
    }
    QVProjectRemoteConfiguration& site = _project->remoteConfig();
    const QString picked = _filePicker->selectedPath();
    const QString initial = site.initialDirectory();
    if (!initial.isEmpty()) {
        site.setInitialDirectory(picked.isEmpty() ? initial
                                 : initial.endsWith(QLatin1Char('/')) ? initial + picked
                                                                      : initial + QLatin1Char('/') + picked);
    } else {
        site.setInitialDirectory(picked);
    }
    _project->setDisplayName(displayNameForHost(site.host()));

    QVError error;
    const QString folder = QVProject::projectDirectoryForProject(_project, &error);
    if (folder.isEmpty()) {
        site.setInitialDirectory(initial);
        setStatus(QVLocalized(QStringLiteral("The folder for the site's files cannot be made: %1")).arg(error.localizedDescription()));
        return false;
    }
    std::shared_ptr<QVProject> target = _project;
    // The same site's project already listed for this folder is the one that opens.
    if (std::shared_ptr<QVProject> listed = QVProjectRepository::sharedInstance().copyProjectWithPath(folder, false);
        listed && listed != _project) {
        listed->remoteConfig().mergeValuesFromConfiguration(site);
        target = listed;
    }
    target->setRootDirectory(folder);
    if (!target->commit(true)) {
        site.setInitialDirectory(initial);
        presentErrorAlert(target->lastCommitError());
        return false;
    }
    // The password that logged in is kept for the project window's own connection.
    target->remoteConfig().commit();
    if (target == _project) {
        NotificationCenter::defaultCenter().post(QVProjectRepository::ProjectCreatedNotification, target.get());
        // Listed even without the manager: the project document finds the folder's project there.
        QVProjectRepository::sharedInstance().addProject(target);
    } else {
        NotificationCenter::defaultCenter().post(QVProjectRepository::ProjectEditedNotification, target.get());
    }
    // The panel's connection ends here; the project window logs in on a connection of its own,
    // lists the folder at once and shows that connection's dialogue in its log.
    _filePicker->setQueue(nullptr);
    _project->clearDelegate(_forwarder.get());
    _project->dropRemoteConnection();
    QVProjectSettingsWindowController::openProject(target->rootDirectory());
    QVWindowController::close();
    return true;
}

void QVRemoteOpenPanelController::closeEvent(QCloseEvent* event) {
    if (!_closing) {
        _closing = true;
        _project->clearDelegate(_forwarder.get());
        _filePicker->setQueue(nullptr);
        if (!_project->isOpen()) _project->closeRemoteConnection();
    }
    QVWindowController::closeEvent(event);
}
