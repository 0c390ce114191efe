// Open Remote Directory: the user enters a connection, connects, picks a folder of the live
// site, and the panel makes a remote-only project of it under ~/Sites/Qorvel, named after the
// host, writes it and opens it. A folder that already is a listed project opens that project.
#pragma once

#include "projects/windows/QVRemoteDetailsController.h"
#include "shell/QVWindowController.h"

#include <QString>

#include <functional>
#include <memory>

class QLabel;
class QProgressBar;
class QPushButton;
class QStackedWidget;
class QVProject;
class QVRemoteFilePickerController;

class QVRemoteOpenPanelController : public QVWindowController, public QVRemoteDetailsDelegate {
    Q_OBJECT

public:
    static constexpr int OKTag = 1;

    // Shows a new panel; it deletes itself when it closes.
    static QVRemoteOpenPanelController* showPanel();
    // The host reduced to letters, digits, ".", "-" and "_"; a name of dots only is no name.
    static QString displayNameForHost(const QString& host);

    explicit QVRemoteOpenPanelController(QWidget* parent = nullptr);
    ~QVRemoteOpenPanelController() override;

    const std::shared_ptr<QVProject>& project() const { return _project; }
    QVRemoteDetailsController* detailsController() const { return _detailsController; }
    QVRemoteFilePickerController* filePicker() const { return _filePicker; }
    // 0: the connection details; 1: the folder picker.
    int currentTab() const;
    bool valid() const { return _valid; }
    bool showProgress() const { return _showProgress; }
    QPushButton* connectButton() const { return _connectButton; }
    QPushButton* openButton() const { return _openButton; }
    QLabel* statusLabel() const { return _statusLabel; }

    void validate() override;
    void connectToSite();
    // OK (tag 1): the picked folder becomes a project that is written, announced and opened;
    // answers whether the panel closed (a folder that cannot be made keeps it open). Any other
    // tag only closes.
    bool close(int tag);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    class Forwarder;
    void setShowProgress(bool show);
    void projectStatus(const QString& status);
    void projectProgress(bool show);
    void projectConnected(bool connected);

    std::shared_ptr<QVProject> _project;
    std::shared_ptr<Forwarder> _forwarder;
    QVRemoteDetailsController* _detailsController;
    QVRemoteFilePickerController* _filePicker;
    QStackedWidget* _tabView;
    QLabel* _statusLabel;
    QProgressBar* _progress;
    QPushButton* _connectButton;
    QPushButton* _openButton;
    bool _valid = false;
    bool _showProgress = false;
    bool _closing = false;
    QString _failure;  // why the last login failed, when known
};
