// A project's remote site: host, user, password, initial folder, protocol, port and client
// options. The project file keeps its property-list form; the password lives only in the
// keyring, under the host (service) and the user (account). Project files may be shared, so
// the values are checked before they reach a client's command line (connectionError).
#pragma once

#include "platform/QVError.h"

#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

#include <optional>

// Keys of a recent-host record (the recent-hosts list kept by the remote queue).
inline constexpr const char* QVRecentRemoteHost = "QVRecentRemoteHost";
inline constexpr const char* QVRecentRemoteUser = "QVRecentRemoteUser";
inline constexpr const char* QVRecentRemotePort = "QVRecentRemotePort";
inline constexpr const char* QVRecentRemoteProtocol = "QVRecentRemoteProtocol";

class QVProjectRemoteConfiguration {
public:
    enum Protocol : qint32 { FTP = 0, SFTP = 1, WebDAV = 2 };

    // A null string stands for an absent value throughout.
    const QString& host() const { return _host; }
    void setHost(const QString& host) { _host = host; }
    const QString& user() const { return _user; }
    void setUser(const QString& user) { _user = user; }
    const QString& initialDirectory() const { return _initialDirectory; }
    void setInitialDirectory(const QString& folder) { _initialDirectory = folder; }
    // An invalid variant means the protocol's default port.
    const QVariant& port() const { return _port; }
    void setPort(const QVariant& port) { _port = port; }
    const std::optional<QVariantMap>& options() const { return _options; }
    void setOptions(const std::optional<QVariantMap>& options) { _options = options; }
    qint32 protocol() const { return _protocol; }
    void setProtocol(qint32 protocol) { _protocol = protocol; }
    bool useKeychain() const { return _useKeychain; }
    void setUseKeychain(bool use) { _useKeychain = use; }
    // "ftp", "sftp", "webdav", else the localized "remote".
    QString protocolDescription() const;

    // The held password; without one, looked up in the keyring (when it is used and host and
    // user are set). Null when there is none; a locked or absent keyring answers null within
    // the keychain's time bound.
    QString password();
    // Marks the password changed when the text differs from the held one (none held counts).
    void setPassword(const QString& password);
    bool passwordChanged() const { return _passwordChanged; }
    // Saves a changed password to the keyring when it is used and host, user and password are
    // set. Answers whether it was saved (false also when there was nothing to save).
    bool commit();

    // Missing or mistyped keys give no value (protocol 0, keychain off).
    void loadFromPlist(const QVariantMap& plist);
    // Empty without host; the password is never in it.
    QVariantMap plistRepresentation() const;
    // A copy of every field, the password read through password().
    QVProjectRemoteConfiguration copy();
    // Another project's settings (as copy()), or a recent-host record (host, user, port and
    // protocol; password, initial folder and options cleared).
    void setFromPreset(QVProjectRemoteConfiguration& project);
    void setFromPreset(const QVariantMap& record);
    // Takes the other's password when this one holds none.
    void mergeValuesFromConfiguration(QVProjectRemoteConfiguration& other);
    // Host, user, initial folder, options and port equal (absent on both or equal); the
    // password only when this one holds one. Protocol and keyring use do not count.
    bool isEqual(const QVProjectRemoteConfiguration& other) const;

    // The client's arguments from the options: "other" split at blanks (empty pieces dropped),
    // a switch that is on gives "-name", one that is off nothing, any other value
    // "-name=value". Pieces holding control characters are left out.
    QStringList arguments() const;
    // The arguments one options entry gives (as arguments() does for it).
    static QStringList argumentsForOption(const QString& key, const QVariant& value);
    // Drops the options the client would read as more than harmless (QVClientOptions), entry by
    // entry: a refused piece of "other" leaves the rest of it, any other refused entry goes.
    // Answers the refused options as written.
    QStringList removeRefusedOptions();
    // Why the settings must not reach a client: a control character in host, user,
    // password, initial folder or options (a line break would end the client's command line;
    // a line then starting with "!" runs a local shell), a host or user starting with "-"
    // (read as an option), or options the client would read as more than harmless (they are
    // named). Null when they are fine.
    QVError connectionError();

private:
    QString _host;
    QString _user;
    QString _password;
    QString _initialDirectory;
    qint32 _protocol = FTP;
    std::optional<QVariantMap> _options;
    QVariant _port;
    bool _passwordChanged = false;
    bool _useKeychain = true;
};
