// The window in which the user creates a project or changes one: name, kind (local folder,
// remote site only, or both), local folder, the site's connection details with its initial
// directory picked on the live site, and the project's own settings. OK writes it all into the
// project (merged with the settings other parts keep), saves the project file at once and
// announces it; a new project is also opened. Cancel changes nothing: the live pick runs on a
// connection of the window's own, which is all the window closes.
#pragma once

#include "files/QVProjectRemoteConfiguration.h"
#include "platform/QVError.h"
#include "projects/windows/QVProjectSettingsRemoteFilePickerController.h"
#include "projects/windows/QVRemoteDetailsController.h"
#include "shell/QVWindowController.h"

#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTabWidget;
class QVProject;
class QVProjectSettingsConfigurationController;

class QVRemoteSiteQueue;

class QVProjectSettingsWindowController : public QVWindowController, public QVRemoteDetailsDelegate {
    Q_OBJECT

public:
    static constexpr int OKTag = 1;
    static constexpr const char* UsageTrackingKey = "qvAnonymousUsageTracking";

    // Shows the settings window of the project, or of a new project (null) with the name and
    // local folder filled in when given. The window deletes itself when it closes.
    static QVProjectSettingsWindowController* showSettings(const std::shared_ptr<QVProject>& project,
                                                            const QString& displayName = {}, const QString& folder = {});
    // Shows this window for the project manager's add and edit, and opens new projects as
    // project documents (once, at launch).
    static void install();
    // Where a new project's folder goes to be opened (the application's open path).
    static void setProjectOpener(std::function<void(const QString& folder)> opener);
    // Opens the folder through that path (nothing without one).
    static void openProject(const QString& folder);
    // "local", "remote", "combo" or "undefined"; "FTP", "SFTP", "WEBDAV" or "undefined" (always
    // "undefined" for a local project).
    static QString typeName(qint32 type);
    static QString protocolName(qint32 type, qint32 protocol);

    explicit QVProjectSettingsWindowController(const std::shared_ptr<QVProject>& project, QWidget* parent = nullptr);
    ~QVProjectSettingsWindowController() override;

    const std::shared_ptr<QVProject>& project() const { return _project; }
    bool isNewProject() const { return _newProject; }
    // Told when the window closes (the project manager).
    void setWillClose(std::function<void(QVProjectSettingsWindowController*)> willClose) { _willClose = std::move(willClose); }

    QString displayName() const { return _displayName; }
    void setDisplayName(const QString& name);
    QString directoryPath() const { return _directoryPath; }
    void setDirectoryPath(const QString& path);
    qint32 type() const { return _projectType; }
    void setType(qint32 type);
    bool hasLocalEquivalent() const { return _projectType == 0 || _projectType == 2; }
    bool hasRemoteEquivalent() const { return _projectType == 1 || _projectType == 2; }
    // While the project is open in a project window its folder and kind cannot change; its site
    // can only from that window's own Project Settings (sharesProject), and a changed site then
    // ends the window's connection so the next one uses it.
    bool allowEditing() const;
    bool sharesProject() const { return _sharesProject; }
    void setSharesProject(bool shares);
    QVProjectRemoteConfiguration& config() { return _config; }
    void setInitialDirectory(const QString& path);
    bool valid() const { return _valid; }
    bool showProgress() const { return _showProgress; }
    void setShowProgress(bool show);
    // The document's name followed by " ― Settings".
    static QString windowTitleForDocumentDisplayName(const QString& name);

    // QVRemoteDetailsDelegate
    void validate() override;
    void chooseRemoteDirectoryForDetails(QVRemoteDetailsController* details) override;

    void chooseLocalDirectory();
    // OK (tag 1) writes, announces and closes; a refusal (a folder that cannot be made, a failed
    // write) keeps the window open and says why. Any other tag cancels. Answers whether it closed.
    bool close(int tag);

    QVRemoteDetailsController* detailsController() const { return _detailsController; }
    QVProjectSettingsConfigurationController* configurationController() const { return _configurationController; }
    QVProjectSettingsRemoteFilePickerController* pickerSheet() const { return _pickerSheet; }
    QLineEdit* nameField() const { return _nameField; }
    QComboBox* typePopUp() const { return _typePopUp; }
    QLineEdit* localPathField() const { return _localPathField; }
    QPushButton* okButton() const { return _okButton; }
    QLabel* statusLabel() const { return _statusLabel; }
    // The window's own connection for the live pick (none before the first).
    const std::shared_ptr<QVRemoteSiteQueue>& probeQueue() const { return _probeQueue; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    class Probe;
    void updateEnabling();
    void refreshFields();
    void probeConnected(bool connected);
    void showRemoteFilePicker();
    void pickerEnded(const std::optional<QString>& path);
    void endProbe();

    std::shared_ptr<QVProject> _project;
    bool _newProject = false;
    bool _valid = false;
    bool _showProgress = false;
    bool _closing = false;
    bool _sharesProject = false;
    qint32 _projectType = 0;
    QString _displayName;
    QString _directoryPath;
    QVProjectRemoteConfiguration _config;
    // The connection the picker browses, and the initial folder it was made with.
    std::shared_ptr<QVRemoteSiteQueue> _probeQueue;
    std::shared_ptr<Probe> _probe;
    QString _probeInitialDirectory;
    QVProjectRemoteConfiguration _probeSettings;
    std::function<void(QVProjectSettingsWindowController*)> _willClose;

    QLineEdit* _nameField;
    QComboBox* _typePopUp;
    QLineEdit* _localPathField;
    QPushButton* _localPathButton;
    QTabWidget* _tabView;
    QVRemoteDetailsController* _detailsController;
    QVProjectSettingsConfigurationController* _configurationController;
    QLabel* _statusLabel;
    QProgressBar* _progress;
    QPushButton* _okButton;
    QPointer<QVProjectSettingsRemoteFilePickerController> _pickerSheet;
};
