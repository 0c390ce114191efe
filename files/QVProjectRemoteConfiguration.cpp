// Remote site settings: the property-list form, the client's arguments and the keyring password.
#include "files/QVProjectRemoteConfiguration.h"

#include "files/QVClientOptions.h"

#include "platform/AppBundle.h"
#include "platform/Keychain.h"
#include "platform/SystemLog.h"

#include <cerrno>
#include <cstdlib>

namespace {

bool hasControlCharacter(const QString& text) {
    for (const QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F) return true;
    return false;
}

bool isSwitch(const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
        return true;
    default:
        return false;
    }
}

}  // namespace

QString QVProjectRemoteConfiguration::protocolDescription() const {
    switch (_protocol) {
    case FTP: return QStringLiteral("ftp");
    case SFTP: return QStringLiteral("sftp");
    case WebDAV: return QStringLiteral("webdav");
    default: return QVLocalized(QStringLiteral("remote"));
    }
}

QString QVProjectRemoteConfiguration::password() {
    if (_password.isNull() && _useKeychain && !_host.isEmpty() && !_user.isEmpty()) {
        qint32 status = QVKeychainUnknownError;
        char* found = GetPasswordFromKeychain(_host.toUtf8().constData(), _user.toUtf8().constData(), &status);
        if (status == QVKeychainNoError && found) _password = QString::fromUtf8(found);
        std::free(found);
    }
    return _password;
}

void QVProjectRemoteConfiguration::setPassword(const QString& password) {
    _passwordChanged = _password.isNull() || password != _password;
    _password = password;
}

bool QVProjectRemoteConfiguration::commit() {
    if (!_passwordChanged || !_useKeychain || _password.isNull() || _host.isEmpty() || _user.isEmpty()) return false;
    const qint32 status = AddPasswordToKeychain(_host.toUtf8().constData(), _user.toUtf8().constData(), _password.toUtf8().constData());
    if (status != QVKeychainNoError)
        SystemLog::warning(QStringLiteral("The password for %1@%2 was not saved in the keyring (%3)").arg(_user, _host).arg(status));
    return status == QVKeychainNoError;
}

void QVProjectRemoteConfiguration::loadFromPlist(const QVariantMap& plist) {
    auto string = [&](const char* key) {
        const QVariant value = plist.value(QLatin1String(key));
        return value.typeId() == QMetaType::QString ? value.toString() : QString();
    };
    setHost(string("host"));
    setUser(string("user"));
    setInitialDirectory(string("initial-directory"));
    const QVariant options = plist.value(QStringLiteral("options"));
    setOptions(options.typeId() == QMetaType::QVariantMap ? std::optional<QVariantMap>(options.toMap()) : std::nullopt);
    const QVariant port = plist.value(QStringLiteral("port"));
    setPort(isSwitch(port) ? port : QVariant());
    setProtocol(plist.value(QStringLiteral("protocol")).toInt());
    setUseKeychain(plist.value(QStringLiteral("use-keychain")).toBool());
}

QVariantMap QVProjectRemoteConfiguration::plistRepresentation() const {
    QVariantMap plist;
    if (_host.isNull()) return plist;
    plist.insert(QStringLiteral("host"), _host);
    plist.insert(QStringLiteral("protocol"), _protocol);
    plist.insert(QStringLiteral("use-keychain"), _useKeychain);
    if (!_user.isNull()) plist.insert(QStringLiteral("user"), _user);
    if (!_initialDirectory.isNull()) plist.insert(QStringLiteral("initial-directory"), _initialDirectory);
    if (_options) plist.insert(QStringLiteral("options"), *_options);
    if (_port.isValid()) plist.insert(QStringLiteral("port"), _port);
    return plist;
}

QVProjectRemoteConfiguration QVProjectRemoteConfiguration::copy() {
    QVProjectRemoteConfiguration other;
    other.setHost(_host);
    other.setUser(_user);
    const QString held = password();
    if (!held.isNull()) other.setPassword(held);
    other.setInitialDirectory(_initialDirectory);
    other.setOptions(_options);
    other.setPort(_port);
    other.setUseKeychain(_useKeychain);
    other.setProtocol(_protocol);
    return other;
}

void QVProjectRemoteConfiguration::setFromPreset(QVProjectRemoteConfiguration& project) { *this = project.copy(); }

void QVProjectRemoteConfiguration::setFromPreset(const QVariantMap& record) {
    setHost(record.value(QLatin1String(QVRecentRemoteHost)).toString());
    setUser(record.value(QLatin1String(QVRecentRemoteUser)).toString());
    setPort(record.value(QLatin1String(QVRecentRemotePort)));
    setProtocol(record.value(QLatin1String(QVRecentRemoteProtocol)).toInt());
    _password = QString();
    setInitialDirectory(QString());
    setOptions(std::nullopt);
}

void QVProjectRemoteConfiguration::mergeValuesFromConfiguration(QVProjectRemoteConfiguration& other) {
    if (!_password.isNull()) return;
    const QString theirs = other.password();
    if (!theirs.isNull()) setPassword(theirs);
}

bool QVProjectRemoteConfiguration::isEqual(const QVProjectRemoteConfiguration& other) const {
    auto same = [](const QString& a, const QString& b) { return a.isNull() == b.isNull() && a == b; };
    if (!same(_host, other._host) || !same(_user, other._user) || !same(_initialDirectory, other._initialDirectory)) return false;
    if (_options != other._options) return false;
    if (!_password.isNull() && !same(_password, other._password)) return false;
    if (_port.isValid() != other._port.isValid()) return false;
    return !_port.isValid() || _port.toLongLong() == other._port.toLongLong();
}

QStringList QVProjectRemoteConfiguration::argumentsForOption(const QString& key, const QVariant& value) {
    QStringList arguments;
    if (key == QLatin1String("other")) {
        // An empty piece would reach the client as an empty argument (sftp prints its usage).
        for (const QString& piece : value.toString().split(QLatin1Char(' '), Qt::SkipEmptyParts))
            if (!hasControlCharacter(piece)) arguments << piece;
        return arguments;
    }
    if (key.isEmpty() || hasControlCharacter(key)) return arguments;
    if (isSwitch(value)) {
        if (value.toDouble() != 0) arguments << QLatin1Char('-') + key;
        return arguments;
    }
    // One argument vector entry each: quotes would reach the client as part of the value.
    const QString text = value.toString();
    if (!hasControlCharacter(text)) arguments << QStringLiteral("-%1=%2").arg(key, text);
    return arguments;
}

QStringList QVProjectRemoteConfiguration::arguments() const {
    QStringList arguments;
    if (!_options) return arguments;
    for (auto it = _options->constBegin(); it != _options->constEnd(); ++it) arguments << argumentsForOption(it.key(), it.value());
    return arguments;
}

QStringList QVProjectRemoteConfiguration::removeRefusedOptions() {
    QStringList refused;
    if (!_options) return refused;
    QVariantMap options = *_options;
    for (auto it = options.begin(); it != options.end();) {
        // Each entry on its own: a value it lacks must not come from the next entry.
        const QVClientOptions::Verdict verdict = QVClientOptions::check(argumentsForOption(it.key(), it.value()), _protocol);
        if (verdict.isClean()) {
            ++it;
            continue;
        }
        refused << verdict.refused;
        if (it.key() == QLatin1String("other") && !verdict.arguments.isEmpty()) *it++ = verdict.arguments.join(QLatin1Char(' '));
        else it = options.erase(it);
    }
    _options = options;
    return refused;
}

QVError QVProjectRemoteConfiguration::connectionError() {
    QString field;
    if (_host.startsWith(QLatin1Char('-'))) field = QStringLiteral("host");
    else if (_user.startsWith(QLatin1Char('-'))) field = QStringLiteral("user");
    else if (hasControlCharacter(_host)) field = QStringLiteral("host");
    else if (hasControlCharacter(_user)) field = QStringLiteral("user");
    else if (hasControlCharacter(password())) field = QStringLiteral("password");
    else if (hasControlCharacter(_initialDirectory)) field = QStringLiteral("initial-directory");
    else if (_options) {
        for (auto it = _options->constBegin(); it != _options->constEnd() && field.isEmpty(); ++it)
            if (hasControlCharacter(it.key()) || hasControlCharacter(it.value().toString())) field = QStringLiteral("options");
    }
    if (field.isEmpty()) {
        const QStringList refused = QVClientOptions::check(arguments(), _protocol).refused;
        if (refused.isEmpty()) return {};
        QVError error = QVError::make(QVError::posixDomain(), EINVAL, QVLocalized(QStringLiteral("The site settings cannot be used")),
                                      QVLocalized(QStringLiteral("These options could make the client run a program, read "
                                                                 "or write files the settings name, or connect elsewhere, "
                                                                 "and are not passed: %1. "
                                                                 "Remove them in the project's settings."))
                                          .arg(QVClientOptions::describe(refused)));
        error.setUserInfoValue(QStringLiteral("QVInvalidSiteField"), QStringLiteral("options"));
        error.setUserInfoValue(QStringLiteral("QVRefusedOptions"), refused);
        return error;
    }
    QVError error = QVError::make(QVError::posixDomain(), EINVAL, QVLocalized(QStringLiteral("The site settings cannot be used")),
                                  QVLocalized(QStringLiteral("The %1 holds a line break or another control character, or starts "
                                                             "with \"-\". Correct it in the project's settings."))
                                      .arg(field));
    error.setUserInfoValue(QStringLiteral("QVInvalidSiteField"), field);
    return error;
}
