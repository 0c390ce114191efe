// The project settings window.
#include "projects/windows/QVProjectSettingsWindowController.h"

#include "files/QVRemoteSiteQueue.h"
#include "platform/AppBundle.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/Paths.h"
#include "platform/UserDefaults.h"
#include "projects/QVProject.h"
#include "projects/QVProjectRepository.h"
#include "projects/QVProjectUsageEvents.h"
#include "projects/windows/QVProjectDocument.h"
#include "projects/windows/QVProjectManager.h"
#include "projects/windows/QVProjectSettingsConfigurationController.h"
#include "projects/windows/QVProjectSettingsRemoteFilePickerController.h"
#include "projects/windows/QVRemoteFilePickerController.h"
#include "shell/QVAlertDetails.h"
#include "shell/QVScreenPlacement.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

namespace {

std::function<void(const QString&)>& projectOpener() {
    static std::function<void(const QString&)> opener;
    return opener;
}

QString joinedPath(const QString& folder, const QString& name) {
    if (folder.isEmpty()) return name;
    if (name.isEmpty()) return folder;
    return folder.endsWith(QLatin1Char('/')) ? folder + name : folder + QLatin1Char('/') + name;
}

}  // namespace

// The window's own connection reports here, on the queue's thread; each report goes on to the
// main thread and reaches the window only while it lives and the queue is still its probe.
class QVProjectSettingsWindowController::Probe : public QVRemoteSiteQueueDelegate {
public:
    explicit Probe(QVProjectSettingsWindowController* window) : _window(window) {}
    void queueOpenedConnection(QVRemoteSiteQueue* queue) override { report(queue, [](auto* w) { w->probeConnected(true); }); }
    void queueHadCredentialsFailure(QVRemoteSiteQueue* queue) override {
        report(queue, [](auto* w) { w->probeConnected(false); });
    }
    void queueHadFatalFailure(QVRemoteSiteQueue* queue) override {
        const int state = queue->state();
        if (state == QVRemoteSiteQueue::Closed || state == QVRemoteSiteQueue::Connecting)
            report(queue, [](auto* w) { w->probeConnected(false); });
    }
    void queueHadError(QVRemoteSiteQueue* queue, const QVError& error) override {
        report(queue, [error](auto* w) {
            if (w->_pickerSheet && w->_pickerSheet->isVisible()) w->_pickerSheet->presentErrorAlert(error);
            else w->presentErrorAlert(error);
        });
    }
    void queueSetStatus(QVRemoteSiteQueue* queue, const QString& status, bool animate) override {
        report(queue, [status, animate](auto* w) {
            if (w->_pickerSheet && w->_pickerSheet->isVisible()) {
                w->_pickerSheet->setStatusString(status);
                w->_pickerSheet->showProgress(animate);
            } else {
                w->setStatus(status);
                w->setShowProgress(animate);
            }
        });
    }

private:
    template <class F>
    void report(QVRemoteSiteQueue* queue, F step) {
        MainQueue::post([window = _window, queue, step] {
            if (window && window->_probeQueue.get() == queue) step(window.data());
        });
    }
    QPointer<QVProjectSettingsWindowController> _window;
};

QVProjectSettingsWindowController* QVProjectSettingsWindowController::showSettings(const std::shared_ptr<QVProject>& project,
                                                                                    const QString& displayName,
                                                                                    const QString& folder) {
    auto* window = new QVProjectSettingsWindowController(project);
    window->setAttribute(Qt::WA_DeleteOnClose);
    if (!project) {
        if (!displayName.isEmpty()) window->setDisplayName(displayName);
        if (!folder.isEmpty()) window->setDirectoryPath(folder);
        window->refreshFields();
    }
    window->show();
    window->raise();
    window->activateWindow();
    return window;
}

void QVProjectSettingsWindowController::setProjectOpener(std::function<void(const QString&)> opener) {
    projectOpener() = std::move(opener);
}

void QVProjectSettingsWindowController::install() {
    // The remote projects of the list as presets; their passwords stay in the keyring until a
    // preset is chosen.
    QVRemoteDetailsController::setProjectPresetsSource([] {
        QList<QVRemoteDetailsController::Preset> presets;
        for (const std::shared_ptr<QVProject>& project : QVProjectRepository::sharedInstance().remoteProjects()) {
            QVProjectRemoteConfiguration site;
            site.loadFromPlist(project->remoteConfig().plistRepresentation());
            presets << QVRemoteDetailsController::Preset{
                QVRemoteDetailsController::projectPresetTitle(project->displayName(), site), site, {}};
        }
        return presets;
    });
    QVProjectManager::setSettingsOpener([](const std::shared_ptr<QVProject>& project, const QString& name, const QString& folder) {
        return static_cast<QWidget*>(showSettings(project, name, folder));
    });
    setProjectOpener([](const QString& folder) {
        QVError error;
        if (QVProjectDocument::open(folder, &error)) return;
        auto* box = new QMessageBox(QMessageBox::Warning, error.localizedDescription(), error.localizedDescription());
        QVSetAlertDetails(box, error.localizedRecoverySuggestion());
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->show();
    });
}

void QVProjectSettingsWindowController::openProject(const QString& folder) {
    if (projectOpener()) projectOpener()(folder);
}

QString QVProjectSettingsWindowController::typeName(qint32 type) {
    switch (type) {
    case 0: return QStringLiteral("local");
    case 1: return QStringLiteral("remote");
    case 2: return QStringLiteral("combo");
    default: return QStringLiteral("undefined");
    }
}

QString QVProjectSettingsWindowController::protocolName(qint32 type, qint32 protocol) {
    if (type == 0) return QStringLiteral("undefined");
    switch (protocol) {
    case 0: return QStringLiteral("FTP");
    case 1: return QStringLiteral("SFTP");
    case 2: return QStringLiteral("WEBDAV");
    default: return QStringLiteral("undefined");
    }
}

QString QVProjectSettingsWindowController::windowTitleForDocumentDisplayName(const QString& name) {
    return name + QVLocalized(QStringLiteral(" %C Settings")).replace(QLatin1String("%C"), QString(QChar(0x2015)));
}

QVProjectSettingsWindowController::QVProjectSettingsWindowController(const std::shared_ptr<QVProject>& project, QWidget* parent)
    : QVWindowController(parent), _project(project ? project : QVProject::create()), _newProject(!project),
      _nameField(new QLineEdit), _typePopUp(new QComboBox), _localPathField(new QLineEdit),
      _localPathButton(new QPushButton(QVLocalized(QStringLiteral("Choose…")))), _tabView(new QTabWidget),
      _detailsController(nullptr), _configurationController(new QVProjectSettingsConfigurationController),
      _statusLabel(new QLabel), _progress(new QProgressBar), _okButton(nullptr) {
    setObjectName(QStringLiteral("ProjectSettingsWindow"));
    _config = _project->remoteConfig().copy();
    _displayName = _project->displayName();
    _directoryPath = _project->rootDirectory();
    _projectType = _project->type();

    _typePopUp->addItems({QVLocalized(QStringLiteral("Local folder")), QVLocalized(QStringLiteral("Remote site only")),
                          QVLocalized(QStringLiteral("Local folder and remote site"))});
    _detailsController = new QVRemoteDetailsController(this, &_config);
    _tabView->addTab(_detailsController, QVLocalized(QStringLiteral("Remote Site")));
    _tabView->widget(0)->setObjectName(QStringLiteral("remote"));
    _tabView->addTab(_configurationController, QVLocalized(QStringLiteral("Settings")));
    _configurationController->loadConfiguration(_project->allConfigurationValues());

    auto* form = new QFormLayout;
    form->addRow(QVLocalized(QStringLiteral("Name:")), _nameField);
    form->addRow(QVLocalized(QStringLiteral("Kind:")), _typePopUp);
    auto* pathRow = new QHBoxLayout;
    pathRow->addWidget(_localPathField, 1);
    pathRow->addWidget(_localPathButton);
    form->addRow(QVLocalized(QStringLiteral("Local folder:")), pathRow);

    _progress->setRange(0, 0);
    _progress->setMaximumWidth(80);
    _progress->setVisible(false);
    _statusLabel->setWordWrap(true);
    auto* buttons = new QDialogButtonBox;
    _okButton = buttons->addButton(QDialogButtonBox::Ok);
    QPushButton* cancel = buttons->addButton(QDialogButtonBox::Cancel);
    _okButton->setDefault(true);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(_progress);
    bottom->addWidget(_statusLabel, 1);
    bottom->addWidget(buttons);

    auto* central = new QWidget;
    auto* layout = new QVBoxLayout(central);
    layout->addLayout(form);
    layout->addWidget(_tabView, 1);
    layout->addLayout(bottom);
    setCentralWidget(central);
    resize(560, 560);
    QVScreenPlacement::keepInside(this);

    connect(_nameField, &QLineEdit::textEdited, this, [this](const QString& text) { setDisplayName(text); });
    connect(_localPathField, &QLineEdit::textEdited, this, [this](const QString& text) { setDirectoryPath(text); });
    connect(_typePopUp, &QComboBox::activated, this, [this](int index) { setType(index); });
    connect(_localPathButton, &QPushButton::clicked, this, [this] { chooseLocalDirectory(); });
    connect(_okButton, &QPushButton::clicked, this, [this] { close(OKTag); });
    connect(cancel, &QPushButton::clicked, this, [this] { close(0); });
    // Escape is Cancel, as in a dialog (a list or sheet that is open takes it first).
    auto* escape = new QAction(this);
    escape->setShortcut(QKeySequence(Qt::Key_Escape));
    escape->setShortcutContext(Qt::WindowShortcut);
    connect(escape, &QAction::triggered, this, [this] { close(0); });
    addAction(escape);
    connect(this, &QVWindowController::statusChanged, _statusLabel, &QLabel::setText);
    _statusLabel->setText(status());  // set while the details were made

    setWindowTitle(_newProject ? QVLocalized(QStringLiteral("New Project")) : windowTitleForDocumentDisplayName(_displayName));
    refreshFields();
    validate();
}

QVProjectSettingsWindowController::~QVProjectSettingsWindowController() {
    endProbe();
    if (_detailsController) _detailsController->tearDown();
}

void QVProjectSettingsWindowController::refreshFields() {
    _nameField->setText(_displayName);
    _localPathField->setText(_directoryPath);
    _typePopUp->setCurrentIndex(std::clamp(int(_projectType), 0, 2));
    _detailsController->reloadFields();
    updateEnabling();
}

void QVProjectSettingsWindowController::setDisplayName(const QString& name) {
    _displayName = name;
    validate();
}

void QVProjectSettingsWindowController::setDirectoryPath(const QString& path) {
    _directoryPath = path;
    if (_localPathField->text() != path) _localPathField->setText(path);
    validate();
}

void QVProjectSettingsWindowController::setType(qint32 type) {
    _projectType = std::clamp(type, 0, 2);
    if (_typePopUp->currentIndex() != _projectType) _typePopUp->setCurrentIndex(_projectType);
    updateEnabling();
    validate();
}

bool QVProjectSettingsWindowController::allowEditing() const { return _sharesProject || !_project->isOpen(); }

void QVProjectSettingsWindowController::setSharesProject(bool shares) {
    _sharesProject = shares;
    updateEnabling();
}

void QVProjectSettingsWindowController::updateEnabling() {
    // The folder and kind of an open project belong to its window and stay as they are.
    const bool closed = !_project->isOpen();
    _detailsController->setEnabled(_projectType != 0 && allowEditing());
    _localPathField->setEnabled(_projectType != 1 && closed);
    _localPathButton->setEnabled(_projectType != 1 && closed);
    _typePopUp->setEnabled(closed);
}

void QVProjectSettingsWindowController::changeEvent(QEvent* event) {
    // The project may have been opened or closed in its window meanwhile.
    if (event->type() == QEvent::ActivationChange) updateEnabling();
    QVWindowController::changeEvent(event);
}

void QVProjectSettingsWindowController::setInitialDirectory(const QString& path) {
    _config.setInitialDirectory(path);
    _detailsController->reloadFields();
}

void QVProjectSettingsWindowController::setShowProgress(bool show) {
    _showProgress = show;
    _progress->setVisible(show);
}

void QVProjectSettingsWindowController::validate() {
    QStringList warnings;
    if (hasLocalEquivalent() && _directoryPath.trimmed().isEmpty()) warnings << QVLocalized(QStringLiteral("local directory is blank"));
    if (hasRemoteEquivalent() && _config.host().isEmpty()) warnings << QVLocalized(QStringLiteral("remote host is blank"));
    _valid = warnings.isEmpty();
    if (_okButton) _okButton->setEnabled(_valid);
    QString text = warnings.join(QVLocalized(QStringLiteral(" and ")));
    if (!text.isEmpty()) text[0] = text[0].toUpper();
    setStatus(text);
}

void QVProjectSettingsWindowController::chooseLocalDirectory() {
    auto* panel = new QFileDialog(this);
    panel->setFileMode(QFileDialog::Directory);
    panel->setOption(QFileDialog::ShowDirsOnly);
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->setWindowModality(Qt::WindowModal);
    if (!_directoryPath.isEmpty()) panel->setDirectory(Paths::expandTilde(_directoryPath));
    connect(panel, &QFileDialog::fileSelected, this, [this](const QString& folder) { setDirectoryPath(folder); });
    panel->open();
}

void QVProjectSettingsWindowController::chooseRemoteDirectoryForDetails(QVRemoteDetailsController*) {
    if (_pickerSheet && _pickerSheet->isVisible()) return;
    // The live connection already made for these very settings serves again.
    const bool connected = _probeQueue && (_probeQueue->state() == QVRemoteSiteQueue::Idle ||
                                           _probeQueue->state() == QVRemoteSiteQueue::Busy);
    if (connected && _probeSettings.isEqual(_config) && _probeSettings.protocol() == _config.protocol()) {
        showRemoteFilePicker();
        return;
    }
    endProbe();
    // Settings that would steer the client's command line never reach it.
    const QVError refused = _config.connectionError();
    if (!refused.isNull()) {
        setStatus(refused.localizedDescription());
        return;
    }
    _probeSettings = _config.copy();
    _probeInitialDirectory = _config.initialDirectory();
    _probe = std::make_shared<Probe>(this);
    _probeQueue = QVRemoteSiteQueue::make(_config.protocol(), _probe);
    setStatus(QVLocalized(QStringLiteral("Connecting to remote site")));
    setShowProgress(true);
    _probeQueue->connectToHost(_config.host(), _config.port().toInt(), _config.user(), _config.password(), _config.arguments());
    if (!_probeInitialDirectory.isEmpty()) {
        _probeQueue->setInitialWorkingDirectory(_probeInitialDirectory);
        _probeQueue->changeToDirectory(_probeInitialDirectory);
    }
}

void QVProjectSettingsWindowController::probeConnected(bool connected) {
    setShowProgress(false);
    setStatus(QVLocalized(connected ? QStringLiteral("Connected") : QStringLiteral("Failed to connect")));
    if (connected) showRemoteFilePicker();
    else endProbe();
}

void QVProjectSettingsWindowController::showRemoteFilePicker() {
    if (_pickerSheet) _pickerSheet->deleteLater();
    _pickerSheet = new QVProjectSettingsRemoteFilePickerController(this);
    _pickerSheet->displayOnWindow(
        this, [this](QVProjectSettingsRemoteFilePickerController* sheet, std::optional<QString> path) {
            sheet->deleteLater();
            pickerEnded(path);
        },
        _probeQueue);
}

void QVProjectSettingsWindowController::pickerEnded(const std::optional<QString>& path) {
    if (!path) return;
    setInitialDirectory(joinedPath(_probeInitialDirectory, *path));
    validate();
}

void QVProjectSettingsWindowController::endProbe() {
    if (!_probeQueue) return;
    _probeQueue->setDelegate(nullptr);
    _probeQueue->closeConnection();
    _probeQueue.reset();
    _probe.reset();
}

bool QVProjectSettingsWindowController::close(int tag) {
    if (tag != OKTag) {
        QVWindowController::close();
        return true;
    }
    validate();
    if (!_valid) return false;
    // Site settings that would steer a client's command line are refused here, not stored.
    if (hasRemoteEquivalent()) {
        const QVError refused = _config.connectionError();
        if (!refused.isNull()) {
            setStatus(refused.localizedDescription());
            return false;
        }
    }
    const QString type = typeName(_projectType);
    const QString protocol = protocolName(_projectType, _config.protocol());

    // The project to write: a listed or live project of the same folder is updated, never
    // written over by a second object.
    std::shared_ptr<QVProject> target = _project;
    QVProjectRepository& repository = QVProjectRepository::sharedInstance();
    QString folder;
    if (_projectType == 1 && target->isOpen() && !target->rootDirectory().isEmpty()) {
        // The site's files of an open project stay where its window shows them, renamed or not.
        folder = target->rootDirectory();
    } else if (_projectType == 1) {
        QVError error;
        const QString oldName = target->displayName();
        target->setDisplayName(_displayName);
        folder = QVProject::projectDirectoryForProject(target, &error);
        if (folder.isEmpty()) {
            target->setDisplayName(oldName);
            setStatus(QVLocalized(QStringLiteral("The folder for the site's files cannot be made: %1"))
                          .arg(error.localizedDescription()));
            return false;
        }
        if (std::shared_ptr<QVProject> listed = repository.copyProjectWithPath(folder, false); listed && listed != target) {
            listed->remoteConfig().mergeValuesFromConfiguration(_config);
            if (_newProject) target = listed;
        }
    } else {
        folder = QDir::cleanPath(Paths::expandTilde(_directoryPath.trimmed()));
        if (!QFileInfo(folder).isDir()) {
            setStatus(QVLocalized(QStringLiteral("The folder \u201c%1\u201d does not exist.")).arg(folder));
            return false;
        }
        if (_newProject)
            if (std::shared_ptr<QVProject> listed = repository.copyProjectWithPath(folder, false)) target = listed;
    }

    // A site changed under an open project's window: its connection ends, so the next one is
    // made with the new details rather than the old.
    const bool siteChanged = target->isOpen() && (target->remoteConfig().plistRepresentation() != _config.plistRepresentation() ||
                                                  _config.passwordChanged());
    target->setType(_projectType);
    target->setDisplayName(_displayName);
    target->setRemoteConfig(_config.copy());
    if (siteChanged && target->hasRemoteConnection()) target->closeRemoteConnection();
    target->setRootDirectory(folder);
    // Only the table's keys change: open files, Subversion and preview keys stay.
    target->mergeConfigurationValues(_configurationController->configurationDictionary());
    if (!target->commit(true)) {
        presentErrorAlert(target->lastCommitError());
        return false;
    }
    target->remoteConfig().commit();

    const bool created = _newProject && target == _project;
    if (UserDefaults::standard().boolForKey(QString::fromLatin1(UsageTrackingKey)))
        QVProjectUsageEvents::track(created ? QStringLiteral("New Project") : QStringLiteral("Update Project"),
                                    {{QStringLiteral("project-type"), type}, {QStringLiteral("remote-protocol"), protocol}});
    NotificationCenter::defaultCenter().post(created ? QVProjectRepository::ProjectCreatedNotification
                                                     : QVProjectRepository::ProjectEditedNotification,
                                             target.get());
    // The manager lists a new project in its own order when it is there; without it the project
    // is listed all the same, or opening its folder would find a blank project in its place.
    if (created) QVProjectRepository::sharedInstance().addProject(target);
    if (_newProject && projectOpener()) projectOpener()(target->rootDirectory());
    QVWindowController::close();
    return true;
}

void QVProjectSettingsWindowController::closeEvent(QCloseEvent* event) {
    if (!_closing) {
        _closing = true;
        if (_pickerSheet) _pickerSheet->close(0);
        // Only the connection this window made ends; the project's own is left alone.
        endProbe();
        if (_willClose) _willClose(this);
    }
    QVWindowController::closeEvent(event);
}
