// Logging in: the first action of every site queue. It starts the client and walks its login
// conversation, answering questions with the user name and password, until the client sits at
// its prompt, logged in. One small state machine per client.
#pragma once

#include "files/QVRemoteFileAction.h"

class QVConnectAction : public QVRemoteFileAction {
public:
    // Login states the queue reads: the user name or the password has been sent, so a failure
    // now is a refusal of the credentials.
    enum LoginState { Started = 0, Opening = 1, UserSent = 2, PasswordSent = 3, SettingUp = 4, LoggedIn = 5 };
    // ssh gives up on a server that does not complete the connection within this time, and on
    // one silent for three intervals later (unless the site's options say otherwise).
    static constexpr int ConnectTimeoutSeconds = 15;
    static constexpr int ServerAliveSeconds = 15;

    // The kind for the connection's protocol. An absent user or password is the empty text.
    static std::shared_ptr<QVConnectAction> make(std::shared_ptr<QVRemoteFilesConnection> connection,
                                                 const QString& host, int port, const QString& user,
                                                 const QString& password, const QStringList& arguments);

    const QString& host() const { return _host; }
    void setUser(const QString& user) { _user = user; }
    void setPassword(const QString& password) { _password = password; }
    // The folder a WebDAV address opens (its collection); the others enter it afterwards.
    void setPath(const QString& path) { _path = path; }
    const QString& path() const { return _path; }
    int state() const { return _state; }
    // Sent and not taken: a server that answered the login with anything but a refusal (a missing
    // folder's 404) took them.
    bool credentialsWereSent() const { return (_state == UserSent || _state == PasswordSent) && !_answeredPastLogin; }

    std::shared_ptr<QVRemoteFileAction> copy() const override;
    void runWithDelegate(const std::shared_ptr<QVRemoteFileActionDelegate>& delegate) override;
    bool failureIsFatal() const override { return true; }
    QVError errorWithStatusCode(int statusCode) const override;
    // Only questions that wait for an answer (they end in ": "), never a line that pauses.
    bool connectionWillNeedInput(QVRemoteFilesConnection* connection, const QString& openLine) override;
    void connectionFinishedCommand(QVRemoteFilesConnection* connection, const QStringList& lines) override;

    // The client's arguments for this login.
    QStringList launchArguments() const;
    // What "open" is given: tnftp host and port; cadaver an address with scheme and port.
    QString openCommand() const;

protected:
    QVConnectAction(std::shared_ptr<QVRemoteFilesConnection> connection, QString host, int port, QString user,
                    QString password, QStringList arguments);
    void ftpReply(const QStringList& lines);
    void sftpReply(const QStringList& lines);
    void webDAVReply(const QStringList& lines);
    void sendPassword();

    QString _host;
    int _port;
    QString _user;
    QString _password;
    QStringList _arguments;
    QString _path;
    int _state = Started;
    int _errorCode = 0;
    bool _answeredPastLogin = false;
    QStringList _setupCommands;
};
