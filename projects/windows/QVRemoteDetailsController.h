// The view in which the user enters a remote connection: protocol, host, user, password (kept
// in the keyring when asked), port, initial directory (typed, or chosen on the live site by the
// owner) and the client's options, with presets from the remote projects and the recent
// connections. It edits its owner's configuration in place and tells the owner to validate
// after every edit.
#pragma once

#include "files/QVProjectRemoteConfiguration.h"
#include "projects/windows/QVProjectRemoteOptionsController.h"

#include <QList>
#include <QPointer>
#include <QString>
#include <QVariantMap>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QVRemoteDetailsController;

class QVRemoteDetailsDelegate {
public:
    virtual ~QVRemoteDetailsDelegate() = default;
    virtual void validate() {}
    virtual void chooseRemoteDirectoryForDetails(QVRemoteDetailsController*) {}
};

class QVRemoteDetailsController : public QWidget {
    Q_OBJECT

public:
    // A preset of the pop-up: a project's site (its title and settings) or a recent connection.
    struct Preset {
        QString title;
        std::optional<QVProjectRemoteConfiguration> project;
        QVariantMap record;
    };
    // Where the project presets come from (the remote projects of the known-projects list, in
    // list order); none until the projects install theirs.
    static void setProjectPresetsSource(std::function<QList<Preset>()> source);
    // A project's pop-up title: the name, a tab and "[host]" or "[host:initial directory]".
    static QString projectPresetTitle(const QString& displayName, const QVProjectRemoteConfiguration& site);

    // The delegate is not owned; the configuration is edited in place and must outlive the view
    // (or be replaced with setConfig).
    QVRemoteDetailsController(QVRemoteDetailsDelegate* delegate, QVProjectRemoteConfiguration* config,
                              QWidget* parent = nullptr);
    ~QVRemoteDetailsController() override;

    QVProjectRemoteConfiguration* config() const { return _config; }
    void setConfig(QVProjectRemoteConfiguration* config);
    // The fields show the configuration again (after the owner changed it).
    void reloadFields();
    void clearDelegate(QVRemoteDetailsDelegate* delegate);

    // A host is entered.
    bool valid() const { return _valid; }
    void validate();
    bool enabled() const { return _enabled; }
    void setEnabled(bool enabled);
    bool allowInitialDirectoryChoose() const { return _allowInitialDirectoryChoose; }
    void setAllowInitialDirectoryChoose(bool allow);

    // The pop-up's entries after its title: "Projects", the project presets, a separator,
    // "Recents", the recent connections (newest first).
    void loadPresets();
    // Applies the preset at the pop-up's index: a project's settings, or a recent connection's
    // host, user, port and protocol with password, initial directory and options cleared.
    void selectPreset(int index);
    void chooseInitialDirectory();
    // The options sheet for the configuration's protocol, on a copy of its options; OK replaces
    // them, cancel keeps them.
    void showOptions();
    QVProjectRemoteOptionsController* optionsSheet() const { return _optionsSheet; }
    // Lets go of the configuration and the delegate; the owner calls it before it goes.
    void tearDown();

    QWidget* mainView() { return this; }
    QWidget* firstResponder() const;
    QComboBox* presetsPopUpButton() const { return _presetsPopUpButton; }
    QComboBox* protocolPopUp() const { return _protocol; }
    QLineEdit* hostField() const { return _host; }
    QLineEdit* userField() const { return _user; }
    QLineEdit* passwordField() const { return _password; }
    QLineEdit* portField() const { return _port; }
    QLineEdit* initialDirectoryField() const { return _initialDirectory; }
    QCheckBox* keychainBox() const { return _useKeychain; }
    QPushButton* chooseButton() const { return _choose; }
    QPushButton* optionsButton() const { return _options; }

private:
    void fieldEdited();
    void updateEnabling();

    QVRemoteDetailsDelegate* _delegate;
    QVProjectRemoteConfiguration* _config;
    QList<Preset> _presets;  // by pop-up index - 1, headers and separators as empty entries
    bool _valid = false;
    bool _enabled = true;
    bool _allowInitialDirectoryChoose = true;
    bool _loading = false;
    QComboBox* _presetsPopUpButton;
    QComboBox* _protocol;
    QLineEdit* _host;
    QLineEdit* _user;
    QLineEdit* _password;
    QCheckBox* _useKeychain;
    QLineEdit* _port;
    QLineEdit* _initialDirectory;
    QPushButton* _choose;
    QPushButton* _options;
    QPointer<QVProjectRemoteOptionsController> _optionsSheet;
};
