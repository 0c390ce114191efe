// The remote folder picker as a sheet over the project settings window: it browses the site
// of a connected queue from its login folder and answers the folder shown last (OK) or nothing
// (cancel). While it is up, the connection's status, progress and errors show under its browser.
#pragma once

#include "platform/QVError.h"

#include <QDialog>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QVRemoteFilePickerController;
class QVRemoteSiteQueue;

class QVProjectSettingsRemoteFilePickerController : public QDialog {
    Q_OBJECT

public:
    static constexpr int OKTag = 1;
    using Ended = std::function<void(QVProjectSettingsRemoteFilePickerController*, std::optional<QString> selectedPath)>;

    explicit QVProjectSettingsRemoteFilePickerController(QWidget* parent = nullptr);
    ~QVProjectSettingsRemoteFilePickerController() override;

    // Shows the sheet window-modal on the window and lists the queue's login folder.
    void displayOnWindow(QWidget* window, Ended ended, const std::shared_ptr<QVRemoteSiteQueue>& queue);
    // Ends the sheet: tag 1 answers the picked folder, any other nothing.
    void close(int tag);

    // What the connection reports while the sheet is up.
    void setStatusString(const QString& status);
    void showProgress(bool show);
    // The error's recovery suggestion (else its description) as the status; no alert.
    void presentErrorAlert(const QVError& error);

    QVRemoteFilePickerController* picker() const { return _picker; }

private:
    QVRemoteFilePickerController* _picker;
    Ended _ended;
};
