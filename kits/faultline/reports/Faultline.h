// The crash-reporting kit as the SDK core starts it: one shared object, registered under
// "Faultline", whose start makes the report store, starts crash reporting (capture for this run,
// submission of earlier runs' reports) and then the analytics kit when one is registered. It
// answers the crash-reporting controller's questions from the SDK core and from the application's
// delegate, and records user identity, custom keys and errors with the next report.
#pragma once

#include "kits/faultline/reports/FLTCrashReportingController.h"
#include "kits/trellis/TRLKitRegistry.h"

#include <QList>
#include <QPair>
#include <QVariant>

#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>

class FLTBetaController;
class FLTFileManager;
class FLTReport;
class FLTWebViewUserContent;
class QVError;

// What the application may decide about crash reporting; every operation is optional.
class Faultline;

class FaultlineDelegate {
public:
    virtual ~FaultlineDelegate() = default;
    // Told of the last run's report, its values read at once (it takes no new ones), on the main
    // queue; the report is submitted all the same.
    virtual bool implementsDidDetectReport() const { return false; }
    virtual void faultlineDidDetectReportForLastExecution(const std::shared_ptr<FLTReport>&) {}
    // Answering at all makes the kit ask: submit (true) or discard (false), exactly once.
    virtual bool implementsDidDetectReportWithCompletion() const { return false; }
    virtual void faultlineDidDetectReportForLastExecutionWithCompletion(const std::shared_ptr<FLTReport>&, std::function<void(bool)> completion) {
        completion(true);
    }
    // The older forms, called on the main queue once the report was decided on; a delegate with
    // either is warned about at the start.
    virtual bool implementsDidDetectCrashDuringPreviousExecutionWithReport() const { return false; }
    virtual void faultlineDidDetectCrashDuringPreviousExecutionWithReport(Faultline&, const std::shared_ptr<FLTReport>&) {}
    virtual bool implementsDidDetectCrashDuringPreviousExecution() const { return false; }
    virtual void faultlineDidDetectCrashDuringPreviousExecution(Faultline&) {}
    virtual std::optional<bool> faultlineCanUseBackgroundSessions() { return std::nullopt; }
    virtual bool implementsDidDetectCrash() const { return false; }
    virtual void faultlineDidDetectCrash() {}
    virtual std::optional<bool> faultlineEnsureDeliveryOfUnixSignal(int /*signal*/) { return std::nullopt; }
};

// One frame of a custom exception as the application gives it; empty texts are unknown.
struct FLTStackFrameValue {
    quint64 address = 0;
    QString symbol;
    quint64 offset = 0;
    QString library;
    QString fileName;
    quint64 lineNumber = 0;
};

// What throwException throws.
class FaultlineTestException : public std::runtime_error {
public:
    FaultlineTestException() : std::runtime_error("This is a C++ exception used for testing.") {}
};

class Faultline : public TRLKit, public FLTCrashReportingControllerDelegate, public std::enable_shared_from_this<Faultline> {
public:
    static std::shared_ptr<Faultline> sharedInstance();
    // Starts the kits with this key (given to the kits' core) and this kit; a delegate given is
    // set first. Answers the shared instance. A delay is no longer honoured: the start is at once.
    static std::shared_ptr<Faultline> startWithAPIKey(const QString& key, std::shared_ptr<FaultlineDelegate> delegate = nullptr);
    static std::shared_ptr<Faultline> startWithAPIKey(const QString& key, double afterDelay);
    static std::shared_ptr<Faultline> startWithAPIKey(const QString& key, std::shared_ptr<FaultlineDelegate> delegate, double afterDelay);
    // Puts the shared instance into the SDK core's kit registry under "Faultline".
    static void registerKit();

    QString kitName() const override { return QStringLiteral("Faultline"); }
    QString bundleIdentifier() const override;
    QString kitDisplayVersion() const override;
    QString kitBuildVersion() const override;
    void initializeIfNeeded() override { start(); }
    // This kit keeps no information of its own and no settings of its own: the kits' core holds
    // both (its "KitInfo" entries and the downloaded settings, which settingsForCrashReportingController
    // reads). Handed information is not kept.
    std::optional<QVariantMap> kitInfo() const { return std::nullopt; }
    void setKitInfo(const QVariantMap& /*info*/) {}
    std::optional<QVariantMap> settingsDictionary() const { return std::nullopt; }

    // Runs the start once per process, whoever calls first.
    void start();
    bool isFaultlineStarted() const;
    std::shared_ptr<FLTCrashReportingController> crashReportingController() const;

    QString APIKey();
    QString installID();
    bool isFirstInstall();
    // Debug mode as the argument says (false turns it off); a change after the start is warned
    // about, as it misses what the start logged.
    void setDebugMode(bool debug);
    bool debugMode() const;
    void setDelegate(std::shared_ptr<FaultlineDelegate> delegate);
    std::shared_ptr<FaultlineDelegate> delegate() const;

    void setUserIdentifier(const QString& value);
    void setUserName(const QString& value);
    void setUserEmail(const QString& value);
    void setObjectValue(const QVariant& value, const QString& key);
    void setIntValue(int value, const QString& key) { setObjectValue(value, key); }
    void setBoolValue(bool value, const QString& key) { setObjectValue(value, key); }
    void setFloatValue(float value, const QString& key) { setObjectValue(value, key); }
    void recordError(const QVError& error, const QVariantMap& additionalUserInfo = {});
    // A custom exception with its own frames, written to the custom-exception files.
    void recordCustomException(const QString& name, const QString& reason, const QList<FLTStackFrameValue>& frames);
    // Whoever builds on another platform's tools records which, with the next report; neither
    // value can be read back (a read logs that and answers a null string).
    static void setDevelopmentPlatformName(const QString& name);
    static void setDevelopmentPlatformVersion(const QString& version);
    QString developmentPlatformName() const;
    QString developmentPlatformVersion() const;
    // Every web page made afterwards reports its uncaught script errors to this kit: content gets
    // the error script and the "faultline" handler, which hands what pages post to
    // userContentControllerDidReceiveScriptMessage. False, and logged, when nothing was installed.
    bool monitorErrorsForWebView(FLTWebViewUserContent* content);
    // What a page posted: a page error becomes a "javascript" custom exception; anything the
    // recorder refuses is logged.
    void userContentControllerDidReceiveScriptMessage(const QVariant& body);
    // A custom event for the analytics kit, when the build carries it.
    void logEvent(const QString& name, const QList<QPair<QVariant, QVariant>>& attributes = {});
    [[noreturn]] void crash();
    // Throws FaultlineTestException, which nothing catches: an uncaught-exception report.
    [[noreturn]] void throwException();
    // The installation identifier an earlier kit generation kept in its own defaults file, if any.
    static QString earlierInstallID();

    // The crash-reporting controller's questions.
    bool shouldInstallCrashCallback() override;
    void detectedCrash() override;
    bool reportingControllerCanUseBackgroundSessions() override;
    bool reportingControllerMustInformDelegateOfReports() override;
    void reportingControllerDidDetectReportForLastExecution(const std::shared_ptr<FLTInternalReport>& report, std::function<void(bool)> completion) override;
    // A crash of the last run becomes the analytics kit's previous-crash event.
    void reportingControllerInternalDidDetectReportForLastExecution(const std::shared_ptr<FLTInternalReport>& report) override;
    bool reportingControllerEnsureDeliveryOfUnixSignal(int signal) override;
    QString APIKeyForCrashReportingController() override { return APIKey(); }
    QString installIDForCrashReportingController() override { return installID(); }
    bool isFirstInstallForCrashReportingController() override { return isFirstInstall(); }
    FLTSettings settingsForCrashReportingController() override;
    QString executionIdentifierForCrashReportingController() override;

    // For tests: a fresh instance, as a new launch would have.
    static void resetSharedForTests();

private:
    void startOnce();
    // Warns (main queue) about a delegate that implements the older methods.
    void checkDelegate();
    mutable std::mutex _lock;
    std::shared_ptr<std::once_flag> _once = std::make_shared<std::once_flag>();
    std::shared_ptr<FaultlineDelegate> _delegate;
    std::shared_ptr<FLTFileManager> _fileManager;
    std::shared_ptr<FLTCrashReportingController> _controller;
    std::shared_ptr<FLTBetaController> _betaController;
};
