// Error values and their texts.
#include "platform/QVError.h"

#include "platform/AppBundle.h"
#include "platform/FileName.h"

#include <cstring>

QVError::QVError(QString domain, qint64 code, QVariantMap userInfo)
    : _domain(std::move(domain)), _code(code), _userInfo(std::move(userInfo)) {}

QVError QVError::make(const QString& domain, qint64 code, const QString& description,
                      const QString& recoverySuggestion, const QStringList& recoveryOptions,
                      QVariantMap userInfo) {
    if (!description.isEmpty()) userInfo.insert(QLatin1String(QVLocalizedDescriptionKey), description);
    if (!recoverySuggestion.isEmpty())
        userInfo.insert(QLatin1String(QVLocalizedRecoverySuggestionKey), recoverySuggestion);
    if (!recoveryOptions.isEmpty())
        userInfo.insert(QLatin1String(QVLocalizedRecoveryOptionsKey), recoveryOptions);
    return QVError(domain, code, std::move(userInfo));
}

QVError QVError::app(qint64 code, const QString& description, const QString& recoverySuggestion,
                     const QStringList& recoveryOptions, QVariantMap userInfo) {
    return make(applicationDomain(), code, description, recoverySuggestion, recoveryOptions,
                std::move(userInfo));
}

QString QVError::applicationDomain() {
    return AppBundle::main().bundleIdentifier() + QStringLiteral(".error");
}

QVError QVError::posix(int err, const QString& operation, const QString& path) {
    const QString reason = QString::fromLocal8Bit(std::strerror(err));
    QString description = path.isEmpty() ? QStringLiteral("%1 failed: %2").arg(operation, reason)
                                         : QStringLiteral("%1 \"%2\" failed: %3").arg(operation, FileName::displayed(path), reason);
    QVariantMap info;
    if (!path.isEmpty()) info.insert(QLatin1String(QVFilePathErrorKey), path);
    return make(posixDomain(), err, description, {}, {}, info);
}

QString QVError::localizedDescription() const {
    const QString text = _userInfo.value(QLatin1String(QVLocalizedDescriptionKey)).toString();
    if (!text.isEmpty() || isNull()) return text;
    return QStringLiteral("The operation couldn't be completed. (%1 error %2.)").arg(_domain, QString::number(_code));
}

QString QVError::localizedRecoverySuggestion() const {
    return _userInfo.value(QLatin1String(QVLocalizedRecoverySuggestionKey)).toString();
}

QStringList QVError::localizedRecoveryOptions() const {
    return _userInfo.value(QLatin1String(QVLocalizedRecoveryOptionsKey)).toStringList();
}

bool QVError::isLowPriority() const {
    return _userInfo.value(QLatin1String(QVIsLowPriorityError)).toBool();
}

void QVError::attemptRecovery(int optionIndex, std::function<void(bool)> didRecover) const {
    if (!didRecover) didRecover = [](bool) {};
    if (const auto attempter = _attempter.lock()) return attempter->attemptRecovery(*this, optionIndex, std::move(didRecover));
    didRecover(false);
}
