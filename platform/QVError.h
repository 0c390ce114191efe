// Error values: domain, code, localized texts, recovery options and user information.
#pragma once

#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <functional>
#include <memory>

// User-information keys understood across Qorvel.
inline constexpr const char* QVLocalizedDescriptionKey = "QVLocalizedDescription";
inline constexpr const char* QVLocalizedRecoverySuggestionKey = "QVLocalizedRecoverySuggestion";
inline constexpr const char* QVLocalizedRecoveryOptionsKey = "QVLocalizedRecoveryOptions";
inline constexpr const char* QVFilePathErrorKey = "QVFilePath";
inline constexpr const char* QVUnderlyingErrorKey = "QVUnderlyingError";
// Set (to true) to have a document window show the error as a status-bar warning, not a sheet.
inline constexpr const char* QVIsLowPriorityError = "QVIsLowPriorityError";

class QVError;

// Carries out the recovery option a user picked in an error's alert. didRecover runs once, with
// whether the option succeeded (it may run later, after a further panel or question).
class QVErrorRecoveryAttempter {
public:
    virtual ~QVErrorRecoveryAttempter() = default;
    virtual void attemptRecovery(const QVError& error, int optionIndex, std::function<void(bool recovered)> didRecover) = 0;
};

class QVError {
public:
    QVError() = default;  // the null error: "no error"
    QVError(QString domain, qint64 code, QVariantMap userInfo = {});

    // An error in the given domain with the usual texts filled in.
    static QVError make(const QString& domain, qint64 code, const QString& description,
                        const QString& recoverySuggestion = {},
                        const QStringList& recoveryOptions = {}, QVariantMap userInfo = {});
    // The same in the application's own domain (applicationDomain()).
    static QVError app(qint64 code, const QString& description,
                       const QString& recoverySuggestion = {},
                       const QStringList& recoveryOptions = {}, QVariantMap userInfo = {});
    // The application's bundle identifier followed by ".error".
    static QString applicationDomain();
    // Domain of errors that carry an errno value as their code.
    static QString posixDomain() { return QStringLiteral("NSPOSIXErrorDomain"); }
    // An errno-coded error; the description names the operation, the path and strerror(err).
    static QVError posix(int err, const QString& operation, const QString& path = {});

    bool isNull() const { return _domain.isEmpty(); }
    explicit operator bool() const { return !isNull(); }

    const QString& domain() const { return _domain; }
    qint64 code() const { return _code; }
    const QVariantMap& userInfo() const { return _userInfo; }
    QVariant userInfoValue(const QString& key) const { return _userInfo.value(key); }
    void setUserInfoValue(const QString& key, const QVariant& value) { _userInfo.insert(key, value); }

    QString localizedDescription() const;
    QString localizedRecoverySuggestion() const;
    QStringList localizedRecoveryOptions() const;
    bool isLowPriority() const;

    // Who performs the recovery options; held weakly, so an alert that outlives its document
    // recovers nothing.
    void setRecoveryAttempter(const std::weak_ptr<QVErrorRecoveryAttempter>& attempter) { _attempter = attempter; }
    std::shared_ptr<QVErrorRecoveryAttempter> recoveryAttempter() const { return _attempter.lock(); }
    // Hands the option to the attempter; without one (or once it is gone) didRecover hears false.
    void attemptRecovery(int optionIndex, std::function<void(bool recovered)> didRecover = {}) const;

    bool operator==(const QVError& o) const {
        return _domain == o._domain && _code == o._code && _userInfo == o._userInfo;
    }

private:
    QString _domain;
    qint64 _code = 0;
    QVariantMap _userInfo;
    std::weak_ptr<QVErrorRecoveryAttempter> _attempter;
};

// Assigns to an optional out-parameter.
inline void qvSetError(QVError* out, const QVError& error) {
    if (out) *out = error;
}
