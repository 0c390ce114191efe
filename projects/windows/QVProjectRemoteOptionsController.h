// The sheet of a remote connection's command-line options, one form per protocol: its controls
// edit a dictionary of option name -> value (text, or a flag for a switch) that the site's
// settings turn into the client's arguments. SFTP's identity file is chosen from ~/.ssh.
#pragma once

#include <QDialog>
#include <QHash>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <functional>
#include <optional>

class QAbstractButton;
class QLineEdit;

class QVProjectRemoteOptionsController : public QDialog {
    Q_OBJECT

public:
    static constexpr int OKTag = 1;
    // The key paths the choose buttons' tags select (tag 0: the identity file).
    static constexpr const char* IdentityFileKeyPath = "options.oIdentityFile";

    // The form of the protocol (0 FTP, 1 SFTP, any other WebDAV); no options yet.
    explicit QVProjectRemoteOptionsController(int protocol, QWidget* parent = nullptr);
    ~QVProjectRemoteOptionsController() override;

    int protocol() const { return _protocol; }
    const QVariantMap& options() const { return _options; }
    void setOptions(const QVariantMap& options);

    // "options.zzzNAME" names the option NAME; any other key path is taken as it is. Only
    // "options.NAME" paths reach the options; others answer nothing and store nothing.
    static QString adjustedKeyPath(const QString& keyPath);
    QVariant valueForKeyPath(const QString& keyPath) const;
    // A switch stores its flag; an emptied text removes the option (an empty value would reach
    // the client as an argument of its own).
    void setValueForKeyPath(const QVariant& value, const QString& keyPath);

    // Shows the sheet window-modal on the window; at its end the callback gets the options
    // (OK) or nothing (cancel).
    void displayOnWindow(QWidget* window, std::function<void(QVProjectRemoteOptionsController*, std::optional<QVariantMap>)> closed);
    // Ends the sheet: tag 1 is OK, any other cancel.
    void close(int tag);
    // Chooses a file for the key path of the tag (0: the identity file) in ~/.ssh; other tags
    // do nothing. The chooser is replaceable for tests.
    void choose(int tag);
    static void setFileChooser(std::function<QString(QWidget* parent, const QString& folder)> chooser);

    // The control editing an option (by option name), for tests and screenshots.
    QWidget* controlForOption(const QString& name) const { return _controls.value(name); }

private:
    void addSwitch(const QString& name, const QString& title);
    void addText(const QString& name, const QString& title, int chooseTag = -1);
    void refreshControls();

    int _protocol;
    QVariantMap _options;
    std::function<void(QVProjectRemoteOptionsController*, std::optional<QVariantMap>)> _closed;
    QHash<QString, QWidget*> _controls;
    class QFormLayout* _form;
    bool _refreshing = false;
};
