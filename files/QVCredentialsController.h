// The sheet that asks for a user name and a password (and whether to keep the password in the
// keyring), for the remote site or the version-control login; the tag says which asked.
#pragma once

#include <QDialog>
#include <QString>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QVCredentialsController;

class QVCredentialsDelegate {
public:
    virtual ~QVCredentialsDelegate() = default;
    // returnCode is the tag of the button that closed the sheet: 1 for OK.
    virtual void credentialsDidEnd(QVCredentialsController* sheet, int returnCode) = 0;
};

class QVCredentialsController : public QDialog {
    Q_OBJECT

public:
    static constexpr int OKTag = 1;
    static constexpr int CancelTag = 0;

    explicit QVCredentialsController(QWidget* parent = nullptr);
    ~QVCredentialsController() override;

    // Shows the sheet window-modal on the window on the next turn of the event loop, focus in
    // the password field when a user name is given, else in the user-name field. The delegate
    // is not owned: it outlives the sheet or detaches with clearDelegate().
    void displayOnWindow(QWidget* window, const QString& user, QVCredentialsDelegate* delegate, int tag);
    void clearDelegate(QVCredentialsDelegate* delegate);
    // Ends the sheet and tells the delegate the button's tag.
    void close(int buttonTag);

    QString title() const { return _title; }
    void setTitle(const QString& title);
    // Why the sheet asks again (a refused login); empty: nothing shown.
    QString message() const { return _message; }
    void setMessage(const QString& message);
    QString username() const { return _username; }
    void setUsername(const QString& username);
    QString password() const { return _password; }
    void setPassword(const QString& password);
    bool useKeychain() const { return _useKeychain; }
    void setUseKeychain(bool use);
    int tag() const { return _tag; }

    QLineEdit* usernameField() const { return _usernameField; }
    QLineEdit* passwordField() const { return _passwordField; }
    QPushButton* okButton() const { return _okButton; }
    QPushButton* cancelButton() const { return _cancelButton; }

protected:
    void reject() override;  // Escape and the window's close button cancel

private:
    QLineEdit* _usernameField;
    QLineEdit* _passwordField;
    QLabel* _titleLabel;
    QLabel* _messageLabel;
    QCheckBox* _keychainBox;
    QPushButton* _okButton;
    QPushButton* _cancelButton;
    QVCredentialsDelegate* _delegate = nullptr;
    int _tag = 0;
    QString _title;
    QString _message;
    QString _username;
    QString _password;
    bool _useKeychain = false;
};
